#include "rescue/lost_search.h"

#include <algorithm>
#include <cstring>

#include "common/bytes.h"
#include "disk/fs_detect.h"
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
  if (region.slotKind == static_cast<uint8_t>(SlotKind::Logical)) return region.slotPosition() + kAlign;
  return (region.startSector() + kAlign - 1) / kAlign * kAlign;
}

uint64_t bootSectorVolumeSectors(const uint8_t* b) {
  const uint32_t bytesPerSector = le16(b + 11);
  if (bytesPerSector < 512 || bytesPerSector > 4096 || (bytesPerSector & (bytesPerSector - 1)) != 0) return 0;
  const uint64_t scale = bytesPerSector / 512;
  if (std::memcmp(b + 3, "NTFS", 4) == 0) {
    const uint64_t total = le64(b + 40);
    return total && total < (1ull << 48) ? (total + 1) * scale : 0;
  }
  const uint64_t total = le16(b + 19) ? le16(b + 19) : le32(b + 32);
  return total * scale;
}

namespace {

constexpr uint64_t kMiB = 2048;        // sectors
constexpr uint64_t kCylinder = 16065;  // 255 heads x 63 sectors
constexpr uint8_t kLinuxType = 0x83;

uint64_t roundUp(uint64_t x, uint64_t step) { return (x + step - 1) / step * step; }

// The first candidate place at or after `x` in a region starting at `first`.
uint64_t nextPlace(uint64_t x, uint64_t first, bool logical) {
  if (x <= first) return first;
  uint64_t best = roundUp(x, kMiB);
  best = std::min(best, roundUp(x, kCylinder));
  // Older systems put a volume one track after its record: the first track
  // of a cylinder, or 63 sectors after a logical record on a boundary.
  best = std::min(best, x <= 63 ? 63 : roundUp(x - 63, kCylinder) + 63);
  if (logical) best = std::min(best, x <= 63 ? 63 : roundUp(x - 63, kMiB) + 63);
  return best;
}

std::optional<FoundVolume> fromBootSector(const uint8_t* b, uint8_t slotKind, uint64_t start, bool backup) {
  auto sig = matchBootSignature(b, slotKind);
  if (!sig) return std::nullopt;
  FoundVolume v;
  v.start = start;
  v.sectors = bootSectorVolumeSectors(b);
  v.fsName = sig->fsName;
  v.partitionType = sig->partitionType;
  v.fromBackup = backup;
  std::memcpy(v.bootSector.data(), b, 512);
  return v;
}

// An EXT superblock (1024 bytes) of a volume starting at `start`; `group` is
// the block group the copy must say it belongs to (0 for the primary).
std::optional<FoundVolume> fromSuperblock(const uint8_t* sb, uint64_t start, uint32_t group, uint32_t wantLogBlock,
                                          const uint8_t* firstSector) {
  ExtSuperblockInfo ext = probeExtSuperblock(sb);
  if (!ext.valid || ext.blockSize == 0) return std::nullopt;
  const uint32_t logBlock = le32(sb + 24);
  if (le16(sb + 90) != group) return std::nullopt;
  if (group != 0 && (logBlock != wantLogBlock || ext.blocksPerGroup != 8u * ext.blockSize)) return std::nullopt;
  uint64_t blocks = le32(sb + 4);
  if (le32(sb + 96) & 0x80) blocks |= uint64_t(le32(sb + 336)) << 32;  // 64-bit block numbers
  FoundVolume v;
  v.start = start;
  v.sectors = blocks * (ext.blockSize / 512);
  v.fsName = ext.name;
  v.partitionType = kLinuxType;
  v.fromBackup = group != 0;
  if (firstSector) std::memcpy(v.bootSector.data(), firstSector, 512);
  return v;
}

class RegionSearch {
 public:
  RegionSearch(SectorReader& reader, const PartitionInfo& region, SearchReport& report)
      : reader_(reader), region_(region), report_(report) {}

  std::vector<FoundVolume> run() {
    const uint64_t first = region_.startSector(), end = region_.endSector();
    const bool logical = region_.slotKind == static_cast<uint8_t>(SlotKind::Logical);
    std::vector<FoundVolume> out;
    uint64_t pos = first;  // nothing found may start before this
    for (uint64_t c = nextPlace(first, first, logical); c < end; c = nextPlace(c + 1, first, logical)) {
      if (report_.places >= kMaxSearchPlaces) {
        report_.capped = true;
        break;
      }
      ++report_.places;
      std::optional<FoundVolume> v = probe(c, logical, pos, end);
      if (!v) continue;
      const uint64_t size = v->sectors ? std::min(v->sectors, end - v->start) : end - v->start;
      v->sectors = size;
      pos = v->start + size;
      out.push_back(*v);
      // The search goes on after the volume.
      c = pos == 0 ? 0 : pos - 1;
    }
    // An NTFS volume whose backup boot sector is the region's last sector.
    if (pos < end && report_.places < kMaxSearchPlaces) {
      if (auto v = ntfsBackupEndingAt(end, pos, logical)) {
        v->sectors = end - v->start;
        out.push_back(*v);
      }
    }
    return out;
  }

 private:
  bool read(uint64_t sector, uint8_t* buffer, size_t bytes) {
    return sector < 0xFFFFFFFFull && reader_.readAt(sector, buffer, bytes);
  }

  // An NTFS backup boot sector in the sector before `boundary`, for a volume
  // starting at or after `pos`.
  std::optional<FoundVolume> ntfsBackupEndingAt(uint64_t boundary, uint64_t pos, bool logical) {
    uint8_t b[512];
    if (boundary == 0 || boundary - 1 < pos || !read(boundary - 1, b, sizeof b)) return std::nullopt;
    if (std::memcmp(b + 3, "NTFS", 4) != 0) return std::nullopt;
    const uint64_t sectors = bootSectorVolumeSectors(b);
    if (sectors == 0 || sectors > boundary || boundary - sectors < pos) return std::nullopt;
    (void)logical;
    return fromBootSector(b, region_.slotKind, boundary - sectors, true);
  }

  std::optional<FoundVolume> probe(uint64_t c, bool logical, uint64_t pos, uint64_t end) {
    uint8_t head[8 * 512];
    if (c + 8 <= end && read(c, head, sizeof head)) {
      if (auto v = fromBootSector(head, region_.slotKind, c, false)) return v;
      if (auto v = fromSuperblock(head + 1024, c, 0, 0, head)) return v;
      // FAT32 keeps a copy of its boot sector at sector 6.
      const uint8_t* copy = head + 6 * 512;
      if (std::memcmp(copy + 82, "FAT3", 4) == 0 && le16(copy + 50) == 6)
        if (auto v = fromBootSector(copy, region_.slotKind, c, true)) return v;
    }
    // EXT superblock copies at the start of block group 1, for 1, 2 and 4 KiB blocks.
    struct Copy {
      uint64_t offset;
      uint32_t logBlock;
    };
    for (Copy k : {Copy{16386, 0}, Copy{65536, 1}, Copy{262144, 2}}) {
      uint8_t sb[1024];
      if (c + k.offset + 2 > end || !read(c + k.offset, sb, sizeof sb)) continue;
      uint8_t firstSector[512] = {};
      if (auto v = fromSuperblock(sb, c, 1, k.logBlock, read(c, firstSector, 512) ? firstSector : nullptr)) return v;
    }
    // A volume ending here whose first sector is gone: its NTFS backup boot sector.
    if (c > region_.volumeStart) return ntfsBackupEndingAt(c, pos, logical);
    return std::nullopt;
  }

  SectorReader& reader_;
  const PartitionInfo& region_;
  SearchReport& report_;
};

}  // namespace

bool searchLostPartitions(SectorReader& reader, const std::vector<PartitionInfo>& diskRecords,
                          std::vector<PartitionInfo>& loaded, SearchReport* reportOut) {
  SearchReport report;
  loaded.clear();
  for (const PartitionInfo& record : diskRecords) {
    const bool region = record.fs() == fskind::kDeleted &&
                        (record.slotKind == static_cast<uint8_t>(SlotKind::Primary) ||
                         record.slotKind == static_cast<uint8_t>(SlotKind::Logical));
    if (!region) {
      loaded.push_back(record);
      continue;
    }
    PartitionInfo copy = record;
    if (!reader.readAt(copy.volumeStart, copy.bootSector, sizeof copy.bootSector)) {
      loaded.push_back(copy);
      if (reportOut) *reportOut = report;
      return false;
    }
    ++report.regions;
    report.sectors += record.totalBytes / 512;
    std::vector<FoundVolume> volumes = RegionSearch(reader, record, report).run();
    if (volumes.empty()) {
      loaded.push_back(copy);
      continue;
    }
    uint64_t previousEnd = record.slotPosition();
    for (const FoundVolume& v : volumes) {
      PartitionInfo r = record;
      std::memcpy(r.bootSector, v.bootSector.data(), sizeof r.bootSector);
      r.setFs(v.fsName);
      r.partitionType = v.partitionType;
      r.setStartSector(v.start);
      if (r.slotKind == static_cast<uint8_t>(SlotKind::Primary)) {
        r.setSlotPosition(v.start);
      } else {
        // Its extended boot record: 1 MiB before a 1 MiB-aligned volume, one
        // track before any other, never before the space left free.
        const uint64_t low = std::max<uint64_t>(record.slotPosition(), previousEnd);
        if (v.start % kMiB == 0 && v.start >= low + kMiB)
          r.setSlotPosition(v.start - kMiB);
        else if (v.start >= low + 63)
          r.setSlotPosition(v.start - 63);
        else
          r.setSlotPosition(low);
      }
      previousEnd = v.start + v.sectors;
      r.totalBytes = v.sectors * 512;
      r.freeBytes = r.totalBytes;
      loaded.push_back(r);
      ++report.found;
    }
  }
  if (reportOut) *reportOut = report;
  return true;
}

bool searchLostPartitions(const DiskCatalog& catalog, const PhysicalDisk* disk, std::vector<PartitionInfo>& loaded,
                          SearchReport* report) {
  if (!disk) return true;
  SectorReader reader;
  if (!reader.open(static_cast<int>(disk->driveNumber), OpenMode::Read)) return false;
  return searchLostPartitions(reader, recordsOfDisk(catalog, *disk), loaded, report);
}

}  // namespace brenix::rescue
