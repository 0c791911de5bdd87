#pragma once
// The file list of a results page as a Qt model over the results tree: one
// row per listed item, its cells made only when a view asks for them. The
// Details view shows every column; the Thumbnails view shows column 0 with
// the item's cell from a bounded thumbnail cache, one shared placeholder for
// pictures not decoded yet, and one shared type icon cell per extension for
// files that are not pictures. Pictures are decoded on a worker thread
// (ThumbnailWorker), only for the rows a view asks for.
#include <QAbstractTableModel>
#include <QHash>
#include <QImage>
#include <QPixmap>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "photo/photo_info.h"
#include "results/cell_formats.h"
#include "results/found_item.h"
#include "results/result_tree.h"

namespace brenix::gui {

// Thumbnail cells by item index, the least recently used dropped first once
// the cells together pass the byte limit.
class ThumbnailCache {
 public:
  explicit ThumbnailCache(qint64 limitBytes) : limit_(limitBytes) {}
  // The cell, marked as just used; null when absent.
  const QPixmap* find(size_t key);
  bool contains(size_t key) const { return map_.contains(qulonglong(key)); }
  void insert(size_t key, const QPixmap& cell);
  void clear();
  void setLimit(qint64 bytes);
  qint64 limit() const { return limit_; }
  qint64 bytes() const { return bytes_; }
  int count() const { return int(map_.size()); }
  QList<QImage> images() const;

 private:
  struct Entry {
    size_t key;
    QPixmap cell;
    qint64 bytes;
  };
  void trim();
  std::list<Entry> order_;  // most recent first
  QHash<qulonglong, std::list<Entry>::iterator> map_;
  qint64 limit_;
  qint64 bytes_ = 0;
};

class ResultsListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  ResultsListModel(EngineKind kind, const ResultTree& tree, ThumbnailCache& cache, QObject* parent);

  // Replaces the rows (indices into the tree's items): one model reset.
  void setRows(const std::vector<size_t>& rows);
  const std::vector<size_t>& rows() const { return rows_; }
  // The tree item of a row; SIZE_MAX when out of range.
  size_t itemOf(int row) const { return row >= 0 && size_t(row) < rows_.size() ? rows_[size_t(row)] : SIZE_MAX; }
  // Column 0's decoration: the small type icon (Details) or the thumbnail cell.
  void setThumbnailMode(bool on);
  bool thumbnailMode() const { return thumbnailMode_; }
  // Whether the row's thumbnail still has to be decoded (a picture not in the cache).
  bool needsThumbnail(int row) const;
  // A decoded cell arrived for an item shown at row: cache it, repaint the row.
  void thumbnailReady(int row, size_t item, const QPixmap& cell);
  // Check flags changed in the tree: repaint every row's check box.
  void checksChanged();
  // Called when a person ticks or clears a row's box.
  void setCheckHandler(std::function<void(int row, bool checked)> h) { onCheck_ = std::move(h); }
  // What examining a carved picture found (null: nothing). With it, a carved
  // picture's Date Modified cell shows the date it was taken (EXIF) and its
  // Attributes cell the decode state ("whole", "truncated", "corrupt",
  // "reassembled").
  void setPhotoLookup(std::function<const PhotoInfo*(const FoundItem&)> f) { photoOf_ = std::move(f); }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // The one placeholder every picture row shows until its cell is decoded.
  static const QPixmap& placeholder();

 private:
  EngineKind kind_;
  const ResultTree& tree_;
  ThumbnailCache& cache_;
  std::vector<size_t> rows_;
  bool thumbnailMode_ = false;
  std::function<void(int, bool)> onCheck_;
  std::function<const PhotoInfo*(const FoundItem&)> photoOf_;
};

// Makes the calling worker thread yield to the GUI thread when the
// processors are busy (a nicer scheduling priority; Linux only).
void lowerThisThreadPriority();

// One thread that decodes thumbnail cells for the rows a view shows. A new
// request replaces what is still waiting (rows scrolled away are never
// decoded). The decode function runs on the worker; each cell is handed to
// deliver, also on the worker (it posts to the GUI thread itself).
class ThumbnailWorker {
 public:
  struct Request {
    int row;
    size_t item;
    FoundItem found;
  };
  using Decode = std::function<QImage(const FoundItem&)>;
  using Deliver = std::function<void(const Request&, const QImage&)>;

  ThumbnailWorker(Decode decode, Deliver deliver);
  ~ThumbnailWorker();
  ThumbnailWorker(const ThumbnailWorker&) = delete;
  ThumbnailWorker& operator=(const ThumbnailWorker&) = delete;

  void request(std::vector<Request> rows);
  // Drops what waits and waits for the cell in hand.
  void clear();
  bool idle() const;

 private:
  void loop();
  Decode decode_;
  Deliver deliver_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::condition_variable idleCv_;
  std::deque<Request> queue_;
  bool working_ = false;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace brenix::gui
