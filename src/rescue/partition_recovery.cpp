#include "rescue/partition_recovery.h"

#include <algorithm>
#include <random>
#include <cstring>
#include <set>

#include "common/bytes.h"
#include "common/clock.h"
#include "common/text.h"
#include "disk/device_table.h"
#include "disk/fs_detect.h"
#include "disk/fs_kind.h"
#include "disk/gpt.h"
#include "disk/mbr.h"
#include "disk/partition_discovery.h"
#include "rescue/backup_file.h"
#include "rescue/backup_folder.h"
#include "rescue/lost_search.h"
#include "rescue/rescue_texts.h"

namespace brenix::rescue {

namespace {

using Sector = std::array<uint8_t, 512>;

constexpr uint8_t kPrimary = static_cast<uint8_t>(SlotKind::Primary);
constexpr uint8_t kLogical = static_cast<uint8_t>(SlotKind::Logical);
constexpr uint8_t kProtectiveMbrType = 0xEE;

uint64_t endOf(const PartitionInfo& r) { return r.endSector(); }

RecoveryPlan refuse(RecoveryCode code, std::string detail) {
  RecoveryPlan p;
  p.code = code;
  p.detail = std::move(detail);
  return p;
}

bool readSector(SectorReader& reader, uint64_t sector, Sector& out) { return reader.readAt(sector, out.data(), out.size()); }

void addChange(std::vector<SectorChange>& changes, uint32_t sector, const Sector& before, const Sector& after) {
  if (before != after) changes.push_back(SectorChange{sector, before, after});
}

void setSignature(Sector& s) {
  s[510] = 0x55;
  s[511] = 0xAA;
}

bool usableBootSector(const uint8_t* b) {
  if (b[510] != 0x55 || b[511] != 0xAA) return false;
  return matchBootSignature(b, kPrimary).has_value() || !detectBootSectorFs(b).empty();
}

// The live extended chain from `start`: its record sectors in walk order.
bool walkChain(SectorReader& reader, uint32_t start, std::vector<uint32_t>& records) {
  std::set<uint64_t> seen;
  uint64_t current = start;
  for (int step = 0; step < kMaxExtendedRecords; ++step) {
    if (current > 0xFFFFFFFFull || !seen.insert(current).second) return true;
    Sector s;
    if (!readSector(reader, current, s)) return false;
    records.push_back(static_cast<uint32_t>(current));
    MbrEntry e0 = mbrEntry(s.data(), 0), e1 = mbrEntry(s.data(), 1);
    if (e0.type == parttype::kExtended) std::swap(e0, e1);
    if (e1.type != parttype::kExtended) return true;
    current = uint64_t(start) + e1.start;
  }
  return true;
}

RecoveryPlan planPrimary(SectorReader& reader, const PartitionInfo& w) {
  const uint32_t start = w.volumeStart;
  const uint64_t count = w.totalBytes / 512;
  Sector mbr;
  if (!readSector(reader, 0, mbr)) return refuse(RecoveryCode::NoAccess, "cannot read the master boot record");
  int freeEntry = -1;
  for (int i = 0; i < 4; ++i) {
    const MbrEntry e = mbrEntry(mbr.data(), i);
    if (e.count == 0) {
      if (freeEntry < 0) freeEntry = i;
      continue;
    }
    const uint64_t s = e.start, end = uint64_t(e.start) + e.count;
    if (start < end && s < start + count)
      return refuse(RecoveryCode::NoRoom, format("it overlaps entry %d of the master boot record (sectors %llu-%llu)",
                                                 i + 1, static_cast<unsigned long long>(s),
                                                 static_cast<unsigned long long>(end - 1)));
  }
  if (freeEntry < 0) return refuse(RecoveryCode::NoRoom, "all four entries of the master boot record are in use");

  Sector boot, newBoot;
  if (!readSector(reader, start, boot)) return refuse(RecoveryCode::NoAccess, format("cannot read sector %u", start));
  std::memcpy(newBoot.data(), w.bootSector, 512);
  Sector newMbr = mbr;
  putPartitionEntry(newMbr.data(), freeEntry, w.partitionType, start, static_cast<uint32_t>(count));
  setSignature(newMbr);  // a table without it is ignored by every system

  RecoveryPlan p;
  p.code = RecoveryCode::Written;
  p.record = w;
  addChange(p.changes, start, boot, newBoot);
  addChange(p.changes, 0, mbr, newMbr);
  return p;
}

RecoveryPlan planLogical(SectorReader& reader, const PartitionInfo& y, const PartitionInfo& wIn, int32_t last) {
  const uint32_t base = y.extendedBase;
  if (last < 0 || base > static_cast<uint32_t>(last))
    return refuse(RecoveryCode::NoAccess, "the disk has no extended chain to take the partition");
  PartitionInfo w = wIn;
  if (w.slotKind == kPrimary) {
    // A volume found outside any chain placed into one: its record goes 63 sectors before it.
    if (uint64_t(w.slotSector) < uint64_t(y.slotSector) + 63 || w.volumeStart < uint64_t(y.slotSector) + 63)
      return refuse(RecoveryCode::NoAccess, "there is no room for the extended boot record before the volume");
    w.slotSector = w.volumeStart - 63;
  }
  const uint32_t e = w.slotSector;
  const uint64_t count = w.totalBytes / 512;
  if (w.volumeStart <= e) return refuse(RecoveryCode::Invalid, "the volume does not start after its record");

  Sector mbr;
  if (!readSector(reader, 0, mbr)) return refuse(RecoveryCode::NoAccess, "cannot read the master boot record");
  uint64_t extEnd = 0;
  bool haveExtended = false;
  for (int i = 0; i < 4; ++i) {
    const MbrEntry ent = mbrEntry(mbr.data(), i);
    if ((ent.type == parttype::kExtendedLba || ent.type == parttype::kExtended) && ent.start == base && ent.count) {
      haveExtended = true;
      extEnd = uint64_t(ent.start) + ent.count;
    }
  }
  if (!haveExtended)
    return refuse(RecoveryCode::NoAccess, format("no extended partition starts at sector %u", base));
  if (e < base || endOf(w) > extEnd)
    return refuse(RecoveryCode::NoAccess, "the partition does not lie inside the extended partition");

  std::vector<uint32_t> chain;
  if (!walkChain(reader, base, chain)) return refuse(RecoveryCode::NoAccess, "cannot read the extended chain");
  if (chain.empty() || chain.back() != static_cast<uint32_t>(last))
    return refuse(RecoveryCode::NoAccess, "the extended chain has changed since the disk was read");
  auto inChain = [&chain](uint64_t s) { return std::find(chain.begin(), chain.end(), s) != chain.end(); };
  if (inChain(w.volumeStart)) return refuse(RecoveryCode::NoAccess, "the volume's first sector holds a chain record");

  const uint32_t relStart = w.volumeStart - e;
  Sector boot, newBoot;
  if (!readSector(reader, w.volumeStart, boot))
    return refuse(RecoveryCode::NoAccess, format("cannot read sector %u", w.volumeStart));
  std::memcpy(newBoot.data(), w.bootSector, 512);

  RecoveryPlan p;
  p.code = RecoveryCode::Written;
  p.logical = true;
  addChange(p.changes, w.volumeStart, boot, newBoot);

  if (e == base) {
    // The free place is the chain's first record: it keeps its link, moved to entry 1.
    Sector rec;
    if (!readSector(reader, e, rec)) return refuse(RecoveryCode::NoAccess, format("cannot read sector %u", e));
    Sector newRec = rec;
    const MbrEntry e0 = mbrEntry(rec.data(), 0), e1 = mbrEntry(rec.data(), 1);
    if (e0.type == parttype::kExtended) {
      if (e1.count != 0 || e1.type != 0)
        return refuse(RecoveryCode::NoAccess, "the first extended boot record is in use");
      std::memcpy(newRec.data() + 462, rec.data() + 446, 16);
    } else if (e0.count != 0) {
      return refuse(RecoveryCode::NoAccess, "the first extended boot record is in use");
    }
    putPartitionEntry(newRec.data(), 0, w.partitionType, relStart, static_cast<uint32_t>(count));
    setSignature(newRec);
    addChange(p.changes, e, rec, newRec);
  } else {
    if (inChain(e)) return refuse(RecoveryCode::NoAccess, format("sector %u already holds a chain record", e));
    for (uint32_t s : chain)
      if (s > e && s < endOf(w))
        return refuse(RecoveryCode::NoAccess, format("chain record %u lies inside the partition", s));
    const uint32_t f = static_cast<uint32_t>(last);
    Sector oldE, newE{}, oldF;
    if (!readSector(reader, e, oldE)) return refuse(RecoveryCode::NoAccess, format("cannot read sector %u", e));
    if (!readSector(reader, f, oldF)) return refuse(RecoveryCode::NoAccess, format("cannot read sector %u", f));
    putPartitionEntry(newE.data(), 0, w.partitionType, relStart, static_cast<uint32_t>(count));
    setSignature(newE);
    const MbrEntry f0 = mbrEntry(oldF.data(), 0), f1 = mbrEntry(oldF.data(), 1);
    if (f0.type == parttype::kExtended || f1.type != 0)
      return refuse(RecoveryCode::NoAccess, "the last extended boot record has no free link entry");
    // The link covers the new record and its partition.
    const uint64_t linkCount = uint64_t(relStart) + count;
    if (linkCount > 0xFFFFFFFFull) return refuse(RecoveryCode::Invalid, "the partition is too large for a link entry");
    Sector newF = oldF;
    putPartitionEntry(newF.data(), 1, parttype::kExtended, e - base, static_cast<uint32_t>(linkCount));
    setSignature(newF);
    addChange(p.changes, e, oldE, newE);
    addChange(p.changes, f, oldF, newF);
    p.newLastExtendedRecord = static_cast<int32_t>(e);
  }
  p.record = w;
  return p;
}

// One copy of a GUID partition table as it is on the disk.
struct GptCopyOnDisk {
  GptHeader header;
  std::vector<uint8_t> headerSector;  // the header's whole logical sector
  std::vector<uint8_t> array;
};

bool readGptCopy(SectorReader& reader, uint64_t lba, uint32_t sectorSize, uint64_t diskSectors, GptCopyOnDisk& out,
                 std::string& why) {
  out.headerSector.assign(sectorSize, 0);
  if (!reader.readBytesAt(lba * sectorSize, out.headerSector.data(), sectorSize)) {
    why = "cannot read the GPT header at LBA " + std::to_string(lba);
    return false;
  }
  if (!parseGptHeader(out.headerSector.data(), sectorSize, lba, diskSectors, true, out.header, &why)) return false;
  out.array.assign(size_t(out.header.entryCount) * out.header.entrySize, 0);
  if (!reader.readBytesAt(out.header.entriesLba * sectorSize, out.array.data(), out.array.size())) {
    why = "cannot read the GPT entry array";
    return false;
  }
  if (crc32(out.array.data(), out.array.size()) != out.header.entriesCrc) {
    why = "entry array CRC32 mismatch";
    return false;
  }
  return true;
}

Guid randomGuid() {
  std::random_device rd;
  Guid g{};
  for (size_t i = 0; i < g.size(); i += 4) {
    const uint32_t v = rd();
    std::memcpy(g.data() + i, &v, 4);
  }
  g[7] = static_cast<uint8_t>((g[7] & 0x0F) | 0x40);  // version 4 (stored little-endian)
  g[8] = static_cast<uint8_t>((g[8] & 0x3F) | 0x80);  // variant 1
  return g;
}

// Adds the 512-byte pieces of [byteOffset, byteOffset + bytes) that differ.
bool addByteChanges(SectorReader& reader, std::vector<SectorChange>& changes, std::vector<std::string>& what,
                    uint64_t byteOffset, const uint8_t* after, size_t bytes, const std::string& name) {
  for (size_t done = 0; done < bytes; done += 512) {
    const uint64_t sector = (byteOffset + done) / 512;
    if (sector > 0xFFFFFFFFull) return false;
    Sector before, next;
    if (!readSector(reader, sector, before)) return false;
    next = before;
    std::memcpy(next.data(), after + done, std::min<size_t>(512, bytes - done));
    if (before != next) {
      changes.push_back(SectorChange{static_cast<uint32_t>(sector), before, next});
      what.push_back(name);
    }
  }
  return true;
}

// Writes `w` into a free entry of both entry arrays of a disk with a
// protective MBR; both headers get new CRCs; the MBR stays as it is.
RecoveryPlan planGpt(SectorReader& reader, const PartitionInfo& w) {
  ByteReader read = [&reader](uint64_t offset, void* buffer, size_t count) {
    return reader.readBytesAt(offset, buffer, count);
  };
  const uint64_t diskBytes = reader.sizeBytes();
  const uint32_t sectorSize = probeGptSectorSize(read, diskBytes);
  if (sectorSize == 0) return refuse(RecoveryCode::NoAccess, "no GUID partition table header was found");
  const uint64_t diskSectors = diskBytes / sectorSize, scale = sectorSize / 512;
  GptCopyOnDisk primary, backup;
  std::string why;
  if (!readGptCopy(reader, 1, sectorSize, diskSectors, primary, why))
    return refuse(RecoveryCode::NoAccess, "the primary GUID partition table is damaged (" + why +
                                              "); nothing is written while the two copies disagree");
  if (!readGptCopy(reader, primary.header.alternateLba, sectorSize, diskSectors, backup, why))
    return refuse(RecoveryCode::NoAccess, "the backup GUID partition table is damaged (" + why +
                                              "); nothing is written while the two copies disagree");
  const GptHeader& p = primary.header;
  const GptHeader& b = backup.header;
  if (b.alternateLba != 1 || p.firstUsable != b.firstUsable || p.lastUsable != b.lastUsable ||
      p.diskGuid != b.diskGuid || p.entryCount != b.entryCount || p.entrySize != b.entrySize ||
      primary.array != backup.array)
    return refuse(RecoveryCode::NoAccess, "the two copies of the GUID partition table disagree; nothing is written");

  const uint64_t start = w.volumeStart, count = w.totalBytes / 512;
  if (start % scale != 0 || count % scale != 0)
    return refuse(RecoveryCode::Invalid, "the partition does not start and end on the disk's logical sectors");
  const uint64_t firstLba = start / scale, lastLba = (start + count) / scale - 1;
  if (firstLba < p.firstUsable || lastLba > p.lastUsable)
    return refuse(RecoveryCode::NoRoom, "the partition lies outside the table's usable sectors");
  int freeIndex = -1;
  for (uint32_t i = 0; i < p.entryCount; ++i) {
    const uint8_t* e = primary.array.data() + size_t(i) * p.entrySize;
    if (std::all_of(e, e + 16, [](uint8_t v) { return v == 0; })) {
      if (freeIndex < 0) freeIndex = static_cast<int>(i);
      continue;
    }
    const uint64_t s = le64(e + 32), l = le64(e + 40);
    if (firstLba <= l && s <= lastLba)
      return refuse(RecoveryCode::NoRoom, format("it overlaps GPT entry %u (LBAs %llu-%llu)", i + 1,
                                                 static_cast<unsigned long long>(s),
                                                 static_cast<unsigned long long>(l)));
  }
  if (freeIndex < 0) return refuse(RecoveryCode::NoRoom, "every entry of the GUID partition table is in use");

  GptEntry entry;
  if (!parseGuid("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", entry.typeGuid))  // basic data: FAT and NTFS
    return refuse(RecoveryCode::Invalid, "");
  entry.uniqueGuid = randomGuid();
  entry.firstLba = firstLba;
  entry.lastLba = lastLba;
  std::vector<uint8_t> array = primary.array;
  encodeGptEntry(entry, array.data() + size_t(freeIndex) * p.entrySize, p.entrySize);
  const uint32_t arrayCrc = crc32(array.data(), array.size());
  auto newHeader = [arrayCrc](std::vector<uint8_t> sector, uint32_t headerSize) {
    putLe32(sector.data() + 88, arrayCrc);
    std::memset(sector.data() + 16, 0, 4);
    putLe32(sector.data() + 16, crc32(sector.data(), headerSize));
    return sector;
  };
  const std::vector<uint8_t> primaryHeader = newHeader(primary.headerSector, p.headerSize);
  const std::vector<uint8_t> backupHeader = newHeader(backup.headerSector, b.headerSize);

  RecoveryPlan plan;
  plan.code = RecoveryCode::Written;
  plan.gpt = true;
  plan.record = w;
  Sector boot, newBoot;
  if (!readSector(reader, start, boot)) return refuse(RecoveryCode::NoAccess, "cannot read the volume's first sector");
  std::memcpy(newBoot.data(), w.bootSector, 512);
  if (boot != newBoot) {
    plan.changes.push_back(SectorChange{static_cast<uint32_t>(start), boot, newBoot});
    plan.what.push_back("the volume's first sector");
  }
  const size_t entryOffset = size_t(freeIndex) * p.entrySize;
  const size_t pieceStart = entryOffset / 512 * 512;
  const size_t pieceBytes = std::min(array.size() - pieceStart, ((entryOffset + p.entrySize + 511) / 512 * 512) - pieceStart);
  bool ok = addByteChanges(reader, plan.changes, plan.what, p.entriesLba * sectorSize + pieceStart,
                           array.data() + pieceStart, pieceBytes, "GPT entry array") &&
            addByteChanges(reader, plan.changes, plan.what, sectorSize, primaryHeader.data(), 512, "GPT header") &&
            addByteChanges(reader, plan.changes, plan.what, b.entriesLba * sectorSize + pieceStart,
                           array.data() + pieceStart, pieceBytes, "backup GPT entry array") &&
            addByteChanges(reader, plan.changes, plan.what, b.myLba * sectorSize, backupHeader.data(), 512,
                           "backup GPT header");
  if (!ok) return refuse(RecoveryCode::NoAccess, "cannot read the sectors of the GUID partition table");
  if (plan.changes.size() > kMaxUndoChanges) return refuse(RecoveryCode::Invalid, "too many sectors to change");
  return plan;
}

}  // namespace

std::string describeChange(const RecoveryPlan& plan, size_t index) {
  if (index < plan.what.size()) return plan.what[index];
  if (index >= plan.changes.size()) return {};
  const SectorChange& c = plan.changes[index];
  if (c.sector == 0) return "master boot record";
  if (c.sector == plan.record.volumeStart) return "the volume's first sector";
  return "extended boot record";
}

std::string_view recoveryMessage(RecoveryCode code) {
  switch (code) {
    case RecoveryCode::Written: return "";
    case RecoveryCode::NoDisk: return "Select the disk you want recover";
    case RecoveryCode::NoPartition: return "Select the partition you want recover";
    case RecoveryCode::NoAccess: return "Recovery failed. Can not access the disk! ";
    case RecoveryCode::Invalid: return "The partition selected is invalid. Please select the other partition.";
    case RecoveryCode::NoRoom: return "The partition selected can't be recovered. Please select the other partition.";
  }
  return "";
}

std::array<uint8_t, 3> sectorToChs(uint64_t a) {
  if (a >= 16450560ull) return {254, 255, 255};
  const uint64_t c = a / 16065, head = (a / 63) % 255, sector = (a % 63) + 1;
  return {static_cast<uint8_t>(head), static_cast<uint8_t>(sector | ((c / 256) * 64)), static_cast<uint8_t>(c % 256)};
}

void putPartitionEntry(uint8_t* sector512, int index, uint8_t type, uint32_t start, uint32_t count) {
  uint8_t* e = sector512 + kPartitionEntryOffset + kPartitionEntrySize * static_cast<size_t>(index);
  const auto first = sectorToChs(start);
  const auto lastChs = sectorToChs(uint64_t(start) + count - (count ? 1 : 0));
  e[0] = 0;
  std::memcpy(e + 1, first.data(), 3);
  e[4] = type;
  std::memcpy(e + 5, lastChs.data(), 3);
  putLe32(e + 8, start);
  putLe32(e + 12, count);
}

RecoveryPlan planRecovery(SectorReader& reader, const PhysicalDisk* disk, const std::vector<PartitionInfo>& diskRecords,
                          int32_t lastExtendedRecord, const PartitionInfo* w) {
  if (!disk) return refuse(RecoveryCode::NoDisk, "");
  if (!w) return refuse(RecoveryCode::NoPartition, "");
  // A protective or hybrid MBR stands for a GUID partition table: no MBR
  // entry is ever written there. A purely protective one (its only entry
  // 0xEE) takes the partition into the GPT; a hybrid one nothing at all.
  bool gpt = false;
  {
    Sector mbr;
    if (reader.isOpen() && readSector(reader, 0, mbr)) {
      int protectiveEntries = 0, otherEntries = 0;
      for (int i = 0; i < 4; ++i) {
        const MbrEntry e = mbrEntry(mbr.data(), i);
        if (e.type == kProtectiveMbrType)
          ++protectiveEntries;
        else if (e.type != parttype::kEmpty)
          ++otherEntries;
      }
      if (protectiveEntries > 0 && otherEntries > 0)
        return refuse(RecoveryCode::NoAccess, std::string(kGptDiskRefusal) +
                                                  " (a hybrid MBR: its entries and the GPT would disagree)");
      gpt = protectiveEntries > 0;
    }
  }
  const std::string fs = w->fs();
  if (fs != fskind::kFat32 && fs != fskind::kFat16 && fs != fskind::kNtfs && fs != fskind::kFat)
    return refuse(RecoveryCode::Invalid, "");
  // A record that cannot make a working entry, or whose boot sector copy is
  // not a boot sector, would be written over the volume's first sector.
  const uint64_t count = w->totalBytes / 512;
  if (w->partitionType == 0 || w->partitionType == parttype::kExtended || w->partitionType == parttype::kExtendedLba)
    return refuse(RecoveryCode::Invalid, "the record has no usable partition type");
  // A master boot record holds 32-bit sectors: a volume past 2^32 has no entry there.
  if (w->volumeStartHigh != 0 || w->slotPosition() > 0xFFFFFFFFull)
    return refuse(RecoveryCode::Invalid, "the record lies past sector 2^32, beyond a master boot record's reach");
  if (count == 0 || count > 0xFFFFFFFFull || w->volumeStart == 0 || endOf(*w) > disk->sizeBytes / 512)
    return refuse(RecoveryCode::Invalid, "the record's extent does not fit on the disk");
  if (!usableBootSector(w->bootSector))
    return refuse(RecoveryCode::Invalid, "the record's copy of the volume's first sector is not a boot sector");

  for (const PartitionInfo& y : diskRecords) {
    if (y.diskNumber < 0 || static_cast<uint32_t>(y.diskNumber) != disk->driveNumber) continue;
    if (y.fs() != fskind::kDeleted || y.extendedBase != w->extendedBase) continue;
    if (!(y.slotPosition() <= w->slotPosition() && endOf(y) >= endOf(*w))) continue;
    if (y.slotKind == kPrimary) return gpt ? planGpt(reader, *w) : planPrimary(reader, *w);
    if (y.slotKind == kLogical && w->slotSector >= y.extendedBase) return planLogical(reader, y, *w, lastExtendedRecord);
  }
  return refuse(RecoveryCode::NoRoom, "no unallocated region of the disk holds it");
}

RecoveryOutcome recoverPartition(DiskCatalog& catalog, const PhysicalDisk* disk, PartitionInfo* w,
                                 const std::filesystem::path& undoFolder, const ConfirmPlan& confirm) {
  RecoveryOutcome out;
  if (!disk || !w) {
    out.code = !disk ? RecoveryCode::NoDisk : RecoveryCode::NoPartition;
    return out;
  }
  const int drive = static_cast<int>(disk->driveNumber);
  const std::string devicePath = DeviceTable::instance().pathOf(drive);
  SectorReader reader;
  RecoveryPlan plan;
  if (devicePath.empty() || !reader.openPath(devicePath, OpenMode::Read)) {
    // Without the disk only the checks on the record itself can be made.
    plan = planRecovery(reader, disk, {}, -1, w);
    out.code = plan.code == RecoveryCode::Invalid ? plan.code : RecoveryCode::NoAccess;
    out.detail = plan.code == RecoveryCode::Invalid ? plan.detail : "cannot open the disk";
    return out;
  }
  plan = planRecovery(reader, disk, recordsOfDisk(catalog, *disk), catalog.lastExtendedRecord(drive), w);
  reader.close();
  out.code = plan.code;
  out.detail = plan.detail;
  if (plan.code != RecoveryCode::Written) return out;
  if (plan.changes.empty()) {
    out.code = RecoveryCode::NoAccess;
    out.detail = "the table already holds this partition";
    return out;
  }
  if (!confirm || !confirm(plan)) {
    out.cancelled = true;
    return out;
  }
  std::filesystem::path undoPath = undoFolder / proposedUndoName(*disk, nowSeconds());
  for (int i = 1; std::filesystem::exists(undoPath) && i < 1000; ++i)
    undoPath = undoFolder / (proposedUndoName(*disk, nowSeconds()) + "." + std::to_string(i));
  PartitionTableWriter writer(devicePath, *disk);
  WriteOutcome written = writer.apply(plan.changes, undoPath);
  out.reread = written.reread;
  if (written.anyWritten || written.ok) out.undoPath = written.undoPath;
  if (!written.ok) {
    out.code = RecoveryCode::NoAccess;
    out.detail = written.error;
    return out;
  }
  if (plan.newLastExtendedRecord >= 0) catalog.setLastExtendedRecord(drive, plan.newLastExtendedRecord);
  *w = plan.record;
  return out;
}

}  // namespace brenix::rescue
