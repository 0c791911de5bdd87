// The brenix program run as a user runs it: recovered files never land on
// what is being rescued, never stand cut off under their own names, and the
// program stops when it is told to.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "support/temp_dir.h"
#include "support/tools.h"

namespace brenix {
namespace {

namespace fs = std::filesystem;

class RecoverySafety : public testing::Test {
 protected:
  void SetUp() override {
    const char* cli = std::getenv("BRENIX_CLI");
    if (!cli || !fs::exists(cli)) GTEST_SKIP() << "the brenix program is not built";
    cli_ = cli;
  }
  test::ToolResult run(std::vector<std::string> args) {
    args.insert(args.begin(), cli_);
    return test::runTool(args);
  }

  test::TempDir dir_;
  std::string cli_;
};

TEST_F(RecoverySafety, OutputOnAFuseMountOfTheScannedImageIsRefused) {
  BRENIX_REQUIRE_TOOL("mkntfs");
  BRENIX_REQUIRE_TOOL("ntfs-3g");
  const fs::path img = dir_ / "card.img", mnt = dir_ / "mnt";
  test::writeFile(img, {});
  fs::resize_file(img, 16u << 20);
  ASSERT_EQ(test::runTool({"mkntfs", "-F", "-q", "-f", img.string()}).status, 0);
  fs::create_directories(mnt);
  if (test::runTool({"ntfs-3g", img.string(), mnt.string()}).status != 0) GTEST_SKIP() << "ntfs-3g cannot mount (no FUSE)";
  struct Unmount {
    fs::path at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{mnt};
  test::writeFile(mnt / "photo.jpg", std::vector<uint8_t>(3000, 7));
  ASSERT_EQ(test::runTool({"sync"}).status, 0);
  const std::string before = test::sha256Of(img);
  const test::ToolResult r =
      run({"recover", "--images-only", "--image", img.string(), "--all", "--out", (mnt / "recovered").string()});
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("It is not recommend to save your recovered files to the same partition"), std::string::npos)
      << r.output;
  EXPECT_FALSE(fs::exists(mnt / "recovered"));
  EXPECT_EQ(test::sha256Of(img), before);
}

}  // namespace
}  // namespace brenix
