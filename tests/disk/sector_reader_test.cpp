#include <gtest/gtest.h>

#include <fstream>

#include "disk/device_table.h"
#include "disk/sector_reader.h"
#include "support/temp_dir.h"

namespace brenix {
namespace {

TEST(SectorReader, ReadsPastFourGigabytes) {
  test::TempDir dir;
  const auto path = dir / "big.img";
  // A sparse 5 GiB image with a marker in sector 8388608 (byte offset 4 GiB) and beyond.
  {
    std::ofstream out(path, std::ios::binary);
    out.seekp(8388608ll * 512);
    out.write("MARK-4G", 7);
    out.seekp(5ll * 1024 * 1024 * 1024 - 512);
    out.write("LAST", 4);
    out.seekp(5ll * 1024 * 1024 * 1024 - 1);
    out.put('\0');
  }
  SectorReader r;
  ASSERT_TRUE(r.openPath(path.string(), OpenMode::Read));
  EXPECT_EQ(r.sizeBytes(), 5ull * 1024 * 1024 * 1024);
  char buf[512];
  ASSERT_TRUE(r.readAt(8388608, buf, sizeof buf));
  EXPECT_EQ(std::string(buf, 7), "MARK-4G");
  ASSERT_TRUE(r.readBytesAt(5ull * 1024 * 1024 * 1024 - 512, buf, sizeof buf));
  EXPECT_EQ(std::string(buf, 4), "LAST");
}

TEST(SectorReader, ShortReadIsAFailure) {
  test::TempDir dir;
  test::writeFile(dir / "small.img", std::vector<uint8_t>(1000, 0x5A));
  SectorReader r;
  ASSERT_TRUE(r.openPath((dir / "small.img").string(), OpenMode::Read));
  uint8_t buf[1024];
  EXPECT_TRUE(r.readAt(0, buf, 512));
  EXPECT_FALSE(r.readAt(1, buf, 512));  // 488 bytes left
  EXPECT_FALSE(r.readAt(0, buf, 1024));
  EXPECT_FALSE(r.readAt(100, buf, 512));  // past the end
}

TEST(SectorReader, ReadOnlyOpenCannotWriteAndWritesLandExactly) {
  test::TempDir dir;
  const auto path = dir / "disk.img";
  test::writeFile(path, std::vector<uint8_t>(4096, 0));
  uint8_t sector[512];
  std::fill(std::begin(sector), std::end(sector), 0xAB);
  {
    SectorReader ro;
    ASSERT_TRUE(ro.openPath(path.string(), OpenMode::Read));
    EXPECT_FALSE(ro.writeAt(2, sector, sizeof sector));
  }
  EXPECT_EQ(test::readFile(path), std::vector<uint8_t>(4096, 0));
  SectorReader rw;
  ASSERT_TRUE(rw.openPath(path.string(), OpenMode::ReadWrite));
  ASSERT_TRUE(rw.writeAt(2, sector, sizeof sector));
  auto bytes = test::readFile(path);
  EXPECT_EQ(bytes[1023], 0);
  EXPECT_EQ(bytes[1024], 0xAB);
  EXPECT_EQ(bytes[1535], 0xAB);
  EXPECT_EQ(bytes[1536], 0);
}

TEST(SectorReader, UnknownDriveNumbersFailQuietly) {
  DeviceTable::instance().setIncludeSystemDisks(false);
  DeviceTable::instance().clearImages();
  SectorReader r;
  EXPECT_FALSE(r.open(0, OpenMode::Read));
  EXPECT_FALSE(r.open(26, OpenMode::Read));
  EXPECT_FALSE(r.open(-1, OpenMode::Read));
  EXPECT_FALSE(r.isOpen());
  uint8_t buf[512];
  EXPECT_FALSE(r.readAt(0, buf, sizeof buf));
}

TEST(DeviceTable, ImagesTakeDriveNumbersAndMissingOnesAreRefused) {
  test::TempDir dir;
  test::writeFile(dir / "a.img", std::vector<uint8_t>(2048, 1));
  DeviceTable& table = DeviceTable::instance();
  table.setIncludeSystemDisks(false);
  table.clearImages();
  std::string error;
  EXPECT_EQ(table.attachImage((dir / "a.img").string(), &error), 0);
  EXPECT_EQ(table.attachImage((dir / "missing.img").string(), &error), -1);
  EXPECT_NE(error.find("missing.img"), std::string::npos);
  auto devices = table.devices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].modelText, "a.img");
  EXPECT_EQ(devices[0].sizeBytes, 2048u);
  EXPECT_EQ(devices[0].busType, 0u);
  SectorReader r;
  EXPECT_TRUE(r.open(0, OpenMode::Read));
  table.clearImages();
}

TEST(DeviceTable, ModelTextAndBusType) {
  EXPECT_EQ(modelTextOf("", "Samsung SSD 870"), "Samsung SSD 870");
  EXPECT_EQ(modelTextOf("ATA     ", "ST1000DM003"), "ATA      ST1000DM003");
  EXPECT_EQ(busTypeFromSysfsPath("/sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb"), 7u);
  EXPECT_EQ(busTypeFromSysfsPath("/sys/devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0/nvme0n1"), 17u);
  EXPECT_EQ(busTypeFromSysfsPath("/sys/devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda"), 11u);
  EXPECT_EQ(busTypeFromSysfsPath("/sys/devices/virtual/block/loop0"), 0u);
}

}  // namespace
}  // namespace brenix
