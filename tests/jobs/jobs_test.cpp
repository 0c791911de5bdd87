// The job runner and the scan -> check -> recover cycle on a fake engine.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <thread>

#include "jobs/engine_factory.h"
#include "jobs/engine_factory_testing.h"
#include "jobs/fake_engine.h"
#include "jobs/job_runner.h"
#include "jobs/scan_jobs.h"
#include "support/temp_dir.h"

namespace brenix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::FakeEngine;
using test::FakeFile;
using test::patternBytes;

TEST(JobRunner, RunsOnAWorkerAndCancelClearsTheFlag) {
  JobRunner runner;
  std::atomic<bool> started{false};
  std::thread::id workerId;
  ASSERT_TRUE(runner.start([&](RunningFlag& running) {
    workerId = std::this_thread::get_id();
    started = true;
    while (running.load()) std::this_thread::sleep_for(1ms);
  }));
  while (!started) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(runner.busy());
  EXPECT_FALSE(runner.waitFor(20ms));
  EXPECT_FALSE(runner.start([](RunningFlag&) {}));  // one job at a time
  runner.cancel();
  EXPECT_TRUE(runner.waitFor(5s));
  runner.wait();
  EXPECT_NE(workerId, std::this_thread::get_id());
  EXPECT_FALSE(runner.busy());
  int runs = 0;
  ASSERT_TRUE(runner.start([&](RunningFlag& running) { runs += running.load() ? 1 : 0; }));  // the flag is set again
  runner.wait();
  EXPECT_EQ(runs, 1);
}

TEST(JobRunner, DestructorStopsARunningJob) {
  std::atomic<bool> ended{false};
  {
    JobRunner runner;
    runner.start([&](RunningFlag& running) {
      while (running.load()) std::this_thread::sleep_for(1ms);
      ended = true;
    });
  }
  EXPECT_TRUE(ended);
}

struct FactoryGuard {
  explicit FactoryGuard(EngineFactoryFunction f) { setEngineFactoryForTesting(std::move(f)); }
  ~FactoryGuard() { setEngineFactoryForTesting({}); }
};

std::vector<FakeFile> camera() {
  return {{"DCIM/100CANON", "IMG_0001.JPG", patternBytes(5000, 1)},
          {"DCIM/100CANON", "IMG_0002.JPG", patternBytes(3000, 2)},
          {"DCIM/101CANON", "IMG_0101.JPG", patternBytes(1500, 3)},
          {"", "notes.txt", patternBytes(10, 4)}};
}

TEST(Jobs, ScanCheckRecoverCycle) {
  std::shared_ptr<FakeEngine::Stats> stats;
  FactoryGuard guard([&](const std::string& fs, ScanMode) -> std::unique_ptr<ScanEngine> {
    if (fs != "FAT32") return nullptr;
    auto e = std::make_unique<FakeEngine>(EngineKind::Fat, camera());
    stats = e->stats;
    return e;
  });
  EXPECT_EQ(createEngine("NTFS", ScanMode::Deleted), nullptr);
  std::unique_ptr<ScanEngine> engine = createEngine("FAT32", ScanMode::Deleted);
  ASSERT_NE(engine, nullptr);

  RecoveryContext ctx;
  ResultTree tree;
  JobRunner runner;
  ScanResult scanResult;
  runner.start([&](RunningFlag& running) { scanResult = runScanJob(*engine, ScanMode::Deleted, ctx, tree, running); });
  runner.wait();
  EXPECT_EQ(scanResult.error, 0);
  EXPECT_EQ(ctx.progress.title(), "Scanning Deleted Files ...");
  EXPECT_EQ(ctx.progress.status(), "Found Deleted Files : 4");

  ResultsModel model(EngineKind::Fat, tree);
  model.syncFolderChecks();
  RecoveryPlan plan = planRecovery(model);
  EXPECT_FALSE(plan.ok);
  EXPECT_EQ(plan.message, "Please check files for recovering");

  ResultFolder* c100 = tree.findChild(*tree.findChild(tree.root(), "DCIM"), "100CANON");
  ASSERT_NE(c100, nullptr);
  model.setFolderChecked(*c100, true);
  EXPECT_EQ(model.selectedLineText(), "2 files - 7.81 KB");
  plan = planRecovery(model);
  ASSERT_TRUE(plan.ok);

  test::TempDir dir;
  const fs::path out = dir / "recovered";
  ScannedSource source;  // an image: nothing to refuse
  source.isImage = true;
  ASSERT_EQ(prepareDestination(source, out), "");
  FixedOverwritePrompt prompt(OverwriteAnswer::No);
  RecoveryOutcome outcome;
  runner.start([&](RunningFlag& running) {
    outcome = runRecoveryJob(*engine, tree, plan.steps, out, prompt, ctx.progress, running);
  });
  runner.wait();
  EXPECT_EQ(ctx.progress.title(), "Recovering Deleted Files ...");
  EXPECT_EQ(outcome.written, 2u);
  EXPECT_EQ(test::readFile(out / "DCIM" / "100CANON" / "IMG_0001.JPG"), patternBytes(5000, 1));
  EXPECT_EQ(test::readFile(out / "DCIM" / "100CANON" / "IMG_0002.JPG"), patternBytes(3000, 2));
  EXPECT_FALSE(fs::exists(out / "DCIM" / "101CANON"));
  EXPECT_FALSE(fs::exists(out / "notes.txt"));
  EXPECT_EQ(ctx.progress.total(), 2);
  EXPECT_EQ(ctx.progress.done(), 2);
}

TEST(Jobs, CancelKeepsFilesWrittenAndStopsTheFileInHand) {
  FakeEngine engine(EngineKind::Ntfs, camera());
  RecoveryContext ctx;
  ResultTree tree;
  RunningFlag on{true};
  engine.scan(ScanMode::Deleted, ctx, tree, on);
  ResultsModel model(EngineKind::Ntfs, tree);
  model.setFolderChecked(tree.root(), true);
  const RecoveryPlan plan = planRecovery(model);
  ASSERT_EQ(countFiles(plan.steps), 4u);

  test::TempDir dir;
  JobRunner runner;
  engine.beforeWrite = [&](int written) {
    if (written == 1) runner.cancel();  // Cancel while the second file is in hand
  };
  FixedOverwritePrompt prompt(OverwriteAnswer::No);
  RecoveryOutcome outcome;
  runner.start([&](RunningFlag& running) {
    outcome = runRecoveryJob(engine, tree, plan.steps, dir.path(), prompt, ctx.progress, running);
  });
  runner.wait();
  EXPECT_TRUE(outcome.cancelled);
  EXPECT_EQ(outcome.written, 1u);
  EXPECT_EQ(outcome.failed, 1u);  // the file in hand is not whole: not recovered
  // Depth-first order: notes.txt (root) first, then IMG_0001 in hand when cancelled.
  EXPECT_EQ(test::readFile(dir / "notes.txt"), patternBytes(10, 4));
  // The file in hand stops at its next chunk and leaves nothing behind.
  const fs::path folder = dir.path() / "DCIM" / "100CANON";
  EXPECT_FALSE(fs::exists(folder / "IMG_0001.JPG"));
  EXPECT_FALSE(fs::exists(folder / "IMG_0002.JPG"));
  EXPECT_TRUE(fs::is_empty(folder));
}

TEST(Jobs, CancelReachesALargeFileBeingWritten) {
  FakeEngine engine(EngineKind::Ntfs, {{"", "small.jpg", patternBytes(100, 1)}, {"", "huge.vhd", {}, false, false, 2ull << 30}});
  RecoveryContext ctx;
  ResultTree tree;
  RunningFlag on{true};
  engine.scan(ScanMode::Deleted, ctx, tree, on);
  ResultsModel model(EngineKind::Ntfs, tree);
  model.setFolderChecked(tree.root(), true);
  const RecoveryPlan plan = planRecovery(model);
  test::TempDir dir;
  JobRunner runner;
  FixedOverwritePrompt prompt(OverwriteAnswer::No);
  RecoveryOutcome outcome;
  runner.start([&](RunningFlag& running) {
    outcome = runRecoveryJob(engine, tree, plan.steps, dir.path(), prompt, ctx.progress, running);
  });
  // Wait until the 2 GiB file is being written (not the small one before its rename), then cancel.
  const auto seenWriting = [&] {
    for (const auto& e : fs::directory_iterator(dir.path()))
      if (e.path().extension() == ".tmp" && e.file_size() > 4096) return true;
    return false;
  };
  for (int i = 0; i < 500 && !seenWriting(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(seenWriting());
  const auto cancelAt = std::chrono::steady_clock::now();
  runner.cancel();
  ASSERT_TRUE(runner.waitFor(std::chrono::seconds(1)));
  const auto stopMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - cancelAt).count();
  runner.wait();
  std::cout << "stopped " << stopMs << " ms after cancel\n";
  EXPECT_TRUE(outcome.cancelled);
  EXPECT_EQ(outcome.written, 1u);
  EXPECT_EQ(outcome.failed, 1u);
  EXPECT_FALSE(fs::exists(dir / "huge.vhd"));
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir.path())) left.push_back(e.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"small.jpg"});
}

TEST(Jobs, ExtRecoversTheCheckedRowsOfItsList) {
  FakeEngine engine(EngineKind::Ext, {{"Lost files", "inode_0000000C.tmp", patternBytes(20, 1)},
                                      {"Lost files", "inode_0000000D.tmp", patternBytes(20, 2)},
                                      {"Other", "x.tmp", patternBytes(20, 3)}});
  RecoveryContext ctx;
  ResultTree tree;
  RunningFlag on{true};
  engine.scan(ScanMode::Deleted, ctx, tree, on);
  ResultsModel model(EngineKind::Ext, tree);
  EXPECT_FALSE(planRecovery(model).ok);
  EXPECT_EQ(planRecovery(model).message, "");  // the EXT page says nothing
  model.setFolderChecked(*tree.findChild(tree.root(), "Other"), true);
  model.selectFolder(*tree.findChild(tree.root(), "Lost files"));
  model.setRowChecked(1, true);
  const RecoveryPlan plan = planRecovery(model);
  ASSERT_TRUE(plan.ok);
  test::TempDir dir;
  FixedOverwritePrompt prompt(OverwriteAnswer::No);
  const RecoveryOutcome r = recoverFiles(engine, tree, plan.steps, dir.path(), prompt, ctx.progress, on);
  EXPECT_EQ(r.written, 1u);  // only the listed folder's checked row, flat in the destination
  EXPECT_EQ(test::readFile(dir / "inode_0000000D.tmp"), patternBytes(20, 2));
  EXPECT_EQ(ctx.progress.status(), (dir / "inode_0000000D.tmp").string());
}

TEST(Jobs, DestinationThatCannotBeCreated) {
  test::TempDir dir;
  test::writeFile(dir / "file", {1});
  ScannedSource source;
  EXPECT_NE(prepareDestination(source, dir / "file" / "sub"), "");
  EXPECT_NE(prepareDestination(source, ""), "");
}

}  // namespace
}  // namespace brenix
