#pragma once
// The selection, option and progress state shared by the drive page, the
// results pages and the jobs for one run of the program.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disk/records.h"
#include "results/progress.h"

namespace brenix {

struct RawTypeList;  // the signature database (raw engine)
struct SweepSession;  // a scan that can be stopped and continued (results/sweep_session.h)

enum class FilePreset : int { None = 0, Pictures = 3, Mail = 6 };

// The extensions a preset keeps (with the leading dot, lower case); empty for None.
const std::vector<std::string>& presetExtensions(FilePreset preset);

inline constexpr uint32_t kDefaultRawMaxSizeKb = 512000;

struct ScanOptions {
  std::string nameFilter;      // deleted-file scan: name patterns
  std::string searchFolder;    // deleted-file scan: the root path or a folder below it
  uint64_t startSector = 0;    // scan range, by default the partition's
  uint64_t endSector = 0;
  std::string previousFsName;  // formatted-drive scan: the file system the partition had
  uint32_t rawMaxSizeKb = kDefaultRawMaxSizeKb;
  // Raw scan: extensions (lower case, no dot) of the types to look for, chosen
  // on the command line; empty = the raw type list's own selected flags.
  std::vector<std::string> rawTypes;
  // Raw scan: the user picked the types in the raw options dialog (the raw
  // type list's selected flags); a file-type preset then leaves them alone.
  bool rawTypesPicked = false;
  // Formatted-drive scan: afterwards carve the clusters no found file claims
  // (by signatures, trimmed to size) into a "Carved" folder.
  bool carveUnclaimed = true;
  // Raw scan: trim carved files to their format's own end (off gives the
  // plain cut at the next header or the maximal size).
  bool rawTrim = true;
};

struct RecoveryContext {
  PartitionInfo partition = makePartitionInfo();
  std::string rootPath;              // mount point of the partition, empty when unmounted
  uint64_t partitionStart = 0;       // first sector
  uint64_t partitionEnd = 0;         // first sector past the partition
  ScanOptions options;
  FilePreset preset = FilePreset::None;
  std::shared_ptr<RawTypeList> rawTypes;
  Progress progress;
  // A scan of an engine that can continue it (ScanEngine::continuesScan): the
  // point to resume from and the sink of its checkpoints; null for a plain scan.
  SweepSession* sweep = nullptr;

  // Copies the partition and sets the ranges (scan range = partition range).
  void selectPartition(const PartitionInfo& p, const std::string& root);
};

}  // namespace brenix
