// Partition discovery over hand-built disks: the table shapes real tools do
// not make (loops, swapped EBR entries, duplicates, garbage).
#include <gtest/gtest.h>

#include "disk/partition_discovery.h"
#include "support/disk_image_builder.h"
#include "support/temp_dir.h"

namespace brenix {
namespace {

using test::DiskImageBuilder;

struct Discovered {
  bool ok = false;
  PartitionList list;
  DiscoveryState state;
};

Discovered discover(const DiskImageBuilder& disk) {
  test::TempDir dir;
  disk.save(dir / "disk.img");
  SectorReader reader;
  EXPECT_TRUE(reader.openPath((dir / "disk.img").string(), OpenMode::Read));
  Discovered d;
  d.ok = readPartitionTable(reader, reader.sizeBytes(), 4, d.list, d.state);
  return d;
}

std::vector<std::string> names(const PartitionList& list) {
  std::vector<std::string> out;
  for (const auto& p : list) out.push_back(p.fs());
  return out;
}

TEST(WholeDiskVolume, Fat32BootSectorGivesOneRecordAndNoRegions) {
  DiskImageBuilder disk(4096);
  disk.putFat32BootSector(0);
  Discovered d = discover(disk);
  ASSERT_TRUE(d.ok);
  ASSERT_EQ(d.list.size(), 1u);
  EXPECT_EQ(d.list[0].fs(), "FAT32");  // named as the system would name the mounted volume
  EXPECT_EQ(d.list[0].slotKind, 1);
  EXPECT_EQ(d.list[0].slotSector, 0u);
  EXPECT_EQ(d.list[0].volumeStart, 0u);
  EXPECT_EQ(d.list[0].totalBytes, 4096u * 512);
  EXPECT_EQ(d.list[0].partitionType, 0);
  EXPECT_EQ(d.list[0].diskNumber, 4);
}

TEST(WholeDiskVolume, SignatureRules) {
  DiskImageBuilder ntfs(4096);
  ntfs.putNtfsBootSector(0);
  ntfs.sector(0)[0] = 0;  // no jump byte: "NTFS" at 3 still marks a volume
  Discovered d = discover(ntfs);
  ASSERT_EQ(d.list.size(), 1u);
  EXPECT_EQ(d.list[0].fs(), "NTFS");

  DiskImageBuilder notFat(4096);
  notFat.putFat32BootSector(0);
  notFat.sector(0)[0] = 0xE9;  // "FAT3" at 82 without 0xEB: read as a table (all empty)
  d = discover(notFat);
  ASSERT_EQ(d.list.size(), 1u);
  EXPECT_EQ(d.list[0].fs(), "Deleted");

  DiskImageBuilder ext(4096);
  ext.putExtSuperblock(0, 8, "photos");
  d = discover(ext);
  ASSERT_EQ(d.list.size(), 1u);
  EXPECT_EQ(d.list[0].fs(), "EXT3");
  EXPECT_EQ(d.list[0].label(), "photos");
  EXPECT_EQ(d.list[0].bytesPerSector, 1024u);
  EXPECT_EQ(d.list[0].sectorsPerCluster, 8192u);
}

TEST(MasterRecord, TypesNameTheirFileSystems) {
  DiskImageBuilder disk(20000);
  disk.setEntry(0, 0, 0x06, 100, 1000);   // unformatted FAT16 entry: type-byte guess
  disk.setEntry(0, 1, 0x83, 2000, 1000);  // ext2
  disk.setEntry(0, 2, 0x83, 4000, 1000);  // ext3
  disk.setEntry(0, 3, 0x07, 6000, 1000);  // NTFS entry holding a FAT32 file system: detected
  disk.putExtSuperblock(2000, 0);
  disk.putExtSuperblock(4000, 8);
  disk.putFat32BootSector(6000);
  Discovered d = discover(disk);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(names(d.list), (std::vector<std::string>{"Deleted", "#FAT16#", "Deleted", "EXT2", "Deleted", "EXT3",
                                                     "Deleted", "FAT32", "Deleted"}));
  EXPECT_EQ(d.list[1].partitionType, 0x06);
  EXPECT_EQ(d.state.lastExtendedRecord, -1);
}

TEST(MasterRecord, ExtVariants) {
  DiskImageBuilder disk(20000);
  disk.setEntry(0, 0, 0x83, 63, 1000);
  disk.setEntry(0, 1, 0x83, 2000, 1000);
  disk.setEntry(0, 2, 0x83, 4000, 1000);
  disk.putExtSuperblock(2000, 8, "", 0x40 | 0x200);  // extents + flexible groups
  disk.putExtSuperblock(4000, 0, "0123456789abcdefXYZ");
  Discovered d = discover(disk);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.list[0].fs(), "EXTX");  // no magic
  EXPECT_EQ(d.list[0].slotSector, 63u);  // a partition at 63 leaves no region before it
  EXPECT_EQ(d.list[2].fs(), "EXT4");
  EXPECT_EQ(d.list[4].fs(), "EXT2");
  EXPECT_EQ(d.list[4].label(), "0123456789abcdef");  // at most 16 bytes
}

TEST(MasterRecord, RegionBeforeAfterAndBetween) {
  DiskImageBuilder disk(10000);
  disk.setEntry(0, 0, 0x07, 2048, 2000);
  disk.setEntry(0, 1, 0x07, 6000, 1000);
  Discovered d = discover(disk);
  ASSERT_EQ(d.list.size(), 5u);
  EXPECT_EQ(d.list[0].fs(), "Deleted");
  EXPECT_EQ(d.list[0].volumeStart, 63u);
  EXPECT_EQ(d.list[0].totalBytes, (2048u - 63) * 512);
  EXPECT_EQ(d.list[2].fs(), "Deleted");
  EXPECT_EQ(d.list[2].slotSector, 4048u);
  EXPECT_EQ(d.list[2].totalBytes, (6000u - 4048) * 512);
  EXPECT_EQ(d.list[4].slotSector, 7000u);
  EXPECT_EQ(d.list[4].totalBytes, (10000u - 7000) * 512);
  EXPECT_EQ(d.list[4].slotKind, 1);
}

TEST(MasterRecord, DuplicateStartKeepsTheFirst) {
  DiskImageBuilder disk(10000);
  disk.setEntry(0, 0, 0x06, 2048, 100);
  disk.setEntry(0, 1, 0x0B, 2048, 200);
  Discovered d = discover(disk);
  int at2048 = 0;
  for (const auto& p : d.list) at2048 += p.slotSector == 2048 ? 1 : 0;
  EXPECT_EQ(at2048, 1);
  EXPECT_EQ(d.list[1].partitionType, 0x06);
}

TEST(MasterRecord, BothExtendedTypesOpenTheChain) {
  for (uint8_t type : {uint8_t(0x05), uint8_t(0x0F)}) {
    DiskImageBuilder disk(10000);
    disk.setEntry(0, 0, type, 1000, 5000);
    disk.setEntry(1000, 0, 0x06, 63, 100);
    Discovered d = discover(disk);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(names(d.list), (std::vector<std::string>{"Deleted", "#FAT16#", "Deleted"}));
    EXPECT_EQ(d.list[1].slotKind, 2);
    EXPECT_EQ(d.state.lastExtendedRecord, 1000);
  }
}

TEST(ExtendedChain, OnlyLinkEntriesAreFollowedInsideTheChain) {
  DiskImageBuilder disk(10000);
  disk.setEntry(0, 0, 0x0F, 1000, 5000);
  disk.setEntry(1000, 0, 0x0F, 63, 100);  // 0x0F inside the chain: a logical "Unknown", not a link
  disk.setEntry(1000, 1, 0x06, 2000, 100);  // entry 1 not a link: the walk ends
  Discovered d = discover(disk);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.list[1].fs(), "Unknown");
  EXPECT_EQ(d.state.lastExtendedRecord, 1000);
}

TEST(ExtendedChain, LogicalsRegionsAndSwappedEntries) {
  DiskImageBuilder disk(20000);
  disk.setEntry(0, 0, 0x07, 2048, 2000);
  disk.setEntry(0, 1, 0x0F, 5000, 12000);
  // First EBR: logical at 5000+63, link to 9000.
  disk.setEntry(5000, 0, 0x06, 63, 1000);
  disk.setEntry(5000, 1, 0x05, 4000, 3000);
  // Second EBR with the entries swapped: link first, then the logical.
  disk.setEntry(9000, 0, 0x05, 7000, 100);  // link to an empty record at 12000
  disk.setEntry(9000, 1, 0x0B, 63, 2000);
  disk.setEntry(12000, 0, 0x00, 0, 0);      // count 0: no record, and the walk ends
  disk.putFat32BootSector(9063);
  Discovered d = discover(disk);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.state.lastExtendedRecord, 12000);
  ASSERT_EQ(d.list.size(), 7u);
  // Primary NTFS entry without a boot sector keeps the type-byte guess.
  EXPECT_EQ(d.list[1].fs(), "#NTFS#");
  // The gap between the primary and the extended partition (4048..4999) is outside it.
  EXPECT_EQ(d.list[2].slotKind, 1);
  EXPECT_EQ(d.list[2].volumeStart, 4048u);
  // First logical: slot is the EBR sector, volume 63 sectors further.
  EXPECT_EQ(d.list[3].slotKind, 2);
  EXPECT_EQ(d.list[3].slotSector, 5000u);
  EXPECT_EQ(d.list[3].volumeStart, 5063u);
  EXPECT_EQ(d.list[3].extendedBase, 5000u);
  // Free stretch inside the extended partition: a logical region, volume start + 63.
  EXPECT_EQ(d.list[4].fs(), "Deleted");
  EXPECT_EQ(d.list[4].slotKind, 2);
  EXPECT_EQ(d.list[4].slotSector, 6063u);
  EXPECT_EQ(d.list[4].volumeStart, 6063u + 63);
  EXPECT_EQ(d.list[4].totalBytes, (9000u - 6126) * 512);
  EXPECT_EQ(d.list[5].slotSector, 9000u);
  EXPECT_EQ(d.list[5].volumeStart, 9063u);
  EXPECT_EQ(d.list[6].slotKind, 2);  // after the last logical, still inside the extended partition
  EXPECT_EQ(d.list[6].slotSector, 11063u);
  EXPECT_EQ(d.list[6].volumeStart, 11126u);
  EXPECT_EQ(d.list[6].totalBytes, (20000u - 11126) * 512);
}

TEST(ExtendedChain, LoopingChainEnds) {
  DiskImageBuilder disk(10000);
  disk.setEntry(0, 0, 0x0F, 1000, 8000);
  disk.setEntry(1000, 0, 0x06, 63, 100);
  disk.setEntry(1000, 1, 0x05, 2000, 100);
  disk.setEntry(3000, 0, 0x06, 63, 100);
  disk.setEntry(3000, 1, 0x05, 0, 100);  // back to the first record
  Discovered d = discover(disk);
  ASSERT_TRUE(d.ok);
  int logicals = 0;
  for (const auto& p : d.list) logicals += (p.slotKind == 2 && p.fs() != "Deleted") ? 1 : 0;
  EXPECT_EQ(logicals, 2);
}

TEST(ExtendedChain, LinkPastTheDiskKeepsWhatWasRead) {
  DiskImageBuilder disk(10000);
  disk.setEntry(0, 0, 0x0F, 1000, 8000);
  disk.setEntry(1000, 0, 0x06, 63, 100);
  disk.setEntry(1000, 1, 0x05, 500000, 100);
  Discovered d = discover(disk);
  // The chain ends at the bad link; what was read and the free space are listed.
  ASSERT_TRUE(d.ok);
  ASSERT_EQ(names(d.list), (std::vector<std::string>{"Deleted", "#FAT16#", "Deleted"}));
  EXPECT_EQ(d.list[1].slotSector, 1000u);
  EXPECT_EQ(d.list[0].slotKind, 1);  // 63..999, before the extended partition
  EXPECT_EQ(d.list[2].slotKind, 2);  // after the logical, inside it
  EXPECT_EQ(d.state.lastExtendedRecord, 1000);
  ASSERT_EQ(d.state.problems.size(), 1u);
  EXPECT_NE(d.state.problems[0].find("past the disk's end"), std::string::npos);
}

TEST(MasterRecord, EntryPastTheDiskIsDamagedAndTheRestIsListed) {
  DiskImageBuilder disk(10000);
  disk.setEntry(0, 0, 0x07, 2048, 2000);
  disk.setEntry(0, 1, 0x0C, 900000, 5000);  // starts past the end
  disk.setEntry(0, 2, 0x06, 6000, 9000);    // runs past the end
  Discovered d = discover(disk);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.state.tableKind, TableKind::Mbr);
  ASSERT_EQ(names(d.list), (std::vector<std::string>{"Deleted", "#NTFS#", "Deleted", "#FAT16#", "Unknown"}));
  EXPECT_EQ(d.list[4].label(), "Damaged entry");
  EXPECT_EQ(d.list[4].volumeStart, 900000u);
  EXPECT_EQ(d.list[3].label(), "Damaged entry");  // read and named, but its end is past the disk's
  EXPECT_EQ(d.list[1].label(), "Unknown");
  EXPECT_EQ(d.list[2].slotSector, 4048u);
  EXPECT_EQ(d.list[2].totalBytes, (6000u - 4048) * 512);
  EXPECT_EQ(d.state.problems.size(), 2u);
}

TEST(MasterRecord, FreeExtendedPartitionAndOverlapsAndStaleSuperblock) {
  // An extended partition with no logical partition: its space is a logical
  // region from its start; the stretch before it stays primary.
  DiskImageBuilder disk(20000);
  disk.setEntry(0, 0, 0x07, 2048, 2000);
  disk.setEntry(0, 1, 0x05, 8000, 6000);
  disk.setEntry(0, 2, 0x06, 14000, 1000);
  disk.setEntry(0, 3, 0x06, 14500, 100);  // inside the previous entry
  disk.putExtSuperblock(0, 8, "stale");   // left over at sector 2: the table wins
  Discovered d = discover(disk);
  ASSERT_TRUE(d.ok);
  ASSERT_EQ(names(d.list),
            (std::vector<std::string>{"Deleted", "#NTFS#", "Deleted", "Deleted", "#FAT16#", "#FAT16#", "Deleted"}));
  EXPECT_EQ(d.list[2].slotKind, 1);
  EXPECT_EQ(d.list[2].slotSector, 4048u);
  EXPECT_EQ(d.list[2].totalBytes, (8000u - 4048) * 512);
  EXPECT_EQ(d.list[3].slotKind, 2);
  EXPECT_EQ(d.list[3].slotSector, 8000u);
  EXPECT_EQ(d.list[3].volumeStart, 8063u);
  EXPECT_EQ(d.list[3].extendedBase, 8000u);
  EXPECT_EQ(d.list[3].totalBytes, (14000u - 8063) * 512);
  // No region inside 14000..14999; the last one starts at 15000, outside the
  // extended partition.
  EXPECT_EQ(d.list[6].slotSector, 15000u);
  EXPECT_EQ(d.list[6].slotKind, 1);

  // A region starting exactly at the extended partition's end is outside it.
  DiskImageBuilder edge(20000);
  edge.setEntry(0, 0, 0x05, 2048, 4000);
  edge.setEntry(2048, 0, 0x06, 63, 3937);  // fills the extended partition
  Discovered e = discover(edge);
  ASSERT_TRUE(e.ok);
  EXPECT_EQ(e.list.back().fs(), "Deleted");
  EXPECT_EQ(e.list.back().slotSector, 6048u);
  EXPECT_EQ(e.list.back().slotKind, 1);
  EXPECT_EQ(e.list.back().volumeStart, 6048u);
}

TEST(BadInput, GarbageAndTruncatedDisks) {
  DiskImageBuilder garbage(64);
  for (int i = 0; i < 512; ++i) garbage.sector(0)[i] = static_cast<uint8_t>(i * 37 + 11);
  Discovered d = discover(garbage);  // entries point far past the disk: listed as damaged, never read
  for (const auto& p : d.list) {
    if (p.fs() != "Deleted" && p.volumeStart >= 64) { EXPECT_EQ(p.label(), "Damaged entry"); }
  }

  DiskImageBuilder empty(4096);
  d = discover(empty);  // an all-zero table: one region for the lost-partition search
  ASSERT_TRUE(d.ok);
  ASSERT_EQ(d.list.size(), 1u);
  EXPECT_EQ(d.list[0].volumeStart, 63u);
  EXPECT_EQ(d.list[0].totalBytes, (4096u - 63) * 512);

  test::TempDir dir;
  test::writeFile(dir / "tiny.img", std::vector<uint8_t>(100, 0));
  SectorReader reader;
  ASSERT_TRUE(reader.openPath((dir / "tiny.img").string(), OpenMode::Read));
  PartitionList list;
  DiscoveryState state;
  EXPECT_FALSE(readPartitionTable(reader, reader.sizeBytes(), 0, list, state));
  EXPECT_TRUE(list.empty());
}

TEST(Merge, MountedVolumeAbsorbsTheTableEntryWithin62Sectors) {
  auto volume = [](int disk, uint32_t start) {
    PartitionInfo v = makePartitionInfo();
    v.diskNumber = disk;
    v.driveLetter = '*';
    v.volumeStart = start;
    v.setFs("NTFS");
    return v;
  };
  std::vector<PartitionInfo> volumes = {volume(0, 2048), volume(0, 10000), volume(-1, 2048)};
  PartitionList combined;
  PartitionInfo a = volume(0, 2048 + 62);
  a.slotKind = 1;
  a.slotSector = 2110;
  a.partitionType = 7;
  a.bootSector[3] = 'N';
  a.setFs("#NTFS#");
  PartitionInfo b = volume(0, 10063);  // 63 sectors away: a record of its own
  b.slotSector = 10063;
  combined = {a, b};
  mergeIntoVolumes(volumes, 3, combined);
  ASSERT_EQ(volumes.size(), 4u);
  EXPECT_EQ(volumes[0].slotSector, 2110u);
  EXPECT_EQ(volumes[0].partitionType, 7);
  EXPECT_EQ(volumes[0].bootSector[3], 'N');
  EXPECT_EQ(volumes[0].fs(), "NTFS");  // keeps its own names
  EXPECT_EQ(volumes[0].volumeStart, 2048u);
  EXPECT_EQ(volumes[2].slotSector, 0u);  // an unidentified disk is never paired
  EXPECT_EQ(volumes[3].volumeStart, 10063u);
}

TEST(InsertSorted, OrdersBySlotAndDropsDuplicates) {
  PartitionList list;
  auto rec = [](uint32_t slot) {
    PartitionInfo p = makePartitionInfo();
    p.slotSector = slot;
    return p;
  };
  EXPECT_TRUE(insertSorted(list, rec(500)));
  EXPECT_TRUE(insertSorted(list, rec(100)));
  EXPECT_TRUE(insertSorted(list, rec(0xFFFFFFF0u)));  // unsigned comparison
  EXPECT_FALSE(insertSorted(list, rec(100)));
  EXPECT_TRUE(insertSorted(list, rec(300)));
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].slotSector, 100u);
  EXPECT_EQ(list[1].slotSector, 300u);
  EXPECT_EQ(list[3].slotSector, 0xFFFFFFF0u);
}

}  // namespace
}  // namespace brenix
