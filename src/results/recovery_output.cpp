#include "results/recovery_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifndef _WIN32
#include <sys/sysmacros.h>
#endif

#include <cerrno>
#include <cstring>
#include <deque>
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
    out += (u < 0x20 || u == 0x7F || c == '/' || c == '\\') ? '_' : c;
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

FileByteSink::~FileByteSink() {
  if (fd_ >= 0) ::close(fd_);
}

bool FileByteSink::open(const fs::path& path) {
  if (fd_ >= 0) close();
  failed_ = false;
  error_ = 0;
  written_ = 0;
  int flags = O_WRONLY | O_CREAT | O_TRUNC;
#ifdef O_NOFOLLOW
  flags |= O_NOFOLLOW;
#endif
#ifdef O_CLOEXEC
  flags |= O_CLOEXEC;
#endif
  fd_ = ::open(path.c_str(), flags, 0644);
  if (fd_ < 0) {
    error_ = errno;
    return false;
  }
  return true;
}

bool FileByteSink::write(const uint8_t* data, size_t size) {
  if (fd_ < 0 || failed_) return false;
  while (size > 0) {
    const ssize_t n = ::write(fd_, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n < 0 ? errno : EIO;
      failed_ = true;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
    written_ += static_cast<uint64_t>(n);
  }
  return true;
}

bool FileByteSink::close() {
  if (fd_ < 0) return !failed_;
  if (::close(fd_) != 0 && !failed_) {
    error_ = errno;
    failed_ = true;
  }
  fd_ = -1;
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

}  // namespace

RecoveryOutcome recoverFiles(ScanEngine& engine, const ResultTree& tree, const std::vector<RecoveryStep>& steps,
                             const fs::path& destination, OverwritePrompt& prompt, Progress& progress,
                             RunningFlag& running) {
  const EngineKind kind = engine.kind();
  RecoveryOutcome out;
  ErrorReport report;
  bool askBeforeOverwrite = true;
  int32_t done = 0;
  progress.setTotal(static_cast<int32_t>(std::min<size_t>(countFiles(steps), INT32_MAX)));
  progress.setDone(0);
  if (kind == EngineKind::Ntfs || kind == EngineKind::ExFat || kind == EngineKind::Raw)
    progress.setStatus("Recovering Files : 0");

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
      if (staysInside(destination, folder)) fs::create_directories(folder, ec);
      continue;
    }
    if (step.item >= tree.itemCount()) continue;
    const FoundItem& item = tree.item(step.item);
    const fs::path target =
        step.place.empty() ? targetPath(kind, destination, step.folder, item.name) : destination / step.place;

    switch (kind) {
      case EngineKind::Fat: progress.setStatus(item.name); break;
      case EngineKind::Ext: progress.setStatus(target.string()); break;
      default: progress.setStatus("Recovering Files : " + item.name); break;
    }

    // A symbolic link already in the output folder must not lead the new folders elsewhere.
    const bool inside = staysInside(destination, target.parent_path());
    if (inside) fs::create_directories(target.parent_path(), ec);
    if (!inside || ec || !fs::is_directory(target.parent_path()) || !staysInside(destination, target.parent_path())) {
      fail(item, target, createFailedLine(item.name), ec ? ec.message() : "the folder cannot be created");
      progress.setDone(++done);
      continue;
    }

    struct stat st {};
    const bool exists = ::lstat(target.c_str(), &st) == 0;
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

    FileByteSink sink;
    if (!sink.open(target)) {
      fail(item, target, createFailedLine(item.name), std::strerror(sink.lastError()));
      progress.setDone(++done);
      continue;
    }
    // The file in hand is finished even when Cancel comes meanwhile.
    RunningFlag fileRunning{true};
    const WriteStatus status = engine.writeItem(item, sink, fileRunning);
    const bool closed = sink.close();
    if (status == WriteStatus::Ok && closed) {
      out.written += 1;
      out.writtenPaths.push_back(target);
    } else if (status == WriteStatus::ReadFailed) {
      fail(item, target, writeFailedLine(kind, item.name), "the file's data cannot be read");
    } else {
      const int err = sink.lastError();
      fail(item, target, writeFailedLine(kind, item.name), err ? std::strerror(err) : "the file cannot be written");
    }
    progress.setDone(++done);
  }
  if (!running.load()) out.cancelled = true;
  out.report = report.text();
  return out;
}

#ifndef _WIN32
namespace {

uint64_t readNumber(const fs::path& p, bool* ok = nullptr) {
  std::ifstream in(p);
  unsigned long long v = 0;
  const bool good = static_cast<bool>(in >> v);
  if (ok) *ok = good;
  return good ? v : 0;
}

bool readDevNumber(const fs::path& p, uint64_t* dev) {
  std::ifstream in(p);
  std::string text;
  if (!(in >> text)) return false;
  unsigned ma = 0, mi = 0;
  if (std::sscanf(text.c_str(), "%u:%u", &ma, &mi) != 2) return false;
  *dev = makedev(ma, mi);
  return true;
}

struct BlockExtent {
  uint64_t ownDev = 0;
  uint64_t diskDev = 0;
  uint64_t start = 0;
  uint64_t size = 0;
};

// The partitions or whole disks a block device finally lies on.
void collectExtents(const fs::path& node, int depth, std::vector<BlockExtent>& out) {
  if (depth > 8 || out.size() > 256) return;
  std::error_code ec;
  std::vector<fs::path> slaves;
  for (const auto& e : fs::directory_iterator(node / "slaves", ec)) slaves.push_back(e.path());
  if (!slaves.empty()) {
    for (const fs::path& s : slaves) {
      const fs::path real = fs::canonical(s, ec);
      if (!ec) collectExtents(real, depth + 1, out);
    }
    return;
  }
  BlockExtent x;
  if (!readDevNumber(node / "dev", &x.ownDev)) return;
  x.size = readNumber(node / "size");
  if (fs::exists(node / "partition", ec)) {
    if (!readDevNumber(node.parent_path() / "dev", &x.diskDev)) return;
    x.start = readNumber(node / "start");
  } else {
    x.diskDev = x.ownDev;
    x.start = 0;
    if (x.size == 0) x.size = UINT64_MAX;
  }
  out.push_back(x);
}

}  // namespace

bool deviceOverlapsScan(uint64_t outputDev, uint64_t sourceDev, uint64_t startSector, uint64_t endSector,
                        const fs::path& sysRoot) {
  if (outputDev == sourceDev) return true;
  std::error_code ec;
  const fs::path node = fs::canonical(
      sysRoot / "dev" / "block" / (std::to_string(major(outputDev)) + ":" + std::to_string(minor(outputDev))), ec);
  if (ec) return false;  // not a block device (tmpfs, network file system, ...)
  std::vector<BlockExtent> extents;
  collectExtents(node, 0, extents);
  for (const BlockExtent& x : extents) {
    if (x.ownDev == sourceDev) return true;
    if (x.diskDev != sourceDev) continue;
    const uint64_t end = x.size > UINT64_MAX - x.start ? UINT64_MAX : x.start + x.size;
    if (x.start < endSector && startSector < end) return true;
  }
  return false;
}

bool outputOnScannedSource(const ScannedSource& source, const fs::path& outDir, const fs::path& sysRoot) {
  if (source.isImage || source.devicePath.empty()) return false;
  struct stat src {};
  if (::stat(source.devicePath.c_str(), &src) != 0 || !S_ISBLK(src.st_mode)) return false;
  // The folder may not exist yet: its nearest existing parent decides.
  std::error_code ec;
  fs::path p = fs::absolute(outDir, ec);
  if (ec) return false;
  struct stat out {};
  while (::stat(p.c_str(), &out) != 0) {
    if (!p.has_parent_path() || p.parent_path() == p) return false;
    p = p.parent_path();
  }
  return deviceOverlapsScan(out.st_dev, src.st_rdev, source.startSector, source.endSector, sysRoot);
}
#else
bool deviceOverlapsScan(uint64_t, uint64_t, uint64_t, uint64_t, const fs::path&) { return false; }

bool outputOnScannedSource(const ScannedSource& source, const fs::path& outDir, const fs::path&) {
  if (source.isImage) return false;
  const std::string text = outDir.string();
  return !text.empty() && source.driveLetter != '*' && toUpper(text.substr(0, 1))[0] == source.driveLetter;
}
#endif

}  // namespace brenix
