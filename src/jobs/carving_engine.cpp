#include "jobs/carving_engine.h"

#include <algorithm>

namespace brenix {

std::vector<std::pair<uint64_t, uint64_t>> mergeRanges(std::vector<std::pair<uint64_t, uint64_t>> ranges) {
  std::sort(ranges.begin(), ranges.end());
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (const auto& r : ranges) {
    if (r.second <= r.first) continue;
    if (!out.empty() && r.first <= out.back().second)
      out.back().second = std::max(out.back().second, r.second);
    else
      out.push_back(r);
  }
  return out;
}

bool inClaimedRanges(const std::vector<std::pair<uint64_t, uint64_t>>& merged, uint64_t byte) {
  auto it = std::upper_bound(merged.begin(), merged.end(), byte,
                             [](uint64_t b, const std::pair<uint64_t, uint64_t>& r) { return b < r.first; });
  return it != merged.begin() && byte < std::prev(it)->second;
}

ScanResult CarvingScanEngine::scan(ScanMode mode, RecoveryContext& ctx, ResultTree& tree, const RunningFlag& running) {
  carved_ = 0;
  ScanResult result = fs_->scan(mode, ctx, tree, running);
  if (result.error != 0 || mode != ScanMode::Formatted || !ctx.options.carveUnclaimed || !running) return result;

  const auto claimed = mergeRanges(fs_->claimedRanges());
  ResultTree carvedTree;
  const std::string status = ctx.progress.status();
  // The signature scan chooses its own types (preset or the raw options);
  // a failure of its own leaves the file system's result as it is, and says so.
  const ScanResult carving = raw_.scan(ScanMode::Raw, ctx, carvedTree, running);
  if (carving.error != 0) {
    result.message += (result.message.empty() ? "" : "\n") + std::string("The unclaimed clusters were not carved: ") +
                      (carving.message.empty() ? "the signature scan failed" : carving.message);
    return result;
  }
  const auto& files = raw_.scanner().files();
  ResultFolder* carvedFolder = nullptr;
  for (const auto& type : carvedTree.root().children) {
    ResultFolder* typeFolder = nullptr;
    for (size_t index : type->items) {
      FoundItem item = carvedTree.item(index);
      if (item.engineIndex >= files.size()) continue;
      const uint64_t start = (ctx.partitionStart + files[item.engineIndex].startSector) * 512;
      if (inClaimedRanges(claimed, start)) continue;  // a found file's data: listed already
      if (!carvedFolder) carvedFolder = &tree.addFolder(tree.root(), kCarvedFolderName);
      if (!typeFolder) typeFolder = &tree.addFolder(*carvedFolder, type->name);
      item.engineIndex |= kCarvedBit;
      tree.addItem(*typeFolder, std::move(item));
      ++carved_;
    }
  }
  ctx.progress.setStatus(status);
  return result;
}

bool CarvingScanEngine::readItem(const FoundItem& item, std::vector<uint8_t>& out, uint64_t maxBytes) {
  if ((item.engineIndex & kCarvedBit) == 0) return fs_->readItem(item, out, maxBytes);
  FoundItem inner = item;
  inner.engineIndex &= ~kCarvedBit;
  return raw_.readItem(inner, out, maxBytes);
}

WriteStatus CarvingScanEngine::writeItem(const FoundItem& item, ByteSink& sink, const RunningFlag& running) {
  if ((item.engineIndex & kCarvedBit) == 0) return fs_->writeItem(item, sink, running);
  FoundItem inner = item;
  inner.engineIndex &= ~kCarvedBit;
  return raw_.writeItem(inner, sink, running);
}

}  // namespace brenix
