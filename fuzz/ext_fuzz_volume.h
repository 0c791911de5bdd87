#pragma once
// The superblock and first group descriptor the EXT fuzz targets build their
// template volumes on: 1 KiB blocks, one group, 128-byte inodes, block and
// inode bitmaps in blocks 3 and 4, the inode table from block 5.
#include <cstdint>
#include <vector>

#include "common/bytes.h"

inline std::vector<uint8_t> extFuzzVolume(uint32_t blockSize, uint32_t blocks, uint32_t inodes) {
  std::vector<uint8_t> v(size_t(blockSize) * blocks, 0);
  uint8_t* sb = v.data() + 1024;
  brenix::putLe32(sb + 0, inodes);
  brenix::putLe32(sb + 4, blocks);
  brenix::putLe32(sb + 20, 1);  // first data block
  brenix::putLe32(sb + 32, 8192);
  brenix::putLe32(sb + 40, inodes);
  brenix::putLe16(sb + 56, 0xEF53);
  brenix::putLe32(sb + 76, 1);  // dynamic revision
  brenix::putLe16(sb + 88, 128);
  uint8_t* gd = v.data() + 2 * blockSize;
  brenix::putLe32(gd + 0, 3);
  brenix::putLe32(gd + 4, 4);
  brenix::putLe32(gd + 8, 5);
  return v;
}
