#include "results/recovery_writer.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>
#include <system_error>

#include "common/file_io.h"
#include "common/text.h"
#include "disk/read_errors.h"
#include "results/cell_formats.h"

namespace fs = std::filesystem;

namespace brenix {

std::string overwriteQuestionText(const std::string& name) {
  return format("This folder already contains a file named '%s'", name.c_str()) +
         "\nWould you like to overwrite the exsisting file?";
}

void ErrorReport::add(const std::string& line) {
  if (text_.size() + line.size() <= kMaxChars) text_ += line;
}
namespace {

std::string createFailedLine(const std::string& name) { return "Can not create file '" + name + "'.\n"; }

std::string writeFailedLine(EngineKind kind, const std::string& name) {
  return kind == EngineKind::Raw ? "Can not write file '" + name + "'.\n" : "Can not recovery file '" + name + "'.\n";
}

bool reportsErrors(EngineKind kind) {
  return kind == EngineKind::Ntfs || kind == EngineKind::ExFat || kind == EngineKind::Raw;
}

// Whether `p` lies inside `base` once symbolic links are resolved.
bool staysInside(const fs::path& base, const fs::path& p) {
  std::error_code ec;
  const fs::path b = fs::weakly_canonical(base, ec);
  if (ec) return false;
  const fs::path c = fs::weakly_canonical(p, ec);
  if (ec) return false;
  auto bi = b.begin(), ci = c.begin();
  for (; bi != b.end(); ++bi, ++ci) {
    if (bi->empty()) continue;  // trailing separator
    if (ci == c.end() || *bi != *ci) return false;
  }
  return true;
}

// Names are compared without case: the output may be a FAT or NTFS volume.
std::string claimKey(const fs::path& p) { return toLower(p.string()); }

fs::path unusedInJob(const std::set<std::string>& claimed, const fs::path& target) {
  if (!claimed.count(claimKey(target))) return target;
  const std::string name = target.filename().string();
  const size_t dot = name.rfind('.');
  const bool hasExt = dot != std::string::npos && dot > 0;
  const std::string ext = hasExt ? name.substr(dot) : std::string();
  std::string stem = hasExt ? name.substr(0, dot) : name;
  for (int n = 2;; ++n) {
    const std::string suffix = " (" + std::to_string(n) + ")";
    std::string s = stem;
    const size_t room = 255 > suffix.size() + ext.size() ? 255 - suffix.size() - ext.size() : 1;
    s.resize(utf8CutLength(s, room));
    const fs::path candidate = target.parent_path() / (s + suffix + ext);
    if (!claimed.count(claimKey(candidate))) return candidate;
  }
}

// Passes each written block on, and tells `zeros` where it lands in the file.
class ZeroPlacingSink final : public ByteSink {
 public:
  ZeroPlacingSink(ByteSink& inner, ZeroFilledReads& zeros) : inner_(inner), zeros_(zeros) {}
  bool write(const uint8_t* data, size_t size) override {
    zeros_.written(data, size, position_);
    position_ += size;
    return inner_.write(data, size);
  }

 private:
  ByteSink& inner_;
  ZeroFilledReads& zeros_;
  uint64_t position_ = 0;
};

std::atomic<uint64_t> gTempCounter{0};

std::string temporaryName() {
  return ".brenix-" + std::to_string(static_cast<long long>(::getpid())) + "-" + std::to_string(++gTempCounter) + ".tmp";
}

// The temporary file in hand, readable from a signal handler: two buffers
// written in turn, the one in use published through an atomic pointer.
char gInProgressPaths[2][4096];
std::atomic<const char*> gInProgress{nullptr};
int gInProgressSlot = 0;

void setFileInProgress(const fs::path& p) {
  if (p.empty()) {
    gInProgress.store(nullptr);
    return;
  }
  const std::string text = pathToUtf8(p);
  if (text.size() >= sizeof gInProgressPaths[0]) return;
  gInProgressSlot ^= 1;
  std::memcpy(gInProgressPaths[gInProgressSlot], text.c_str(), text.size() + 1);
  gInProgress.store(gInProgressPaths[gInProgressSlot]);
}

}  // namespace

const char* recoveryFileInProgress() { return gInProgress.load(); }

std::string zeroRangesText(const std::vector<std::pair<uint64_t, uint64_t>>& ranges, size_t limit) {
  std::string text;
  size_t shown = 0;
  for (const auto& [at, length] : ranges) {
    if (length == 0) continue;
    if (shown == limit) {
      text += format(" and %zu more", ranges.size() - shown);
      break;
    }
    text += (shown++ ? ", " : "zeros at bytes ") +
            format("%llu-%llu", static_cast<unsigned long long>(at), static_cast<unsigned long long>(at + length - 1));
  }
  return text;
}

RecoveryOutcome recoverFiles(ScanEngine& engine, const ResultTree& tree, const std::vector<RecoveryStep>& steps,
                             const fs::path& destination, OverwritePrompt& prompt, Progress& progress,
                             RunningFlag& running, const RecoveryOptions& options) {
  const EngineKind kind = engine.kind();
  RecoveryOutcome out;
  std::set<std::string> claimed;  // target names written by this job
  {
    std::error_code ec;  // the front ends create it first; it must exist when the job starts
    fs::create_directories(destination, ec);
  }
  ErrorReport report;
  bool askBeforeOverwrite = true;
  int32_t done = 0;
  progress.setTotal(static_cast<int32_t>(std::min<size_t>(countFiles(steps), INT32_MAX)));
  progress.setDone(0);
  if (kind == EngineKind::Ntfs || kind == EngineKind::ExFat || kind == EngineKind::Raw)
    progress.setStatus("Recovering Files : 0");
  // Bytes: the files' sizes; done = the files behind plus what the file in hand has written.
  int64_t bytesBehind = 0;
  {
    uint64_t all = 0;
    for (const RecoveryStep& step : steps)
      if (step.hasItem && step.item < tree.itemCount()) all += std::min<uint64_t>(tree.item(step.item).size, INT64_MAX / 4096);
    progress.setBytesTotal(static_cast<int64_t>(std::min<uint64_t>(all, INT64_MAX)));
    progress.setBytesDone(0);
  }

  const auto fail = [&](const FoundItem& item, const fs::path& path, const std::string& line, std::string reason) {
    out.failed += 1;
    RecoveryFailure failure;
    failure.name = item.name;
    failure.path = path;
    failure.reason = std::move(reason);
    out.failures.push_back(std::move(failure));
    if (reportsErrors(kind)) report.add(line);
  };

  for (const RecoveryStep& step : steps) {
    if (!running.load()) {
      out.cancelled = true;
      break;
    }
    std::error_code ec;
    if (!step.hasItem) {
      // A checked FAT folder is created even when none of its files is checked.
      fs::path folder = destination;
      for (const std::string& part : targetFolderComponents(kind, step.folder, {})) folder /= part;
      if (fs::is_directory(destination, ec) && staysInside(destination, folder)) fs::create_directories(folder, ec);
      continue;
    }
    if (step.item >= tree.itemCount()) continue;
    const FoundItem& item = tree.item(step.item);
    progress.setBytesDone(bytesBehind);
    bytesBehind += static_cast<int64_t>(std::min<uint64_t>(item.size, INT64_MAX / 4096));
    fs::path target =
        step.place.empty() ? targetPath(kind, destination, step.folder, item.name) : destination / step.place;

    switch (kind) {
      case EngineKind::Fat: progress.setStatus(item.name); break;
      case EngineKind::Ext: progress.setStatus(target.string()); break;
      default: progress.setStatus("Recovering Files : " + item.name); break;
    }

    // The output folder itself is never re-created: when it vanishes the rest fails.
    if (!fs::is_directory(destination, ec)) {
      fail(item, target, createFailedLine(item.name), "the output folder '" + destination.string() + "' is gone");
      progress.setDone(++done);
      continue;
    }
    // A symbolic link already in the output folder must not lead the new folders elsewhere.
    const bool inside = staysInside(destination, target.parent_path());
    if (inside) fs::create_directories(target.parent_path(), ec);
    if (!inside || ec || !fs::is_directory(target.parent_path()) || !staysInside(destination, target.parent_path())) {
      fail(item, target, createFailedLine(item.name), ec ? ec.message() : "the folder cannot be created");
      progress.setDone(++done);
      continue;
    }

    // A name this job has written already gets " (2)", " (3)" ...; only files
    // that were there before the job are subject to the overwrite question.
    target = unusedInJob(claimed, target);
    const PathKind standing = pathKindOf(target);
    const bool exists = standing != PathKind::Missing;
    if (exists && standing != PathKind::Regular) {
      fail(item, target, createFailedLine(item.name),
           standing == PathKind::Link ? "a symbolic link stands under that name" : "something other than a file stands under that name");
      progress.setDone(++done);
      continue;
    }
    if (exists && askBeforeOverwrite) {
      const OverwriteAnswer answer = prompt.ask(item.name);
      if (answer == OverwriteAnswer::Cancel) {
        running.store(false);
        out.skipped += 1;
        out.cancelled = true;
        progress.setDone(++done);
        break;
      }
      if (answer == OverwriteAnswer::No) {
        out.skipped += 1;
        progress.setDone(++done);
        continue;
      }
      if (answer == OverwriteAnswer::YesToAll) askBeforeOverwrite = false;
    }

    // Written under a temporary name, flushed, and given its own name only when whole.
    const fs::path temp = target.parent_path() / temporaryName();
    FileByteSink sink;
    sink.countInto(&progress);
    if (!sink.open(temp, true)) {
      fail(item, target, createFailedLine(item.name), std::strerror(sink.lastError()));
      progress.setDone(++done);
      continue;
    }
    setFileInProgress(temp);
    ZeroFilledReads zeros;  // unreadable sectors come back as zeros, noted here
    ZeroPlacingSink placing(sink, zeros);
    const WriteStatus status = engine.writeItem(item, placing, running);
    const bool synced = status == WriteStatus::Ok && sink.sync();
    const bool closed = sink.close();
    std::string reason;
    if (status == WriteStatus::Ok && synced && closed && sink.bytesWritten() < item.size)
      reason = "only " + std::to_string(sink.bytesWritten()) + " of " + std::to_string(item.size) + " bytes could be read";
    else if (int e = 0; status == WriteStatus::Ok && synced && closed && !replaceFile(temp, target, &e))
      reason = std::string("it cannot be given its name: ") + std::strerror(e);
    else if (status == WriteStatus::ReadFailed)
      reason = "the file's data cannot be read";
    else if (status == WriteStatus::Cancelled)
      reason = "stopped before the file was complete";
    else if (status != WriteStatus::Ok || !synced || !closed)
      reason = sink.lastError() ? std::strerror(sink.lastError()) : "the file cannot be written";

    if (reason.empty() && (item.condition != ItemCondition::Intact || zeros.sectors() > 0)) {
      // Written as asked, but never a verified success.
      RecoveryFailure mark;
      mark.name = item.name;
      mark.path = target;
      mark.reason = conditionText(item.condition);
      mark.unreadableSectors = zeros.sectors();
      if (zeros.sectors() > 0) {
        for (const auto& [at, length] : zeros.outputRanges())  // only what lies inside the file
          if (at < sink.bytesWritten()) mark.zeroRanges.emplace_back(at, std::min(length, sink.bytesWritten() - at));
        std::string text = format(kUnreadableSectorsFormat, static_cast<unsigned long long>(zeros.sectors()));
        const std::string where = zeroRangesText(mark.zeroRanges);
        text += where.empty() ? "; zeros in their place" : "; " + where;
        mark.reason = mark.reason.empty() ? text : mark.reason + "; " + text;
        out.unreadableSectors += zeros.sectors();
      }
      out.marked += 1;
      claimed.insert(claimKey(target));
      if (reportsErrors(kind)) {
        if (item.condition != ItemCondition::Intact)
          report.add("File '" + item.name + "' is " + conditionText(item.condition) + ".\n");
        if (zeros.sectors() > 0)
          report.add("File '" + item.name + "' has " +
                     format(kUnreadableSectorsFormat, static_cast<unsigned long long>(zeros.sectors())) + ".\n");
      }
      out.markedFiles.push_back(std::move(mark));
    } else if (reason.empty()) {
      out.written += 1;
      out.writtenPaths.push_back(target);
      claimed.insert(claimKey(target));
    } else {
      // A file that is not whole never stands under its own name.
      fs::path kept;
      if (options.keepPartial && sink.bytesWritten() > 0) {
        kept = target;
        kept += ".partial";
        if (!replaceFile(temp, kept)) kept.clear();
      }
      if (kept.empty()) removeFile(temp);
      else reason += "; the part read is kept as " + kept.filename().string();
      fail(item, target, writeFailedLine(kind, item.name), reason);
    }
    setFileInProgress({});
    progress.setDone(++done);
  }
  if (!running.load()) out.cancelled = true;
  if (!out.cancelled) progress.setBytesDone(bytesBehind);
  out.report = report.text();
  return out;
}

}  // namespace brenix
