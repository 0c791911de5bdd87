// Imaging a failing disk: a test-only source that fails chosen sector ranges,
// and GNU ddrescue as the peer that must accept our map (and whose map we
// continue). Real failing block devices: faulty_device_test.cpp.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "imaging/disk_imager.h"
#include "imaging/rescue_map.h"
#include "support/temp_dir.h"
#include "support/tools.h"

namespace brenix {
namespace {

namespace fs = std::filesystem;

struct SectorRange {
  uint64_t first, count;  // sectors
};

// Bytes in memory; reads touching a bad range fail (each such range fails
// `failuresBeforeGood` times per sector, forever when negative). Counts how
// often every sector was asked for.
class FaultySource final : public ImagingSource {
 public:
  FaultySource(std::vector<uint8_t> bytes, std::vector<SectorRange> bad, int failuresBeforeGood = -1)
      : bytes_(std::move(bytes)), bad_(std::move(bad)), failures_(failuresBeforeGood), reads_(bytes_.size() / 512) {}
  bool readAt(uint64_t offset, void* buffer, size_t count, int* error) override {
    if (offset + count > bytes_.size()) {
      *error = EIO;
      return false;
    }
    const uint64_t first = offset / 512, last = (offset + count - 1) / 512;
    for (uint64_t s = first; s <= last; ++s) ++reads_[s];
    bytesRead += count;
    for (const SectorRange& r : bad_) {
      if (r.first <= last && first < r.first + r.count) {
        bool fails = failures_ < 0;
        for (uint64_t s = std::max(first, r.first); s <= std::min(last, r.first + r.count - 1); ++s)
          if (failures_ >= 0 && static_cast<int>(reads_[s]) <= failures_) fails = true;
        if (fails) {
          *error = EIO;
          return false;
        }
      }
    }
    std::copy(bytes_.begin() + static_cast<long>(offset), bytes_.begin() + static_cast<long>(offset + count),
              static_cast<uint8_t*>(buffer));
    return true;
  }
  uint64_t sizeBytes() const override { return bytes_.size(); }
  bool inBad(uint64_t sector) const {
    return std::any_of(bad_.begin(), bad_.end(), [&](const SectorRange& r) { return sector >= r.first && sector < r.first + r.count; });
  }

  std::vector<uint8_t> bytes_;
  std::vector<SectorRange> bad_;
  int failures_;
  std::vector<uint32_t> reads_;
  uint64_t bytesRead = 0;
};

std::vector<uint8_t> pattern(size_t size) {
  std::vector<uint8_t> v(size);
  uint32_t x = 0x12345678;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

class Imaging : public testing::Test {
 protected:
  // Runs into dir/disk.img with its map dir/disk.map, creating the image unless resuming.
  ImagingResult image(ImagingSource& source, RescueMap& map, bool resume, ImagingOptions options = {}) {
    std::string error;
    const int fd = openImageOutput(imagePath().string(), "", resume, &error);
    EXPECT_GE(fd, 0) << error;
    options.mapPath = mapPath().string();
    options.commandLine = "test";
    ImagingResult r = runImaging(source, fd, map, options);
    ::close(fd);
    return r;
  }
  fs::path imagePath() const { return dir_ / "disk.img"; }
  fs::path mapPath() const { return dir_ / "disk.map"; }
  RescueMap loadMap(uint64_t size) {
    RescueMap map;
    std::string error;
    EXPECT_TRUE(loadRescueMap(mapPath().string(), size, &map, &error)) << error;
    return map;
  }
  // The image equals the source outside the bad ranges and is zeros inside.
  void expectImage(const FaultySource& source) {
    const std::vector<uint8_t> img = test::readFile(imagePath());
    ASSERT_EQ(img.size(), source.bytes_.size());
    size_t wrong = 0;
    for (size_t s = 0; s < img.size() / 512; ++s) {
      const bool bad = source.inBad(s);
      for (size_t i = s * 512; i < (s + 1) * 512; ++i)
        if (img[i] != (bad ? 0 : source.bytes_[i])) ++wrong;
    }
    EXPECT_EQ(wrong, 0u);
  }
  static std::vector<std::pair<uint64_t, uint64_t>> badAreas(const RescueMap& map) {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (const MapArea& a : map.areas()) {
      EXPECT_TRUE(a.status == AreaStatus::Finished || a.status == AreaStatus::BadSector) << static_cast<char>(a.status);
      if (a.status == AreaStatus::BadSector) out.emplace_back(a.pos / 512, a.size / 512);
    }
    return out;
  }

  test::TempDir dir_;
};

constexpr size_t kSize = 8 << 20;  // 16384 sectors, 8 large reads of 1 MiB
// Inside a block, a single sector, and a range across the boundary of blocks 3 and 4.
const std::vector<SectorRange> kBad = {{1000, 3}, {5000, 1}, {8190, 7}};
const std::vector<std::pair<uint64_t, uint64_t>> kBadAreas = {{1000, 3}, {5000, 1}, {8190, 7}};

TEST_F(Imaging, BadRangesAreZerosAndTheMapListsExactlyThemAndDdrescueAgrees) {
  FaultySource source(pattern(kSize), kBad);
  RescueMap map(kSize);
  ImagingResult r = image(source, map, false);
  ASSERT_EQ(r.status, ImagingStatus::Finished) << r.error;
  expectImage(source);
  EXPECT_EQ(badAreas(loadMap(kSize)), kBadAreas);
  EXPECT_EQ(r.last.badAreas, 3u);
  EXPECT_EQ(r.last.badBytes, 11u * 512);
  EXPECT_EQ(r.last.rescued, kSize - 11 * 512);
  // Good sectors of the failing blocks were read twice (block, then sector by sector); others once.
  for (uint64_t s : {0ull, 999ull, 1003ull, 4095ull}) EXPECT_EQ(source.reads_[s], s < 2048 ? 2u : 1u) << s;

  // GNU ddrescue continues from our map over the same source (here fully
  // readable): nothing is left for it outside the bad ranges, so it writes
  // nothing and keeps the bad areas as they are.
  BRENIX_REQUIRE_TOOL("ddrescue");
  test::writeFile(dir_ / "source.bin", source.bytes_);
  const std::string before = test::sha256Of(imagePath());
  test::ToolResult dd = test::runTool({"ddrescue", (dir_ / "source.bin").string(), imagePath().string(), mapPath().string()});
  ASSERT_EQ(dd.status, 0) << dd.output;
  EXPECT_EQ(test::sha256Of(imagePath()), before) << dd.output;
  EXPECT_EQ(badAreas(loadMap(kSize)), kBadAreas);
}

TEST_F(Imaging, ResumeContinuesWhereItStoppedAndNeverRereadsCopiedAreas) {
  FaultySource source(pattern(kSize), kBad);
  RescueMap map(kSize);
  ImagingOptions stopHalfway;
  stopHalfway.keepGoing = [&source] { return source.bytesRead < kSize / 2; };
  ImagingResult first = image(source, map, false, stopHalfway);
  ASSERT_EQ(first.status, ImagingStatus::Cancelled);
  RescueMap saved = loadMap(kSize);
  EXPECT_GT(saved.bytesWith(AreaStatus::NonTried), 0u);
  EXPECT_GT(saved.bytesWith(AreaStatus::Finished), 0u);
  // Without --resume the image is not touched again.
  std::string error;
  EXPECT_LT(openImageOutput(imagePath().string(), "", false, &error), 0);
  EXPECT_NE(error.find("already exists"), std::string::npos);
  ImagingResult second = image(source, saved, true);
  ASSERT_EQ(second.status, ImagingStatus::Finished) << second.error;
  expectImage(source);
  EXPECT_EQ(badAreas(loadMap(kSize)), kBadAreas);
  // Every sector of a block that read whole was read exactly once over both runs.
  for (uint64_t block = 0; block < kSize / (1 << 20); ++block) {
    const uint64_t s0 = block * 2048;
    bool failing = false;
    for (uint64_t s = s0; s < s0 + 2048; ++s) failing = failing || source.inBad(s);
    if (failing) continue;
    for (uint64_t s = s0; s < s0 + 2048; ++s) ASSERT_EQ(source.reads_[s], 1u) << "sector " << s;
  }
}

TEST_F(Imaging, RetriesComeBackToTheBadSectors) {
  // Each bad sector fails twice (the large read and the first single read), then reads.
  FaultySource source(pattern(kSize), kBad, 2);
  RescueMap map(kSize);
  ImagingOptions once;
  once.retries = 1;
  ImagingResult r = image(source, map, false, once);
  ASSERT_EQ(r.status, ImagingStatus::Finished) << r.error;
  EXPECT_EQ(loadMap(kSize).bytesWith(AreaStatus::Finished), kSize);
  EXPECT_EQ(test::readFile(imagePath()), source.bytes_);
}

TEST_F(Imaging, ContinuesACopyThatDdrescueStarted) {
  BRENIX_REQUIRE_TOOL("ddrescue");
  FaultySource source(pattern(kSize), {});
  test::writeFile(dir_ / "source.bin", source.bytes_);
  test::ToolResult dd = test::runTool({"ddrescue", "-s", std::to_string(kSize / 2), (dir_ / "source.bin").string(),
                                       imagePath().string(), mapPath().string()});
  ASSERT_EQ(dd.status, 0) << dd.output;
  RescueMap map = loadMap(kSize);
  ASSERT_EQ(map.bytesWith(AreaStatus::Finished), kSize / 2);
  ImagingResult r = image(source, map, true);
  ASSERT_EQ(r.status, ImagingStatus::Finished) << r.error;
  EXPECT_EQ(source.bytesRead, kSize / 2);
  EXPECT_EQ(test::readFile(imagePath()), source.bytes_);
}

TEST(RescueMapFile, BadMapsAreRefusedWithTheLine) {
  const std::string head = "# Mapfile\n0x00000000     ?               1\n#      pos        size  status\n";
  struct Case {
    std::string body, why;
  } cases[] = {
      {"0x0000 0x1000 +\n0x0800 0x1000 -\n", "Map line 5: area overlaps the one before"},
      {"0x1000 0x1000 +\n0x0000 0x1000 -\n", "Map line 5: areas are not sorted by position"},
      {"0x0000 0x1000 +\n0x1000 0x20000 +\n", "Map line 5: area 0x00001000+0x00020000 lies past the end of the source"},
      {"0x0000 0x1000 x\n", "Map line 4: not an area line"},
      {"0x0000 0x0 +\n", "Map line 4: an area of size 0"},
  };
  for (const Case& c : cases) {
    RescueMap map;
    std::string error;
    EXPECT_FALSE(map.parse(head + c.body, 0x10000, &error)) << c.body;
    EXPECT_EQ(error.rfind(c.why, 0), 0u) << error;
  }
  RescueMap map;
  std::string error;
  EXPECT_FALSE(map.parse("hello\n", 0x10000, &error));
  // A valid map with a gap: the gap and the tail are not tried yet; text round-trips.
  ASSERT_TRUE(map.parse(head + "0 4096 +\n8192 512 -\n", 0x10000, &error)) << error;
  ASSERT_EQ(map.areas().size(), 4u);
  EXPECT_EQ(map.areas()[1].status, AreaStatus::NonTried);
  EXPECT_EQ(map.areas()[3].pos, 8192u + 512);
  RescueMap again;
  ASSERT_TRUE(again.parse(map.text("x"), 0x10000, &error)) << error;
  EXPECT_EQ(again.text("x"), map.text("x"));
}

TEST(ImageCommand, RefusesToOverwriteAndRefusesABadMapWithoutTouchingAnything) {
  const char* cli = std::getenv("BRENIX_CLI");
  if (!cli || !fs::exists(cli)) GTEST_SKIP() << "the brenix program is not built";
  test::TempDir dir;
  test::writeFile(dir / "src.img", pattern(1 << 20));
  const std::string src = (dir / "src.img").string(), img = (dir / "copy.img").string();
  test::ToolResult r = test::runTool({cli, "image", src, img});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Rescued 1048576 of 1048576 bytes"), std::string::npos) << r.output;
  EXPECT_EQ(test::readFile(img), test::readFile(dir / "src.img"));
  r = test::runTool({cli, "image", src, (dir / "other.img").string(), "--map", img + ".map"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("already exists; use --resume"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(dir / "other.img"));
  fs::remove(img + ".map");
  test::writeFile(img, std::vector<uint8_t>(10, 1));
  r = test::runTool({cli, "image", src, img});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("already exists; use --resume"), std::string::npos) << r.output;
  EXPECT_EQ(test::readFile(img), std::vector<uint8_t>(10, 1));
  const std::string badMap = "0 ? 1\n0 0x80000 +\n0x40000 0x80000 -\n";
  { std::ofstream(img + ".map") << badMap; }
  r = test::runTool({cli, "image", src, img, "--resume"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("refused: Map line 3: area overlaps the one before"), std::string::npos) << r.output;
  EXPECT_EQ(test::readFile(img), std::vector<uint8_t>(10, 1));
  std::ifstream in(img + ".map");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), badMap);
  r = test::runTool({cli, "image", src, src, "--map", (dir / "self.map").string()});
  EXPECT_EQ(r.status, 1);
}

}  // namespace
}  // namespace brenix
