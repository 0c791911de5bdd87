#pragma once
// Reading a disk's master boot record and extended chain into partition
// records, naming each partition's file system, adding the unallocated
// ("Deleted") regions, and merging table records into mounted volumes.
#include <cstdint>
#include <string>
#include <vector>

#include "disk/records.h"
#include "disk/sector_reader.h"

namespace brenix {

// One disk's records in ascending slotSector order, no two with the same slotSector.
using PartitionList = std::vector<PartitionInfo>;

// The longest extended chain walked; a damaged chain can link back on itself.
inline constexpr int kMaxExtendedRecords = 1024;

// Inserts before the first record with a greater slotSector; drops the record
// when one with the same slotSector is already there. Returns whether it was inserted.
bool insertSorted(PartitionList& list, const PartitionInfo& record);

enum class TableKind { None, Mbr, Gpt };
// "none", "mbr", "gpt".
const char* tableKindName(TableKind kind);

// The GPT name of one listed partition (by its first sector).
struct GptPartitionName {
  uint64_t volumeStart = 0;
  std::string name;
};

struct DiscoveryState {
  int32_t lastExtendedRecord = -1;  // sector of the last extended boot record walked
  TableKind tableKind = TableKind::None;
  bool protectiveMbr = false;       // the master boot record holds a 0xEE entry
  std::string gptCopy;              // "primary" or "backup": the GPT copy the entries came from
  uint32_t logicalSectorSize = 512; // of the GPT (4096 on 4Kn disks)
  std::vector<std::string> problems;  // damaged headers, skipped entries, entries past the disk
  std::vector<GptPartitionName> names;
};

// Reads the tables of the disk behind `reader` (diskSize bytes). Records
// inserted before a failure stay in `list`; regions are only added when every
// read succeeded.
bool readPartitionTable(SectorReader& reader, uint64_t diskSize, int driveNumber, PartitionList& list,
                        DiscoveryState& state);

// Opens the drive read-only and reads its tables.
bool readPartitionTable(int driveNumber, PartitionList& list, DiscoveryState& state);

bool walkExtendedChain(SectorReader& reader, uint32_t extendedStart, int driveNumber, PartitionList& list,
                       DiscoveryState& state);

// Adds the "Deleted" regions before, between, after and inside the partitions.
// extendedStart/extendedCount are 0xFFFFFFFF when the disk has no extended partition.
void addUnallocatedRegions(PartitionList& list, int driveNumber, uint64_t diskSize, uint32_t extendedStart,
                           uint32_t extendedCount);

// Completes the first `mountedCount` records of `volumes` (the mounted
// volumes) with the table records that describe them; appends the others.
void mergeIntoVolumes(std::vector<PartitionInfo>& volumes, size_t mountedCount, const PartitionList& combined);

// Names a table entry's file system from its type byte and first sectors.
// `superblock` is the 1024 bytes at byte 1024 of the partition (only read for 0x83).
void applyPartitionType(PartitionInfo& record, uint8_t type, const uint8_t* superblock);

}  // namespace brenix
