#pragma once
// GUID partition tables. A disk whose master boot record holds a protective
// (or hybrid) 0xEE entry keeps its real table here:
//   LBA 1: header  "EFI PART", revision, header size, header CRC32 (computed
//          with its own field zeroed), own LBA, alternate LBA, first and last
//          usable LBA, disk GUID, entry array LBA, entry count, entry size,
//          entry array CRC32.
//   entry array (usually LBA 2..33): per entry the type GUID, unique GUID,
//          first and last LBA (inclusive), attributes and a 36-character
//          UTF-16LE name.
//   last LBA of the disk: the backup header, its array just before it.
// An LBA is one logical sector: 512 bytes on most disks, 4096 on 4Kn disks.
// Everything read from the disk is bounded before use.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brenix {

using Guid = std::array<uint8_t, 16>;  // as stored on disk (mixed-endian)

inline constexpr uint32_t kGptHeaderMinSize = 92;
inline constexpr uint32_t kGptEntryMinSize = 128;
// Larger arrays than this are not GPT arrays any tool writes (sgdisk's
// default is 128 entries of 128 bytes = 16 KiB).
inline constexpr uint64_t kGptMaxArrayBytes = 1u << 20;
// At most this many problem texts are kept for one table.
inline constexpr size_t kGptMaxProblems = 64;
inline constexpr uint32_t kGptRevision1 = 0x00010000;

struct GptHeader {
  uint32_t revision = 0;
  uint32_t headerSize = 0;
  uint64_t myLba = 0;
  uint64_t alternateLba = 0;
  uint64_t firstUsable = 0;
  uint64_t lastUsable = 0;
  Guid diskGuid{};
  uint64_t entriesLba = 0;
  uint32_t entryCount = 0;
  uint32_t entrySize = 0;
  uint32_t entriesCrc = 0;
};

struct GptEntry {
  uint32_t index = 0;  // position in the array
  Guid typeGuid{};
  Guid uniqueGuid{};
  uint64_t firstLba = 0;
  uint64_t lastLba = 0;  // inclusive
  uint64_t attributes = 0;
  std::string name;      // UTF-8
};

enum class GptCopy { None, Primary, Backup };

struct GptTable {
  bool valid = false;
  GptCopy copy = GptCopy::None;  // which copy the entries were taken from
  uint32_t sectorSize = 512;
  GptHeader header;              // of the copy used
  bool primaryValid = false;     // header and array
  bool backupValid = false;
  std::vector<GptEntry> entries;        // used, accepted entries in array order
  std::vector<std::string> problems;    // what was wrong and what was skipped
  std::vector<uint8_t> array;           // the used copy's entry array, raw
};

// Reads `count` bytes at `byteOffset`; false when that cannot be done whole.
using ByteReader = std::function<bool(uint64_t byteOffset, void* buffer, size_t count)>;

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0);

// Parses one header sector; empty `why` on success. `lba` is where it was read.
bool parseGptHeader(const uint8_t* sector, uint32_t sectorSize, uint64_t lba, uint64_t diskSectors,
                    bool checkCrc, GptHeader& header, std::string* why);

// Reads the table of a disk of `diskBytes` bytes with `sectorSize`-byte LBAs:
// the primary copy at LBA 1, the backup at the primary's alternate LBA or the
// disk's last LBA. With `checkCrc` false the CRCs are not required (the
// fuzz target's second mode; discovery always checks).
GptTable readGpt(const ByteReader& read, uint64_t diskBytes, uint32_t sectorSize, bool checkCrc = true);

// The sector size of a disk whose protective MBR points at a GPT: 512 when
// "EFI PART" is at byte 512 (or a 512-byte backup header is at the end), 4096
// for the 4Kn places; 0 when no header is found at either.
uint32_t probeGptSectorSize(const ByteReader& read, uint64_t diskBytes);

// Text form of a GUID ("C12A7328-F81F-11D2-BA4B-00A0C93EC93B").
std::string guidText(const Guid& g);
bool parseGuid(const std::string& text, Guid& out);
// The kind name of the well-known type GUIDs ("EFI System", "Microsoft
// reserved", "Linux swap", ...); empty for the others.
std::string gptTypeName(const Guid& type);
bool isLinuxSwapGuid(const Guid& type);

// Serialising (write-back and tests): a header sector with its CRC computed,
// and one entry's bytes.
void encodeGptHeader(const GptHeader& h, uint8_t* sector, uint32_t sectorSize);
void encodeGptEntry(const GptEntry& e, uint8_t* out, uint32_t entrySize);

}  // namespace brenix
