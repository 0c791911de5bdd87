#pragma once
// Options every command shares for choosing drives and a partition:
// --image PATH (repeatable), --images-only, --disk N, --partition K.
#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

#include "disk/disk_catalog.h"

namespace brenix::cli {

struct DriveSelection {
  std::vector<std::string> images;
  bool imagesOnly = false;
  int disk = -1;
  int partition = -1;
  std::vector<int> imageDrives;  // drive numbers the images got, filled by attachDrives
};

void addDriveOptions(CLI::App& cmd, DriveSelection& sel, bool withPartition);

// Attaches the images and applies --images-only. Prints a clear error naming
// the path and returns false when an image cannot be opened.
bool attachDrives(DriveSelection& sel);

// A partition chosen on the command line, with its root path (mount point).
struct ChosenPartition {
  PartitionInfo info = makePartitionInfo();
  std::string rootPath;
  int disk = -1;
  int number = -1;  // K: its place in the disk's unfiltered list
};

// Resolves --disk/--partition or --image [--partition] against a refreshed
// catalog. An image holding one whole-disk volume needs no --partition.
std::optional<ChosenPartition> choosePartition(const DriveSelection& sel, DiskCatalog& catalog, std::string* error);

}  // namespace brenix::cli
