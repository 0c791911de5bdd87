#pragma once
// Session files of long raw scans: --session FILE keeps a small JSON file up
// to date while the scan runs (the scanned device's identity, the options,
// the position reached and the files found so far); --resume FILE continues
// such a scan from where it stopped, on the same device with the same
// options only, and finds exactly what one uninterrupted scan finds.
#include <iosfwd>
#include <memory>
#include <string>

namespace brenix::cli {

struct ScanCliOptions;
struct ScanSession;

class RawScanSessionFile {
 public:
  // Arms the session before the scan (reads and checks the file to resume).
  // Null with kExit... in *status and a message on err when refused.
  static std::unique_ptr<RawScanSessionFile> prepare(const ScanCliOptions& o, ScanSession& s, std::ostream& err,
                                                     int* status);
  // After the scan: saves where it stands. Tells how to continue when it was cancelled.
  void finish(ScanSession& s, bool cancelled, std::ostream& err);
  ~RawScanSessionFile();

 private:
  RawScanSessionFile() = default;
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace brenix::cli
