#pragma once
// A hand-built, one-group EXT2/EXT3 volume in memory, for the cases the real
// tools do not make: forged superblocks, deleted inodes with chosen times,
// journals with chosen descriptor tags.
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace brenix::test {

class ExtImageBuilder {
 public:
  struct Layout {
    uint32_t blockSize = 1024;
    uint32_t blocks = 2048;
    uint32_t inodeSize = 128;
    uint32_t inodesPerGroup = 128;
  };
  explicit ExtImageBuilder(Layout layout);
  ExtImageBuilder() : ExtImageBuilder(Layout{}) {}

  uint32_t blockSize() const { return layout_.blockSize; }
  uint32_t inodeTable() const { return inodeTable_; }
  uint32_t inodeBitmap() const { return inodeBitmap_; }
  uint8_t* superblock() { return bytes_.data() + 1024; }
  uint8_t* block(uint32_t n) { return bytes_.data() + uint64_t(n) * layout_.blockSize; }
  uint8_t* inode(uint32_t n) { return block(inodeTable_) + uint64_t(n - 1) * layout_.inodeSize; }
  void setInodeUsed(uint32_t n, bool used);
  uint32_t allocBlock();

  // Writes `data` into fresh blocks and maps them from inode n (direct, single
  // and double indirect as needed). Sets a regular-file mode, size and times.
  void putFile(uint32_t n, const std::vector<uint8_t>& data, uint32_t time);
  // Marks inode n deleted at `dtime`, leaving its map (as EXT2 does).
  void deleteFile(uint32_t n, uint32_t dtime);

  // An EXT3 journal of `blocks` blocks in inode `journalInode`, blank except
  // its superblock; journalBlock(i) then gives block i of it to fill.
  void makeJournal(uint32_t journalInode, uint32_t blocks, uint32_t journalIncompat = 0);
  uint8_t* journalBlock(uint32_t i) { return block(journalBlocks_.at(i)); }
  uint32_t journalBlockNumber(uint32_t i) const { return journalBlocks_.at(i); }
  // Journal metadata blocks.
  void putJournalHeader(uint32_t i, uint32_t type, uint32_t sequence);
  // A descriptor whose tags are {fs block, flags} pairs; flag 0x2 omitted means a UUID follows.
  void putDescriptor(uint32_t i, const std::vector<std::pair<uint32_t, uint32_t>>& tags);

  // A directory's first block: ".", "..", then {inode, name} entries (file type 1).
  static void putDirectoryBlock(uint8_t* b, uint32_t blockSize, uint32_t self, uint32_t parent,
                                const std::vector<std::pair<uint32_t, std::string>>& entries);

  std::span<const uint8_t> bytes() const { return bytes_; }
  std::vector<uint8_t>& raw() { return bytes_; }

 private:
  Layout layout_;
  std::vector<uint8_t> bytes_;
  uint32_t inodeTable_ = 0, inodeBitmap_ = 0, blockBitmap_ = 0;
  uint32_t nextFree_ = 0;
  std::vector<uint32_t> journalBlocks_;
};

inline void putBe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
}

}  // namespace brenix::test
