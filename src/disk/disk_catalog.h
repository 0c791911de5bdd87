#pragma once
// A snapshot of the machine's disks and of every volume, partition and
// unallocated region on them. Pages own one and refresh it on demand; the
// records handed out are copies.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "disk/device_table.h"
#include "disk/partition_discovery.h"
#include "disk/records.h"

namespace brenix {

class DiskCatalog {
 public:
  DiskCatalog();

  // Rebuilds all tables: disks, mounted volumes, then every disk's partition
  // table merged into the volume table.
  void refresh();

  int diskCount() const { return static_cast<int>(disks_.size()); }
  const PhysicalDisk& disk(int index) const { return disks_.at(static_cast<size_t>(index)); }
  int volumeCount() const { return static_cast<int>(volumes_.size()); }
  const PartitionInfo& volume(int index) const { return volumes_.at(static_cast<size_t>(index)); }
  // Where a volume is reachable as files: its mount point, empty when unmounted.
  const std::string& rootPath(int index) const { return roots_.at(static_cast<size_t>(index)); }

  int32_t lastExtendedRecord(int driveNumber) const;
  void setLastExtendedRecord(int driveNumber, int32_t sector);

  // What discovery found out about a drive's table: its kind, which GPT copy
  // was read, the problems met, the GPT partition names.
  const DiscoveryState& tableInfo(int driveNumber) const;
  // The GPT name of a drive's partition starting at `volumeStart`, empty when none.
  std::string partitionName(int driveNumber, uint64_t volumeStart) const;

  // Drive number of the first disk whose model text equals `text`, -1 when none.
  int findDiskByModel(std::string_view text) const;

  // The volumes of one disk in table order, with their indices in the volume table.
  std::vector<int> volumesOfDisk(int driveNumber) const;

 private:
  std::vector<PhysicalDisk> disks_;
  std::vector<PartitionInfo> volumes_;  // grows past 26 rather than dropping records
  std::vector<std::string> roots_;
  std::array<int32_t, kMaxDrives> lastExtended_{};
  std::array<DiscoveryState, kMaxDrives> tables_{};
};

}  // namespace brenix
