// Measurement, not a regular test: a raw scan of a 1 GiB image through the
// results page while a 50 ms timer on the GUI thread records the longest gap
// between its ticks. Runs only with BRENIX_GUI_RESPONSIVENESS=1.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <filesystem>

#include "cli/demo_image.h"
#include "disk/device_table.h"
#include "gui/drive_page.h"
#include "gui/home_view.h"
#include "gui/results_page.h"
#include "gui/skin_button.h"
#include "gui_support.h"
#include "jobs/engine_factory.h"
#include "raw/raw_types.h"
#include "support/temp_dir.h"

namespace brenix::test {
namespace {

using namespace brenix::gui;
namespace fs = std::filesystem;

TEST(Responsiveness, EventLoopKeepsTurningDuringARawScanOf1GiB) {
  if (qEnvironmentVariable("BRENIX_GUI_RESPONSIVENESS") != QLatin1String("1"))
    GTEST_SKIP() << "set BRENIX_GUI_RESPONSIVENESS=1 to measure";
  if (!createEngine("FAT32", ScanMode::Raw)) GTEST_SKIP() << "no raw engine";
  MessageRecorder rec;
  TempDir tmp;
  const fs::path img = tmp / "big.img";
  ASSERT_TRUE(cli::buildDemoImage(img, nullptr, nullptr));
  fs::resize_file(img, uint64_t(1) << 30);  // the partition stays small; the disk is 1 GiB of zeros after it
  DeviceTable::instance().setIncludeSystemDisks(false);
  DeviceTable::instance().clearImages();
  ASSERT_GE(DeviceTable::instance().attachImage(img.string(), nullptr), 0);

  AppContext app;
  app.ctx.rawTypes = std::make_shared<RawTypeList>();
  ASSERT_TRUE(loadRawTypes(fs::path(BRENIX_TEST_SOURCE_DIR) / "data" / "rp.dat", *app.ctx.rawTypes, nullptr));
  HomeView home(app, nullptr);
  registerResultsPages(home);
  ASSERT_TRUE(home.navigate(kPageDrive, kModeRaw));
  auto* drive = qobject_cast<DrivePage*>(home.currentPage());
  // The unallocated region after the partition is the 1 GiB part: pick the largest listed item.
  QTreeWidgetItem* disk = drive->tree()->topLevelItem(0)->child(0);
  ASSERT_NE(disk, nullptr);
  QTreeWidgetItem* best = nullptr;
  uint64_t bestSize = 0;
  for (int i = 0; i < disk->childCount(); ++i) {
    drive->tree()->setCurrentItem(disk->child(i));
    const uint64_t size = app.ctx.partitionEnd - app.ctx.partitionStart;
    if (size > bestSize) bestSize = size, best = disk->child(i);
  }
  ASSERT_NE(best, nullptr);
  drive->tree()->setCurrentItem(best);
  std::fprintf(stderr, "scanning %llu sectors (%s)\n", static_cast<unsigned long long>(bestSize),
               best->text(0).toUtf8().constData());
  drive->button(QStringLiteral("Next"))->click();
  auto* page = qobject_cast<ResultsPage*>(home.currentPage());
  ASSERT_NE(page, nullptr);

  QElapsedTimer clock, since;
  clock.start();
  since.start();
  qint64 longest = 0;
  int ticks = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    longest = std::max(longest, since.restart());
    ++ticks;
  });
  tick.start(50);
  ASSERT_TRUE(waitUntil([page] { return page->job() == ResultsPage::Job::Scan; }));
  ASSERT_TRUE(waitUntil([page] { return page->job() == ResultsPage::Job::None; }, 600000));
  std::fprintf(stderr, "scan %lld ms, %d ticks, longest gap %lld ms\n", static_cast<long long>(clock.elapsed()), ticks,
               static_cast<long long>(longest));
  EXPECT_LT(longest, 500);
  DeviceTable::instance().clearImages();
}

}  // namespace
}  // namespace brenix::test
