#include "gui/scan_resume.h"

#include <filesystem>

#include "disk/device_table.h"
#include "gui/messages.h"

namespace brenix::gui {

ScanResume::ScanResume(QWidget* parent, ScanEngine& engine, RecoveryContext& ctx, ScanMode mode) {
  ScanSessionTarget target;
  target.mode = mode;
  target.fileSystem = ctx.partition.fs();
  if (mode == ScanMode::Formatted && !ctx.options.previousFsName.empty()) target.fileSystem = ctx.options.previousFsName;
  target.engine = &engine;
  target.ctx = &ctx;
  for (const DeviceEntry& d : DeviceTable::instance().devices()) {
    if (d.driveNumber != ctx.partition.diskNumber) continue;
    target.devicePath = d.path;
    if (!d.isImage) target.model = d.modelText;
  }
  if (target.devicePath.empty() || !ScanSessionFile::supports(target)) return;
  path_ = ScanSessionFile::defaultPath(target);
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ec);
  if (ScanSessionFile::resumable(target, path_))
    resumed_ = askYesNo(parent, QStringLiteral("Unfinished scan"), QString::fromLatin1(kContinueScanQuestion));
  if (!resumed_) std::filesystem::remove(path_, ec);  // start again: the old session goes
  ScanSessionFile::Problem problem = ScanSessionFile::Problem::None;
  std::string message;
  file_ = ScanSessionFile::open(target, path_, resumed_, &problem, &message);
  if (!file_ && resumed_) {  // changed since the check: start again
    resumed_ = false;
    file_ = ScanSessionFile::open(target, path_, false, &problem, &message);
  }
}

ScanResume::~ScanResume() {
  if (file_) finish(true);
}

QString ScanResume::finish(bool stopped) {
  if (!file_) return {};
  std::string message, where;
  const bool taken = file_->finish(stopped, &message, &where);
  file_.reset();
  std::error_code ec;
  if (!taken || !stopped) std::filesystem::remove(path_, ec);
  return QString::fromStdString(message);
}

}  // namespace brenix::gui
