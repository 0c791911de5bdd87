// How the GUI thread copes with big jobs and big results. The measurements
// run only with BRENIX_GUI_RESPONSIVENESS=1: a raw scan of a 1 GiB image, and
// a results folder of 100,000 files (folder click, sort, filter, scrolling
// through every thumbnail), each while a 50 ms timer on the GUI thread
// records the longest gap between its ticks. The regular tests check the
// list's laziness and its thumbnail cache.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QListView>
#include <QListWidget>
#include <QScrollBar>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <cstdio>
#include <filesystem>

#include "cli/demo_image.h"
#include "disk/device_table.h"
#include "gui/drive_page.h"
#include "gui/home_view.h"
#include "gui/results_list_model.h"
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

// A hand-built results tree: DCIM holds `count` files, IMG_nnnnnn.JPG with
// every tenth a .txt, sizes scattered; every picture reads as one small JPEG.
class BigFolderEngine : public ScanEngine {
 public:
  explicit BigFolderEngine(int count) : count_(count) {
    const QByteArray jpeg = encodeImage(160, 120, "JPEG", QColor(40, 90, 200));
    jpeg_.assign(jpeg.begin(), jpeg.end());
  }
  EngineKind kind() const override { return EngineKind::Fat; }
  ScanResult scan(ScanMode, RecoveryContext& ctx, ResultTree& tree, const RunningFlag&) override {
    tree.setRootName("FAT32 - Logical Disk (*:)");
    ResultFolder& dcim = tree.addFolder(tree.root(), "DCIM");
    tree.items().reserve(size_t(count_) + 1);
    uint32_t seed = 12345;
    for (int i = 0; i < count_; ++i) {
      seed = seed * 1103515245u + 12345u;
      FoundItem item;
      // Collection order is not name order: the number is scrambled.
      const int number = int((uint64_t(i) * 7919) % uint64_t(count_));
      item.name = QStringLiteral("IMG_%1.%2").arg(number, 6, 10, QLatin1Char('0')).arg(i % 10 == 9 ? "txt" : "JPG").toStdString();
      item.size = 1000 + (seed >> 8) % 5'000'000;
      item.attributes = 0x20;
      item.attributeText = "A";
      item.modified = item.created = (uint64_t(((2024 - 1980) << 9) | (5 << 5) | 17) << 16) | (seed & 0xffff);
      item.deleted = true;
      tree.addItem(dcim, item);
    }
    FoundItem note;
    note.name = "note.txt";
    note.size = 10;
    tree.addItem(tree.root(), note);
    ctx.progress.setDone(1);
    return {};
  }
  bool readItem(const FoundItem&, std::vector<uint8_t>& out, uint64_t maxBytes) override {
    ++reads;
    out.assign(jpeg_.begin(), jpeg_.begin() + std::ptrdiff_t(std::min<uint64_t>(maxBytes, jpeg_.size())));
    return true;
  }
  WriteStatus writeItem(const FoundItem&, ByteSink& sink, const RunningFlag&) override {
    return sink.write(jpeg_.data(), jpeg_.size()) ? WriteStatus::Ok : WriteStatus::WriteFailed;
  }
  std::atomic<int> reads{0};

 private:
  int count_;
  std::vector<uint8_t> jpeg_;
};

// The decoded picture's blue (JPEG shifts a channel by a step or two), not the white placeholder.
bool showsPicture(const QModelIndex& index) {
  const QColor c = index.data(Qt::DecorationRole).value<QPixmap>().toImage().pixelColor(45, 45);
  return std::abs(c.red() - 40) < 8 && std::abs(c.green() - 90) < 8 && std::abs(c.blue() - 200) < 8;
}

class BigResults : public ::testing::Test {
 protected:
  void SetUp() override {
    DeviceTable::instance().setIncludeSystemDisks(false);
    DeviceTable::instance().clearImages();
    std::string error;
    ASSERT_TRUE(cli::buildDemoImage(tmp_ / "demo.img", nullptr, &error)) << error;
    ASSERT_GE(DeviceTable::instance().attachImage((tmp_ / "demo.img").string(), &error), 0) << error;
    registerResultsPages(home_);
  }
  void TearDown() override { DeviceTable::instance().clearImages(); }

  ResultsPage* open(int count) {
    app_.engines = [this, count](const std::string&, ScanMode) {
      auto e = std::make_unique<BigFolderEngine>(count);
      engine_ = e.get();
      return e;
    };
    home_.taskList()->setCurrentRow(0);
    home_.entryButton(600)->click();
    auto* drive = qobject_cast<DrivePage*>(home_.currentPage());
    if (!drive) return nullptr;
    QTreeWidgetItem* disk = drive->tree()->topLevelItem(0)->child(0);
    if (!disk || disk->childCount() == 0) return nullptr;
    drive->tree()->setCurrentItem(disk->child(0));
    drive->button(QStringLiteral("Next"))->click();
    auto* page = qobject_cast<ResultsPage*>(home_.currentPage());
    if (!page || !waitUntil([page] { return page->job() == ResultsPage::Job::None && page->folderTree()->topLevelItemCount() > 0; },
                            60000))
      return nullptr;
    return page;
  }
  static QTreeWidgetItem* dcimOf(ResultsPage* page) { return page->folderTree()->topLevelItem(0)->child(0); }
  // The Name cells of the list, in order.
  static std::vector<std::string> names(ResultsPage* page) {
    std::vector<std::string> out;
    for (size_t index : page->listModel()->rows()) out.push_back(page->tree().item(index).name);
    return out;
  }

  TempDir tmp_;
  AppContext app_;
  HomeView home_{app_, nullptr};
  BigFolderEngine* engine_ = nullptr;
};

// Above the background threshold: a sort runs on the list worker and lands
// in the view whole; Details mode decodes nothing; Thumbnails decodes what
// is on screen, and what scrolling brings there, not the rest.
TEST_F(BigResults, LargeFolderSortsOffTheGuiThreadAndDecodesOnlyVisibleThumbnails) {
  MessageRecorder rec;
  const int count = int(ResultsPage::kBackgroundRows) + 5000;
  ResultsPage* page = open(count);
  ASSERT_NE(page, nullptr);
  page->folderTree()->setCurrentItem(dcimOf(page));
  ASSERT_EQ(listRows(page->fileList()), count);

  emit page->fileList()->header()->sectionClicked(0);  // Name, descending first
  EXPECT_TRUE(page->listPending());
  const std::vector<std::string> before = names(page);
  ASSERT_TRUE(waitUntil([page] { return !page->listPending(); }, 20000));
  std::vector<std::string> expected = before;
  std::sort(expected.begin(), expected.end(), [](const std::string& a, const std::string& b) { return a > b; });
  EXPECT_EQ(names(page), expected);
  EXPECT_EQ(listCell(page->fileList(), 0), QString::number(count - 1).rightJustified(6, QLatin1Char('0')).prepend(QStringLiteral("IMG_")) +
                                               QStringLiteral(".JPG"));
  EXPECT_EQ(page->fileList()->header()->sortIndicatorOrder(), Qt::DescendingOrder);
  // A ticked row is the same item after the sort.
  setListCheck(page->fileList(), 0, Qt::Checked);
  EXPECT_EQ(page->tree().item(page->listModel()->rows()[0]).name, expected[0]);
  EXPECT_TRUE(page->tree().item(page->listModel()->rows()[0]).checked);
  EXPECT_EQ(page->selectedLine().left(8), QStringLiteral("1 files "));

  // A filter started and then overtaken by a folder click never lands.
  ResultFilter f;
  f.extensionChoice = 1;
  page->filterCheck()->blockSignals(true);
  page->filterCheck()->setChecked(true);
  page->filterCheck()->blockSignals(false);
  page->applyFilter(f);
  EXPECT_TRUE(page->listPending());
  page->folderTree()->setCurrentItem(page->folderTree()->topLevelItem(0));
  ASSERT_TRUE(waitUntil([page] { return !page->listPending(); }, 20000));
  EXPECT_EQ(listRows(page->fileList()), 0);  // the root holds only note.txt, and DCIM's result never landed
  page->folderTree()->setCurrentItem(dcimOf(page));
  EXPECT_EQ(listRows(page->fileList()), count - count / 10);  // filtered while filling: the .txt files left out
  EXPECT_EQ(engine_->reads.load(), 0);

  page->setViewMode(ResultsPage::ViewMode::Thumbnails);
  ASSERT_TRUE(waitUntil([page] { return page->job() == ResultsPage::Job::None && page->thumbnailsIdle(); }));
  const int first = engine_->reads.load();
  EXPECT_GT(first, 0);
  EXPECT_LT(first, 100);  // one screenful, not 22,500
  EXPECT_EQ(page->thumbnailCache().count(), first);
  const QModelIndex top = page->listModel()->index(0, 0);
  EXPECT_TRUE(showsPicture(top));
  const QModelIndex last = page->listModel()->index(listRows(page->fileList()) - 1, 0);
  EXPECT_EQ(last.data(Qt::DecorationRole).value<QPixmap>().cacheKey(), ResultsListModel::placeholder().cacheKey());

  QScrollBar* bar = page->thumbList()->verticalScrollBar();
  ASSERT_TRUE(waitUntil([bar] { return bar->maximum() > 0; }));
  bar->setValue(bar->maximum());
  ASSERT_TRUE(waitUntil([page, bar] { return bar->value() == bar->maximum() && page->thumbnailsIdle(); }));
  EXPECT_LT(engine_->reads.load(), 2 * first + 10);  // the last screenful only
  EXPECT_TRUE(showsPicture(last));
  EXPECT_TRUE(rec.messages.empty()) << rec.texts().join(QLatin1Char('|')).toStdString();
}

TEST(ThumbnailCacheTest, DropsTheLeastRecentlyUsedCellsPastItsByteLimit) {
  QPixmap cell(90, 90);
  cell.fill(Qt::white);
  const qint64 one = 90 * 90 * std::max(cell.depth(), 8) / 8;
  ThumbnailCache cache(3 * one);
  for (size_t k = 0; k < 3; ++k) cache.insert(k, cell);
  EXPECT_EQ(cache.bytes(), 3 * one);
  ASSERT_NE(cache.find(0), nullptr);  // 0 is now the most recent; 1 the oldest
  cache.insert(3, cell);
  EXPECT_EQ(cache.count(), 3);
  EXPECT_EQ(cache.bytes(), 3 * one);
  EXPECT_FALSE(cache.contains(1));
  EXPECT_TRUE(cache.contains(0) && cache.contains(2) && cache.contains(3));
  cache.insert(3, cell);  // replacing counts once
  EXPECT_EQ(cache.bytes(), 3 * one);
  cache.setLimit(one);
  EXPECT_EQ(cache.count(), 1);
  EXPECT_TRUE(cache.contains(3));
  cache.clear();
  EXPECT_EQ(cache.bytes(), 0);
  EXPECT_EQ(cache.find(3), nullptr);
}

long rssKiB() {
  QFile f(QStringLiteral("/proc/self/status"));
  if (!f.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : f.readAll().split('\n'))
    if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toLong();
  return -1;
}

// The worst gap of a 50 ms timer on the GUI thread from the moment `action`
// runs inside the event loop until `done` holds and 200 ms more have passed.
struct GapMeter {
  GapMeter() {
    QObject::connect(&tick, &QTimer::timeout, [this] { worst = std::max(worst, since.restart()); });
    since.start();
    tick.start(50);
  }
  qint64 measure(const std::function<void()>& action, const std::function<bool()>& done, qint64* actionMs = nullptr) {
    waitUntil([] { return false; }, 120);  // settle
    worst = 0;
    since.restart();
    bool ran = false;
    QTimer::singleShot(0, [&] {
      QElapsedTimer t;
      t.start();
      action();
      if (actionMs) *actionMs = t.elapsed();
      ran = true;
    });
    EXPECT_TRUE(waitUntil([&] { return ran && done(); }, 120000));
    waitUntil([] { return false; }, 200);
    return worst;
  }
  QTimer tick;
  QElapsedTimer since;
  qint64 worst = 0;
};

TEST_F(BigResults, HundredThousandFilesKeepTheGuiResponsiveAndMemoryBounded) {
  if (qEnvironmentVariable("BRENIX_GUI_RESPONSIVENESS") != QLatin1String("1"))
    GTEST_SKIP() << "set BRENIX_GUI_RESPONSIVENESS=1 to measure";
  MessageRecorder rec;
  constexpr int kCount = 100'000;
  ResultsPage* page = open(kCount);
  ASSERT_NE(page, nullptr);
  home_.resize(page->size());
  home_.show();
  ASSERT_TRUE(waitUntil([page] { return page->isVisible(); }));
  const long rssStart = rssKiB();
  GapMeter meter;
  qint64 ms = 0;
  auto report = [&](const char* what, qint64 gap) {
    std::fprintf(stderr, "%-34s action %4lld ms, worst timer gap %4lld ms\n", what, static_cast<long long>(ms),
                 static_cast<long long>(gap));
    EXPECT_LT(gap, 100) << what;
  };

  report("folder click (100,000 rows)", meter.measure([&] { page->folderTree()->setCurrentItem(dcimOf(page)); },
                                                     [&] { return listRows(page->fileList()) == kCount; }, &ms));
  report("folder click back (1 row)", meter.measure([&] { page->folderTree()->setCurrentItem(page->folderTree()->topLevelItem(0)); },
                                                   [&] { return listRows(page->fileList()) == 1; }, &ms));
  report("folder click again", meter.measure([&] { page->folderTree()->setCurrentItem(dcimOf(page)); },
                                            [&] { return listRows(page->fileList()) == kCount; }, &ms));
  const auto sorted = [&] { return !page->listPending(); };
  report("sort by name", meter.measure([&] { emit page->fileList()->header()->sectionClicked(0); }, sorted, &ms));
  EXPECT_EQ(listCell(page->fileList(), 0), QStringLiteral("IMG_099999.JPG"));
  report("sort by size", meter.measure([&] { emit page->fileList()->header()->sectionClicked(1); }, sorted, &ms));
  EXPECT_GE(page->tree().item(page->listModel()->rows().front()).size, page->tree().item(page->listModel()->rows().back()).size);
  report("sort by modified", meter.measure([&] { emit page->fileList()->header()->sectionClicked(4); }, sorted, &ms));
  ResultFilter f;
  f.extensionChoice = 1;  // bmp.jpg
  report("filter on (bmp.jpg)", meter.measure([&] {
    page->applyFilter(f);
    page->filterCheck()->setChecked(true);
  }, [&] { return !page->listPending() && listRows(page->fileList()) == kCount - kCount / 10; }, &ms));
  report("filter off", meter.measure([&] { page->filterCheck()->setChecked(false); },
                                    [&] { return !page->listPending() && listRows(page->fileList()) == kCount; }, &ms));
  report("check the folder", meter.measure([&] { dcimOf(page)->setCheckState(0, Qt::Checked); },
                                          [&] { return listCheck(page->fileList(), kCount - 1) == Qt::Checked; }, &ms));
  EXPECT_EQ(engine_->reads.load(), 0);  // Details mode reads no file
  const long rssList = rssKiB();

  // Thumbnails: scroll through every row a screenful at a time, waiting
  // each time until the screen's cells are decoded. The thumbnail view is
  // made 1200 x 900 (a maximised window's worth) to keep the run short.
  report("thumbnails mode", meter.measure([&] { page->setViewMode(ResultsPage::ViewMode::Thumbnails); },
                                         [&] { return page->job() == ResultsPage::Job::None; }, &ms));
  QListView* view = page->thumbList();
  view->resize(1200, 900);
  QScrollBar* bar = view->verticalScrollBar();
  ASSERT_TRUE(waitUntil([&] { return bar->maximum() > 100 * 124 && page->thumbnailsIdle(); }, 60000));
  QElapsedTimer scrollClock;
  scrollClock.start();
  meter.worst = 0;
  meter.since.restart();
  int screens = 0;
  long rssPeak = 0;
  for (int value = 0;; value += view->viewport()->height()) {
    bar->setValue(std::min(value, bar->maximum()));
    if (!waitUntil([&] { return page->thumbnailsIdle(); }, 20000)) {
      ADD_FAILURE() << "thumbnails not decoded at " << value;
      break;
    }
    ++screens;
    if (screens % 100 == 0) rssPeak = std::max(rssPeak, rssKiB());
    if (bar->value() >= bar->maximum()) break;
  }
  const qint64 scrollGap = meter.worst;
  const long rssEnd = rssKiB();
  rssPeak = std::max(rssPeak, rssEnd);
  std::fprintf(stderr, "scrolled %d screens in %lld ms, %d pictures decoded, worst timer gap %lld ms\n", screens,
               static_cast<long long>(scrollClock.elapsed()), engine_->reads.load(), static_cast<long long>(scrollGap));
  std::fprintf(stderr, "thumbnail cache: %d cells, %lld KiB (limit %lld KiB)\n", page->thumbnailCache().count(),
               static_cast<long long>(page->thumbnailCache().bytes() / 1024),
               static_cast<long long>(page->thumbnailCache().limit() / 1024));
  std::fprintf(stderr, "RSS: start %ld KiB, list of 100,000 %ld KiB, after all thumbnails %ld KiB (peak %ld KiB)\n",
               rssStart, rssList, rssEnd, rssPeak);
  EXPECT_GE(engine_->reads.load(), kCount - kCount / 10);  // every picture was on screen once
  EXPECT_LE(page->thumbnailCache().bytes(), page->thumbnailCache().limit());
  // 90,000 cells would be 2.8 GB; the cache keeps 32 MiB of them.
  EXPECT_LT(rssPeak - rssList, 160L * 1024);
  EXPECT_LT(scrollGap, 100);
  EXPECT_TRUE(rec.messages.empty()) << rec.texts().join(QLatin1Char('|')).toStdString();
}

}  // namespace
}  // namespace brenix::test
