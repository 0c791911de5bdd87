#pragma once
// Directory entry sets of exFAT: a File entry (0x85, or 0x05 once deleted),
// its Stream Extension (0xC0 / 0x40) and File Name entries (0xC1 / 0x41),
// checked against the set checksum and decoded into one record.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace brenix::exfat {

inline constexpr size_t kEntryBytes = 32;
inline constexpr uint8_t kTypeInUse = 0x80;
inline constexpr uint8_t kTypeBitmap = 0x81, kTypeUpcase = 0x82, kTypeLabel = 0x83, kTypeFile = 0x85;
inline constexpr uint8_t kTypeStream = 0xC0, kTypeName = 0xC1;
inline constexpr uint16_t kAttrDirectory = 0x10;
inline constexpr uint8_t kFlagAllocationPossible = 0x01, kFlagNoFatChain = 0x02;
inline constexpr size_t kMaxNameUnits = 255;

// One time stamp as stored: local date and time fields, the 10 ms increment
// (0..199) and the UTC offset byte (bit 7 set when the offset is valid).
struct Timestamp {
  uint32_t packed = 0;
  uint8_t increment10ms = 0;
  uint8_t utcOffset = 0;
};

// 100-ns time since 1601-01-01 UTC. Without a valid offset the stamp is read
// as UTC. 0 for a stamp of all zeros or with impossible fields.
uint64_t timestampToFileTime(const Timestamp& t);

struct EntrySet {
  bool inUse = false;          // the File entry's in-use bit
  uint16_t attributes = 0;
  Timestamp created, modified, accessed;
  uint8_t streamFlags = 0;
  uint8_t nameLength = 0;      // UTF-16 units
  uint16_t nameHash = 0;
  uint64_t validDataLength = 0;
  uint32_t firstCluster = 0;
  uint64_t dataLength = 0;
  std::string name;            // UTF-8
  size_t entryCount = 0;       // 1 + secondary count: entries the set takes

  bool isDirectory() const { return (attributes & kAttrDirectory) != 0; }
  bool noFatChain() const { return (streamFlags & kFlagNoFatChain) != 0; }
};

enum class SetStatus {
  Ok,
  NotAFileEntry,  // the first entry is not a File entry (live or deleted)
  Truncated,      // the secondary count runs past the entries given
  BadShape,       // secondary count out of range, no stream entry, too few name entries
  BadChecksum,
};

// The set checksum over `entries` (count × 32 bytes), bytes 2 and 3 of the
// first entry left out. With `asInUse` every type byte counts with its in-use
// bit set, as it was when the set was written (deleting clears only the bit).
uint16_t entrySetChecksum(std::span<const uint8_t> entries, bool asInUse);

// Decodes the set whose File entry is at entry `index` of `entries`.
SetStatus decodeEntrySet(std::span<const uint8_t> entries, size_t index, EntrySet* out);

}  // namespace brenix::exfat
