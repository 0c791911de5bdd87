#pragma once
// The lowest layer of the FAT engine: one FAT12, FAT16 or FAT32 volume on a
// drive or image. Decodes the boot sector, holds the first allocation table
// in memory, maps clusters to byte positions, decodes directory entries and
// tells directory data from other data.
//
// Everything read from the disk is untrusted: the geometry is checked before
// use, the table is only as long as the volume needs (and the device holds),
// and every cluster number is bounded before a read.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "disk/byte_source.h"

namespace brenix {

class SectorReader;

// The engine variant asked for by the partition's file-system name:
// "FAT32" takes the FAT32 variant, "FAT16" and "FAT" the FAT16 variant,
// which also reads FAT12 volumes (12-bit table entries).
enum class FatVariant { Fat16, Fat32 };
enum class FatType { Fat12, Fat16, Fat32 };

using FatByteSource = ByteSource;

struct FatGeometry {
  FatType type = FatType::Fat16;
  uint32_t bytesPerSector = 0;
  uint32_t sectorsPerCluster = 0;
  uint32_t reservedSectors = 0;
  uint32_t fatCount = 0;
  uint32_t sectorsPerFat = 0;
  uint32_t totalSectors = 0;
  uint32_t rootEntries = 0;    // FAT12/16: entries of the fixed root region
  uint32_t rootCluster = 0;    // FAT32: first cluster of the root directory
  uint32_t rootSectors = 0;    // FAT12/16: sectors of the fixed root region
  uint32_t firstDataSector = 0;  // volume sector of cluster 2
  uint32_t clusterCount = 0;   // data clusters (numbers 2 .. clusterCount + 1)

  uint32_t clusterBytes() const { return bytesPerSector * sectorsPerCluster; }
  uint32_t maxCluster() const { return clusterCount + 1; }
  bool isFat32() const { return type == FatType::Fat32; }
};

// Checks and decodes a boot sector (at least 512 bytes). On failure returns
// false and says why in *why.
bool parseFatBootSector(std::span<const uint8_t> sector, FatGeometry* g, std::string* why);

// One decoded 32-byte short directory entry.
struct FatDirEntry {
  uint8_t name[8];
  uint8_t ext[3];
  uint8_t attr;
  uint16_t createTime, createDate, accessDate, highCluster, writeTime, writeDate, lowCluster;
  uint32_t size;

  static FatDirEntry decode(const uint8_t* p);
  bool isDeleted() const { return name[0] == 0xE5; }
  bool isDirectory() const { return (attr & 0x10) != 0; }
  uint32_t cluster(bool fat32) const { return fat32 ? (uint32_t(highCluster) << 16) | lowCluster : lowCluster; }
};

inline constexpr uint8_t kAttrReadOnly = 0x01, kAttrHidden = 0x02, kAttrSystem = 0x04, kAttrVolume = 0x08,
                         kAttrDirectory = 0x10, kAttrLongName = 0x0F;

// A byte allowed in a short name (0x20-0x7E except " * / : < > ? \ |).
bool isValidNameChar(uint8_t c);
// Date within [currentYear - 5, currentYear], month <= 12, day <= 31.
bool dosDateInWindow(uint16_t date, int currentYear);
// Any real DOS date: 0 (not set), or 1980 to currentYear + 1 with month 1-12 and day 1-31.
bool dosDateValid(uint16_t date, int currentYear);
// The 13 UTF-16 units of a long-name entry as UTF-8; 0x0000 and 0xFFFF add
// nothing, a unit that cannot be converted becomes "_".
std::string decodeLongNamePiece(const uint8_t* entry);
// Short-name checksum that long-name entries carry.
uint8_t shortNameChecksum(const uint8_t* entry);
// Whether a buffer begins with the "." and ".." entries of a subdirectory.
bool beginsWithDotEntries(std::span<const uint8_t> block);

// Parameters of the directory-block test that come from the volume.
struct DirBlockParams {
  bool fat32 = false;
  uint32_t clusterLimit = 0;  // largest start cluster an entry may name
  int currentYear = 0;
};
// The directory-block test over one sector's worth of entries.
bool looksLikeDirectoryBlock(std::span<const uint8_t> block, const DirBlockParams& params);

class FatVolume {
 public:
  FatVolume() = default;
  ~FatVolume();
  FatVolume(const FatVolume&) = delete;
  FatVolume& operator=(const FatVolume&) = delete;

  // Opens drive `driveNumber` of the device table read-only; the volume's
  // boot sector is at 512-byte sector `partitionStart`. Returns 0, or a
  // system error number (device) / 13 (not a volume of this variant).
  int open(int driveNumber, uint64_t partitionStart, FatVariant variant);
  int openPath(const std::string& path, uint64_t partitionStart, FatVariant variant);
  int openSource(std::unique_ptr<FatByteSource> source, uint64_t partitionStart, FatVariant variant);
  bool isOpen() const { return ok_; }
  const std::string& error() const { return error_; }
  // Set when a damaged boot sector was replaced by its FAT32 backup (sector 6).
  const std::string& notice() const { return notice_; }

  const FatGeometry& geometry() const { return g_; }
  FatVariant variant() const { return variant_; }
  bool fat32() const { return g_.isFat32(); }
  uint64_t partitionStart() const { return partitionStart_; }
  uint32_t shortChainCount() const { return shortChains_; }
  // Number of entries held from the first table.
  uint32_t fatEntryCount() const { return entryCount_; }

  // Table value of a cluster, 0 for numbers outside the table.
  uint32_t next(uint32_t cluster) const;
  bool isEndOfChain(uint32_t value) const;
  // A data cluster number (2 .. maxCluster).
  bool validCluster(uint32_t c) const { return c >= 2 && c <= g_.maxCluster(); }
  // The root directory cluster on FAT32, 1 (the fixed root region) otherwise.
  uint32_t rootDirCluster() const { return fat32() ? g_.rootCluster : 1; }
  // Bytes of one directory "cluster": the whole root region for cluster 1 on FAT12/16.
  uint32_t unitBytes(uint32_t cluster) const;

  // Absolute byte position of a cluster (cluster 1 = FAT12/16 root region).
  uint64_t clusterOffset(uint32_t cluster) const;
  uint64_t volumeSectorOffset(uint64_t volumeSector) const;
  // Absolute byte end of the volume's data area (what a read may not pass).
  uint64_t volumeEndOffset() const;

  bool readBytes(uint64_t offset, void* buffer, size_t n) const;
  // Reads `count` clusters starting at `cluster` (or the root region for 1).
  bool readClusters(uint32_t cluster, uint32_t count, std::vector<uint8_t>& out) const;

  // The chain from `first`, cut at a cycle, an out-of-range successor or a
  // free entry, and at `limit` clusters. *complete tells whether it ended at
  // an end-of-chain mark.
  std::vector<uint32_t> chain(uint32_t first, size_t limit, bool* complete) const;

  DirBlockParams dirBlockParams() const;
  int currentYear() const { return currentYear_; }

 private:
  int finishOpen();
  void countShortChains();

  std::unique_ptr<FatByteSource> source_;
  FatGeometry g_;
  FatVariant variant_ = FatVariant::Fat16;
  uint64_t partitionStart_ = 0;
  std::vector<uint8_t> fat_;  // raw bytes of the first table (only what the volume needs)
  uint32_t entryCount_ = 0;
  uint32_t shortChains_ = 0;
  int currentYear_ = 0;
  bool ok_ = false;
  std::string error_;
  std::string notice_;
};

}  // namespace brenix
