#pragma once
// Hand-built exFAT volumes in memory, for what the tools cannot make:
// boot sector, allocation table, bitmap, up-case table and root directory at
// fixed places, and entry sets written byte by byte.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "exfat/exfat_entry.h"
#include "exfat/exfat_volume.h"

namespace brenix::test {

class ExFatImage {
 public:
  static constexpr uint32_t kBitmapCluster = 2, kUpcaseCluster = 3, kRootCluster = 4;

  // `clusters` clusters of 512 << spcShift bytes. The bitmap, up-case table
  // and one-cluster root are written and marked in use.
  // Only the first `inMemory` clusters of the heap are held (0: all); a test
  // that declares a larger volume writes the image to a sparse file.
  explicit ExFatImage(uint32_t clusters, uint8_t spcShift = 0, uint32_t inMemory = 0)
      : clusters_(clusters), spcShift_(spcShift) {
    fatLength_ = ((clusters + 2) * 4 + 511) / 512;
    heapOffset_ = 24 + fatLength_;
    const uint64_t sectors = heapOffset_ + (uint64_t(clusters) << spcShift);
    const uint64_t held = inMemory == 0 ? sectors : heapOffset_ + (uint64_t(inMemory) << spcShift);
    img.assign(static_cast<size_t>(held * 512), 0);
    uint8_t* b = img.data();
    b[0] = 0xEB, b[1] = 0x76, b[2] = 0x90;
    std::memcpy(b + 3, "EXFAT   ", 8);
    putLe64(b + 72, sectors);
    putLe32(b + 80, 24);
    putLe32(b + 84, fatLength_);
    putLe32(b + 88, heapOffset_);
    putLe32(b + 92, clusters);
    putLe32(b + 96, kRootCluster);
    putLe32(b + 100, 0x1234ABCD);
    putLe16(b + 104, 0x0100);
    b[108] = 9;
    b[109] = spcShift;
    b[110] = 1;
    b[510] = 0x55, b[511] = 0xAA;
    setFat(0, 0xFFFFFFF8);
    setFat(1, 0xFFFFFFFF);
    for (uint32_t c : {kBitmapCluster, kUpcaseCluster, kRootCluster}) {
      setFat(c, exfat::kEndOfChain);
      markUsed(c);
    }
    uint8_t* r = cluster(kRootCluster);
    r[0] = exfat::kTypeBitmap;
    putLe32(r + 20, kBitmapCluster);
    putLe64(r + 24, (clusters + 7) / 8);
    r[32] = exfat::kTypeUpcase;
    putLe32(r + 32 + 20, kUpcaseCluster);
    putLe64(r + 32 + 24, 512);
    rootUsed_ = 64;
  }

  uint32_t clusterBytes() const { return 512u << spcShift_; }
  uint8_t* cluster(uint32_t c) { return img.data() + (uint64_t(heapOffset_) + (uint64_t(c - 2) << spcShift_)) * 512; }
  void setFat(uint32_t c, uint32_t v) { putLe32(img.data() + 24 * 512 + uint64_t(c) * 4, v); }
  void markUsed(uint32_t c, bool used = true) {
    uint8_t* bits = cluster(kBitmapCluster);
    const uint32_t bit = c - 2;
    if (used)
      bits[bit / 8] = uint8_t(bits[bit / 8] | (1u << (bit % 8)));
    else
      bits[bit / 8] = uint8_t(bits[bit / 8] & ~(1u << (bit % 8)));
  }
  // Links clusters into a chain ending in the end mark.
  void chain(const std::vector<uint32_t>& cs) {
    for (size_t i = 0; i < cs.size(); ++i) setFat(cs[i], i + 1 < cs.size() ? cs[i + 1] : exfat::kEndOfChain);
  }
  // Writes bytes over consecutive clusters from `first`.
  void put(uint32_t first, const std::vector<uint8_t>& bytes) {
    std::memcpy(cluster(first), bytes.data(), bytes.size());
  }
  // Writes a directory's entries over the listed clusters in order.
  void putDirectory(const std::vector<uint32_t>& clusters, const std::vector<uint8_t>& entries) {
    for (size_t at = 0, k = 0; at < entries.size() && k < clusters.size(); at += clusterBytes(), ++k)
      std::memcpy(cluster(clusters[k]), entries.data() + at, std::min<size_t>(clusterBytes(), entries.size() - at));
  }
  // Appends entries to the root directory's first cluster.
  void addToRoot(const std::vector<uint8_t>& entries) {
    std::memcpy(cluster(kRootCluster) + rootUsed_, entries.data(), entries.size());
    rootUsed_ += entries.size();
  }
  // Fills sectors 1..11: the boot checksum of sectors 0..10, repeated.
  void sealBootRegion() {
    const uint32_t sum = exfat::bootRegionChecksum(img, 512);
    for (size_t i = 11 * 512; i < 12 * 512; i += 4) putLe32(img.data() + i, sum);
  }

  std::vector<uint8_t> img;

 private:
  uint32_t clusters_;
  uint8_t spcShift_;
  uint32_t fatLength_, heapOffset_;
  size_t rootUsed_ = 0;
};

struct SetSpec {
  std::u16string name;
  uint16_t attributes = 0x20;
  uint32_t firstCluster = 0;
  uint64_t dataLength = 0;
  uint64_t validDataLength = UINT64_MAX;  // = dataLength
  bool noFatChain = true;
  bool deleted = false;
  uint32_t modified = (46u << 25) | (6u << 21) | (15u << 16) | (10u << 11) | (30u << 5) | 7u;  // 2026-06-15 10:30:14
};

// A File entry set with a correct checksum (computed before deleting, as a
// driver does: deleting clears only the in-use bits).
inline std::vector<uint8_t> entrySet(const SetSpec& s) {
  const size_t names = (s.name.size() + 14) / 15;
  std::vector<uint8_t> e((2 + names) * 32, 0);
  e[0] = exfat::kTypeFile;
  e[1] = uint8_t(1 + names);
  putLe16(&e[4], s.attributes);
  putLe32(&e[8], s.modified);
  putLe32(&e[12], s.modified);
  putLe32(&e[16], s.modified);
  e[32] = exfat::kTypeStream;
  e[33] = uint8_t(exfat::kFlagAllocationPossible | (s.noFatChain ? exfat::kFlagNoFatChain : 0));
  e[35] = uint8_t(s.name.size());
  putLe64(&e[40], s.validDataLength == UINT64_MAX ? s.dataLength : s.validDataLength);
  putLe32(&e[52], s.firstCluster);
  putLe64(&e[56], s.dataLength);
  for (size_t k = 0; k < names; ++k) {
    e[64 + 32 * k] = exfat::kTypeName;
    for (size_t u = 0; u < 15 && 15 * k + u < s.name.size(); ++u) putLe16(&e[64 + 32 * k + 2 + 2 * u], s.name[15 * k + u]);
  }
  putLe16(&e[2], exfat::entrySetChecksum(e, false));
  if (s.deleted)
    for (size_t i = 0; i < e.size(); i += 32) e[i] = uint8_t(e[i] & 0x7F);
  return e;
}

inline std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t((i * 131 + seed * 17 + (i >> 9)) & 0xFF);
  return v;
}

}  // namespace brenix::test
