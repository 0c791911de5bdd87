#include "disk/disk_catalog.h"

#include <algorithm>

#include "disk/partition_discovery.h"

namespace brenix {

DiskCatalog::DiskCatalog() { lastExtended_.fill(-1); }

void DiskCatalog::refresh() {
  disks_.clear();
  volumes_.clear();
  roots_.clear();
  lastExtended_.fill(-1);
  tables_.fill(DiscoveryState{});

  DeviceTable& table = DeviceTable::instance();
  table.refresh();
  for (const DeviceEntry& d : table.devices()) {
    PhysicalDisk disk = makePhysicalDisk();
    disk.setModel(d.modelText);
    disk.sizeBytes = d.sizeBytes;
    disk.removable = d.removable;
    disk.driveNumber = static_cast<uint32_t>(d.driveNumber);
    disk.busType = d.busType;
    disks_.push_back(disk);
  }

  for (const MountedVolume& m : table.mountedVolumes()) {
    PartitionInfo v = makePartitionInfo();
    v.diskNumber = m.diskNumber;
    v.driveLetter = '*';  // no drive letters here; the mount point stands in for one
    v.setFs(m.fsName);
    v.setLabel(m.label);
    v.setStartSector(std::min<uint64_t>(m.startSector, PartitionInfo::kMaxSector));
    v.sectorsPerCluster = m.sectorsPerCluster;
    v.bytesPerSector = m.bytesPerSector;
    v.freeBytes = m.freeBytes;
    v.totalBytes = m.totalBytes;
    volumes_.push_back(v);
    roots_.push_back(m.mountPoint);
  }

  PartitionList combined;
  for (const PhysicalDisk& disk : disks_) {
    PartitionList list;
    DiscoveryState state;
    readPartitionTable(static_cast<int>(disk.driveNumber), list, state);
    lastExtended_[disk.driveNumber] = state.lastExtendedRecord;
    if (disk.driveNumber < kMaxDrives) tables_[disk.driveNumber] = state;
    combined.insert(combined.end(), list.begin(), list.end());
  }
  const size_t mounted = volumes_.size();
  mergeIntoVolumes(volumes_, mounted, combined);
  roots_.resize(volumes_.size());
}

int32_t DiskCatalog::lastExtendedRecord(int driveNumber) const {
  return driveNumber >= 0 && driveNumber < kMaxDrives ? lastExtended_[static_cast<size_t>(driveNumber)] : -1;
}

void DiskCatalog::setLastExtendedRecord(int driveNumber, int32_t sector) {
  if (driveNumber >= 0 && driveNumber < kMaxDrives) lastExtended_[static_cast<size_t>(driveNumber)] = sector;
}

const DiscoveryState& DiskCatalog::tableInfo(int driveNumber) const {
  static const DiscoveryState none;
  return driveNumber >= 0 && driveNumber < kMaxDrives ? tables_[static_cast<size_t>(driveNumber)] : none;
}

std::string DiskCatalog::partitionName(int driveNumber, uint64_t volumeStart) const {
  for (const GptPartitionName& n : tableInfo(driveNumber).names)
    if (n.volumeStart == volumeStart) return n.name;
  return {};
}

int DiskCatalog::findDiskByModel(std::string_view text) const {
  for (const PhysicalDisk& d : disks_)
    if (d.model() == text) return static_cast<int>(d.driveNumber);
  return -1;
}

std::vector<int> DiskCatalog::volumesOfDisk(int driveNumber) const {
  std::vector<int> out;
  for (size_t i = 0; i < volumes_.size(); ++i)
    if (volumes_[i].diskNumber == driveNumber) out.push_back(static_cast<int>(i));
  return out;
}

}  // namespace brenix
