// Renders every page and dialog, checks that each shows more than a blank
// area, and saves them as PNG files when BRENIX_SCREENSHOT_DIR names a folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QImage>
#include <QListWidget>
#include <QTreeWidget>
#include <set>

#include "disk/device_table.h"
#include "gui/drive_page.h"
#include "gui/filter_dialog.h"
#include "gui/home_view.h"
#include "gui/main_frame.h"
#include "gui/overwrite_dialog.h"
#include "gui/preview_window.h"
#include "gui/progress_dialog.h"
#include "gui/results_page.h"
#include "gui/scan_options_dialog.h"
#include "gui/skin_button.h"
#include "gui_support.h"
#include "support/disk_image_builder.h"
#include "support/temp_dir.h"

namespace brenix::test {
namespace {

using namespace brenix::gui;


TEST(Screenshots, EveryPageAndDialogDraws) {
  MessageRecorder rec;
  TempDir tmp;
  DeviceTable::instance().setIncludeSystemDisks(false);
  DeviceTable::instance().clearImages();
  DiskImageBuilder b(16384);
  b.setEntry(0, 0, 0x0C, 2048, 8192);
  b.putFat32BootSector(2048);
  b.setEntry(0, 1, 0x07, 10240, 6144);
  b.putNtfsBootSector(10240);
  b.save(tmp / "card.img");
  ASSERT_GE(DeviceTable::instance().attachImage((tmp / "card.img").string(), nullptr), 0);

  AppContext app;
  app.engines = [](const std::string&, ScanMode) { return std::make_unique<MemoryEngine>(); };
  MainFrame frame(app);
  registerResultsPages(*frame.homeView());
  frame.show();
  HomeView* home = frame.homeView();
  EXPECT_GT(shoot(&frame, "01-home"), 20);
  home->taskList()->setCurrentRow(0);
  EXPECT_GT(shoot(&frame, "02-home-data-recovery"), 20);
  home->entryButton(600)->click();
  auto* drive = qobject_cast<DrivePage*>(home->currentPage());
  ASSERT_NE(drive, nullptr);
  QTreeWidgetItem* disk = drive->tree()->topLevelItem(0)->child(0);
  ASSERT_NE(disk, nullptr);
  drive->tree()->setCurrentItem(disk);
  EXPECT_GT(shoot(&frame, "03-drive-disk"), 20);
  drive->tree()->setCurrentItem(disk->child(0));
  EXPECT_GT(shoot(&frame, "04-drive-partition"), 20);
  {
    ScanOptionsDialog dlg(app, kModeDeleted, drive);
    dlg.show();
    EXPECT_GT(shoot(&dlg, "05-options-deleted"), 5);
  }
  {
    ScanOptionsDialog dlg(app, kModeFormatted, drive);
    dlg.show();
    EXPECT_GT(shoot(&dlg, "06-options-formatted"), 5);
  }
  {
    ScanOptionsDialog dlg(app, kModeRaw, drive);
    dlg.show();
    EXPECT_GT(shoot(&dlg, "06-options-raw"), 5);
  }
  drive->button(QStringLiteral("Next"))->click();
  auto* page = qobject_cast<ResultsPage*>(home->currentPage());
  ASSERT_NE(page, nullptr);
  {
    Progress progress;
    ProgressDialog dlg(progress, &frame);
    dlg.start(QStringLiteral("Scanning Deleted Files ..."));
    progress.setTotal(120);
    progress.setDone(30);
    progress.setStatus("Found Deleted Files : 12");
    dlg.tickBar();
    dlg.tickSecond();
    EXPECT_GT(shoot(&dlg, "07-progress"), 5);
    dlg.finish();
  }
  ASSERT_TRUE(waitUntil([page] { return page->job() == ResultsPage::Job::None && page->folderTree()->topLevelItemCount(); }));
  page->folderTree()->expandAll();
  const auto dcim = page->folderTree()->findItems(QStringLiteral("DCIM"), Qt::MatchExactly | Qt::MatchRecursive);
  ASSERT_FALSE(dcim.isEmpty());
  page->folderTree()->setCurrentItem(dcim.first());
  setListCheck(page->fileList(), 0, Qt::Checked);
  EXPECT_GT(shoot(&frame, "08-results-details"), 20);
  page->setViewMode(ResultsPage::ViewMode::Thumbnails);
  ASSERT_TRUE(waitUntil([page] { return page->job() == ResultsPage::Job::None; }));
  EXPECT_GT(shoot(&frame, "09-results-thumbnails"), 20);
  {
    FilterDialog dlg(ResultFilter{}, page);
    dlg.sizeBox()->setCurrentIndex(4);
    dlg.show();
    EXPECT_GT(shoot(&dlg, "10-filter"), 5);
  }
  {
    OverwriteDialog dlg(QStringLiteral("IMG_0001.JPG"), page);
    dlg.show();
    EXPECT_GT(shoot(&dlg, "11-overwrite"), 5);
  }
  {
    const QImage picture(QStringLiteral(BRENIX_TEST_SOURCE_DIR "/data/demo/Mountain lake.jpg"));
    ASSERT_FALSE(picture.isNull());
    PreviewWindow dlg(picture, page);
    dlg.show();
    EXPECT_GT(shoot(&dlg, "12-preview"), 20);
  }
  DeviceTable::instance().clearImages();
}

}  // namespace
}  // namespace brenix::test
