#pragma once
// The deleted-inode scan: EXT2 reads the inode tables and takes free inodes
// that still carry a block map; EXT3 walks the journal and takes old copies of
// inode-table blocks whose inodes still had their block map, naming them from
// old copies of directory blocks.
#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ext/ext_volume.h"
#include "results/progress.h"

namespace brenix::ext {

#pragma pack(push, 1)
// One found file. The inode copy is the locator of its data.
struct ExtItem {
  uint8_t inode[128];       // from the inode table (EXT2) or the journal (EXT3)
  uint32_t inodeNumber;     // 1-based
  uint32_t checked;         // 1 when the user ticked the row
  char name[255];           // "Unknown" while no name is known
  char extension[20];       // lower-case text after the last dot of a directory-entry name
};
#pragma pack(pop)
static_assert(sizeof(ExtItem) == 411);

ExtItem makeItem(const uint8_t* inode128, uint32_t number, const std::string& name = "Unknown");
std::string itemName(const ExtItem& item);
std::string itemExtension(const ExtItem& item);

// Deleted files lie within this many seconds of now (five 365-day years).
inline constexpr int64_t kAgeWindowSeconds = 157680000;

inline constexpr char kFoundStatus[] = "Found Deleted Files : ";

// Journal (JBD) block header.
inline constexpr uint32_t kJournalMagic = 0xC03B3998;
enum JournalBlockType : uint32_t { kDescriptor = 1, kCommit = 2, kSuperblockV1 = 3, kSuperblockV2 = 4, kRevoke = 5 };
enum JournalTagFlag : uint32_t { kTagEscape = 1, kTagSameUuid = 2, kTagDeleted = 4, kTagLast = 8 };

// One descriptor tag: the file-system block whose copy the next data block holds.
struct JournalTag {
  uint64_t block = 0;
  uint32_t flags = 0;
};

// Size of one tag from the journal superblock's incompatible features
// (8 bytes; 12 with 64-bit block numbers; 16 with v3 checksums).
size_t journalTagSize(uint32_t journalIncompat);
// The tags of one descriptor block, stopping at the last-tag flag or the end
// of the block (a v2/v3 checksum tail is left out).
std::vector<JournalTag> parseDescriptorTags(const uint8_t* block, size_t blockSize, uint32_t journalIncompat);

// Whether a block starts with the exact "." and ".." entries of a directory's first block.
bool isFirstDirectoryBlock(const uint8_t* block, size_t blockSize);

// A name from a directory entry made safe as a file name: invalid UTF-8,
// "?", path separators and control characters become "_"; cut to fit the
// name field on a character boundary.
std::string cleanEntryName(const std::string& raw);
// Lower-case text after the last dot (not a leading one), at most 19 bytes; else empty.
std::string extensionOf(const std::string& name);

struct ScanStats {
  uint64_t inodesExamined = 0;
  uint64_t journalBlocks = 0;
};

class ExtScanner {
 public:
  ExtScanner(const ExtVolume& volume, Progress& progress, const std::atomic<bool>& running)
      : volume_(volume), progress_(progress), running_(running) {}

  // Collects the deleted files over blocks [first, last] (normalised to the
  // volume) and applies the tree-step naming. Empty when the volume is not ready.
  std::vector<ExtItem> scan(uint64_t firstBlock = 0, uint64_t lastBlock = UINT64_MAX);
  const ScanStats& stats() const { return stats_; }

 private:
  void collectExt2(std::vector<ExtItem>& found);
  void collectExt3();
  void journalInodeBlock(uint64_t fsBlock, const uint8_t* copy);
  void journalDirectoryBlock(const uint8_t* copy);
  bool inRange(uint64_t block) const { return block >= first_ && block <= last_; }

  const ExtVolume& volume_;
  Progress& progress_;
  const std::atomic<bool>& running_;
  uint64_t first_ = 0, last_ = 0;
  int64_t now_ = 0;
  uint32_t foundCount_ = 0;
  ScanStats stats_;
  struct Slot {
    ExtItem item;
    bool hasInode = false;
  };
  std::map<uint32_t, Slot> table_;  // EXT3: found items by inode number
};

}  // namespace brenix::ext
