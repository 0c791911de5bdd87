#pragma once
// The two fixed-layout records of the disk model. They are stored byte for
// byte in partition backup files, so every field's offset and width is part of
// a file format: the static_asserts below pin them.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brenix {

static_assert(std::endian::native == std::endian::little,
              "the disk records are stored in host order and must be little-endian");

enum class SlotKind : uint8_t { Mounted = 0, Primary = 1, Logical = 2 };

// One physical drive (or attached disk image).
struct PhysicalDisk {
  char modelText[264];   // NUL-terminated identification text
  uint64_t sizeBytes;    // capacity in bytes
  uint32_t removable;    // 0 or 1
  uint32_t driveNumber;  // 0..25
  uint32_t busType;      // storage bus type number (see busTypeName)
  uint8_t reserved[4];

  std::string model() const;
  void setModel(std::string_view text);
};

// A mounted volume, a partition-table entry, or an unallocated region.
struct PartitionInfo {
  int32_t diskNumber;          // drive number of the holding disk; -1 if unknown
  char driveLetter;            // 'A'..'Z', or '*' without a letter
  uint8_t slotKind;            // SlotKind
  uint8_t reserved1[2];
  uint32_t slotSector;         // ordering sector within the disk
  uint32_t extendedBase;       // first sector of the extended partition (logical slots)
  char fsName[12];             // file-system kind text (FsKind)
  char volumeLabel[24];        // label, "Unknown" when none
  uint32_t volumeStart;        // absolute first sector of the volume
  uint32_t sectorsPerCluster;  // EXT: blocks per group
  uint32_t bytesPerSector;     // EXT: block size
  uint64_t freeBytes;
  uint64_t totalBytes;
  uint8_t bootSector[512];     // copy of the volume's first sector
  uint8_t partitionType;       // table entry type byte
  uint8_t reserved2[7];

  std::string fs() const;
  void setFs(std::string_view name);
  std::string label() const;
  void setLabel(std::string_view text);
  // First sector past the record's extent.
  uint64_t endSector() const { return uint64_t(volumeStart) + totalBytes / 512; }
};

static_assert(sizeof(PhysicalDisk) == 288);
static_assert(offsetof(PhysicalDisk, modelText) == 0);
static_assert(offsetof(PhysicalDisk, sizeBytes) == 264);
static_assert(offsetof(PhysicalDisk, removable) == 272);
static_assert(offsetof(PhysicalDisk, driveNumber) == 276);
static_assert(offsetof(PhysicalDisk, busType) == 280);
static_assert(offsetof(PhysicalDisk, reserved) == 284);

static_assert(sizeof(PartitionInfo) == 600);
static_assert(offsetof(PartitionInfo, diskNumber) == 0);
static_assert(offsetof(PartitionInfo, driveLetter) == 4);
static_assert(offsetof(PartitionInfo, slotKind) == 5);
static_assert(offsetof(PartitionInfo, slotSector) == 8);
static_assert(offsetof(PartitionInfo, extendedBase) == 12);
static_assert(offsetof(PartitionInfo, fsName) == 16);
static_assert(offsetof(PartitionInfo, volumeLabel) == 28);
static_assert(offsetof(PartitionInfo, volumeStart) == 52);
static_assert(offsetof(PartitionInfo, sectorsPerCluster) == 56);
static_assert(offsetof(PartitionInfo, bytesPerSector) == 60);
static_assert(offsetof(PartitionInfo, freeBytes) == 64);
static_assert(offsetof(PartitionInfo, totalBytes) == 72);
static_assert(offsetof(PartitionInfo, bootSector) == 80);
static_assert(offsetof(PartitionInfo, partitionType) == 592);
static_assert(offsetof(PartitionInfo, reserved2) == 593);

// Zero-filled records (bytes not written by a producer are zero).
PhysicalDisk makePhysicalDisk();
PartitionInfo makePartitionInfo();

}  // namespace brenix
