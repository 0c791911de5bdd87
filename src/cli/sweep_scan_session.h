#pragma once
// Session files of formatted-drive scans whose engine can continue its sweep
// (FAT): --session FILE keeps a small JSON file up to date while the sweep
// runs (the device's identity, the mode and options, the position reached in
// the sweep and the directories found so far); --resume FILE continues that
// sweep from its position, on the same device with the same options only,
// and the scan then lists exactly what one uninterrupted scan lists.
#include <iosfwd>
#include <memory>
#include <string>

namespace brenix::cli {

struct ScanCliOptions;
struct ScanSession;

class SweepScanSessionFile {
 public:
  // Whether the formatted scan chosen in s can be kept in a session.
  static bool supports(const ScanSession& s);
  // Arms the session before the scan; null with kExit... in *status and a message on err when refused.
  static std::unique_ptr<SweepScanSessionFile> prepare(const ScanCliOptions& o, ScanSession& s, std::ostream& err,
                                                       int* status);
  // After the scan: false (with the message on err) when the engine refused the
  // resume point, the file then left as it was; else saves where the scan stands.
  bool finish(ScanSession& s, bool cancelled, std::ostream& err);
  ~SweepScanSessionFile();

 private:
  SweepScanSessionFile() = default;
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace brenix::cli
