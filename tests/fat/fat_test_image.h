#pragma once
// Small hand-made FAT volumes in memory, for the cases the real tools do not
// make: broken chains, loops, odd geometry, chosen dates.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "fat/fat_volume.h"

namespace brenix::test {

inline constexpr uint16_t dosDate(int y, int m, int d) { return uint16_t(((y - 1980) << 9) | (m << 5) | d); }
inline constexpr uint16_t dosTime(int h, int m, int s) { return uint16_t((h << 11) | (m << 5) | (s / 2)); }
// The unit tests run with the clock at 2026-06-15 12:00 UTC.
inline constexpr int64_t kTestNow = 1781524800;
inline constexpr uint16_t kToday = dosDate(2026, 6, 14);

// 32-byte directory entries.
class DirBytes {
 public:
  // A short entry; name11 is the 8+3 field, space padded.
  DirBytes& entry(const std::string& name11, uint8_t attr, uint32_t cluster, uint32_t size, uint16_t date = kToday) {
    uint8_t e[32] = {};
    std::memcpy(e, name11.data(), std::min<size_t>(11, name11.size()));
    e[11] = attr;
    putLe16(e + 14, 0x5000);
    putLe16(e + 16, date);
    putLe16(e + 18, date);
    putLe16(e + 20, uint16_t(cluster >> 16));
    putLe16(e + 22, 0x5000);
    putLe16(e + 24, date);
    putLe16(e + 26, uint16_t(cluster));
    putLe32(e + 28, size);
    bytes.insert(bytes.end(), e, e + 32);
    return *this;
  }
  // Long-name entries (ASCII or any UTF-16 units) followed by the short entry.
  DirBytes& named(const std::u16string& longName, const std::string& name11, uint8_t attr, uint32_t cluster,
                  uint32_t size, uint16_t date = kToday) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = uint8_t(((sum & 1) ? 0x80 : 0) + (sum >> 1) + uint8_t(name11[i]));
    const size_t parts = (longName.size() + 12) / 13;
    static const int pos[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (size_t p = parts; p >= 1; --p) {
      uint8_t e[32] = {};
      e[0] = uint8_t(p | (p == parts ? 0x40 : 0));
      e[11] = 0x0F;
      e[13] = sum;
      for (int i = 0; i < 13; ++i) {
        const size_t k = (p - 1) * 13 + size_t(i);
        putLe16(e + pos[i], k < longName.size() ? uint16_t(longName[k]) : (k == longName.size() ? 0 : 0xFFFF));
      }
      bytes.insert(bytes.end(), e, e + 32);
    }
    return entry(name11, attr, cluster, size, date);
  }
  DirBytes& dots(uint32_t self, uint32_t parent) {
    entry(".          ", 0x10, self, 0);
    return entry("..         ", 0x10, parent, 0);
  }
  // Marks the last short entry and its long-name entries deleted.
  DirBytes& deleteLast() {
    size_t i = bytes.size() / 32 - 1;
    bytes[i * 32] = 0xE5;
    while (i-- > 0 && bytes[i * 32 + 11] == 0x0F) bytes[i * 32] = 0xE5;
    return *this;
  }
  std::vector<uint8_t> bytes;
};

class FatImage {
 public:
  // FAT16: `rootEntries` entries in the fixed root region.
  static FatImage fat16(uint32_t totalSectors = 20480, uint32_t spc = 2, uint32_t rootEntries = 512) {
    FatImage f;
    f.fat32_ = false;
    f.spc_ = spc;
    f.reserved_ = 1;
    f.total_ = totalSectors;
    f.rootEntries_ = rootEntries;
    f.spf_ = (totalSectors / spc + 2) * 2 / 512 + 1;
    f.build();
    return f;
  }
  // FAT12: 12-bit table entries (fewer than 4085 clusters).
  static FatImage fat12(uint32_t totalSectors = 2880, uint32_t spc = 1, uint32_t rootEntries = 224) {
    FatImage f;
    f.fat32_ = false;
    f.fat12_ = true;
    f.spc_ = spc;
    f.reserved_ = 1;
    f.total_ = totalSectors;
    f.rootEntries_ = rootEntries;
    f.spf_ = (totalSectors / spc + 2) * 3 / 2 / 512 + 1;
    f.build();
    return f;
  }
  static FatImage fat32(uint32_t totalSectors = 8192, uint32_t spc = 1) {
    FatImage f;
    f.fat32_ = true;
    f.spc_ = spc;
    f.reserved_ = 32;
    f.total_ = totalSectors;
    f.spf_ = (totalSectors / spc + 2) * 4 / 512 + 1;
    f.build();
    return f;
  }

  uint8_t* boot() { return img.data(); }
  uint32_t clusterBytes() const { return 512 * spc_; }
  uint64_t rootOffset() const { return uint64_t(reserved_ + 2 * spf_) * 512; }
  uint64_t clusterOffset(uint32_t c) const {
    const uint64_t dataStart = rootOffset() + uint64_t(rootSectors()) * 512;
    return dataStart + uint64_t(c - 2) * clusterBytes();
  }
  uint8_t* cluster(uint32_t c) { return img.data() + clusterOffset(c); }
  void setFat(uint32_t c, uint32_t v) {
    uint8_t* t = img.data() + reserved_ * 512;
    if (fat12_) {
      uint8_t* p = t + c + c / 2;
      const uint16_t old = le16(p);
      putLe16(p, (c & 1) ? uint16_t((old & 0x000F) | ((v & 0xFFF) << 4)) : uint16_t((old & 0xF000) | (v & 0xFFF)));
      return;
    }
    if (fat32_) putLe32(img.data() + reserved_ * 512 + 4 * c, v);
    else putLe16(img.data() + reserved_ * 512 + 2 * c, uint16_t(v));
  }
  uint32_t eoc() const { return fat32_ ? 0x0FFFFFFF : fat12_ ? 0xFFF : 0xFFFF; }
  // A chain over the listed clusters.
  void chain(const std::vector<uint32_t>& cs) {
    for (size_t i = 0; i < cs.size(); ++i) setFat(cs[i], i + 1 == cs.size() ? eoc() : cs[i + 1]);
  }
  // Writes bytes over consecutive clusters starting at c.
  void put(uint32_t c, const std::vector<uint8_t>& data) { std::memcpy(cluster(c), data.data(), data.size()); }
  void putRoot(const std::vector<uint8_t>& data) {
    if (fat32_) put(2, data);
    else std::memcpy(img.data() + rootOffset(), data.data(), data.size());
  }
  std::unique_ptr<FatVolume> open(FatVariant variant) const {
    auto v = std::make_unique<FatVolume>();
    v->openSource(makeMemorySource(img), 0, variant);
    return v;
  }

  std::vector<uint8_t> img;

 private:
  uint32_t rootSectors() const { return (rootEntries_ * 32 + 511) / 512; }
  void build() {
    img.assign(size_t(total_) * 512, 0);
    uint8_t* b = img.data();
    b[0] = 0xEB;
    b[1] = fat32_ ? 0x58 : 0x3C;
    b[2] = 0x90;
    putLe16(b + 11, 512);
    b[13] = uint8_t(spc_);
    putLe16(b + 14, uint16_t(reserved_));
    b[16] = 2;
    putLe16(b + 17, uint16_t(rootEntries_));
    if (total_ < 65536) putLe16(b + 19, uint16_t(total_));
    else putLe32(b + 32, total_);
    b[21] = 0xF8;
    if (fat32_) {
      putLe32(b + 32, total_);
      putLe16(b + 19, 0);
      putLe32(b + 36, spf_);
      putLe32(b + 44, 2);
    } else {
      putLe16(b + 22, uint16_t(spf_));
    }
    b[510] = 0x55;
    b[511] = 0xAA;
    setFat(0, fat32_ ? 0x0FFFFFF8 : fat12_ ? 0xFF8 : 0xFFF8);
    setFat(1, eoc());
    if (fat32_) setFat(2, eoc());
  }
  bool fat32_ = false;
  bool fat12_ = false;
  uint32_t spc_ = 1, reserved_ = 1, total_ = 0, rootEntries_ = 0, spf_ = 0;
};

}  // namespace brenix::test
