// Renders every page and dialog, checks that each shows more than a blank
// area, and saves them as PNG files when BRENIX_SCREENSHOT_DIR names a folder.
// The drive and results pages show the built-in demo disk, scanned by the
// real FAT engine through the page's own scan, thumbnail and preview jobs.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QImage>
#include <QListWidget>
#include <QTreeWidget>
#include <set>

#include "cli/demo_image.h"
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
#include "support/temp_dir.h"

namespace brenix::test {
namespace {

using namespace brenix::gui;


TEST(Screenshots, EveryPageAndDialogDraws) {
  MessageRecorder rec;
  TempDir tmp;
  DeviceTable::instance().setIncludeSystemDisks(false);
  DeviceTable::instance().clearImages();
  cli::DemoImageInfo demo;
  std::string error;
  ASSERT_TRUE(cli::buildDemoImage(tmp / "demo.img", &demo, &error)) << error;
  ASSERT_GE(DeviceTable::instance().attachImage((tmp / "demo.img").string(), &error), 0) << error;

  AppContext app;  // the real engines
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
  // The deleted-file scan of the demo partition with the pictures preset.
  ASSERT_TRUE(waitUntil([page] { return page->job() == ResultsPage::Job::None && page->folderTree()->topLevelItemCount(); },
                        20000));
  page->folderTree()->expandAll();
  const auto dcim = page->folderTree()->findItems(QStringLiteral("DCIM"), Qt::MatchExactly | Qt::MatchRecursive);
  ASSERT_FALSE(dcim.isEmpty());
  page->folderTree()->setCurrentItem(dcim.first());
  ASSERT_EQ(listRows(page->fileList()), demo.deletedCount);
  setListCheck(page->fileList(), 0, Qt::Checked);
  EXPECT_GT(shoot(&frame, "08-results-details"), 20);
  page->setViewMode(ResultsPage::ViewMode::Thumbnails);
  ASSERT_TRUE(waitUntil([page] { return page->job() == ResultsPage::Job::None; }, 20000));
  ASSERT_EQ(page->thumbnails().size(), demo.deletedCount);
  EXPECT_GT(shoot(&frame, "09-results-thumbnails"), 20);
  page->setViewMode(ResultsPage::ViewMode::Details);
  {
    ResultFilter start;
    start.sizeMode = SizeFilterMode::Between;
    start.sizeKb1 = 10;
    start.sizeKb2 = 100;
    FilterDialog dlg(start, page);
    dlg.show();
    EXPECT_GT(shoot(&dlg, "10-filter"), 5);
  }
  {
    OverwriteDialog dlg(listCell(page->fileList(), 0), page);
    dlg.show();
    EXPECT_GT(shoot(&dlg, "11-overwrite"), 5);
  }
  {
    // The preview job reads the found file from the image.
    QWidget* shown = nullptr;
    QObject::connect(page, &ResultsPage::previewShown, [&shown](QWidget* w) { shown = w; });
    page->preview(0);
    ASSERT_TRUE(waitUntil([&shown] { return shown != nullptr; }, 20000));
    auto* preview = qobject_cast<PreviewWindow*>(shown);
    ASSERT_NE(preview, nullptr);
    EXPECT_FALSE(preview->canvas()->image().isNull());
    EXPECT_GT(shoot(preview, "12-preview"), 20);
    preview->close();
  }
  DeviceTable::instance().clearImages();
}

}  // namespace
}  // namespace brenix::test
