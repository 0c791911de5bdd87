#pragma once
// The lost-partition search: every unallocated ("Deleted") region of a disk
// is probed for a FAT32, NTFS or FAT16 boot sector at the place where a
// volume's first sector would be.
#include <array>
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

// What a search looked at and what it found.
struct SearchReport {
  int regions = 0;        // unallocated regions searched
  uint64_t sectors = 0;   // their sectors
  uint64_t places = 0;    // candidate start sectors probed
  int found = 0;          // volumes found
  bool capped = false;    // the probe limit was reached; later places were not probed
};

// At most this many candidate places are probed in one search (each costs a
// few sector reads): 2^20 places cover about 1 TiB of free space.
inline constexpr uint64_t kMaxSearchPlaces = 1u << 20;

// A volume recognised at a candidate place.
struct FoundVolume {
  uint64_t start = 0;
  uint64_t sectors = 0;      // from the volume's own boot sector or superblock; 0 when it gives none
  std::string fsName;        // "FAT32", "NTFS", "FAT16", "EXT2", "EXT3", "EXT4"
  uint8_t partitionType = 0;
  bool fromBackup = false;   // recognised from a backup boot sector or superblock copy
  std::array<uint8_t, 512> bootSector{};  // what the volume's first sector should hold
};

// The size a boot sector gives its volume, in 512-byte sectors: NTFS total
// sectors + 1 (its backup boot sector), the FAT total sectors; 0 when none.
uint64_t bootSectorVolumeSectors(const uint8_t* sector512);

// Copies `diskRecords` into `loaded` in order; each "Deleted" region of slot
// kind 1 or 2 is searched: its volumeStart, every 1 MiB boundary, every
// cylinder boundary of the 255-head/63-sector geometry (and 63 sectors after
// one in a logical region) are probed for a boot sector or EXT superblock, and
// for the backup copies (the FAT32 one at sector 6, the NTFS one in a volume's
// last sector, EXT superblock copies in group 1). Each volume found becomes a
// record sized from its own boot sector or superblock (the whole rest of the
// region where it gives no size), clipped to the region, and the search goes
// on after it. A region with nothing found stays "Deleted" with the sector at
// its volumeStart as its bootSector. A failed read at a region's volumeStart
// ends the search with failure; the copies made so far stay in `loaded`.
bool searchLostPartitions(SectorReader& reader, const std::vector<PartitionInfo>& diskRecords,
                          std::vector<PartitionInfo>& loaded, SearchReport* report = nullptr);

// The same for a catalog disk, opening its drive read-only. `disk` nullptr:
// nothing selected, nothing done, success.
bool searchLostPartitions(const DiskCatalog& catalog, const PhysicalDisk* disk, std::vector<PartitionInfo>& loaded,
                          SearchReport* report = nullptr);

}  // namespace brenix::rescue
