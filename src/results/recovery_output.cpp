#include "results/recovery_output.h"

#include <unistd.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/sysmacros.h>
#endif

#include <cerrno>
#include <cstring>
#include <atomic>
#include <deque>
#include <set>
#include <fstream>
#include <system_error>

#include "common/text.h"
#include "results/cell_formats.h"
#include "results/results_model.h"

namespace fs = std::filesystem;

namespace brenix {

std::string nothingCheckedMessage(EngineKind kind) {
  switch (kind) {
    case EngineKind::Fat: return "Please check files for recovering";
    case EngineKind::Ntfs:
    case EngineKind::ExFat:
    case EngineKind::Raw: return "Please select file to recover!";
    case EngineKind::Ext: return {};
  }
  return {};
}

std::string nothingCheckedCaption(EngineKind kind) {
  return kind == EngineKind::Ntfs || kind == EngineKind::ExFat || kind == EngineKind::Raw ? "Notice" : "";
}

std::vector<RecoveryStep> gatherRecoverySteps(EngineKind kind, const ResultTree& tree, const ResultFolder* listFolder,
                                              const std::vector<size_t>* listRows) {
  std::vector<RecoveryStep> steps;
  const auto addFile = [&](const ResultFolder& f, size_t index) {
    if (index < tree.itemCount() && tree.item(index).checked) steps.push_back({&f, true, index, {}});
  };
  switch (kind) {
    case EngineKind::Fat: {
      std::deque<const ResultFolder*> queue{&tree.root()};
      while (!queue.empty()) {
        const ResultFolder* f = queue.front();
        queue.pop_front();
        if (!f->checked) continue;  // an unchecked folder has nothing checked below it
        for (const auto& child : f->children) queue.push_back(child.get());
        steps.push_back({f, false, 0, {}});
        for (size_t index : f->items) addFile(*f, index);
      }
      break;
    }
    case EngineKind::Ntfs:
    case EngineKind::ExFat:
    case EngineKind::Raw:
      forEachFolder(tree.root(), [&](const ResultFolder& f) {
        for (size_t index : f.items) addFile(f, index);
      });
      break;
    case EngineKind::Ext:
      if (!listFolder) break;
      if (listRows) {
        for (size_t index : *listRows) addFile(*listFolder, index);
      } else {
        for (size_t index : listFolder->items) addFile(*listFolder, index);
      }
      break;
  }
  return steps;
}

size_t countFiles(const std::vector<RecoveryStep>& steps) {
  size_t n = 0;
  for (const auto& s : steps) n += s.hasItem ? 1 : 0;
  return n;
}

std::string sanitizeFileName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    // ':' too: a stream item "name:stream" is written as "name_stream".
    out += (u < 0x20 || u == 0x7F || c == '/' || c == '\\' || c == ':') ? '_' : c;
  }
  if (out.empty() || out == "." || out == "..") out = std::string(out.size() ? out.size() : 1, '_');
  constexpr size_t kMaxName = 255;
  if (out.size() > kMaxName) {
    std::string ext;
    const size_t dot = out.rfind('.');
    if (dot != std::string::npos && out.size() - dot <= 16) ext = out.substr(dot);
    size_t keep = kMaxName - ext.size();
    // Do not cut a UTF-8 sequence in half.
    while (keep > 0 && (static_cast<unsigned char>(out[keep]) & 0xC0) == 0x80) --keep;
    out = out.substr(0, keep) + ext;
  }
  return out;
}

std::vector<std::string> targetFolderComponents(EngineKind kind, const ResultFolder* folder, std::string_view name) {
  std::vector<std::string> parts;
  switch (kind) {
    case EngineKind::Fat:
    case EngineKind::Ntfs:
    case EngineKind::ExFat:
      if (folder)
        for (const std::string& n : ResultTree::pathOf(*folder)) parts.push_back(sanitizeFileName(n));
      break;
    case EngineKind::Raw: {
      const std::string ext = extensionAfterFirstDot(sanitizeFileName(name));
      if (!ext.empty()) parts.push_back(sanitizeFileName(ext));
      break;
    }
    case EngineKind::Ext: break;
  }
  return parts;
}

fs::path targetPath(EngineKind kind, const fs::path& destination, const ResultFolder* folder, std::string_view name) {
  fs::path p = destination;
  for (const std::string& part : targetFolderComponents(kind, folder, name)) p /= part;
  return p / sanitizeFileName(name);
}

std::string overwriteQuestionText(const std::string& name) {
  return format("This folder already contains a file named '%s'", name.c_str()) +
         "\nWould you like to overwrite the exsisting file?";
}

void ErrorReport::add(const std::string& line) {
  if (text_.size() + line.size() <= kMaxChars) text_ += line;
}

FileByteSink::~FileByteSink() = default;

bool FileByteSink::open(const fs::path& path, bool exclusive) {
  if (file_.isOpen()) close();
  failed_ = false;
  error_ = 0;
  written_ = 0;
  // Binary on every system; never through a link standing under the name.
  if (!file_.open(path, exclusive ? FileMode::CreateNew : FileMode::CreateOrTruncate)) {
    error_ = file_.lastError();
    return false;
  }
  return true;
}

bool FileByteSink::write(const uint8_t* data, size_t size) {
  if (!file_.isOpen() || failed_) return false;
  if (!file_.write(data, size)) {
    error_ = file_.lastError();
    failed_ = true;
    return false;
  }
  written_ += size;
  if (progress_) progress_->addBytesDone(size);
  return true;
}

bool FileByteSink::sync() {
  if (!file_.isOpen() || failed_) return false;
  if (!file_.sync()) {
    error_ = file_.lastError();
    failed_ = true;
    return false;
  }
  return true;
}

bool FileByteSink::close() {
  if (!file_.isOpen()) return !failed_;
  if (!file_.close() && !failed_) {
    error_ = file_.lastError();
    failed_ = true;
  }
  return !failed_;
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
    if (s.size() > room) {
      size_t keep = room;
      while (keep > 0 && (static_cast<unsigned char>(s[keep]) & 0xC0) == 0x80) --keep;
      s.resize(keep);
    }
    const fs::path candidate = target.parent_path() / (s + suffix + ext);
    if (!claimed.count(claimKey(candidate))) return candidate;
  }
}

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
    out.failures.push_back({item.name, path, std::move(reason)});
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
    const WriteStatus status = engine.writeItem(item, sink, running);
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

    if (reason.empty() && item.condition != ItemCondition::Intact) {
      // Written as asked, but never a verified success.
      out.marked += 1;
      out.markedFiles.push_back({item.name, target, conditionText(item.condition)});
      claimed.insert(claimKey(target));
      if (reportsErrors(kind)) report.add("File '" + item.name + "' is " + conditionText(item.condition) + ".\n");
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

namespace {

bool rangesOverlap(uint64_t a, uint64_t aLen, uint64_t b, uint64_t bLen) {
  const uint64_t aEnd = aLen > UINT64_MAX - a ? UINT64_MAX : a + aLen;
  const uint64_t bEnd = bLen > UINT64_MAX - b ? UINT64_MAX : b + bLen;
  return a < bEnd && b < aEnd;
}

// The scanned stretches: of disks (a partition node mapped onto its disk) and of image files.
struct ScannedStretches {
  std::vector<DiskExtent> disks;
  std::vector<FileExtent> files;
};

[[maybe_unused]] ScannedStretches sourceStretches(const ScannedSource& source, const SystemFiles& files) {
  ScannedStretches s;
  const uint64_t start = source.startSector;
  const uint64_t count = source.endSector > start ? source.endSector - start : UINT64_MAX;
#ifndef _WIN32
  struct stat st {};
  if (source.devicePath.empty() || ::stat(source.devicePath.c_str(), &st) != 0) return s;
  if (S_ISREG(st.st_mode)) {
    const uint64_t bytes = count > UINT64_MAX / 512 ? UINT64_MAX : count * 512;
    s.files.push_back({static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                       start > UINT64_MAX / 512 ? UINT64_MAX : start * 512, bytes, source.devicePath});
    return s;
  }
  if (!S_ISBLK(st.st_mode)) return s;
  const BackingStore b = backingStoreOfDevice(st.st_rdev, files);
  s.files = b.files;  // a loop device: its image file
  // A partition or whole disk maps the scanned range straight onto the disk;
  // below a stacked device each lower stretch counts whole.
  const bool single = b.disks.size() == 1 && b.disks.front().ownDev == st.st_rdev;
  if (single) {
    DiskExtent x = b.disks.front();
    x.start += start;
    x.count = count;
    s.disks.push_back(x);
  } else {
    s.disks = b.disks;
  }
  DiskExtent self;  // the scanned device itself, whatever lies above it
  self.diskDev = self.ownDev = st.st_rdev;
  self.start = start;
  self.count = count;
  s.disks.push_back(self);
#else
  (void)files;
  (void)count;
#endif
  return s;
}

}  // namespace

TargetCheck checkRecoveryTarget(const ScannedSource& source, const fs::path& outDir, const SystemFiles& files) {
  TargetCheck check;
#ifdef _WIN32
  (void)files;
  const std::string text = fs::absolute(outDir).string();
  if (text.size() < 2 || text[1] != ':') {
    check.verdict = TargetVerdict::Unknown;
    check.reason = "the folder has no drive letter";
  } else if (!source.isImage && source.driveLetter != '*' && toUpper(text.substr(0, 1))[0] == source.driveLetter) {
    check.verdict = TargetVerdict::OnScannedSource;
  }
  return check;
#else
  std::error_code ec;
  if (!source.devicePath.empty()) {
    const fs::path image = fs::weakly_canonical(source.devicePath, ec);
    const fs::path out = fs::weakly_canonical(fs::absolute(outDir, ec), ec);
    if (!ec && !image.empty() && out == image) {
      check.verdict = TargetVerdict::OnScannedSource;
      return check;
    }
  }
  const ScannedStretches scanned = sourceStretches(source, files);
  const BackingStore store = backingStoreOf(outDir, files);
  for (const DiskExtent& x : store.disks)
    for (const DiskExtent& y : scanned.disks)
      // A file system on the scanned device itself spans all of it.
      if (x.ownDev == y.ownDev || (x.diskDev == y.diskDev && rangesOverlap(x.start, x.count, y.start, y.count))) {
        check.verdict = TargetVerdict::OnScannedSource;
        return check;
      }
  for (const FileExtent& f : store.files)
    for (const FileExtent& g : scanned.files)
      if (f.dev == g.dev && f.ino == g.ino && rangesOverlap(f.offset, f.length, g.offset, g.length)) {
        check.verdict = TargetVerdict::OnScannedSource;
        return check;
      }
  if (!store.known) {
    check.verdict = TargetVerdict::Unknown;
    check.reason = store.reason;
  }
  return check;
#endif
}

bool outputOnScannedSource(const ScannedSource& source, const fs::path& outDir, const fs::path& sysRoot) {
  SystemFiles files;
  files.sys = sysRoot;
  return checkRecoveryTarget(source, outDir, files).verdict == TargetVerdict::OnScannedSource;
}

bool deviceOverlapsScan(uint64_t outputDev, uint64_t sourceDev, uint64_t startSector, uint64_t endSector,
                        const fs::path& sysRoot) {
  if (outputDev == sourceDev) return true;
  SystemFiles files;
  files.sys = sysRoot;
  const BackingStore out = backingStoreOfDevice(outputDev, files);
  const uint64_t count = endSector > startSector ? endSector - startSector : UINT64_MAX;
  for (const DiskExtent& x : out.disks) {
    if (x.ownDev == sourceDev) return true;
    if (x.diskDev == sourceDev && rangesOverlap(x.start, x.count, startSector, count)) return true;
  }
  return false;
}

}  // namespace brenix
