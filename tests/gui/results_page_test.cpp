// Results pages end to end: from the drive page through the scan worker to
// the tree, check boxes, totals, thumbnails, preview and recovery.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QHeaderView>
#include <QProgressBar>
#include <QListWidget>
#include <QTreeWidget>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

#include "cli/demo_image.h"
#include "disk/device_table.h"
#include "disk/sector_reader.h"
#include "gui/drive_page.h"
#include "gui/home_view.h"
#include "gui/preview_window.h"
#include "gui/progress_dialog.h"
#include "gui/results_page.h"
#include "gui/scan_resume.h"
#include "gui/skin_button.h"
#include "jobs/engine_factory.h"
#include "gui_support.h"
#include "raw/raw_types.h"
#include "support/temp_dir.h"

namespace brenix::test {
namespace {

using namespace brenix::gui;
namespace fs = std::filesystem;

class ResultsPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeviceTable::instance().setIncludeSystemDisks(false);
    DeviceTable::instance().clearImages();
    std::string error;
    ASSERT_TRUE(cli::buildDemoImage(tmp_ / "demo.img", &demo_, &error)) << error;
    ASSERT_GE(DeviceTable::instance().attachImage((tmp_ / "demo.img").string(), &error), 0) << error;
    registerResultsPages(home_);
  }
  void TearDown() override { DeviceTable::instance().clearImages(); }

  // Home -> entry 600 -> drive page -> the image's partition -> Next.
  ResultsPage* openResults(int entry = 600) {
    home_.taskList()->setCurrentRow(0);
    home_.entryButton(entry)->click();
    auto* drive = qobject_cast<DrivePage*>(home_.currentPage());
    if (!drive) return nullptr;
    QTreeWidgetItem* disk = drive->tree()->topLevelItem(0)->child(0);
    if (!disk || disk->childCount() == 0) return nullptr;
    drive->tree()->setCurrentItem(disk->child(0));
    drive->button(QStringLiteral("Next"))->click();
    return qobject_cast<ResultsPage*>(home_.currentPage());
  }
  ResultsPage* openRaw() {
    home_.navigate(kPageDrive, kModeRaw);
    auto* drive = qobject_cast<DrivePage*>(home_.currentPage());
    if (!drive) return nullptr;
    QTreeWidgetItem* disk = drive->tree()->topLevelItem(0)->child(0);
    for (int i = 0; disk && i < disk->childCount(); ++i)
      if (disk->child(i)->text(0).contains(QStringLiteral("FAT32"))) drive->tree()->setCurrentItem(disk->child(i));
    drive->button(QStringLiteral("Next"))->click();
    return qobject_cast<ResultsPage*>(home_.currentPage());
  }
  static bool waitForScan(ResultsPage* page) {
    return waitUntil([page] { return page->job() == ResultsPage::Job::None && page->folderTree()->topLevelItemCount() > 0; },
                     20000);
  }
  static QTreeWidgetItem* folderNamed(ResultsPage* page, const QString& name) {
    const auto found = page->folderTree()->findItems(name, Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.first();
  }

  TempDir tmp_;
  cli::DemoImageInfo demo_;
  AppContext app_;
  HomeView home_{app_, nullptr};
};

TEST_F(ResultsPageTest, ScanFillsTheTreeAndChecksSpreadWithExactTotals) {
  MessageRecorder rec;
  app_.engines = [](const std::string&, ScanMode) { return std::make_unique<MemoryEngine>(); };
  ResultsPage* page = openResults();
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->job(), ResultsPage::Job::None);  // the scan starts 300 ms after the page
  ASSERT_TRUE(waitForScan(page));
  EXPECT_FALSE(page->progressDialog()->isVisible());
  EXPECT_TRUE(rec.messages.empty());

  QTreeWidgetItem* root = page->folderTree()->topLevelItem(0);
  EXPECT_EQ(root->text(0), QStringLiteral("FAT32 - Logical Disk (*:)"));
  EXPECT_EQ(page->folderTree()->currentItem(), root);
  EXPECT_EQ(listRows(page->fileList()), 1);  // readme.txt
  uint64_t all = 0;
  for (const auto& [name, bytes] : MemoryEngine::files()) all += bytes.size();
  EXPECT_EQ(page->foundLine(), QString::asprintf("4 files - %.2f KB", double(all) / 1024));
  QTreeWidgetItem* broken = folderNamed(page, QStringLiteral("Broken"));
  QTreeWidgetItem* dcim = folderNamed(page, QStringLiteral("DCIM"));
  QTreeWidgetItem* empty = folderNamed(page, QStringLiteral("Empty"));
  ASSERT_TRUE(broken && dcim && empty);

  // A folder with no files: the found line shows nothing.
  page->folderTree()->setCurrentItem(empty);
  EXPECT_EQ(page->foundLine(), QStringLiteral("0 files - 0.00 Byte"));
  EXPECT_EQ(listRows(page->fileList()), 0);

  // Checking a folder checks what is below it and every ancestor.
  broken->setCheckState(0, Qt::Checked);
  EXPECT_EQ(page->selectedLine(), QStringLiteral("1 files - 1.00 KB"));
  EXPECT_EQ(dcim->checkState(0), Qt::Checked);
  EXPECT_EQ(root->checkState(0), Qt::Checked);
  EXPECT_EQ(empty->checkState(0), Qt::Unchecked);

  // Rows: the DCIM list; unchecking its only checked content leaves Broken's file.
  page->folderTree()->setCurrentItem(dcim);
  ASSERT_EQ(listRows(page->fileList()), 2);
  setListCheck(page->fileList(), 0, Qt::Checked);
  const uint64_t jpg = MemoryEngine::files().at("IMG_0001.JPG").size();
  EXPECT_EQ(page->selectedLine(), QString::asprintf("2 files - %.2f KB", double(1024 + jpg) / 1024));
  setListCheck(page->fileList(), 0, Qt::Unchecked);
  EXPECT_EQ(page->selectedLine(), QStringLiteral("1 files - 1.00 KB"));

  // Unchecking the last checked file unchecks the way up to the root.
  broken->setCheckState(0, Qt::Unchecked);
  EXPECT_EQ(dcim->checkState(0), Qt::Unchecked);
  EXPECT_EQ(root->checkState(0), Qt::Unchecked);
  EXPECT_EQ(page->selectedLine(), QStringLiteral("0 files - 0.00 Byte"));

  // Checking the root checks every row shown.
  root->setCheckState(0, Qt::Checked);
  for (int i = 0; i < listRows(page->fileList()); ++i)
    EXPECT_EQ(listCheck(page->fileList(), i), Qt::Checked);
  EXPECT_EQ(page->selectedLine(), QString::asprintf("4 files - %.2f KB", double(all) / 1024));

  // The first click on Size puts the largest file first.
  emit page->fileList()->header()->sectionClicked(1);
  EXPECT_EQ(listCell(page->fileList(), 0), QStringLiteral("IMG_0002.png"));
}

TEST_F(ResultsPageTest, ThumbnailsPreviewAndFilter) {
  MessageRecorder rec;
  app_.engines = [](const std::string&, ScanMode) { return std::make_unique<MemoryEngine>(); };
  ResultsPage* page = openResults();
  ASSERT_NE(page, nullptr);
  ASSERT_TRUE(waitForScan(page));
  page->folderTree()->setCurrentItem(folderNamed(page, QStringLiteral("DCIM")));
  page->setViewMode(ResultsPage::ViewMode::Thumbnails);
  EXPECT_EQ(page->job(), ResultsPage::Job::Thumbnails);
  EXPECT_EQ(page->progressDialog()->title(), QStringLiteral("Viewing icon..."));
  ASSERT_TRUE(waitUntil([page] { return page->job() == ResultsPage::Job::None; }));
  EXPECT_FALSE(page->thumbnailsStale());
  ASSERT_EQ(page->thumbnails().size(), 2);
  for (const QImage& cell : page->thumbnails()) EXPECT_EQ(cell.size(), QSize(90, 90));
  // Back to Details and again to Thumbnails: no new pass.
  page->setViewMode(ResultsPage::ViewMode::Details);
  page->setViewMode(ResultsPage::ViewMode::Thumbnails);
  EXPECT_EQ(page->job(), ResultsPage::Job::None);
  page->setViewMode(ResultsPage::ViewMode::Details);

  QWidget* shown = nullptr;
  QObject::connect(page, &ResultsPage::previewShown, [&shown](QWidget* w) { shown = w; });
  page->preview(0);  // IMG_0001.JPG
  ASSERT_TRUE(waitUntil([&shown] { return shown != nullptr; }));
  auto* pv = qobject_cast<PreviewWindow*>(shown);
  ASSERT_NE(pv, nullptr);
  EXPECT_EQ(pv->canvas()->image().size(), QSize(40, 30));
  pv->close();
  shown = nullptr;
  page->folderTree()->setCurrentItem(page->folderTree()->topLevelItem(0));
  page->preview(0);  // readme.txt: a dump
  ASSERT_TRUE(waitUntil([&shown] { return shown != nullptr; }));
  auto* dump = qobject_cast<DumpWindow*>(shown);
  ASSERT_NE(dump, nullptr);
  EXPECT_EQ(dump->windowTitle(), QStringLiteral("View File Information..."));
  EXPECT_EQ(dump->text().split(QLatin1Char('\n')).size(), 2);
  dump->close();

  // The filter applies once its check box is on.
  EXPECT_FALSE(page->button(QStringLiteral("Filter"))->isEnabled());
  page->folderTree()->setCurrentItem(folderNamed(page, QStringLiteral("DCIM")));
  ResultFilter f;
  f.extensionChoice = 1;  // bmp.jpg
  page->applyFilter(f);
  EXPECT_EQ(listRows(page->fileList()), 2);
  page->filterCheck()->setChecked(true);
  EXPECT_TRUE(page->button(QStringLiteral("Filter"))->isEnabled());
  ASSERT_EQ(listRows(page->fileList()), 1);
  EXPECT_EQ(listCell(page->fileList(), 0), QStringLiteral("IMG_0001.JPG"));
  page->filterCheck()->setChecked(false);
  EXPECT_EQ(listRows(page->fileList()), 2);
  EXPECT_TRUE(rec.messages.empty());
}

TEST_F(ResultsPageTest, RecoveryAsksBeforeOverwritingAndWritesExactBytes) {
  MessageRecorder rec;
  app_.engines = [](const std::string&, ScanMode) { return std::make_unique<MemoryEngine>(); };
  ResultsPage* page = openResults();
  ASSERT_NE(page, nullptr);
  ASSERT_TRUE(waitForScan(page));

  // Nothing checked: the FAT page's message, no folder question.
  bool asked = false;
  page->setFolderChooserForTesting([&asked] {
    asked = true;
    return QString();
  });
  page->recover();
  EXPECT_FALSE(asked);
  EXPECT_EQ(rec.texts(), QStringList{QStringLiteral("Please check files for recovering")});

  page->folderTree()->topLevelItem(0)->setCheckState(0, Qt::Checked);
  const fs::path out = tmp_ / "out";
  fs::create_directories(out);
  writeFile(out / "readme.txt", std::vector<uint8_t>(100, 'x'));  // longer than the recovered file
  QStringList questions;
  page->setOverwriteHandlerForTesting([&questions](const QString& name) {
    questions << name;
    return OverwriteAnswer::Yes;
  });
  page->setFolderChooserForTesting([&out] { return QString::fromStdString(out.string()); });
  page->recover();
  EXPECT_EQ(page->job(), ResultsPage::Job::Recovery);
  EXPECT_EQ(page->progressDialog()->title(), QStringLiteral("Recovering Deleted Files ..."));
  ASSERT_TRUE(waitUntil([page] { return page->job() == ResultsPage::Job::None; }));
  EXPECT_EQ(questions, QStringList{QStringLiteral("readme.txt")});
  EXPECT_EQ(page->lastRecovery().written, 4u);
  const auto& files = MemoryEngine::files();
  EXPECT_EQ(readFile(out / "readme.txt"), files.at("readme.txt"));
  EXPECT_EQ(readFile(out / "DCIM" / "IMG_0001.JPG"), files.at("IMG_0001.JPG"));
  EXPECT_EQ(readFile(out / "DCIM" / "IMG_0002.png"), files.at("IMG_0002.png"));
  EXPECT_EQ(readFile(out / "DCIM" / "Broken" / "bad.jpg"), files.at("bad.jpg"));
  EXPECT_TRUE(fs::is_directory(out / "Empty"));  // a checked FAT folder is made even when empty

  // Again: "No" leaves the existing file as it is, Cancel stops the job.
  writeFile(out / "readme.txt", std::vector<uint8_t>(10, 'y'));
  questions.clear();
  page->setOverwriteHandlerForTesting([&questions](const QString& name) {
    questions << name;
    return questions.size() == 1 ? OverwriteAnswer::No : OverwriteAnswer::Cancel;
  });
  page->recover();
  ASSERT_TRUE(waitUntil([page] { return page->job() == ResultsPage::Job::None; }));
  EXPECT_EQ(questions.size(), 2);
  EXPECT_EQ(readFile(out / "readme.txt"), std::vector<uint8_t>(10, 'y'));
  EXPECT_TRUE(page->lastRecovery().cancelled);

  // An output folder that cannot be made is refused before any job starts.
  writeFile(tmp_ / "plainfile", {1});
  rec.messages.clear();
  page->recoverTo(QString::fromStdString((tmp_ / "plainfile" / "sub").string()));
  EXPECT_EQ(page->job(), ResultsPage::Job::None);
  ASSERT_EQ(rec.messages.size(), 1u);
  EXPECT_EQ(rec.messages[0].caption, QStringLiteral("Error"));
}

TEST_F(ResultsPageTest, CancelStopsALongScan) {
  MessageRecorder rec;
  MemoryEngine* engine = nullptr;
  app_.engines = [&engine](const std::string&, ScanMode) {
    auto e = std::make_unique<MemoryEngine>(EngineKind::Fat, true);
    engine = e.get();
    return e;
  };
  ResultsPage* page = openResults();
  ASSERT_NE(page, nullptr);
  ASSERT_TRUE(waitUntil([&engine] { return engine && engine->scanStarted.load(); }));
  EXPECT_TRUE(page->busy());
  EXPECT_TRUE(page->progressDialog()->isVisible());
  EXPECT_EQ(page->progressDialog()->title(), QStringLiteral("Scanning Deleted Files ..."));
  EXPECT_FALSE(home_.navigate(kPageHome, 0));  // never destroyed while its worker runs
  EXPECT_EQ(home_.currentPage(), page);
  page->progressDialog()->cancelButton()->click();
  ASSERT_TRUE(waitUntil([page] { return page->job() == ResultsPage::Job::None; }, 3000));
  EXPECT_FALSE(page->progressDialog()->isVisible());
  EXPECT_TRUE(home_.navigate(kPageHome, 0));
}

// Cancel in the middle of a raw scan of a whole 4 GiB disk: the dialog's
// figures stay at the position the scan reached, never at the end.
TEST_F(ResultsPageTest, CancelledRawScanKeepsItsRealPosition) {
  MessageRecorder rec;
  if (!createEngine("RAW", ScanMode::Raw)) GTEST_SKIP() << "no raw engine in this build";
  app_.ctx.rawTypes = std::make_shared<RawTypeList>();
  ASSERT_TRUE(loadRawTypes(fs::path(BRENIX_TEST_SOURCE_DIR) / "data" / "rp.dat", *app_.ctx.rawTypes, nullptr));
  DeviceTable::instance().clearImages();
  fs::resize_file(tmp_ / "demo.img", uint64_t(4) << 30);  // sparse
  ASSERT_GE(DeviceTable::instance().attachImage((tmp_ / "demo.img").string(), nullptr), 0);
  ASSERT_TRUE(home_.navigate(kPageDrive, kModeRaw));
  auto* drive = qobject_cast<DrivePage*>(home_.currentPage());
  drive->tree()->setCurrentItem(drive->tree()->topLevelItem(0)->child(0));
  drive->button(QStringLiteral("Next"))->click();
  auto* page = qobject_cast<ResultsPage*>(home_.currentPage());
  ASSERT_NE(page, nullptr);
  Progress& progress = app_.ctx.progress;
  ASSERT_TRUE(waitUntil([&] { return page->job() == ResultsPage::Job::Scan && progress.done() > 2; }, 20000));
  page->progressDialog()->cancelButton()->click();
  EXPECT_FALSE(page->progressDialog()->rateLine().isEmpty());
  ASSERT_TRUE(waitUntil([page] { return page->job() == ResultsPage::Job::None; }, 5000));
  EXPECT_GT(progress.done(), 2);
  EXPECT_LT(progress.done(), progress.total());
  page->progressDialog()->tickBar();
  EXPECT_LT(page->progressDialog()->bar()->value(), page->progressDialog()->bar()->maximum());
}

TEST_F(ResultsPageTest, RawScanOfTheDemoImageRecoversEveryPicture) {
  MessageRecorder rec;
  const fs::path db = fs::path(BRENIX_TEST_SOURCE_DIR) / "data" / "rp.dat";
  if (!fs::exists(db)) GTEST_SKIP() << "no signature database";
  app_.ctx.rawTypes = std::make_shared<RawTypeList>();
  std::string error;
  ASSERT_TRUE(loadRawTypes(db, *app_.ctx.rawTypes, &error)) << error;
  if (!createEngine("FAT32", ScanMode::Raw)) GTEST_SKIP() << "no raw engine in this build";
  ResultsPage* page = openRaw();
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->kind(), EngineKind::Raw);
  ASSERT_TRUE(waitForScan(page)) << rec.texts().join(QLatin1Char('|')).toStdString();
  QTreeWidgetItem* root = page->folderTree()->topLevelItem(0);
  root->setCheckState(0, Qt::Checked);
  EXPECT_TRUE(page->selectedLine().startsWith(QString::number(demo_.pictures.size()) + QStringLiteral(" files")))
      << page->selectedLine().toStdString();
  const fs::path out = tmp_ / "raw-out";
  page->setFolderChooserForTesting([&out] { return QString::fromStdString(out.string()); });
  page->setPhotoChooserForTesting([](PhotoChoices&) { return true; });  // the photo choices as they start
  page->recover();
  ASSERT_TRUE(waitUntil([page] { return page->job() == ResultsPage::Job::None; }, 20000));
  std::set<std::string> expected, got;
  for (const auto& pic : demo_.pictures) {
    writeFile(tmp_ / "pic.bin", pic.bytes);
    expected.insert(sha256Of(tmp_ / "pic.bin"));
  }
  for (const auto& entry : fs::recursive_directory_iterator(out))
    if (entry.is_regular_file()) got.insert(sha256Of(entry.path()));
  EXPECT_EQ(got, expected);
  EXPECT_TRUE(rec.messages.empty()) << rec.texts().join(QLatin1Char('|')).toStdString();
}

// A raw scan stopped half way keeps its session in the data folder; the next
// scan of the same disk asks: "start again" discards it and scans from the
// start, "continue" takes it up and ends with what an uninterrupted scan
// lists. A finished scan leaves no session, and the next scan asks nothing.
TEST_F(ResultsPageTest, AnUnfinishedScanOfTheSameDiskIsOfferedToContinue) {
  MessageRecorder rec;
  if (!createEngine("RAW", ScanMode::Raw)) GTEST_SKIP() << "no raw engine in this build";
  const char* data = std::getenv("XDG_DATA_HOME");
  if (!data) GTEST_SKIP() << "no data folder for the test";
  const fs::path sessions = fs::path(data) / "brenix";
  app_.ctx.rawTypes = std::make_shared<RawTypeList>();
  ASSERT_TRUE(loadRawTypes(fs::path(BRENIX_TEST_SOURCE_DIR) / "data" / "rp.dat", *app_.ctx.rawTypes, nullptr));
  DeviceTable::instance().clearImages();
  fs::resize_file(tmp_ / "demo.img", uint64_t(1) << 30);  // sparse; the pictures lie in its first 48 MiB
  ASSERT_GE(DeviceTable::instance().attachImage((tmp_ / "demo.img").string(), nullptr), 0);
  QStringList questions;
  bool answer = false;
  setQuestionHandlerForTesting([&](const MessageRequest& m) {
    questions << m.text;
    return answer;
  });
  auto scan = [&](bool stopEarly) -> ResultsPage* {
    if (!home_.navigate(kPageDrive, kModeRaw)) return nullptr;
    auto* drive = qobject_cast<DrivePage*>(home_.currentPage());
    drive->tree()->setCurrentItem(drive->tree()->topLevelItem(0)->child(0));
    drive->button(QStringLiteral("Next"))->click();
    auto* page = qobject_cast<ResultsPage*>(home_.currentPage());
    if (!page) return nullptr;
    Progress& progress = app_.ctx.progress;
    if (stopEarly) {
      if (!waitUntil([&] { return page->job() == ResultsPage::Job::Scan && progress.done() > progress.total() / 3; },
                     30000))
        return nullptr;
      page->progressDialog()->cancelButton()->click();
    }
    return waitUntil([page] { return page->job() == ResultsPage::Job::None && page->folderTree()->topLevelItemCount() > 0; },
                     60000)
               ? page
               : nullptr;
  };
  auto sessionFiles = [&] {
    std::vector<fs::path> out;
    if (fs::exists(sessions))
      for (const auto& e : fs::directory_iterator(sessions)) out.push_back(e.path());
    return out;
  };

  ResultsPage* page = scan(true);
  ASSERT_NE(page, nullptr);
  EXPECT_TRUE(questions.isEmpty());
  ASSERT_EQ(sessionFiles().size(), 1u);
  const fs::path session = sessionFiles().front();
  EXPECT_EQ(page->scanResume()->path(), session.string());
  // Start again: asked, not continued; stopped again, it leaves a new session.
  answer = false;
  page = scan(true);
  ASSERT_NE(page, nullptr);
  ASSERT_EQ(questions.size(), 1);
  EXPECT_EQ(questions.first(), QString::fromLatin1(kContinueScanQuestion));
  EXPECT_FALSE(page->scanResume()->resumed());
  ASSERT_EQ(sessionFiles().size(), 1u);
  const auto saved = nlohmann::json::parse(readFile(session));
  EXPECT_FALSE(saved["finished"].get<bool>());
  const uint64_t position = saved["position"];
  EXPECT_GT(position, 0u);
  // Continue: taken up where it stopped, to the end (reading only the rest); the session goes.
  answer = true;
  const uint64_t readBefore = SectorReader::bytesReadInProcess();
  page = scan(false);
  ASSERT_NE(page, nullptr);
  EXPECT_LT(SectorReader::bytesReadInProcess() - readBefore, (uint64_t(1) << 30) - position + (uint64_t(16) << 20));
  ASSERT_EQ(questions.size(), 2);
  EXPECT_TRUE(page->scanResume()->resumed());
  EXPECT_TRUE(sessionFiles().empty());
  const QString resumedFound = page->foundLine();
  std::vector<std::string> resumedNames;
  for (size_t i = 0; i < page->tree().itemCount(); ++i) resumedNames.push_back(page->tree().item(i).name);
  // Nothing left to continue: the next scan asks nothing and lists the same.
  page = scan(false);
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(questions.size(), 2);
  EXPECT_FALSE(page->scanResume()->resumed());
  std::vector<std::string> names;
  for (size_t i = 0; i < page->tree().itemCount(); ++i) names.push_back(page->tree().item(i).name);
  EXPECT_EQ(page->foundLine(), resumedFound);
  EXPECT_EQ(names, resumedNames);
  EXPECT_GE(names.size(), demo_.pictures.size());
  setQuestionHandlerForTesting({});
}

}  // namespace
}  // namespace brenix::test
