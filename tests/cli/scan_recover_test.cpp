// brenix scan / brenix recover driven through the command code with a fake engine.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "cli/commands.h"
#include "cli/progress_line.h"
#include "disk/device_table.h"
#include "jobs/engine_factory_testing.h"
#include "jobs/fake_engine.h"
#include "support/temp_dir.h"

namespace brenix {
namespace {

namespace fs = std::filesystem;
using test::FakeEngine;
using test::FakeFile;
using test::patternBytes;

struct CliRun {
  int status = -1;
  std::string out, err;
};

CliRun runCli(std::vector<std::string> args) {
  CLI::App app{"brenix"};
  app.require_subcommand(1);
  std::function<int()> run;
  auto setRun = [&run](std::function<int()> f) { run = std::move(f); };
  cli::addScanCommand(app, setRun);
  cli::addRecoverCommand(app, setRun);
  DeviceTable::instance().clearImages();
  args.insert(args.begin(), "brenix");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  CliRun r;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
    r.status = run ? run() : 0;
  } catch (const CLI::ParseError& e) {
    r.status = app.exit(e);
  }
  r.out = testing::internal::GetCapturedStdout();
  r.err = testing::internal::GetCapturedStderr();
  DeviceTable::instance().clearImages();
  return r;
}

std::vector<FakeFile> camera() {
  return {{"DCIM/100CANON", "IMG_0001.JPG", patternBytes(5000, 1)},
          {"DCIM/100CANON", "IMG_0002.JPG", patternBytes(3000, 2)},
          {"DCIM/101CANON", "IMG_0101.JPG", patternBytes(1500, 3)},
          {"", "notes.txt", patternBytes(10, 4)}};
}

// Every createEngine call gets a FakeEngine of `kind` over `files`.
class CliTest : public testing::Test {
 protected:
  void SetUp() override {
    image = dir / "card.img";
    test::writeFile(image, std::vector<uint8_t>(2 << 20, 0));  // one region, sectors 63..4095
    useEngine(EngineKind::Ntfs, camera());
  }
  void TearDown() override { setEngineFactoryForTesting({}); }
  void useEngine(EngineKind kind, std::vector<FakeFile> files) {
    setEngineFactoryForTesting([this, kind, files](const std::string& fs, ScanMode) -> std::unique_ptr<ScanEngine> {
      requestedFs = fs;
      auto e = std::make_unique<FakeEngine>(kind, files);
      e->stats = stats;
      e->beforeWrite = beforeWrite;
      return e;
    });
  }
  std::vector<std::string> base(const std::string& command) {
    return {command, "--image", image.string(), "--images-only"};
  }
  std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& more) {
    a.insert(a.end(), more.begin(), more.end());
    return a;
  }

  test::TempDir dir;
  fs::path image;
  std::shared_ptr<FakeEngine::Stats> stats = std::make_shared<FakeEngine::Stats>();
  std::function<void(int)> beforeWrite;
  std::string requestedFs;
};

TEST_F(CliTest, ScanPrintsTheTreeWithThePagesCells) {
  const CliRun r = runCli(with(base("scan"), {"--progress"}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("/DCIM/100CANON  (2 files - 7.81 KB)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Name"), std::string::npos);
  EXPECT_NE(r.out.find("IMG_0001.JPG  4.9KB  JPG File  Del-"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Found: 4 files - 9.29 KB"), std::string::npos);
  // The progress line: status, percent, rate, elapsed and remaining time.
  EXPECT_NE(r.err.find("Found Deleted Files : 4  100%"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Elapsed Time : 00:00:0"), std::string::npos);
  EXPECT_NE(r.err.find("Remaining Time : "), std::string::npos);
  EXPECT_EQ(requestedFs, "Deleted");
  EXPECT_EQ(stats->lastMode, ScanMode::Deleted);
}

TEST_F(CliTest, ScanJsonCsvAndFilters) {
  CliRun r = runCli(with(base("scan"), {"--json", "--filter-size", "larger:2", "--filter-ext", "1"}));
  ASSERT_EQ(r.status, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(r.out, j.dump(2) + "\n");  // written folder by folder, laid out as one whole document
  EXPECT_EQ(j["found"]["count"], 4);
  EXPECT_EQ(j["listed"]["count"], 2);  // IMG_0001 (5000) and IMG_0002 (3000); notes.txt fails the extension
  EXPECT_EQ(j["engine"], "NTFS");
  int files = 0;
  for (const auto& f : j["folders"]) files += static_cast<int>(f["files"].size());
  EXPECT_EQ(files, 2);

  r = runCli(with(base("scan"), {"--csv", "--filter-name", "0101"}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "folder,name,size,size_text,type,attributes,modified,created,accessed\n"
                   "DCIM/101CANON,IMG_0101.JPG,1500,1.5KB,JPG File,Del-,,,\n");

  r = runCli(with(base("scan"), {"--filter-date", "yesterday"}));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("Invalid --filter-date 'yesterday'"), std::string::npos);
  r = runCli(with(base("scan"), {"--filter-size", "between:1"}));
  EXPECT_EQ(r.status, 2);
  r = runCli(with(base("scan"), {"--json", "--csv"}));
  EXPECT_EQ(r.status, 2);
}

TEST_F(CliTest, SectorRangeAndPreviousFileSystem) {
  CliRun r = runCli(with(base("scan"), {"--mode", "raw", "--start", "10"}));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "Start sector is not valid. This must be bigger than 63\n");
  r = runCli(with(base("scan"), {"--mode", "raw", "--end", "5000"}));
  EXPECT_EQ(r.err, "End sector is not valid. This must be less than 4095\n");
  r = runCli(with(base("scan"), {"--mode", "raw", "--start", "100", "--end", "100"}));
  EXPECT_EQ(r.err, "Start sector must be less than end sector\n");
  EXPECT_EQ(stats->scans, 0);

  r = runCli(with(base("scan"), {"--mode", "raw", "--start", "100", "--end", "200", "--types", "JPG, .png"}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(stats->lastMode, ScanMode::Raw);
  EXPECT_EQ(stats->lastStart, 100u);
  EXPECT_EQ(stats->lastEnd, 201u);  // the engines take the first sector past the range
  EXPECT_EQ(stats->lastRawTypes, (std::vector<std::string>{"jpg", "png"}));

  r = runCli(with(base("scan"), {"--mode", "formatted", "--previous-fs", "NTFS"}));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--previous-fs 'NTFS' is not offered for a 'Deleted' partition"), std::string::npos) << r.err;
  r = runCli(with(base("scan"), {"--mode", "bogus"}));
  EXPECT_NE(r.status, 0);
}

TEST_F(CliTest, NamesFromDiskCannotDriveTheTerminal) {
  useEngine(EngineKind::Ntfs, {{"dir\x1b]0;x\x07", "evil\x1b[2J.jpg", patternBytes(5, 1)}});
  CliRun r = runCli(base("scan"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
  EXPECT_NE(r.out.find("evil?[2J.jpg"), std::string::npos) << r.out;
  r = runCli(with(base("scan"), {"--json"}));
  EXPECT_EQ(nlohmann::json::parse(r.out)["folders"][1]["files"][0]["name"], "evil\x1b[2J.jpg");
}

TEST_F(CliTest, NoEngineIsAClearError) {
  setEngineFactoryForTesting([](const std::string&, ScanMode) { return std::unique_ptr<ScanEngine>(); });
  const CliRun r = runCli(base("scan"));
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.err, "No engine for file system 'Deleted'\n");
}

TEST_F(CliTest, RecoverWritesTheSelectionWithTheLayoutAndOverwriteRule) {
  const fs::path out = dir / "out";
  CliRun r = runCli(with(base("recover"), {"--all", "--out", out.string()}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Recovered 4 of 4 files"), std::string::npos) << r.out;
  EXPECT_EQ(test::readFile(out / "DCIM" / "100CANON" / "IMG_0001.JPG"), patternBytes(5000, 1));
  EXPECT_EQ(test::readFile(out / "DCIM" / "101CANON" / "IMG_0101.JPG"), patternBytes(1500, 3));
  EXPECT_EQ(test::readFile(out / "notes.txt"), patternBytes(10, 4));

  // Existing files: never keeps them, all writes them over with exactly the new bytes.
  test::writeFile(out / "notes.txt", std::vector<uint8_t>(50, 0xAA));
  r = runCli(with(base("recover"), {"--select", "*.txt", "--out", out.string(), "--overwrite", "never"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::readFile(out / "notes.txt"), std::vector<uint8_t>(50, 0xAA));
  r = runCli(with(base("recover"), {"--select", "*.TXT", "--out", out.string(), "--overwrite", "all"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::readFile(out / "notes.txt"), patternBytes(10, 4));
  // Without a terminal, ask keeps the file and says so.
  r = runCli(with(base("recover"), {"--select", "notes.txt", "--out", out.string()}));
  EXPECT_NE(r.err.find("Kept the existing file 'notes.txt'"), std::string::npos) << r.err;

  // --folder limits the selection to one folder of the result; raw lays files out by extension.
  useEngine(EngineKind::Raw, camera());
  const fs::path out2 = dir / "out2";
  r = runCli(with(base("recover"), {"--mode", "raw", "--folder", "DCIM/100CANON", "--out", out2.string(), "--json"}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(nlohmann::json::parse(r.out)["written"], 2);
  EXPECT_EQ(test::readFile(out2 / "JPG" / "IMG_0002.JPG"), patternBytes(3000, 2));
  EXPECT_FALSE(fs::exists(out2 / "txt"));
}

TEST_F(CliTest, RecoverReportsFailuresAndExitsNonZero) {
  std::vector<FakeFile> files = camera();
  files[1].unreadable = true;
  useEngine(EngineKind::Ntfs, files);
  const CliRun r = runCli(with(base("recover"), {"--all", "--out", (dir / "out").string()}));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Failed: "), std::string::npos);
  EXPECT_NE(r.err.find("Notice:\nCan not recovery file 'IMG_0002.JPG'.\n"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("Recovered 3 of 4 files"), std::string::npos);
  EXPECT_TRUE(fs::exists(dir / "out" / "DCIM" / "101CANON" / "IMG_0101.JPG"));  // the job went on
}

TEST_F(CliTest, RecoverRefusesBadRequestsBeforeScanning) {
  test::writeFile(dir / "plain", {1});
  CliRun r = runCli(with(base("recover"), {"--all", "--out", (dir / "plain" / "sub").string()}));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Cannot create the output folder"), std::string::npos) << r.err;
  EXPECT_EQ(stats->scans, 0);
  r = runCli(with(base("recover"), {"--all"}));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--out"), std::string::npos);
  r = runCli(with(base("recover"), {"--out", (dir / "o").string()}));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(stats->scans, 0);
  r = runCli(with(base("recover"), {"--select", "*.none", "--out", (dir / "o").string()}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Please select file to recover!\n");
  r = runCli(with(base("recover"), {"--folder", "NOPE", "--out", (dir / "o").string()}));
  EXPECT_EQ(r.err, "No folder 'NOPE' in the scan result\n");
}

TEST_F(CliTest, CtrlCDuringRecoveryKeepsTheFilesWrittenSoFar) {
  std::vector<FakeFile> files;
  for (int i = 0; i < 6; ++i) files.push_back({"", "f" + std::to_string(i) + ".jpg", patternBytes(3000, uint8_t(i))});
  beforeWrite = [](int written) {
    if (written != 2) return;
    std::raise(SIGINT);  // Ctrl-C while the third file is in hand
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the main thread cancels meanwhile
  };
  useEngine(EngineKind::Ntfs, files);
  const fs::path out = dir / "out";
  const CliRun r = runCli(with(base("recover"), {"--all", "--out", out.string(), "--progress"}));
  EXPECT_EQ(r.status, 130);
  // The last progress line shows where the job stopped: two files of 3000
  // bytes behind it out of six (33%), the third one in hand, not 100%.
  const std::string last = r.err.substr(r.err.rfind("Recovering Files : "));
  EXPECT_NE(last.find("Recovering Files : f2.jpg   33%  3/6 files"), std::string::npos) << r.err;
  EXPECT_NE(last.find(" MB/s  Elapsed Time : "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Cancelled; the files written so far are kept"), std::string::npos) << r.err;
  // The files before are whole; the one in hand stops and leaves nothing, not even its temporary file.
  for (int i = 0; i < 2; ++i) EXPECT_EQ(test::readFile(out / ("f" + std::to_string(i) + ".jpg")), patternBytes(3000, uint8_t(i)));
  for (int i = 2; i < 6; ++i) EXPECT_FALSE(fs::exists(out / ("f" + std::to_string(i) + ".jpg")));
  size_t entries = 0;
  for (const auto& e : fs::directory_iterator(out)) entries += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(entries, 2u);
  // The handler is gone again: SIGINT is back to what it was.
  struct sigaction now {};
  sigaction(SIGINT, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
}

TEST_F(CliTest, TwoFoundFilesOfOneNameGiveTwoFilesWithOverwriteAll) {
  useEngine(EngineKind::Fat, {{"DCIM", "IMG_0001.JPG", patternBytes(700, 1)}, {"DCIM", "IMG_0001.JPG", patternBytes(900, 2)}});
  const fs::path out = dir / "out";
  const CliRun r = runCli(with(base("recover"), {"--all", "--out", out.string(), "--overwrite", "all"}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::readFile(out / "DCIM" / "IMG_0001.JPG"), patternBytes(700, 1));
  EXPECT_EQ(test::readFile(out / "DCIM" / "IMG_0001 (2).JPG"), patternBytes(900, 2));
}

TEST_F(CliTest, AnOutputFolderThatVanishesFailsTheRestOneByOne) {
  const fs::path out = dir / "out";
  beforeWrite = [out](int written) {
    if (written == 1) fs::remove_all(out);
  };
  useEngine(EngineKind::Ntfs, camera());
  const CliRun r = runCli(with(base("recover"), {"--all", "--out", out.string()}));
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(fs::exists(out));  // not made again
  size_t gone = 0;
  for (size_t at = r.err.find("is gone"); at != std::string::npos; at = r.err.find("is gone", at + 1)) ++gone;
  EXPECT_EQ(gone, 2u) << r.err;  // the two files after the one in hand, each with its reason
  EXPECT_NE(r.out.find("Recovered 1 of 4 files"), std::string::npos) << r.out;
}

TEST(OverwriteQuestion, AStopSignalEndsAWaitingQuestion) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);  // stands in for a terminal nobody types on
  cli::InterruptGuard guard;
  std::ostringstream out;
  cli::TerminalOverwritePrompt prompt(fds[0], out);
  std::thread signaller([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::raise(SIGTERM);
  });
  const auto t0 = std::chrono::steady_clock::now();
  const OverwriteAnswer answer = prompt.ask("x.jpg");
  const auto waited = std::chrono::steady_clock::now() - t0;
  signaller.join();
  EXPECT_EQ(answer, OverwriteAnswer::Cancel);
  EXPECT_LT(waited, std::chrono::seconds(1));
  EXPECT_EQ(cli::cancelledExitStatus(), 128 + SIGTERM);
  cli::InterruptGuard::clear();
  // A typed answer still works on the same kind of descriptor.
  ASSERT_EQ(write(fds[1], "n\n", 2), 2);
  EXPECT_EQ(prompt.ask("y.jpg"), OverwriteAnswer::No);
  close(fds[0]);
  close(fds[1]);
}

TEST(OverwriteQuestion, TerminalAnswers) {
  std::istringstream in("maybe\n A \nn\n");
  std::ostringstream out;
  cli::TerminalOverwritePrompt prompt(in, out);
  EXPECT_EQ(prompt.ask("x.jpg"), OverwriteAnswer::YesToAll);  // an unknown answer asks again
  EXPECT_NE(out.str().find("Confirm File Overwrite\nThis folder already contains a file named 'x.jpg'\n"
                           "Would you like to overwrite the exsisting file?\n"),
            std::string::npos);
  EXPECT_EQ(prompt.ask("y.jpg"), OverwriteAnswer::No);
  EXPECT_EQ(prompt.ask("z.jpg"), OverwriteAnswer::Cancel);  // end of input
  OverwriteAnswer a;
  EXPECT_TRUE(cli::parseOverwriteAnswer("Yes to all", &a));
  EXPECT_EQ(a, OverwriteAnswer::YesToAll);
  EXPECT_TRUE(cli::parseOverwriteAnswer("yes", &a));
  EXPECT_EQ(a, OverwriteAnswer::Yes);
  EXPECT_FALSE(cli::parseOverwriteAnswer("", &a));
}

}  // namespace
}  // namespace brenix
