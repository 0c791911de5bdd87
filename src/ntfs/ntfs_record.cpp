#include "ntfs/ntfs_record.h"

#include <algorithm>

#include "common/bytes.h"

namespace brenix {
namespace {

constexpr size_t kFixupStride = 512;
constexpr uint64_t kMaxCluster = uint64_t(1) << 62;

uint64_t readUnsigned(const uint8_t* p, unsigned n) {
  uint64_t v = 0;
  for (unsigned i = 0; i < n; ++i) v |= uint64_t(p[i]) << (8 * i);
  return v;
}

}  // namespace

bool applyFixups(std::span<uint8_t> record) {
  if (record.size() < 8) return false;
  size_t usaOffset = le16(record.data() + 4);
  size_t usaCount = le16(record.data() + 6);
  if (usaCount < 2 || !inBounds(record.size(), usaOffset, usaCount * 2) ||
      (usaCount - 1) * kFixupStride > record.size())
    return false;
  const uint8_t* usa = record.data() + usaOffset;
  bool ok = true;
  for (size_t i = 1; i < usaCount; ++i) {
    uint8_t* tail = record.data() + i * kFixupStride - 2;
    // A saved word that overlaps the array itself would change it mid-walk.
    if (tail >= usa && tail < usa + usaCount * 2) return false;
    if (tail[0] == usa[0] && tail[1] == usa[1]) {
      tail[0] = usa[2 * i];
      tail[1] = usa[2 * i + 1];
    } else {
      ok = false;
    }
  }
  return ok;
}

bool isFileRecord(std::span<const uint8_t> record) { return bytesEqual(record, 0, "FILE"); }

bool isDeletedRecord(std::span<const uint8_t> record) {
  return isFileRecord(record) && (u16At(record, 0x16) & 1) == 0;
}

bool NtfsRunList::decode(std::span<const uint8_t> bytes, uint64_t startVcn, std::vector<NtfsRun>& runs) {
  uint64_t vcn = startVcn;
  int64_t lcn = 0;
  size_t p = 0;
  while (p < bytes.size()) {
    uint8_t header = bytes[p];
    if (header == 0) return true;
    unsigned lenSize = header & 0x0F, offSize = header >> 4;
    if (lenSize == 0 || lenSize > 8 || offSize > 8) return false;
    if (bytes.size() - p - 1 < size_t(lenSize) + offSize) return false;
    uint64_t length = readUnsigned(bytes.data() + p + 1, lenSize);
    if (length == 0 || length > kMaxCluster || vcn > kMaxCluster - length) return false;
    NtfsRun run;
    run.vcn = vcn;
    run.length = length;
    if (offSize == 0) {
      run.sparse = true;
    } else {
      uint64_t raw = readUnsigned(bytes.data() + p + 1 + lenSize, offSize);
      if (offSize < 8 && (raw >> (8 * offSize - 1)) & 1) raw |= ~uint64_t(0) << (8 * offSize);
      int64_t delta = static_cast<int64_t>(raw);
      if ((delta > 0 && lcn > int64_t(kMaxCluster) - delta) || (delta < 0 && lcn + delta < 0)) return false;
      lcn += delta;
      run.lcn = static_cast<uint64_t>(lcn);
    }
    runs.push_back(run);
    vcn += length;
    p += 1 + lenSize + offSize;
  }
  return true;
}

int MftRecordReader::configure(uint32_t recordSize, uint32_t bytesPerCluster) {
  if (recordSize == 0 || bytesPerCluster == 0 || (recordSize & 1) || (bytesPerCluster & 1)) return kNtfsBadArgument;
  recordSize_ = recordSize;
  bytesPerCluster_ = bytesPerCluster;
  return kNtfsOk;
}

int MftRecordReader::decode(std::span<const uint8_t> record) {
  if (record.size() < recordSize_) return kNtfsBadArgument;
  return walk(record.first(recordSize_), false);
}

int MftRecordReader::decodeNameOnly(std::span<const uint8_t> record) {
  std::span<const uint8_t> rec = record.first(std::min<size_t>(record.size(), recordSize_));
  if (rec.size() < 0x30 || !isFileRecord(rec)) return kNtfsBadArgument;
  inUse = (u16At(rec, 0x16) & 1) != 0;
  sequence = u16At(rec, 0x10);
  baseReference = u64At(rec, 0x20) & 0xFFFFFFFFFFFFull;
  ownNumber = u16At(rec, 0x04) >= 0x30 ? u32At(rec, 0x2C) : 0;
  NtfsFileNameView view;
  if (preferredFileName(rec, view)) {
    haveFileName = true;
    parentReference = view.parentReference;
    fileNameFlags = view.flags;
    nameSpace = view.nameSpace;
    name = view.text();
  }
  return kNtfsOk;
}

namespace {
// Rank of a name: a long (non-DOS) name beats a DOS-only name; then the longer name wins.
uint32_t nameRank(uint8_t space, size_t length) { return (space != 2 ? 0x10000u : 0u) + static_cast<uint32_t>(length); }
}  // namespace

std::u16string NtfsFileNameView::text() const {
  std::u16string s(units, u'\0');
  for (size_t i = 0; i < units; ++i) s[i] = static_cast<char16_t>(le16(name + 2 * i));
  return s;
}

bool preferredFileName(std::span<const uint8_t> rec, NtfsFileNameView& out) {
  if (rec.size() < 0x30 || !isFileRecord(rec)) return false;
  bool have = false;
  size_t off = u16At(rec, 0x14);
  if (off < 0x18) return false;
  while (off + 16 <= rec.size()) {
    const uint32_t type = u32At(rec, off);
    if (type == kAttrEnd) break;
    const uint32_t len = u32At(rec, off + 4);
    if (len < 16 || len > rec.size() - off) break;
    const uint8_t* attr = rec.data() + off;
    off += len;
    if (type != kAttrFileName || attr[8] != 0 || len < 0x18) continue;
    const uint32_t vlen = le32(attr + 0x10);
    const uint16_t voff = le16(attr + 0x14);
    if (!inBounds(len, voff, vlen) || vlen < 66) continue;
    const uint8_t* value = attr + voff;
    const uint8_t units = value[64];
    if (units == 0 || vlen < 66 + size_t(units) * 2) continue;
    if (have && nameRank(value[65], units) <= nameRank(out.nameSpace, out.units)) continue;
    have = true;
    out.parentReference = le64(value);
    out.flags = le32(value + 56);
    out.nameSpace = value[65];
    out.units = units;
    out.name = value + 66;
  }
  return have;
}

bool MftRecordReader::addExtension(std::span<const uint8_t> record) {
  return walk(record.first(std::min<size_t>(record.size(), recordSize_)), true) == kNtfsOk;
}

int MftRecordReader::walk(std::span<const uint8_t> rec, bool extension) {
  if (rec.size() < 0x30 || !isFileRecord(rec)) return kNtfsBadArgument;
  if (!extension) {
    inUse = (u16At(rec, 0x16) & 1) != 0;
    sequence = u16At(rec, 0x10);
    baseReference = u64At(rec, 0x20) & 0xFFFFFFFFFFFFull;
    ownNumber = u16At(rec, 0x04) >= 0x30 ? u32At(rec, 0x2C) : 0;
  }
  size_t off = u16At(rec, 0x14);
  // Attributes are 8-byte aligned and never overlap the header.
  if (off < 0x18) return kNtfsOk;
  while (off + 16 <= rec.size()) {
    uint32_t type = u32At(rec, off);
    if (type == kAttrEnd) break;
    uint32_t len = u32At(rec, off + 4);
    if (len < 16 || len > rec.size() - off) break;
    std::span<const uint8_t> attr = rec.subspan(off, len);
    bool nonResident = attr[8] != 0;
    std::span<const uint8_t> value;
    if (!nonResident && len >= 0x18) {
      uint32_t vlen = u32At(attr, 0x10);
      uint16_t voff = u16At(attr, 0x14);
      if (inBounds(len, voff, vlen)) value = attr.subspan(voff, vlen);
    }
    // An extension record of this file may hold its names and standard information.
    if (type == kAttrFileName) {
      if (!nonResident) takeFileName(value);
    } else {
      if (type == kAttrStandardInfo && !(extension && haveStandardInfo) && !nonResident && value.size() >= 36) {
        haveStandardInfo = true;
        created = le64(value.data());
        modified = le64(value.data() + 8);
        changed = le64(value.data() + 16);
        accessed = le64(value.data() + 24);
        fileAttributes = le32(value.data() + 32);
      } else if (type == kAttrData && attr[9] == 0) {
        takeData(data, attr, len);
      } else if (type == kAttrData) {
        takeNamedData(attr, len);
      } else if (type == kAttrAttributeList && !extension) {
        hasAttributeList = true;
        if (!nonResident) {
          attributeListResident = true;
          attributeListValue.assign(value.begin(), value.end());
        } else if (len >= 0x40) {
          attributeListResident = false;
          attributeListSize = u64At(attr, 0x30);
          uint16_t runOff = u16At(attr, 0x20);
          attributeListRuns.clear();
          if (runOff < len) NtfsRunList::decode(attr.subspan(runOff), u64At(attr, 0x10), attributeListRuns);
        }
      }
    }
    off += len;
  }
  return kNtfsOk;
}

void MftRecordReader::takeFileName(std::span<const uint8_t> value) {
  if (value.size() < 66) return;
  uint8_t units = value[64];
  if (units == 0 || value.size() < 66 + size_t(units) * 2) return;
  uint8_t ns = value[65];
  if (haveFileName && nameRank(ns, units) <= nameRank(nameSpace, name.size())) return;
  haveFileName = true;
  parentReference = le64(value.data());
  fileNameFlags = le32(value.data() + 56);
  nameSpace = ns;
  name.resize(units);
  for (size_t i = 0; i < units; ++i) name[i] = static_cast<char16_t>(le16(value.data() + 66 + 2 * i));
}

void MftRecordReader::takeData(NtfsDataStream& target, std::span<const uint8_t> attr, uint32_t len) {
  bool nonResident = attr[8] != 0;
  if (!nonResident) {
    if (target.present && !target.resident) return;  // keep a non-resident stream already seen
    uint32_t vlen = u32At(attr, 0x10);
    uint16_t voff = u16At(attr, 0x14);
    if (len < 0x18 || !inBounds(len, voff, vlen)) return;
    target = NtfsDataStream{};
    target.present = true;
    target.resident = true;
    target.residentValue.assign(attr.begin() + voff, attr.begin() + voff + vlen);
    return;
  }
  if (len < 0x40) return;
  if (target.resident) target = NtfsDataStream{};
  target.present = true;
  uint64_t startVcn = u64At(attr, 0x10);
  uint16_t flags = u16At(attr, 0x0C);
  if (startVcn == 0) {
    target.haveFirstExtent = true;
    target.flags = flags;
    target.compressionUnit = static_cast<uint8_t>(std::min<uint16_t>(u16At(attr, 0x22), 16));
    target.allocatedSize = u64At(attr, 0x28);
    target.realSize = u64At(attr, 0x30);
    target.initializedSize = u64At(attr, 0x38);
  }
  uint16_t runOff = u16At(attr, 0x20);
  if (runOff >= len) return;
  std::vector<NtfsRun> runs;
  if (!NtfsRunList::decode(attr.subspan(runOff), startVcn, runs)) target.runsValid = false;
  // Merge, keeping VCN order and dropping runs that overlap ones already held.
  for (const NtfsRun& r : runs) {
    auto it = std::lower_bound(target.runs.begin(), target.runs.end(), r.vcn,
                               [](const NtfsRun& a, uint64_t v) { return a.vcn < v; });
    bool overlaps = (it != target.runs.end() && it->vcn < r.vcn + r.length) ||
                    (it != target.runs.begin() && std::prev(it)->vcn + std::prev(it)->length > r.vcn);
    if (!overlaps) target.runs.insert(it, r);
  }
}

void MftRecordReader::takeNamedData(std::span<const uint8_t> attr, uint32_t len) {
  const size_t units = attr[9];
  const size_t nameOff = u16At(attr, 0x0A);
  if (!inBounds(len, nameOff, units * 2)) return;
  std::u16string streamName(units, u'\0');
  for (size_t i = 0; i < units; ++i) streamName[i] = static_cast<char16_t>(le16(attr.data() + nameOff + 2 * i));
  for (NtfsNamedStream& s : streams)
    if (s.name == streamName) return takeData(s.data, attr, len);
  if (streams.size() >= kMaxNamedStreams) return;
  streams.push_back(NtfsNamedStream{std::move(streamName), {}});
  takeData(streams.back().data, attr, len);
}

const NtfsNamedStream* MftRecordReader::stream(const std::u16string& streamName) const {
  for (const NtfsNamedStream& s : streams)
    if (s.name == streamName) return &s;
  return nullptr;
}

std::vector<NtfsAttrListEntry> MftRecordReader::parseAttributeList(std::span<const uint8_t> value) {
  std::vector<NtfsAttrListEntry> out;
  size_t off = 0;
  while (off + 26 <= value.size()) {
    uint16_t len = u16At(value, off + 4);
    if (len < 26 || len > value.size() - off) break;
    NtfsAttrListEntry e;
    e.type = u32At(value, off);
    e.nameLength = value[off + 6];
    e.startVcn = u64At(value, off + 8);
    e.recordNumber = u64At(value, off + 16) & 0xFFFFFFFFFFFFull;
    out.push_back(e);
    off += len;
  }
  return out;
}

}  // namespace brenix
