// The progress dialog: what it shows from the job's figures and its clock.
#include <gtest/gtest.h>

#include <QProgressBar>

#include "common/clock.h"
#include "disk/sector_reader.h"
#include "gui/progress_dialog.h"
#include "results/time_estimate.h"
#include "gui/skin_button.h"
#include "support/temp_dir.h"

namespace brenix::test {
namespace {

using namespace brenix::gui;

class ProgressDialogTest : public ::testing::Test {
 protected:
  void SetUp() override { setClockForTesting([this] { return now_; }); }
  void TearDown() override { setClockForTesting({}); }
  int64_t now_ = 1'700'000'000;
  Progress progress_;
};

TEST_F(ProgressDialogTest, ShowsElapsedAndRemainingTimes) {
  ProgressDialog dlg(progress_, nullptr);
  progress_.setTotal(99);
  progress_.setDone(50);
  dlg.start(QStringLiteral("Scanning Raw Files ..."));
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_TRUE(dlg.isModal());
  EXPECT_EQ(dlg.title(), QStringLiteral("Scanning Raw Files ..."));
  // Opening resets the figures and shows the placeholders until the first tick.
  EXPECT_EQ(progress_.total(), 0);
  EXPECT_EQ(progress_.done(), 0);
  EXPECT_EQ(dlg.elapsedLine(), QStringLiteral("Elapsed Time:99:99:99"));

  // Before a total is set the bar stays and the divisor is 1.
  now_ += 5;
  dlg.tickBar();
  dlg.tickSecond();
  EXPECT_EQ(dlg.bar()->value(), 0);
  EXPECT_EQ(dlg.elapsedLine(), QStringLiteral("Elapsed Time : 00:00:05"));
  EXPECT_EQ(dlg.remainingLine(), QStringLiteral("Remaining Time : 00:00:01"));

  progress_.setTotal(120);
  progress_.setDone(30);
  progress_.setStatus("Found Raw Files : 7");
  now_ += 85;
  dlg.tickBar();
  dlg.tickSecond();
  EXPECT_EQ(dlg.bar()->maximum(), 120);
  EXPECT_EQ(dlg.bar()->value(), 30);
  EXPECT_EQ(dlg.elapsedLine(), QStringLiteral("Elapsed Time : 00:01:30"));
  EXPECT_EQ(dlg.remainingLine(), QStringLiteral("Remaining Time : 00:04:31"));
  EXPECT_EQ(dlg.statusText(), QStringLiteral("Found Raw Files : 7"));

  // A job of more than a day keeps counting hours.
  now_ += 25 * 3600;
  dlg.tickSecond();
  EXPECT_TRUE(dlg.elapsedLine().startsWith(QStringLiteral("Elapsed Time : 25:"))) << dlg.elapsedLine().toStdString();

  dlg.finish();
  EXPECT_FALSE(dlg.isVisible());
}

TEST_F(ProgressDialogTest, CancelAsksThePageAndLeavesTheDialogOpen) {
  ProgressDialog dlg(progress_, nullptr);
  int requests = 0;
  QObject::connect(&dlg, &ProgressDialog::cancelRequested, [&requests] { ++requests; });
  dlg.start(QStringLiteral("Recovering Deleted Files ..."));
  dlg.cancelButton()->click();
  EXPECT_EQ(requests, 1);
  EXPECT_TRUE(dlg.isVisible());
  // Escape is a cancel request too, never a close behind the worker's back.
  dlg.reject();
  EXPECT_EQ(requests, 2);
  EXPECT_TRUE(dlg.isVisible());
  dlg.finish();
}

// A job over a byte range: remaining time from bytes (not from the coarse
// units), the rate from what was really read of the disk, the files found.
TEST_F(ProgressDialogTest, RateFromBytesReadAndRemainingFromBytes) {
  TempDir tmp;
  writeFile(tmp / "disk.img", std::vector<uint8_t>(3u << 20, 0x11));
  SectorReader reader;
  ASSERT_TRUE(reader.openPath((tmp / "disk.img").string(), OpenMode::Read));
  ProgressDialog dlg(progress_, nullptr);
  dlg.start(QStringLiteral("Scanning Raw Files ..."));
  std::vector<uint8_t> buf(1u << 20);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(reader.readBytesAt(uint64_t(i) << 20, buf.data(), buf.size()));
  progress_.setTotal(10);
  progress_.setDone(9);  // the units say almost done...
  progress_.setBytesTotal(1000ull << 20);
  progress_.setBytesDone(250ull << 20);  // ...the bytes say a quarter
  progress_.setFound(57);
  now_ += 2;
  dlg.tickSecond();
  EXPECT_EQ(dlg.remainingLine(), QStringLiteral("Remaining Time : 00:00:07"));  // 2 * 750 / 250 + 1
  // 3 MiB in 2 s, give or take what else the process read meanwhile.
  EXPECT_TRUE(dlg.rateLine() == QStringLiteral("1.5 MB/s, 57 files found") ||
              dlg.rateLine() == QStringLiteral("1.6 MB/s, 57 files found"))
      << dlg.rateLine().toStdString();

  // Cancel shows the figures at once, and they stay where the worker left them.
  progress_.setBytesDone(300ull << 20);
  dlg.cancelButton()->click();
  EXPECT_EQ(dlg.remainingLine(), QStringLiteral("Remaining Time : 00:00:05"));  // 2 * 700 / 300 + 1
  EXPECT_EQ(dlg.bar()->value(), 9);
  EXPECT_TRUE(dlg.isVisible());
  dlg.finish();

  // A job without a byte range or a count: the units' estimate, the rate alone.
  dlg.start(QStringLiteral("Recovering Deleted Files ..."));
  progress_.setTotal(120);
  progress_.setDone(30);
  now_ += 90;
  dlg.tickSecond();
  EXPECT_EQ(dlg.remainingLine(), QStringLiteral("Remaining Time : 00:04:31"));
  EXPECT_TRUE(dlg.rateLine().endsWith(QStringLiteral(" MB/s"))) << dlg.rateLine().toStdString();  // no files count
  dlg.finish();
  // No overflow for a huge disk after a long time.
  EXPECT_EQ(remainingSecondsFromBytes(4000000, 16ull << 40, 1), INT64_MAX);
  EXPECT_EQ(remainingSecondsFromBytes(3600, 2ull << 40, 1ull << 40), 3601);
}

}  // namespace
}  // namespace brenix::test
