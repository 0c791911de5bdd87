#include "gui/results_page.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QSettings>
#include <QSplitter>
#include <QStyle>
#include <QTimer>
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
#include "gui/skin.h"
#include "gui/skin_button.h"
#include "gui/thumbnails.h"
#include "jobs/scan_jobs.h"
#include "results/cell_formats.h"

namespace brenix::gui {

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

const ResultFolder* folderOf(const QTreeWidgetItem* item) {
  return item ? reinterpret_cast<const ResultFolder*>(item->data(0, ResultsPage::kFolderRole).value<quintptr>())
              : nullptr;
}

QIcon smallTypeIcon(const QString& name) {
  static QHash<QString, QIcon> cache;
  const int dot = name.lastIndexOf(QLatin1Char('.'));
  const QString key = dot >= 0 ? name.mid(dot + 1).toLower() : QString();
  auto it = cache.find(key);
  if (it != cache.end()) return *it;
  QIcon icon(QPixmap::fromImage(fileTypeIcon(name)));
  cache.insert(key, icon);
  return icon;
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
  list_ = new QTreeWidget(right);
  list_->setObjectName(QStringLiteral("TListView_") + QString::fromLatin1(engineKindName(kind_)));
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setStyleSheet(viewStyle);
  QStringList captions;
  for (int c = 0; c < kListColumnCount; ++c) captions << QString::fromLatin1(listColumnCaption(ListColumn(c)));
  list_->setHeaderLabels(captions);
  list_->header()->setSectionsClickable(true);
  list_->header()->setSortIndicatorShown(false);
  const int widths[kListColumnCount] = {170, 80, 80, 80, 130, 130, 130};
  for (int c = 0; c < kListColumnCount; ++c) list_->setColumnWidth(c, widths[c]);
  thumbs_ = new QListWidget(right);
  thumbs_->setViewMode(QListView::IconMode);
  thumbs_->setIconSize(QSize(kThumbSize, kThumbSize));
  thumbs_->setGridSize(QSize(112, 124));
  thumbs_->setResizeMode(QListView::Adjust);
  thumbs_->setMovement(QListView::Static);
  thumbs_->setWordWrap(true);
  thumbs_->setUniformItemSizes(true);
  thumbs_->setStyleSheet(viewStyle);
  thumbs_->hide();
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
  connect(list_, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int column) {
    if (!updating_ && column == 0) rowCheckChanged(item->data(0, kRowRole).toInt(), item->checkState(0) == Qt::Checked);
  });
  connect(thumbs_, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
    if (!updating_) rowCheckChanged(item->data(kRowRole).toInt(), item->checkState() == Qt::Checked);
  });
  connect(list_, &QTreeWidget::itemDoubleClicked, this,
          [this](QTreeWidgetItem* item) { preview(item->data(0, kRowRole).toInt()); });
  connect(thumbs_, &QListWidget::itemDoubleClicked, this,
          [this](QListWidgetItem* item) { preview(item->data(kRowRole).toInt()); });
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

  progress_ = new ProgressDialog(host.app().ctx.progress, this);
  connect(progress_, &ProgressDialog::cancelRequested, this, &ResultsPage::cancelJob);
  QTimer::singleShot(300, this, &ResultsPage::startScan);
}

ResultsPage::~ResultsPage() {
  closing_ = true;
  runner_.cancel();
  runner_.wait();
}

SkinButton* ResultsPage::button(const QString& text) const {
  for (auto* b : findChildren<SkinButton*>())
    if (b->text() == text) return b;
  return nullptr;
}

QString ResultsPage::foundLine() const { return qs(model_->foundLineText()); }
QString ResultsPage::selectedLine() const { return qs(model_->selectedLineText()); }

void ResultsPage::runJob(Job job, const QString& title, std::function<void(RunningFlag&)> work,
                         std::function<void()> done) {
  if (job_ != Job::None || runner_.busy()) return;
  job_ = job;
  progress_->start(title);
  runner_.start([this, work = std::move(work), done = std::move(done)](RunningFlag& running) {
    work(running);
    QMetaObject::invokeMethod(this, [this, done] { jobDone(done); }, Qt::QueuedConnection);
  });
}

void ResultsPage::jobDone(const std::function<void()>& done) {
  runner_.wait();
  progress_->finish();
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
  runJob(
      Job::Scan, QString::fromLatin1(scanTitle(scanMode)),
      [this, result, &ctx, scanMode](RunningFlag& running) { *result = runScanJob(*engine_, scanMode, ctx, tree_, running); },
      [this, result] { scanFinished(*result); });
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
  model_->selectFolder(const_cast<ResultFolder&>(*f));
  thumbsStale_ = true;
  setViewMode(ViewMode::Details);
  fillList();
  update();
}

void ResultsPage::fillList() {
  updating_ = true;
  list_->clear();
  thumbs_->clear();
  const auto& rows = model_->rows();
  QList<QTreeWidgetItem*> items;
  items.reserve(qsizetype(rows.size()));
  for (size_t r = 0; r < rows.size(); ++r) {
    const FoundItem& it = tree_.item(rows[r]);
    auto* li = new QTreeWidgetItem();
    for (int c = 0; c < kListColumnCount; ++c) li->setText(c, qs(cellText(kind_, it, ListColumn(c))));
    li->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    li->setIcon(0, smallTypeIcon(qs(it.name)));
    li->setFlags(li->flags() | Qt::ItemIsUserCheckable);
    li->setCheckState(0, it.checked ? Qt::Checked : Qt::Unchecked);
    li->setData(0, kRowRole, int(r));
    items << li;
    auto* ti = new QListWidgetItem(qs(cellText(kind_, it, ListColumn::Name)));
    ti->setFlags(ti->flags() | Qt::ItemIsUserCheckable);
    ti->setCheckState(it.checked ? Qt::Checked : Qt::Unchecked);
    ti->setData(kRowRole, int(r));
    ti->setToolTip(ti->text());
    const QImage img = thumbImages_.value(qulonglong(rows[r]));
    ti->setIcon(QIcon(QPixmap::fromImage(img.isNull() ? thumbnailCell(QImage(), ti->text()) : img)));
    thumbs_->addItem(ti);
  }
  list_->addTopLevelItems(items);
  updating_ = false;
}

void ResultsPage::syncChecks() {
  updating_ = true;
  for (auto it = folderItems_.begin(); it != folderItems_.end(); ++it)
    it.value()->setCheckState(0, it.key()->checked ? Qt::Checked : Qt::Unchecked);
  const auto& rows = model_->rows();
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* li = list_->topLevelItem(i);
    const size_t r = size_t(li->data(0, kRowRole).toInt());
    if (r < rows.size()) li->setCheckState(0, tree_.item(rows[r]).checked ? Qt::Checked : Qt::Unchecked);
  }
  for (int i = 0; i < thumbs_->count(); ++i) {
    QListWidgetItem* ti = thumbs_->item(i);
    const size_t r = size_t(ti->data(kRowRole).toInt());
    if (r < rows.size()) ti->setCheckState(tree_.item(rows[r]).checked ? Qt::Checked : Qt::Unchecked);
  }
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

void ResultsPage::sortBy(int column) {
  if (column < 0 || column >= kListColumnCount) return;
  const bool descending = model_->nextSortDescending(ListColumn(column));
  model_->sortBy(ListColumn(column));
  list_->header()->setSortIndicatorShown(true);
  list_->header()->setSortIndicator(column, descending ? Qt::DescendingOrder : Qt::AscendingOrder);
  fillList();
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
  list_->setVisible(mode == ViewMode::Details);
  thumbs_->setVisible(mode == ViewMode::Thumbnails);
  if (mode == ViewMode::Thumbnails && thumbsStale_ && thumbs_->count() > 0) startThumbnails();
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
  model_->applyFilter(filter_);
  fillList();
  syncChecks();
  thumbsStale_ = true;
  setViewMode(viewMode_);
}

// ---- thumbnails and preview ----------------------------------------------------

void ResultsPage::startThumbnails() {
  struct Row {
    size_t index;
    FoundItem item;
  };
  auto rows = std::make_shared<std::vector<Row>>();
  for (size_t idx : model_->rows()) rows->push_back({idx, tree_.item(idx)});
  runJob(Job::Thumbnails, QStringLiteral("Viewing icon..."), [this, rows](RunningFlag& running) {
    Progress& progress = host().app().ctx.progress;
    progress.setTotal(int32_t(std::min<size_t>(rows->size(), INT32_MAX)));
    progress.setDone(0);
    progress.setStatus({});
    for (size_t i = 0; i < rows->size(); ++i) {
      progress.setDone(int32_t(i));
      const Row& r = (*rows)[i];
      const QString name = QString::fromStdString(r.item.name);
      QImage picture;
      const int code = imageTypeCode(name);
      if (running.load() && code != 0 && r.item.size > 0) {
        std::vector<uint8_t> bytes;
        if (engine_->readItem(r.item, bytes, std::min<uint64_t>(r.item.size, kMaxPictureBytes)))
          picture = decodePicture(bytes, code);
      }
      QImage cell = thumbnailCell(picture, name);
      QMetaObject::invokeMethod(this, [this, row = int(i), index = r.index, cell] {
        thumbImages_.insert(qulonglong(index), cell);
        if (QListWidgetItem* ti = thumbs_->item(row)) ti->setIcon(QIcon(QPixmap::fromImage(cell)));
      }, Qt::QueuedConnection);
    }
    progress.setDone(int32_t(rows->size()));
  }, [this] { thumbsStale_ = false; });
}

void ResultsPage::preview(int row) {
  if (row < 0 || size_t(row) >= model_->rows().size() || job_ != Job::None) return;
  const FoundItem item = tree_.item(model_->rows()[size_t(row)]);
  auto bytes = std::make_shared<std::vector<uint8_t>>();
  auto ok = std::make_shared<bool>(false);
  runJob(
      Job::Preview, QStringLiteral("Reading File ..."),
      [this, item, bytes, ok](RunningFlag&) {
        *ok = item.size > 0 && engine_->readItem(item, *bytes, std::min<uint64_t>(item.size, kMaxPictureBytes));
      },
      [this, bytes, ok, row] {
        if (*ok) showPreview(row, bytes);
      });
}

void ResultsPage::showPreview(int row, std::shared_ptr<std::vector<uint8_t>> bytes) {
  if (size_t(row) >= model_->rows().size()) return;
  const QString name = qs(tree_.item(model_->rows()[size_t(row)]).name);
  const int code = imageTypeCode(name);
  const QImage img = code ? decodePicture(*bytes, code) : QImage();
  QWidget* w = nullptr;
  if (!img.isNull()) w = new PreviewWindow(img, this);
  else w = new DumpWindow(hexDump(bytes->data(), std::min<size_t>(bytes->size(), 512)), this);
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
        !fskind::isExtEngineKind(fsName))
      return nullptr;
    std::unique_ptr<ScanEngine> engine = h.app().engines(fsName, scanModeOf(mode));
    if (!engine) return nullptr;
    return new ResultsPage(h, mode, std::move(engine), &h);
  };
}

}  // namespace brenix::gui
