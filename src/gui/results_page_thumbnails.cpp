// Results page: the Details and Thumbnails view modes, the thumbnail pass
// and worker, and the preview of a file.
#include <QListView>
#include <QMenu>
#include <QTimer>
#include <QTreeView>
#include <algorithm>

#include "gui/home_view.h"
#include "gui/preview_window.h"
#include "gui/results_list_model.h"
#include "gui/results_page.h"
#include "gui/skin_button.h"
#include "gui/thumbnails.h"

namespace brenix::gui {

// ---- view modes ------------------------------------------------------------------

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

}  // namespace brenix::gui
