#pragma once
// Writing checked files out: which files each page takes and in what order,
// where each one lands under the output folder, the overwrite question, the
// error report, and the rule that keeps the output off the scanned device.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_io.h"
#include "disk/backing_store.h"
#include "results/progress.h"
#include "results/result_tree.h"
#include "results/scan_engine.h"

namespace brenix {

inline constexpr const char* kSamePartitionMessage =
    "It is not recommend to save your recovered files to the same partition,please select a different folder.";

// The message when nothing is checked ("" on the EXT page, which says nothing).
std::string nothingCheckedMessage(EngineKind kind);
// Caption of the nothing-checked message ("Notice" on NTFS and raw, "" = default).
std::string nothingCheckedCaption(EngineKind kind);

// One step of a recovery: create `folder`'s output folder and, with an item,
// write that file into it.
struct RecoveryStep {
  const ResultFolder* folder = nullptr;
  bool hasItem = false;
  size_t item = 0;  // index into the tree's items
  std::string place;  // when set: the file's path below the output folder ('/'-separated), in place of the page's layout
};

// The checked files in the page's order:
// FAT: breadth-first from the root over checked folders; each checked folder
//      is created (even without files), then its checked files in collection order.
// NTFS, raw: depth-first from the root, every checked file.
// EXT: the checked rows of the list (listRows: item indices of listFolder's rows).
std::vector<RecoveryStep> gatherRecoverySteps(EngineKind kind, const ResultTree& tree,
                                              const ResultFolder* listFolder = nullptr,
                                              const std::vector<size_t>* listRows = nullptr);
size_t countFiles(const std::vector<RecoveryStep>& steps);

// A name from disk made safe as one path component: '/', '\\', ':', NUL and
// other control characters become '_'; "", "." and ".." become "_"; at most 255
// bytes (the extension is kept when a long name is shortened).
std::string sanitizeFileName(std::string_view name);

// The folder components below the destination for a file of `folder` named
// `name`, as the page lays them out, each one sanitized:
// FAT, NTFS: the folder's path from below the root; EXT: none;
// raw: the text after the first '.' of the name.
std::vector<std::string> targetFolderComponents(EngineKind kind, const ResultFolder* folder, std::string_view name);
// destination / components / sanitized name.
std::filesystem::path targetPath(EngineKind kind, const std::filesystem::path& destination,
                                 const ResultFolder* folder, std::string_view name);

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

// A ByteSink onto a file: opened for writing, created if missing and
// truncated, so a file written over holds exactly the new bytes. Symbolic
// links are not followed.
class FileByteSink : public ByteSink {
 public:
  FileByteSink() = default;
  ~FileByteSink() override;
  FileByteSink(const FileByteSink&) = delete;
  FileByteSink& operator=(const FileByteSink&) = delete;

  // exclusive: the file must not exist yet (a temporary name).
  bool open(const std::filesystem::path& path, bool exclusive = false);
  bool write(const uint8_t* data, size_t size) override;
  // Flushes the written bytes to the device; false when that failed.
  bool sync();
  // Closes the file; false when a write or the close failed.
  bool close();
  int lastError() const { return error_; }
  uint64_t bytesWritten() const { return written_; }
  // Every byte written is also added to progress's bytes done.
  void countInto(Progress* progress) { progress_ = progress; }

 private:
  Progress* progress_ = nullptr;
  OsFile file_;
  int error_ = 0;
  bool failed_ = false;
  uint64_t written_ = 0;
};

struct RecoveryFailure {
  std::string name;
  std::filesystem::path path;
  std::string reason;
};

struct RecoveryOutcome {
  uint64_t written = 0;  // written whole, with nothing known against the bytes
  uint64_t marked = 0;   // written, but the engine knows the bytes are likely not the file's own
  uint64_t skipped = 0;  // answered No (or Cancel)
  uint64_t failed = 0;
  bool cancelled = false;
  std::string report;    // the page's report text ("" on FAT and EXT)
  std::vector<RecoveryFailure> failures;
  std::vector<RecoveryFailure> markedFiles;  // the marked ones, with the reason
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
RecoveryOutcome recoverFiles(ScanEngine& engine, const ResultTree& tree, const std::vector<RecoveryStep>& steps,
                             const std::filesystem::path& destination, OverwritePrompt& prompt, Progress& progress,
                             RunningFlag& running, const RecoveryOptions& options = {});

// The temporary file being written at this moment, or null. Safe to call
// from a signal handler (to remove it before the program ends at once).
const char* recoveryFileInProgress();

// The scanned source, for the same-partition rule.
struct ScannedSource {
  std::string devicePath;    // the drive's block device or image file
  bool isImage = false;      // an image file: writing beside it is fine, into a mounted copy of it is not
  uint64_t startSector = 0;  // sector range the scan covers on that device
  uint64_t endSector = 0;    // first sector past it (0: to the end)
  char driveLetter = '*';    // Windows: the scanned partition's letter
};

enum class TargetVerdict { Allowed, OnScannedSource, Unknown };
struct TargetCheck {
  TargetVerdict verdict = TargetVerdict::Allowed;
  std::string reason;  // Unknown: why the folder's disk cannot be known
};

// Whether writing under outDir (or, when it does not exist yet, its nearest
// existing parent) would land on what is being rescued. The folder's file
// system is followed to the disks and image files it is really stored on
// (partitions, LVM and dm-crypt, loop devices, FUSE mounts such as ntfs-3g,
// every device of a btrfs volume, an overlay's upper folder); it is refused
// when it reaches the scanned sector range of the scanned disk, or the
// scanned image file itself. Unknown when some link cannot be followed.
TargetCheck checkRecoveryTarget(const ScannedSource& source, const std::filesystem::path& outDir,
                                const SystemFiles& files = {});

// checkRecoveryTarget(...) == OnScannedSource, with the /sys tree at sysRoot.
bool outputOnScannedSource(const ScannedSource& source, const std::filesystem::path& outDir,
                           const std::filesystem::path& sysRoot = "/sys");

// The same test from device numbers: outputDev is st_dev of the output folder,
// sourceDev st_rdev of the scanned block device.
bool deviceOverlapsScan(uint64_t outputDev, uint64_t sourceDev, uint64_t startSector, uint64_t endSector,
                        const std::filesystem::path& sysRoot = "/sys");

}  // namespace brenix
