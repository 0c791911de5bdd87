#include "ntfs/ntfs_engine.h"

#include <algorithm>

#include "common/text.h"

namespace brenix {
namespace {

const char* presetFilter(FilePreset preset) {
  switch (preset) {
    case FilePreset::Pictures:
      return ".bmp .gif .jpg .png .mng .ico .tif .tga .pcx .wbmp .wmf .j2k .jbg .jp2 .jpc .pgx .pnm .ras";
    case FilePreset::Mail: return ".dbx .pst .box";
    case FilePreset::None: break;
  }
  return nullptr;
}

FoundItem viewOf(const NtfsItem& item, size_t index) {
  FoundItem f;
  f.name = item.name;
  f.size = item.size;
  f.attributes = item.attributes;
  f.modified = item.modified;
  f.created = item.created;
  f.accessed = item.accessed;
  f.deleted = item.deleted;
  if (item.dataLost) f.condition = ItemCondition::Unrecoverable;
  f.checked = item.checked;
  f.engineIndex = index;
  return f;
}

}  // namespace

std::string NtfsEngine::rootName(const RecoveryContext& ctx) {
  char letter = ctx.partition.driveLetter;
  if (letter == '*' && !ctx.rootPath.empty()) return "NTFS - Logical Disk (" + ctx.rootPath + ")";
  return format("NTFS - Logical Disk (%c:)", letter ? letter : '*');
}

std::string NtfsEngine::relativeSearchFolder(const RecoveryContext& ctx) {
  std::string folder = ctx.options.searchFolder;
  const std::string& root = ctx.rootPath;
  if (!root.empty() && folder.compare(0, root.size(), root) == 0) {
    folder.erase(0, root.size());
  } else if (folder.size() >= 2 && folder[1] == ':') {
    folder.erase(0, std::min<size_t>(3, folder.size()));  // "C:\"
  }
  return folder;
}

void NtfsEngine::fileItem(ResultTree& tree, const NtfsItem& item, size_t index) {
  if (item.isFolder()) return;  // folders show through the paths of their files
  ResultFolder* start = &tree.root();
  if (item.lost) {
    ResultFolder& lost = tree.childKeyed(tree.root(), format("Lost Files%d", item.bufferIndex),
                                         static_cast<uint64_t>(item.bufferIndex) + 1);
    const size_t before = lost.children.size();
    start = &tree.lostFolderFor(lost, item.lostParent, format("Dir%d", lostFolders_));
    if (lost.children.size() != before) ++lostFolders_;
  }
  tree.addItem(tree.folderAlong(*start, item.pathNames, item.pathKeys), viewOf(item, index));
}

ScanResult NtfsEngine::scan(ScanMode mode, RecoveryContext& ctx, ResultTree& tree, const RunningFlag& running) {
  tree.setRootName(rootName(ctx));
  volume_ = std::make_unique<NtfsVolume>();
  NtfsVolume& vol = *volume_;
  if (!vol.openDevice(ctx.partition.diskNumber)) return {kNtfsNoDevice, {}};
  vol.setPartition(ctx.partitionStart, 512);
  vol.setPartitionEnd(ctx.partitionEnd);
  uint64_t first = ctx.options.startSector > ctx.partitionStart ? ctx.options.startSector - ctx.partitionStart : 0;
  uint64_t last = ctx.options.endSector > ctx.partitionStart ? ctx.options.endSector - ctx.partitionStart : 0;
  vol.setScanRange(first, last);
  vol.setPreset(ctx.preset);
  vol.setRunning(&running);
  vol.setProgress(&ctx.progress);
  vol.setSweep(ctx.sweep);
  lostFolders_ = 0;
  vol.setItemFound([this, &tree](const NtfsItem& item, size_t index) { fileItem(tree, item, index); });

  int result;
  if (mode == ScanMode::Formatted) {
    ctx.progress.setStatus("Found Formated Files : 0");
    result = vol.scanFormatted();
  } else {
    ctx.progress.setStatus("Found Deleted Files : 0");
    const char* filter = presetFilter(ctx.preset);
    vol.setFilters(filter ? filter : ctx.options.nameFilter, relativeSearchFolder(ctx));
    result = vol.scanDeleted();
  }
  vol.setItemFound(nullptr);
  vol.setProgress(nullptr);
  vol.setRunning(nullptr);
  vol.setSweep(nullptr);
  if (ctx.sweep && !ctx.sweep->refused.empty()) return {NtfsVolume::kNtfsResumeRefused, ctx.sweep->refused};
  // A foreign volume gives an empty tree; a damaged boot sector is told of,
  // whether its backup stood in or the scan could not run.
  if (!vol.bootValid() && !vol.bootNotice().empty() && mode != ScanMode::Formatted)
    return {kNtfsNotNtfs, vol.bootNotice()};
  return {result > 0 ? result : 0, vol.bootNotice()};
}

bool NtfsEngine::readItem(const FoundItem& item, std::vector<uint8_t>& out, uint64_t maxBytes) {
  if (!volume_ || item.engineIndex >= volume_->items().size()) return false;
  std::lock_guard lock(readMutex_);
  return volume_->readItemData(volume_->items()[item.engineIndex], out, maxBytes) == NtfsReadStatus::Ok;
}

WriteStatus NtfsEngine::writeItem(const FoundItem& item, ByteSink& sink, const RunningFlag& running) {
  if (!volume_ || item.engineIndex >= volume_->items().size()) return WriteStatus::ReadFailed;
  std::lock_guard lock(readMutex_);
  volume_->setRunning(&running);
  NtfsReadStatus st = volume_->writeItemData(volume_->items()[item.engineIndex],
                                             [&sink](const uint8_t* p, size_t n) { return sink.write(p, n); });
  volume_->setRunning(nullptr);
  switch (st) {
    case NtfsReadStatus::Ok: return WriteStatus::Ok;
    case NtfsReadStatus::WriteFailed: return WriteStatus::WriteFailed;
    case NtfsReadStatus::Cancelled: return WriteStatus::Cancelled;
    default: return WriteStatus::ReadFailed;
  }
}

std::vector<std::pair<uint64_t, uint64_t>> NtfsEngine::claimedRanges() const {
  if (!volume_) return {};
  std::lock_guard lock(readMutex_);
  return volume_->claimedRanges();
}

}  // namespace brenix
