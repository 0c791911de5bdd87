#include "mail/repair_job.h"

#include <filesystem>

#include "common/file_io.h"

namespace fs = std::filesystem;

namespace brenix::mail {

namespace {

// An entry that would be replaced: anything but a folder, links included
// (a dangling link still names a file the user may care about).
bool destinationExists(const std::string& path) {
  const PathKind kind = pathKindOf(pathFromUtf8(path));
  return kind != PathKind::Missing && kind != PathKind::Directory;
}

}  // namespace

const char* resultText(int result) {
  if (result == kUnsupportedFormat) return kUnsupportedText;
  if (result == kRepairFailed) return kFailedText;
  return kRepairedText;
}

std::string logBlock(const std::string& source, int result) {
  std::string block = kSelectedFile;
  block += source;
  block += '\n';
  block += resultText(result);
  block += '\n';
  block += kLogRule;
  block += '\n';
  return block;
}

std::string destinationFor(const std::string& outputFolder, const std::string& source) {
  const fs::path name = fs::path(source).filename();
  const std::string n = name.string();
  if (n.empty() || n == "." || n == "..") return {};
  return (fs::path(outputFolder) / name).string();
}

RepairSummary runRepairJob(const RepairJob& job, Progress& progress, RunningFlag& running,
                           OverwritePrompt& prompt, const std::function<void(const std::string&)>& log) {
  RepairSummary summary;
  progress.reset();
  progress.setTotal(static_cast<int32_t>(job.sources.size()));
  bool askBeforeOverwrite = true;

  for (const std::string& source : job.sources) {
    if (!running.load()) {
      summary.cancelled = true;
      break;
    }
    progress.setStatus(source);
    const std::string destination = destinationFor(job.outputFolder, source);

    int result = kRepairFailed;
    bool skip = false;
    // The source itself is never a destination: refused before any question
    // is asked or anything is opened for writing.
    if (!destination.empty() && !sameFile(source, destination)) {
      if (askBeforeOverwrite && destinationExists(destination)) {
        const OverwriteAnswer answer = prompt.ask(destination);
        if (answer == OverwriteAnswer::Cancel) {
          running.store(false);
          summary.cancelled = true;
          break;
        }
        if (answer == OverwriteAnswer::YesToAll) askBeforeOverwrite = false;
        skip = answer == OverwriteAnswer::No;
      }
      if (!skip) {
        result = repairStore(job.kind, source, destination, &running);
        if (result == kRepairFailed && !running.load()) {
          summary.cancelled = true;
          break;
        }
      }
    }

    if (skip) {
      ++summary.skipped;
    } else {
      if (result == kUnsupportedFormat)
        ++summary.unsupported;
      else if (result == kRepairFailed)
        ++summary.failed;
      else
        ++summary.repaired;
      if (log) log(logBlock(source, result));
    }
    progress.addDone(1);
  }
  return summary;
}

}  // namespace brenix::mail
