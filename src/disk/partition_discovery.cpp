#include "disk/partition_discovery.h"

#include <cstring>
#include <set>

#include "disk/fs_detect.h"
#include "disk/fs_kind.h"
#include "disk/mbr.h"

namespace brenix {

namespace {

constexpr uint32_t kNoExtended = 0xFFFFFFFF;

PartitionInfo baseRecord(int driveNumber, SlotKind kind) {
  PartitionInfo r = makePartitionInfo();
  r.diskNumber = driveNumber;
  r.driveLetter = '*';
  r.slotKind = static_cast<uint8_t>(kind);
  r.sectorsPerCluster = 8;
  r.bytesPerSector = 512;
  r.setLabel(fskind::kUnknown);
  return r;
}

PartitionInfo entryRecord(int driveNumber, SlotKind kind, uint32_t slotSector, uint32_t volumeStart,
                          uint32_t extendedBase, const MbrEntry& entry) {
  PartitionInfo r = baseRecord(driveNumber, kind);
  r.slotSector = slotSector;
  r.volumeStart = volumeStart;
  r.extendedBase = extendedBase;
  r.totalBytes = static_cast<uint64_t>(entry.count) * kSectorSize;
  r.freeBytes = r.totalBytes;
  r.partitionType = entry.type;
  return r;
}

// Reads the record's boot sector, and for type 0x83 its superblock, then names it.
bool readAndName(SectorReader& reader, PartitionInfo& record, uint8_t type) {
  if (!reader.readAt(record.volumeStart, record.bootSector, sizeof record.bootSector)) return false;
  uint8_t superblock[1024];
  const uint8_t* sb = nullptr;
  if (type == parttype::kLinux) {
    if (!reader.readAt(uint64_t(record.volumeStart) + 2, superblock, sizeof superblock)) return false;
    sb = superblock;
  }
  applyPartitionType(record, type, sb);
  return true;
}

void fillExt(PartitionInfo& record, const ExtSuperblockInfo& ext) {
  record.setFs(ext.name);
  record.setLabel(ext.label);
  record.sectorsPerCluster = ext.blocksPerGroup;
  record.bytesPerSector = ext.blockSize;
  record.freeBytes = ext.freeBytes;
}

PartitionInfo regionRecord(int driveNumber, uint64_t h, uint32_t extendedStart, uint32_t extendedCount) {
  const bool inside = extendedStart != kNoExtended && h >= extendedStart &&
                      h <= uint64_t(extendedStart) + extendedCount;
  PartitionInfo r = baseRecord(driveNumber, inside ? SlotKind::Logical : SlotKind::Primary);
  r.setFs(fskind::kDeleted);
  r.slotSector = static_cast<uint32_t>(h);
  r.extendedBase = inside ? extendedStart : 0;
  r.volumeStart = static_cast<uint32_t>(inside ? h + 63 : h);
  return r;
}

}  // namespace

bool insertSorted(PartitionList& list, const PartitionInfo& record) {
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->slotSector == record.slotSector) return false;
    if (it->slotSector > record.slotSector) {
      list.insert(it, record);
      return true;
    }
  }
  list.push_back(record);
  return true;
}

void applyPartitionType(PartitionInfo& record, uint8_t type, const uint8_t* superblock) {
  switch (type) {
    case parttype::kSwap:
      record.setFs(fskind::kSwap);
      return;
    case parttype::kLinux: {
      ExtSuperblockInfo ext = superblock ? probeExtSuperblock(superblock) : ExtSuperblockInfo{};
      if (ext.valid)
        fillExt(record, ext);
      else
        record.setFs(fskind::kExtUnknown);
      return;
    }
    case parttype::kExtended:
    case parttype::kExtendedLba:
      record.setFs(fskind::kUnknown);
      return;
    default:
      break;
  }
  // A partition holding a recognised file system is named the way the system
  // names a mounted one; only an unrecognised one keeps the type-byte guess.
  std::string detected = detectBootSectorFs(record.bootSector);
  if (!detected.empty()) {
    record.setFs(detected);
    return;
  }
  switch (type) {
    case parttype::kFat16: record.setFs(fskind::kGuessFat16); break;
    case parttype::kNtfs: record.setFs(fskind::kGuessNtfs); break;
    case parttype::kFat32:
    case parttype::kFat32Lba: record.setFs(fskind::kGuessFat32); break;
    default: record.setFs(fskind::kUnknown); break;
  }
}

bool walkExtendedChain(SectorReader& reader, uint32_t extendedStart, int driveNumber, PartitionList& list,
                       DiscoveryState& state) {
  uint64_t current = extendedStart;
  std::set<uint64_t> visited;
  for (int step = 0; step < kMaxExtendedRecords; ++step) {
    if (current > 0xFFFFFFFFull || !visited.insert(current).second) return true;  // past 32 bits or a loop: stop
    state.lastExtendedRecord = static_cast<int32_t>(current);
    uint8_t sector[kSectorSize];
    if (!reader.readAt(current, sector, sizeof sector)) return false;
    MbrEntry logical = mbrEntry(sector, 0);
    MbrEntry link = mbrEntry(sector, 1);
    if (logical.type == parttype::kExtended) std::swap(logical, link);
    if (logical.count != 0) {
      const uint64_t start = current + logical.start;
      if (start <= 0xFFFFFFFFull) {
        PartitionInfo r = entryRecord(driveNumber, SlotKind::Logical, static_cast<uint32_t>(current),
                                      static_cast<uint32_t>(start), extendedStart, logical);
        if (!readAndName(reader, r, logical.type)) return false;
        insertSorted(list, r);
      }
    }
    if (link.type != parttype::kExtended) return true;
    current = uint64_t(extendedStart) + link.start;
  }
  return true;
}

void addUnallocatedRegions(PartitionList& list, int driveNumber, uint64_t diskSize, uint32_t extendedStart,
                           uint32_t extendedCount) {
  const uint64_t diskSectors = diskSize / kSectorSize;
  if (list.empty()) {
    // A wiped table: offer the whole disk after the first track for the lost-partition search.
    if (diskSectors > 63) {
      PartitionInfo r = regionRecord(driveNumber, 63, kNoExtended, 0);
      r.totalBytes = (diskSectors - 63) * kSectorSize;
      r.freeBytes = r.totalBytes;
      list.push_back(r);
    }
    return;
  }
  PartitionList out;
  out.reserve(list.size() * 2 + 2);
  // Before the first record.
  const PartitionInfo& first = list.front();
  if (first.volumeStart > 63 && first.slotSector > 63) {
    PartitionInfo r = regionRecord(driveNumber, 63, kNoExtended, 0);
    r.totalBytes = uint64_t(first.slotSector - 63) * kSectorSize;
    r.freeBytes = r.totalBytes;
    out.push_back(r);
  }
  // Between neighbours.
  for (size_t i = 0; i < list.size(); ++i) {
    out.push_back(list[i]);
    if (i + 1 == list.size()) break;
    const PartitionInfo& next = list[i + 1];
    const uint64_t h = list[i].endSector();
    if (next.slotSector > h) {
      PartitionInfo r = regionRecord(driveNumber, h, extendedStart, extendedCount);
      if (next.slotSector > r.volumeStart) {  // no room after the record area: skipped
        r.totalBytes = uint64_t(next.slotSector - r.volumeStart) * kSectorSize;
        r.freeBytes = r.totalBytes;
        out.push_back(r);
      }
    }
  }
  // After the last record.
  const PartitionInfo& last = list.back();
  if (uint64_t(last.volumeStart) * kSectorSize + last.totalBytes < diskSize) {
    const uint64_t h = last.endSector();
    PartitionInfo r = regionRecord(driveNumber, h, extendedStart, extendedCount);
    const uint64_t startByte = uint64_t(r.volumeStart) * kSectorSize;
    if (h <= 0xFFFFFFFFull && startByte < diskSize) {
      r.totalBytes = diskSize - startByte;
      r.freeBytes = r.totalBytes;
      out.push_back(r);
    }
  }
  list = std::move(out);
}

bool readPartitionTable(SectorReader& reader, uint64_t diskSize, int driveNumber, PartitionList& list,
                        DiscoveryState& state) {
  if (diskSize == 0) return false;
  uint8_t sector0[kSectorSize];
  if (!reader.readAt(0, sector0, sizeof sector0)) return false;

  // A disk that is itself one volume (a stick formatted without a table, or
  // the image of a single partition).
  uint8_t superblock[1024];
  const bool haveSuperblock = diskSize >= 2048 && reader.readAt(2, superblock, sizeof superblock);
  ExtSuperblockInfo ext = haveSuperblock ? probeExtSuperblock(superblock) : ExtSuperblockInfo{};
  if (hasWholeDiskSignature(sector0) || ext.valid) {
    PartitionInfo r = baseRecord(driveNumber, SlotKind::Primary);
    r.totalBytes = diskSize;
    r.freeBytes = diskSize;
    std::memcpy(r.bootSector, sector0, sizeof sector0);
    std::string detected = detectBootSectorFs(sector0);
    if (!detected.empty())
      r.setFs(detected);
    else if (ext.valid)
      fillExt(r, ext);
    else
      r.setFs(fskind::kUnknown);
    insertSorted(list, r);
    return true;
  }

  uint32_t extendedStart = kNoExtended, extendedCount = kNoExtended;
  for (int i = 0; i < 4; ++i) {
    MbrEntry e = mbrEntry(sector0, i);
    if (e.type == parttype::kEmpty) continue;
    PartitionInfo r = entryRecord(driveNumber, SlotKind::Primary, e.start, e.start, 0, e);
    if (!reader.readAt(e.start, r.bootSector, sizeof r.bootSector)) return false;
    // Both extended types open the chain: 0x05 is what fdisk, sfdisk and older
    // Windows write, and skipping it would hide every logical partition.
    if (e.type == parttype::kExtendedLba || e.type == parttype::kExtended) {
      extendedStart = e.start;
      extendedCount = e.count;
      if (!walkExtendedChain(reader, e.start, driveNumber, list, state)) return false;
      continue;
    }
    if (e.type == parttype::kLinux) {
      if (!reader.readAt(uint64_t(e.start) + 2, superblock, sizeof superblock)) return false;
      applyPartitionType(r, e.type, superblock);
    } else {
      applyPartitionType(r, e.type, nullptr);
    }
    insertSorted(list, r);
  }
  addUnallocatedRegions(list, driveNumber, diskSize, extendedStart, extendedCount);
  return true;
}

bool readPartitionTable(int driveNumber, PartitionList& list, DiscoveryState& state) {
  SectorReader reader;
  if (!reader.open(driveNumber, OpenMode::Read)) return false;
  return readPartitionTable(reader, reader.sizeBytes(), driveNumber, list, state);
}

void mergeIntoVolumes(std::vector<PartitionInfo>& volumes, size_t mountedCount, const PartitionList& combined) {
  mountedCount = std::min(mountedCount, volumes.size());
  for (const PartitionInfo& record : combined) {
    PartitionInfo* target = nullptr;
    for (size_t i = 0; i < mountedCount; ++i) {
      PartitionInfo& v = volumes[i];
      const int64_t diff = int64_t(static_cast<int32_t>(v.volumeStart)) - static_cast<int32_t>(record.volumeStart);
      if (v.diskNumber == record.diskNumber && (diff < 63 && diff > -63)) {
        target = &v;
        break;
      }
    }
    if (target) {
      target->slotKind = record.slotKind;
      target->partitionType = record.partitionType;
      target->extendedBase = record.extendedBase;
      target->slotSector = record.slotSector;
      std::memcpy(target->bootSector, record.bootSector, sizeof target->bootSector);
    } else {
      volumes.push_back(record);
    }
  }
}

}  // namespace brenix
