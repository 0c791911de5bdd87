#pragma once
// The lowest layer of the EXT engine: a read-only view of one EXT2, EXT3 or
// EXT4 volume. It reads the superblock and the group descriptor table (32- or
// 64-byte descriptors, meta_bg), reads blocks and inodes, classifies blocks by
// their place in a block group (inode tables and bitmaps may lie anywhere
// with flex_bg) and maps a file's blocks through its block map (direct,
// single, double and triple indirect) or its extent tree.
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

#include "disk/byte_source.h"
#include "disk/sector_reader.h"

namespace brenix::ext {

// Where the volume's bytes come from: a ByteSource whose offset 0 is the
// volume start (makeReaderSource with the partition's byte offset, or
// makeMemoryView in tests and fuzzing).
using ExtDevice = ByteSource;

enum class ExtVariant { Ext2, Ext3, Ext4 };

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
uint32_t flags(const uint8_t* i);
bool isRegular(const uint8_t* i);
bool isDirectory(const uint8_t* i);
bool usesExtents(const uint8_t* i);    // flag 0x80000 and the extent header magic in the block area
bool hasInlineData(const uint8_t* i);  // flag 0x10000000: the bytes live inside the inode
}  // namespace inode

// Extent tree (ext4). Every node starts with a 12-byte header.
inline constexpr uint16_t kExtentMagic = 0xF30A;
inline constexpr uint16_t kMaxExtentDepth = 5;
struct ExtentHeader {
  uint16_t entries = 0, max = 0, depth = 0;
};
// The header of a node of `bytes` bytes; false when the magic is wrong, the
// entries exceed the maximum, the maximum exceeds the node or the depth is past 5.
bool parseExtentHeader(const uint8_t* node, size_t bytes, ExtentHeader& out);
struct Extent {
  uint64_t logical = 0;   // first file block
  uint64_t physical = 0;  // first volume block
  uint32_t length = 0;    // blocks
  bool uninitialized = false;  // allocated but never written: reads as zeros
};

namespace inode {
// Whether the inode's extent root is sound and names at least one entry.
bool hasExtentEntries(const uint8_t* i);
}  // namespace inode

struct ExtSuperblock {
  uint32_t inodesCount = 0;
  uint64_t blocksCount = 0;  // with the high word at 0x150 on 64-bit volumes
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
  uint32_t firstMetaBg = 0;
  uint32_t mkfsTime = 0;
  uint32_t checksumSeed = 0;      // crc32c of the UUID (or the stored seed), for metadata_csum
  bool metadataCsum = false;
  bool checksumOk = true;         // the superblock's own crc32c, when metadata_csum is on
  std::string volumeName;
};

// crc32c (Castagnoli) as ext4 and jbd2 use it: no final inversion.
uint32_t crc32c(uint32_t crc, const void* data, size_t n);

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
  uint64_t blockBitmap = 0;
  uint64_t inodeBitmap = 0;
  uint64_t inodeTable = 0;
  // With group checksums (uninit_bg or metadata_csum): the table was never
  // written (INODE_UNINIT), and how many inodes at its end were never used.
  bool inodesUninitialized = false;
  uint32_t unusedInodes = 0;
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
  uint64_t volumeBytes() const { return sb_.blocksCount * blockSize_; }
  // Group descriptors whose checksum (metadata_csum) did not match; reported, never required.
  uint32_t badDescriptorChecksums() const { return badDescriptorChecksums_; }
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
  // The whole on-disk inode a (inode size bytes).
  bool readFullInode(uint64_t a, std::vector<uint8_t>& out) const;
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
  uint32_t badDescriptorChecksums_ = 0;
  std::vector<GroupDescriptor> groups_;
  // Inode tables sorted by first block: {first block, group}.
  std::vector<std::pair<uint64_t, uint32_t>> tables_;
  // Every group's block and inode bitmap, sorted (with flex_bg they lie outside their group).
  std::vector<uint64_t> blockBitmaps_, inodeBitmaps_;
};

// Supplies a newer copy of a volume block than the disk holds (the journal's
// copy of an extent-tree block); null when there is none.
using BlockOverlay = std::function<const std::vector<uint8_t>*(uint64_t block)>;

// All leaf extents of a file, sorted by logical block. The tree is read with
// its depth bounded by the header and by 5, every node read at most once (no
// loops), index and leaf entries past the volume skipped. False when the root
// itself is not a sound extent header.
bool collectExtents(const ExtVolume& volume, const uint8_t* root60, std::vector<Extent>& out,
                    const BlockOverlay& overlay = {}, size_t maxExtents = size_t(1) << 22);

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

// Maps file blocks to volume blocks through whichever structure the inode
// uses: its extent tree, or its block map.
class FileMapper {
 public:
  FileMapper(const ExtVolume& volume, const uint8_t* inode128, const BlockOverlay& overlay = {});
  BlockMapper::Result map(uint64_t logical, uint64_t& physical);
  bool extents() const { return extents_; }
  bool sound() const { return sound_; }  // false for an extent root that is not a valid header

 private:
  BlockMapper blocks_;
  bool extents_ = false, sound_ = true;
  std::vector<Extent> list_;
  size_t last_ = 0;
};

// Streams the first `size` bytes of the file whose inode core is given,
// block by block in file order: holes and uninitialized extents become zeros;
// inline data is taken from the inode (`fullInode` holds the bytes past the
// core, for data kept in its extended attribute). `sink` gets each piece and
// returns false to stop; `keepGoing` is asked before each block.
StreamStatus streamFile(const ExtVolume& volume, const uint8_t* inode128, uint64_t size,
                        const std::function<bool(const uint8_t*, size_t)>& sink,
                        const std::function<bool()>& keepGoing = {}, const BlockOverlay& overlay = {},
                        std::span<const uint8_t> fullInode = {});
// The bytes of an inline-data file: the 60-byte block area, then the value of
// the "system.data" attribute inside the inode. Cut to `size`.
std::vector<uint8_t> inlineData(const uint8_t* inode128, std::span<const uint8_t> fullInode, uint64_t size);

}  // namespace brenix::ext
