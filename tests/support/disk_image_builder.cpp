#include "support/disk_image_builder.h"

#include <cstring>
#include <fstream>

#include "common/bytes.h"

namespace brenix::test {

void DiskImageBuilder::setEntry(uint64_t recordSector, int index, uint8_t type, uint32_t start, uint32_t count) {
  uint8_t* s = sector(recordSector);
  putMbrEntry(s, index, MbrEntry{0, type, start, count});
  s[510] = 0x55;
  s[511] = 0xAA;
}

void DiskImageBuilder::putFat32BootSector(uint64_t sec) {
  uint8_t* b = sector(sec);
  b[0] = 0xEB; b[1] = 0x58; b[2] = 0x90;
  std::memcpy(b + 3, "MSWIN4.1", 8);
  putLe16(b + 11, 512);
  b[13] = 8;
  putLe16(b + 14, 32);
  b[16] = 2;
  b[21] = 0xF8;
  putLe32(b + 36, 100);
  putLe32(b + 44, 2);
  std::memcpy(b + 82, "FAT32   ", 8);
  b[510] = 0x55; b[511] = 0xAA;
}

void DiskImageBuilder::putFat16BootSector(uint64_t sec) {
  uint8_t* b = sector(sec);
  b[0] = 0xEB; b[1] = 0x3C; b[2] = 0x90;
  std::memcpy(b + 3, "MSWIN4.1", 8);
  putLe16(b + 11, 512);
  b[13] = 4;
  putLe16(b + 14, 1);
  b[16] = 2;
  putLe16(b + 17, 512);
  b[21] = 0xF8;
  putLe16(b + 22, 64);
  std::memcpy(b + 54, "FAT16   ", 8);
  b[510] = 0x55; b[511] = 0xAA;
}

void DiskImageBuilder::putNtfsBootSector(uint64_t sec) {
  uint8_t* b = sector(sec);
  b[0] = 0xEB; b[1] = 0x52; b[2] = 0x90;
  std::memcpy(b + 3, "NTFS    ", 8);
  putLe16(b + 11, 512);
  b[13] = 8;
  b[510] = 0x55; b[511] = 0xAA;
}

void DiskImageBuilder::putExtSuperblock(uint64_t sec, uint32_t journalInode, const char* label, uint32_t incompat) {
  uint8_t* sb = sector(sec + 2);
  putLe32(sb + 12, 1000);   // free blocks
  putLe32(sb + 24, 0);      // 1024-byte blocks
  putLe32(sb + 32, 8192);   // blocks per group
  putLe16(sb + 56, 0xEF53);
  putLe32(sb + 96, incompat);
  std::strncpy(reinterpret_cast<char*>(sb + 120), label, 16);
  putLe32(sb + 224, journalInode);
}

void DiskImageBuilder::save(const std::filesystem::path& p) const {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes_.data()), static_cast<std::streamsize>(bytes_.size()));
}

}  // namespace brenix::test
