#pragma once
// The lowest layer of the exFAT engine: one exFAT volume on a drive or an
// image. Decodes and checks the boot region, holds the first allocation table
// and the allocation bitmap in memory, and maps clusters to byte positions.
//
// Everything read from the disk is untrusted: the shifts, offsets and lengths
// of the boot sector are bounded before use, tables are only as long as the
// volume needs and the device holds, and every chain walk is cut at a cycle.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "disk/byte_source.h"

namespace brenix::exfat {

using brenix::ByteSource;
using brenix::makeMemorySource;

struct Geometry {
  uint64_t volumeLength = 0;     // sectors
  uint32_t fatOffset = 0;        // sectors from the boot sector
  uint32_t fatLength = 0;        // sectors
  uint32_t heapOffset = 0;       // sectors from the boot sector to cluster 2
  uint32_t clusterCount = 0;     // clusters 2 .. clusterCount + 1
  uint32_t rootCluster = 0;
  uint32_t serial = 0;
  uint8_t bytesPerSectorShift = 0;
  uint8_t sectorsPerClusterShift = 0;
  uint8_t fatCount = 0;
  uint16_t volumeFlags = 0;

  uint32_t bytesPerSector() const { return 1u << bytesPerSectorShift; }
  uint64_t clusterBytes() const { return uint64_t(1) << (bytesPerSectorShift + sectorsPerClusterShift); }
  uint32_t maxCluster() const { return clusterCount + 1; }
  bool validCluster(uint64_t c) const { return c >= 2 && c <= maxCluster(); }
};

// Checks and decodes the main boot sector (at least 512 bytes). On failure
// returns false and says why in *why.
bool parseBootSector(std::span<const uint8_t> sector, Geometry* g, std::string* why);

// The boot-region checksum over sectors 0..10 (the volume-flags and
// percent-in-use bytes of sector 0 left out).
uint32_t bootRegionChecksum(std::span<const uint8_t> region, uint32_t bytesPerSector);

inline constexpr uint32_t kEndOfChain = 0xFFFFFFFF;
inline constexpr uint32_t kBadCluster = 0xFFFFFFF7;

// Why opening failed.
inline constexpr int kErrNotExFat = 13;
inline constexpr int kErrRead = 5;

class Volume {
 public:
  Volume() = default;
  ~Volume();
  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;

  // Opens drive `driveNumber` of the device table read-only; the boot sector
  // is at 512-byte sector `partitionStart`. 0, a system error number, or
  // kErrNotExFat.
  int open(int driveNumber, uint64_t partitionStart);
  int openPath(const std::string& path, uint64_t partitionStart);
  int openSource(std::unique_ptr<ByteSource> source, uint64_t partitionStart);
  bool isOpen() const { return ok_; }
  const std::string& error() const { return error_; }

  const Geometry& geometry() const { return g_; }
  // Whether the stored boot checksum sector matches sectors 0..10 (reported, not required).
  bool bootChecksumOk() const { return bootChecksumOk_; }
  // The allocation bitmap was found through its root entry and loaded.
  bool haveBitmap() const { return !bitmap_.empty(); }
  bool haveUpcase() const { return upcaseCluster_ != 0; }
  uint32_t bitmapCluster() const { return bitmapCluster_; }
  uint32_t upcaseCluster() const { return upcaseCluster_; }

  // Table value of a cluster, 0 for numbers outside the table.
  uint32_t next(uint32_t cluster) const;
  // Whether the bitmap marks a cluster as in use (false without a bitmap).
  bool inUse(uint32_t cluster) const;

  // Absolute byte position of a cluster.
  uint64_t clusterOffset(uint32_t cluster) const;
  uint64_t partitionStart() const { return partitionStart_; }

  bool readBytes(uint64_t offset, void* buffer, size_t n) const;

  // The chain from `first`, cut at a cycle, an out-of-range successor, a free
  // entry, and at `limit` clusters. *complete tells whether it ended at the
  // end-of-chain mark.
  std::vector<uint32_t> chain(uint32_t first, size_t limit, bool* complete) const;

 private:
  int finishOpen();
  void findRootMetadata();

  std::unique_ptr<ByteSource> source_;
  Geometry g_;
  uint64_t partitionStart_ = 0;
  std::vector<uint32_t> fat_;
  std::vector<uint8_t> bitmap_;
  uint32_t bitmapCluster_ = 0, upcaseCluster_ = 0;
  bool bootChecksumOk_ = false;
  bool ok_ = false;
  std::string error_;
};

}  // namespace brenix::exfat
