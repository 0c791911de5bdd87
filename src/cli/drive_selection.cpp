#include "cli/drive_selection.h"

#include <iostream>

#include "disk/device_table.h"

namespace brenix::cli {

void addDriveOptions(CLI::App& cmd, DriveSelection& sel, bool withPartition) {
  cmd.add_option("--image", sel.images, "Attach a disk image (repeatable)");
  cmd.add_flag("--images-only", sel.imagesOnly, "List attached images only, not the machine's disks");
  if (withPartition) {
    cmd.add_option("--disk", sel.disk, "Drive number N (as 'brenix disks' lists it)");
    cmd.add_option("--partition", sel.partition, "Partition number K within the disk");
  }
}

bool attachDrives(DriveSelection& sel) {
  DeviceTable& table = DeviceTable::instance();
  // A command that names images works on those images; the machine's own
  // disks are only listed when no image is given or --images-only is off.
  table.setIncludeSystemDisks(!sel.imagesOnly);
  for (const std::string& path : sel.images) {
    std::string error;
    const int drive = table.attachImage(path, &error);
    if (drive < 0) {
      std::cerr << error << "\n";
      return false;
    }
    sel.imageDrives.push_back(drive);
  }
  return true;
}

std::optional<ChosenPartition> choosePartition(const DriveSelection& sel, DiskCatalog& catalog, std::string* error) {
  int disk = sel.disk;
  if (disk < 0) {
    if (sel.images.empty()) {
      *error = "Choose a partition with --disk N --partition K, or with --image PATH [--partition K]";
      return std::nullopt;
    }
    disk = sel.imageDrives.empty() ? -1 : sel.imageDrives.front();
  }
  if (disk < 0 || disk >= catalog.diskCount()) {
    *error = "No such disk: " + std::to_string(disk);
    return std::nullopt;
  }
  std::vector<int> parts = catalog.volumesOfDisk(disk);
  int k = sel.partition;
  if (k < 0) {
    if (parts.size() == 1) {
      k = 0;
    } else {
      *error = "The disk holds " + std::to_string(parts.size()) +
               " partitions and regions; choose one with --partition K ('brenix disks' numbers them)";
      return std::nullopt;
    }
  }
  if (k >= static_cast<int>(parts.size())) {
    *error = "No partition " + std::to_string(k) + " on disk " + std::to_string(disk);
    return std::nullopt;
  }
  ChosenPartition chosen;
  const int index = parts[static_cast<size_t>(k)];
  chosen.info = catalog.volume(index);
  chosen.rootPath = catalog.rootPath(index);
  chosen.disk = disk;
  chosen.number = k;
  return chosen;
}

}  // namespace brenix::cli
