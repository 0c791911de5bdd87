#include "gui/results_page.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QListView>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QSettings>
#include <QSplitter>
#include <QStyle>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <chrono>
#include <future>

#include "disk/device_table.h"
#include "disk/fs_kind.h"
#include "gui/filter_dialog.h"
#include "gui/help.h"
#include "gui/home_view.h"
#include "gui/messages.h"
#include "gui/overwrite_dialog.h"
#include "gui/preview_window.h"
#include "gui/progress_dialog.h"
#include "gui/results_list_model.h"
#include "gui/skin.h"
#include "gui/skin_button.h"
#include "gui/scan_resume.h"
#include "gui/thumbnails.h"
#include "gui/unreadable_notice.h"
#include "jobs/scan_jobs.h"
#include "results/cell_formats.h"

namespace brenix::gui {

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

const ResultFolder* folderOf(const QTreeWidgetItem* item) {
  return item ? reinterpret_cast<const ResultFolder*>(item->data(0, ResultsPage::kFolderRole).value<quintptr>())
              : nullptr;
}

// Asks the GUI thread and waits for the answer, giving up when the page closes.
class GuiOverwritePrompt : public OverwritePrompt {
 public:
  GuiOverwritePrompt(ResultsPage* page, const std::atomic<bool>& closing) : page_(page), closing_(closing) {}
  OverwriteAnswer ask(const std::string& name) override {
    auto promise = std::make_shared<std::promise<OverwriteAnswer>>();
    std::future<OverwriteAnswer> answer = promise->get_future();
    QMetaObject::invokeMethod(
        page_, [page = page_, promise, name] { promise->set_value(page->askOverwrite(QString::fromStdString(name))); },
        Qt::QueuedConnection);
    while (answer.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
      if (closing_.load()) return OverwriteAnswer::Cancel;
    return answer.get();
  }

 private:
  ResultsPage* page_;
  const std::atomic<bool>& closing_;
};

}  // namespace

ResultsPage::ResultsPage(HomeView& host, int mode, std::unique_ptr<ScanEngine> engine, QWidget* parent)
    : Page(host, mode, parent), kind_(engine->kind()), engine_(std::move(engine)) {
  setObjectName(QStringLiteral("ResultsPage"));
  setFixedSize(750, 459);
  model_ = std::make_unique<ResultsModel>(kind_, tree_);
  thumbCache_ = std::make_unique<ThumbnailCache>(kThumbnailCacheBytes);
  listModel_ = new ResultsListModel(kind_, tree_, *thumbCache_, this);
  listModel_->setCheckHandler([this](int row, bool checked) {
    if (!updating_) rowCheckChanged(row, checked);
  });
  listPool_.setMaxThreadCount(1);
  thumbWorker_ = std::make_unique<ThumbnailWorker>(
      [this](const FoundItem& item) {
        std::lock_guard lock(engineMutex_);
        return decodeThumbnail(item);
      },
      [this](const ThumbnailWorker::Request& r, const QImage& cell) {
        QMetaObject::invokeMethod(
            this, [this, row = r.row, item = r.item, cell] { listModel_->thumbnailReady(row, item, QPixmap::fromImage(cell)); },
            Qt::QueuedConnection);
      });

  auto top = addTopButtons({1021, 10211, 1022, 10221});
  connect(top[0], &QAbstractButton::clicked, this, [this] { navigate(kPageHome, 0); });
  connect(top[2], &QAbstractButton::clicked, this, [this] { openHelp(this); });

  split_ = new QSplitter(Qt::Horizontal, this);
  split_->setGeometry(8, 52, 734, 298);
  split_->setHandleWidth(6);
  split_->setChildrenCollapsible(false);
  const QString viewStyle = QStringLiteral(
      "QTreeView,QListView{background:white;border:1px solid #d7dde5;border-radius:5px;outline:0;}"
      "QTreeView::item:selected,QListView::item:selected{background:#d4e5fb;color:#222b36;}"
      "QHeaderView::section{background:#eef1f5;border:0;border-right:1px solid #d7dde5;"
      "border-bottom:1px solid #d7dde5;padding:3px 6px;color:#3b4552;}");
  folders_ = new QTreeWidget(split_);
  folders_->setObjectName(QStringLiteral("TTreeView_") + QString::fromLatin1(engineKindName(kind_)));
  folders_->setHeaderHidden(true);
  folders_->setStyleSheet(viewStyle);
  auto* right = new QWidget(split_);
  list_ = new QTreeView(right);
  list_->setObjectName(QStringLiteral("TListView_") + QString::fromLatin1(engineKindName(kind_)));
  list_->setRootIsDecorated(false);
  list_->setItemsExpandable(false);
  list_->setUniformRowHeights(true);
  list_->setStyleSheet(viewStyle);
  list_->setModel(listModel_);
  list_->header()->setSectionsClickable(true);
  list_->header()->setSortIndicatorShown(false);
  const int widths[kListColumnCount] = {170, 80, 80, 80, 130, 130, 130};
  for (int c = 0; c < kListColumnCount; ++c) list_->setColumnWidth(c, widths[c]);
  thumbs_ = new QListView(right);
  thumbs_->setViewMode(QListView::IconMode);
  thumbs_->setLayoutMode(QListView::Batched);
  thumbs_->setBatchSize(2000);
  thumbs_->setIconSize(QSize(kThumbSize, kThumbSize));
  thumbs_->setGridSize(QSize(112, 124));
  thumbs_->setResizeMode(QListView::Adjust);
  thumbs_->setMovement(QListView::Static);
  thumbs_->setWordWrap(true);
  thumbs_->setUniformItemSizes(true);
  thumbs_->setStyleSheet(viewStyle);
  thumbs_->setModel(listModel_);
  thumbs_->hide();
  // Thumbnails are decoded for what is on screen once scrolling pauses.
  visibleTimer_ = new QTimer(this);
  visibleTimer_->setSingleShot(true);
  visibleTimer_->setInterval(30);
  connect(visibleTimer_, &QTimer::timeout, this, &ResultsPage::requestVisibleThumbnails);
  connect(thumbs_->verticalScrollBar(), &QScrollBar::valueChanged, visibleTimer_, qOverload<>(&QTimer::start));
  connect(thumbs_->verticalScrollBar(), &QScrollBar::rangeChanged, visibleTimer_, qOverload<>(&QTimer::start));
  for (QWidget* w : {static_cast<QWidget*>(list_), static_cast<QWidget*>(thumbs_)}) w->setGeometry(0, 0, 500, 298);
  split_->setSizes({210, 524});
  connect(split_, &QSplitter::splitterMoved, this, [this, right] {
    list_->setGeometry(right->rect());
    thumbs_->setGeometry(right->rect());
  });
  QTimer::singleShot(0, this, [this, right] {
    list_->setGeometry(right->rect());
    thumbs_->setGeometry(right->rect());
  });

  connect(folders_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    if (!updating_) folderSelected(item);
  });
  connect(folders_, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int) {
    if (!updating_) folderCheckChanged(item);
  });
  connect(list_, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& i) { preview(i.row()); });
  connect(thumbs_, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& i) { preview(i.row()); });
  connect(list_->header(), &QHeaderView::sectionClicked, this, &ResultsPage::sortBy);

  filterCheck_ = new QCheckBox(this);
  filterCheck_->setGeometry(14, 419, 20, 20);
  filterCheck_->setToolTip(QStringLiteral("Use the filter"));
  filterButton_ = new SkinButton(SkinButton::Style::Secondary, QStringLiteral("Filter"), this);
  filterButton_->setGeometry(36, 414, 84, 30);
  filterButton_->setEnabled(false);
  viewButton_ = new SkinButton(SkinButton::Style::Secondary, QStringLiteral("View Mode"), this);
  viewButton_->setGeometry(128, 414, 100, 30);
  auto* back = new SkinButton(SkinButton::Style::Secondary, QStringLiteral("Back"), this);
  auto* recovery = new SkinButton(SkinButton::Style::Primary, QStringLiteral("Recovery"), this);
  auto* next = new SkinButton(SkinButton::Style::Secondary, QStringLiteral("Next"), this);
  back->setGeometry(466, 414, 84, 30);
  recovery->setGeometry(556, 414, 92, 30);
  next->setGeometry(654, 414, 84, 30);
  next->setEnabled(false);
  connect(filterCheck_, &QCheckBox::toggled, this, &ResultsPage::filterToggled);
  connect(filterButton_, &QAbstractButton::clicked, this, &ResultsPage::openFilterDialog);
  connect(viewButton_, &QAbstractButton::clicked, this, &ResultsPage::showViewMenu);
  connect(back, &QAbstractButton::clicked, this, [this] { navigate(kPageDrive, this->mode()); });
  connect(recovery, &QAbstractButton::clicked, this, &ResultsPage::recover);

  unreadable_ = new UnreadableNotice(DeviceTable::instance().pathOf(host.app().ctx.partition.diskNumber), this);
  unreadable_->setGeometry(236, 414, 224, 30);

  progress_ = new ProgressDialog(host.app().ctx.progress, this);
  connect(progress_, &ProgressDialog::cancelRequested, this, &ResultsPage::cancelJob);
  QTimer::singleShot(300, this, &ResultsPage::startScan);
}

ResultsPage::~ResultsPage() {
  closing_ = true;
  runner_.cancel();
  runner_.wait();
  scanResume_.reset();  // a scan stopped by closing the page keeps its session
  thumbWorker_.reset();
  listPool_.waitForDone();
}

SkinButton* ResultsPage::button(const QString& text) const {
  for (auto* b : findChildren<SkinButton*>())
    if (b->text() == text) return b;
  return nullptr;
}

QString ResultsPage::foundLine() const { return qs(model_->foundLineText()); }
QString ResultsPage::selectedLine() const { return qs(model_->selectedLineText()); }
QString ResultsPage::unreadableLine() const { return unreadable_->text(); }

void ResultsPage::runJob(Job job, const QString& title, std::function<void(RunningFlag&)> work,
                         std::function<void()> done) {
  if (job_ != Job::None || runner_.busy()) return;
  job_ = job;
  progress_->start(title);
  runner_.start([this, work = std::move(work), done = std::move(done)](RunningFlag& running) {
    {
      std::lock_guard lock(engineMutex_);
      work(running);
    }
    QMetaObject::invokeMethod(this, [this, done] { jobDone(done); }, Qt::QueuedConnection);
  });
}

void ResultsPage::jobDone(const std::function<void()>& done) {
  runner_.wait();
  progress_->finish();
  unreadable_->refresh();
  const Job finished = job_;
  job_ = Job::None;
  if (done) done();
  emit jobFinished(int(finished));
}

void ResultsPage::cancelJob() { runner_.cancel(); }

// ---- scan -------------------------------------------------------------------

void ResultsPage::startScan() {
  if (job_ != Job::None) return;
  auto result = std::make_shared<ScanResult>();
  RecoveryContext& ctx = host().app().ctx;
  const ScanMode scanMode = scanModeOf(mode());
  // A long scan keeps a session, and may continue an unfinished one of this disk (asked here).
  scanResume_ = std::make_unique<ScanResume>(this, *engine_, ctx, scanMode);
  auto stopped = std::make_shared<bool>(false);
  runJob(
      Job::Scan, QString::fromLatin1(scanTitle(scanMode)),
      [this, result, stopped, &ctx, scanMode](RunningFlag& running) {
        *result = runScanJob(*engine_, scanMode, ctx, tree_, running);
        *stopped = !running.load() || result->error != 0;
      },
      [this, result, stopped] {
        const QString note = scanResume_->finish(*stopped);
        if (!note.isEmpty()) showMessage(this, QStringLiteral("Notice"), note, MessageIcon::Information);
        scanFinished(*result);
      });
}

void ResultsPage::scanFinished(const ScanResult& result) {
  if (result.error != 0) {
    const QString text = result.message.empty()
                             ? QStringLiteral("The partition could not be read (error %1).").arg(result.error)
                             : qs(result.message);
    showMessage(this, QStringLiteral("Error"), text, MessageIcon::Error);
  } else if (!result.message.empty()) {
    showMessage(this, QStringLiteral("Notice"), qs(result.message), MessageIcon::Information);
  }
  model_->syncFolderChecks();
  buildFolderTree();
}

void ResultsPage::buildFolderTree() {
  updating_ = true;
  folders_->clear();
  folderItems_.clear();
  const QIcon driveIcon = style()->standardIcon(QStyle::SP_DriveHDIcon);
  const QIcon folderIcon = style()->standardIcon(QStyle::SP_DirIcon);
  std::function<void(const ResultFolder&, QTreeWidgetItem*)> add = [&](const ResultFolder& f, QTreeWidgetItem* parent) {
    auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(folders_);
    item->setText(0, qs(f.name));
    item->setIcon(0, parent ? folderIcon : driveIcon);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(0, f.checked ? Qt::Checked : Qt::Unchecked);
    item->setData(0, kFolderRole, QVariant::fromValue(quintptr(&f)));
    folderItems_.insert(&f, item);
    for (const auto& child : f.children) add(*child, item);
  };
  add(tree_.root(), nullptr);
  folders_->expandToDepth(0);
  updating_ = false;
  folders_->setCurrentItem(folderItems_.value(&tree_.root()));
  folderSelected(folders_->currentItem());
}

// ---- browsing ----------------------------------------------------------------

void ResultsPage::folderSelected(QTreeWidgetItem* item) {
  const ResultFolder* f = folderOf(item);
  if (!f || job_ != Job::None) return;
  ++listGeneration_;  // a sort or filter still running belongs to the folder before
  model_->selectFolder(const_cast<ResultFolder&>(*f));
  thumbsStale_ = true;
  setViewMode(ViewMode::Details);
  fillList();
  update();
}

void ResultsPage::fillList() {
  thumbWorker_->request({});
  listModel_->setRows(model_->rows());
}

void ResultsPage::syncChecks() {
  updating_ = true;
  for (auto it = folderItems_.begin(); it != folderItems_.end(); ++it)
    it.value()->setCheckState(0, it.key()->checked ? Qt::Checked : Qt::Unchecked);
  listModel_->checksChanged();
  updating_ = false;
  update();
}

void ResultsPage::folderCheckChanged(QTreeWidgetItem* item) {
  const ResultFolder* f = folderOf(item);
  if (!f || job_ != Job::None) return;
  if (kind_ == EngineKind::Raw && folders_->currentItem() != item) folders_->setCurrentItem(item);
  model_->setFolderChecked(const_cast<ResultFolder&>(*f), item->checkState(0) == Qt::Checked);
  syncChecks();
}

void ResultsPage::rowCheckChanged(int row, bool checked) {
  if (row < 0 || size_t(row) >= model_->rows().size() || job_ != Job::None) return;
  model_->setRowChecked(size_t(row), checked);
  syncChecks();
}

void ResultsPage::runListWork(std::function<std::vector<size_t>()> work,
                              std::function<void(std::vector<size_t>)> apply) {
  const int generation = ++listGeneration_;
  ++pendingList_;
  listPool_.start([this, generation, work = std::move(work), apply = std::move(apply)] {
    lowerThisThreadPriority();
    auto rows = std::make_shared<std::vector<size_t>>(work());
    QMetaObject::invokeMethod(
        this,
        [this, generation, rows, apply] {
          --pendingList_;
          // A newer folder, sort or filter took the list meanwhile.
          if (generation != listGeneration_) return;
          apply(std::move(*rows));
        },
        Qt::QueuedConnection);
  });
}

void ResultsPage::sortBy(int column) {
  if (column < 0 || column >= kListColumnCount || job_ != Job::None) return;
  const bool descending = model_->nextSortDescending(ListColumn(column));
  auto showSorted = [this, column, descending] {
    list_->header()->setSortIndicatorShown(true);
    list_->header()->setSortIndicator(column, descending ? Qt::DescendingOrder : Qt::AscendingOrder);
    fillList();
  };
  if (model_->rows().size() < kBackgroundRows) {
    model_->sortBy(ListColumn(column));
    showSorted();
    return;
  }
  // Only names, sizes and dates are read on the worker; the tree does not
  // change while no job runs, and a new job drops the result.
  runListWork(
      [kind = kind_, &tree = tree_, rows = model_->rows(), column, descending]() mutable {
        ResultsModel::sortRows(kind, tree, ListColumn(column), descending, rows);
        return rows;
      },
      [this, column, showSorted](std::vector<size_t> rows) {
        model_->setSortedRows(ListColumn(column), std::move(rows));
        showSorted();
      });
}

void ResultsPage::showViewMenu() {
  QMenu menu(this);
  QAction* t = menu.addAction(QStringLiteral("Thumbnails"));
  QAction* d = menu.addAction(QStringLiteral("Details"));
  t->setCheckable(true);
  d->setCheckable(true);
  t->setChecked(viewMode_ == ViewMode::Thumbnails);
  d->setChecked(viewMode_ == ViewMode::Details);
  QAction* chosen = menu.exec(viewButton_->mapToGlobal(QPoint(0, -40 - menu.sizeHint().height() + 40)));
  if (chosen == t) setViewMode(ViewMode::Thumbnails);
  if (chosen == d) setViewMode(ViewMode::Details);
}

void ResultsPage::setViewMode(ViewMode mode) {
  viewMode_ = mode;
  listModel_->setThumbnailMode(mode == ViewMode::Thumbnails);
  list_->setVisible(mode == ViewMode::Details);
  thumbs_->setVisible(mode == ViewMode::Thumbnails);
  if (mode != ViewMode::Thumbnails) {
    thumbWorker_->request({});
    return;
  }
  if (thumbsStale_ && listModel_->rowCount() > 0 && job_ == Job::None) startThumbnails();
  else visibleTimer_->start();
}

void ResultsPage::filterToggled(bool on) {
  filterButton_->setEnabled(on);
  filter_.enabled = on;
  if (filter_.anyValueSet()) applyFilter(filter_);
}

void ResultsPage::openFilterDialog() {
  FilterDialog dlg(filter_, this);
  if (dlg.exec() != QDialog::Accepted) return;
  applyFilter(dlg.filter());
}

void ResultsPage::applyFilter(const ResultFilter& filter) {
  if (job_ != Job::None) return;
  filter_ = filter;
  filter_.enabled = filterCheck_->isChecked();
  auto show = [this] {
    fillList();
    syncChecks();
    thumbsStale_ = true;
    setViewMode(viewMode_);
  };
  const ResultFolder* folder = model_->selectedFolder();
  if (!folder || folder->items.size() < kBackgroundRows) {
    ++listGeneration_;
    model_->applyFilter(filter_);
    show();
    return;
  }
  model_->setFilter(filter_);  // a folder chosen meanwhile is filled with it
  runListWork([kind = kind_, &tree = tree_, folder, f = filter_] { return ResultsModel::filterRows(kind, tree, *folder, f); },
              [this, show, f = filter_](std::vector<size_t> rows) {
                model_->applyFilteredRows(f, std::move(rows));
                show();
              });
}

// ---- thumbnails and preview ----------------------------------------------------

QImage ResultsPage::decodeThumbnail(const FoundItem& item) {
  const QString name = QString::fromStdString(item.name);
  QImage picture;
  const int code = imageTypeCode(name);
  if (code != 0 && item.size > 0) {
    std::vector<uint8_t> bytes;
    if (engine_->readItem(item, bytes, std::min<uint64_t>(item.size, kMaxPictureBytes))) picture = decodePicture(bytes, code);
  }
  return thumbnailCell(picture, name);
}

std::vector<int> ResultsPage::visibleThumbnailRows() const {
  std::vector<int> rows;
  if (thumbs_->isHidden() || listModel_->rowCount() == 0) return rows;
  // One probe at the centre of each grid cell the viewport shows.
  const QSize grid = thumbs_->gridSize();
  const QRect view = thumbs_->viewport()->rect();
  for (int y = grid.height() / 2 - grid.height(); y < view.height() + grid.height(); y += grid.height() / 2)
    for (int x = grid.width() / 2; x < view.width(); x += grid.width() / 2) {
      const QModelIndex i = thumbs_->indexAt(QPoint(x, std::clamp(y, 0, view.height() - 1)));
      if (i.isValid() && std::find(rows.begin(), rows.end(), i.row()) == rows.end()) rows.push_back(i.row());
    }
  std::sort(rows.begin(), rows.end());
  return rows;
}

void ResultsPage::requestVisibleThumbnails() {
  if (viewMode_ != ViewMode::Thumbnails || job_ == Job::Scan) return;
  std::vector<ThumbnailWorker::Request> wanted;
  for (int row : visibleThumbnailRows())
    if (listModel_->needsThumbnail(row)) {
      const size_t item = listModel_->itemOf(row);
      wanted.push_back({row, item, tree_.item(item)});
    }
  thumbWorker_->request(std::move(wanted));
}

bool ResultsPage::thumbnailsIdle() const {
  if (visibleTimer_->isActive() || !thumbWorker_->idle()) return false;
  for (int row : visibleThumbnailRows())
    if (listModel_->needsThumbnail(row)) return false;
  return true;
}

QList<QImage> ResultsPage::thumbnails() const { return thumbCache_->images(); }

void ResultsPage::setThumbnailCacheLimit(qint64 bytes) { thumbCache_->setLimit(bytes); }

// The pass when Thumbnails is chosen: the rows on screen, behind the
// progress dialog; rows scrolled to later go to the thumbnail worker.
void ResultsPage::startThumbnails() {
  thumbs_->doItemsLayout();
  struct Row {
    int row;
    size_t index;
    FoundItem item;
  };
  auto rows = std::make_shared<std::vector<Row>>();
  for (int row : visibleThumbnailRows())
    if (listModel_->needsThumbnail(row)) rows->push_back({row, listModel_->itemOf(row), tree_.item(listModel_->itemOf(row))});
  thumbWorker_->request({});
  if (rows->empty()) {  // every cell on screen is in the cache already
    thumbsStale_ = false;
    return;
  }
  runJob(Job::Thumbnails, QStringLiteral("Viewing icon..."), [this, rows](RunningFlag& running) {
    Progress& progress = host().app().ctx.progress;
    progress.setTotal(int32_t(std::min<size_t>(rows->size(), INT32_MAX)));
    progress.setDone(0);
    progress.setStatus({});
    for (size_t i = 0; i < rows->size() && running.load(); ++i) {
      progress.setDone(int32_t(i));
      const Row& r = (*rows)[i];
      const QImage cell = decodeThumbnail(r.item);
      QMetaObject::invokeMethod(
          this, [this, row = r.row, index = r.index, cell] { listModel_->thumbnailReady(row, index, QPixmap::fromImage(cell)); },
          Qt::QueuedConnection);
    }
    progress.setDone(int32_t(rows->size()));
  }, [this] {
    thumbsStale_ = false;
    visibleTimer_->start();
  });
}

void ResultsPage::preview(int row) {
  const size_t index = listModel_->itemOf(row);
  if (index >= tree_.itemCount() || job_ != Job::None) return;
  const FoundItem item = tree_.item(index);
  auto bytes = std::make_shared<std::vector<uint8_t>>();
  auto image = std::make_shared<QImage>();
  auto ok = std::make_shared<bool>(false);
  runJob(
      Job::Preview, QStringLiteral("Reading File ..."),
      [this, item, bytes, image, ok](RunningFlag&) {
        *ok = item.size > 0 && engine_->readItem(item, *bytes, std::min<uint64_t>(item.size, kMaxPictureBytes));
        // Decoding a large photo takes a while too: it stays on the worker.
        const int code = imageTypeCode(QString::fromStdString(item.name));
        if (*ok && code) *image = decodePicture(*bytes, code);
      },
      [this, bytes, image, ok] {
        if (*ok) showPreview(*image, *bytes);
      });
}

void ResultsPage::showPreview(const QImage& img, const std::vector<uint8_t>& bytes) {
  QWidget* w = nullptr;
  if (!img.isNull()) w = new PreviewWindow(img, this);
  else w = new DumpWindow(hexDump(bytes.data(), std::min<size_t>(bytes.size(), 512)), this);
  w->show();
  emit previewShown(w);
}

// ---- recovery ------------------------------------------------------------------

OverwriteAnswer ResultsPage::askOverwrite(const QString& name) {
  if (overwriteHandler_) return overwriteHandler_(name);
  return OverwriteDialog::ask(name, this);
}

void ResultsPage::recover() {
  if (job_ != Job::None) return;
  const RecoveryPlan plan = planRecovery(*model_);
  if (!plan.ok) {
    if (!plan.message.empty())
      showMessage(this, qs(plan.caption), qs(plan.message),
                  kind_ == EngineKind::Fat ? MessageIcon::None : MessageIcon::Information);
    return;
  }
  QString folder;
  if (folderChooser_) {
    folder = folderChooser_();
  } else {
    QSettings settings;
    const QString last = settings.value(QStringLiteral("recovery/lastFolder")).toString();
    folder = QFileDialog::getExistingDirectory(this, QStringLiteral("Save in:"), last, QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty()) settings.setValue(QStringLiteral("recovery/lastFolder"), folder);
  }
  if (folder.isEmpty()) return;
  recoverTo(folder);
}

void ResultsPage::recoverTo(const QString& folder) {
  if (job_ != Job::None) return;
  const RecoveryContext& ctx = host().app().ctx;
  ScannedSource source;
  source.devicePath = DeviceTable::instance().pathOf(ctx.partition.diskNumber);
  for (const DeviceEntry& d : DeviceTable::instance().devices())
    if (d.driveNumber == ctx.partition.diskNumber) source.isImage = d.isImage;
  source.driveLetter = ctx.partition.driveLetter;
  // A scan range set in Option may reach past the partition: keep the output off all of it.
  source.startSector = std::min<uint64_t>(ctx.partitionStart, ctx.options.startSector);
  source.endSector = std::max<uint64_t>(ctx.partitionEnd, ctx.options.endSector);
  const std::filesystem::path destination = folder.toStdString();
  const std::string problem = prepareDestination(source, destination);
  if (!problem.empty()) {
    const bool same = problem == kSamePartitionMessage;
    showMessage(this, same ? QString() : QStringLiteral("Error"), qs(problem),
                same ? MessageIcon::Warning : MessageIcon::Error);
    return;
  }
  auto steps = std::make_shared<std::vector<RecoveryStep>>(planRecovery(*model_).steps);
  auto outcome = std::make_shared<RecoveryOutcome>();
  runJob(
      Job::Recovery, QString::fromLatin1(kRecoveryTitle),
      [this, steps, outcome, destination](RunningFlag& running) {
        GuiOverwritePrompt prompt(this, closing_);
        *outcome = runRecoveryJob(*engine_, tree_, *steps, destination, prompt, host().app().ctx.progress, running);
      },
      [this, outcome] {
        lastRecovery_ = *outcome;
        std::string report = lastRecovery_.report;
        if (report.empty() && (!lastRecovery_.failures.empty() || !lastRecovery_.markedFiles.empty())) {
          // The FAT and EXT pages keep no report of their own; a file that
          // could not be written, or was written but is likely not the
          // file's own bytes, must still not pass for a recovered one.
          ErrorReport r;
          for (const auto& f : lastRecovery_.failures) r.add("Can not recovery file '" + f.name + "'.\n");
          for (const auto& f : lastRecovery_.markedFiles) r.add("File '" + f.name + "' is " + f.reason + ".\n");
          report = r.text();
        }
        if (!report.empty())
          showMessage(this, kind_ == EngineKind::Ntfs ? QStringLiteral("Notice") : QStringLiteral("Error"), qs(report),
                      kind_ == EngineKind::Ntfs ? MessageIcon::Information : MessageIcon::Error);
      });
}

// ---- painting -----------------------------------------------------------------

void ResultsPage::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QString kindName = QString::fromLatin1(engineKindName(kind_));
  paintHeader(p, QStringLiteral("Found files"),
              QStringLiteral("Tick what you want back (%1 scan)").arg(kindName));
  p.setRenderHint(QPainter::Antialiasing);
  auto pill = [&](const QRect& r, const QString& caption, const QString& text, const QColor& dot) {
    p.setPen(QPen(skin::kPanelBorder, 1));
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5), 5, 5);
    p.setPen(Qt::NoPen);
    p.setBrush(dot);
    p.drawEllipse(QPointF(r.left() + 12, r.center().y() + 0.5), 4, 4);
    p.setFont(skin::uiFont(8, true));
    p.setPen(skin::kMutedText);
    const int cw = p.fontMetrics().horizontalAdvance(caption);
    p.drawText(QRect(r.left() + 22, r.top(), cw + 4, r.height()), Qt::AlignLeft | Qt::AlignVCenter, caption);
    p.setFont(skin::uiFont(8));
    p.setPen(skin::kText);
    p.drawText(QRect(r.left() + 28 + cw, r.top(), r.width() - cw - 32, r.height()), Qt::AlignLeft | Qt::AlignVCenter,
               text);
  };
  pill(QRect(8, 358, 330, 26), QStringLiteral("Found:"), foundLine(), skin::kMutedText);
  pill(QRect(346, 358, 396, 26), QStringLiteral("Selected:"), selectedLine(), skin::kAccent);
}

// ---- factory --------------------------------------------------------------------

void registerResultsPages(HomeView& host) {
  host.makeResultsPage = [](HomeView& h, int mode) -> QWidget* {
    const RecoveryContext& ctx = h.app().ctx;
    std::string fsName = ctx.partition.fs();
    if (mode == kModeFormatted && !ctx.options.previousFsName.empty()) fsName = ctx.options.previousFsName;
    if (mode != kModeRaw && !fskind::isFatEngineKind(fsName) && !fskind::isNtfsEngineKind(fsName) &&
        !fskind::isExtEngineKind(fsName) && !fskind::isExFatEngineKind(fsName))
      return nullptr;
    std::unique_ptr<ScanEngine> engine = h.app().engines(fsName, scanModeOf(mode));
    if (!engine) return nullptr;
    return new ResultsPage(h, mode, std::move(engine), &h);
  };
}

}  // namespace brenix::gui
