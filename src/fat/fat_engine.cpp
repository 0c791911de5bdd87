#include "fat/fat_engine.h"

#include <algorithm>

#include "common/text.h"
#include "fat/fat_scan.h"

namespace brenix {

namespace {

constexpr size_t kChunkBytes = 1u << 20;  // recovery reads at most this much per call

std::string presetPatternText(const RecoveryContext& ctx) {
  if (ctx.preset == FilePreset::None) return ctx.options.nameFilter;
  std::string text;
  for (const std::string& e : presetExtensions(ctx.preset)) text += (text.empty() ? "" : " ") + e;
  return text;
}

// The partition's scan range in the volume's own sectors.
void volumeRange(const RecoveryContext& ctx, const FatGeometry& g, uint64_t* start, uint64_t* end) {
  const uint64_t base = ctx.partitionStart;
  auto toVolume = [&](uint64_t abs) { return abs > base ? (abs - base) * 512 / g.bytesPerSector : 0; };
  *start = toVolume(ctx.options.startSector);
  *end = ctx.options.endSector == 0 ? UINT64_MAX : toVolume(ctx.options.endSector);
}

}  // namespace

std::string fatRootLabel(FatType type, char driveLetter, const std::string& rootPath) {
  const char* kind = type == FatType::Fat32 ? "FAT32" : type == FatType::Fat16 ? "FAT16" : "FAT12";
  if ((driveLetter == '*' || driveLetter == 0) && !rootPath.empty())
    return format("%s - Logical Disk (%s)", kind, rootPath.c_str());
  return format("%s - Logical Disk (%c:)", kind, driveLetter == 0 ? '*' : driveLetter);
}

std::vector<std::pair<uint64_t, uint64_t>> fatDataPieces(const FatVolume& v, const FatItem& item, bool* ok,
                                                         ItemCondition* condition) {
  std::vector<std::pair<uint64_t, uint64_t>> pieces;
  *ok = true;
  if (condition) *condition = ItemCondition::Intact;
  const uint64_t size = item.size;
  if (size == 0) return pieces;
  const uint32_t first = item.startCluster;
  if (!v.validCluster(first)) {
    *ok = false;
    if (condition) *condition = ItemCondition::Unrecoverable;
    return pieces;
  }
  const uint32_t cb = v.geometry().clusterBytes();
  const uint64_t needed = (size + cb - 1) / cb;
  bool complete = false;
  std::vector<uint32_t> chain;
  if (v.next(first) != 0) chain = v.chain(first, static_cast<size_t>(needed), &complete);
  if (!(complete && chain.size() == needed)) {
    // The chain is gone: the first cluster, then the free clusters after it
    // in order (clusters a live file holds now are not this file's). A first
    // cluster that a live file holds makes the bytes most likely that file's.
    if (v.next(first) != 0 && condition) *condition = ItemCondition::ProbablyOverwritten;
    chain.assign(1, first);
    const uint32_t maxCluster = v.geometry().maxCluster();
    for (uint64_t c = uint64_t(first) + 1; chain.size() < needed && c <= maxCluster; ++c)
      if (v.next(static_cast<uint32_t>(c)) == 0) chain.push_back(static_cast<uint32_t>(c));
  }
  uint64_t left = size;
  for (size_t i = 0; i < chain.size() && left > 0;) {
    size_t j = i + 1;
    while (j < chain.size() && chain[j] == chain[j - 1] + 1) ++j;  // one piece per contiguous stretch
    const uint64_t offset = v.clusterOffset(chain[i]);
    const uint64_t end = v.volumeEndOffset();
    if (offset >= end) break;
    const uint64_t len = std::min<uint64_t>({left, uint64_t(j - i) * cb, end - offset});
    pieces.emplace_back(offset, len);
    left -= len;
    i = j;
  }
  if (left > 0) *ok = false;  // the volume ends before the file does
  return pieces;
}

ScanResult FatEngine::scan(ScanMode mode, RecoveryContext& ctx, ResultTree& tree, const RunningFlag& running) {
  auto volume = std::make_unique<FatVolume>();
  const int rc = volume->open(ctx.partition.diskNumber, ctx.partitionStart, variant_);
  if (rc != 0) {
    volume_.reset();
    records_.clear();
    tree.setRootName(fatRootLabel(variant_ == FatVariant::Fat32 ? FatType::Fat32 : FatType::Fat16,
                                  ctx.partition.driveLetter, ctx.rootPath));
    const std::string& why = volume->error();
    const char* kind = variant_ == FatVariant::Fat32 ? "FAT32" : "FAT12/FAT16";
    return ScanResult{rc, format("The partition cannot be scanned as %s: %s", kind,
                                 why.empty() ? "it cannot be read" : why.c_str())};
  }
  return scanVolume(std::move(volume), mode, ctx, tree, running);
}

ScanResult FatEngine::scanVolume(std::unique_ptr<FatVolume> volume, ScanMode mode, RecoveryContext& ctx,
                                 ResultTree& tree, const RunningFlag& running) {
  volume_ = std::move(volume);
  records_.clear();
  tree.setRootName(fatRootLabel(volume_->geometry().type, ctx.partition.driveLetter, ctx.rootPath));
  FatScanSink sink{tree, records_, ctx.progress, running};
  if (mode == ScanMode::Formatted) {
    FatFormattedScanOptions options;
    options.preset = ctx.preset;
    volumeRange(ctx, volume_->geometry(), &options.rangeStart, &options.rangeEnd);
    options.sweep = ctx.sweep;
    runFatFormattedScan(*volume_, options, sink);
    if (ctx.sweep && !ctx.sweep->refused.empty()) return ScanResult{22, ctx.sweep->refused};
  } else if (mode == ScanMode::Deleted) {
    FatDeletedScanOptions options;
    options.folderFilter = fatFolderFilter(ctx.options.searchFolder, ctx.rootPath);
    options.patterns = fatNamePatterns(presetPatternText(ctx));
    runFatDeletedScan(*volume_, options, sink);
  } else {
    return ScanResult{22, {}};
  }
  return ScanResult{0, volume_->notice()};
}

const FatItem* FatEngine::recordOf(const FoundItem& item) const {
  if (!volume_ || !volume_->isOpen() || item.engineIndex >= records_.size()) return nullptr;
  return &records_[item.engineIndex];
}

bool FatEngine::readItem(const FoundItem& item, std::vector<uint8_t>& out, uint64_t maxBytes) {
  out.clear();
  const FatItem* rec = recordOf(item);
  if (!rec) return false;
  bool ok = true;
  const auto pieces = fatDataPieces(*volume_, *rec, &ok);
  if (!ok) return false;
  uint64_t want = std::min<uint64_t>(maxBytes, rec->size);
  out.reserve(static_cast<size_t>(want));
  for (const auto& [offset, length] : pieces) {
    if (want == 0) break;
    const size_t n = static_cast<size_t>(std::min(want, length));
    const size_t at = out.size();
    out.resize(at + n);
    if (!volume_->readBytes(offset, out.data() + at, n)) {
      out.resize(at);
      return false;
    }
    want -= n;
  }
  return true;
}

WriteStatus FatEngine::writeItem(const FoundItem& item, ByteSink& sink, const RunningFlag& running) {
  const FatItem* rec = recordOf(item);
  if (!rec) return WriteStatus::ReadFailed;
  bool ok = true;
  const auto pieces = fatDataPieces(*volume_, *rec, &ok);
  std::vector<uint8_t> buf(static_cast<size_t>(std::min<uint64_t>(kChunkBytes, std::max<uint64_t>(rec->size, 1))));
  for (const auto& [offset, length] : pieces) {
    for (uint64_t done = 0; done < length;) {
      if (!running) return WriteStatus::Cancelled;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), length - done));
      if (!volume_->readBytes(offset + done, buf.data(), n)) return WriteStatus::ReadFailed;
      if (!sink.write(buf.data(), n)) return WriteStatus::WriteFailed;
      done += n;
    }
  }
  return ok ? WriteStatus::Ok : WriteStatus::ReadFailed;
}

std::vector<std::pair<uint64_t, uint64_t>> FatEngine::claimedRanges() const {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  if (!volume_ || !volume_->isOpen()) return out;
  const uint64_t cb = volume_->geometry().clusterBytes();
  for (const FatItem& rec : records_) {
    bool ok = true;
    for (const auto& [offset, length] : fatDataPieces(*volume_, rec, &ok))
      out.emplace_back(offset, offset + (length + cb - 1) / cb * cb);
  }
  return out;
}

}  // namespace brenix
