#pragma once
// The session of a long scan on a results page: raw scans and formatted scans
// of FAT partitions keep one in the user's data folder while they run; when
// a scan of the same disk with the same options was left unfinished, the
// page asks whether to continue it ("continue" takes it up where it stopped,
// "start again" discards it). A finished scan removes its session.
#include <QString>
#include <memory>
#include <string>

#include "jobs/scan_session_file.h"

class QWidget;

namespace brenix::gui {

class ScanResume {
 public:
  // Before the scan starts: arms the session (asking first when an unfinished one matches).
  ScanResume(QWidget* parent, ScanEngine& engine, RecoveryContext& ctx, ScanMode mode);
  ~ScanResume();
  ScanResume(const ScanResume&) = delete;
  ScanResume& operator=(const ScanResume&) = delete;

  bool active() const { return file_ != nullptr; }
  // The scan continues an unfinished one.
  bool resumed() const { return resumed_; }
  const std::string& path() const { return path_; }
  // After the scan: saves where it stands when it stopped early, else removes
  // the session. A message for the person when something went wrong.
  QString finish(bool stopped);

 private:
  std::unique_ptr<ScanSessionFile> file_;
  std::string path_;
  bool resumed_ = false;
};

inline constexpr const char* kContinueScanQuestion =
    "A scan of this disk with the same options was not finished. Continue it from where it stopped?\n\n"
    "Yes continues it; No starts again and discards it.";

}  // namespace brenix::gui
