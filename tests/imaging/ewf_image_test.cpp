// EWF (.E01) images made by ewfacquire and split raw images made by split:
// every scan mode finds exactly what it finds on the raw image, brenix verify
// checks the stored MD5, and missing, misplaced or damaged segments are refused.
#include <gtest/gtest.h>

#include <algorithm>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "disk/image_backend.h"
#include "disk/read_errors.h"
#include "disk/sector_reader.h"
#include "support/temp_dir.h"
#include "support/tools.h"

namespace brenix {
namespace {

namespace fs = std::filesystem;

class EwfImages : public testing::Test {
 protected:
  void SetUp() override {
    BRENIX_REQUIRE_TOOL("ewfacquire");
    const char* cli = std::getenv("BRENIX_CLI");
    if (!cli || !fs::exists(cli)) GTEST_SKIP() << "the brenix program is not built";
    cli_ = cli;
    if (test::corpusDir().empty()) GTEST_SKIP() << "no corpus";
  }
  // Raw image from the corpus, and its EWF copy: "none" or "fast"/"best" deflate, 1 MiB segments.
  fs::path acquire(const std::string& corpus, const std::string& compression, const std::string& name) {
    const fs::path raw = test::corpusImage(corpus, dir_.path());
    EXPECT_FALSE(raw.empty()) << corpus;
    const fs::path target = dir_ / name;
    test::ToolResult r = test::runTool({"ewfacquire", "-u", "-q", "-t", target.string(), "-c", "deflate:" + compression,
                                        "-S", "1MiB", "-C", "case", "-D", name, "-E", "1", "-e", "test", "-N", "",
                                        raw.string()});
    EXPECT_EQ(r.status, 0) << r.output;
    return raw;
  }
  size_t segments(const std::string& name) const {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir_.path()))
      if (e.path().stem() == name && e.path().extension().string().rfind(".E", 0) == 0) ++n;
    return n;
  }
  test::ToolResult cli(std::vector<std::string> args, const fs::path& image) {
    args.insert(args.begin(), cli_);
    for (const std::string a : {"--images-only", "--image"}) args.push_back(a);
    args.push_back(image.string());
    return test::runTool(args);
  }
  void expectSameScans(const fs::path& raw, const fs::path& ewf, const std::vector<std::vector<std::string>>& modes) {
    for (const auto& mode : modes) {
      std::vector<std::string> args{"scan", "--json"};
      args.insert(args.end(), mode.begin(), mode.end());
      const test::ToolResult onRaw = cli(args, raw);
      const test::ToolResult onEwf = cli(args, ewf);
      ASSERT_EQ(onRaw.status, 0) << mode[1] << ": " << onRaw.output;
      ASSERT_EQ(onEwf.status, 0) << mode[1] << ": " << onEwf.output;
      EXPECT_NE(onRaw.output.find("\"name\""), std::string::npos) << mode[1] << " found nothing";
      EXPECT_EQ(onEwf.output, onRaw.output) << mode[1];
    }
  }

  test::TempDir dir_;
  std::string cli_;
};

const std::vector<std::vector<std::string>> kAllModes = {
    {"--mode", "deleted"}, {"--mode", "formatted"}, {"--mode", "raw", "--whole-disk"}};

TEST_F(EwfImages, UncompressedSegmentsScanLikeTheRawImage) {
  const fs::path raw = acquire("ntfs/7-ntfs-undel.dd", "none", "ntfs");
  ASSERT_GE(segments("ntfs"), 5u);
  expectSameScans(raw, dir_ / "ntfs.E01", kAllModes);
}

TEST_F(EwfImages, CompressedSegmentsScanLikeTheRawImage) {
  const fs::path raw = acquire("carving/8-jpeg-search.dd", "best", "jpeg");
  ASSERT_GE(segments("jpeg"), 2u);
  expectSameScans(raw, dir_ / "jpeg.E01", kAllModes);
  const fs::path fat = acquire("fat/6-fat-undel.dd", "fast", "fat");
  expectSameScans(fat, dir_ / "fat.E01", {{"--mode", "deleted"}, {"--mode", "formatted"}});
  const fs::path ext = acquire("ext/ext2.raw", "fast", "ext");
  expectSameScans(ext, dir_ / "ext.E01", {{"--mode", "deleted"}});
}

TEST_F(EwfImages, DetectedBySignatureNotByName) {
  const fs::path raw = acquire("fat/6-fat-undel.dd", "fast", "card");
  ASSERT_EQ(segments("card"), 1u);
  fs::rename(dir_ / "card.E01", dir_ / "card.img");
  EXPECT_EQ(detectImageFormat((dir_ / "card.img").string()), ImageFormat::Ewf);
  EXPECT_EQ(detectImageFormat(raw.string()), ImageFormat::Plain);
  SectorReader ewf, plain;
  ASSERT_TRUE(ewf.openPath((dir_ / "card.img").string(), OpenMode::Read));
  ASSERT_TRUE(plain.openPath(raw.string(), OpenMode::Read));
  ASSERT_EQ(ewf.sizeBytes(), plain.sizeBytes());
  std::vector<uint8_t> a(ewf.sizeBytes()), b(plain.sizeBytes());
  ASSERT_TRUE(ewf.readBytesAt(0, a.data(), a.size()));
  ASSERT_TRUE(plain.readBytesAt(0, b.data(), b.size()));
  EXPECT_EQ(a, b);
  uint8_t sector[512];
  EXPECT_FALSE(ewf.readBytesAt(a.size() - 256, sector, sizeof sector));  // past the end
  EXPECT_FALSE(ewf.writeAt(0, sector, sizeof sector));
  EXPECT_EQ(ewf.lastError(), EROFS);
  SectorReader writable;
  EXPECT_FALSE(writable.openPath((dir_ / "card.img").string(), OpenMode::ReadWrite));
  EXPECT_EQ(writable.lastError(), EROFS);
}

TEST_F(EwfImages, VerifyChecksTheStoredMd5) {
  const fs::path raw = acquire("ntfs/7-ntfs-undel.dd", "fast", "v");
  test::ToolResult md5 = test::runTool({"md5sum", raw.string()});
  ASSERT_EQ(md5.status, 0);
  test::ToolResult r = test::runTool({cli_, "verify", (dir_ / "v.E01").string()});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("MD5 computed: " + md5.output.substr(0, 32)), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("MD5 stored:   " + md5.output.substr(0, 32)), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Verified: the data matches the stored MD5"), std::string::npos);
  // A raw image stores no MD5: computed only.
  r = test::runTool({cli_, "verify", raw.string()});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("MD5 computed: " + md5.output.substr(0, 32)), std::string::npos) << r.output;
}

TEST_F(EwfImages, MissingMisplacedOrDamagedSegmentsAreRefused) {
  acquire("ntfs/7-ntfs-undel.dd", "none", "s");
  ASSERT_GE(segments("s"), 5u);
  const fs::path first = dir_ / "s.E01";
  // A missing middle segment.
  fs::rename(dir_ / "s.E03", dir_ / "away");
  test::ToolResult r = cli({"disks"}, first);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.output.find("segments are missing, damaged or out of order"), std::string::npos) << r.output;
  fs::rename(dir_ / "away", dir_ / "s.E03");
  // Two segments swapped.
  fs::rename(dir_ / "s.E02", dir_ / "away");
  fs::rename(dir_ / "s.E04", dir_ / "s.E02");
  fs::rename(dir_ / "away", dir_ / "s.E04");
  r = cli({"disks"}, first);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.output.find("'" + (dir_ / "s.E02").string() + "' holds segment 4, expected 2"), std::string::npos)
      << r.output;
  fs::rename(dir_ / "s.E02", dir_ / "away");
  fs::rename(dir_ / "s.E04", dir_ / "s.E02");
  fs::rename(dir_ / "away", dir_ / "s.E04");
  ASSERT_EQ(cli({"disks"}, first).status, 0);
  // Damaged data inside segment 3: the chunk's checksum fails, its reads fail, the rest still reads.
  {
    std::fstream f(dir_ / "s.E03", std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(500000);
    const std::string junk(4096, '\xAA');
    f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
  }
  r = test::runTool({cli_, "verify", first.string()});
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("sectors could not be read"), std::string::npos) << r.output;
  SectorReader reader;
  ASSERT_TRUE(reader.openPath(first.string(), OpenMode::Read));
  std::vector<uint8_t> all(reader.sizeBytes());
  EXPECT_FALSE(reader.readBytesAt(0, all.data(), all.size()));
  EXPECT_EQ(reader.lastError(), EIO);
  EXPECT_TRUE(reader.readBytesAt(0, all.data(), 1 << 20));  // segment 1 is intact
  // The failed read was tried again sector by sector: exactly one 64-sector chunk is unreadable.
  const auto bad = ReadErrorLog::instance().ranges(first.string());
  ASSERT_EQ(bad.size(), 1u);
  EXPECT_EQ(bad[0].second, 64u);
  EXPECT_EQ(bad[0].first % 64, 0u);
  // Every scan says so, in text and in JSON; the intact image says nothing.
  r = cli({"scan", "--mode", "raw", "--whole-disk"}, first);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("\n64 sectors could not be read\n"), std::string::npos) << r.output;
  r = cli({"scan", "--mode", "raw", "--whole-disk", "--json"}, first);
  EXPECT_NE(r.output.find("\"unreadableSectors\": 64"), std::string::npos) << r.output;
  r = cli({"scan", "--mode", "raw", "--whole-disk", "--json"}, test::corpusImage("ntfs/7-ntfs-undel.dd", dir_.path()));
  EXPECT_NE(r.output.find("\"unreadableSectors\": 0"), std::string::npos) << r.output;
  // Truncated segment.
  fs::resize_file(dir_ / "s.E05", 600000);
  r = cli({"disks"}, first);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.output.find("EWF image '" + first.string() + "'"), std::string::npos) << r.output;
}

// A deleted file whose data crosses a damaged chunk of the E01: the file is
// written whole with zeros for the 64 unreadable sectors, marked instead of
// counted, and the report says where the zeros are.
TEST_F(EwfImages, ARecoveredFileWithUnreadableSectorsHasZerosThereAndIsMarked) {
  BRENIX_REQUIRE_TOOL("mkfs.vfat");
  BRENIX_REQUIRE_TOOL("mcopy");
  const fs::path raw = dir_ / "card.raw";
  test::writeFile(raw, std::vector<uint8_t>(8 << 20, 0));
  ASSERT_EQ(test::runTool({"mkfs.vfat", "-n", "CARD", raw.string()}).status, 0);
  std::vector<uint8_t> payload(300000);
  uint32_t x = 12345;
  for (uint8_t& b : payload) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 23);
  test::writeFile(dir_ / "payload.bin", payload);
  ASSERT_EQ(test::runTool({"mcopy", "-i", raw.string(), (dir_ / "payload.bin").string(), "::/DATA.BIN"}).status, 0);
  ASSERT_EQ(test::runTool({"mdel", "-i", raw.string(), "::/DATA.BIN"}).status, 0);
  test::ToolResult r = test::runTool({"ewfacquire", "-u", "-q", "-t", (dir_ / "card").string(), "-c", "deflate:none",
                                      "-C", "case", "-D", "card", "-E", "1", "-e", "test", "-N", "", raw.string()});
  ASSERT_EQ(r.status, 0) << r.output;
  // Where the file's data lies on the card, and the 32 KiB chunk 100000 bytes into it.
  const std::vector<uint8_t> card = test::readFile(raw);
  const auto found = std::search(card.begin(), card.end(), payload.begin(), payload.end());
  ASSERT_NE(found, card.end());
  const uint64_t fileAt = static_cast<uint64_t>(found - card.begin());
  const uint64_t chunkAt = (fileAt + 100000) / 32768 * 32768;
  // Damage that chunk where ewfacquire stored it (uncompressed, so its bytes appear as they are).
  std::vector<uint8_t> e01 = test::readFile(dir_ / "card.E01");
  const auto stored = std::search(e01.begin(), e01.end(), card.begin() + static_cast<long>(chunkAt),
                                  card.begin() + static_cast<long>(chunkAt + 32768));
  ASSERT_NE(stored, e01.end());
  std::fill(stored + 1000, stored + 1016, uint8_t{0xAA});
  test::writeFile(dir_ / "card.E01", e01);

  r = cli({"recover", "--mode", "deleted", "--all", "--out", (dir_ / "out").string(), "--json"}, dir_ / "card.E01");
  EXPECT_EQ(r.status, 1) << r.output;  // marked, not a success
  const size_t json = r.output.find("{\n");
  ASSERT_NE(json, std::string::npos) << r.output;
  const nlohmann::json j = nlohmann::json::parse(r.output.substr(json));
  EXPECT_EQ(j["written"], 0);
  EXPECT_EQ(j["failed"], 0);
  EXPECT_EQ(j["unreadableSectors"], 64);
  ASSERT_EQ(j["marked"].size(), 1u);
  const nlohmann::json& mark = j["marked"][0];
  EXPECT_EQ(mark["unreadableSectors"], 64);
  const uint64_t zerosAt = chunkAt - fileAt;
  EXPECT_EQ(mark["zeros"], nlohmann::json::parse("[{\"offset\": " + std::to_string(zerosAt) + ", \"length\": 32768}]"));
  EXPECT_NE(mark["condition"].get<std::string>().find("64 sectors could not be read; zeros at bytes " +
                                                       std::to_string(zerosAt) + "-" + std::to_string(zerosAt + 32767)),
            std::string::npos)
      << mark;
  // The file holds every readable byte and zeros exactly for the damaged chunk.
  std::vector<uint8_t> expected = payload;
  std::fill(expected.begin() + static_cast<long>(zerosAt), expected.begin() + static_cast<long>(zerosAt + 32768), 0);
  EXPECT_EQ(test::readFile(mark["path"].get<std::string>()), expected);
  // The text summary says it too.
  r = cli({"recover", "--mode", "deleted", "--all", "--out", (dir_ / "out2").string()}, dir_ / "card.E01");
  EXPECT_NE(r.output.find("Recovered 0 of 1 files"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("written but not verified 1"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("\n64 sectors could not be read\n"), std::string::npos) << r.output;
}

TEST(SplitRawImage, PiecesReadAsOneDiskAndAGapIsRefused) {
  BRENIX_REQUIRE_TOOL("split");
  test::TempDir dir;
  const fs::path raw = test::corpusImage("fat/6-fat-undel.dd", dir.path());
  if (raw.empty()) GTEST_SKIP() << "no corpus";
  test::ToolResult r = test::runTool({"split", "-b", "300000", "-d", "-a", "3", "--numeric-suffixes=1",
                                      raw.string(), (dir / "card.").string()});
  ASSERT_EQ(r.status, 0) << r.output;
  ASSERT_TRUE(fs::exists(dir / "card.003"));
  const fs::path first = dir / "card.001";
  EXPECT_EQ(detectImageFormat(first.string()), ImageFormat::SplitRaw);
  SectorReader split, plain;
  ASSERT_TRUE(split.openPath(first.string(), OpenMode::Read));
  ASSERT_TRUE(plain.openPath(raw.string(), OpenMode::Read));
  ASSERT_EQ(split.sizeBytes(), fs::file_size(raw));
  std::vector<uint8_t> a(split.sizeBytes()), b(plain.sizeBytes());
  ASSERT_TRUE(split.readBytesAt(0, a.data(), a.size()));
  ASSERT_TRUE(plain.readBytesAt(0, b.data(), b.size()));
  EXPECT_EQ(a, b);
  uint8_t across[1024], expected[1024];  // a read across the first cut
  ASSERT_TRUE(split.readBytesAt(300000 - 700, across, sizeof across));
  std::copy(b.begin() + 300000 - 700, b.begin() + 300000 - 700 + 1024, expected);
  EXPECT_EQ(0, std::memcmp(across, expected, sizeof across));
  const char* cli = std::getenv("BRENIX_CLI");
  if (cli && fs::exists(cli)) {
    const test::ToolResult onRaw = test::runTool({cli, "scan", "--json", "--images-only", "--image", raw.string()});
    const test::ToolResult onSplit = test::runTool({cli, "scan", "--json", "--images-only", "--image", first.string()});
    ASSERT_EQ(onRaw.status, 0) << onRaw.output;
    EXPECT_NE(onRaw.output.find("\"name\""), std::string::npos);
    EXPECT_EQ(onSplit.output, onRaw.output);
  }
  fs::remove(dir / "card.002");
  SectorReader gap;
  EXPECT_FALSE(gap.openPath(first.string(), OpenMode::Read));
  EXPECT_NE(lastImageOpenMessage().find("piece '" + (dir / "card.002").string() + "' is missing"), std::string::npos)
      << lastImageOpenMessage();
}

}  // namespace
}  // namespace brenix
