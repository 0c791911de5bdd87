#include "gui/image_disk_dialog.h"

#include <unistd.h>

#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "disk/disk_texts.h"
#include "disk/image_backend.h"
#include "gui/messages.h"

namespace brenix::gui {

namespace {

QString clockText(double seconds) {
  if (seconds < 0) return QStringLiteral("--:--:--");
  const auto s = static_cast<long long>(std::llround(seconds));
  return QString::asprintf("%02lld:%02lld:%02lld", s / 3600, (s / 60) % 60, s % 60);
}

}  // namespace

ImageDiskDialog::ImageDiskDialog(const std::string& sourcePath, const QString& sourceLabel, QWidget* parent)
    : QDialog(parent), source_(sourcePath) {
  setWindowTitle(QStringLiteral("Image this disk first"));
  auto* layout = new QVBoxLayout(this);
  auto* intro = new QLabel(
      QStringLiteral("A failing disk may not survive many passes. Copy it once to an image file, skipping the "
                     "areas that cannot be read, then scan the copy.\n\nDisk: %1")
          .arg(sourceLabel),
      this);
  intro->setWordWrap(true);
  layout->addWidget(intro);
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(QStringLiteral("Image file:"), this));
  path_ = new QLineEdit(this);
  row->addWidget(path_, 1);
  auto* browse = new QPushButton(QStringLiteral("Browse..."), this);
  row->addWidget(browse);
  layout->addLayout(row);
  bar_ = new QProgressBar(this);
  bar_->setRange(0, 1000);
  bar_->setValue(0);
  layout->addWidget(bar_);
  status_ = new QLabel(QStringLiteral("Not started"), this);
  status_->setWordWrap(true);
  status_->setMinimumHeight(48);
  layout->addWidget(status_);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  start_ = new QPushButton(QStringLiteral("Start"), this);
  cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
  buttons->addWidget(start_);
  buttons->addWidget(cancel_);
  layout->addLayout(buttons);
  resize(520, 230);
  timer_ = new QTimer(this);
  timer_->setInterval(200);
  connect(timer_, &QTimer::timeout, this, &ImageDiskDialog::poll);
  connect(browse, &QPushButton::clicked, this, &ImageDiskDialog::browse);
  connect(start_, &QPushButton::clicked, this, [this] { start(path_->text()); });
  connect(cancel_, &QPushButton::clicked, this, &ImageDiskDialog::reject);
}

ImageDiskDialog::~ImageDiskDialog() {
  stop_ = true;
  if (worker_.joinable()) worker_.join();
  if (fd_ >= 0) ::close(fd_);
}

QString ImageDiskDialog::imagePath() const { return path_->text(); }

void ImageDiskDialog::browse() {
  const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Image file"), path_->text(),
                                                    QStringLiteral("Disk images (*.img);;All files (*)"), nullptr,
                                                    QFileDialog::DontConfirmOverwrite);
  if (!path.isEmpty()) path_->setText(path);
}

bool ImageDiskDialog::start(const QString& imagePath) {
  if (worker_.joinable()) return false;
  const std::string image = imagePath.toStdString();
  auto fail = [this](const std::string& text) {
    showMessage(this, QStringLiteral("Error"), QString::fromStdString(text), MessageIcon::Error);
    return false;
  };
  if (image.empty()) return fail("Choose the image file to write.");
  path_->setText(imagePath);
  reader_ = std::make_unique<SectorReader>();
  if (!reader_->openPath(source_, OpenMode::Read))
    return fail(lastImageOpenMessage().empty()
                    ? "Can not open the disk '" + source_ + "': " + std::strerror(reader_->lastError())
                    : lastImageOpenMessage());
  const uint64_t size = reader_->sizeBytes();
  if (size == 0) return fail("The disk '" + source_ + "' has no size.");
  const std::string mapPath = image + ".map";
  std::error_code ec;
  const bool resume = std::filesystem::exists(mapPath, ec);
  map_ = std::make_unique<RescueMap>(size);
  std::string error;
  if (resume && !loadRescueMap(mapPath, size, map_.get(), &error)) return fail(error);
  fd_ = openImageOutput(image, source_, resume, &error);
  if (fd_ < 0) return fail(error);
  options_.mapPath = mapPath;
  options_.commandLine = "brenix-gui image " + source_ + " " + image;
  options_.keepGoing = [this] { return !stop_.load(); };
  options_.progress = [this](const ImagingProgress& p) {
    std::lock_guard lock(mutex_);
    progress_ = p;
  };
  stop_ = false;
  done_ = false;
  start_->setEnabled(false);
  path_->setEnabled(false);
  cancel_->setText(QStringLiteral("Stop"));
  worker_ = std::thread([this] {
    SectorReaderSource source(*reader_);
    ImagingResult r = runImaging(source, fd_, *map_, options_);
    {
      std::lock_guard lock(mutex_);
      result_ = r;
      progress_ = r.last;
    }
    done_ = true;
  });
  timer_->start();
  return true;
}

QString ImageDiskDialog::progressText() const {
  std::lock_guard lock(mutex_);
  const ImagingProgress& p = progress_;
  QString phase = p.phase == '?' ? QStringLiteral("Copying") : p.phase == '-' ? QStringLiteral("Retrying")
                  : p.phase == '+' ? QStringLiteral("Finished") : QStringLiteral("Splitting bad areas");
  return QStringLiteral("%1 - Rescued: %2 of %3    Rate: %4/s\nBad areas: %5 (%6)    Remaining Time : %7")
      .arg(phase, QString::fromStdString(formatSize(p.rescued)), QString::fromStdString(formatSize(p.total)),
           QString::fromStdString(formatSize(static_cast<uint64_t>(p.rate))), QString::number(p.badAreas),
           QString::fromStdString(formatSize(p.badBytes)), clockText(p.remainingSeconds));
}

void ImageDiskDialog::poll() {
  {
    std::lock_guard lock(mutex_);
    if (progress_.total) bar_->setValue(static_cast<int>(progress_.rescued * 1000 / progress_.total));
  }
  status_->setText(progressText());
  if (!done_) return;
  timer_->stop();
  if (worker_.joinable()) worker_.join();
  ::close(fd_);
  fd_ = -1;
  cancel_->setText(QStringLiteral("Close"));
  if (result_.status == ImagingStatus::Failed) {
    showMessage(this, QStringLiteral("Error"), QString::fromStdString(result_.error), MessageIcon::Error);
    return;
  }
  status_->setText(progressText() + (result_.status == ImagingStatus::Cancelled
                                         ? QStringLiteral("\nStopped: Start again with the same file continues the copy.")
                                         : QStringLiteral("\nDone: the image is added to the drives; scan it instead of the disk.")));
  start_->setEnabled(result_.status == ImagingStatus::Cancelled);
  if (result_.status == ImagingStatus::Finished) emit imaged(path_->text());
}

void ImageDiskDialog::stop() { stop_ = true; }

void ImageDiskDialog::reject() {
  if (worker_.joinable() && !done_) {
    stop();  // the copy ends after the read in hand; the map keeps the place
    return;
  }
  QDialog::reject();
}

}  // namespace brenix::gui
