#pragma once
// The two FAT scans: the breadth-first deleted-file walk from the root, and
// the formatted-drive scan that finds directory clusters in the data area.
// Both fill a ResultTree (folders with found files) and keep the full
// records in `records`; each FoundItem's engineIndex is its record's index.
#include <cstdint>
#include <string>
#include <vector>

#include "fat/fat_item.h"
#include "fat/fat_volume.h"
#include "results/progress.h"
#include "results/recovery_context.h"
#include "results/result_tree.h"
#include "results/sweep_session.h"

namespace brenix {

struct FatScanSink {
  ResultTree& tree;
  std::vector<FatItem>& records;
  Progress& progress;
  const RunningFlag& running;
};

struct FatDeletedScanOptions {
  std::vector<std::string> folderFilter;
  std::vector<FatNamePattern> patterns{{std::string(), std::string()}};
};

// The walk from the root. Returns false when it was cancelled.
bool runFatDeletedScan(const FatVolume& volume, const FatDeletedScanOptions& options, FatScanSink out);

struct FatFormattedScanOptions {
  FilePreset preset = FilePreset::None;
  // Scan range in the volume's own sectors (bytes per sector of the volume),
  // end exclusive; the default covers the whole volume.
  uint64_t rangeStart = 0;
  uint64_t rangeEnd = UINT64_MAX;
  // Continues an earlier sweep and reports where this one stands (position
  // in clusters; found: the last directory cluster, then start and count of
  // each directory run). A resume point that does not fit is refused.
  SweepSession* sweep = nullptr;
};

// The two-pass scan. Returns false when no directory cluster was found. A
// cancel ends the first pass; the directories it found are still built.
bool runFatFormattedScan(const FatVolume& volume, const FatFormattedScanOptions& options, FatScanSink out);

// Removes every folder below the root whose subtree holds no found file.
void pruneEmptyFolders(ResultFolder& root);

// Whether an extension (any case) is kept by a preset in the formatted scan.
bool fatPresetKeeps(FilePreset preset, const std::string& extension);

}  // namespace brenix
