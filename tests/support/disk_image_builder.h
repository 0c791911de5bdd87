#pragma once
// Hand-built disk images for unit tests: a byte buffer with helpers to write
// MBR/EBR entries and boot sectors at chosen sectors, for the cases the real
// partitioning tools refuse to make (loops, overlaps, links past the end).
#include <cstdint>
#include <filesystem>
#include <vector>

#include "disk/mbr.h"

namespace brenix::test {

class DiskImageBuilder {
 public:
  explicit DiskImageBuilder(uint64_t sectors) : bytes_(sectors * 512, 0) {}

  uint8_t* sector(uint64_t s) { return bytes_.data() + s * 512; }
  // Writes entry `index` of the boot record at `recordSector` and its 0x55AA.
  void setEntry(uint64_t recordSector, int index, uint8_t type, uint32_t start, uint32_t count);
  // A FAT32-looking or NTFS-looking boot sector at `s`.
  void putFat32BootSector(uint64_t s);
  void putFat16BootSector(uint64_t s);
  void putNtfsBootSector(uint64_t s);
  // An EXT superblock for the volume starting at `s` (1024 bytes at byte 1024).
  // incompat: the feature_incompat word (0x40 extents etc.).
  void putExtSuperblock(uint64_t s, uint32_t journalInode, const char* label = "", uint32_t incompat = 0);

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  void save(const std::filesystem::path& p) const;

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace brenix::test
