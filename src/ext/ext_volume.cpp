#include "ext/ext_volume.h"

#include <algorithm>
#include <cstring>

#include "common/bytes.h"

namespace brenix::ext {

namespace {
constexpr uint32_t kIncompat64Bit = 0x80;
constexpr uint32_t kRoCompatSparseSuper = 0x1;
// No real volume comes near this many groups (it would be petabytes); it
// bounds the descriptor table a forged superblock can make us allocate.
constexpr uint64_t kMaxGroups = 1u << 20;

bool isPowerOf(uint32_t g, uint32_t base) {
  uint64_t v = base;
  while (v < g) v *= base;
  return v == g;
}
}  // namespace

bool MemoryDevice::read(uint64_t offset, void* buffer, size_t count) const {
  if (!inBounds(bytes_.size(), offset, count)) return false;
  std::memcpy(buffer, bytes_.data() + offset, count);
  return true;
}

bool ReaderDevice::read(uint64_t offset, void* buffer, size_t count) const {
  if (offset > UINT64_MAX - base_) return false;
  return reader_.readBytesAt(base_ + offset, buffer, count);
}

uint64_t ReaderDevice::size() const {
  const uint64_t total = reader_.sizeBytes();
  return total > base_ ? total - base_ : 0;
}

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
bool isRegular(const uint8_t* i) { return (mode(i) & 0xF000) == 0x8000; }
}  // namespace inode

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
    sb.descriptorSize = u16At(raw, 254);
    if (sb.descriptorSize < 32 || sb.descriptorSize > 1024 || (sb.descriptorSize & (sb.descriptorSize - 1)) != 0)
      return false;
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

  const uint64_t groupCount = (uint64_t(sb_.blocksCount) - sb_.firstDataBlock - 1) / sb_.blocksPerGroup + 1;
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
  for (uint64_t g = 0; g < groupCount; ++g) {
    if (g % perBlock == 0) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(blockSize_, tableBytes - g * sb_.descriptorSize));
      if (!device_->read((tableStart + g / perBlock) * blockSize_, block.data(), n)) {
        groups_.clear();
        tables_.clear();
        return;
      }
    }
    const uint8_t* d = block.data() + (g % perBlock) * sb_.descriptorSize;
    groups_.push_back({le32(d + 0), le32(d + 4), le32(d + 8)});
    const uint32_t t = groups_.back().inodeTable;
    if (t != 0 && uint64_t(t) + tableBlocks_ <= sb_.blocksCount) tables_.emplace_back(t, static_cast<uint32_t>(g));
  }
  std::sort(tables_.begin(), tables_.end());

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
  auto it = std::upper_bound(tables_.begin(), tables_.end(), std::make_pair(static_cast<uint32_t>(std::min<uint64_t>(a, UINT32_MAX)), UINT32_MAX));
  if (it == tables_.begin()) return -1;
  --it;
  if (a >= it->first && a < uint64_t(it->first) + tableBlocks_) return it->second;
  return -1;
}

BlockClass ExtVolume::blockClass(uint64_t a) const {
  if (a >= sb_.blocksCount || groups_.empty()) return BlockClass::OutOfRange;
  if (inodeTableGroupOf(a) >= 0) return BlockClass::InodeTable;
  if (a < sb_.firstDataBlock) return BlockClass::Superblock;
  const uint64_t g = groupOfBlock(a);
  if (g < groups_.size()) {
    if (a == groups_[g].blockBitmap) return BlockClass::BlockBitmap;
    if (a == groups_[g].inodeBitmap) return BlockClass::InodeBitmap;
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

StreamStatus streamFile(const ExtVolume& volume, const uint8_t* inode128, uint64_t size,
                        const std::function<bool(const uint8_t*, size_t)>& sink,
                        const std::function<bool()>& keepGoing) {
  const uint32_t bs = volume.blockSize();
  if (bs == 0) return StreamStatus::ReadFailed;
  BlockMapper mapper(volume, inode128);
  std::vector<uint8_t> block;
  const std::vector<uint8_t> zeros(bs, 0);
  const uint64_t blocks = (size + bs - 1) / bs;
  for (uint64_t i = 0; i < blocks; ++i) {
    if (keepGoing && !keepGoing()) return StreamStatus::Cancelled;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(bs, size - i * bs));
    uint32_t phys = 0;
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
