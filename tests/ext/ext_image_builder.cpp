#include "ext/ext_image_builder.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "common/bytes.h"

namespace brenix::test {

ExtImageBuilder::ExtImageBuilder(Layout layout) : layout_(layout) {
  const uint32_t bs = layout_.blockSize;
  bytes_.assign(uint64_t(layout_.blocks) * bs, 0);
  const uint32_t firstData = bs == 1024 ? 1 : 0;
  const uint32_t gdt = firstData + 1;
  blockBitmap_ = gdt + 1;
  inodeBitmap_ = blockBitmap_ + 1;
  inodeTable_ = inodeBitmap_ + 1;
  nextFree_ = inodeTable_ + (layout_.inodesPerGroup * layout_.inodeSize + bs - 1) / bs;

  uint8_t* sb = superblock();
  putLe32(sb + 0, layout_.inodesPerGroup);
  putLe32(sb + 4, layout_.blocks);
  putLe32(sb + 20, firstData);
  putLe32(sb + 24, bs == 1024 ? 0 : bs == 2048 ? 1 : 2);
  putLe32(sb + 32, 8 * bs);
  putLe32(sb + 40, layout_.inodesPerGroup);
  putLe16(sb + 56, 0xEF53);
  putLe32(sb + 76, 1);  // dynamic revision
  putLe16(sb + 88, static_cast<uint16_t>(layout_.inodeSize));
  putLe32(sb + 96, 0x2);  // filetype
  std::memcpy(sb + 120, "builder", 7);

  uint8_t* d = block(gdt);
  putLe32(d + 0, blockBitmap_);
  putLe32(d + 4, inodeBitmap_);
  putLe32(d + 8, inodeTable_);
  for (uint32_t n = 1; n <= 11; ++n) setInodeUsed(n, true);
}

void ExtImageBuilder::setInodeUsed(uint32_t n, bool used) {
  uint8_t& byte = block(inodeBitmap_)[(n - 1) / 8];
  const uint8_t bit = uint8_t(1u << ((n - 1) % 8));
  byte = used ? (byte | bit) : (byte & ~bit);
}

uint32_t ExtImageBuilder::allocBlock() {
  if (nextFree_ >= layout_.blocks) throw std::runtime_error("test image full");
  return nextFree_++;
}

void ExtImageBuilder::putFile(uint32_t n, const std::vector<uint8_t>& data, uint32_t time) {
  const uint32_t bs = layout_.blockSize, p = bs / 4;
  uint8_t* in = inode(n);
  std::memset(in, 0, layout_.inodeSize);
  putLe16(in + 0, 0x81A4);
  putLe32(in + 4, static_cast<uint32_t>(data.size()));
  putLe32(in + 108, static_cast<uint32_t>(uint64_t(data.size()) >> 32));
  putLe32(in + 8, time);
  putLe32(in + 12, time);
  putLe32(in + 16, time);
  putLe16(in + 26, 1);
  uint32_t metaBlocks = 0;
  uint32_t single = 0, dbl = 0, dblCurrent = 0;
  const uint64_t count = (data.size() + bs - 1) / bs;
  for (uint64_t i = 0; i < count; ++i) {
    const uint32_t b = allocBlock();
    const size_t len = std::min<size_t>(bs, data.size() - i * bs);
    std::memcpy(block(b), data.data() + i * bs, len);
    if (i < 12) {
      putLe32(in + 40 + 4 * i, b);
    } else if (i < 12 + p) {
      if (!single) single = allocBlock(), ++metaBlocks, putLe32(in + 40 + 48, single);
      putLe32(block(single) + 4 * (i - 12), b);
    } else {
      const uint64_t r = i - 12 - p;
      if (!dbl) dbl = allocBlock(), ++metaBlocks, putLe32(in + 40 + 52, dbl);
      if (r % p == 0) dblCurrent = allocBlock(), ++metaBlocks, putLe32(block(dbl) + 4 * (r / p), dblCurrent);
      putLe32(block(dblCurrent) + 4 * (r % p), b);
    }
  }
  putLe32(in + 28, static_cast<uint32_t>((count + metaBlocks) * (bs / 512)));
  setInodeUsed(n, true);
}

void ExtImageBuilder::deleteFile(uint32_t n, uint32_t dtime) {
  putLe32(inode(n) + 20, dtime);
  putLe16(inode(n) + 26, 0);
  setInodeUsed(n, false);
}

void ExtImageBuilder::makeJournal(uint32_t journalInode, uint32_t blocks, uint32_t journalIncompat) {
  putLe32(superblock() + 224, journalInode);
  putLe32(superblock() + 92, 0x4);  // has_journal
  std::vector<uint8_t> blank(uint64_t(blocks) * layout_.blockSize, 0);
  const uint32_t first = nextFree_;
  putFile(journalInode, blank, 1);
  journalBlocks_.clear();
  // Blocks were handed out in order; collect the data ones through the map.
  for (uint32_t i = 0, b = first; i < blocks; ++b) {
    const uint8_t* in = inode(journalInode);
    const uint32_t single = le32(in + 40 + 48), dbl = le32(in + 40 + 52);
    bool meta = b == single || b == dbl;
    if (dbl) {
      for (uint32_t k = 0; k < layout_.blockSize / 4 && !meta; ++k) meta = le32(block(dbl) + 4 * k) == b;
    }
    if (!meta) journalBlocks_.push_back(b), ++i;
  }
  uint8_t* jsb = journalBlock(0);
  putBe32(jsb, 0xC03B3998);
  putBe32(jsb + 4, 4);
  putBe32(jsb + 8, 1);
  putBe32(jsb + 12, layout_.blockSize);
  putBe32(jsb + 16, blocks);
  putBe32(jsb + 20, 1);
  putBe32(jsb + 0x28, journalIncompat);
}

void ExtImageBuilder::putJournalHeader(uint32_t i, uint32_t type, uint32_t sequence) {
  uint8_t* b = journalBlock(i);
  putBe32(b, 0xC03B3998);
  putBe32(b + 4, type);
  putBe32(b + 8, sequence);
}

void ExtImageBuilder::putDescriptor(uint32_t i, const std::vector<std::pair<uint32_t, uint32_t>>& tags) {
  putJournalHeader(i, 1, 2);
  uint8_t* b = journalBlock(i);
  size_t off = 12;
  for (size_t k = 0; k < tags.size(); ++k) {
    uint32_t flags = tags[k].second | (k + 1 == tags.size() ? 0x8 : 0);
    putBe32(b + off, tags[k].first);
    putBe32(b + off + 4, flags);
    off += 8;
    if (!(flags & 0x2)) {
      std::memset(b + off, 0xAB, 16);  // UUID bytes, never tags
      off += 16;
    }
  }
}

void ExtImageBuilder::putDirectoryBlock(uint8_t* b, uint32_t bs, uint32_t self, uint32_t parent,
                                        const std::vector<std::pair<uint32_t, std::string>>& entries) {
  std::memset(b, 0, bs);
  putLe32(b + 0, self);
  putLe16(b + 4, 12);
  b[6] = 1, b[7] = 2, b[8] = '.';
  putLe32(b + 12, parent);
  putLe16(b + 16, entries.empty() ? uint16_t(bs - 12) : uint16_t(12));
  b[18] = 2, b[19] = 2, b[20] = '.', b[21] = '.';
  size_t off = 24;
  for (size_t k = 0; k < entries.size(); ++k) {
    const auto& [ino, name] = entries[k];
    const size_t need = (8 + name.size() + 3) / 4 * 4;
    const size_t rec = k + 1 == entries.size() ? bs - off : need;
    putLe32(b + off, ino);
    putLe16(b + off + 4, static_cast<uint16_t>(rec));
    b[off + 6] = static_cast<uint8_t>(name.size());
    b[off + 7] = 1;
    std::memcpy(b + off + 8, name.data(), name.size());
    off += rec;
  }
}

}  // namespace brenix::test
