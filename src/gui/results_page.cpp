// Results page: its layout and signals, the job plumbing shared by the scan,
// thumbnail, preview and recovery jobs, and painting. The other parts:
// results_page_browsing.cpp (scan results: folder tree, list, checks, sort),
// results_page_filter.cpp, results_page_thumbnails.cpp (view modes,
// thumbnails, preview) and results_page_recovery.cpp.
#include "gui/results_page.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QListView>
#include <QPainter>
#include <QScrollBar>
#include <QSplitter>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>

#include "disk/device_table.h"
#include "disk/fs_kind.h"
#include "gui/help.h"
#include "gui/home_view.h"
#include "gui/photo_options_dialog.h"
#include "gui/progress_dialog.h"
#include "gui/results_list_model.h"
#include "gui/skin.h"
#include "gui/skin_button.h"
#include "gui/scan_resume.h"
#include "gui/thumbnails.h"
#include "gui/unreadable_notice.h"
#include "jobs/scan_jobs.h"
#include "raw/raw_engine.h"
#include "results/cell_formats.h"

namespace brenix::gui {

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

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
  if (auto* raw = dynamic_cast<RawEngine*>(engine_.get())) {
    photoChoices_ = defaultPhotoChoices(host.app().ctx.preset);
    listModel_->setPhotoLookup([raw](const FoundItem& item) { return raw->photo(size_t(item.engineIndex)); });
  }
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
