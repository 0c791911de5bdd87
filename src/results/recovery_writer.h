#pragma once
// Writing the laid-out files: the overwrite question, the error report, and
// recoverFiles, which writes each file under a temporary name and gives it
// its own name only when whole.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "results/progress.h"
#include "results/recovery_output.h"
#include "results/result_tree.h"
#include "results/scan_engine.h"

namespace brenix {

// The overwrite question ("Confirm File Overwrite"). Values as the dialog returns them.
enum class OverwriteAnswer { Cancel = 0, Yes = 1, YesToAll = 2, No = 3 };

class OverwritePrompt {
 public:
  virtual ~OverwritePrompt() = default;
  // Asked for a file that already exists; `name` is the found file's name.
  virtual OverwriteAnswer ask(const std::string& name) = 0;
};

// Always gives the same answer (the command line's --overwrite all / never).
class FixedOverwritePrompt : public OverwritePrompt {
 public:
  explicit FixedOverwritePrompt(OverwriteAnswer answer) : answer_(answer) {}
  OverwriteAnswer ask(const std::string&) override { return answer_; }

 private:
  OverwriteAnswer answer_;
};

// "This folder already contains a file named '%s'" and the fixed second line.
std::string overwriteQuestionText(const std::string& name);
inline constexpr const char* kOverwriteCaption = "Confirm File Overwrite";

// The report collected during a job: whole lines only, at most 259 characters;
// a line that does not fit is dropped.
class ErrorReport {
 public:
  static constexpr size_t kMaxChars = 259;
  void add(const std::string& line);
  const std::string& text() const { return text_; }
  bool empty() const { return text_.empty(); }

 private:
  std::string text_;
};
struct RecoveryFailure {
  std::string name;
  std::filesystem::path path;
  std::string reason;
  // Written with zeros in place of sectors that could not be read: how many,
  // and where the zeros are in the file ((byte offset, length) runs; empty
  // when the engine copied the bytes before writing them, so they cannot be placed).
  uint64_t unreadableSectors = 0;
  std::vector<std::pair<uint64_t, uint64_t>> zeroRanges;
};

// "zeros at bytes 32768-65535, 98304-98815" (inclusive ends), at most
// `limit` runs and then "and N more"; "" without runs.
std::string zeroRangesText(const std::vector<std::pair<uint64_t, uint64_t>>& ranges, size_t limit = 8);

struct RecoveryOutcome {
  uint64_t written = 0;  // written whole, with nothing known against the bytes
  uint64_t marked = 0;   // written, but not whole (zeros for unreadable sectors) or likely not the file's own
  uint64_t skipped = 0;  // answered No (or Cancel)
  uint64_t failed = 0;
  bool cancelled = false;
  std::string report;    // the page's report text ("" on FAT and EXT)
  std::vector<RecoveryFailure> failures;
  std::vector<RecoveryFailure> markedFiles;  // the marked ones, with the reason
  uint64_t unreadableSectors = 0;  // of the marked files, zeros in their place
  std::vector<std::filesystem::path> writtenPaths;
};

struct RecoveryOptions {
  // A file that could not be written whole is kept as "name.partial" instead of removed.
  bool keepPartial = false;
};

// Writes the files of `steps` under `destination` through the engine. Checks
// `running` before every file and hands it to the engine, which stops the
// file in hand when it is cleared. Each file is written under a temporary
// name in its folder, flushed, and renamed to its own name only when whole;
// one that is not whole (read error, full disk, cancel) is removed (or kept
// as name.partial) and counted as failed. A name this job has already
// written gets " (2)", " (3)" ... before its extension. Progress: total =
// files, done = files processed, status text per page. Asks `prompt` before
// writing over a file that was there before the job, until Yes to All.
// Sectors of a file that cannot be read are written as zeros (see
// ZeroFilledReads); such a file keeps its name but is marked, never counted
// as written whole.
RecoveryOutcome recoverFiles(ScanEngine& engine, const ResultTree& tree, const std::vector<RecoveryStep>& steps,
                             const std::filesystem::path& destination, OverwritePrompt& prompt, Progress& progress,
                             RunningFlag& running, const RecoveryOptions& options = {});

// The temporary file being written at this moment, or null. Safe to call
// from a signal handler (to remove it before the program ends at once).
const char* recoveryFileInProgress();

}  // namespace brenix
