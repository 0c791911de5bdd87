#pragma once
// The mail repair job: a list of damaged store files, an output folder, and
// the worker that writes a repaired copy of each file into that folder with
// one report block per file.
#include <functional>
#include <string>
#include <vector>

#include "mail/mail_repair.h"
#include "results/progress.h"
#include "results/recovery_output.h"

namespace brenix::mail {

// What the store pages hand the report page: replaced each time a repair
// starts, emptied when the user leaves a store page.
struct RepairJob {
  StoreKind kind = StoreKind::OutlookExpress;
  std::vector<std::string> sources;  // full paths, in order
  std::string outputFolder;
  void clear() {
    sources.clear();
    outputFolder.clear();
  }
};

// The report texts.
inline constexpr char kSelectedFile[] = "Selected file: ";
inline constexpr char kUnsupportedText[] = "Unsupported format";
inline constexpr char kFailedText[] = "Repair failed";
inline constexpr char kRepairedText[] = "Repaired";
inline constexpr char kLogRule[] = "-------------------------------------------";  // 43 hyphens

// The result line of a repair result.
const char* resultText(int result);
// One report block: "Selected file: <source>", the result line and the rule,
// each followed by a line break.
std::string logBlock(const std::string& source, int result);

// Where the copy of `source` goes: the output folder joined with the source's
// file name. Empty when the source path has no usable file name ("", ".", ".."),
// so that no copy can land outside the output folder.
std::string destinationFor(const std::string& outputFolder, const std::string& source);

struct RepairSummary {
  int repaired = 0;
  int unsupported = 0;
  int failed = 0;
  int skipped = 0;     // "No" in the overwrite confirmation
  bool cancelled = false;
};

// Runs the job once, in list order. For each file: ask `prompt` (with the
// destination path) before replacing an existing destination, until it answers
// "Yes to All"; repair; and hand the report block to `log`. "No" skips the file without a block; "Cancel" (or a cleared
// running flag) ends the job, and a copy interrupted by it leaves no block and
// no file. Progress: total = number of files, done = files handled so far,
// status = the source being repaired.
RepairSummary runRepairJob(const RepairJob& job, Progress& progress, RunningFlag& running, OverwritePrompt& prompt,
                           const std::function<void(const std::string&)>& log);

}  // namespace brenix::mail
