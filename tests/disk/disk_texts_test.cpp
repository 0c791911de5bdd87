#include <gtest/gtest.h>

#include "disk/disk_texts.h"
#include "disk/fs_kind.h"

namespace brenix {
namespace {

TEST(SizeText, StepsUpAtEach1024) {
  EXPECT_EQ(formatSize(1023), "1023 Byte");
  EXPECT_EQ(formatSize(1024), "1.00 KB");
  EXPECT_EQ(formatSize(1536), "1.50 KB");
  EXPECT_EQ(formatSize(1024 * 1024 - 1), "1024.00 KB");  // 1023.999 rounds in print, stays KB
  EXPECT_EQ(formatSize(1024 * 1024), "1.00 MB");
  EXPECT_EQ(formatSize(1024ull * 1024 * 1024), "1.00 GB");
  EXPECT_EQ(formatSize(5ull * 1024 * 1024 * 1024 * 1024), "5120.00 GB");  // no unit above GB
}

TEST(DiskListItem, FormatsKeepTheirExactSpacing) {
  PhysicalDisk d = makePhysicalDisk();
  d.setModel("Kingston DataTraveler");
  d.busType = 7;
  d.sizeBytes = 512;
  EXPECT_EQ(diskListItemText(d), "Kingston DataTraveler (  BusType :  USB ,    Size :  512 B  )");
  d.sizeBytes = 2048;
  EXPECT_EQ(diskListItemText(d), "Kingston DataTraveler(  BusType :   USB ,    Size :  2.00 KB  )");
  d.sizeBytes = 3ull << 20;
  EXPECT_EQ(diskListItemText(d), "Kingston DataTraveler (  BusType :  USB ,    Size :  3.00 MB  )");
  d.sizeBytes = 16ull << 30;
  d.busType = 17;  // NVMe has no name in the table
  EXPECT_EQ(diskListItemText(d), "Kingston DataTraveler (  BusType :   ,    Size :  16.00 GB  )");
}

TEST(DriveTree, LabelsAndModeFilter) {
  PhysicalDisk d = makePhysicalDisk();
  d.setModel("demo.img");
  d.sizeBytes = 1000;
  EXPECT_EQ(driveTreeDiskLabel(d), "demo.img (1000 Byte)");
  PartitionInfo p = makePartitionInfo();
  p.driveLetter = '*';
  p.setFs("NTFS");
  p.totalBytes = 3ull << 30;
  EXPECT_EQ(driveTreePartitionLabel(p, ""), "(*:\\) NTFS (3.00 GB)");
  EXPECT_EQ(driveTreePartitionLabel(p, "/media/usb"), "(/media/usb) NTFS (3.00 GB)");

  EXPECT_TRUE(listedInMode("EXT3", DriveMode::Deleted));
  EXPECT_FALSE(listedInMode("EXT3", DriveMode::Formatted));
  EXPECT_TRUE(listedInMode("FAT16", DriveMode::Formatted));
  EXPECT_FALSE(listedInMode("#NTFS#", DriveMode::Deleted));
  EXPECT_TRUE(listedInMode("EXT4", DriveMode::Deleted));
  EXPECT_FALSE(listedInMode("EXT4", DriveMode::Formatted));
  EXPECT_TRUE(listedInMode("Deleted", DriveMode::Raw));
}

TEST(PropertiesPanel, DiskAndPartitionLines) {
  PhysicalDisk d = makePhysicalDisk();
  d.setModel("Disk");
  d.sizeBytes = 1ull << 30;
  auto lines = diskPropertiesTexts(d, 0);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "Drive Size : 1.00 GB");
  EXPECT_EQ(lines[2], "This device is not accessible");
  EXPECT_EQ(diskPropertiesTexts(d, 2)[2], "Count of partitions : 2");

  PartitionInfo p = makePartitionInfo();
  p.setLabel("CARD");
  p.volumeStart = 8192;
  p.sectorsPerCluster = 64;
  p.bytesPerSector = 512;
  p.freeBytes = 1024;
  p.totalBytes = 2048;
  auto pl = partitionPropertiesTexts(p);
  EXPECT_EQ(pl, (std::vector<std::string>{"Volume : CARD", "Start Sector : 8192", "Sectors / Cluster : 64",
                                          "Byte/Sector : 512", "Free Size : 1.00 KB", "Total Size : 2.00 KB"}));
  auto item = partitionListItemTexts(p, "");
  EXPECT_EQ(item.start, "Start Sector : 8192");
  EXPECT_EQ(item.end, "End Sector : 8195");
}

TEST(FsKindColours, ChartAndMapColours) {
  EXPECT_EQ(fskind::chartColour("NTFS"), 16727710u);
  EXPECT_EQ(fskind::mapColour("NTFS"), 16711935u);
  EXPECT_EQ(fskind::chartColour("FAT16"), 65280u);
  EXPECT_EQ(fskind::chartColour("FAT12"), 65535u);
  EXPECT_EQ(fskind::chartColour("EXT3"), 30840u);
  EXPECT_EQ(fskind::chartColour("Deleted"), 12500670u);
}

}  // namespace
}  // namespace brenix
