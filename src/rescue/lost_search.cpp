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
