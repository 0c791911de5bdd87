// The shell: main frame, page navigation, the home page and the drive page.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QEnterEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTreeWidget>

#include "disk/device_table.h"
#include "disk/disk_texts.h"
#include "gui/drive_page.h"
#include "gui/home_view.h"
#include "gui/main_frame.h"
#include "gui/pie_chart.h"
#include "gui/scan_options_dialog.h"
#include "gui/skin.h"
#include "gui/skin_button.h"
#include "gui_support.h"
#include "support/disk_image_builder.h"
#include "support/temp_dir.h"

namespace brenix::test {
namespace {

using namespace brenix::gui;

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeviceTable::instance().setIncludeSystemDisks(false);
    DeviceTable::instance().clearImages();
  }
  void TearDown() override { DeviceTable::instance().clearImages(); }

  // FAT32, NTFS and EXT2 partitions on one 8 MiB disk.
  std::string threePartitionImage() {
    DiskImageBuilder b(16384);
    b.setEntry(0, 0, 0x0C, 2048, 4096);
    b.putFat32BootSector(2048);
    b.setEntry(0, 1, 0x07, 6144, 4096);
    b.putNtfsBootSector(6144);
    b.setEntry(0, 2, 0x83, 10240, 4096);
    b.putExtSuperblock(10240, 0, "photos");
    const auto path = tmp_ / "three.img";
    b.save(path);
    return path.string();
  }

  static QStringList partitionLabels(QTreeWidget* tree) {
    QStringList out;
    QTreeWidgetItem* root = tree->topLevelItem(0);
    for (int d = 0; d < root->childCount(); ++d)
      for (int p = 0; p < root->child(d)->childCount(); ++p) out << root->child(d)->child(p)->text(0);
    return out;
  }

  TempDir tmp_;
  AppContext app_;
};

TEST_F(ShellTest, MainFrameIsFixedCaptionlessAndCentred) {
  MainFrame frame(app_);
  EXPECT_EQ(frame.size(), QSize(750, 490));
  EXPECT_TRUE(frame.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(frame.windowTitle(), QStringLiteral("Brenix Photo Recovery 1.0.0.0"));
  EXPECT_EQ(frame.minimizeButton()->geometry(), QRect(750 - 83, 8, 24, 22));
  EXPECT_EQ(frame.closeButton()->geometry(), QRect(750 - 40, 8, 24, 22));
  EXPECT_EQ(frame.homeView()->geometry(), QRect(0, 31, 750, 459));
  frame.show();
  ASSERT_TRUE(frame.windowHandle());
  frame.closeButton()->click();
  EXPECT_FALSE(frame.isVisible());
}

TEST_F(ShellTest, SkinButtonShowsItsFourLooks) {
  SkinButton b(SkinButton::Style::Primary, QStringLiteral("Next"));
  b.resize(90, 30);
  b.show();
  EXPECT_EQ(b.look(), SkinButton::Look::Normal);
  b.setDown(true);
  EXPECT_EQ(b.look(), SkinButton::Look::Pressed);
  b.setDown(false);
  QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
  QApplication::sendEvent(&b, &enter);
  EXPECT_EQ(b.look(), SkinButton::Look::Hover);
  b.setEnabled(false);
  EXPECT_EQ(b.look(), SkinButton::Look::Disabled);
  // Drawn in code: a 2x device pixel ratio renders without blur from scaling.
  QImage hi(180, 60, QImage::Format_ARGB32_Premultiplied);
  hi.setDevicePixelRatio(2);
  hi.fill(Qt::transparent);
  b.render(&hi);
  EXPECT_NE(hi.pixelColor(90, 30).alpha(), 0);
}

TEST_F(ShellTest, HomePageEntriesAndNavigation) {
  MessageRecorder rec;
  MainFrame frame(app_);
  HomeView* home = frame.homeView();
  EXPECT_EQ(home->listState(), HomeView::kNothingChosen);
  EXPECT_EQ(home->taskList()->count(), 1);
  EXPECT_EQ(home->taskList()->item(0)->text(), QStringLiteral("Data Recovery"));
  EXPECT_FALSE(home->entryButton(600)->isVisibleTo(home));

  // An entry button is acted on only once the task is chosen.
  home->entryChosen(600);
  EXPECT_EQ(home->currentPageId(), kPageHome);

  home->taskList()->setCurrentRow(0);
  EXPECT_EQ(home->listState(), HomeView::kDataRecoveryChosen);
  EXPECT_TRUE(home->entryButton(600)->isVisibleTo(home));
  EXPECT_TRUE(home->entryButton(601)->isVisibleTo(home));
  EXPECT_FALSE(home->entryButton(602)->isVisibleTo(home));
  EXPECT_EQ(home->entryButton(600)->geometry(), QRect(195, 210, 255, 96));
  EXPECT_EQ(home->entryButton(601)->geometry(), QRect(460, 210, 255, 96));

  // Properties returns to the first state.
  home->homeButton(QStringLiteral("Properties"))->click();
  EXPECT_EQ(home->listState(), HomeView::kNothingChosen);
  EXPECT_FALSE(home->entryButton(600)->isVisibleTo(home));

  home->taskList()->setCurrentRow(0);
  home->entryButton(601)->click();
  EXPECT_EQ(app_.ctx.preset, FilePreset::Pictures);
  ASSERT_EQ(home->currentPageId(), kPageDrive);
  auto* drive = qobject_cast<DrivePage*>(home->currentPage());
  ASSERT_NE(drive, nullptr);
  EXPECT_EQ(drive->mode(), kModeFormatted);
  EXPECT_FALSE(home->taskList()->isVisibleTo(home));

  drive->button(QStringLiteral("Back"))->click();
  EXPECT_EQ(home->currentPageId(), kPageHome);
  EXPECT_EQ(home->currentPage(), nullptr);
  EXPECT_TRUE(home->taskList()->isVisibleTo(home));

  // Pages this build does not hold say so with their own messages.
  EXPECT_FALSE(home->navigate(kPageOutlookRepair, 0));
  EXPECT_FALSE(home->navigate(kPageOutlookExpressRepair, 0));
  EXPECT_FALSE(home->navigate(kPageMailReport, 0));
  EXPECT_FALSE(home->navigate(kPageTask, kModeRescue));
  EXPECT_EQ(rec.texts(), (QStringList{QStringLiteral("It was failed to create Email(OutLook) Repair window!!"),
                                      QStringLiteral("It was failed to create Email(OutLook Express) Repair window!!"),
                                      QStringLiteral("It was failed to create Email Report window!!"),
                                      QStringLiteral("It was failed to create drive view window!!")}));
  EXPECT_EQ(home->currentPage(), nullptr);

  // A page made elsewhere is hosted like the others.
  app_.externalPages = [](HomeView& host, int id, int) -> QWidget* {
    auto* w = new QLabel(QStringLiteral("page %1").arg(id), &host);
    return w;
  };
  EXPECT_TRUE(home->navigate(kPageTask, kModeRescue));
  ASSERT_NE(home->currentPage(), nullptr);
  EXPECT_EQ(home->currentPage()->geometry(), QRect(0, 0, 750, 459));
}

TEST_F(ShellTest, DrivePageListsThePartitionsOfItsMode) {
  MessageRecorder rec;
  const std::string image = threePartitionImage();
  ASSERT_GE(DeviceTable::instance().attachImage(image, nullptr), 0);
  HomeView home(app_, nullptr);

  auto labelsIn = [&](int mode) {
    EXPECT_TRUE(home.navigate(kPageDrive, mode));
    auto* page = qobject_cast<DrivePage*>(home.currentPage());
    EXPECT_NE(page, nullptr);
    return page ? partitionLabels(page->tree()) : QStringList();
  };
  const QStringList formatted = labelsIn(kModeFormatted);
  const QStringList deleted = labelsIn(kModeDeleted);
  const QStringList raw = labelsIn(kModeRaw);
  auto count = [](const QStringList& l, const char* fs) {
    return l.filter(QStringLiteral(") %1 (").arg(QLatin1String(fs))).size();
  };
  EXPECT_EQ(count(formatted, "FAT32"), 1);
  EXPECT_EQ(count(formatted, "NTFS"), 1);
  EXPECT_EQ(count(formatted, "EXT2"), 0);
  EXPECT_EQ(formatted.size(), 2);
  EXPECT_EQ(count(deleted, "EXT2"), 1);
  EXPECT_EQ(deleted.size(), 3);
  // The raw scan works on everything, unallocated space included.
  EXPECT_GT(raw.size(), deleted.size());
  EXPECT_TRUE(rec.messages.empty());
}

TEST_F(ShellTest, DrivePageSelectionFillsTheContextAndThePanel) {
  MessageRecorder rec;
  ASSERT_GE(DeviceTable::instance().attachImage(threePartitionImage(), nullptr), 0);
  HomeView home(app_, nullptr);
  ASSERT_TRUE(home.navigate(kPageDrive, kModeDeleted));
  auto* page = qobject_cast<DrivePage*>(home.currentPage());
  ASSERT_NE(page, nullptr);
  QTreeWidget* tree = page->tree();
  QTreeWidgetItem* root = tree->topLevelItem(0);
  EXPECT_EQ(root->text(0), QStringLiteral("My Computer"));
  EXPECT_EQ(tree->currentItem(), root);
  EXPECT_FALSE(page->button(QStringLiteral("Next"))->isEnabled());
  EXPECT_FALSE(page->button(QStringLiteral("Option"))->isEnabled());
  ASSERT_EQ(root->childCount(), 1);
  QTreeWidgetItem* disk = root->child(0);
  EXPECT_TRUE(disk->isExpanded());
  EXPECT_TRUE(disk->text(0).endsWith(QStringLiteral(" (8.00 MB)"))) << disk->text(0).toStdString();

  tree->setCurrentItem(disk);
  EXPECT_EQ(page->propertiesLines().value(1), QStringLiteral("Drive Size : 8.00 MB"));
  EXPECT_EQ(page->propertiesLines().value(2), QStringLiteral("Count of partitions : 3"));
  EXPECT_FALSE(page->button(QStringLiteral("Next"))->isEnabled());

  QTreeWidgetItem* ntfs = nullptr;
  for (int i = 0; i < disk->childCount(); ++i)
    if (disk->child(i)->text(0).contains(QStringLiteral(") NTFS ("))) ntfs = disk->child(i);
  ASSERT_NE(ntfs, nullptr);
  tree->setCurrentItem(ntfs);
  EXPECT_TRUE(page->button(QStringLiteral("Next"))->isEnabled());
  EXPECT_TRUE(page->button(QStringLiteral("Option"))->isEnabled());
  EXPECT_EQ(app_.ctx.partition.fs(), "NTFS");
  EXPECT_EQ(app_.ctx.partitionStart, 6144u);
  EXPECT_EQ(app_.ctx.partitionEnd, 6144u + 4096u);
  EXPECT_EQ(app_.ctx.options.startSector, 6144u);
  EXPECT_EQ(app_.ctx.options.endSector, 6144u + 4096u);
  const QStringList lines = page->propertiesLines();
  ASSERT_EQ(lines.size(), 6);
  EXPECT_EQ(lines[1], QStringLiteral("Start Sector : 6144"));
  EXPECT_EQ(lines[5], QStringLiteral("Total Size : 2.00 MB"));
  // The chart draws the partition in its kind's colour.
  ASSERT_FALSE(page->chart()->slices().empty());
  EXPECT_EQ(page->chart()->slices()[0].colour, skin::fromColorRef(16727710));

  // Next with no results page for the kind says the page could not be made.
  page->button(QStringLiteral("Next"))->click();
  EXPECT_EQ(rec.texts(), QStringList{QStringLiteral("It was failed to create drive view window!!")});
}

TEST_F(ShellTest, AddDiskImageRefusesAFileThatCannotBeOpened) {
  MessageRecorder rec;
  HomeView home(app_, nullptr);
  ASSERT_TRUE(home.navigate(kPageDrive, kModeRaw));
  auto* page = qobject_cast<DrivePage*>(home.currentPage());
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->tree()->topLevelItem(0)->childCount(), 0);
  EXPECT_FALSE(page->addImage(QString::fromStdString((tmp_ / "missing.img").string())));
  ASSERT_EQ(rec.messages.size(), 1u);
  EXPECT_EQ(rec.messages[0].caption, QStringLiteral("Error"));
  EXPECT_TRUE(page->addImage(QString::fromStdString(threePartitionImage())));
  EXPECT_EQ(page->tree()->topLevelItem(0)->childCount(), 1);
}

TEST_F(ShellTest, FormattedOptionsValidateTheSectorRange) {
  MessageRecorder rec;
  ASSERT_GE(DeviceTable::instance().attachImage(threePartitionImage(), nullptr), 0);
  HomeView home(app_, nullptr);
  ASSERT_TRUE(home.navigate(kPageDrive, kModeFormatted));
  auto* page = qobject_cast<DrivePage*>(home.currentPage());
  QTreeWidgetItem* disk = page->tree()->topLevelItem(0)->child(0);
  QTreeWidgetItem* fat = nullptr;
  for (int i = 0; i < disk->childCount(); ++i)
    if (disk->child(i)->text(0).contains(QStringLiteral(") FAT32 ("))) fat = disk->child(i);
  ASSERT_NE(fat, nullptr);
  page->tree()->setCurrentItem(fat);

  ScanOptionsDialog dlg(app_, kModeFormatted, page);
  EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Set Quick Options..."));
  EXPECT_EQ(dlg.previousFs()->count(), 3);
  EXPECT_EQ(dlg.previousFs()->currentText(), QStringLiteral("FAT32"));
  EXPECT_EQ(dlg.startField()->text(), QStringLiteral("2048"));
  EXPECT_EQ(dlg.endField()->text(), QStringLiteral("6143"));
  dlg.startField()->setText(QStringLiteral("1948"));
  dlg.accept();
  EXPECT_EQ(rec.texts().value(0), QStringLiteral("Start sector is not valid. This must be bigger than 2048"));
  EXPECT_EQ(dlg.startField()->text(), QStringLiteral("2048"));
  EXPECT_NE(dlg.result(), QDialog::Accepted);
  dlg.endField()->setText(QStringLiteral("2048"));
  dlg.accept();
  EXPECT_EQ(rec.texts().value(1), QStringLiteral("Start sector must be less than end sector"));
  dlg.startField()->setText(QStringLiteral("2100"));
  dlg.endField()->setText(QStringLiteral("6143"));
  dlg.previousFs()->setCurrentIndex(2);
  dlg.accept();
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_EQ(app_.ctx.options.startSector, 2100u);
  EXPECT_EQ(app_.ctx.options.endSector, 6144u);
  EXPECT_EQ(app_.ctx.options.previousFsName, "NTFS");
}

}  // namespace
}  // namespace brenix::test
