#pragma once
// A results page (FAT, NTFS, EXT or raw, by its engine): the folder tree and
// the file list or thumbnails over the results model, the status lines, and
// the scan, thumbnail, preview and recovery jobs, each on a worker thread
// behind the progress dialog. The GUI thread never reads the disk.
#include <QHash>
#include <QImage>
#include <QThreadPool>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "gui/page.h"
#include "jobs/job_runner.h"
#include "photo/photo_naming.h"
#include "results/recovery_output.h"
#include "results/result_tree.h"
#include "results/results_model.h"
#include "results/scan_engine.h"

class QCheckBox;
class QListView;
class QSplitter;
class QTimer;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;

namespace brenix::gui {

class ProgressDialog;
class ResultsListModel;
class ThumbnailCache;
class ThumbnailWorker;
class ScanResume;
class UnreadableNotice;

class ResultsPage : public Page {
  Q_OBJECT
 public:
  enum class Job { None, Scan, Thumbnails, Preview, Recovery };
  enum class ViewMode { Details, Thumbnails };
  static constexpr int kFolderRole = Qt::UserRole;
  // Largest file the thumbnails and the preview read into memory.
  static constexpr uint64_t kMaxPictureBytes = 64ull << 20;
  // Thumbnail cells kept in memory (about 1000 cells of 90 x 90).
  static constexpr qint64 kThumbnailCacheBytes = 32ll << 20;
  // From this many rows on, sorting and filtering run on a worker thread.
  static constexpr size_t kBackgroundRows = 20000;

  ResultsPage(HomeView& host, int mode, std::unique_ptr<ScanEngine> engine, QWidget* parent);
  ~ResultsPage() override;

  bool busy() const override { return job_ != Job::None; }
  Job job() const { return job_; }
  EngineKind kind() const { return kind_; }
  ResultsModel& model() { return *model_; }
  ResultTree& tree() { return tree_; }

  QTreeWidget* folderTree() const { return folders_; }
  QTreeView* fileList() const { return list_; }
  QListView* thumbList() const { return thumbs_; }
  ResultsListModel* listModel() const { return listModel_; }
  ProgressDialog* progressDialog() const { return progress_; }
  SkinButton* button(const QString& text) const;
  QCheckBox* filterCheck() const { return filterCheck_; }
  QString foundLine() const;
  QString selectedLine() const;
  // "N sectors could not be read" once a scan or recovery met unreadable sectors of the device, else empty.
  QString unreadableLine() const;
  ViewMode viewMode() const { return viewMode_; }
  bool thumbnailsStale() const { return thumbsStale_; }
  // The thumbnail cells in memory, most recently used first.
  QList<QImage> thumbnails() const;
  const ThumbnailCache& thumbnailCache() const { return *thumbCache_; }
  void setThumbnailCacheLimit(qint64 bytes);
  // A sort or filter of a large folder is still running on its worker.
  bool listPending() const { return pendingList_ != 0; }
  // No thumbnail waits to be decoded.
  bool thumbnailsIdle() const;
  QTreeWidgetItem* itemOf(const ResultFolder* folder) const { return folderItems_.value(folder); }

  // Starts the scan (the page does so 300 ms after it is made).
  void startScan();
  // Details or Thumbnails (Thumbnails runs the thumbnail pass when the list changed).
  void setViewMode(ViewMode mode);
  // The filter dialog's result: store it and refill the list.
  void applyFilter(const ResultFilter& filter);
  // Preview of a list row (double-click).
  void preview(int row);
  // The Recovery button; recoverTo skips the folder question.
  void recover();
  void recoverTo(const QString& folder);
  // Cancel in the progress dialog.
  void cancelJob();

  // Tests answer the questions instead of a person.
  void setOverwriteHandlerForTesting(std::function<OverwriteAnswer(const QString&)> h) { overwriteHandler_ = std::move(h); }
  void setFolderChooserForTesting(std::function<QString()> h) { folderChooser_ = std::move(h); }
  // Tests edit the photo choices (false: cancel) instead of the dialog.
  void setPhotoChooserForTesting(std::function<bool(PhotoChoices&)> h) { photoChooser_ = std::move(h); }
  // Raw pages: the choices for carved photos the next recovery starts from.
  const PhotoChoices& photoChoices() const { return photoChoices_; }
  OverwriteAnswer askOverwrite(const QString& name);
  // The session of the last scan (continued or kept in the data folder), or null.
  const ScanResume* scanResume() const { return scanResume_.get(); }
  // The last recovery's outcome.
  const RecoveryOutcome& lastRecovery() const { return lastRecovery_; }

 signals:
  void jobFinished(int job);
  void previewShown(QWidget* window);

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  // Runs work on the worker; then, on the GUI thread once the job has ended, done.
  void runJob(Job job, const QString& title, std::function<void(RunningFlag&)> work,
              std::function<void()> done = {});
  void jobDone(const std::function<void()>& done);
  void scanFinished(const ScanResult& result);
  void buildFolderTree();
  void folderSelected(QTreeWidgetItem* item);
  void folderCheckChanged(QTreeWidgetItem* item);
  void rowCheckChanged(int row, bool checked);
  void fillList();
  void syncChecks();
  // Thumbnails mode: asks the worker for the visible rows not decoded yet.
  void requestVisibleThumbnails();
  std::vector<int> visibleThumbnailRows() const;
  QImage decodeThumbnail(const FoundItem& item);
  // Runs work(rows) on the list worker; apply(rows) on the GUI thread unless the list changed meanwhile.
  void runListWork(std::function<std::vector<size_t>()> work, std::function<void(std::vector<size_t>)> apply);
  void sortBy(int column);
  void showViewMenu();
  void openFilterDialog();
  void filterToggled(bool on);
  void startThumbnails();
  void showPreview(const QImage& image, const std::vector<uint8_t>& bytes);

  EngineKind kind_;
  std::unique_ptr<ScanEngine> engine_;
  std::unique_ptr<ScanResume> scanResume_;  // after engine_: it lets go of the engine first
  ResultTree tree_;
  std::unique_ptr<ResultsModel> model_;
  std::atomic<bool> closing_{false};
  JobRunner runner_;
  Job job_ = Job::None;
  ViewMode viewMode_ = ViewMode::Details;
  bool thumbsStale_ = true;
  bool updating_ = false;
  ResultFilter filter_;
  RecoveryOutcome lastRecovery_;

  QSplitter* split_ = nullptr;
  QTreeWidget* folders_ = nullptr;
  QTreeView* list_ = nullptr;
  QListView* thumbs_ = nullptr;
  ResultsListModel* listModel_ = nullptr;
  std::unique_ptr<ThumbnailCache> thumbCache_;
  // Held by every job on its worker and by the thumbnail worker around each
  // read: the engine serves one of them at a time.
  std::mutex engineMutex_;
  std::unique_ptr<ThumbnailWorker> thumbWorker_;
  QTimer* visibleTimer_ = nullptr;
  QThreadPool listPool_;
  int listGeneration_ = 0;
  int pendingList_ = 0;
  ProgressDialog* progress_ = nullptr;
  UnreadableNotice* unreadable_ = nullptr;
  QCheckBox* filterCheck_ = nullptr;
  SkinButton* filterButton_ = nullptr;
  SkinButton* viewButton_ = nullptr;
  QHash<const ResultFolder*, QTreeWidgetItem*> folderItems_;
  std::function<OverwriteAnswer(const QString&)> overwriteHandler_;
  std::function<QString()> folderChooser_;
  std::function<bool(PhotoChoices&)> photoChooser_;
  PhotoChoices photoChoices_;
};

// Lets the host make results pages: the engine comes from the application's
// engine factory, chosen by the partition's (or the previous) file-system name.
void registerResultsPages(HomeView& host);

}  // namespace brenix::gui
