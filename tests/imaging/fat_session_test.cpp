// A formatted-drive scan of a 1 GiB quick-formatted FAT32 volume, interrupted
// at about a third with SIGINT and continued from its session file, lists
// exactly what one uninterrupted scan lists and sweeps the first part only
// once (bytes counted by the kernel's I/O accounting of the brenix process).
// Sessions of another disk or with a found list that does not fit the volume
// are refused and left as they are. With the carving of the unclaimed
// clusters on, a stop during the carving continues the carving from its own
// point, not from the volume's start.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "brenix_run.h"
#include "support/temp_dir.h"
#include "support/tools.h"

namespace brenix {
namespace {

namespace fs = std::filesystem;
using test::BrenixRun;
using test::runBrenix;

constexpr long long kSize = 1ll << 30;
constexpr uint64_t kClusterBytes = 4096;
constexpr const char* kCarvedFolder = "Carved";

// Marks the free FAT entries of clusters [size * from, size * to) as bad in
// every FAT, so that mtools puts the next folders behind them. The quick
// format afterwards writes fresh FATs: only the folders' places remain.
void steerAllocation(const fs::path& image, double from, double to) {
  std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
  uint8_t bs[512];
  f.read(reinterpret_cast<char*>(bs), sizeof bs);
  const uint32_t bytesPerSector = bs[11] | bs[12] << 8, reserved = bs[14] | bs[15] << 8, fats = bs[16];
  uint32_t fatSectors = 0;
  std::memcpy(&fatSectors, bs + 36, 4);
  const uint64_t entries = uint64_t(fatSectors) * bytesPerSector / 4;
  std::vector<uint32_t> fat(entries);
  for (uint32_t k = 0; k < fats; ++k) {
    const auto offset = static_cast<std::streamoff>((reserved + uint64_t(k) * fatSectors) * bytesPerSector);
    f.seekg(offset);
    f.read(reinterpret_cast<char*>(fat.data()), static_cast<std::streamsize>(entries * 4));
    for (uint64_t c = std::max<uint64_t>(2, uint64_t(entries * from)); c < uint64_t(entries * to); ++c)
      if (fat[c] == 0) fat[c] = 0x0FFFFFF7;
    f.seekp(offset);
    f.write(reinterpret_cast<const char*>(fat.data()), static_cast<std::streamsize>(entries * 4));
  }
}

class FatSession : public testing::Test {
 protected:
  void SetUp() override {
    const char* cli = std::getenv("BRENIX_CLI");
    if (!cli || !fs::exists(cli)) GTEST_SKIP() << "the brenix program is not built";
    if (test::bytesReadBy(getpid()) < 0) GTEST_SKIP() << "no I/O accounting in /proc";
    for (const char* tool : {"mkfs.vfat", "mmd", "mcopy"}) BRENIX_REQUIRE_TOOL(tool);
    image_ = dir_ / "card.img";
    { std::ofstream(image_, std::ios::binary).close(); }
    fs::resize_file(image_, kSize);
    format();
    for (int i = 1; i <= 3; ++i) {
      std::vector<uint8_t> bytes(static_cast<size_t>(5000 * i));
      for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<uint8_t>((k * 131 + static_cast<size_t>(i)) >> 3);
      test::writeFile(dir_ / ("f" + std::to_string(i) + ".bin"), bytes);
    }
    // Folders near the start, at 40 % and at 75 % of the volume.
    mtools({"mmd", "::A"});
    mtools({"mcopy", file(1), file(2), "::A/"});
    steerAllocation(image_, 0, 0.4);
    mtools({"mmd", "::B"});
    mtools({"mcopy", file(3), "::B/"});
    steerAllocation(image_, 0.4, 0.75);
    mtools({"mmd", "::C"});
    mtools({"mmd", "::C/D"});
    mtools({"mcopy", file(1), "::C/D/"});
    mtools({"mcopy", file(2), "::C/"});
    format();  // the quick format: new FATs and root, the folders stay in the data area
  }
  void format() {
    const test::ToolResult r = test::runTool({"mkfs.vfat", "-F", "32", "-s", "8", image_.string()});
    ASSERT_EQ(r.status, 0) << r.output;
  }
  std::string file(int i) const { return (dir_ / ("f" + std::to_string(i) + ".bin")).string(); }
  void mtools(std::vector<std::string> argv) {
    argv.insert(argv.begin() + 1, {"-i", image_.string()});
    argv.insert(argv.begin(), {"env", "MTOOLS_SKIP_CHECK=1"});
    const test::ToolResult r = test::runTool(argv);
    ASSERT_EQ(r.status, 0) << r.output;
  }
  std::vector<std::string> scan(const fs::path& image, const std::vector<std::string>& more, bool carve = false) const {
    std::vector<std::string> a{"scan", "--images-only", "--image", image.string(), "--mode", "formatted", "--json"};
    if (!carve) a.push_back("--no-carve");
    a.insert(a.end(), more.begin(), more.end());
    return a;
  }
  test::TempDir dir_;
  fs::path image_;
};

TEST_F(FatSession, InterruptedAndResumedListsTheSameSweepingTheFirstPartOnce) {
  const BrenixRun whole = runBrenix(scan(image_, {}), dir_ / "whole.json", 0);
  ASSERT_EQ(whole.status, 0) << whole.output;
  const auto expected = nlohmann::json::parse(test::readFile(dir_ / "whole.json"));
  ASSERT_EQ(expected["found"]["count"], 5) << whole.output;
  EXPECT_GE(whole.bytesRead, kSize * 99 / 100);

  const std::string session = (dir_ / "scan.session").string();
  const BrenixRun first = runBrenix(scan(image_, {"--session", session}), dir_ / "first.json", kSize / 4);
  ASSERT_EQ(first.status, 130) << first.output;
  EXPECT_NE(first.output.find("continue it with --resume " + session), std::string::npos) << first.output;
  auto saved = nlohmann::json::parse(std::ifstream(session));
  EXPECT_FALSE(saved["finished"].get<bool>());
  const uint64_t position = saved["position"];
  const uint64_t sweptFirst = saved["runs"][0]["sweptBytes"];
  EXPECT_GT(position * kClusterBytes, static_cast<uint64_t>(kSize) / 8) << first.output;
  EXPECT_LT(position * kClusterBytes, static_cast<uint64_t>(kSize) * 15 / 16);
  const std::vector<uint8_t> interrupted = test::readFile(session);

  // Refused, the session left as it is: another disk of the same size ...
  const fs::path other = dir_ / "other.img";
  ASSERT_EQ(test::runTool({"cp", "--sparse=always", image_.string(), other.string()}).status, 0);
  {
    std::fstream f(other, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(3);
    f.write("OTHERFAT", 8);
  }
  BrenixRun r = runBrenix(scan(other, {"--resume", session}), dir_ / "r.json", 0);
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("it belongs to another disk"), std::string::npos) << r.output;
  // ... and a found folder past the position reached.
  const fs::path bent = dir_ / "bent.session";
  auto j = saved;
  j["found"].push_back(position + 10);
  j["found"].push_back(1);
  const std::string bentText = j.dump();
  test::writeFile(bent, std::vector<uint8_t>(bentText.begin(), bentText.end()));
  const std::vector<uint8_t> bentBytes = test::readFile(bent);
  r = runBrenix(scan(image_, {"--resume", bent.string()}), dir_ / "r.json", 0);
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("refused: found directory run at cluster " + std::to_string(position + 10) + " does not fit"),
            std::string::npos)
      << r.output;
  EXPECT_EQ(test::readFile(bent), bentBytes);
  EXPECT_EQ(test::readFile(session), interrupted);

  const BrenixRun second = runBrenix(scan(image_, {"--resume", session}), dir_ / "second.json", 0);
  ASSERT_EQ(second.status, 0) << second.output;
  EXPECT_EQ(nlohmann::json::parse(test::readFile(dir_ / "second.json")), expected);
  // The second run swept only what the first had not.
  const long long slack = 16 << 20;
  EXPECT_LT(second.bytesRead, kSize - static_cast<long long>(position * kClusterBytes) + slack)
      << "resumed at cluster " << position;
  EXPECT_LT(first.bytesRead + second.bytesRead, whole.bytesRead + 2 * slack);
  saved = nlohmann::json::parse(std::ifstream(session));
  EXPECT_TRUE(saved["finished"].get<bool>());
  ASSERT_EQ(saved["runs"].size(), 2u);
  EXPECT_EQ(saved["runs"][1]["from"], position);
  const uint64_t clusters = saved["range"][1].get<uint64_t>() - saved["range"][0].get<uint64_t>();
  EXPECT_EQ(sweptFirst + saved["runs"][1]["sweptBytes"].get<uint64_t>(), clusters * kClusterBytes);
}

TEST_F(FatSession, StoppedWhileCarvingCarvesOnFromWhereItStopped) {
  BRENIX_REQUIRE_TOOL("convert");
  // Pictures in clusters no folder claims: two before the point the carving is stopped at, one after it.
  std::vector<uint64_t> at;
  for (const int percent : {3, 6, 95})
    at.push_back(static_cast<uint64_t>(kSize) * percent / 100 / kClusterBytes * kClusterBytes);
  for (size_t i = 0; i < at.size(); ++i) {
    const fs::path jpeg = dir_ / ("p" + std::to_string(i) + ".jpg");
    const test::ToolResult made = test::runTool(
        {"convert", "-size", "320x240", "gradient:red-" + std::string(i == 0 ? "green" : i == 1 ? "blue" : "yellow"),
         jpeg.string()});
    ASSERT_EQ(made.status, 0) << made.output;
    const std::vector<uint8_t> bytes = test::readFile(jpeg);
    std::fstream f(image_, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(at[i]));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  const BrenixRun whole = runBrenix(scan(image_, {}, true), dir_ / "whole.json", 0);
  ASSERT_EQ(whole.status, 0) << whole.output;
  const std::vector<uint8_t> wholeText = test::readFile(dir_ / "whole.json");
  const auto expected = nlohmann::json::parse(wholeText);
  size_t carved = 0;
  for (const auto& folder : expected["folders"])
    if (folder["path"].get<std::string>().rfind(kCarvedFolder, 0) == 0) carved += folder["files"].size();
  ASSERT_EQ(carved, 3u) << std::string(wholeText.begin(), wholeText.end());
  // The sweep reads the volume once, the carving once more.
  EXPECT_GE(whole.bytesRead, 2 * kSize * 99 / 100);

  // Stopped with the carving at about 15 % of the volume: the first picture
  // found, the second open (it runs on until the next header or its maximal
  // size, 500 MiB, unless the stop came late).
  const std::string session = (dir_ / "carve.session").string();
  const BrenixRun first = runBrenix(scan(image_, {"--session", session}, true), dir_ / "first.json", kSize * 23 / 20);
  ASSERT_EQ(first.status, 130) << first.output;
  const auto saved = nlohmann::json::parse(std::ifstream(session));
  ASSERT_TRUE(saved["sweepEnded"].get<bool>()) << saved.dump();
  ASSERT_TRUE(saved.contains("carve")) << saved.dump();
  const uint64_t position = saved["carve"]["position"];
  EXPECT_GT(position, at[1]) << first.output;
  EXPECT_LT(position, at[2]) << first.output;
  bool firstPictureKept = false;
  for (const auto& f : saved["carve"]["files"]) firstPictureKept |= f["startSector"].get<uint64_t>() == at[0] / 512;
  EXPECT_TRUE(firstPictureKept) << saved["carve"].dump();
  const auto& open = saved["carve"]["open"];
  bool secondPictureKept = false;
  for (const auto& f : saved["carve"]["files"]) secondPictureKept |= f["startSector"].get<uint64_t>() == at[1] / 512;
  EXPECT_TRUE(open.is_object() ? open["start"] == at[1] : secondPictureKept) << saved["carve"].dump();

  // A carving position past the end of the disk is refused, the file left as it is.
  const fs::path bent = dir_ / "bent.session";
  auto j = saved;
  j["carve"]["position"] = static_cast<uint64_t>(kSize) * 2;
  const std::string bentText = j.dump();
  test::writeFile(bent, std::vector<uint8_t>(bentText.begin(), bentText.end()));
  BrenixRun r = runBrenix(scan(image_, {"--resume", bent.string()}, true), dir_ / "r.json", 0);
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("refused: its carving part does not fit the volume: its position lies past the end of the disk"),
            std::string::npos)
      << r.output;
  EXPECT_EQ(test::readFile(bent), std::vector<uint8_t>(bentText.begin(), bentText.end()));

  // A session without a carving part (kept before the carving was followed) carves from the start.
  const fs::path older = dir_ / "older.session";
  j = saved;
  j.erase("carve");
  const std::string olderText = j.dump();
  test::writeFile(older, std::vector<uint8_t>(olderText.begin(), olderText.end()));
  r = runBrenix(scan(image_, {"--resume", older.string()}, true), dir_ / "older.json", 0);
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(nlohmann::json::parse(test::readFile(dir_ / "older.json")), expected);
  EXPECT_GT(r.bytesRead, kSize * 99 / 100);

  const BrenixRun second = runBrenix(scan(image_, {"--resume", session}, true), dir_ / "second.json", 0);
  ASSERT_EQ(second.status, 0) << second.output;
  EXPECT_EQ(nlohmann::json::parse(test::readFile(dir_ / "second.json")), expected);
  // The resumed run carved only what the first had not, and did not sweep
  // again (each carved chunk is read with the signatures' reach past its end,
  // some 1.6 % more than the bytes carved).
  const long long slack = 16 << 20;
  EXPECT_LT(second.bytesRead, (kSize - static_cast<long long>(position)) * 21 / 20 + slack)
      << "resumed carving at byte " << position;
  EXPECT_LT(first.bytesRead + second.bytesRead, whole.bytesRead + 2 * slack);
  const auto done = nlohmann::json::parse(std::ifstream(session));
  EXPECT_TRUE(done["finished"].get<bool>());
  ASSERT_EQ(done["carve"]["runs"].size(), 2u);
  EXPECT_EQ(done["carve"]["runs"][1]["from"], position);
}

}  // namespace
}  // namespace brenix
