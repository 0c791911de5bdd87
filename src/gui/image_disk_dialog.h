#pragma once
// "Image this disk first": copies the chosen disk to an image file along a
// GNU ddrescue map (bad areas skipped, zeros in the image) on a worker
// thread, with the rate, rescued bytes, bad areas and remaining time; an
// existing map continues the copy. When it ends the image can be scanned
// instead of the failing disk.
#include <QDialog>
#include <QString>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "imaging/disk_imager.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace brenix::gui {

class ImageDiskDialog : public QDialog {
  Q_OBJECT
 public:
  ImageDiskDialog(const std::string& sourcePath, const QString& sourceLabel, QWidget* parent = nullptr);
  ~ImageDiskDialog() override;

  // Starts the copy into imagePath (its map is imagePath + ".map"; when the
  // map exists the copy continues from it). False with the message shown.
  bool start(const QString& imagePath);
  bool running() const { return worker_.joinable() && !done_; }
  bool finished() const { return done_; }
  ImagingStatus status() const { return result_.status; }
  QString progressText() const;
  QString imagePath() const;

 signals:
  // The copy finished and the image can be attached.
  void imaged(const QString& imagePath);

 private:
  void browse();
  void poll();
  void stop();
  void reject() override;

  std::string source_;
  QLineEdit* path_ = nullptr;
  QLabel* status_ = nullptr;
  QProgressBar* bar_ = nullptr;
  QPushButton* start_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QTimer* timer_ = nullptr;

  std::thread worker_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  mutable std::mutex mutex_;
  ImagingProgress progress_;
  ImagingResult result_;
  std::unique_ptr<SectorReader> reader_;
  std::unique_ptr<RescueMap> map_;
  ImagingOptions options_;
  int fd_ = -1;
};

}  // namespace brenix::gui
