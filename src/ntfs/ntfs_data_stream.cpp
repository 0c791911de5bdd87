// Data streams: clusters read through a stream's runs, resident values, LZNT1
// compression units, and an item's content streamed to memory or a sink.
#include <algorithm>
#include <cstring>

#include "codec/lznt1.h"
#include "common/bytes.h"
#include "ntfs/ntfs_volume.h"

namespace brenix {
namespace {

constexpr size_t kIoBytes = size_t(1) << 20;  // largest single device read of a file's content
constexpr size_t kMaxAttributeList = 256 * 1024;

uint64_t mulSat(uint64_t a, uint64_t b) {
  if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
  return a * b;
}

}  // namespace

bool NtfsVolume::readClusters(uint64_t lcn, uint64_t within, uint8_t* out, size_t count) const {
  const uint64_t cluster = bytesPerCluster_;
  uint64_t limit = totalClusters_ ? totalClusters_ : (uint64_t(1) << 40);
  if (cluster == 0 || lcn >= limit || lcn > (UINT64_MAX - within) / cluster) return false;
  uint64_t off = lcn * cluster + within;
  uint64_t volumeBytes = mulSat(limit, cluster);
  if (off > volumeBytes || volumeBytes - off < count || off > UINT64_MAX - partitionOffset_ - count) return false;
  return device_.readBytesAt(partitionOffset_ + off, out, count);
}

bool NtfsVolume::readStreamRange(const NtfsDataStream& data, uint64_t offset, uint8_t* out, size_t n) const {
  const uint64_t C = bytesPerCluster_;
  if (C == 0 || !data.present || data.resident) return false;
  const uint64_t init = std::min(data.initializedSize, data.realSize);
  const auto& runs = data.runs;  // sorted by VCN
  while (n > 0) {
    const uint64_t vcn = offset / C;
    auto it = std::upper_bound(runs.begin(), runs.end(), vcn, [](uint64_t v, const NtfsRun& r) { return v < r.vcn; });
    if (it == runs.begin()) return false;
    const NtfsRun& run = *std::prev(it);
    if (vcn >= run.vcn + run.length) return false;  // unmapped
    uint64_t take = std::min<uint64_t>(n, mulSat(run.vcn + run.length, C) - offset);
    if (!run.sparse && offset < init && init - offset < take) take = init - offset;
    if (run.sparse || offset >= init) {
      std::memset(out, 0, static_cast<size_t>(take));
    } else if (!readClusters(run.lcn + (vcn - run.vcn), offset % C, out, static_cast<size_t>(take))) {
      return false;
    }
    out += take;
    offset += take;
    n -= static_cast<size_t>(take);
  }
  return true;
}

std::vector<uint8_t> NtfsVolume::readAttributeList(const MftRecordReader& reader) {
  if (reader.attributeListResident) return reader.attributeListValue;
  NtfsDataStream s;
  s.present = true;
  s.haveFirstExtent = true;
  s.runs = reader.attributeListRuns;
  s.realSize = s.initializedSize = std::min<uint64_t>(reader.attributeListSize, kMaxAttributeList);
  std::vector<uint8_t> out;
  streamData(s, kMaxAttributeList, [&](const uint8_t* p, size_t n) {
    out.insert(out.end(), p, p + n);
    return true;
  });
  return out;
}

NtfsReadStatus NtfsVolume::streamData(const NtfsDataStream& data, uint64_t maxBytes, const NtfsSink& sink) {
  if (!data.present) return NtfsReadStatus::Ok;
  if (data.resident) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(data.residentValue.size(), maxBytes));
    if (n && !sink(data.residentValue.data(), n)) return NtfsReadStatus::WriteFailed;
    return NtfsReadStatus::Ok;
  }
  if (bytesPerCluster_ == 0) return NtfsReadStatus::ReadFailed;
  const uint64_t C = bytesPerCluster_;
  // NTFS numbers at most 2^32 - 1 clusters; a larger stream is a damaged or
  // forged record, and writing it would fill the destination with zeros.
  if (data.realSize / C >= (uint64_t(1) << 32)) return NtfsReadStatus::ReadFailed;
  const uint64_t total = std::min(data.realSize, maxBytes);
  const auto& runs = data.runs;
  std::vector<uint8_t> io;
  uint64_t done = 0;
  size_t ri = 0;
  // Finds the run holding vcn (runs are sorted); null when unmapped.
  auto runAt = [&](uint64_t vcn) -> const NtfsRun* {
    while (ri < runs.size() && runs[ri].vcn + runs[ri].length <= vcn) ++ri;
    if (ri < runs.size() && runs[ri].vcn <= vcn) return &runs[ri];
    return nullptr;
  };

  if (!data.compressed()) {
    const uint64_t init = std::min(data.initializedSize, data.realSize);
    io.resize(static_cast<size_t>(std::min<uint64_t>(kIoBytes, std::max<uint64_t>(total, 1))));
    while (done < total) {
      if (!running()) return NtfsReadStatus::Cancelled;
      uint64_t vcn = done / C, within = done % C;
      const NtfsRun* r = runAt(vcn);
      if (!r) return NtfsReadStatus::ReadFailed;
      uint64_t runEnd = mulSat(r->vcn + r->length, C);
      uint64_t n = std::min({total - done, runEnd - done, uint64_t(io.size())});
      bool zeros = r->sparse || done >= init;
      if (!zeros && init - done < n) n = init - done;
      if (zeros) {
        std::fill(io.begin(), io.begin() + static_cast<ptrdiff_t>(n), 0);
      } else if (!readClusters(r->lcn + (vcn - r->vcn), within, io.data(), static_cast<size_t>(n))) {
        return NtfsReadStatus::ReadFailed;
      }
      if (!sink(io.data(), static_cast<size_t>(n))) return NtfsReadStatus::WriteFailed;
      done += n;
    }
    return NtfsReadStatus::Ok;
  }

  // Compressed: unit by unit. A unit stored in all its clusters is copied, a
  // unit with no clusters is zeros, anything between is LZNT1 data followed
  // by a sparse tail.
  const uint64_t unitClusters = uint64_t(1) << data.compressionUnit;
  const uint64_t unitBytes = unitClusters * C;
  if (unitBytes > (uint64_t(4) << 20)) return NtfsReadStatus::ReadFailed;
  io.resize(static_cast<size_t>(unitBytes));
  std::vector<uint8_t> plain;
  plain.reserve(static_cast<size_t>(unitBytes));
  for (uint64_t unit = 0; done < total; ++unit) {
    if (!running()) return NtfsReadStatus::Cancelled;
    const uint64_t first = unit * unitClusters;
    uint64_t stored = 0;
    bool mapped = false;
    for (uint64_t v = first; v < first + unitClusters;) {
      const NtfsRun* r = runAt(v);
      if (!r) break;
      mapped = true;
      uint64_t n = std::min(r->vcn + r->length - v, first + unitClusters - v);
      if (r->sparse) break;
      if (!readClusters(r->lcn + (v - r->vcn), 0, io.data() + stored * C, static_cast<size_t>(n * C)))
        return NtfsReadStatus::ReadFailed;
      stored += n;
      v += n;
    }
    if (!mapped) return NtfsReadStatus::ReadFailed;
    const uint8_t* out;
    if (stored == unitClusters) {
      out = io.data();
    } else if (stored == 0) {
      std::fill(io.begin(), io.end(), 0);
      out = io.data();
    } else {
      plain.clear();
      if (!lznt1Decompress(std::span<const uint8_t>(io.data(), static_cast<size_t>(stored * C)), plain,
                           static_cast<size_t>(unitBytes)))
        return NtfsReadStatus::ReadFailed;
      plain.resize(static_cast<size_t>(unitBytes), 0);
      out = plain.data();
    }
    uint64_t n = std::min(unitBytes, total - done);
    if (!sink(out, static_cast<size_t>(n))) return NtfsReadStatus::WriteFailed;
    done += n;
  }
  return NtfsReadStatus::Ok;
}

NtfsReadStatus NtfsVolume::readItemData(const NtfsItem& item, std::vector<uint8_t>& out, uint64_t maxBytes) {
  out.clear();
  return streamItem(item, maxBytes, [&](const uint8_t* p, size_t n) {
    out.insert(out.end(), p, p + n);
    return true;
  });
}

NtfsReadStatus NtfsVolume::writeItemData(const NtfsItem& item, const NtfsSink& sink) {
  return streamItem(item, UINT64_MAX, sink);
}

NtfsReadStatus NtfsVolume::streamItem(const NtfsItem& item, uint64_t maxBytes, const NtfsSink& sink) {
  if (item.bufferIndex < 0 || item.recordNumber < 0) return NtfsReadStatus::BadItem;
  const auto b = static_cast<size_t>(item.bufferIndex);
  const auto index = static_cast<uint32_t>(item.recordNumber);
  std::vector<uint8_t> rec;
  if (!readRecord(b, index, rec)) return NtfsReadStatus::BadItem;
  MftRecordReader r;
  if (decodeFull(b, index, rec, r) != kNtfsOk) return NtfsReadStatus::BadItem;
  if (!item.streamName.empty()) {
    const NtfsNamedStream* st = r.stream(item.streamName);
    return st ? streamData(st->data, maxBytes, sink) : NtfsReadStatus::ReadFailed;
  }
  if (r.dataExtentMissing) return NtfsReadStatus::ReadFailed;  // what is left is not the whole file
  return streamData(r.data, maxBytes, sink);
}

std::vector<std::pair<uint64_t, uint64_t>> NtfsVolume::claimedRanges() {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  const uint64_t C = bytesPerCluster_;
  if (C == 0) return out;
  std::vector<uint8_t> rec;
  for (const NtfsItem& item : items_) {
    if (item.isFolder() || item.bufferIndex < 0 || item.recordNumber < 0) continue;
    const auto b = static_cast<size_t>(item.bufferIndex);
    const auto index = static_cast<uint32_t>(item.recordNumber);
    MftRecordReader r;
    if (!readRecord(b, index, rec) || decodeFull(b, index, rec, r) != kNtfsOk) continue;
    const NtfsDataStream* data = &r.data;
    if (!item.streamName.empty()) {
      const NtfsNamedStream* st = r.stream(item.streamName);
      if (!st) continue;
      data = &st->data;
    }
    if (data->resident) continue;
    for (const NtfsRun& run : data->runs)
      if (!run.sparse)
        out.emplace_back(partitionOffset_ + mulSat(run.lcn, C), partitionOffset_ + mulSat(run.lcn + run.length, C));
  }
  return out;
}

}  // namespace brenix
