#pragma once
// The lost-partition search: every unallocated ("Deleted") region of a disk
// is probed for a FAT32, NTFS or FAT16 boot sector at the place where a
// volume's first sector would be.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "disk/disk_catalog.h"
#include "disk/records.h"
#include "disk/sector_reader.h"

namespace brenix::rescue {

struct BootSignature {
  std::string fsName;      // "FAT32", "NTFS" or "FAT16"
  uint8_t partitionType;   // 0x0C / 0x0B (FAT32 primary / logical), 0x07, 0x06
};

// The boot-sector tests, in order, each with byte 0 = 0xEB and bytes
// 510-511 = 0x55 0xAA: "FAT3" at 82, "NTFS" at 3, "FAT1" at 54.
std::optional<BootSignature> matchBootSignature(const uint8_t* sector512, uint8_t slotKind);

// Where a volume made by a current partitioning tool would start in a region:
// the next 1 MiB boundary (sector multiple of 2048) for a primary region, and
// 2048 sectors after the record area's first sector for a logical one.
uint64_t alignedStart(const PartitionInfo& region);

// Copies `diskRecords` into `loaded` in order; each "Deleted" region of slot
// kind 1 or 2 gets the sector at its volumeStart as its bootSector and, on a
// match, the found kind and type (its extent stays the whole region). Where
// nothing matches there, the aligned start is tried; a volume found there
// starts at it and runs to the region's end. A failed read at volumeStart
// ends the search with failure; the copies made so far stay in `loaded`.
bool searchLostPartitions(SectorReader& reader, const std::vector<PartitionInfo>& diskRecords,
                          std::vector<PartitionInfo>& loaded);

// The same for a catalog disk, opening its drive read-only. `disk` nullptr:
// nothing selected, nothing done, success.
bool searchLostPartitions(const DiskCatalog& catalog, const PhysicalDisk* disk, std::vector<PartitionInfo>& loaded);

}  // namespace brenix::rescue
