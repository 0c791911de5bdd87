// A raw scan of a 1 GiB image interrupted at about half with SIGINT and
// continued from its session file finds exactly what one uninterrupted scan
// finds, and reads the first half only once (bytes counted by the kernel's
// I/O accounting of the brenix process). Sessions of another disk, with
// other options, or truncated are refused and left as they are.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "brenix_run.h"
#include "support/temp_dir.h"
#include "support/tools.h"

namespace brenix {
namespace {

namespace fs = std::filesystem;
using test::BrenixRun;
using test::bytesReadBy;
using test::runBrenix;

class RawSession : public testing::Test {
 protected:
  void SetUp() override {
    const char* cli = std::getenv("BRENIX_CLI");
    const char* source = std::getenv("BRENIX_SOURCE_DIR");
    if (!cli || !fs::exists(cli) || !source) GTEST_SKIP() << "the brenix program is not built";
    if (bytesReadBy(getpid()) < 0) GTEST_SKIP() << "no I/O accounting in /proc";
    // 1 GiB, sparse, with the demo pictures at odd places all over it.
    image_ = dir_ / "disk.img";
    std::vector<fs::path> pictures;
    for (const auto& e : fs::directory_iterator(fs::path(source) / "data" / "demo")) pictures.push_back(e.path());
    std::sort(pictures.begin(), pictures.end());
    ASSERT_FALSE(pictures.empty());
    std::ofstream f(image_, std::ios::binary);
    for (int i = 0; i < 24; ++i) {
      const std::vector<uint8_t> data = test::readFile(pictures[static_cast<size_t>(i) % pictures.size()]);
      f.seekp((static_cast<long long>(i) * 43 + 7) * 1024 * 1024 + i * 1536);
      f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    f.seekp(kSize - 1);
    f.put('\0');
  }
  std::vector<std::string> scan(const std::vector<std::string>& more) const {
    std::vector<std::string> a{"scan", "--images-only", "--image", image_.string(), "--mode", "raw", "--whole-disk",
                               "--types", "jpg", "--json"};
    a.insert(a.end(), more.begin(), more.end());
    return a;
  }
  static constexpr long long kSize = 1ll << 30;
  test::TempDir dir_;
  fs::path image_;
};

// Without trimming, so that the bytes read are the sweep's alone (trimming
// reads each carved file again to find its format's end).
TEST_F(RawSession, InterruptedAtHalfAndResumedFindsTheSameReadingTheFirstHalfOnce) {
  const BrenixRun whole = runBrenix(scan({"--no-trim"}), dir_ / "whole.json", 0);
  ASSERT_EQ(whole.status, 0) << whole.output;
  const auto expected = nlohmann::json::parse(test::readFile(dir_ / "whole.json"));
  ASSERT_EQ(expected["found"]["count"], 24) << whole.output;
  EXPECT_GE(whole.bytesRead, kSize);
  EXPECT_LT(whole.bytesRead, kSize + (16 << 20));

  const std::string session = (dir_ / "scan.session").string();
  const BrenixRun first = runBrenix(scan({"--no-trim", "--session", session}), dir_ / "first.json", kSize * 3 / 8);
  ASSERT_EQ(first.status, 130) << first.output;
  EXPECT_NE(first.output.find("continue it with --resume " + session), std::string::npos) << first.output;
  auto saved = nlohmann::json::parse(std::ifstream(session));
  const uint64_t position = saved["position"];
  EXPECT_FALSE(saved["finished"].get<bool>());
  // Ctrl-C is noticed within a tenth of a second; the sweep may go on a little meanwhile.
  EXPECT_GT(position, static_cast<uint64_t>(kSize) / 8) << first.output;
  EXPECT_LT(position, static_cast<uint64_t>(kSize) * 15 / 16);
  EXPECT_LT(saved["files"].size(), 24u);

  const BrenixRun second = runBrenix(scan({"--no-trim", "--resume", session}), dir_ / "second.json", 0);
  ASSERT_EQ(second.status, 0) << second.output;
  EXPECT_EQ(nlohmann::json::parse(test::readFile(dir_ / "second.json")), expected);
  // The second run read only what the first had not: its bytes are the rest
  // of the disk plus the program's own small reads (rp.dat, partition tables).
  const long long slack = 16 << 20;
  EXPECT_LT(second.bytesRead, kSize - static_cast<long long>(position) + slack) << "resumed at " << position;
  EXPECT_LT(first.bytesRead + second.bytesRead, kSize + 2 * slack);
  saved = nlohmann::json::parse(std::ifstream(session));
  EXPECT_TRUE(saved["finished"].get<bool>());
  ASSERT_EQ(saved["runs"].size(), 2u);
  EXPECT_EQ(saved["runs"][1]["from"], position);
  EXPECT_EQ(saved["runs"][0]["sweptBytes"].get<uint64_t>() + saved["runs"][1]["sweptBytes"].get<uint64_t>(),
            static_cast<uint64_t>(kSize));
}

TEST_F(RawSession, TrimmedScanResumesToTheSameFilesAndBadSessionsAreRefusedUntouched) {
  const std::string session = (dir_ / "scan.session").string();
  const BrenixRun first = runBrenix(scan({"--session", session}), dir_ / "first.json", kSize / 3);
  ASSERT_EQ(first.status, 130) << first.output;
  const std::vector<uint8_t> original = test::readFile(session);
  const fs::path copy = dir_ / "copy.session";
  test::writeFile(copy, original);
  const BrenixRun whole = runBrenix(scan({}), dir_ / "whole.json", 0);
  const BrenixRun resumed = runBrenix(scan({"--resume", copy.string()}), dir_ / "resumed.json", 0);
  ASSERT_EQ(resumed.status, 0) << resumed.output;
  EXPECT_EQ(nlohmann::json::parse(test::readFile(dir_ / "resumed.json")),
            nlohmann::json::parse(test::readFile(dir_ / "whole.json")));
  // A finished session is not resumed again.
  BrenixRun again = runBrenix(scan({"--resume", copy.string()}), dir_ / "again.json", 0);
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.output.find("that scan is finished"), std::string::npos) << again.output;
  // Other options.
  BrenixRun r = runBrenix(scan({"--resume", session, "--max-size", "100"}), dir_ / "r.json", 0);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("it was made with other scan options"), std::string::npos) << r.output;
  // Another disk: the same size, another first sector.
  {
    std::fstream f(image_, std::ios::in | std::ios::out | std::ios::binary);
    f.write("other", 5);
  }
  r = runBrenix(scan({"--resume", session}), dir_ / "r.json", 0);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("it belongs to another disk"), std::string::npos) << r.output;
  EXPECT_EQ(test::readFile(session), original);
  // Truncated.
  const fs::path cut = dir_ / "cut.session";
  test::writeFile(cut, std::vector<uint8_t>(original.begin(), original.begin() + static_cast<long>(original.size() / 2)));
  r = runBrenix(scan({"--resume", cut.string()}), dir_ / "r.json", 0);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("it is damaged or truncated"), std::string::npos) << r.output;
  EXPECT_EQ(fs::file_size(cut), original.size() / 2);
}

}  // namespace
}  // namespace brenix
