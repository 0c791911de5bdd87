// The records are a file format: each field must sit at its fixed offset in
// the stored bytes, little-endian, with unwritten bytes zero.
#include <gtest/gtest.h>

#include <cstring>

#include "common/bytes.h"
#include "disk/records.h"

namespace brenix {
namespace {

TEST(RecordLayout, PartitionInfoFieldsLandAtTheirOffsets) {
  PartitionInfo p = makePartitionInfo();
  p.diskNumber = -1;
  p.driveLetter = 'E';
  p.slotKind = 2;
  p.slotSector = 0x11223344;
  p.extendedBase = 0x55667788;
  p.setFs("FAT32");
  p.setLabel("HOLIDAY");
  p.volumeStart = 2048;
  p.sectorsPerCluster = 64;
  p.bytesPerSector = 512;
  p.freeBytes = 0x0102030405060708ull;
  p.totalBytes = 0x1112131415161718ull;
  p.bootSector[0] = 0xEB;
  p.bootSector[511] = 0xAA;
  p.partitionType = 0x0C;

  uint8_t raw[600];
  std::memcpy(raw, &p, sizeof raw);
  EXPECT_EQ(le32(raw + 0), 0xFFFFFFFFu);
  EXPECT_EQ(raw[4], 'E');
  EXPECT_EQ(raw[5], 2);
  EXPECT_EQ(raw[6], 0);
  EXPECT_EQ(raw[7], 0);
  EXPECT_EQ(le32(raw + 8), 0x11223344u);
  EXPECT_EQ(le32(raw + 12), 0x55667788u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(raw + 16)), "FAT32");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(raw + 28)), "HOLIDAY");
  EXPECT_EQ(le32(raw + 52), 2048u);
  EXPECT_EQ(le32(raw + 56), 64u);
  EXPECT_EQ(le32(raw + 60), 512u);
  EXPECT_EQ(le64(raw + 64), 0x0102030405060708ull);
  EXPECT_EQ(le64(raw + 72), 0x1112131415161718ull);
  EXPECT_EQ(raw[80], 0xEB);
  EXPECT_EQ(raw[591], 0xAA);
  EXPECT_EQ(raw[592], 0x0C);
  for (int i = 593; i < 600; ++i) EXPECT_EQ(raw[i], 0) << i;
}

TEST(RecordLayout, PhysicalDiskFieldsLandAtTheirOffsets) {
  PhysicalDisk d = makePhysicalDisk();
  d.setModel("SanDisk Ultra");
  d.sizeBytes = 0x0000000EE7C00000ull;
  d.removable = 1;
  d.driveNumber = 3;
  d.busType = 7;
  uint8_t raw[288];
  std::memcpy(raw, &d, sizeof raw);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(raw)), "SanDisk Ultra");
  EXPECT_EQ(raw[263], 0);
  EXPECT_EQ(le64(raw + 264), 0x0000000EE7C00000ull);
  EXPECT_EQ(le32(raw + 272), 1u);
  EXPECT_EQ(le32(raw + 276), 3u);
  EXPECT_EQ(le32(raw + 280), 7u);
  EXPECT_EQ(le32(raw + 284), 0u);
}

TEST(RecordLayout, OverlongTextsAreTruncatedInsideTheirFields) {
  PartitionInfo p = makePartitionInfo();
  p.setFs("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
  p.setLabel(std::string(100, 'x'));
  EXPECT_EQ(p.fs(), "ABCDEFGHIJK");  // 11 characters and the terminator
  EXPECT_EQ(p.label().size(), 23u);
  EXPECT_EQ(p.volumeStart, 0u);  // the field after the label is untouched
  PhysicalDisk d = makePhysicalDisk();
  d.setModel(std::string(400, 'm'));
  EXPECT_EQ(d.model().size(), 263u);
  EXPECT_EQ(d.sizeBytes, 0u);
}

}  // namespace
}  // namespace brenix
