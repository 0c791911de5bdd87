#include "rescue/partition_recovery.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "common/bytes.h"
#include "common/clock.h"
#include "common/text.h"
#include "disk/device_table.h"
#include "disk/fs_detect.h"
#include "disk/fs_kind.h"
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

uint64_t endOf(const PartitionInfo& r) { return uint64_t(r.volumeStart) + r.totalBytes / 512; }

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

}  // namespace

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
  // A protective or hybrid MBR stands for a GUID partition table: an MBR
  // entry written there would cover (or contradict) the GPT and its backup.
  Sector mbr;
  if (reader.isOpen() && readSector(reader, 0, mbr)) {
    for (int i = 0; i < 4; ++i)
      if (mbrEntry(mbr.data(), i).type == kProtectiveMbrType)
        return refuse(RecoveryCode::NoAccess, std::string(kGptDiskRefusal));
  }

  const std::string fs = w->fs();
  if (fs != fskind::kFat32 && fs != fskind::kFat16 && fs != fskind::kNtfs && fs != fskind::kFat)
    return refuse(RecoveryCode::Invalid, "");
  // A record that cannot make a working entry, or whose boot sector copy is
  // not a boot sector, would be written over the volume's first sector.
  const uint64_t count = w->totalBytes / 512;
  if (w->partitionType == 0 || w->partitionType == parttype::kExtended || w->partitionType == parttype::kExtendedLba)
    return refuse(RecoveryCode::Invalid, "the record has no usable partition type");
  if (count == 0 || count > 0xFFFFFFFFull || w->volumeStart == 0 || endOf(*w) > disk->sizeBytes / 512)
    return refuse(RecoveryCode::Invalid, "the record's extent does not fit on the disk");
  if (!usableBootSector(w->bootSector))
    return refuse(RecoveryCode::Invalid, "the record's copy of the volume's first sector is not a boot sector");

  for (const PartitionInfo& y : diskRecords) {
    if (y.diskNumber < 0 || static_cast<uint32_t>(y.diskNumber) != disk->driveNumber) continue;
    if (y.fs() != fskind::kDeleted || y.extendedBase != w->extendedBase) continue;
    if (!(y.slotSector <= w->slotSector && endOf(y) >= endOf(*w))) continue;
    if (y.slotKind == kPrimary) return planPrimary(reader, *w);
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
