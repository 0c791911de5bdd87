// "Image this disk first" on the drive page: the dialog copies the selected
// disk along a ddrescue map, the copy becomes a drive, and an existing image
// without its map is not overwritten.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTreeWidget>

#include "disk/device_table.h"
#include "gui/app_context.h"
#include "gui/drive_page.h"
#include "gui/home_view.h"
#include "gui/image_disk_dialog.h"
#include "gui/skin_button.h"
#include "gui_support.h"
#include "imaging/rescue_map.h"
#include "support/disk_image_builder.h"
#include "support/temp_dir.h"

namespace brenix::test {
namespace {

using namespace brenix::gui;

class ImageDiskPage : public ::testing::Test {
 protected:
  void SetUp() override {
    DeviceTable::instance().setIncludeSystemDisks(false);
    DeviceTable::instance().clearImages();
    DiskImageBuilder b(16384);  // 8 MiB, one FAT32 partition
    b.setEntry(0, 0, 0x0C, 2048, 8192);
    b.putFat32BootSector(2048);
    for (uint64_t s = 12000; s < 12100; ++s) b.sector(s)[7] = static_cast<uint8_t>(s);
    disk_ = tmp_ / "disk.img";
    b.save(disk_);
  }
  void TearDown() override { DeviceTable::instance().clearImages(); }

  TempDir tmp_;
  std::filesystem::path disk_;
  AppContext app_;
};

TEST_F(ImageDiskPage, CopiesTheSelectedDiskAndAddsTheCopyAsADrive) {
  MessageRecorder rec;
  ASSERT_GE(DeviceTable::instance().attachImage(disk_.string(), nullptr), 0);
  HomeView home(app_, nullptr);
  ASSERT_TRUE(home.navigate(kPageDrive, kModeDeleted));
  auto* page = qobject_cast<DrivePage*>(home.currentPage());
  ASSERT_NE(page, nullptr);
  SkinButton* button = page->button(QStringLiteral("Image this disk first..."));
  ASSERT_NE(button, nullptr);
  EXPECT_FALSE(button->isEnabled());  // My Computer is selected
  QTreeWidgetItem* diskItem = page->tree()->topLevelItem(0)->child(0);
  page->tree()->setCurrentItem(diskItem->child(0));  // a partition: its disk is imaged
  EXPECT_TRUE(button->isEnabled());
  EXPECT_EQ(page->selectedDiskPath(), std::filesystem::absolute(disk_).string());
  button->click();
  auto* dlg = qobject_cast<ImageDiskDialog*>(page->imageDialog());
  ASSERT_NE(dlg, nullptr);
  shoot(dlg, "image_disk_dialog_start");
  const QString copy = QString::fromStdString((tmp_ / "copy.img").string());
  ASSERT_TRUE(dlg->start(copy));
  ASSERT_TRUE(waitUntil([&] { return dlg->finished(); }, 20000));
  ASSERT_TRUE(waitUntil([&] { return page->tree()->topLevelItem(0)->childCount() == 2; }, 5000));
  EXPECT_EQ(dlg->status(), ImagingStatus::Finished);
  EXPECT_TRUE(dlg->progressText().contains(QStringLiteral("Rescued: 8.00 MB of 8.00 MB"))) << dlg->progressText().toStdString();
  EXPECT_TRUE(dlg->progressText().contains(QStringLiteral("Bad areas: 0"))) << dlg->progressText().toStdString();
  EXPECT_GT(shoot(dlg, "image_disk_dialog_done"), 4);
  EXPECT_EQ(readFile(tmp_ / "copy.img"), readFile(disk_));
  RescueMap map;
  std::string error;
  ASSERT_TRUE(loadRescueMap((tmp_ / "copy.img.map").string(), 8 << 20, &map, &error)) << error;
  EXPECT_EQ(map.bytesWith(AreaStatus::Finished), 8u << 20);
  EXPECT_TRUE(page->tree()->topLevelItem(0)->child(1)->text(0).contains(QStringLiteral("copy.img")));
  EXPECT_TRUE(rec.messages.empty());
}

TEST_F(ImageDiskPage, AnExistingImageWithoutItsMapIsNotOverwritten) {
  MessageRecorder rec;
  const std::vector<uint8_t> old(4096, 7);
  writeFile(tmp_ / "old.img", old);
  ImageDiskDialog dlg(disk_.string(), QStringLiteral("disk"));
  EXPECT_FALSE(dlg.start(QString::fromStdString((tmp_ / "old.img").string())));
  ASSERT_EQ(rec.messages.size(), 1u);
  EXPECT_TRUE(rec.messages[0].text.contains(QStringLiteral("already exists"))) << rec.messages[0].text.toStdString();
  EXPECT_EQ(readFile(tmp_ / "old.img"), old);
}

}  // namespace
}  // namespace brenix::test
