// The desktop application over the real engines: a disk image is attached,
// chosen on the drive page, scanned by the page's worker, checked in the
// tree and recovered through the page into a folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "cli/demo_image.h"
#include "cli/demo_ntfs.h"
#include "disk/device_table.h"
#include "exfat/exfat_card.h"
#include "gui/drive_page.h"
#include "gui/home_view.h"
#include "gui/photo_options_dialog.h"
#include "gui/results_list_model.h"
#include "gui/results_page.h"
#include "gui/skin_button.h"
#include "gui_support.h"
#include "jobs/engine_factory.h"
#include "photo/photo_naming.h"
#include "raw/raw_types.h"
#include "results/cell_formats.h"
#include "support/temp_dir.h"
#include "support/tools.h"

namespace brenix::test {
namespace {

using namespace brenix::gui;
namespace fs = std::filesystem;

class RealEngines : public ::testing::Test {
 protected:
  void SetUp() override {
    DeviceTable::instance().setIncludeSystemDisks(false);
    DeviceTable::instance().clearImages();
    registerResultsPages(home_);
  }
  void TearDown() override { DeviceTable::instance().clearImages(); }

  // The drive page of `mode`, the first partition whose label holds `fs`, Next.
  ResultsPage* open(int mode, const QString& fsName) {
    if (!home_.navigate(kPageDrive, mode)) return nullptr;
    auto* drive = qobject_cast<DrivePage*>(home_.currentPage());
    QTreeWidgetItem* root = drive->tree()->topLevelItem(0);
    for (int d = 0; d < root->childCount(); ++d)
      for (int p = 0; p < root->child(d)->childCount(); ++p)
        if (root->child(d)->child(p)->text(0).contains(QStringLiteral(") %1 (").arg(fsName)))
          drive->tree()->setCurrentItem(root->child(d)->child(p));
    if (!drive->button(QStringLiteral("Next"))->isEnabled()) return nullptr;
    drive->button(QStringLiteral("Next"))->click();
    return qobject_cast<ResultsPage*>(home_.currentPage());
  }

  static std::set<std::string> hashesUnder(const fs::path& dir) {
    std::set<std::string> out;
    if (!fs::exists(dir)) return out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
      if (e.is_regular_file()) out.insert(sha256Of(e.path()));
    return out;
  }
  std::string hashOf(const std::vector<uint8_t>& bytes) {
    writeFile(tmp_ / "hash.bin", bytes);
    return sha256Of(tmp_ / "hash.bin");
  }
  bool recoverAll(ResultsPage* page, const fs::path& out) {
    page->setFolderChooserForTesting([out] { return QString::fromStdString(out.string()); });
    page->setOverwriteHandlerForTesting([](const QString&) { return OverwriteAnswer::YesToAll; });
    page->setPhotoChooserForTesting([](PhotoChoices&) { return true; });  // raw pages: the choices as they start
    page->recover();
    return waitUntil([page] { return page->job() == ResultsPage::Job::None; }, 20000);
  }

  TempDir tmp_;
  AppContext app_;
  HomeView home_{app_, nullptr};
};

TEST_F(RealEngines, Fat32DeletedPicturesComeBackThroughThePages) {
  if (!createEngine("FAT32", ScanMode::Deleted)) GTEST_SKIP() << "no FAT engine in this build";
  MessageRecorder rec;
  cli::DemoImageInfo demo;
  std::string error;
  ASSERT_TRUE(cli::buildDemoImage(tmp_ / "demo.img", &demo, &error)) << error;
  ASSERT_GE(DeviceTable::instance().attachImage((tmp_ / "demo.img").string(), &error), 0) << error;
  // Home page: Data Recovery, then the deleted-volume entry (pictures preset).
  home_.taskList()->setCurrentRow(0);
  home_.entryButton(600)->click();
  ASSERT_EQ(app_.ctx.preset, FilePreset::Pictures);
  ResultsPage* page = open(kModeDeleted, QStringLiteral("FAT32"));
  ASSERT_NE(page, nullptr) << rec.texts().join(QLatin1Char('|')).toStdString();
  ASSERT_TRUE(waitUntil([page] { return page->job() == ResultsPage::Job::None && page->folderTree()->topLevelItemCount(); },
                        20000));
  QTreeWidgetItem* root = page->folderTree()->topLevelItem(0);
  EXPECT_TRUE(root->text(0).startsWith(QStringLiteral("FAT32 - Logical Disk ("))) << root->text(0).toStdString();
  root->setCheckState(0, Qt::Checked);
  EXPECT_TRUE(page->selectedLine().startsWith(QStringLiteral("%1 files - ").arg(demo.deletedCount)))
      << page->selectedLine().toStdString();
  const fs::path out = tmp_ / "out";
  ASSERT_TRUE(recoverAll(page, out));
  std::set<std::string> expected;
  for (const auto& pic : demo.pictures)
    if (pic.deleted) expected.insert(hashOf(pic.bytes));
  EXPECT_EQ(hashesUnder(out), expected);
  EXPECT_TRUE(rec.messages.empty()) << rec.texts().join(QLatin1Char('|')).toStdString();
}

// An exFAT card made by mkfs.exfat and filled through exfat-fuse, four
// pictures deleted: the deleted-file page with the pictures preset lists them
// (and not the deleted text file) and recovers them exactly.
TEST_F(RealEngines, ExFatDeletedPicturesComeBackThroughThePages) {
  if (!createEngine("exFAT", ScanMode::Deleted)) GTEST_SKIP() << "no exFAT engine in this build";
  ExFatCard card(tmp_, 40);
  BRENIX_REQUIRE_CARD(card);
  ASSERT_TRUE(card.format());
  ASSERT_TRUE(card.mount());
  card.mkdir("DCIM/100CAMERA");
  std::set<std::string> expected;
  for (int i = 1; i <= 4; ++i) {
    const auto bytes = exfatContent(40000u * i, 60u + i);
    card.put("DCIM/100CAMERA/IMG_000" + std::to_string(i) + ".JPG", bytes);
    expected.insert(hashOf(bytes));
  }
  card.put("notes.txt", exfatContent(500, 70));
  ASSERT_TRUE(card.unmount());
  ASSERT_TRUE(card.mount());
  card.remove("DCIM/100CAMERA");
  card.remove("notes.txt");
  ASSERT_TRUE(card.unmount());
  std::string error;
  ASSERT_GE(DeviceTable::instance().attachImage(card.image().string(), &error), 0) << error;
  MessageRecorder rec;
  home_.taskList()->setCurrentRow(0);
  home_.entryButton(600)->click();
  ASSERT_EQ(app_.ctx.preset, FilePreset::Pictures);
  ResultsPage* page = open(kModeDeleted, QStringLiteral("exFAT"));
  ASSERT_NE(page, nullptr) << rec.texts().join(QLatin1Char('|')).toStdString();
  EXPECT_EQ(page->kind(), EngineKind::ExFat);
  ASSERT_TRUE(waitUntil([page] { return page->job() == ResultsPage::Job::None && page->folderTree()->topLevelItemCount(); },
                        20000));
  QTreeWidgetItem* root = page->folderTree()->topLevelItem(0);
  EXPECT_TRUE(root->text(0).startsWith(QStringLiteral("exFAT - Logical Disk ("))) << root->text(0).toStdString();
  root->setCheckState(0, Qt::Checked);
  EXPECT_TRUE(page->selectedLine().startsWith(QStringLiteral("4 files - "))) << page->selectedLine().toStdString();
  const fs::path out = tmp_ / "out";
  ASSERT_TRUE(recoverAll(page, out));
  EXPECT_EQ(hashesUnder(out), expected);
  EXPECT_TRUE(fs::exists(out / "DCIM" / "100CAMERA" / "IMG_0001.JPG"));
  EXPECT_TRUE(rec.messages.empty()) << rec.texts().join(QLatin1Char('|')).toStdString();
}

// An NTFS volume made by mkntfs and filled by ntfscp, three pictures deleted:
// the deleted-file page lists them and recovers them exactly.
TEST_F(RealEngines, NtfsDeletedPicturesComeBackThroughThePages) {
  if (!createEngine("NTFS", ScanMode::Deleted)) GTEST_SKIP() << "no NTFS engine in this build";
  MessageRecorder rec;
  std::vector<cli::DemoPicture> pictures = cli::demoPictures();
  std::set<std::string> expected;
  for (size_t i = 0; i < pictures.size(); ++i) {
    pictures[i].deleted = i % 2 == 1;
    if (pictures[i].deleted) expected.insert(hashOf(pictures[i].bytes));
  }
  std::string message;
  const fs::path img = tmp_ / "ntfs.img";
  switch (cli::buildNtfsDemoImage(img, pictures, &message)) {
    case cli::NtfsDemoStatus::ToolsMissing: GTEST_SKIP() << message;
    case cli::NtfsDemoStatus::Failed: FAIL() << message;
    case cli::NtfsDemoStatus::Built: break;
  }
  ASSERT_GE(DeviceTable::instance().attachImage(img.string(), nullptr), 0);
  ResultsPage* page = open(kModeDeleted, QStringLiteral("NTFS"));
  ASSERT_NE(page, nullptr) << rec.texts().join(QLatin1Char('|')).toStdString();
  EXPECT_EQ(page->kind(), EngineKind::Ntfs);
  ASSERT_TRUE(waitUntil([page] { return page->job() == ResultsPage::Job::None && page->folderTree()->topLevelItemCount(); },
                        20000));
  page->folderTree()->topLevelItem(0)->setCheckState(0, Qt::Checked);
  EXPECT_TRUE(page->selectedLine().startsWith(QStringLiteral("%1 files - ").arg(expected.size())))
      << page->selectedLine().toStdString();
  const fs::path out = tmp_ / "out";
  ASSERT_TRUE(recoverAll(page, out));
  EXPECT_EQ(hashesUnder(out), expected);
  EXPECT_TRUE(rec.messages.empty()) << rec.texts().join(QLatin1Char('|')).toStdString();
}

TEST_F(RealEngines, Ext2DeletedFilesComeBackThroughThePages) {
  BRENIX_REQUIRE_TOOL("mke2fs");
  BRENIX_REQUIRE_TOOL("debugfs");
  if (!createEngine("EXT2", ScanMode::Deleted)) GTEST_SKIP() << "no EXT engine in this build";
  MessageRecorder rec;
  const fs::path img = tmp_ / "ext2.img";
  auto r = runTool({"mke2fs", "-q", "-F", "-t", "ext2", "-b", "1024", "-L", "photos", img.string(), "4M"});
  ASSERT_EQ(r.status, 0) << r.output;
  std::string commands = "mkdir DCIM\ncd DCIM\n", removals;
  std::set<std::string> expected;
  const auto pictures = cli::demoPictures();
  for (size_t i = 0; i < 3 && i < pictures.size(); ++i) {
    const fs::path local = tmp_ / ("p" + std::to_string(i) + ".jpg");
    writeFile(local, pictures[i].bytes);
    commands += "write " + local.string() + " p" + std::to_string(i) + ".jpg\n";
    if (i < 2) {  // removed after all are written, so no inode is used twice
      removals += "rm p" + std::to_string(i) + ".jpg\n";
      expected.insert(sha256Of(local));
    }
  }
  r = runTool({"debugfs", "-w", "-f", "-", img.string()}, commands + removals);
  ASSERT_EQ(r.status, 0) << r.output;
  ASSERT_GE(DeviceTable::instance().attachImage(img.string(), nullptr), 0);

  ResultsPage* page = open(kModeDeleted, QStringLiteral("EXT2"));
  ASSERT_NE(page, nullptr) << rec.texts().join(QLatin1Char('|')).toStdString();
  EXPECT_EQ(page->kind(), EngineKind::Ext);
  ASSERT_TRUE(waitUntil([page] { return page->job() == ResultsPage::Job::None && page->folderTree()->topLevelItemCount(); },
                        20000));
  QTreeWidgetItem* root = page->folderTree()->topLevelItem(0);
  EXPECT_EQ(root->text(0), QStringLiteral("EXT2( photos )"));
  ASSERT_GE(root->childCount(), 1);
  // The EXT page recovers the checked rows of its list.
  page->folderTree()->setCurrentItem(root->child(0));
  ASSERT_EQ(listRows(page->fileList()), 2);
  root->child(0)->setCheckState(0, Qt::Checked);
  EXPECT_EQ(listCheck(page->fileList(), 0), Qt::Checked);
  const fs::path out = tmp_ / "out";
  ASSERT_TRUE(recoverAll(page, out));
  EXPECT_EQ(hashesUnder(out), expected);
  EXPECT_TRUE(rec.messages.empty()) << rec.texts().join(QLatin1Char('|')).toStdString();
}

}  // namespace
}  // namespace brenix::test

namespace brenix::test {
namespace {

// A raw scan of the whole demo disk, chosen by its disk row on the drive
// page: every picture on it is carved, trimmed and written back exactly.
TEST_F(RealEngines, RawScanOfAWholeDiskFromTheDiskRow) {
  if (!createEngine("RAW", ScanMode::Raw)) GTEST_SKIP() << "no raw engine in this build";
  MessageRecorder rec;
  cli::DemoImageInfo demo;
  std::string error;
  ASSERT_TRUE(cli::buildDemoImage(tmp_ / "demo.img", &demo, &error)) << error;
  ASSERT_GE(DeviceTable::instance().attachImage((tmp_ / "demo.img").string(), &error), 0) << error;
  app_.ctx.preset = FilePreset::Pictures;
  app_.ctx.rawTypes = std::make_shared<RawTypeList>();
  ASSERT_TRUE(loadRawTypes(fs::path(BRENIX_TEST_SOURCE_DIR) / "data" / "rp.dat", *app_.ctx.rawTypes, &error)) << error;
  ASSERT_TRUE(home_.navigate(kPageDrive, kModeRaw));
  auto* drive = qobject_cast<DrivePage*>(home_.currentPage());
  QTreeWidgetItem* disk = drive->tree()->topLevelItem(0)->child(0);
  drive->tree()->setCurrentItem(disk);
  ASSERT_TRUE(drive->button(QStringLiteral("Next"))->isEnabled());
  EXPECT_EQ(app_.ctx.partitionStart, 0u);
  EXPECT_EQ(app_.ctx.partitionEnd * 512, fs::file_size(tmp_ / "demo.img"));
  drive->button(QStringLiteral("Next"))->click();
  auto* page = qobject_cast<ResultsPage*>(home_.currentPage());
  ASSERT_NE(page, nullptr) << rec.texts().join(QLatin1Char('|')).toStdString();
  ASSERT_TRUE(waitUntil([page] { return page->job() == ResultsPage::Job::None && page->folderTree()->topLevelItemCount(); },
                        20000));
  page->folderTree()->topLevelItem(0)->setCheckState(0, Qt::Checked);
  const fs::path out = tmp_ / "out";
  ASSERT_TRUE(recoverAll(page, out));
  std::set<std::string> expected;
  for (const auto& pic : demo.pictures) expected.insert(hashOf(pic.bytes));
  EXPECT_EQ(hashesUnder(out), expected) << rec.texts().join(QLatin1Char('|')).toStdString();

  // Outside raw mode a disk row is no target.
  ASSERT_TRUE(home_.navigate(kPageDrive, kModeDeleted));
  drive = qobject_cast<DrivePage*>(home_.currentPage());
  drive->tree()->setCurrentItem(drive->tree()->topLevelItem(0)->child(0));
  EXPECT_FALSE(drive->button(QStringLiteral("Next"))->isEnabled());
}

// An E01 copy of the demo disk with one damaged chunk: the raw scan through
// the page meets its 64 unreadable sectors and the page says so, with the
// figure the command line gives; the intact raw image says nothing.
TEST_F(RealEngines, UnreadableSectorsAreShownOnTheResultsPage) {
  BRENIX_REQUIRE_TOOL("ewfacquire");
  if (!createEngine("RAW", ScanMode::Raw)) GTEST_SKIP() << "no raw engine in this build";
  MessageRecorder rec;
  cli::DemoImageInfo demo;
  std::string error;
  ASSERT_TRUE(cli::buildDemoImage(tmp_ / "demo.img", &demo, &error)) << error;
  const ToolResult acquired = runTool({"ewfacquire", "-u", "-q", "-t", (tmp_ / "bad").string(), "-c", "none", "-S", "1MiB",
                                       "-C", "case", "-D", "bad", "-E", "1", "-e", "test", "-N", "",
                                       (tmp_ / "demo.img").string()});
  ASSERT_EQ(acquired.status, 0) << acquired.output;
  {
    std::fstream f(tmp_ / "bad.E20", std::ios::in | std::ios::out | std::ios::binary);
    ASSERT_TRUE(f.good());
    f.seekp(500000);
    const std::string junk(4096, '\xAA');
    f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
  }
  app_.ctx.preset = FilePreset::Pictures;
  app_.ctx.rawTypes = std::make_shared<RawTypeList>();
  ASSERT_TRUE(loadRawTypes(fs::path(BRENIX_TEST_SOURCE_DIR) / "data" / "rp.dat", *app_.ctx.rawTypes, &error)) << error;
  auto scanWholeDisk = [&](const fs::path& image) -> ResultsPage* {
    DeviceTable::instance().clearImages();
    if (DeviceTable::instance().attachImage(image.string(), &error) < 0) return nullptr;
    if (!home_.navigate(kPageDrive, kModeRaw)) return nullptr;
    auto* drive = qobject_cast<DrivePage*>(home_.currentPage());
    drive->tree()->setCurrentItem(drive->tree()->topLevelItem(0)->child(0));
    drive->button(QStringLiteral("Next"))->click();
    auto* page = qobject_cast<ResultsPage*>(home_.currentPage());
    if (!page || !waitUntil([page] { return page->job() == ResultsPage::Job::None && page->folderTree()->topLevelItemCount(); },
                            30000))
      return nullptr;
    return page;
  };
  ResultsPage* page = scanWholeDisk(tmp_ / "demo.img");
  ASSERT_NE(page, nullptr) << error << rec.texts().join(QLatin1Char('|')).toStdString();
  EXPECT_EQ(page->unreadableLine(), QString());
  EXPECT_FALSE(page->findChild<QLabel*>(QStringLiteral("UnreadableNotice"))->isVisibleTo(page));
  page = scanWholeDisk(tmp_ / "bad.E01");
  ASSERT_NE(page, nullptr) << error << rec.texts().join(QLatin1Char('|')).toStdString();
  EXPECT_GT(listRows(page->fileList()) + page->folderTree()->topLevelItem(0)->childCount(), 0);
  EXPECT_EQ(page->unreadableLine(), QStringLiteral("64 sectors could not be read"));
  EXPECT_TRUE(page->findChild<QLabel*>(QStringLiteral("UnreadableNotice"))->isVisibleTo(page));
  const char* cliPath = std::getenv("BRENIX_CLI");
  if (cliPath && fs::exists(cliPath)) {
    const ToolResult r = runTool({cliPath, "scan", "--mode", "raw", "--whole-disk", "--images-only", "--image",
                                  (tmp_ / "bad.E01").string()});
    EXPECT_NE(r.output.find("\n64 sectors could not be read\n"), std::string::npos) << r.output;
  }
}

}  // namespace
}  // namespace brenix::test

namespace brenix::test {
namespace {

// exiftool's answers ("Key : value" lines) for a corpus picture.
std::map<std::string, std::string> exifAnswers(const fs::path& p) {
  std::map<std::string, std::string> out;
  std::ifstream in(p);
  std::string line;
  while (std::getline(in, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon), value = line.substr(colon + 1);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    out[key] = value;
  }
  return out;
}

// Two camera pictures on a card, raw-scanned with the pictures preset: the
// list shows the date each was taken and that it decodes whole; the
// recovery step's photo dialog, with "name by date and camera" and "sort by
// date" ticked, writes the camera picture as
// YYYY/YYYY-MM-DD/YYYY-MM-DD_HH-MM-SS_<camera>.jpg and leaves the 100 x 68
// one out (the preset's 160 x 120 minimum).
TEST_F(RealEngines, CarvedCameraPicturesAreDatedInTheListAndRecoveredByDate) {
  if (!createEngine("RAW", ScanMode::Raw)) GTEST_SKIP() << "no raw engine in this build";
  const fs::path corpus = corpusDir() / "jpeg";
  const fs::path camera = corpus / "kodak-dc240.jpg", small = corpus / "Canon_40D.jpg";
  if (!fs::exists(camera) || !fs::exists(small)) GTEST_SKIP() << "no corpus pictures";
  MessageRecorder rec;
  const std::vector<uint8_t> photo = readFile(camera), icon = readFile(small);
  std::vector<uint8_t> card(64 << 10);
  for (const auto* p : {&photo, &icon}) {
    card.insert(card.end(), p->begin(), p->end());
    card.resize((card.size() + 4095) / 4096 * 4096 + 4096, 0);
  }
  card.resize(card.size() + (64 << 10), 0);
  writeFile(tmp_ / "card.img", card);
  std::string error;
  ASSERT_GE(DeviceTable::instance().attachImage((tmp_ / "card.img").string(), &error), 0) << error;
  app_.ctx.preset = FilePreset::Pictures;
  app_.ctx.rawTypes = std::make_shared<RawTypeList>();
  ASSERT_TRUE(loadRawTypes(fs::path(BRENIX_TEST_SOURCE_DIR) / "data" / "rp.dat", *app_.ctx.rawTypes, &error)) << error;
  ASSERT_TRUE(home_.navigate(kPageDrive, kModeRaw));
  auto* drive = qobject_cast<DrivePage*>(home_.currentPage());
  drive->tree()->setCurrentItem(drive->tree()->topLevelItem(0)->child(0));
  drive->button(QStringLiteral("Next"))->click();
  auto* page = qobject_cast<ResultsPage*>(home_.currentPage());
  ASSERT_NE(page, nullptr) << rec.texts().join(QLatin1Char('|')).toStdString();
  ASSERT_TRUE(waitUntil([page] { return page->job() == ResultsPage::Job::None && page->folderTree()->topLevelItemCount(); },
                        20000));
  QTreeWidgetItem* root = page->folderTree()->topLevelItem(0);
  ASSERT_EQ(root->childCount(), 1);
  page->folderTree()->setCurrentItem(root->child(0));
  ASSERT_EQ(listRows(page->fileList()), 2);

  const auto answers = exifAnswers(camera.string() + ".exif.txt");
  std::string date = answers.at("DateTimeOriginal");  // "YYYY:MM:DD HH:MM:SS"
  ASSERT_EQ(date.size(), 19u);
  date[4] = date[7] = '-';
  std::string smallDate = exifAnswers(small.string() + ".exif.txt").at("DateTimeOriginal");
  smallDate[4] = smallDate[7] = '-';
  EXPECT_EQ(listCell(page->fileList(), 0, int(ListColumn::Modified)), QString::fromStdString(date));
  EXPECT_EQ(listCell(page->fileList(), 1, int(ListColumn::Modified)), QString::fromStdString(smallDate));
  for (int row : {0, 1}) EXPECT_EQ(listCell(page->fileList(), row, int(ListColumn::Attributes)), QStringLiteral("whole"));

  // Recovery: the photo dialog opens with the preset's pixel minimum; a
  // person ticks the two naming choices and presses OK.
  root->setCheckState(0, Qt::Checked);
  bool pixelMinimumOn = false;
  QTimer answer;
  QObject::connect(&answer, &QTimer::timeout, [&] {
    auto* dlg = qobject_cast<PhotoOptionsDialog*>(QApplication::activeModalWidget());
    if (!dlg) return;
    pixelMinimumOn = dlg->minPixelsBox()->isChecked() && dlg->minWidthBox()->value() == 160 &&
                     dlg->minHeightBox()->value() == 120;
    dlg->nameByExifBox()->setChecked(true);
    dlg->sortByDateBox()->setChecked(true);
    dlg->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
  });
  answer.start(20);
  const fs::path out = tmp_ / "out";
  page->setFolderChooserForTesting([out] { return QString::fromStdString(out.string()); });
  page->recover();
  ASSERT_TRUE(waitUntil([page] { return page->job() == ResultsPage::Job::None; }, 20000));
  answer.stop();
  EXPECT_TRUE(pixelMinimumOn);
  EXPECT_TRUE(page->photoChoices().nameByExif && page->photoChoices().sortByDate);

  PhotoInfo info;
  info.make = answers.at("Make");
  info.model = answers.at("Model");
  const std::string name = date.substr(0, 10) + "_" + date.substr(11, 2) + "-" + date.substr(14, 2) + "-" +
                           date.substr(17, 2) + "_" + cameraNamePart(info) + ".jpg";
  const fs::path written = out / date.substr(0, 4) / date.substr(0, 10) / name;
  EXPECT_EQ(readFile(written), photo) << written;
  std::vector<fs::path> files;
  for (const auto& e : fs::recursive_directory_iterator(out))
    if (e.is_regular_file()) files.push_back(e.path());
  EXPECT_EQ(files, std::vector<fs::path>{written});
  EXPECT_EQ(rec.texts(), QStringList{QStringLiteral("1 picture smaller than 160 x 120 pixels was left out.")});
}

}  // namespace
}  // namespace brenix::test
