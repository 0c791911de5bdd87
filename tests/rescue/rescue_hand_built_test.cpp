// The lost-partition search and the table write-back on hand-built disks:
// CHS bytes, the primary and logical writes, every refusal, the undo file.
#include <gtest/gtest.h>

#include <cstring>

#include "common/bytes.h"
#include "disk/mbr.h"
#include "disk/partition_discovery.h"
#include "rescue/backup_file.h"
#include "rescue/disk_map.h"
#include "rescue/lost_search.h"
#include "rescue/partition_recovery.h"
#include "rescue/partition_table_writer.h"
#include "rescue/rescue_test_support.h"
#include "support/disk_image_builder.h"
#include "support/temp_dir.h"

namespace brenix::rescue {
namespace {

namespace fs = std::filesystem;
using test::DiskImageBuilder;

struct Entry {
  uint8_t type;
  uint32_t start, count;
  std::array<uint8_t, 3> chsFirst, chsLast;
};

Entry entryOf(const std::vector<uint8_t>& image, uint64_t sector, int index) {
  const uint8_t* e = image.data() + sector * 512 + 446 + 16 * index;
  return Entry{e[4], le32(e + 8), le32(e + 12), {e[1], e[2], e[3]}, {e[5], e[6], e[7]}};
}

const PartitionInfo* findStart(const std::vector<PartitionInfo>& list, uint32_t start) {
  for (const PartitionInfo& p : list)
    if (p.volumeStart == start) return &p;
  return nullptr;
}

TEST(SectorToChsTest, GeometryOf255HeadsAnd63Sectors) {
  using Chs = std::array<uint8_t, 3>;
  EXPECT_EQ(sectorToChs(0), (Chs{0, 1, 0}));
  EXPECT_EQ(sectorToChs(63), (Chs{1, 1, 0}));
  EXPECT_EQ(sectorToChs(16065), (Chs{0, 1, 1}));
  // Cylinder 256 + head 2 + sector 6: cylinder bit 8 goes to bit 6 of the sector byte.
  EXPECT_EQ(sectorToChs(16065ull * 256 + 63 * 2 + 5), (Chs{2, 6 | 0x40, 0}));
  EXPECT_EQ(sectorToChs(16450559), (Chs{254, 255, 255}));
  EXPECT_EQ(sectorToChs(16450560), (Chs{254, 255, 255}));
  EXPECT_EQ(sectorToChs(0xFFFFFFFFull), (Chs{254, 255, 255}));
}

TEST(BootSignatureTest, ThreeSignaturesEachWithJumpAndEndMark) {
  DiskImageBuilder b(4);
  b.putFat32BootSector(0);
  b.putNtfsBootSector(1);
  b.putFat16BootSector(2);
  auto fat32 = matchBootSignature(b.sector(0), 1);
  ASSERT_TRUE(fat32);
  EXPECT_EQ(fat32->fsName, "FAT32");
  EXPECT_EQ(fat32->partitionType, 0x0C);
  EXPECT_EQ(matchBootSignature(b.sector(0), 2)->partitionType, 0x0B);
  EXPECT_EQ(matchBootSignature(b.sector(1), 2)->fsName, "NTFS");
  EXPECT_EQ(matchBootSignature(b.sector(1), 2)->partitionType, 0x07);
  EXPECT_EQ(matchBootSignature(b.sector(2), 1)->fsName, "FAT16");
  EXPECT_EQ(matchBootSignature(b.sector(2), 1)->partitionType, 0x06);
  b.sector(1)[511] = 0;  // no end mark
  EXPECT_FALSE(matchBootSignature(b.sector(1), 1));
  b.sector(2)[0] = 0xE9;  // another jump
  EXPECT_FALSE(matchBootSignature(b.sector(2), 1));
  EXPECT_FALSE(matchBootSignature(b.sector(3), 1));
}

// A disk with a live FAT32 at 63..1062, an NTFS volume whose entry is gone at
// 1063, an extended partition from 3000 to the end with one logical FAT16 at
// 3063 and a FAT32 volume lost behind it at 4126 (its record area at 4063).
class HandBuiltRescueTest : public ::testing::Test {
 protected:
  static constexpr uint64_t kSectors = 8192;

  void SetUp() override { image_ = dir_ / "hand.img"; }
  void TearDown() override { DeviceTable::instance().clearImages(); }

  DiskImageBuilder standardDisk() {
    DiskImageBuilder b(kSectors);
    b.setEntry(0, 0, 0x0C, 63, 1000);
    b.putFat32BootSector(63);
    b.putNtfsBootSector(1063);
    b.setEntry(0, 1, 0x0F, 3000, 5192);
    b.setEntry(3000, 0, 0x06, 63, 1000);
    b.putFat16BootSector(3063);
    b.putFat32BootSector(4126);
    return b;
  }

  const PhysicalDisk* load(const DiskImageBuilder& b) {
    b.save(image_);
    return test::attachOnly(image_, catalog_);
  }

  RecoveryOutcome recover(const PhysicalDisk* disk, PartitionInfo* w) {
    asked_ = 0;
    return recoverPartition(catalog_, disk, w, dir_ / "undo", [this](const RecoveryPlan&) {
      ++asked_;
      return true;
    });
  }

  size_t undoFiles() const {
    size_t n = 0;
    std::error_code ec;
    for (fs::directory_iterator it(dir_ / "undo", ec), end; !ec && it != end; it.increment(ec)) ++n;
    return n;
  }

  test::TempDir dir_;
  fs::path image_;
  DiskCatalog catalog_;
  int asked_ = 0;
};

TEST_F(HandBuiltRescueTest, SearchNamesTheRegionsThatHoldBootSectors) {
  const PhysicalDisk* disk = load(standardDisk());
  ASSERT_NE(disk, nullptr);
  std::vector<PartitionInfo> found;
  ASSERT_TRUE(searchLostPartitions(catalog_, disk, found));
  ASSERT_EQ(found.size(), 4u);  // FAT32, region 1063, logical FAT16, region 4063
  const PartitionInfo* ntfs = findStart(found, 1063);
  ASSERT_NE(ntfs, nullptr);
  EXPECT_EQ(ntfs->fs(), "NTFS");
  EXPECT_EQ(ntfs->partitionType, 0x07);
  EXPECT_EQ(ntfs->slotKind, 1);
  EXPECT_EQ(ntfs->totalBytes, (3000u - 1063u) * 512ull);  // the whole region
  const PartitionInfo* logical = findStart(found, 4126);
  ASSERT_NE(logical, nullptr);
  EXPECT_EQ(logical->fs(), "FAT32");
  EXPECT_EQ(logical->partitionType, 0x0B);
  EXPECT_EQ(logical->slotSector, 4063u);
  EXPECT_EQ(std::memcmp(logical->bootSector, standardDisk().sector(4126), 512), 0);
  // Records that are not regions are copied untouched.
  EXPECT_EQ(findStart(found, 63)->fs(), catalog_.volume(0).fs());

  std::vector<PartitionInfo> none;
  EXPECT_TRUE(searchLostPartitions(catalog_, nullptr, none));
  EXPECT_TRUE(none.empty());
}

TEST_F(HandBuiltRescueTest, PrimaryWriteFillsTheFreeEntryAndUndoRestoresTheImage) {
  const PhysicalDisk* disk = load(standardDisk());
  ASSERT_NE(disk, nullptr);
  const std::string before = test::sha256Of(image_);
  std::vector<PartitionInfo> found;
  ASSERT_TRUE(searchLostPartitions(catalog_, disk, found));
  PartitionInfo w = *findStart(found, 1063);

  RecoveryOutcome r = recover(disk, &w);
  ASSERT_EQ(r.code, RecoveryCode::Written) << r.detail;
  EXPECT_EQ(asked_, 1);
  EXPECT_EQ(r.reread, Reread::NotNeeded);  // an image needs nothing
  std::vector<uint8_t> after = test::readFile(image_);
  Entry e = entryOf(after, 0, 2);  // entries 0 and 1 are in use
  EXPECT_EQ(e.type, 0x07);
  EXPECT_EQ(e.start, 1063u);
  EXPECT_EQ(e.count, 1937u);
  EXPECT_EQ(e.chsFirst, sectorToChs(1063));
  EXPECT_EQ(e.chsLast, sectorToChs(1063 + 1937 - 1));
  EXPECT_EQ(after[446 + 32], 0);  // boot indicator
  EXPECT_EQ(entryOf(after, 0, 3).count, 0u);

  // Discovery now lists the partition.
  DiskCatalog again;
  ASSERT_NE(test::attachOnly(image_, again), nullptr);
  std::vector<PartitionInfo> now = recordsOfDisk(again, again.disk(0));
  ASSERT_NE(findStart(now, 1063), nullptr);
  EXPECT_EQ(findStart(now, 1063)->fs(), "NTFS");

  // The undo file holds the original sector 0 and puts it back byte for byte.
  ASSERT_TRUE(fs::exists(r.undoPath));
  UndoRecord undo;
  std::string error;
  ASSERT_TRUE(readUndoFile(r.undoPath, undo, &error)) << error;
  ASSERT_EQ(undo.changes.size(), 1u);  // the boot sector was already in place
  EXPECT_EQ(undo.changes[0].sector, 0u);
  PartitionTableWriter writer(image_.string(), again.disk(0));
  WriteOutcome u = writer.undo(undo);
  ASSERT_TRUE(u.ok) << u.error;
  EXPECT_EQ(test::sha256Of(image_), before);
  // Undoing twice finds the original bytes and changes nothing.
  EXPECT_TRUE(writer.undo(undo).ok);
  EXPECT_EQ(test::sha256Of(image_), before);
}

TEST_F(HandBuiltRescueTest, PartitionAtSector63GetsChs110) {
  DiskImageBuilder b(kSectors);
  b.setEntry(0, 0, 0x07, 4000, 1000);
  b.putNtfsBootSector(4000);
  b.putFat32BootSector(63);
  const PhysicalDisk* disk = load(b);
  ASSERT_NE(disk, nullptr);
  std::vector<PartitionInfo> found;
  ASSERT_TRUE(searchLostPartitions(catalog_, disk, found));
  PartitionInfo w = *findStart(found, 63);
  ASSERT_EQ(w.fs(), "FAT32");
  ASSERT_EQ(recover(disk, &w).code, RecoveryCode::Written);
  Entry e = entryOf(test::readFile(image_), 0, 1);
  EXPECT_EQ(e.type, 0x0C);
  EXPECT_EQ(e.chsFirst, (std::array<uint8_t, 3>{1, 1, 0}));
}

TEST_F(HandBuiltRescueTest, LogicalWriteAtTheFirstRecordKeepsItsLink) {
  // FAT32 63..1999; extended 2000..8191 whose first record holds only a link
  // (in entry 0) to a logical at 4000; a FAT16 volume lost at 2063.
  DiskImageBuilder b(kSectors);
  b.setEntry(0, 0, 0x0C, 63, 1937);
  b.putFat32BootSector(63);
  b.setEntry(0, 1, 0x05, 2000, 6192);
  b.setEntry(2000, 0, 0x05, 2000, 1500);
  b.setEntry(4000, 0, 0x07, 63, 1000);
  b.putNtfsBootSector(4063);
  b.putFat16BootSector(2063);
  const PhysicalDisk* disk = load(b);
  ASSERT_NE(disk, nullptr);
  std::vector<PartitionInfo> found;
  ASSERT_TRUE(searchLostPartitions(catalog_, disk, found));
  PartitionInfo w = *findStart(found, 2063);
  ASSERT_EQ(w.fs(), "FAT16");
  ASSERT_EQ(w.slotSector, 2000u);
  RecoveryOutcome r = recover(disk, &w);
  ASSERT_EQ(r.code, RecoveryCode::Written) << r.detail;

  std::vector<uint8_t> after = test::readFile(image_);
  Entry logical = entryOf(after, 2000, 0), link = entryOf(after, 2000, 1);
  EXPECT_EQ(logical.type, 0x06);
  EXPECT_EQ(logical.start, 63u);  // relative to the record
  EXPECT_EQ(logical.count, 4000u - 2063u);
  EXPECT_EQ(logical.chsFirst, sectorToChs(63));  // from the relative value
  EXPECT_EQ(link.type, 0x05);
  EXPECT_EQ(link.start, 2000u);
  EXPECT_EQ(link.count, 1500u);
  EXPECT_EQ(std::memcmp(after.data() + 4000 * 512, b.sector(4000), 512), 0);  // untouched

  DiskCatalog again;
  ASSERT_NE(test::attachOnly(image_, again), nullptr);
  std::vector<PartitionInfo> now = recordsOfDisk(again, again.disk(0));
  ASSERT_NE(findStart(now, 2063), nullptr);
  EXPECT_EQ(findStart(now, 2063)->fs(), "FAT");
  ASSERT_NE(findStart(now, 4063), nullptr);
  EXPECT_EQ(findStart(now, 4063)->fs(), "NTFS");
}

TEST_F(HandBuiltRescueTest, RefusalsWriteNothing) {
  const PhysicalDisk* disk = load(standardDisk());
  ASSERT_NE(disk, nullptr);
  const std::string before = test::sha256Of(image_);
  std::vector<PartitionInfo> found;
  ASSERT_TRUE(searchLostPartitions(catalog_, disk, found));

  EXPECT_EQ(recover(nullptr, &found[0]).code, RecoveryCode::NoDisk);
  EXPECT_EQ(recover(disk, nullptr).code, RecoveryCode::NoPartition);

  // A region where nothing was found, and kinds that are not FAT or NTFS.
  PartitionInfo region = *findStart(found, 1063);
  region.setFs("Deleted");
  EXPECT_EQ(recover(disk, &region).code, RecoveryCode::Invalid);
  PartitionInfo ext = region;
  ext.setFs("EXT2");
  EXPECT_EQ(recover(disk, &ext).code, RecoveryCode::Invalid);
  // A volume record whose boot sector copy is empty would wipe the volume's first sector.
  PartitionInfo blank = *findStart(found, 1063);
  std::memset(blank.bootSector, 0, 512);
  EXPECT_EQ(recover(disk, &blank).code, RecoveryCode::Invalid);
  PartitionInfo noType = *findStart(found, 1063);
  noType.partitionType = 0;
  EXPECT_EQ(recover(disk, &noType).code, RecoveryCode::Invalid);
  PartitionInfo pastEnd = *findStart(found, 1063);
  pastEnd.totalBytes = kSectors * 512;
  EXPECT_EQ(recover(disk, &pastEnd).code, RecoveryCode::Invalid);

  // A backed-up partition whose place is now taken by a live one.
  PartitionInfo taken = catalog_.volume(0);  // the live FAT32 at 63
  EXPECT_EQ(recover(disk, &taken).code, RecoveryCode::NoRoom);
  PartitionInfo overlapping = *findStart(found, 1063);
  overlapping.slotSector = overlapping.volumeStart = 1000;
  EXPECT_EQ(recover(disk, &overlapping).code, RecoveryCode::NoRoom);

  // A declined confirmation.
  PartitionInfo ntfs = *findStart(found, 1063);
  RecoveryOutcome declined =
      recoverPartition(catalog_, disk, &ntfs, dir_ / "undo", [](const RecoveryPlan&) { return false; });
  EXPECT_TRUE(declined.cancelled);

  EXPECT_EQ(test::sha256Of(image_), before);
  EXPECT_EQ(undoFiles(), 0u);
}

TEST_F(HandBuiltRescueTest, FullMasterRecordReportsNoRoomBeforeWritingTheBootSector) {
  DiskImageBuilder b = standardDisk();
  b.setEntry(0, 2, 0x83, 7000, 100);
  b.setEntry(0, 3, 0x82, 7100, 100);
  const PhysicalDisk* disk = load(b);
  ASSERT_NE(disk, nullptr);
  // A backup copy of the NTFS volume whose first sector has since been wiped.
  PartitionInfo w = makePartitionInfo();
  w.diskNumber = 0;
  w.slotKind = 1;
  w.slotSector = w.volumeStart = 1063;
  w.totalBytes = 1000 * 512;
  w.setFs("NTFS");
  w.partitionType = 0x07;
  std::memcpy(w.bootSector, b.sector(1063), 512);
  std::memset(b.sector(1063), 0, 512);
  b.save(image_);
  const std::string before = test::sha256Of(image_);
  RecoveryOutcome r = recover(disk, &w);
  EXPECT_EQ(r.code, RecoveryCode::NoRoom);
  EXPECT_EQ(asked_, 0);
  EXPECT_EQ(test::sha256Of(image_), before);
  EXPECT_EQ(undoFiles(), 0u);
}

TEST_F(HandBuiltRescueTest, PrimaryRegionStopsAtTheExtendedPartitionsStart) {
  // The first extended record holds only a link. The free stretch before the
  // first logical partition is split at the extended partition's start: a
  // primary region up to it, a logical one from it, so a volume found in the
  // primary part can never be written over the extended partition.
  DiskImageBuilder b(kSectors);
  b.setEntry(0, 0, 0x0C, 63, 1000);
  b.putFat32BootSector(63);
  b.setEntry(0, 1, 0x05, 2000, 6192);
  b.setEntry(2000, 1, 0x05, 2000, 1500);
  b.setEntry(4000, 0, 0x07, 63, 1000);
  b.putNtfsBootSector(4063);
  b.putNtfsBootSector(1063);
  const PhysicalDisk* disk = load(b);
  ASSERT_NE(disk, nullptr);
  std::vector<PartitionInfo> found;
  ASSERT_TRUE(searchLostPartitions(catalog_, disk, found));
  const PartitionInfo* w = findStart(found, 1063);
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(w->fs(), "NTFS");
  EXPECT_EQ(w->slotKind, 1);
  EXPECT_EQ(w->endSector(), 2000u);  // no size in the boot sector: the whole region, up to the extended start
  const PartitionInfo* logicalRegion = nullptr;
  for (const auto& r : found)
    if (r.slotSector == 2000 && r.slotKind == 2) logicalRegion = &r;
  ASSERT_NE(logicalRegion, nullptr);
  EXPECT_EQ(logicalRegion->extendedBase, 2000u);
  PartitionInfo copy = *w;
  RecoveryOutcome r = recover(disk, &copy);
  ASSERT_EQ(r.code, RecoveryCode::Written) << r.detail;
  std::vector<uint8_t> mbr = test::readFile(image_);
  const MbrEntry e = mbrEntry(mbr.data(), 2);
  EXPECT_EQ(e.start, 1063u);
  EXPECT_EQ(e.count, 2000u - 1063u);
}

TEST_F(HandBuiltRescueTest, DiskThatCannotBeOpenedReportsNoAccess) {
  const PhysicalDisk* disk = load(standardDisk());
  ASSERT_NE(disk, nullptr);
  std::vector<PartitionInfo> found;
  ASSERT_TRUE(searchLostPartitions(catalog_, disk, found));
  PartitionInfo w = *findStart(found, 1063);
  fs::remove(image_);  // the drive is gone
  RecoveryOutcome r = recover(disk, &w);
  EXPECT_EQ(r.code, RecoveryCode::NoAccess);
  EXPECT_EQ(recoveryMessage(r.code), "Recovery failed. Can not access the disk! ");
  EXPECT_EQ(asked_, 0);
  EXPECT_EQ(undoFiles(), 0u);
  std::vector<PartitionInfo> kept = found;
  EXPECT_FALSE(searchLostPartitions(catalog_, disk, kept));
  EXPECT_EQ(kept.size(), found.size());  // a search that cannot open the drive changes nothing
}

TEST_F(HandBuiltRescueTest, WriterChecksTheDiskAndTheUndoFile) {
  const PhysicalDisk* disk = load(standardDisk());
  ASSERT_NE(disk, nullptr);
  const std::string before = test::sha256Of(image_);
  PartitionTableWriter writer(image_.string(), *disk);

  // A change computed from other bytes than the disk holds is not applied.
  SectorChange stale;
  stale.sector = 5;
  stale.before[0] = 1;  // the disk holds zeros there
  stale.after[0] = 2;
  WriteOutcome w = writer.apply({stale}, dir_ / "undo" / "stale.undo");
  EXPECT_FALSE(w.ok);
  EXPECT_FALSE(w.anyWritten);
  EXPECT_FALSE(fs::exists(dir_ / "undo" / "stale.undo"));
  EXPECT_EQ(test::sha256Of(image_), before);

  // An existing undo file is never replaced.
  SectorChange change;
  change.sector = 5;
  change.after[0] = 2;
  fs::create_directories(dir_ / "undo");
  test::writeFile(dir_ / "undo" / "taken.undo", {9});
  EXPECT_FALSE(writer.apply({change}, dir_ / "undo" / "taken.undo").ok);
  EXPECT_EQ(test::sha256Of(image_), before);

  WriteOutcome ok = writer.apply({change}, dir_ / "undo" / "one.undo");
  ASSERT_TRUE(ok.ok) << ok.error;
  EXPECT_EQ(test::readFile(image_)[5 * 512], 2);

  std::vector<uint8_t> file = test::readFile(dir_ / "undo" / "one.undo");
  UndoRecord undo;
  std::string error;
  ASSERT_TRUE(decodeUndo(file.data(), file.size(), undo, &error)) << error;
  for (size_t at : {size_t(0), size_t(20), file.size() / 2, file.size() - 1}) {
    std::vector<uint8_t> bad = file;
    bad[at] ^= 0x40;
    UndoRecord ignored;
    EXPECT_FALSE(decodeUndo(bad.data(), bad.size(), ignored, &error)) << at;
  }
  EXPECT_FALSE(decodeUndo(file.data(), file.size() - 1, undo, &error));

  // Another disk's undo file, or a sector changed again since, restores nothing.
  PhysicalDisk other = *disk;
  other.sizeBytes += 512;
  EXPECT_FALSE(PartitionTableWriter(image_.string(), other).undo(undo).ok);
  std::vector<uint8_t> bytes = test::readFile(image_);
  bytes[5 * 512] = 3;
  test::writeFile(image_, bytes);
  WriteOutcome refused = writer.undo(undo);
  EXPECT_FALSE(refused.ok);
  EXPECT_FALSE(refused.anyWritten);
  EXPECT_EQ(test::readFile(image_)[5 * 512], 3);
  bytes[5 * 512] = 2;
  test::writeFile(image_, bytes);
  ASSERT_TRUE(writer.undo(undo).ok);
  EXPECT_EQ(test::sha256Of(image_), before);
}

TEST(DiskMapTest, SpansToScaleWithTheirColoursAndTexts) {
  PhysicalDisk disk = makePhysicalDisk();
  disk.sizeBytes = 1000 * 512;
  PartitionInfo ntfs = makePartitionInfo(), region = makePartitionInfo();
  ntfs.driveLetter = region.driveLetter = '*';
  ntfs.totalBytes = 500 * 512;
  ntfs.setFs("NTFS");
  region.volumeStart = 500;
  region.totalBytes = 250 * 512;
  region.setFs("Deleted");
  const MapRect area{10, 20, 226, 120};  // 200 pixels for the whole disk
  DiskMap map = layoutDiskMap(area, &disk, {ntfs, region}, &region);
  EXPECT_EQ(map.frameColour, 11506035u);
  EXPECT_EQ(map.fillColour, 13813940u);
  EXPECT_EQ(map.fill.left, 13);
  ASSERT_EQ(map.spans.size(), 2u);
  EXPECT_EQ(map.spans[0].left, 18);
  EXPECT_EQ(map.spans[0].right, 117);
  EXPECT_EQ(map.spans[0].colour, 16711935u);  // the map's own NTFS colour
  EXPECT_EQ(map.spans[0].text, "*: NTFS");
  EXPECT_EQ(map.spans[0].strip.top, 28);
  EXPECT_EQ(map.spans[0].strip.bottom, 38);
  EXPECT_EQ(map.spans[0].whiteBox.top, 41);
  EXPECT_EQ(map.spans[0].whiteBox.bottom, 112);
  EXPECT_EQ(map.spans[0].textX, 23);
  EXPECT_EQ(map.spans[1].left, 118);
  EXPECT_EQ(map.spans[1].right, 167);
  EXPECT_EQ(map.spans[1].colour, 12500670u);
  ASSERT_TRUE(map.selectionBar);
  EXPECT_EQ(map.selectionBar->left, 118);
  EXPECT_EQ(map.selectionBar->bottom - map.selectionBar->top, 10);
  // Without a disk only the frame is drawn.
  EXPECT_TRUE(layoutDiskMap(area, nullptr, {ntfs}, nullptr).spans.empty());
}

}  // namespace
}  // namespace brenix::rescue
