#pragma once
// The lowest layer of the EXT engine: a read-only view of one EXT2 or EXT3
// volume. It reads the superblock and the group descriptor table, reads
// blocks and inodes, classifies blocks by their place in a block group and
// walks an inode's block map (direct, single, double and triple indirect).
//
// Everything read from the disk is treated as hostile: the geometry is
// checked before anything is allocated, every block number is checked
// against the volume, and every walk is bounded by the file size.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "disk/sector_reader.h"

namespace brenix::ext {

// Where the volume's bytes come from. Offsets are relative to the volume start.
class ExtDevice {
 public:
  virtual ~ExtDevice() = default;
  virtual bool read(uint64_t offset, void* buffer, size_t count) const = 0;
  // Bytes from the volume start to the end of the device, 0 when unknown.
  virtual uint64_t size() const { return 0; }
};

// A volume held in memory (tests, fuzzing). The bytes must outlive the device.
class MemoryDevice : public ExtDevice {
 public:
  explicit MemoryDevice(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  bool read(uint64_t offset, void* buffer, size_t count) const override;
  uint64_t size() const override { return bytes_.size(); }

 private:
  std::span<const uint8_t> bytes_;
};

// A volume on a drive, starting at a byte offset of it.
class ReaderDevice : public ExtDevice {
 public:
  ReaderDevice(SectorReader reader, uint64_t volumeByteOffset)
      : reader_(std::move(reader)), base_(volumeByteOffset) {}
  bool read(uint64_t offset, void* buffer, size_t count) const override;
  uint64_t size() const override;

 private:
  SectorReader reader_;
  uint64_t base_;
};

enum class ExtVariant { Ext2, Ext3 };

// Why a volume could not be opened.
enum class OpenStatus { Ok, ReadFailed, BadGeometry, NoJournal };

inline constexpr size_t kInodeCoreSize = 128;  // the part of an inode the engine reads
using InodeBytes = std::array<uint8_t, kInodeCoreSize>;

// Fields of the 128-byte inode core (little-endian).
namespace inode {
uint16_t mode(const uint8_t* i);
uint64_t size(const uint8_t* i);  // low word at 4, high word at 108 for regular files
uint32_t atime(const uint8_t* i);
uint32_t ctime(const uint8_t* i);
uint32_t mtime(const uint8_t* i);
uint32_t dtime(const uint8_t* i);
uint16_t links(const uint8_t* i);
uint32_t blockCount(const uint8_t* i);  // 512-byte units
uint32_t block(const uint8_t* i, int index);  // 0..14
uint32_t generation(const uint8_t* i);
bool isRegular(const uint8_t* i);
}  // namespace inode

struct ExtSuperblock {
  uint32_t inodesCount = 0;
  uint32_t blocksCount = 0;
  uint32_t firstDataBlock = 0;
  uint32_t logBlockSize = 0;
  uint32_t blocksPerGroup = 0;
  uint32_t inodesPerGroup = 0;
  uint32_t revLevel = 0;
  uint32_t inodeSize = 128;
  uint32_t featureCompat = 0, featureIncompat = 0, featureRoCompat = 0;
  uint32_t journalInode = 0;
  uint32_t descriptorSize = 32;
  uint32_t reservedGdtBlocks = 0;
  std::string volumeName;
};

// Parses and checks the 1024-byte superblock. False when the geometry cannot
// be used safely (zero or oversized groups, impossible inode size, ...).
bool parseSuperblock(std::span<const uint8_t> raw, ExtSuperblock& out);

enum class BlockClass {
  OutOfRange,   // past the volume
  Superblock,   // boot block, superblock or a backup of it
  Descriptors,  // group descriptor table (and its reserved growth blocks)
  BlockBitmap,
  InodeBitmap,
  InodeTable,
  Data,
};

struct GroupDescriptor {
  uint32_t blockBitmap = 0;
  uint32_t inodeBitmap = 0;
  uint32_t inodeTable = 0;
};

class ExtVolume {
 public:
  ExtVolume(std::shared_ptr<const ExtDevice> device, ExtVariant variant);

  OpenStatus status() const { return status_; }
  bool ready() const { return status_ == OpenStatus::Ok; }
  ExtVariant variant() const { return variant_; }
  const ExtSuperblock& superblock() const { return sb_; }
  uint32_t blockSize() const { return blockSize_; }
  uint32_t groupCount() const { return static_cast<uint32_t>(groups_.size()); }
  const GroupDescriptor& group(uint32_t g) const { return groups_.at(g); }
  // Blocks of one group's inode table.
  uint32_t inodeTableBlocks() const { return tableBlocks_; }
  uint32_t inodesPerBlock() const { return blockSize_ / sb_.inodeSize; }
  uint64_t volumeBytes() const { return uint64_t(sb_.blocksCount) * blockSize_; }
  // The largest file or journal the volume can hold: its size, or the
  // device's when that is smaller (a forged blocks count cannot make a
  // hole-filled file of petabytes).
  uint64_t sizeLimit() const;

  // Block n into out (resized to the block size). False when n is past the volume or the read fails.
  bool readBlock(uint64_t n, std::vector<uint8_t>& out) const;
  // The group's inode bitmap block. False when g is past the groups or the read fails.
  bool readInodeBitmap(uint32_t g, std::vector<uint8_t>& out) const;
  // The 128-byte core of inode a (1-based). False when a is 0 or past the inodes count.
  bool readInode(uint64_t a, InodeBytes& out) const;
  // Whether inode a's bit is set in its group's bitmap; false also when unreadable.
  bool inodeBitmapBit(uint64_t a, bool& set) const;

  BlockClass blockClass(uint64_t a) const;
  // The group whose inode table holds block a, or -1.
  int64_t inodeTableGroupOf(uint64_t a) const;
  // The number of the first inode stored in inode-table block a, 0 when a is not one.
  uint64_t firstInodeOfBlock(uint64_t a) const;
  // The group of a block (relative to the first data block).
  uint64_t groupOfBlock(uint64_t a) const;

 private:
  bool hasSuperblockBackup(uint32_t g) const;

  std::shared_ptr<const ExtDevice> device_;
  ExtVariant variant_;
  OpenStatus status_ = OpenStatus::ReadFailed;
  ExtSuperblock sb_;
  uint32_t blockSize_ = 0;
  uint32_t tableBlocks_ = 0;
  uint32_t gdtBlocks_ = 0;
  std::vector<GroupDescriptor> groups_;
  // Inode tables sorted by first block: {first block, group}.
  std::vector<std::pair<uint32_t, uint32_t>> tables_;
};

// Sequential walk of one inode's block map. Indirect blocks are read once
// while the walk stays inside them (a one-entry cache per level).
class BlockMapper {
 public:
  enum class Result { Block, Hole, Failed };
  BlockMapper(const ExtVolume& volume, const uint8_t* inode128);
  // Physical block of file block `logical`: Hole for a 0 pointer at any
  // level, Failed for a pointer past the volume, an unreadable indirect block
  // or a logical block past the triple-indirect range.
  Result map(uint64_t logical, uint32_t& physical);

 private:
  Result lookup(int level, uint32_t tableBlock, uint64_t index, uint32_t& out);
  const ExtVolume& volume_;
  std::array<uint32_t, 15> pointers_{};
  struct Cached {
    uint32_t block = 0;
    bool valid = false;
    std::vector<uint8_t> data;
  };
  std::array<Cached, 3> cache_;
};

enum class StreamStatus { Ok, ReadFailed, SinkFailed, Cancelled };

// Streams the first `size` bytes of the file whose inode core is given,
// block by block in file order: holes become zeros. `sink` gets each piece
// and returns false to stop; `keepGoing` is asked before each block.
StreamStatus streamFile(const ExtVolume& volume, const uint8_t* inode128, uint64_t size,
                        const std::function<bool(const uint8_t*, size_t)>& sink,
                        const std::function<bool()>& keepGoing = {});

}  // namespace brenix::ext
