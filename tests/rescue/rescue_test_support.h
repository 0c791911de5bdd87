#pragma once
// Attaching a disk image as the only drive and reading its catalog.
#include <filesystem>
#include <string>

#include "disk/device_table.h"
#include "disk/disk_catalog.h"

namespace brenix::test {

// Makes `image` drive 0 (no system disks) and refreshes `catalog`; the disk
// record, or nullptr when the image cannot be attached.
inline const PhysicalDisk* attachOnly(const std::filesystem::path& image, DiskCatalog& catalog) {
  DeviceTable& table = DeviceTable::instance();
  table.setIncludeSystemDisks(false);
  table.clearImages();
  std::string error;
  if (table.attachImage(image.string(), &error) != 0) return nullptr;
  catalog.refresh();
  return catalog.diskCount() == 1 ? &catalog.disk(0) : nullptr;
}

}  // namespace brenix::test
