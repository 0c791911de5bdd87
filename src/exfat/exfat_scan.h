#pragma once
// The exFAT engine's records and scans: where a file's data lies, the
// deleted-file walk from the root, and the formatted-drive sweep of the
// cluster heap for directory clusters.
#include <cstdint>
#include <string>
#include <vector>

#include "exfat/exfat_entry.h"
#include "exfat/exfat_volume.h"
#include "results/found_item.h"
#include "results/progress.h"
#include "results/recovery_context.h"
#include "results/result_tree.h"
#include "results/sweep_session.h"

namespace brenix::exfat {

// One found file: its decoded entry set and what the scan learned about it.
struct Item {
  EntrySet entry;
  bool deleted = false;
  ItemCondition condition = ItemCondition::Intact;
};

// A stretch of consecutive clusters.
struct ClusterRun {
  uint32_t first = 0;
  uint32_t count = 0;
};

struct Placement {
  std::vector<ClusterRun> runs;  // in file order, covering the clusters `length` needs
  bool complete = false;         // every needed cluster was found on the volume
  bool followedChain = false;    // taken from an intact allocation-table chain
};

// Where `length` bytes from `first` lie: one contiguous run when the entry
// says NoFatChain; otherwise the table's chain when it is intact (exactly as
// many clusters as the length needs, ending in the end mark); otherwise the
// clusters in order from `first`, skipping those the bitmap marks as in use.
Placement placeData(const Volume& volume, uint32_t first, uint64_t length, bool noFatChain);

struct ScanSink {
  ResultTree& tree;
  std::vector<Item>& records;
  Progress& progress;
  const RunningFlag& running;
};

// Which files a scan keeps: the preset's extensions, or name patterns
// ("*.jpg IMG*", separated by blanks, ',' or ';'; '*' and '?' wildcards,
// any case). Empty keeps everything.
struct NameFilter {
  FilePreset preset = FilePreset::None;
  std::string patterns;
  bool keeps(const std::string& name) const;
};

struct ScanCounters {
  size_t directories = 0;  // directories read
  size_t badChecksums = 0; // entry sets skipped for a wrong set checksum
  size_t badSets = 0;      // entry sets skipped for a wrong shape or a cut-off end
};

// The walk from the root: live folders through their chains or runs, deleted
// folders through their placement; every deleted file set, and every file of a
// deleted folder, becomes an item. Returns false when cancelled.
// `searchFolder` (folder names from the root down, any case) narrows the walk
// to that folder and what lies below it.
bool runDeletedScan(const Volume& volume, const NameFilter& filter, ScanSink out, ScanCounters* counters = nullptr,
                    const std::vector<std::string>& searchFolder = {});

// The folder names of a search folder below the partition's root path
// ("/media/card/DCIM/100" with root "/media/card" gives DCIM, 100).
std::vector<std::string> searchFolderNames(const std::string& searchFolder, const std::string& rootPath);

struct FormattedScanOptions {
  NameFilter filter;
  uint32_t firstCluster = 2;           // sweep range, inclusive
  uint32_t lastCluster = UINT32_MAX;
  // Set: the sweep for directory clusters continues from sweep->resume when
  // it fits (else sweep->refused says why and nothing is scanned), reports
  // to sweep->sink as it goes and leaves where it stopped in sweep->reached.
  // Its found list is the directory clusters as [start, count, ...] runs.
  SweepSession* sweep = nullptr;
};

// The sweep: clusters holding entry sets with valid checksums are directory
// clusters; folders are rebuilt from the folder sets that name them, and what
// no found folder names is listed under "Lost Files". Returns false when no
// directory cluster was found or a resume point was refused.
bool runFormattedScan(const Volume& volume, const FormattedScanOptions& options, ScanSink out,
                      ScanCounters* counters = nullptr);

// A name made safe as one path component (no separators or control
// characters, never "." or "..", never empty).
std::string safeComponent(const std::string& name);

FoundItem toFoundItem(const Item& item, uint64_t index);

}  // namespace brenix::exfat
