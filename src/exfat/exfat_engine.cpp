#include "exfat/exfat_engine.h"

#include <algorithm>
#include <cstring>

#include "common/text.h"

namespace brenix::exfat {

namespace {

constexpr size_t kChunkBytes = 4u << 20;  // recovery reads at most this much per call

}  // namespace

std::string rootLabel(char driveLetter, const std::string& rootPath) {
  if ((driveLetter == '*' || driveLetter == 0) && !rootPath.empty())
    return format("exFAT - Logical Disk (%s)", rootPath.c_str());
  return format("exFAT - Logical Disk (%c:)", driveLetter == 0 ? '*' : driveLetter);
}

ScanResult ExFatEngine::scan(ScanMode mode, RecoveryContext& ctx, ResultTree& tree, const RunningFlag& running) {
  auto volume = std::make_unique<Volume>();
  const int rc = volume->open(ctx.partition.diskNumber, ctx.partitionStart);
  if (rc != 0) {
    volume_.reset();
    records_.clear();
    tree.setRootName(rootLabel(ctx.partition.driveLetter, ctx.rootPath));
    return ScanResult{rc, rc == kErrNotExFat ? "Not an exFAT volume: " + volume->error() : volume->error()};
  }
  return scanVolume(std::move(volume), mode, ctx, tree, running);
}

ScanResult ExFatEngine::scanVolume(std::unique_ptr<Volume> volume, ScanMode mode, RecoveryContext& ctx,
                                   ResultTree& tree, const RunningFlag& running) {
  volume_ = std::move(volume);
  records_.clear();
  counters_ = ScanCounters{};
  tree.setRootName(rootLabel(ctx.partition.driveLetter, ctx.rootPath));
  ScanSink sink{tree, records_, ctx.progress, running};
  NameFilter filter;
  filter.preset = ctx.preset;
  if (mode == ScanMode::Deleted) {
    filter.patterns = ctx.options.nameFilter;
    runDeletedScan(*volume_, filter, sink, &counters_, searchFolderNames(ctx.options.searchFolder, ctx.rootPath));
  } else if (mode == ScanMode::Formatted) {
    FormattedScanOptions options;
    options.filter = filter;
    // The scan range in clusters (512-byte sectors of the drive to the heap's clusters).
    const Geometry& g = volume_->geometry();
    const uint64_t heapStart = ctx.partitionStart + ((uint64_t(g.heapOffset) << g.bytesPerSectorShift) / 512);
    const uint64_t sectorsPerCluster = std::max<uint64_t>(1, g.clusterBytes() / 512);
    if (ctx.options.startSector > heapStart)
      options.firstCluster = static_cast<uint32_t>(
          std::min<uint64_t>(2 + (ctx.options.startSector - heapStart) / sectorsPerCluster, UINT32_MAX));
    if (ctx.options.endSector != 0)
      options.lastCluster = ctx.options.endSector > heapStart
                                ? static_cast<uint32_t>(std::min<uint64_t>(
                                      2 + (ctx.options.endSector - 1 - heapStart) / sectorsPerCluster, UINT32_MAX))
                                : 1;
    options.sweep = ctx.sweep;
    if (ctx.sweep) ctx.sweep->unit = "cluster";
    runFormattedScan(*volume_, options, sink, &counters_);
    if (ctx.sweep && !ctx.sweep->refused.empty()) return ScanResult{22, ctx.sweep->refused};
  } else {
    return ScanResult{22, {}};
  }
  return ScanResult{0, {}};
}

const Item* ExFatEngine::recordOf(const FoundItem& item) const {
  if (!volume_ || !volume_->isOpen() || item.engineIndex >= records_.size()) return nullptr;
  return &records_[item.engineIndex];
}

template <typename Put>
WriteStatus ExFatEngine::stream(const Item& rec, uint64_t limit, const RunningFlag* running, Put put) {
  const EntrySet& e = rec.entry;
  const Placement p = placeData(*volume_, e.firstCluster, e.dataLength, e.noFatChain());
  const uint64_t cb = volume_->geometry().clusterBytes();
  const uint64_t size = std::min(limit, e.dataLength);
  // Bytes past the valid data length were never written: they read as zeros.
  const uint64_t valid = std::min(e.validDataLength, size);
  std::vector<uint8_t> buf(static_cast<size_t>(std::min<uint64_t>(kChunkBytes, std::max<uint64_t>(size, 1))));
  uint64_t done = 0;
  bool bufferIsZero = false;  // the tail past the valid length reuses one zeroed buffer
  for (const ClusterRun& r : p.runs) {
    const uint64_t runBytes = uint64_t(r.count) * cb;
    for (uint64_t at = 0; at < runBytes && done < size;) {
      if (running && !*running) return WriteStatus::Cancelled;
      const size_t n = static_cast<size_t>(std::min<uint64_t>({buf.size(), runBytes - at, size - done}));
      if (done >= valid) {
        if (!bufferIsZero) std::memset(buf.data(), 0, buf.size());
        bufferIsZero = true;
      } else {
        const size_t readN = static_cast<size_t>(std::min<uint64_t>(n, valid - done));
        if (!volume_->readBytes(volume_->clusterOffset(r.first) + at, buf.data(), readN)) return WriteStatus::ReadFailed;
        std::memset(buf.data() + readN, 0, n - readN);
      }
      if (!put(buf.data(), n)) return WriteStatus::WriteFailed;
      done += n;
      at += n;
    }
  }
  return done == size && (p.complete || size < e.dataLength) ? WriteStatus::Ok : WriteStatus::ReadFailed;
}

bool ExFatEngine::readItem(const FoundItem& item, std::vector<uint8_t>& out, uint64_t maxBytes) {
  out.clear();
  const Item* rec = recordOf(item);
  if (!rec) return false;
  out.reserve(static_cast<size_t>(std::min<uint64_t>(maxBytes, rec->entry.dataLength)));
  return stream(*rec, maxBytes, nullptr, [&](const uint8_t* d, size_t n) {
           out.insert(out.end(), d, d + n);
           return true;
         }) == WriteStatus::Ok;
}

WriteStatus ExFatEngine::writeItem(const FoundItem& item, ByteSink& sink, const RunningFlag& running) {
  const Item* rec = recordOf(item);
  if (!rec) return WriteStatus::ReadFailed;
  return stream(*rec, UINT64_MAX, &running, [&](const uint8_t* d, size_t n) { return sink.write(d, n); });
}

}  // namespace brenix::exfat
