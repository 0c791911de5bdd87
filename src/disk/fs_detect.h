#pragma once
// Recognising file systems from their first sectors: the boot sector of NTFS
// and FAT volumes, and the EXT superblock at byte 1024 of a volume.
#include <cstdint>
#include <string>

namespace brenix {

// "NTFS", "exFAT", "FAT32", "FAT" (FAT12/FAT16), or empty when the sector is none of them.
std::string detectBootSectorFs(const uint8_t* boot512);

// True when sector 0 of a disk carries a whole-disk volume signature:
// 0xEB with "FAT3" at byte 82, or "NTFS" or "EXFAT   " at byte 3, or "FAT1" at byte 54.
bool hasWholeDiskSignature(const uint8_t* sector0);

struct ExtSuperblockInfo {
  bool valid = false;        // magic 0xEF53
  std::string name;          // "EXT2", "EXT3" or "EXT4"
  std::string label;         // volume name, up to 16 bytes
  uint32_t blockSize = 0;
  uint32_t blocksPerGroup = 0;
  uint64_t freeBytes = 0;
};

// Reads the 1024-byte superblock image. A journal makes EXT3; the ext4
// incompatible features (extents, 64-bit, flexible groups) make EXT4.
ExtSuperblockInfo probeExtSuperblock(const uint8_t* superblock1024);

// The kind name of a mounted file system from the mount's type and (where the
// type alone cannot tell FAT16 from FAT32 or confirm NTFS) its boot sector.
std::string fileSystemNameForMount(const std::string& mountType, const uint8_t* boot512);

}  // namespace brenix
