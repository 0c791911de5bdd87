#include "disk/partition_discovery.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "common/text.h"
#include "disk/fs_detect.h"
#include "disk/fs_kind.h"
#include "disk/gpt.h"
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
  // The extended partition is [start, start + count): a region starting at
  // its end lies outside it.
  const bool inside = extendedStart != kNoExtended && h >= extendedStart &&
                      h < uint64_t(extendedStart) + extendedCount;
  PartitionInfo r = baseRecord(driveNumber, inside ? SlotKind::Logical : SlotKind::Primary);
  r.setFs(fskind::kDeleted);
  r.setSlotPosition(h);
  r.extendedBase = inside ? extendedStart : 0;
  r.setStartSector(inside ? h + 63 : h);
  return r;
}

constexpr uint8_t kProtectiveType = 0xEE;
constexpr const char* kDamagedLabel = "Damaged entry";

// An entry whose first sector lies past the disk's end: listed, never read.
void markDamaged(PartitionInfo& r) {
  r.setFs(fskind::kUnknown);
  r.setLabel(kDamagedLabel);
}

// Names a GPT partition from its first sectors, as MBR partitions are named;
// the type GUID only names what they cannot.
bool nameGptPartition(SectorReader& reader, PartitionInfo& r, const GptEntry& e) {
  if (!reader.readAt(r.startSector(), r.bootSector, sizeof r.bootSector)) return false;
  std::string detected = detectBootSectorFs(r.bootSector);
  if (!detected.empty()) {
    r.setFs(detected);
    return true;
  }
  uint8_t superblock[1024];
  if (r.totalBytes >= 2048 && reader.readAt(r.startSector() + 2, superblock, sizeof superblock)) {
    ExtSuperblockInfo ext = probeExtSuperblock(superblock);
    if (ext.valid) {
      fillExt(r, ext);
      return true;
    }
  }
  r.setFs(isLinuxSwapGuid(e.typeGuid) ? fskind::kSwap : fskind::kUnknown);
  const std::string typeName = gptTypeName(e.typeGuid);
  if (!typeName.empty()) r.setLabel(typeName);
  return true;
}

// Lists a GPT disk: one record per accepted entry, then the free stretches of
// the usable LBAs. False when no copy of the table is usable.
bool readGptDisk(SectorReader& reader, uint64_t diskSize, int driveNumber, PartitionList& list, DiscoveryState& state) {
  ByteReader read = [&reader](uint64_t offset, void* buffer, size_t count) {
    return reader.readBytesAt(offset, buffer, count);
  };
  const uint32_t sectorSize = probeGptSectorSize(read, diskSize);
  if (sectorSize == 0) {
    state.problems.push_back("the protective master boot record points at a GUID partition table, but no GPT header was found");
    return false;
  }
  GptTable table = readGpt(read, diskSize, sectorSize);
  state.problems.insert(state.problems.end(), table.problems.begin(), table.problems.end());
  if (!table.valid) return false;
  state.tableKind = TableKind::Gpt;
  state.logicalSectorSize = sectorSize;
  state.gptCopy = table.copy == GptCopy::Primary ? "primary" : "backup";
  // The records count 512-byte sectors whatever the disk's LBA size.
  const uint64_t scale = sectorSize / kSectorSize;
  for (const GptEntry& e : table.entries) {
    const uint64_t first = e.firstLba * scale, count = (e.lastLba - e.firstLba + 1) * scale;
    if (first + count > PartitionInfo::kMaxSector) {
      state.problems.push_back(format("entry %u skipped: it ends past sector 2^48", e.index + 1));
      continue;
    }
    PartitionInfo r = baseRecord(driveNumber, SlotKind::Primary);
    r.setSlotPosition(first);
    r.setStartSector(first);
    r.totalBytes = count * kSectorSize;
    r.freeBytes = r.totalBytes;
    if (!nameGptPartition(reader, r, e)) return false;
    if (insertSorted(list, r)) state.names.push_back(GptPartitionName{r.startSector(), e.name});
  }
  // Free stretches between and around the partitions, inside the usable LBAs.
  const uint64_t usableFirst = table.header.firstUsable * scale;
  const uint64_t usableEnd = std::min<uint64_t>((table.header.lastUsable + 1) * scale, PartitionInfo::kMaxSector);
  PartitionList out;
  uint64_t h = usableFirst;
  auto addRegion = [&](uint64_t from, uint64_t to) {
    if (to <= from) return;
    PartitionInfo r = regionRecord(driveNumber, from, kNoExtended, 0);
    r.totalBytes = (to - from) * kSectorSize;
    r.freeBytes = r.totalBytes;
    out.push_back(r);
  };
  for (const PartitionInfo& p : list) {
    addRegion(h, p.startSector());
    out.push_back(p);
    h = std::max<uint64_t>(h, p.endSector());
  }
  addRegion(h, usableEnd);
  list = std::move(out);
  return true;
}

}  // namespace

const char* tableKindName(TableKind kind) {
  switch (kind) {
    case TableKind::Mbr: return "mbr";
    case TableKind::Gpt: return "gpt";
    case TableKind::None: break;
  }
  return "none";
}

bool insertSorted(PartitionList& list, const PartitionInfo& record) {
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->slotPosition() == record.slotPosition()) return false;
    if (it->slotPosition() > record.slotPosition()) {
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
  const uint64_t diskSectors = reader.sizeBytes() / kSectorSize;
  uint64_t current = extendedStart;
  std::set<uint64_t> visited;
  for (int step = 0; step < kMaxExtendedRecords; ++step) {
    if (current > 0xFFFFFFFFull || !visited.insert(current).second) return true;  // past 32 bits or a loop: stop
    if (diskSectors && current >= diskSectors) {
      // A link past the disk's end: the chain ends here, what was read stays.
      state.problems.push_back(format("extended boot record at sector %llu lies past the disk's end",
                                      static_cast<unsigned long long>(current)));
      return true;
    }
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
        if (diskSectors && start >= diskSectors) {
          markDamaged(r);
          state.problems.push_back(format("logical partition at sector %llu lies past the disk's end",
                                          static_cast<unsigned long long>(start)));
        } else if (!readAndName(reader, r, logical.type)) {
          return false;
        }
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
  const uint64_t diskSectors = std::min<uint64_t>(diskSize / kSectorSize, 0x100000000ull);
  const bool haveExtended = extendedStart != kNoExtended;
  PartitionList out;
  out.reserve(list.size() * 2 + 3);
  // One free stretch [from, to): a part before the extended partition's start
  // is a primary region, the rest (from the start on) a logical one.
  auto addFree = [&](uint64_t from, uint64_t to) {
    to = std::min(to, diskSectors);
    if (from >= to) return;
    if (haveExtended && from < extendedStart && to > extendedStart &&
        extendedStart < uint64_t(extendedStart) + extendedCount) {
      PartitionInfo r = regionRecord(driveNumber, from, kNoExtended, 0);
      r.totalBytes = (extendedStart - from) * kSectorSize;
      r.freeBytes = r.totalBytes;
      out.push_back(r);
      from = extendedStart;
    }
    PartitionInfo r = regionRecord(driveNumber, from, extendedStart, extendedCount);
    if (to > r.startSector()) {  // no room after the record area: skipped
      r.totalBytes = (to - r.startSector()) * kSectorSize;
      r.freeBytes = r.totalBytes;
      out.push_back(r);
    }
  };
  // Everything from the end of the first track on that no record covers.
  // Overlapping records never leave a region inside one of them: the covered
  // end only grows.
  uint64_t covered = 63;
  for (const PartitionInfo& r : list) {
    const uint64_t from = std::min<uint64_t>(r.slotPosition(), r.startSector());
    if (from > covered) addFree(covered, from);
    out.push_back(r);
    covered = std::max(covered, r.endSector());
  }
  addFree(covered, diskSectors);
  list = std::move(out);
}

bool readPartitionTable(SectorReader& reader, uint64_t diskSize, int driveNumber, PartitionList& list,
                        DiscoveryState& state) {
  if (diskSize == 0) return false;
  uint8_t sector0[kSectorSize];
  if (!reader.readAt(0, sector0, sizeof sector0)) return false;
  const uint64_t diskSectors = diskSize / kSectorSize;

  bool protective = false, anyEntry = false;
  for (int i = 0; i < 4; ++i) {
    const MbrEntry e = mbrEntry(sector0, i);
    protective = protective || e.type == kProtectiveType;
    anyEntry = anyEntry || (e.type != parttype::kEmpty && e.count != 0);
  }
  const bool validMbr = anyEntry && sector0[510] == 0x55 && sector0[511] == 0xAA;
  state.protectiveMbr = protective;

  // A disk that is itself one volume (a stick formatted without a table, or
  // the image of a single partition). A stale EXT superblock left at sector 2
  // does not override a table that lists partitions.
  uint8_t superblock[1024];
  const bool haveSuperblock = !validMbr && diskSize >= 2048 && reader.readAt(2, superblock, sizeof superblock);
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

  // A protective or hybrid master boot record: the GUID partition table is
  // the disk's table; the MBR's own entries are only read when it is unusable.
  if (protective) {
    if (readGptDisk(reader, diskSize, driveNumber, list, state)) return true;
    list.clear();
  }

  uint32_t extendedStart = kNoExtended, extendedCount = kNoExtended;
  for (int i = 0; i < 4; ++i) {
    MbrEntry e = mbrEntry(sector0, i);
    if (e.type == parttype::kEmpty) continue;
    if (e.type == kProtectiveType) continue;  // stands for the GPT, which could not be read
    state.tableKind = TableKind::Mbr;
    PartitionInfo r = entryRecord(driveNumber, SlotKind::Primary, e.start, e.start, 0, e);
    if (e.start >= diskSectors) {
      markDamaged(r);
      state.problems.push_back(format("entry %d starts at sector %u, past the disk's end", i + 1, e.start));
      insertSorted(list, r);
      continue;
    }
    const bool pastEnd = uint64_t(e.start) + e.count > diskSectors;
    if (pastEnd)
      state.problems.push_back(format("entry %d (sectors %u-%llu) runs past the disk's end", i + 1, e.start,
                                      static_cast<unsigned long long>(uint64_t(e.start) + e.count - 1)));
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
    if (pastEnd) r.setLabel(kDamagedLabel);  // named from its first sectors, marked as damaged
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
      // Starts below 2^32 compare as signed 32-bit values, as they always
      // have; a start past it compares whole.
      const bool wide = v.volumeStartHigh != 0 || record.volumeStartHigh != 0;
      const int64_t diff =
          wide ? int64_t(v.startSector()) - int64_t(record.startSector())
               : int64_t(static_cast<int32_t>(v.volumeStart)) - static_cast<int32_t>(record.volumeStart);
      if (v.diskNumber == record.diskNumber && (diff < 63 && diff > -63)) {
        target = &v;
        break;
      }
    }
    if (target) {
      target->slotKind = record.slotKind;
      target->partitionType = record.partitionType;
      target->extendedBase = record.extendedBase;
      target->setSlotPosition(record.slotPosition());
      std::memcpy(target->bootSector, record.bootSector, sizeof target->bootSector);
    } else {
      volumes.push_back(record);
    }
  }
}

}  // namespace brenix
