#include "ext/ext_engine.h"

#include <cerrno>
#include <map>

#include "common/text.h"

namespace brenix::ext {

namespace {
constexpr int kErrorBadVolume = 87;  // superblock unusable, or no journal on EXT3
}

std::string rootLabel(ExtVariant variant, const std::string& volumeLabel) {
  switch (variant) {
    case ExtVariant::Ext2: return format("EXT2( %s )", volumeLabel.c_str());
    case ExtVariant::Ext3: return format("EXT3( %s )", volumeLabel.c_str());
    case ExtVariant::Ext4: break;
  }
  return format("EXT4( %s )", volumeLabel.c_str());
}

FoundItem foundItemOf(const ExtItem& item, size_t index) {
  FoundItem f;
  f.name = itemName(item);
  f.size = inode::size(item.inode);
  f.attributes = inode::mode(item.inode);
  f.typeText = itemExtension(item);
  f.modified = inode::mtime(item.inode);
  f.created = inode::ctime(item.inode);
  f.accessed = inode::atime(item.inode);
  f.deleted = true;
  f.checked = item.checked != 0;
  f.inode = item.inodeNumber;
  f.engineIndex = index;
  return f;
}

ScanResult ExtEngine::scan(ScanMode mode, RecoveryContext& ctx, ResultTree& tree, const RunningFlag& running) {
  tree.setRootName(rootLabel(variant_, ctx.partition.label()));
  if (mode != ScanMode::Deleted) return {};  // only deleted files are found through the inodes
  SectorReader reader;
  if (!reader.open(ctx.partition.diskNumber, OpenMode::Read)) {
    volume_.reset();
    items_.clear();
    return {reader.lastError() != 0 ? reader.lastError() : EIO, {}};
  }
  std::shared_ptr<const ExtDevice> device = makeReaderSource(std::move(reader), ctx.partitionStart * kSectorSize);
  return scanVolume(std::move(device), ctx.partition.label(), ctx, tree, running);
}

ScanResult ExtEngine::scanVolume(std::shared_ptr<const ExtDevice> device, const std::string& label,
                                 RecoveryContext& ctx, ResultTree& tree, const RunningFlag& running) {
  tree.setRootName(rootLabel(variant_, label));
  items_.clear();
  volume_ = std::make_unique<ExtVolume>(std::move(device), variant_);
  switch (volume_->status()) {
    case OpenStatus::Ok: break;
    case OpenStatus::ReadFailed: return {EIO, {}};
    case OpenStatus::BadGeometry:
    case OpenStatus::NoJournal: return {kErrorBadVolume, {}};
  }
  ExtScanner scanner(*volume_, ctx.progress, running);
  scanner.setSweep(ctx.sweep);
  items_ = scanner.scan();
  if (ctx.sweep && !ctx.sweep->refused.empty()) return {22, ctx.sweep->refused};
  places_ = scanner.places();
  extentBlocks_ = scanner.takeExtentBlocks();
  stats_ = scanner.stats();
  ResultFolder& lost = tree.addFolder(tree.root(), "Lost files");
  std::map<std::string, ResultFolder*> folders;
  const auto folderOf = [&](const std::string& path) -> ResultFolder& {
    ResultFolder* at = &tree.root();
    std::string sofar;
    size_t start = 0;
    while (start < path.size()) {
      size_t slash = path.find('/', start);
      if (slash == std::string::npos) slash = path.size();
      const std::string part = path.substr(start, slash - start);
      sofar += (sofar.empty() ? "" : "/") + part;
      auto it = folders.find(sofar);
      if (it == folders.end()) it = folders.emplace(sofar, &tree.addFolder(*at, part)).first;
      at = it->second;
      start = slash + 1;
    }
    return *at;
  };
  for (size_t i = 0; i < items_.size(); ++i) {
    const ItemPlace* place = i < places_.size() ? &places_[i] : nullptr;
    ResultFolder& into = place && place->folderKnown ? folderOf(place->folder) : lost;
    tree.addItem(into, foundItemOf(items_[i], i));
  }
  // Notes for the user on a successful scan.
  ScanResult done;
  const ExtSuperblock& sb = volume_->superblock();
  if (!sb.checksumOk || volume_->badDescriptorChecksums() != 0)
    done.message = format("Checksums that do not match (read anyway): superblock %s, group descriptors %u. ",
                          sb.checksumOk ? "good" : "bad", volume_->badDescriptorChecksums());
  if (items_.empty() && running)
    done.message += variant_ == ExtVariant::Ext2
                        ? "No deleted file keeps its block map in the inode tables; a raw scan can still carve "
                          "files from the free space."
                        : "Nothing in the inode tables or the journal describes a deleted file; a raw scan can "
                          "still carve files from the free space.";
  return done;
}

const ExtItem* ExtEngine::itemOf(const FoundItem& item) const {
  if (!volume_ || !volume_->ready() || item.engineIndex >= items_.size()) return nullptr;
  const ExtItem& e = items_[item.engineIndex];
  return e.inodeNumber == item.inode ? &e : nullptr;
}

StreamStatus ExtEngine::stream(const ExtItem& e, uint64_t size,
                               const std::function<bool(const uint8_t*, size_t)>& sink,
                               const std::function<bool()>& keepGoing) const {
  const size_t index = static_cast<size_t>(&e - items_.data());
  std::span<const uint8_t> full;
  if (index < places_.size()) full = places_[index].fullInode;
  const BlockOverlay overlay = [this](uint64_t b) -> const std::vector<uint8_t>* {
    auto it = extentBlocks_.find(b);
    return it == extentBlocks_.end() ? nullptr : &it->second;
  };
  return streamFile(*volume_, e.inode, size, sink, keepGoing, overlay, full);
}

bool ExtEngine::readItem(const FoundItem& item, std::vector<uint8_t>& out, uint64_t maxBytes) {
  out.clear();
  const ExtItem* e = itemOf(item);
  if (!e) return false;
  const uint64_t size = std::min(inode::size(e->inode), maxBytes);
  out.reserve(static_cast<size_t>(std::min<uint64_t>(size, 64u << 20)));
  return stream(*e, size,
                [&](const uint8_t* p, size_t n) {
                  out.insert(out.end(), p, p + n);
                  return true;
                },
                {}) == StreamStatus::Ok;
}

WriteStatus ExtEngine::writeItem(const FoundItem& item, ByteSink& sink, const RunningFlag& running) {
  const ExtItem* e = itemOf(item);
  if (!e) return WriteStatus::ReadFailed;
  switch (stream(
      *e, inode::size(e->inode), [&](const uint8_t* p, size_t n) { return sink.write(p, n); },
      [&] { return running.load(); })) {
    case StreamStatus::Ok: return WriteStatus::Ok;
    case StreamStatus::ReadFailed: return WriteStatus::ReadFailed;
    case StreamStatus::SinkFailed: return WriteStatus::WriteFailed;
    case StreamStatus::Cancelled: return WriteStatus::Cancelled;
  }
  return WriteStatus::ReadFailed;
}

std::string rowName(const FoundItem& item) {
  if (item.name == "Unknown") return format("inode(%08X)", static_cast<unsigned>(item.inode));
  return item.name;
}

std::string sizeText(uint64_t bytes) {
  if (bytes <= 1023) return format("%d B", static_cast<int>(bytes));
  if (bytes <= 1048575) return format("%5.2f KB", double(bytes) / 1024.0);
  if (bytes <= 1073741823) return format("%5.2f MB", double(bytes) / 1048576.0);
  return format("%5.2f GB", double(bytes) / 1073741824.0);
}

std::string permissionText(uint32_t mode) {
  std::string t = "------";
  static constexpr uint32_t kBits[6] = {0x100, 0x080, 0x040, 0x020, 0x010, 0x008};
  static constexpr char kLetters[6] = {'r', 'w', 'x', 'r', 'w', 'x'};
  for (int i = 0; i < 6; ++i)
    if (mode & kBits[i]) t[i] = kLetters[i];
  return t;
}

}  // namespace brenix::ext
