// The progress dialog: what it shows from the job's figures and its clock.
#include <gtest/gtest.h>

#include <QProgressBar>

#include "common/clock.h"
#include "gui/progress_dialog.h"
#include "gui/skin_button.h"

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

}  // namespace
}  // namespace brenix::test
