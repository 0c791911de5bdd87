// brenix mail repair, run as a program.
#include <gtest/gtest.h>

#include <cstdlib>

#include "mail/mail_test_util.h"
#include "support/temp_dir.h"
#include "support/tools.h"

namespace fs = std::filesystem;
using namespace brenix::test;

namespace {

const std::string kRule(43, '-');

// Runs the program with stdin `input`; stdout only in `output`.
ToolResult runMail(std::vector<std::string> args, const std::string& input = {}) {
  const char* cli = std::getenv("BRENIX_CLI");
  std::vector<std::string> argv = {"sh", "-c", "exec \"$0\" \"$@\" 2>/dev/null", cli ? cli : "brenix", "mail",
                                   "repair"};
  argv.insert(argv.end(), args.begin(), args.end());
  return runTool(argv, input);
}

std::string block(const fs::path& source, const char* result) {
  return "Selected file: " + source.string() + "\n" + result + "\n" + kRule + "\n";
}

}  // namespace

TEST(MailCli, RepairsIntoTheOutputFolderAndPrintsTheReport) {
  TempDir tmp;
  fs::create_directory(tmp / "out");
  fs::path good = corpusStore("dbx/test.dbx", tmp.path());
  if (good.empty()) GTEST_SKIP() << "corpus missing";
  writeFile(tmp / "other.dbx", {'n', 'o', 'p', 'e'});
  const std::string sha = sha256Of(good);

  ToolResult r = runMail({"--kind", "dbx", good.string(), (tmp / "other.dbx").string(), "--out", (tmp / "out").string()});
  EXPECT_EQ(r.status, 1);  // one file was not repaired
  EXPECT_EQ(r.output, block(good, "Repaired") + block(tmp / "other.dbx", "Unsupported format"));
  EXPECT_EQ(sha256Of(tmp / "out" / "test.dbx"), sha);
  EXPECT_EQ(sha256Of(good), sha);

  // The copy from the first run is replaced without a question.
  r = runMail({"--kind", "pst", (tmp / "other.dbx").string(), "--out", (tmp / "out").string(), "--overwrite", "all"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, block(tmp / "other.dbx", "Repaired"));
}

// --overwrite never / all, and ask when no terminal can answer.
TEST(MailCli, OverwriteModes) {
  TempDir tmp;
  fs::create_directory(tmp / "out");
  writeFile(tmp / "a.pst", {'x', 'x', 'x', 'x', '1'});
  writeFile(tmp / "b.pst", {'x', 'x', 'x', 'x', '2'});
  const std::vector<uint8_t> old = {'o', 'l', 'd'};
  writeFile(tmp / "out" / "a.pst", old);
  const std::vector<std::string> files = {"--kind", "pst", (tmp / "a.pst").string(), (tmp / "b.pst").string(),
                                          "--out", (tmp / "out").string()};
  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = files;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };

  ToolResult never = runMail(with({"--overwrite", "never"}));
  EXPECT_EQ(never.status, 0);
  EXPECT_EQ(never.output, block(tmp / "b.pst", "Repaired"));
  EXPECT_EQ(fileBytes(tmp / "out" / "a.pst"), old);

  // ask without a terminal keeps the existing copy, as "No" would.
  fs::remove(tmp / "out" / "b.pst");
  ToolResult kept = runMail(with({"--overwrite", "ask"}), "y\n");
  EXPECT_EQ(kept.status, 0);
  EXPECT_EQ(kept.output, block(tmp / "b.pst", "Repaired"));
  EXPECT_EQ(fileBytes(tmp / "out" / "a.pst"), old);

  ToolResult all = runMail(with({"--overwrite", "all"}));
  EXPECT_EQ(all.status, 0);
  EXPECT_EQ(all.output, block(tmp / "a.pst", "Repaired") + block(tmp / "b.pst", "Repaired"));
  EXPECT_EQ(fileBytes(tmp / "out" / "a.pst"), (std::vector<uint8_t>{'!', 'B', 'D', 'N', '1'}));
}

TEST(MailCli, UsageErrors) {
  TempDir tmp;
  EXPECT_NE(runMail({"--kind", "box", "x.box", "--out", tmp.path().string()}).status, 0);
  EXPECT_NE(runMail({"--kind", "pst", "--out", tmp.path().string()}).status, 0);
  EXPECT_NE(runMail({"--kind", "pst", "x.pst"}).status, 0);
  EXPECT_TRUE(listFolder(tmp.path()).empty());
}
