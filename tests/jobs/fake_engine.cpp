#include "jobs/fake_engine.h"

#include <algorithm>

#include "common/text.h"

namespace brenix::test {

std::vector<uint8_t> patternBytes(size_t size, uint8_t seed) {
  std::vector<uint8_t> v(size);
  for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(i * 7 + seed);
  return v;
}

FakeEngine::FakeEngine(EngineKind kind, std::vector<FakeFile> files, std::string rootName)
    : kind_(kind), files_(std::move(files)), rootName_(std::move(rootName)) {}

ScanResult FakeEngine::scan(ScanMode mode, RecoveryContext& ctx, ResultTree& tree, const RunningFlag& running) {
  stats->scans += 1;
  stats->lastMode = mode;
  stats->lastStart = ctx.options.startSector;
  stats->lastEnd = ctx.options.endSector;
  stats->lastRawTypes = ctx.options.rawTypes;
  if (failScan.error != 0) return failScan;
  tree.setRootName(rootName_);
  ctx.progress.setTotal(static_cast<int32_t>(files_.size()));
  int found = 0;
  for (size_t i = 0; i < files_.size() && running.load(); ++i) {
    if (beforeScanItem) beforeScanItem(static_cast<int>(i));
    const FakeFile& f = files_[i];
    ResultFolder* folder = &tree.root();
    size_t pos = 0;
    while (pos < f.folder.size()) {
      size_t end = f.folder.find('/', pos);
      if (end == std::string::npos) end = f.folder.size();
      if (end > pos) folder = &tree.childNamed(*folder, f.folder.substr(pos, end - pos));
      pos = end + 1;
    }
    FoundItem item;
    item.name = f.name;
    item.size = f.zeros ? f.zeros : f.data.size();
    item.checked = f.checked;
    item.deleted = true;
    item.typeText = toLower(f.name.substr(std::min(f.name.size(), f.name.rfind('.') + 1)));
    item.engineIndex = i;
    tree.addItem(*folder, std::move(item));
    ctx.progress.setDone(static_cast<int32_t>(i + 1));
    ctx.progress.setStatus(format("Found Deleted Files : %d", ++found));
  }
  return {};
}

bool FakeEngine::readItem(const FoundItem& item, std::vector<uint8_t>& out, uint64_t maxBytes) {
  if (item.engineIndex >= files_.size()) return false;
  const auto& d = files_[item.engineIndex].data;
  out.assign(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(d.size(), maxBytes)));
  return true;
}

WriteStatus FakeEngine::writeItem(const FoundItem& item, ByteSink& sink, const RunningFlag& running) {
  if (item.engineIndex >= files_.size()) return WriteStatus::ReadFailed;
  if (beforeWrite) beforeWrite(stats->writes.load());
  const FakeFile& f = files_[item.engineIndex];
  if (f.unreadable) return WriteStatus::ReadFailed;
  if (f.zeros) {
    static const std::vector<uint8_t> block(1 << 20, 0);
    for (uint64_t off = 0; off < f.zeros; off += block.size()) {
      if (!running.load()) return WriteStatus::Cancelled;
      if (!sink.write(block.data(), static_cast<size_t>(std::min<uint64_t>(block.size(), f.zeros - off))))
        return WriteStatus::WriteFailed;
    }
    stats->writes += 1;
    return WriteStatus::Ok;
  }
  constexpr size_t kChunk = 512;
  for (size_t off = 0; off < f.data.size(); off += kChunk) {
    if (!running.load()) return WriteStatus::Cancelled;
    if (!sink.write(f.data.data() + off, std::min(kChunk, f.data.size() - off))) return WriteStatus::WriteFailed;
  }
  stats->writes += 1;
  return WriteStatus::Ok;
}

}  // namespace brenix::test
