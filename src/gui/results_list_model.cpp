#include "gui/results_list_model.h"

#include <QIcon>
#include <QPainter>

#ifdef __linux__
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "gui/thumbnails.h"

namespace brenix::gui {

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

QString extensionKey(const QString& name) {
  const int dot = name.lastIndexOf(QLatin1Char('.'));
  return dot >= 0 ? name.mid(dot + 1).toLower() : QString();
}

// Both caches hold one entry per extension seen, shared by every row.
const QIcon& smallTypeIcon(const QString& name) {
  static QHash<QString, QIcon> cache;
  const QString key = extensionKey(name);
  auto it = cache.find(key);
  if (it == cache.end()) it = cache.insert(key, QIcon(QPixmap::fromImage(fileTypeIcon(name))));
  return *it;
}

const QPixmap& typeIconCell(const QString& name) {
  static QHash<QString, QPixmap> cache;
  const QString key = extensionKey(name);
  auto it = cache.find(key);
  if (it == cache.end()) it = cache.insert(key, QPixmap::fromImage(thumbnailCell(QImage(), name)));
  return *it;
}

qint64 pixmapBytes(const QPixmap& p) { return qint64(p.width()) * p.height() * std::max(p.depth(), 8) / 8; }

}  // namespace

// ---- cache --------------------------------------------------------------------

const QPixmap* ThumbnailCache::find(size_t key) {
  auto it = map_.find(qulonglong(key));
  if (it == map_.end()) return nullptr;
  order_.splice(order_.begin(), order_, *it);
  return &(*it)->cell;
}

void ThumbnailCache::insert(size_t key, const QPixmap& cell) {
  auto it = map_.find(qulonglong(key));
  if (it != map_.end()) {
    bytes_ -= (*it)->bytes;
    order_.erase(*it);
    map_.erase(it);
  }
  const qint64 b = pixmapBytes(cell);
  order_.push_front(Entry{key, cell, b});
  map_.insert(qulonglong(key), order_.begin());
  bytes_ += b;
  trim();
}

void ThumbnailCache::trim() {
  // The newest cell always stays, even alone above a tiny limit.
  while (bytes_ > limit_ && order_.size() > 1) {
    bytes_ -= order_.back().bytes;
    map_.remove(qulonglong(order_.back().key));
    order_.pop_back();
  }
}

void ThumbnailCache::clear() {
  order_.clear();
  map_.clear();
  bytes_ = 0;
}

void ThumbnailCache::setLimit(qint64 bytes) {
  limit_ = bytes;
  trim();
}

QList<QImage> ThumbnailCache::images() const {
  QList<QImage> out;
  for (const Entry& e : order_) out << e.cell.toImage();
  return out;
}

// ---- model --------------------------------------------------------------------

ResultsListModel::ResultsListModel(EngineKind kind, const ResultTree& tree, ThumbnailCache& cache, QObject* parent)
    : QAbstractTableModel(parent), kind_(kind), tree_(tree), cache_(cache) {}

const QPixmap& ResultsListModel::placeholder() {
  static const QPixmap cell = [] {
    QImage img(kThumbSize, kThumbSize, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    p.setPen(QColor(192, 192, 192));
    p.drawRect(0, 0, kThumbSize - 1, kThumbSize - 1);
    p.end();
    return QPixmap::fromImage(img);
  }();
  return cell;
}

void ResultsListModel::setRows(const std::vector<size_t>& rows) {
  beginResetModel();
  rows_ = rows;
  endResetModel();
}

void ResultsListModel::setThumbnailMode(bool on) {
  if (on == thumbnailMode_) return;
  thumbnailMode_ = on;
  if (!rows_.empty()) emit dataChanged(index(0, 0), index(int(rows_.size()) - 1, 0), {Qt::DecorationRole});
}

bool ResultsListModel::needsThumbnail(int row) const {
  const size_t item = itemOf(row);
  if (item >= tree_.itemCount()) return false;
  return imageTypeCode(qs(tree_.item(item).name)) != 0 && !cache_.contains(item);
}

void ResultsListModel::thumbnailReady(int row, size_t item, const QPixmap& cell) {
  cache_.insert(item, cell);
  if (itemOf(row) == item) emit dataChanged(index(row, 0), index(row, 0), {Qt::DecorationRole});
}

void ResultsListModel::checksChanged() {
  if (!rows_.empty()) emit dataChanged(index(0, 0), index(int(rows_.size()) - 1, 0), {Qt::CheckStateRole});
}

int ResultsListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : int(std::min<size_t>(rows_.size(), INT32_MAX));
}

int ResultsListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kListColumnCount; }

QVariant ResultsListModel::data(const QModelIndex& idx, int role) const {
  const size_t item = itemOf(idx.row());
  if (!idx.isValid() || item >= tree_.itemCount()) return {};
  const FoundItem& it = tree_.item(item);
  const int column = idx.column();
  switch (role) {
    case Qt::DisplayRole:
      if (photoOf_ && (column == int(ListColumn::Modified) || column == int(ListColumn::Attributes))) {
        if (const PhotoInfo* photo = photoOf_(it)) {
          // A picture without a date, or one that was not decoded, keeps
          // the cell the engine gives it.
          const std::string text = column == int(ListColumn::Modified) ? photo->dateTaken
                                   : photo->reassembled                ? std::string("reassembled")
                                                                       : std::string(decodeStateText(photo->decode));
          if (!text.empty()) return qs(text);
        }
      }
      return qs(cellText(kind_, it, ListColumn(column)));
    case Qt::ToolTipRole:
      return column == 0 && thumbnailMode_ ? QVariant(qs(cellText(kind_, it, ListColumn::Name))) : QVariant();
    case Qt::CheckStateRole:
      return column == 0 ? QVariant(it.checked ? Qt::Checked : Qt::Unchecked) : QVariant();
    case Qt::TextAlignmentRole:
      return column == 1 ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant();
    case Qt::DecorationRole: {
      if (column != 0) return {};
      const QString name = qs(it.name);
      if (!thumbnailMode_) return smallTypeIcon(name);
      if (imageTypeCode(name) == 0) return typeIconCell(name);
      if (const QPixmap* cell = cache_.find(item)) return *cell;
      return placeholder();
    }
    default:
      return {};
  }
}

bool ResultsListModel::setData(const QModelIndex& idx, const QVariant& value, int role) {
  if (role != Qt::CheckStateRole || idx.column() != 0 || itemOf(idx.row()) >= tree_.itemCount()) return false;
  const bool checked = value.toInt() == Qt::Checked;
  if (onCheck_) onCheck_(idx.row(), checked);
  emit dataChanged(idx, idx, {Qt::CheckStateRole});
  return true;
}

Qt::ItemFlags ResultsListModel::flags(const QModelIndex& idx) const {
  if (!idx.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
  if (idx.column() == 0) f |= Qt::ItemIsUserCheckable;
  return f;
}

QVariant ResultsListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kListColumnCount) return {};
  return QString::fromLatin1(listColumnCaption(ListColumn(section)));
}

// ---- worker --------------------------------------------------------------------

void lowerThisThreadPriority() {
#ifdef __linux__
  // On Linux a thread id names one thread here, not the whole process.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
#endif
}

ThumbnailWorker::ThumbnailWorker(Decode decode, Deliver deliver)
    : decode_(std::move(decode)), deliver_(std::move(deliver)), thread_([this] { loop(); }) {}

ThumbnailWorker::~ThumbnailWorker() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    queue_.clear();
  }
  cv_.notify_all();
  thread_.join();
}

void ThumbnailWorker::request(std::vector<Request> rows) {
  {
    std::lock_guard lock(mutex_);
    queue_.assign(std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
  }
  cv_.notify_all();
}

void ThumbnailWorker::clear() {
  std::unique_lock lock(mutex_);
  queue_.clear();
  idleCv_.wait(lock, [this] { return !working_; });
}

bool ThumbnailWorker::idle() const {
  std::lock_guard lock(mutex_);
  return queue_.empty() && !working_;
}

void ThumbnailWorker::loop() {
  lowerThisThreadPriority();
  std::unique_lock lock(mutex_);
  for (;;) {
    cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (stop_) return;
    Request r = std::move(queue_.front());
    queue_.pop_front();
    working_ = true;
    lock.unlock();
    const QImage cell = decode_(r.found);
    deliver_(r, cell);
    lock.lock();
    working_ = false;
    idleCv_.notify_all();
  }
}

}  // namespace brenix::gui
