#include "ext/ext_volume.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "common/bytes.h"

namespace brenix::ext {

namespace {
constexpr uint32_t kIncompatMetaBg = 0x10;
constexpr uint32_t kIncompat64Bit = 0x80;
constexpr uint32_t kIncompatCsumSeed = 0x2000;
constexpr uint32_t kRoCompatSparseSuper = 0x1;
constexpr uint32_t kRoCompatGdtCsum = 0x10;
constexpr uint32_t kRoCompatMetadataCsum = 0x400;
constexpr uint32_t kFlagExtents = 0x80000;
constexpr uint32_t kFlagInlineData = 0x10000000;
// No real volume comes near this many groups (it would be petabytes); it
// bounds the descriptor table a forged superblock can make us allocate.
constexpr uint64_t kMaxGroups = 1u << 20;

bool isPowerOf(uint32_t g, uint32_t base) {
  uint64_t v = base;
  while (v < g) v *= base;
  return v == g;
}
}  // namespace

uint64_t ExtVolume::sizeLimit() const {
  const uint64_t device = device_ ? device_->size() : 0;
  return device != 0 ? std::min(volumeBytes(), device) : volumeBytes();
}

namespace inode {
uint16_t mode(const uint8_t* i) { return le16(i + 0); }
uint64_t size(const uint8_t* i) {
  uint64_t v = le32(i + 4);
  if (isRegular(i)) v |= uint64_t(le32(i + 108)) << 32;
  return v;
}
uint32_t atime(const uint8_t* i) { return le32(i + 8); }
uint32_t ctime(const uint8_t* i) { return le32(i + 12); }
uint32_t mtime(const uint8_t* i) { return le32(i + 16); }
uint32_t dtime(const uint8_t* i) { return le32(i + 20); }
uint16_t links(const uint8_t* i) { return le16(i + 26); }
uint32_t blockCount(const uint8_t* i) { return le32(i + 28); }
uint32_t block(const uint8_t* i, int index) { return le32(i + 40 + 4 * index); }
uint32_t generation(const uint8_t* i) { return le32(i + 100); }
uint32_t flags(const uint8_t* i) { return le32(i + 32); }
bool isRegular(const uint8_t* i) { return (mode(i) & 0xF000) == 0x8000; }
bool isDirectory(const uint8_t* i) { return (mode(i) & 0xF000) == 0x4000; }
bool usesExtents(const uint8_t* i) { return (flags(i) & kFlagExtents) && le16(i + 40) == kExtentMagic; }
bool hasInlineData(const uint8_t* i) { return (flags(i) & kFlagInlineData) != 0; }
bool hasExtentEntries(const uint8_t* i) {
  ExtentHeader h;
  if (!usesExtents(i) || !parseExtentHeader(i + 40, 60, h) || h.entries == 0) return false;
  // The first entry must name a block (a leaf's start or an index's child).
  const uint8_t* e = i + 52;
  const uint64_t first = h.depth == 0 ? (uint64_t(le16(e + 6)) << 32 | le32(e + 8)) : (uint64_t(le16(e + 8)) << 32 | le32(e + 4));
  return first != 0;
}
}  // namespace inode

bool parseExtentHeader(const uint8_t* node, size_t bytes, ExtentHeader& h) {
  if (bytes < 12 || le16(node) != kExtentMagic) return false;
  h.entries = le16(node + 2);
  h.max = le16(node + 4);
  h.depth = le16(node + 6);
  return h.entries <= h.max && h.max <= (bytes - 12) / 12 && h.depth <= kMaxExtentDepth;
}

uint32_t crc32c(uint32_t crc, const void* data, size_t n) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < n; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

bool parseSuperblock(std::span<const uint8_t> raw, ExtSuperblock& sb) {
  if (raw.size() < 1024) return false;
  sb.inodesCount = u32At(raw, 0);
  sb.blocksCount = u32At(raw, 4);
  sb.firstDataBlock = u32At(raw, 20);
  sb.logBlockSize = u32At(raw, 24);
  sb.blocksPerGroup = u32At(raw, 32);
  sb.inodesPerGroup = u32At(raw, 40);
  sb.revLevel = u32At(raw, 76);
  sb.featureCompat = u32At(raw, 92);
  sb.featureIncompat = u32At(raw, 96);
  sb.featureRoCompat = u32At(raw, 100);
  sb.journalInode = u32At(raw, 224);
  sb.reservedGdtBlocks = u16At(raw, 206);
  const char* name = reinterpret_cast<const char*>(raw.data() + 120);
  sb.volumeName.assign(name, strnlen(name, 16));

  if (sb.logBlockSize > 6) return false;  // 1 KiB .. 64 KiB
  const uint32_t bs = 1024u << sb.logBlockSize;
  // Revision 0 has fixed 128-byte inodes; later revisions say so at offset 88.
  sb.inodeSize = sb.revLevel == 0 ? 128 : u16At(raw, 88);
  if (sb.inodeSize < 128 || sb.inodeSize > bs || (sb.inodeSize & (sb.inodeSize - 1)) != 0) return false;
  sb.descriptorSize = 32;
  if (sb.featureIncompat & kIncompat64Bit) {
    sb.blocksCount |= uint64_t(u32At(raw, 0x150)) << 32;
    sb.descriptorSize = u16At(raw, 254);
    if (sb.descriptorSize < 32 || sb.descriptorSize > 1024 || (sb.descriptorSize & (sb.descriptorSize - 1)) != 0)
      return false;
  }
  // Block numbers stay below 2^48 (the widest an extent can name).
  if (sb.blocksCount >> 48) return false;
  sb.firstMetaBg = u32At(raw, 260);
  sb.mkfsTime = u32At(raw, 264);
  sb.metadataCsum = (sb.featureRoCompat & kRoCompatMetadataCsum) != 0;
  if (sb.metadataCsum) {
    sb.checksumOk = crc32c(~0u, raw.data(), 0x3FC) == u32At(raw, 0x3FC);
    sb.checksumSeed = (sb.featureIncompat & kIncompatCsumSeed) ? u32At(raw, 0x270) : crc32c(~0u, raw.data() + 104, 16);
  }
  // A bitmap block has bs * 8 bits: no group can hold more blocks or inodes.
  if (sb.blocksPerGroup == 0 || sb.blocksPerGroup > bs * 8u) return false;
  if (sb.inodesPerGroup == 0 || sb.inodesPerGroup > bs * 8u) return false;
  if (sb.firstDataBlock > 1 || sb.blocksCount <= sb.firstDataBlock + 1) return false;
  if (sb.inodesCount == 0) return false;
  return true;
}

ExtVolume::ExtVolume(std::shared_ptr<const ExtDevice> device, ExtVariant variant)
    : device_(std::move(device)), variant_(variant) {
  if (!device_) return;
  std::vector<uint8_t> raw(1024);
  if (!device_->read(1024, raw.data(), raw.size())) return;
  status_ = OpenStatus::BadGeometry;
  if (!parseSuperblock(raw, sb_)) return;
  blockSize_ = 1024u << sb_.logBlockSize;

  const uint64_t groupCount = (sb_.blocksCount - sb_.firstDataBlock - 1) / sb_.blocksPerGroup + 1;
  if (groupCount > kMaxGroups) return;
  // Never trust an inodes count the groups cannot hold.
  sb_.inodesCount = static_cast<uint32_t>(std::min<uint64_t>(sb_.inodesCount, groupCount * sb_.inodesPerGroup));
  tableBlocks_ = static_cast<uint32_t>((uint64_t(sb_.inodesPerGroup) * sb_.inodeSize + blockSize_ - 1) / blockSize_);

  const uint64_t tableBytes = groupCount * sb_.descriptorSize;
  gdtBlocks_ = static_cast<uint32_t>((tableBytes + blockSize_ - 1) / blockSize_);
  const uint64_t tableStart = uint64_t(sb_.firstDataBlock) + 1;
  if (tableStart + gdtBlocks_ > sb_.blocksCount) return;
  // Read block by block, so a forged group count costs no more memory than
  // the descriptors that are really there.
  status_ = OpenStatus::ReadFailed;
  std::vector<uint8_t> block(blockSize_);
  const uint32_t perBlock = blockSize_ / sb_.descriptorSize;
  const bool metaBg = (sb_.featureIncompat & kIncompatMetaBg) != 0;
  const bool wide = sb_.descriptorSize >= 64;
  for (uint64_t g = 0; g < groupCount; ++g) {
    if (g % perBlock == 0) {
      const uint64_t index = g / perBlock;
      // meta_bg keeps each descriptor block in the first group of its meta group.
      uint64_t at = tableStart + index;
      if (metaBg && index >= sb_.firstMetaBg)
        at = sb_.firstDataBlock + g * sb_.blocksPerGroup + (hasSuperblockBackup(static_cast<uint32_t>(g)) ? 1 : 0);
      const size_t n = static_cast<size_t>(std::min<uint64_t>(blockSize_, tableBytes - g * sb_.descriptorSize));
      if (at >= sb_.blocksCount || !device_->read(at * blockSize_, block.data(), n)) {
        groups_.clear();
        tables_.clear();
        return;
      }
    }
    const uint8_t* d = block.data() + (g % perBlock) * sb_.descriptorSize;
    GroupDescriptor gd{le32(d + 0), le32(d + 4), le32(d + 8)};
    if (wide) {
      gd.blockBitmap |= uint64_t(le32(d + 0x20)) << 32;
      gd.inodeBitmap |= uint64_t(le32(d + 0x24)) << 32;
      gd.inodeTable |= uint64_t(le32(d + 0x28)) << 32;
    }
    if (sb_.metadataCsum || (sb_.featureRoCompat & kRoCompatGdtCsum)) {
      gd.inodesUninitialized = (le16(d + 0x12) & 0x1) != 0;
      gd.unusedInodes = le16(d + 0x1C) | (wide ? uint32_t(le16(d + 0x32)) << 16 : 0);
      if (gd.unusedInodes > sb_.inodesPerGroup) gd.unusedInodes = 0;  // forged: trust nothing
      // metadata_csum: low 16 bits of crc32c(seed, group number, descriptor without its checksum).
      if (sb_.metadataCsum) {
        uint8_t le[4];
        putLe32(le, static_cast<uint32_t>(g));
        uint32_t c = crc32c(sb_.checksumSeed, le, 4);
        c = crc32c(c, d, 0x1E);
        const uint8_t zero[2] = {0, 0};
        c = crc32c(c, zero, 2);
        if (sb_.descriptorSize > 0x20) c = crc32c(c, d + 0x20, sb_.descriptorSize - 0x20);
        if ((c & 0xFFFF) != le16(d + 0x1E)) ++badDescriptorChecksums_;
      }
    }
    groups_.push_back(gd);
    if (gd.inodeTable != 0 && gd.inodeTable + tableBlocks_ <= sb_.blocksCount)
      tables_.emplace_back(gd.inodeTable, static_cast<uint32_t>(g));
    blockBitmaps_.push_back(gd.blockBitmap);
    inodeBitmaps_.push_back(gd.inodeBitmap);
  }
  std::sort(tables_.begin(), tables_.end());
  std::sort(blockBitmaps_.begin(), blockBitmaps_.end());
  std::sort(inodeBitmaps_.begin(), inodeBitmaps_.end());

  if (variant_ == ExtVariant::Ext3 && (sb_.journalInode == 0 || sb_.journalInode > sb_.inodesCount)) {
    status_ = OpenStatus::NoJournal;
    return;
  }
  status_ = OpenStatus::Ok;
}

bool ExtVolume::readBlock(uint64_t n, std::vector<uint8_t>& out) const {
  if (!device_ || blockSize_ == 0 || n >= sb_.blocksCount) return false;
  out.resize(blockSize_);
  return device_->read(n * blockSize_, out.data(), blockSize_);
}

bool ExtVolume::readInodeBitmap(uint32_t g, std::vector<uint8_t>& out) const {
  if (g >= groups_.size()) return false;
  return readBlock(groups_[g].inodeBitmap, out);
}

bool ExtVolume::readInode(uint64_t a, InodeBytes& out) const {
  if (!ready() && status_ != OpenStatus::NoJournal) return false;
  if (a == 0 || a > sb_.inodesCount) return false;
  const uint64_t g = (a - 1) / sb_.inodesPerGroup;
  const uint64_t x = (a - 1) % sb_.inodesPerGroup;
  if (g >= groups_.size()) return false;
  const uint64_t table = groups_[g].inodeTable;
  if (table == 0 || table + tableBlocks_ > sb_.blocksCount) return false;
  return device_->read(table * blockSize_ + x * sb_.inodeSize, out.data(), out.size());
}

bool ExtVolume::readFullInode(uint64_t a, std::vector<uint8_t>& out) const {
  if (!ready() && status_ != OpenStatus::NoJournal) return false;
  if (a == 0 || a > sb_.inodesCount) return false;
  const uint64_t g = (a - 1) / sb_.inodesPerGroup;
  const uint64_t x = (a - 1) % sb_.inodesPerGroup;
  if (g >= groups_.size()) return false;
  const uint64_t table = groups_[g].inodeTable;
  if (table == 0 || table + tableBlocks_ > sb_.blocksCount) return false;
  out.resize(sb_.inodeSize);
  return device_->read(table * blockSize_ + x * sb_.inodeSize, out.data(), out.size());
}

bool ExtVolume::inodeBitmapBit(uint64_t a, bool& set) const {
  if (a == 0 || a > sb_.inodesCount) return false;
  const uint64_t g = (a - 1) / sb_.inodesPerGroup;
  const uint64_t x = (a - 1) % sb_.inodesPerGroup;
  std::vector<uint8_t> bitmap;
  if (!readInodeBitmap(static_cast<uint32_t>(g), bitmap)) return false;
  set = (bitmap[x / 8] >> (x % 8)) & 1;
  return true;
}

uint64_t ExtVolume::groupOfBlock(uint64_t a) const {
  return a < sb_.firstDataBlock ? 0 : (a - sb_.firstDataBlock) / sb_.blocksPerGroup;
}

bool ExtVolume::hasSuperblockBackup(uint32_t g) const {
  if (g <= 1 || !(sb_.featureRoCompat & kRoCompatSparseSuper)) return true;
  return isPowerOf(g, 3) || isPowerOf(g, 5) || isPowerOf(g, 7);
}

int64_t ExtVolume::inodeTableGroupOf(uint64_t a) const {
  auto it = std::upper_bound(tables_.begin(), tables_.end(), std::make_pair(a, UINT32_MAX));
  if (it == tables_.begin()) return -1;
  --it;
  if (a >= it->first && a < it->first + tableBlocks_) return it->second;
  return -1;
}

BlockClass ExtVolume::blockClass(uint64_t a) const {
  if (a >= sb_.blocksCount || groups_.empty()) return BlockClass::OutOfRange;
  if (inodeTableGroupOf(a) >= 0) return BlockClass::InodeTable;
  if (a < sb_.firstDataBlock) return BlockClass::Superblock;
  if (std::binary_search(blockBitmaps_.begin(), blockBitmaps_.end(), a)) return BlockClass::BlockBitmap;
  if (std::binary_search(inodeBitmaps_.begin(), inodeBitmaps_.end(), a)) return BlockClass::InodeBitmap;
  const uint64_t g = groupOfBlock(a);
  if (g < groups_.size()) {
    const uint64_t rel = (a - sb_.firstDataBlock) % sb_.blocksPerGroup;
    if (hasSuperblockBackup(static_cast<uint32_t>(g))) {
      if (rel == 0) return BlockClass::Superblock;
      if (rel <= uint64_t(gdtBlocks_) + sb_.reservedGdtBlocks) return BlockClass::Descriptors;
    }
  }
  return BlockClass::Data;
}

uint64_t ExtVolume::firstInodeOfBlock(uint64_t a) const {
  const int64_t g = inodeTableGroupOf(a);
  if (g < 0) return 0;
  const uint64_t x = (a - groups_[g].inodeTable) * blockSize_ / sb_.inodeSize;
  if (x >= sb_.inodesPerGroup) return 0;
  return uint64_t(g) * sb_.inodesPerGroup + x + 1;
}

BlockMapper::BlockMapper(const ExtVolume& volume, const uint8_t* inode128) : volume_(volume) {
  for (int i = 0; i < 15; ++i) pointers_[i] = inode::block(inode128, i);
}

BlockMapper::Result BlockMapper::lookup(int level, uint32_t tableBlock, uint64_t index, uint32_t& out) {
  if (tableBlock == 0) return Result::Hole;
  if (tableBlock >= volume_.superblock().blocksCount) return Result::Failed;
  Cached& c = cache_[level];
  if (!c.valid || c.block != tableBlock) {
    c.valid = false;
    if (!volume_.readBlock(tableBlock, c.data)) return Result::Failed;
    c.block = tableBlock;
    c.valid = true;
  }
  out = le32(c.data.data() + index * 4);
  return Result::Block;
}

BlockMapper::Result BlockMapper::map(uint64_t logical, uint32_t& physical) {
  const uint64_t p = volume_.blockSize() / 4;
  uint32_t ptr = 0;
  // Indices into the tables of each level, outermost first.
  uint64_t idx[3] = {0, 0, 0};
  int depth = 0;
  if (logical < 12) {
    ptr = pointers_[logical];
  } else if ((logical -= 12) < p) {
    ptr = pointers_[12];
    depth = 1;
    idx[0] = logical;
  } else if ((logical -= p) < p * p) {
    ptr = pointers_[13];
    depth = 2;
    idx[0] = logical / p;
    idx[1] = logical % p;
  } else if ((logical -= p * p) < p * p * p) {
    ptr = pointers_[14];
    depth = 3;
    idx[0] = logical / (p * p);
    idx[1] = (logical / p) % p;
    idx[2] = logical % p;
  } else {
    return Result::Failed;
  }
  for (int level = 0; level < depth; ++level) {
    uint32_t next = 0;
    Result r = lookup(level, ptr, idx[level], next);
    if (r != Result::Block) return r;
    ptr = next;
  }
  if (ptr == 0) return Result::Hole;
  if (ptr >= volume_.superblock().blocksCount) return Result::Failed;
  physical = ptr;
  return Result::Block;
}

namespace {
constexpr size_t kMaxExtentNodes = size_t(1) << 16;

struct ExtentWalk {
  const ExtVolume& volume;
  const BlockOverlay& overlay;
  std::vector<Extent>& out;
  size_t maxExtents;
  std::unordered_set<uint64_t> visited;

  void node(const uint8_t* n, size_t bytes, int expectDepth) {
    ExtentHeader h;
    if (!parseExtentHeader(n, bytes, h)) return;
    if (expectDepth >= 0 && h.depth != expectDepth) return;
    const uint64_t count = volume.superblock().blocksCount;
    for (uint16_t k = 0; k < h.entries && out.size() < maxExtents; ++k) {
      const uint8_t* e = n + 12 + size_t(k) * 12;
      if (h.depth == 0) {
        Extent x;
        x.logical = le32(e);
        uint32_t len = le16(e + 4);
        if (len > 32768) x.uninitialized = true, len -= 32768;
        x.length = len;
        x.physical = uint64_t(le16(e + 6)) << 32 | le32(e + 8);
        if (len == 0 || x.physical == 0 || x.physical >= count || len > count - x.physical) continue;
        out.push_back(x);
      } else {
        const uint64_t child = uint64_t(le16(e + 8)) << 32 | le32(e + 4);
        if (child == 0 || child >= count) continue;
        // Every node is read at most once: a loop or a shared child is cut;
        // and no real file needs more nodes than this.
        if (visited.size() >= kMaxExtentNodes) return;
        if (!visited.insert(child).second) continue;
        std::vector<uint8_t> block;
        const std::vector<uint8_t>* copy = overlay ? overlay(child) : nullptr;
        if (copy && copy->size() == volume.blockSize()) {
          block = *copy;
        } else if (!volume.readBlock(child, block)) {
          continue;
        }
        node(block.data(), block.size(), h.depth - 1);
      }
    }
  }
};
}  // namespace

bool collectExtents(const ExtVolume& volume, const uint8_t* root60, std::vector<Extent>& out,
                    const BlockOverlay& overlay, size_t maxExtents) {
  out.clear();
  ExtentHeader h;
  if (!parseExtentHeader(root60, 60, h)) return false;
  ExtentWalk walk{volume, overlay, out, maxExtents, {}};
  walk.node(root60, 60, -1);
  std::sort(out.begin(), out.end(), [](const Extent& a, const Extent& b) { return a.logical < b.logical; });
  return true;
}

FileMapper::FileMapper(const ExtVolume& volume, const uint8_t* inode128, const BlockOverlay& overlay)
    : blocks_(volume, inode128) {
  if (inode::flags(inode128) & kFlagExtents) {
    extents_ = true;
    sound_ = collectExtents(volume, inode128 + 40, list_, overlay);
  }
}

BlockMapper::Result FileMapper::map(uint64_t logical, uint64_t& physical) {
  if (!extents_) {
    uint32_t p = 0;
    const BlockMapper::Result r = blocks_.map(logical, p);
    physical = p;
    return r;
  }
  if (!sound_) return BlockMapper::Result::Failed;
  // Files are read in order: try the extent of the last answer first.
  auto covers = [&](size_t i) {
    return i < list_.size() && logical >= list_[i].logical && logical - list_[i].logical < list_[i].length;
  };
  size_t i = last_;
  if (!covers(i)) {
    auto it = std::upper_bound(list_.begin(), list_.end(), logical,
                               [](uint64_t l, const Extent& e) { return l < e.logical; });
    if (it == list_.begin()) return BlockMapper::Result::Hole;
    i = static_cast<size_t>(it - list_.begin()) - 1;
    if (!covers(i)) return BlockMapper::Result::Hole;
    last_ = i;
  }
  if (list_[i].uninitialized) return BlockMapper::Result::Hole;
  physical = list_[i].physical + (logical - list_[i].logical);
  return BlockMapper::Result::Block;
}

std::vector<uint8_t> inlineData(const uint8_t* inode128, std::span<const uint8_t> full, uint64_t size) {
  std::vector<uint8_t> out(60);
  std::memcpy(out.data(), inode128 + 40, 60);
  // The rest is the value of "system.data" (name index 7, name "data") in
  // the attribute area after the inode's extra fields.
  if (full.size() > 160) {
    const size_t extra = le16(full.data() + 128);
    const size_t start = 128 + extra;
    if (start + 4 <= full.size() && le32(full.data() + start) == 0xEA020000) {
      const size_t base = start + 4;
      for (size_t off = base; off + 16 <= full.size();) {
        const uint8_t nameLen = full[off];
        const uint8_t index = full[off + 1];
        const uint16_t valueOffset = le16(full.data() + off + 2);
        const uint32_t valueSize = le32(full.data() + off + 8);
        if (nameLen == 0 && index == 0) break;
        if (index == 7 && nameLen == 4 && off + 16 + 4 <= full.size() &&
            std::memcmp(full.data() + off + 16, "data", 4) == 0) {
          if (base + valueOffset <= full.size() && valueSize <= full.size() - base - valueOffset && valueSize > 0) {
            out.resize(60 + size_t(valueSize));
            std::memcpy(out.data() + 60, full.data() + base + valueOffset, valueSize);
          }
          break;
        }
        off += (16 + nameLen + 3) & ~size_t(3);
      }
    }
  }
  if (out.size() > size) out.resize(static_cast<size_t>(size));
  return out;
}

StreamStatus streamFile(const ExtVolume& volume, const uint8_t* inode128, uint64_t size,
                        const std::function<bool(const uint8_t*, size_t)>& sink,
                        const std::function<bool()>& keepGoing, const BlockOverlay& overlay,
                        std::span<const uint8_t> fullInode) {
  const uint32_t bs = volume.blockSize();
  if (bs == 0) return StreamStatus::ReadFailed;
  if (inode::hasInlineData(inode128)) {
    const std::vector<uint8_t> data = inlineData(inode128, fullInode, size);
    if (data.size() < size) return StreamStatus::ReadFailed;  // the inode holds less than its size says
    if (!data.empty() && !sink(data.data(), data.size())) return StreamStatus::SinkFailed;
    return StreamStatus::Ok;
  }
  FileMapper mapper(volume, inode128, overlay);
  std::vector<uint8_t> block;
  const std::vector<uint8_t> zeros(bs, 0);
  const uint64_t blocks = (size + bs - 1) / bs;
  for (uint64_t i = 0; i < blocks; ++i) {
    if (keepGoing && !keepGoing()) return StreamStatus::Cancelled;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(bs, size - i * bs));
    uint64_t phys = 0;
    const uint8_t* data = nullptr;
    switch (mapper.map(i, phys)) {
      case BlockMapper::Result::Failed: return StreamStatus::ReadFailed;
      case BlockMapper::Result::Hole: data = zeros.data(); break;
      case BlockMapper::Result::Block:
        if (!volume.readBlock(phys, block)) return StreamStatus::ReadFailed;
        data = block.data();
        break;
    }
    if (!sink(data, n)) return StreamStatus::SinkFailed;
  }
  return StreamStatus::Ok;
}

}  // namespace brenix::ext
