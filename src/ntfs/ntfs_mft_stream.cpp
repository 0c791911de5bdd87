// The live master file table: record 0 maps it, and the scans stream through
// it in large sequential reads, one record at a time handed on with its
// fixups applied, so no more than one read's worth of records is in memory.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "ntfs/ntfs_volume.h"

namespace brenix {
namespace {

constexpr size_t kStreamBytes = size_t(2) << 20;  // one sequential read of the table

uint64_t mulSat(uint64_t a, uint64_t b) {
  if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
  return a * b;
}

}  // namespace

int NtfsVolume::loadMft() {
  if (!device_.isOpen()) return kNtfsNoDevice;
  if (!bootValid_) return kNtfsNotNtfs;
  std::vector<uint8_t> rec(recordSize_);
  if (!readClusters(mftCluster_, 0, rec.data(), rec.size())) return device_.lastError() ? device_.lastError() : EIO;
  applyFixups(rec);
  MftRecordReader reader;
  int e = reader.configure(recordSize_, bytesPerCluster_);
  if (e == kNtfsOk) e = reader.decode(rec);
  if (e != kNtfsOk) return e;
  static const char16_t kMft[] = u"$MFT";
  if (reader.name.size() < 4 || reader.name.compare(0, 4, kMft) != 0) return kNtfsNotMft;

  // $MFT's own data may continue in extension records; they are reached
  // through the part of the table already mapped, in VCN order.
  if (reader.hasAttributeList) {
    auto entries = MftRecordReader::parseAttributeList(readAttributeList(reader));
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.startVcn < b.startVcn; });
    std::vector<uint64_t> done;
    for (const NtfsAttrListEntry& entry : entries) {
      if (entry.type != kAttrData || entry.nameLength != 0 || entry.recordNumber == 0) continue;
      if (std::find(done.begin(), done.end(), entry.recordNumber) != done.end() || done.size() >= 4096) continue;
      done.push_back(entry.recordNumber);
      uint64_t byte = mulSat(entry.recordNumber, recordSize_);
      uint64_t vcn = byte / bytesPerCluster_;
      for (const NtfsRun& r : reader.data.runs) {
        if (vcn < r.vcn || vcn >= r.vcn + r.length || r.sparse) continue;
        std::vector<uint8_t> ext(recordSize_);
        if (readClusters(r.lcn + (vcn - r.vcn), byte % bytesPerCluster_, ext.data(), ext.size())) {
          applyFixups(ext);
          if ((u64At(ext, 0x20) & 0xFFFFFFFFFFFFull) == 0) reader.addExtension(ext);
        }
        break;
      }
    }
  }
  const NtfsDataStream& data = reader.data;
  if (!data.present || data.resident) return kNtfsNotMft;
  uint64_t size = data.realSize;
  // The table can be no larger than its runs, the volume or the device.
  uint64_t mapped = 0;
  for (const NtfsRun& r : data.runs) mapped += r.length;
  size = std::min(size, mulSat(mapped, bytesPerCluster_));
  if (totalClusters_) size = std::min(size, mulSat(totalClusters_, bytesPerCluster_));
  if (uint64_t dev = device_.sizeBytes(); dev > 0) size = std::min(size, dev);
  mft_ = data;
  liveCount_ = static_cast<uint32_t>(std::min<uint64_t>(size / recordSize_, UINT32_MAX));
  liveLoaded_ = true;
  liveFolders_.clear();
  unreadableRecords_ = 0;
  return kNtfsOk;
}

int NtfsVolume::streamLiveTable(uint32_t first, const std::function<void(uint32_t, std::span<const uint8_t>)>& visit,
                                uint32_t from, uint64_t unreadableBefore, const std::function<void(uint32_t)>& batchDone) {
  if (!liveLoaded_ || recordSize_ == 0) return -1;
  const size_t rs = recordSize_;
  const uint32_t perRead = static_cast<uint32_t>(std::max<size_t>(1, kStreamBytes / rs));
  std::vector<uint8_t> buf(size_t(perRead) * rs);
  std::vector<uint8_t> unreadable(perRead);
  unreadableRecords_ = unreadableBefore;
  // Every record is read (the file system's own too), so the count of unreadable ones covers the table.
  for (uint32_t at = from; at < liveCount_;) {
    if (!running()) return -1;
    const uint32_t n = std::min(perRead, liveCount_ - at);
    const uint64_t offset = uint64_t(at) * rs;
    std::fill_n(unreadable.begin(), n, 0);
    if (!readStreamRange(mft_, offset, buf.data(), size_t(n) * rs)) {
      // Read around unreadable clusters: record by record; a record that
      // cannot be read whole is left out, and counted.
      for (uint32_t k = 0; k < n; ++k) {
        if (!readStreamRange(mft_, offset + uint64_t(k) * rs, buf.data() + size_t(k) * rs, rs)) {
          unreadable[k] = 1;
          ++unreadableRecords_;
        }
      }
    }
    for (uint32_t k = 0; k < n; ++k) {
      if (unreadable[k] || at + k < first) continue;
      std::span<uint8_t> rec(buf.data() + size_t(k) * rs, rs);
      if (std::memcmp(rec.data(), "FILE", 4) != 0) continue;  // never a record: nothing to hand on
      applyFixups(rec);
      visit(at + k, rec);
    }
    at += n;
    if (batchDone) batchDone(at);
  }
  if (liveCount_ > 0 && unreadableRecords_ == liveCount_) return device_.lastError() ? device_.lastError() : EIO;
  return kNtfsOk;
}

}  // namespace brenix
