// Results page: the scan, and browsing what it found (folder tree, list,
// check boxes, sorting).
#include <QHeaderView>
#include <QStyle>
#include <QTreeView>
#include <QTreeWidget>

#include "gui/home_view.h"
#include "gui/messages.h"
#include "gui/results_list_model.h"
#include "gui/results_page.h"
#include "gui/scan_resume.h"
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

}  // namespace

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

}  // namespace brenix::gui
