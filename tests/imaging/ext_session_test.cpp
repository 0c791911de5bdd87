// A deleted-file scan of a 4 GiB EXT4 volume with 1 GiB of inode tables,
// interrupted at about a quarter with SIGINT and continued from its session
// file, lists exactly what one uninterrupted scan lists and reads the tables
// before the stop only once. A session naming an inode that is no deleted
// file is refused and left as it is.
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
using test::runBrenix;

constexpr uint64_t kInodesPerGroup = 32768;
constexpr uint64_t kGroups = 128;
constexpr long long kTableBytesPerGroup = kInodesPerGroup * 256;
constexpr long long kTableBytes = kGroups * kTableBytesPerGroup;

class ExtSession : public testing::Test {
 protected:
  void SetUp() override {
    const char* cli = std::getenv("BRENIX_CLI");
    if (!cli || !fs::exists(cli)) GTEST_SKIP() << "the brenix program is not built";
    if (test::bytesReadBy(getpid()) < 0) GTEST_SKIP() << "no I/O accounting in /proc";
    for (const char* tool : {"mkfs.ext4", "debugfs"}) BRENIX_REQUIRE_TOOL(tool);
    image_ = dir_ / "volume.img";
    // Without group checksums every table is read whole: 128 groups of 8 MiB of inodes.
    test::ToolResult r = test::runTool({"mkfs.ext4", "-F", "-q", "-O", "^metadata_csum,^uninit_bg", "-g", "8192", "-N",
                                        "4194304", "-I", "256", "-J", "size=4", image_.string(), "4G"});
    ASSERT_EQ(r.status, 0) << r.output;
    // Deleted files in groups 0, 64 and 100: inodes marked in use push each
    // next file's inode on, and are freed again (never lived, so not listed).
    auto write = [&](int i) {
      std::vector<uint8_t> bytes(static_cast<size_t>(7000 * i));
      for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<uint8_t>((k * 131 + size_t(i)) >> 3);
      const fs::path host = dir_ / ("p" + std::to_string(i) + ".jpg");
      test::writeFile(host, bytes);
      return "write " + host.string() + " p" + std::to_string(i) + ".jpg\n";
    };
    const std::string commands = write(1) + "seti <13> 2097140\n" + write(2) + "seti <2097154> 1179647\n" + write(3) +
                                 "freei <13> 2097140\nfreei <2097154> 1179647\nrm p1.jpg\nrm p2.jpg\nrm p3.jpg\n";
    r = test::runTool({"debugfs", "-w", "-f", "-", image_.string()}, commands);
    ASSERT_EQ(r.status, 0) << r.output;
  }
  std::vector<std::string> scan(const std::vector<std::string>& more) const {
    std::vector<std::string> a{"scan", "--images-only", "--image", image_.string(), "--mode", "deleted", "--json"};
    a.insert(a.end(), more.begin(), more.end());
    return a;
  }
  test::TempDir dir_;
  fs::path image_;
};

TEST_F(ExtSession, InterruptedAndResumedListsTheSameReadingTheFirstTablesOnce) {
  const BrenixRun whole = runBrenix(scan({}), dir_ / "whole.json", 0);
  ASSERT_EQ(whole.status, 0) << whole.output;
  const auto expected = nlohmann::json::parse(test::readFile(dir_ / "whole.json"));
  ASSERT_EQ(expected["found"]["count"], 3) << whole.output;
  EXPECT_GE(whole.bytesRead, kTableBytes);

  const std::string session = (dir_ / "scan.session").string();
  const BrenixRun first = runBrenix(scan({"--session", session}), dir_ / "first.json", kTableBytes / 4);
  ASSERT_EQ(first.status, 130) << first.output;
  const auto saved = nlohmann::json::parse(std::ifstream(session));
  const uint64_t position = saved["position"];
  EXPECT_NE(first.output.find("at group " + std::to_string(position)), std::string::npos) << first.output;
  EXPECT_GT(position, kGroups / 8) << first.output;
  EXPECT_LT(position, kGroups * 15 / 16);
  // The inodes found in the groups before the stop: the first file's, and the second's past group 64.
  ASSERT_EQ(saved["found"], position <= 64 ? nlohmann::json::array({12}) : nlohmann::json::array({12, 2097153}));
  const std::vector<uint8_t> interrupted = test::readFile(session);

  // The root folder's inode among the found ones is refused, the file left as it is.
  auto j = saved;
  j["found"].insert(j["found"].begin(), 2);
  const fs::path bent = dir_ / "bent.session";
  const std::string bentText = j.dump();
  test::writeFile(bent, std::vector<uint8_t>(bentText.begin(), bentText.end()));
  const BrenixRun r = runBrenix(scan({"--resume", bent.string()}), dir_ / "r.json", 0);
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("refused: found inode 2 is not a deleted file of this volume's inode tables"),
            std::string::npos)
      << r.output;
  EXPECT_EQ(test::readFile(bent), std::vector<uint8_t>(bentText.begin(), bentText.end()));
  EXPECT_EQ(test::readFile(session), interrupted);

  const BrenixRun second = runBrenix(scan({"--resume", session}), dir_ / "second.json", 0);
  ASSERT_EQ(second.status, 0) << second.output;
  EXPECT_EQ(nlohmann::json::parse(test::readFile(dir_ / "second.json")), expected);
  // The tables before the stop were not read again (the journal and the folders are).
  EXPECT_LT(second.bytesRead, whole.bytesRead - static_cast<long long>(position) * kTableBytesPerGroup + (4 << 20))
      << "resumed at group " << position;
  const auto done = nlohmann::json::parse(std::ifstream(session));
  EXPECT_TRUE(done["finished"].get<bool>());
  EXPECT_EQ(done["runs"][0]["sweptBytes"].get<uint64_t>() + done["runs"][1]["sweptBytes"].get<uint64_t>(),
            static_cast<uint64_t>(kTableBytes));
}

}  // namespace
}  // namespace brenix
