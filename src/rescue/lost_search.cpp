#include "rescue/lost_search.h"

#include <cstring>

#include "disk/fs_kind.h"
#include "disk/mbr.h"
#include "rescue/backup_file.h"

namespace brenix::rescue {

std::optional<BootSignature> matchBootSignature(const uint8_t* s, uint8_t slotKind) {
  if (s[0] != 0xEB || s[510] != 0x55 || s[511] != 0xAA) return std::nullopt;
  if (std::memcmp(s + 82, "FAT3", 4) == 0)
    return BootSignature{std::string(fskind::kFat32),
                         slotKind == static_cast<uint8_t>(SlotKind::Logical) ? parttype::kFat32 : parttype::kFat32Lba};
  if (std::memcmp(s + 3, "NTFS", 4) == 0) return BootSignature{std::string(fskind::kNtfs), parttype::kNtfs};
  if (std::memcmp(s + 54, "FAT1", 4) == 0) return BootSignature{std::string(fskind::kFat16), parttype::kFat16};
  return std::nullopt;
}

uint64_t alignedStart(const PartitionInfo& region) {
  constexpr uint64_t kAlign = 2048;
  if (region.slotKind == static_cast<uint8_t>(SlotKind::Logical)) return uint64_t(region.slotSector) + kAlign;
  return (uint64_t(region.volumeStart) + kAlign - 1) / kAlign * kAlign;
}

bool searchLostPartitions(SectorReader& reader, const std::vector<PartitionInfo>& diskRecords,
                          std::vector<PartitionInfo>& loaded) {
  loaded.clear();
  for (const PartitionInfo& record : diskRecords) {
    loaded.push_back(record);
    PartitionInfo& copy = loaded.back();
    const bool region = copy.fs() == fskind::kDeleted &&
                        (copy.slotKind == static_cast<uint8_t>(SlotKind::Primary) ||
                         copy.slotKind == static_cast<uint8_t>(SlotKind::Logical));
    if (!region) continue;
    if (!reader.readAt(copy.volumeStart, copy.bootSector, sizeof copy.bootSector)) return false;
    if (auto sig = matchBootSignature(copy.bootSector, copy.slotKind)) {
      copy.setFs(sig->fsName);
      copy.partitionType = sig->partitionType;
      continue;
    }
    // Partitioning tools of the last decade put volumes on 1 MiB boundaries:
    // look there too before giving the region up.
    const uint64_t aligned = alignedStart(copy);
    if (aligned == copy.volumeStart || aligned >= copy.endSector()) continue;
    uint8_t sector[512];
    if (!reader.readAt(aligned, sector, sizeof sector)) continue;
    if (auto sig = matchBootSignature(sector, copy.slotKind)) {
      const uint64_t end = copy.endSector();
      std::memcpy(copy.bootSector, sector, sizeof sector);
      copy.setFs(sig->fsName);
      copy.partitionType = sig->partitionType;
      copy.volumeStart = static_cast<uint32_t>(aligned);
      if (copy.slotKind == static_cast<uint8_t>(SlotKind::Primary)) copy.slotSector = copy.volumeStart;
      copy.totalBytes = (end - aligned) * 512;
      copy.freeBytes = copy.totalBytes;
    }
  }
  return true;
}

bool searchLostPartitions(const DiskCatalog& catalog, const PhysicalDisk* disk, std::vector<PartitionInfo>& loaded) {
  if (!disk) return true;
  SectorReader reader;
  if (!reader.open(static_cast<int>(disk->driveNumber), OpenMode::Read)) return false;
  return searchLostPartitions(reader, recordsOfDisk(catalog, *disk), loaded);
}

}  // namespace brenix::rescue
