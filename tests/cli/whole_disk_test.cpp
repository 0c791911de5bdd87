// A raw scan of a whole card whose partition table is gone, through the
// brenix program: pictures come back byte for byte, the cut without trimming
// runs to the next header, and the option is refused where it does not apply.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "support/temp_dir.h"
#include "support/tools.h"

namespace brenix {
namespace {

namespace fs = std::filesystem;

class WholeDiskScan : public testing::Test {
 protected:
  void SetUp() override {
    const char* cli = std::getenv("BRENIX_CLI");
    const char* source = std::getenv("BRENIX_SOURCE_DIR");
    if (!cli || !fs::exists(cli) || !source) GTEST_SKIP() << "the brenix program is not built";
    cli_ = cli;
    // No partition table: sector 0 is zeros, the pictures lie at sectors 3 and 80.
    std::vector<uint8_t> card(1 << 20, 0);
    const fs::path demo = fs::path(source) / "data" / "demo";
    first_ = test::readFile(demo / "Beach sunset.jpg");
    second_ = test::readFile(demo / "Mountain lake.jpg");
    ASSERT_FALSE(first_.empty());
    ASSERT_LT(first_.size(), (80u - 3u) * 512u);
    std::copy(first_.begin(), first_.end(), card.begin() + 3 * 512);
    std::copy(second_.begin(), second_.end(), card.begin() + 80 * 512);
    image_ = dir_ / "card.img";
    test::writeFile(image_, card);
  }
  test::ToolResult run(std::vector<std::string> args) {
    args.insert(args.begin(), cli_);
    for (const char* a : {"--images-only", "--image"}) args.emplace_back(a);
    args.push_back(image_.string());
    return test::runTool(args);
  }

  test::TempDir dir_;
  std::string cli_;
  fs::path image_;
  std::vector<uint8_t> first_, second_;
};

TEST_F(WholeDiskScan, RecoversEveryPictureExactly) {
  const fs::path out = dir_ / "out";
  const std::string before = test::sha256Of(image_);
  test::ToolResult r = run({"recover", "--mode", "raw", "--whole-disk", "--types", "jpg", "--all", "--out", out.string()});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(test::readFile(out / "jpg" / "File0.jpg"), first_);
  EXPECT_EQ(test::readFile(out / "jpg" / "File1.jpg"), second_);
  EXPECT_EQ(test::sha256Of(image_), before);
}

TEST_F(WholeDiskScan, WithoutTrimmingTheCutRunsToTheNextHeader) {
  test::ToolResult r = run({"scan", "--mode", "raw", "--whole-disk", "--types", "jpg", "--no-trim", "--json"});
  ASSERT_EQ(r.status, 0) << r.output;
  // File0 runs from sector 3 to sector 80, where the next picture starts.
  const std::string cut = std::to_string((80 - 3) * 512);
  EXPECT_TRUE(std::regex_search(r.output, std::regex("\"File0\\.jpg\"[^}]*\"size\":\\s*" + cut))) << r.output;
}

TEST_F(WholeDiskScan, RefusedWhereItDoesNotApply) {
  EXPECT_EQ(run({"scan", "--mode", "deleted", "--whole-disk"}).status, 2);
  EXPECT_EQ(run({"scan", "--mode", "raw", "--whole-disk", "--partition", "0"}).status, 2);
  EXPECT_EQ(run({"scan", "--mode", "deleted", "--no-trim"}).status, 2);
}

}  // namespace
}  // namespace brenix
