#pragma once
// The deleted-inode scan. Every variant reads the inode tables and takes free
// inodes that still carry their block map or extent tree (a deletion by a
// tool other than the kernel leaves them). EXT3 and EXT4 also walk the journal
// and take old copies of inode-table blocks whose inodes still had their map
// (the newest copy of each inode wins), reading extent-tree nodes from the
// journal's copies too, and name them, with their folders, from old copies of
// directory blocks.
#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ext/ext_volume.h"
#include "results/progress.h"
#include "results/sweep_session.h"

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

// Deletion (and, for journal copies, change) times are accepted from the
// volume's creation, or 1990-01-01 when it is unknown, to a day after now.
inline constexpr int64_t kEarliestTime = 631152000;  // 1990-01-01 00:00:00 UTC
inline constexpr int64_t kClockSlackSeconds = 86400;

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
// (8 bytes; 12 with 64-bit block numbers; 2 more with v2 checksums; 16 with v3).
size_t journalTagSize(uint32_t journalIncompat);
// The tags of one descriptor block, stopping at the last-tag flag or the end
// of the block (a v2/v3 checksum tail is left out).
std::vector<JournalTag> parseDescriptorTags(const uint8_t* block, size_t blockSize, uint32_t journalIncompat);

// Whether a block starts with the exact "." and ".." entries of a directory's first block.
bool isFirstDirectoryBlock(const uint8_t* block, size_t blockSize);

// One entry of a directory block.
struct DirectoryEntry {
  uint32_t inode = 0;
  uint8_t type = 0;
  bool removed = false;  // found in the slack of the record before it
  std::string name;
};
// The entries of a directory block: a first block (after "." and ".."), or
// any other block whose records chain exactly to its end (linear blocks and
// htree leaves; the checksum tail is allowed). Removed entries still standing
// in a record's slack are returned too. False when the block is not one.
bool parseDirectoryBlock(const uint8_t* block, size_t blockSize, uint32_t inodesCount, bool typed,
                         std::vector<DirectoryEntry>& out);

// Where a found file belongs once the scan has named it.
struct ItemPlace {
  bool folderKnown = false;  // its folder, up to the root, is known
  std::string folder;        // "" the root, else "dir/sub"
  int64_t deleted = 0;       // deletion time where known (the rank of the list)
  std::vector<uint8_t> fullInode;  // the whole inode copy, for inline data
};

// A name from a directory entry made safe as a file name: invalid UTF-8,
// "?", path separators and control characters become "_"; cut to fit the
// name field on a character boundary.
std::string cleanEntryName(const std::string& raw);
// Lower-case text after the last dot (not a leading one), at most 19 bytes; else empty.
std::string extensionOf(const std::string& name);

struct ScanStats {
  uint64_t inodesExamined = 0;
  uint64_t journalBlocks = 0;
  uint64_t journalInodeCopies = 0;
  uint64_t journalDirectoryBlocks = 0;
  uint64_t journalExtentBlocks = 0;
};

class ExtScanner {
 public:
  ExtScanner(const ExtVolume& volume, Progress& progress, const std::atomic<bool>& running)
      : volume_(volume), progress_(progress), running_(running) {}

  // Collects the deleted files over blocks [first, last] (normalised to the
  // volume) and applies the tree-step naming. Empty when the volume is not ready.
  std::vector<ExtItem> scan(uint64_t firstBlock = 0, uint64_t lastBlock = UINT64_MAX);
  // Set before scan(): the inode-table reading, the long part of the scan,
  // continues from sweep->resume (group by group; its found list is the
  // inode numbers taken so far, read again) when that fits the volume, else
  // sweep->refused says why and scan() finds nothing. It reports to
  // sweep->sink as it goes and leaves where it stopped in sweep->reached.
  // The journal and the folders are read whole again on every run.
  void setSweep(SweepSession* sweep) { sweep_ = sweep; }
  const ScanStats& stats() const { return stats_; }
  // One place per item of the last scan, in the same order.
  const std::vector<ItemPlace>& places() const { return places_; }
  // The journal's newest copies of extent-tree nodes, by volume block.
  std::map<uint64_t, std::vector<uint8_t>> takeExtentBlocks() { return std::move(extentBlocks_); }

 private:
  struct Slot;
  bool collectTables();
  std::string takeTableResume(const SweepCheckpoint& cp, uint64_t firstGroup, uint64_t endGroup);
  bool deletedInTable(const uint8_t* inode) const;
  void takeFromTable(const uint8_t* inode, uint32_t number);
  void collectJournal();
  void journalInodeBlock(uint64_t fsBlock, const uint8_t* copy, uint32_t sequence);
  void journalDirectoryBlock(uint64_t fsBlock, const uint8_t* copy, uint32_t sequence);
  void journalExtentBlock(uint64_t fsBlock, const uint8_t* copy, uint32_t sequence);
  void journalInlineDirectory(uint32_t number, const uint8_t* inode, uint32_t sequence);
  void addEntries(uint64_t key, const std::vector<uint8_t>& region, uint32_t sequence);
  void takeEntries(uint64_t fsBlock, const std::vector<DirectoryEntry>& entries, uint32_t sequence);
  bool hasSoundMap(const uint8_t* inode) const;
  bool timeAccepted(uint32_t t) const { return int64_t(t) >= earliest_ && int64_t(t) <= now_ + kClockSlackSeconds; }
  void resolveFolders();
  bool folderPath(uint32_t dir, std::string& path);
  bool inRange(uint64_t block) const { return block >= first_ && block <= last_; }

  const ExtVolume& volume_;
  Progress& progress_;
  const std::atomic<bool>& running_;
  SweepSession* sweep_ = nullptr;
  uint64_t first_ = 0, last_ = 0;
  int64_t now_ = 0, earliest_ = kEarliestTime;
  uint32_t foundCount_ = 0;
  ScanStats stats_;
  struct Slot {
    ExtItem item;
    bool hasInode = false;
    bool fromTable = false;   // found in the inode table: the last state, kept over journal copies
    uint32_t sequence = 0;    // transaction of the journal copy
    int64_t deleted = 0;
    std::vector<uint8_t> full;
  };
  std::map<uint32_t, Slot> table_;  // found items by inode number
  std::vector<ItemPlace> places_;
  // Names from directory blocks: the entry, the block it stood in and the transaction.
  struct NameRef {
    std::string name;
    uint64_t block = 0;
    uint32_t sequence = 0;
  };
  std::map<uint32_t, NameRef> fileNames_, dirNames_;
  std::map<uint32_t, uint32_t> dirParent_;       // from ".." of a first block
  std::map<uint64_t, uint32_t> blockOwner_;      // directory block -> its directory
  std::map<uint32_t, std::vector<uint8_t>> dirCopies_;  // newest journal copies of directory inodes
  std::map<uint32_t, uint32_t> dirCopySequence_;
  std::map<uint64_t, std::vector<uint8_t>> extentBlocks_;
  std::map<uint64_t, uint32_t> extentSequence_;
};

}  // namespace brenix::ext
