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
// Sector numbers are 32-bit fields as the layout has always had them; a
// volume or slot past sector 2^32 (a GPT partition on a disk over 2 TiB)
// keeps the bits above in two spare places that older records hold as zero,
// so startSector() and slotPosition() give the whole number for every record.
struct PartitionInfo {
  int32_t diskNumber;          // drive number of the holding disk; -1 if unknown
  char driveLetter;            // 'A'..'Z', or '*' without a letter
  uint8_t slotKind;            // SlotKind
  uint16_t volumeStartHigh;    // bits 32..47 of the first sector (0 below 2^32)
  uint32_t slotSector;         // ordering sector within the disk (low 32 bits)
  uint32_t extendedBase;       // first sector of the extended partition (logical slots)
  char fsName[12];             // file-system kind text (FsKind)
  char volumeLabel[24];        // label, "Unknown" when none
  uint32_t volumeStart;        // absolute first sector of the volume (low 32 bits)
  uint32_t sectorsPerCluster;  // EXT: blocks per group
  uint32_t bytesPerSector;     // EXT: block size
  uint64_t freeBytes;
  uint64_t totalBytes;
  uint8_t bootSector[512];     // copy of the volume's first sector
  uint8_t partitionType;       // table entry type byte
  uint8_t slotSectorHigh[2];   // bits 32..47 of slotSector, low byte first
  uint8_t reserved2[5];

  std::string fs() const;
  void setFs(std::string_view name);
  std::string label() const;
  void setLabel(std::string_view text);
  // The largest sector number a record can hold.
  static constexpr uint64_t kMaxSector = (uint64_t(1) << 48) - 1;
  // The absolute first sector of the volume, all 48 bits.
  uint64_t startSector() const { return uint64_t(volumeStartHigh) << 32 | volumeStart; }
  void setStartSector(uint64_t sector) {
    volumeStart = static_cast<uint32_t>(sector);
    volumeStartHigh = static_cast<uint16_t>(sector >> 32);
  }
  // The ordering sector, all 48 bits.
  uint64_t slotPosition() const {
    return uint64_t(slotSectorHigh[0] | slotSectorHigh[1] << 8) << 32 | slotSector;
  }
  void setSlotPosition(uint64_t sector) {
    slotSector = static_cast<uint32_t>(sector);
    slotSectorHigh[0] = static_cast<uint8_t>(sector >> 32);
    slotSectorHigh[1] = static_cast<uint8_t>(sector >> 40);
  }
  // First sector past the record's extent.
  uint64_t endSector() const { return startSector() + totalBytes / 512; }
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
static_assert(offsetof(PartitionInfo, volumeStartHigh) == 6);
static_assert(offsetof(PartitionInfo, slotSectorHigh) == 593);
static_assert(offsetof(PartitionInfo, reserved2) == 595);

// Zero-filled records (bytes not written by a producer are zero).
PhysicalDisk makePhysicalDisk();
PartitionInfo makePartitionInfo();

}  // namespace brenix
