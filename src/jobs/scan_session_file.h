#pragma once
// Session files of long scans, for both front ends: while a raw scan, or a
// formatted-drive or deleted-file scan whose engine can continue it
// (ScanEngine::continuesScan), runs, a
// small JSON file follows it (the scanned device's identity - model, size,
// first-sector hash -, the mode and options, the position reached and what
// was found so far; for a formatted scan that carves the unclaimed clusters
// afterwards, the carving's own point too, once the sweep has ended); a later
// run takes it back and continues from there,
// on the same device with the same options only, and ends with exactly what
// one uninterrupted scan finds. A session file that does not fit is refused
// and left as it is.
#include <memory>
#include <string>

#include "results/recovery_context.h"
#include "results/scan_engine.h"

namespace brenix {

struct ScanSessionTarget {
  ScanMode mode = ScanMode::Raw;
  std::string fileSystem;  // the file-system name the engine was chosen by
  ScanEngine* engine = nullptr;
  RecoveryContext* ctx = nullptr;
  std::string devicePath;  // the scanned disk or image
  std::string model;       // the drive's model, empty for an image
};

class ScanSessionFile {
 public:
  enum class Problem { None, NotSupported, DeviceUnreadable, Refused };

  static bool supports(const ScanSessionTarget& t);
  // Arms a session kept at path for the scan about to run; with resume, reads
  // and checks the file first and sets the engine to continue it. Null with
  // the problem and a message when it can not.
  static std::unique_ptr<ScanSessionFile> open(const ScanSessionTarget& t, const std::string& path, bool resume,
                                               Problem* problem, std::string* message);
  // Whether path holds an unfinished session open(t, path, true) takes.
  static bool resumable(const ScanSessionTarget& t, const std::string& path);
  // Where a front end keeps the session of this scan when none is named: in
  // defaultSessionFolder(), by disk and options. Empty without a data folder.
  static std::string defaultPath(const ScanSessionTarget& t);

  // After the scan: false with a message when the engine refused the resume
  // point (the file is left as it was); else saves where the scan stands
  // (finished unless cancelled) and says where it stopped ("byte N", "cluster N") in *where.
  bool finish(bool cancelled, std::string* message, std::string* where);
  const std::string& path() const;
  ~ScanSessionFile();

 private:
  ScanSessionFile() = default;
  struct State;
  std::unique_ptr<State> state_;
};

// $XDG_DATA_HOME/brenix, else ~/.local/share/brenix; empty when neither is known.
std::string defaultSessionFolder();

}  // namespace brenix
