// The partition rescue page over disk images: the lost-partition search of the
// "Auto Scan" row, Recovery with its questions answered by the test, the disk
// map before and after, backups written and loaded back, and every refusal
// leaving the image's bytes alone.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QListWidget>
#include <QTreeWidget>
#include <cstring>
#include <filesystem>
#include <regex>
#include <set>

#include "common/bytes.h"
#include "disk/device_table.h"
#include "disk/fs_kind.h"
#include "gui/disk_map_view.h"
#include "gui/file_dialogs.h"
#include "gui/home_view.h"
#include "gui/main_frame.h"
#include "gui/rescue_page.h"
#include "gui/skin.h"
#include "gui/skin_button.h"
#include "gui/tool_pages.h"
#include "gui_support.h"
#include "rescue/rescue_texts.h"
#include "support/disk_image_builder.h"
#include "support/temp_dir.h"
#include "support/tools.h"

namespace brenix::test {
namespace {

using namespace brenix::gui;
namespace fs = std::filesystem;

constexpr uint32_t kLostStart = 8192;
constexpr uint32_t kLostSectors = 6144;  // the FAT16 volume made there (3072 KiB)
constexpr uint64_t kDiskSectors = 16384;  // 8 MiB

struct Question {
  QString caption, text;
};

// Answers the Yes/No questions in order from `yes` (No once it runs out) and
// every file dialog with the next path given; records what was asked.
class Answers {
 public:
  Answers() {
    setQuestionHandlerForTesting([this](const MessageRequest& r) {
      questions.push_back({r.caption, r.text});
      const bool answer = !yes.empty() && yes.front();
      if (!yes.empty()) yes.erase(yes.begin());
      return answer;
    });
    setFileDialogHandlerForTesting([this](const FileDialogRequest& r) {
      dialogs.push_back(r);
      if (files.empty()) return QStringList();
      const QString f = files.front();
      files.erase(files.begin());
      return QStringList(f);
    });
  }
  ~Answers() {
    setQuestionHandlerForTesting({});
    setFileDialogHandlerForTesting({});
  }
  std::vector<bool> yes;
  std::vector<QString> files;
  std::vector<Question> questions;
  std::vector<FileDialogRequest> dialogs;
};

class RescuePageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeviceTable::instance().setIncludeSystemDisks(false);
    DeviceTable::instance().clearImages();
    registerToolPages(app_);
  }
  void TearDown() override {
    home_.navigate(kPageHome, 0);
    DeviceTable::instance().clearImages();
  }

  // Two FAT16 partitions made by sfdisk and mkfs.fat (2048 and 8192, 6144
  // sectors each), then the second deleted from the table.
  bool makeImage(const fs::path& image) {
    if (runTool({"truncate", "-s", std::to_string(kDiskSectors * 512), image.string()}).status != 0) return false;
    ToolResult r = runTool({"sfdisk", "--no-reread", "--no-tell-kernel", image.string()},
                           "label: dos\nunit: sectors\nstart=2048, size=6144, type=6\n"
                           "start=8192, size=6144, type=6\n");
    if (r.status != 0) return false;
    for (const char* offset : {"2048", "8192"}) {
      r = runTool({"mkfs.fat", "-F", "16", "-s", "1", "-n", "CARD", "--offset", offset, image.string(), "3072"});
      if (r.status != 0) return false;
    }
    r = runTool({"sfdisk", "--no-reread", "--no-tell-kernel", "--delete", image.string(), "2"});
    return r.status == 0;
  }

  RescuePage* openPage(const fs::path& image) {
    std::string error;
    if (DeviceTable::instance().attachImage(image.string(), &error) < 0) return nullptr;
    if (!home_.navigate(kPageTask, kModeRescue)) return nullptr;
    auto* page = qobject_cast<RescuePage*>(home_.currentPage());
    if (page) page->setBackupFolder(tmp_ / "backup");
    return page;
  }

  static void doubleClick(RescuePage* page, int row) {
    QTreeWidgetItem* item = page->backupList()->topLevelItem(row);
    ASSERT_NE(item, nullptr);
    Q_EMIT page->backupList()->itemDoubleClicked(item, 0);
  }

  // The partition list row holding a record of this kind at this start.
  static int rowOf(RescuePage* page, const std::string& fsName, uint32_t start) {
    for (int i = 0; i < page->partitionList()->count(); ++i) {
      const auto rec = RescuePage::recordOf(page->partitionList()->item(i)->data(RescuePage::kRecordRole));
      if (rec && rec->fs() == fsName && rec->volumeStart == start) return i;
    }
    return -1;
  }

  // The map span starting at `start` (its text), empty when none.
  static std::string mapTextAt(RescuePage* page, uint32_t start) {
    const auto& recs = page->diskMap()->records();
    const rescue::DiskMap map = page->diskMap()->layout();
    for (size_t i = 0; i < recs.size() && i < map.spans.size(); ++i)
      if (recs[i].volumeStart == start) return map.spans[i].text;
    return {};
  }

  static std::vector<uint8_t> mbrEntry(const fs::path& image, int index) {
    const std::vector<uint8_t> bytes = readFile(image);
    const size_t at = 446 + 16 * size_t(index);
    return std::vector<uint8_t>(bytes.begin() + long(at), bytes.begin() + long(at) + 16);
  }

  TempDir tmp_;
  AppContext app_;
  HomeView home_{app_, nullptr};
};

TEST_F(RescuePageTest, AutoScanFindsTheDeletedPartitionAndRecoveryWritesItBack) {
  BRENIX_REQUIRE_TOOL("sfdisk");
  BRENIX_REQUIRE_TOOL("mkfs.fat");
  MessageRecorder rec;
  Answers answers;
  const fs::path image = tmp_ / "card.img";
  ASSERT_TRUE(makeImage(image));
  RescuePage* page = openPage(image);
  ASSERT_NE(page, nullptr);

  // The disk list holds the image; the backup list only its two fixed rows.
  ASSERT_EQ(page->diskList()->count(), 1);
  ASSERT_EQ(page->backupList()->topLevelItemCount(), 2);
  EXPECT_EQ(page->backupList()->topLevelItem(0)->text(0), QString::fromLatin1(rescue::kAutoScanRow));
  EXPECT_EQ(page->backupList()->topLevelItem(0)->text(1), QString::fromLatin1(rescue::kAutoScanPath));
  EXPECT_EQ(page->backupList()->topLevelItem(1)->text(0), QString::fromLatin1(rescue::kAddBackupRow));
  EXPECT_EQ(page->backupList()->headerItem()->text(0), QStringLiteral("Date Created"));
  EXPECT_EQ(page->backupList()->headerItem()->text(1), QStringLiteral("File Path"));
  EXPECT_FALSE(page->button(10606)->isEnabled());  // Next
  // Before: the map shows the deleted partition's place as an unallocated region.
  EXPECT_EQ(mapTextAt(page, kLostStart), "*: Deleted");

  doubleClick(page, 0);
  const int row = rowOf(page, "FAT16", kLostStart);
  ASSERT_GE(row, 0) << "the search did not find the FAT16 volume at " << kLostStart;
  const auto found = RescuePage::recordOf(page->partitionList()->item(row)->data(RescuePage::kRecordRole));
  EXPECT_EQ(found->partitionType, 0x06);
  EXPECT_EQ(found->totalBytes / 512, kLostSectors);  // the volume's own size, from its boot sector
  page->partitionList()->setCurrentRow(row);
  // The selection bar runs under the found partition's span.
  const rescue::DiskMap selectedMap = page->diskMap()->layout();
  ASSERT_TRUE(selectedMap.selectionBar.has_value());
  EXPECT_GT(selectedMap.selectionBar->left, page->diskMap()->width() / 2 - 8);

  answers.yes = {true, true};
  page->button(10607)->click();  // Recovery
  ASSERT_EQ(answers.questions.size(), 2u);
  EXPECT_EQ(answers.questions[0].caption, QStringLiteral("Warning"));
  EXPECT_EQ(answers.questions[0].text, QString::fromLatin1(rescue::kAskRecover));
  EXPECT_TRUE(answers.questions[1].text.contains(QStringLiteral("from sector 8192")));
  ASSERT_EQ(rec.messages.size(), 1u) << rec.texts().join(QLatin1Char('|')).toStdString();
  EXPECT_EQ(rec.messages[0].caption, QStringLiteral("Recovery Success!"));
  EXPECT_EQ(rec.messages[0].text, QString::fromLatin1(rescue::kRecoveredNow));
  EXPECT_EQ(rec.messages[0].icon, MessageIcon::Information);
  EXPECT_TRUE(rec.messages[0].details.contains(QStringLiteral(".undo"))) << rec.messages[0].details.toStdString();

  // The table's second entry is back: type 6 from 8192 with the volume's size.
  const std::vector<uint8_t> entry = mbrEntry(tmp_ / "card.img", 1);
  EXPECT_EQ(entry[4], 0x06);
  EXPECT_EQ(le32(entry.data() + 8), kLostStart);
  EXPECT_EQ(le32(entry.data() + 12), kLostSectors);
  const ToolResult dump = runTool({"sfdisk", "--dump", image.string()});
  EXPECT_TRUE(std::regex_search(dump.output, std::regex(R"(start=\s+8192, size=\s+6144, type=6)"))) << dump.output;
  // The undo file is in the page's backup folder.
  int undoFiles = 0;
  for (const auto& e : fs::directory_iterator(tmp_ / "backup")) undoFiles += e.path().extension() == ".undo";
  EXPECT_EQ(undoFiles, 1);

  // After: the catalog was re-read and the map shows a FAT volume there, in its colour.
  const std::string after = mapTextAt(page, kLostStart);
  EXPECT_TRUE(after == "*: FAT16" || after == "*: FAT") << after;
  const rescue::DiskMap map = page->diskMap()->layout();
  const QImage shot = page->diskMap()->grab().toImage();
  bool drawn = false;
  for (size_t i = 0; i < map.spans.size(); ++i) {
    if (page->diskMap()->records()[i].volumeStart != kLostStart) continue;
    const int x = (map.spans[i].left + map.spans[i].right) / 2;
    EXPECT_EQ(shot.pixelColor(x, 12), skin::fromColorRef(fskind::mapColour(after.substr(3))));
    drawn = true;
  }
  EXPECT_TRUE(drawn);
  // The partition list is left as it was.
  EXPECT_GE(rowOf(page, "FAT16", kLostStart), 0);
}

TEST_F(RescuePageTest, AnsweringNoOrARefusedRecordWritesNothing) {
  BRENIX_REQUIRE_TOOL("sfdisk");
  BRENIX_REQUIRE_TOOL("mkfs.fat");
  MessageRecorder rec;
  Answers answers;
  const fs::path image = tmp_ / "card.img";
  ASSERT_TRUE(makeImage(image));
  const std::string before = sha256Of(image);
  RescuePage* page = openPage(image);
  ASSERT_NE(page, nullptr);

  // Nothing selected: the warning, then the message of code 2.
  answers.yes = {true};
  page->button(10607)->click();
  ASSERT_EQ(rec.messages.size(), 1u);
  EXPECT_EQ(rec.messages[0].caption, QStringLiteral("Error"));
  EXPECT_EQ(rec.messages[0].text, QStringLiteral("Select the partition you want recover"));

  // Enter on the "Auto Scan" row searches as its double-click does.
  page->backupList()->setCurrentItem(page->backupList()->topLevelItem(0));
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(page->backupList(), &enter);
  const int row = rowOf(page, "FAT16", kLostStart);
  ASSERT_GE(row, 0);
  page->partitionList()->setCurrentRow(row);
  // No to the warning: no second question, nothing written.
  answers.questions.clear();
  answers.yes = {false};
  page->button(10607)->click();
  EXPECT_EQ(answers.questions.size(), 1u);
  // Yes to the warning, No to the confirmation that names the sectors.
  answers.questions.clear();
  answers.yes = {true, false};
  page->button(10607)->click();
  ASSERT_EQ(answers.questions.size(), 2u);
  EXPECT_TRUE(answers.questions[1].text.contains(QStringLiteral("master boot record")));
  EXPECT_EQ(rec.messages.size(), 1u);
  // An unallocated region is no partition: code 4.
  const int region = rowOf(page, "Deleted", 63);
  ASSERT_GE(region, 0);
  page->partitionList()->setCurrentRow(region);
  answers.questions.clear();
  answers.yes = {true, true};
  page->button(10607)->click();
  EXPECT_EQ(answers.questions.size(), 1u);
  ASSERT_EQ(rec.messages.size(), 2u);
  EXPECT_EQ(rec.messages[1].text,
            QStringLiteral("The partition selected is invalid. Please select the other partition."));

  EXPECT_EQ(sha256Of(image), before);
  EXPECT_FALSE(fs::exists(tmp_ / "backup") && !fs::is_empty(tmp_ / "backup"));
}

TEST_F(RescuePageTest, BackupWrittenAndLoadedBackThroughAddBackupFile) {
  MessageRecorder rec;
  Answers answers;
  DiskImageBuilder b(kDiskSectors);
  b.setEntry(0, 0, 0x0C, 2048, 8192);
  b.putFat32BootSector(2048);
  b.save(tmp_ / "card.img");
  DiskImageBuilder other(kDiskSectors * 2);
  other.save(tmp_ / "other.img");
  ASSERT_GE(DeviceTable::instance().attachImage((tmp_ / "other.img").string(), nullptr), 0);
  RescuePage* page = openPage(tmp_ / "card.img");
  ASSERT_NE(page, nullptr);
  ASSERT_EQ(page->diskList()->count(), 2);
  int card = -1, otherIndex = -1;
  for (int i = 0; i < 2; ++i) (page->diskList()->diskAt(i)->model() == "card.img" ? card : otherIndex) = i;
  ASSERT_GE(card, 0);
  ASSERT_GE(otherIndex, 0);
  const int cardDrive = int(page->diskList()->diskAt(card)->driveNumber);
  page->diskList()->setCurrentIndex(card);
  const std::string before = sha256Of(tmp_ / "card.img");
  // Owner-drawn rows: disks 21 pixels high in the drop-down, partitions 25.
  EXPECT_EQ(page->diskList()->view()->sizeHintForRow(0), DiskComboBox::kItemHeight);
  EXPECT_EQ(page->diskList()->height(), DiskComboBox::kFieldHeight);

  // Cancel at the question: no dialog, no file.
  answers.yes = {false};
  page->button(10608)->click();
  EXPECT_TRUE(answers.dialogs.empty());

  const fs::path saved = tmp_ / "kept" / "card-table.pbf";
  fs::create_directories(saved.parent_path());
  answers.questions.clear();
  answers.yes = {true};
  answers.files = {QString::fromStdString(saved.string())};
  page->button(10608)->click();
  ASSERT_EQ(answers.questions.size(), 1u);
  EXPECT_EQ(answers.questions[0].caption, QStringLiteral("Confirm"));
  EXPECT_EQ(answers.questions[0].text, QString::fromLatin1(rescue::kAskBackup));
  ASSERT_EQ(answers.dialogs.size(), 1u);
  EXPECT_EQ(answers.dialogs[0].kind, FileDialogKind::SaveFile);
  EXPECT_EQ(answers.dialogs[0].filter, QStringLiteral("Partition backup files (*.pbf)|*.pbf||"));
  EXPECT_TRUE(answers.dialogs[0].startPath.endsWith(QStringLiteral(".pbf")));
  ASSERT_FALSE(rec.messages.empty());
  EXPECT_EQ(rec.messages.back().caption, QStringLiteral("Success"));
  EXPECT_EQ(rec.messages.back().text, QStringLiteral("Backup has finished!"));
  // Region before, the FAT32 partition, region after: 4 + 288 + 3 x 600 bytes.
  ASSERT_TRUE(fs::exists(saved));
  EXPECT_EQ(fs::file_size(saved), 2092u);
  EXPECT_EQ(page->backupList()->topLevelItemCount(), 2);  // the list is not refilled
  // A file that cannot be created: the error, nothing left behind.
  answers.yes = {true};
  answers.files = {QString::fromStdString((tmp_ / "missing" / "x.pbf").string())};
  page->button(10608)->click();
  EXPECT_EQ(rec.messages.back().caption, QStringLiteral("Error"));
  EXPECT_EQ(rec.messages.back().text, QStringLiteral("Can't backup the disk!"));
  EXPECT_FALSE(fs::exists(tmp_ / "missing"));

  // "  Add backup file..." puts a row before itself; the file loads on its double-click.
  answers.files = {QString::fromStdString(saved.string())};
  doubleClick(page, 1);
  ASSERT_EQ(page->backupList()->topLevelItemCount(), 3);
  EXPECT_EQ(answers.dialogs.back().kind, FileDialogKind::OpenFile);
  EXPECT_EQ(page->backupList()->topLevelItem(1)->text(1), QString::fromStdString(saved.string()));
  EXPECT_TRUE(page->backupList()->topLevelItem(1)->text(0).startsWith(QStringLiteral("     20")));
  EXPECT_EQ(page->backupList()->topLevelItem(2)->text(0), QString::fromLatin1(rescue::kAddBackupRow));
  EXPECT_EQ(page->partitionList()->count(), 0);
  doubleClick(page, 1);
  ASSERT_EQ(page->partitionList()->count(), 3);
  EXPECT_EQ(page->partitionList()->sizeHintForRow(0), 25);
  EXPECT_GE(rowOf(page, "FAT32", 2048), 0);
  const std::vector<int> vols = page->catalog().volumesOfDisk(cardDrive);
  ASSERT_EQ(vols.size(), page->loadedRecords().size());
  for (size_t i = 0; i < vols.size(); ++i)
    EXPECT_EQ(std::memcmp(&page->catalog().volume(vols[i]), &page->loadedRecords()[i], sizeof(PartitionInfo)), 0);

  // A file that is no backup: the message, and the loaded records stay.
  writeFile(tmp_ / "kept" / "junk.pbf", std::vector<uint8_t>(700, 0x41));
  answers.files = {QString::fromStdString((tmp_ / "kept" / "junk.pbf").string())};
  doubleClick(page, 2);
  doubleClick(page, 2);
  EXPECT_EQ(rec.messages.back().text, QStringLiteral("Can't load the Backup file!"));
  EXPECT_EQ(page->partitionList()->count(), 3);

  // The other disk (another size) refuses the backup; changing the disk cleared the lists.
  page->diskList()->setCurrentIndex(card);  // the same disk again changes nothing
  EXPECT_EQ(page->partitionList()->count(), 3);
  page->diskList()->setCurrentIndex(otherIndex);
  EXPECT_EQ(page->partitionList()->count(), 0);
  EXPECT_TRUE(page->loadedRecords().empty());
  ASSERT_EQ(page->backupList()->topLevelItemCount(), 2);
  answers.files = {QString::fromStdString(saved.string())};
  doubleClick(page, 1);
  const size_t shown = rec.messages.size();
  doubleClick(page, 1);
  ASSERT_EQ(rec.messages.size(), shown + 1);
  EXPECT_EQ(rec.messages.back().text, QStringLiteral("Can't load the Backup file!"));

  EXPECT_EQ(sha256Of(tmp_ / "card.img"), before);
}

TEST_F(RescuePageTest, WithoutADiskEveryActionSaysWhyAndNothingIsWritten) {
  MessageRecorder rec;
  Answers answers;
  ASSERT_TRUE(home_.navigate(kPageTask, kModeRescue));
  auto* page = qobject_cast<RescuePage*>(home_.currentPage());
  ASSERT_NE(page, nullptr);
  page->setBackupFolder(tmp_ / "backup");
  EXPECT_EQ(page->diskList()->count(), 0);
  ASSERT_EQ(page->backupList()->topLevelItemCount(), 2);
  EXPECT_TRUE(page->diskMap()->layout().spans.empty());

  page->button(10608)->click();  // Backup: refused before any question
  EXPECT_TRUE(answers.questions.empty());
  ASSERT_EQ(rec.messages.size(), 1u);
  EXPECT_EQ(rec.messages[0].text, QStringLiteral("Can't backup the disk!"));
  doubleClick(page, 0);  // the search has no disk to look at
  EXPECT_EQ(page->partitionList()->count(), 0);
  writeFile(tmp_ / "a.pbf", std::vector<uint8_t>(4 + 288, 0));
  answers.files = {QString::fromStdString((tmp_ / "a.pbf").string())};
  doubleClick(page, 1);
  doubleClick(page, 1);
  EXPECT_EQ(rec.messages.back().text, QStringLiteral("Can't load the Backup file!"));
  answers.yes = {true, true};
  page->button(10607)->click();
  EXPECT_EQ(rec.messages.back().text, QStringLiteral("Select the disk you want recover"));
  EXPECT_EQ(rec.messages.back().caption, QStringLiteral("Error"));
  EXPECT_FALSE(fs::exists(tmp_ / "backup"));
}

// Same pattern as the other screenshots: BRENIX_SCREENSHOT_DIR keeps the PNG.
TEST(Screenshots, RescuePage) {
  MessageRecorder rec;
  Answers answers;
  TempDir tmp;
  DeviceTable::instance().setIncludeSystemDisks(false);
  DeviceTable::instance().clearImages();
  DiskImageBuilder b(kDiskSectors);
  b.setEntry(0, 0, 0x0C, 2048, 8192);
  b.putFat32BootSector(2048);
  b.putNtfsBootSector(10240);  // a partition whose table entry is gone
  b.save(tmp / "card.img");
  ASSERT_GE(DeviceTable::instance().attachImage((tmp / "card.img").string(), nullptr), 0);

  AppContext app;
  registerToolPages(app);
  MainFrame frame(app);
  frame.show();
  ASSERT_TRUE(frame.homeView()->navigate(kPageTask, kModeRescue));
  auto* page = qobject_cast<RescuePage*>(frame.homeView()->currentPage());
  ASSERT_NE(page, nullptr);
  page->setBackupFolder(tmp / "backup");
  answers.yes = {true};
  answers.files = {QString::fromStdString((tmp / "backup" / "card.pbf").string())};
  page->backupDisk();
  answers.files = {QString::fromStdString((tmp / "backup" / "card.pbf").string())};
  page->activateBackupRow(1);
  page->activateBackupRow(0);
  for (int i = 0; i < page->partitionList()->count(); ++i) {
    const auto r = RescuePage::recordOf(page->partitionList()->item(i)->data(RescuePage::kRecordRole));
    if (r && r->fs() == "NTFS") page->partitionList()->setCurrentRow(i);
  }
  ASSERT_GE(page->partitionList()->currentRow(), 0);
  EXPECT_GT(shoot(&frame, "20-rescue"), 20);
  // The disk drop-down open: its owner-drawn item.
  page->diskList()->showPopup();
  const QImage popup = screenshot(page->diskList()->view(), "21-rescue-disks");
  EXPECT_GE(popup.height(), DiskComboBox::kItemHeight);
  page->diskList()->hidePopup();
  frame.homeView()->navigate(kPageHome, 0);
  DeviceTable::instance().clearImages();
}

}  // namespace
}  // namespace brenix::test
