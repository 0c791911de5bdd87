// Partition backup files, the backup list and the backup folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>

#include "rescue/backup_file.h"
#include "rescue/backup_folder.h"
#include "rescue/rescue_texts.h"
#include "support/temp_dir.h"

namespace brenix::rescue {
namespace {

namespace fs = std::filesystem;

PhysicalDisk diskOf(const char* model, uint64_t size, uint32_t drive = 0) {
  PhysicalDisk d = makePhysicalDisk();
  d.setModel(model);
  d.sizeBytes = size;
  d.driveNumber = drive;
  return d;
}

PartitionInfo recordAt(uint32_t start, const char* fsName) {
  PartitionInfo p = makePartitionInfo();
  p.driveLetter = '*';
  p.slotKind = 1;
  p.slotSector = start;
  p.volumeStart = start;
  p.totalBytes = 1000 * 512;
  p.setFs(fsName);
  p.bootSector[0] = static_cast<uint8_t>(start);
  return p;
}

class BackupFileTest : public ::testing::Test {
 protected:
  PhysicalDisk disk_ = diskOf("ACME Disk 1", 64ull << 20, 3);
  std::vector<PartitionInfo> records_ = {recordAt(63, "Deleted"), recordAt(2048, "FAT32"), recordAt(5000, "Deleted"),
                                         recordAt(8192, "NTFS"), recordAt(12000, "#FAT16#")};
  // What a caller already holds; a failed load must leave it as it is.
  std::vector<PartitionInfo> held_ = {recordAt(77, "EXT2")};

  void expectHeldUnchanged() const {
    ASSERT_EQ(held_.size(), 1u);
    EXPECT_EQ(held_[0].volumeStart, 77u);
    EXPECT_EQ(held_[0].fs(), "EXT2");
  }
};

TEST_F(BackupFileTest, FileLayoutAndRoundTrip) {
  std::vector<uint8_t> bytes = encodeBackup(disk_, records_);
  ASSERT_EQ(bytes.size(), 3292u);  // 4 + 288 + 5 x 600
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4), (std::vector<uint8_t>{0xEF, 0xCD, 0xAB, 0x89}));
  EXPECT_EQ(std::memcmp(bytes.data() + 4, &disk_, 288), 0);
  EXPECT_EQ(std::memcmp(bytes.data() + 292 + 600 * 3, &records_[3], 600), 0);

  test::TempDir dir;
  const fs::path file = dir / "ACME Disk 1-a.pbf";
  ASSERT_TRUE(writeBackupFile(file.string(), disk_, records_));
  EXPECT_EQ(test::readFile(file), bytes);
  LoadError error = LoadError::CannotOpen;
  ASSERT_TRUE(loadBackup(file.string(), disk_, held_, &error));
  EXPECT_EQ(error, LoadError::None);
  ASSERT_EQ(held_.size(), records_.size());
  for (size_t i = 0; i < records_.size(); ++i) EXPECT_EQ(std::memcmp(&held_[i], &records_[i], 600), 0) << i;
}

TEST_F(BackupFileTest, RefusedFilesLeaveTheLoadedRecordsAlone) {
  const std::vector<uint8_t> good = encodeBackup(disk_, records_);
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    PhysicalDisk disk;
    LoadError expected;
  };
  std::vector<uint8_t> badMagic = good;
  badMagic[3] = 0x88;
  std::vector<Case> cases = {
      {"empty file", {}, disk_, LoadError::BadMagic},
      {"foreign magic", badMagic, disk_, LoadError::BadMagic},
      {"short disk record", std::vector<uint8_t>(good.begin(), good.begin() + 4 + 287), disk_,
       LoadError::ShortDiskRecord},
      {"other model", good, diskOf("ACME Disk 2", 64ull << 20, 3), LoadError::OtherDisk},
      {"model prefix only", good, diskOf("ACME Disk", 64ull << 20, 3), LoadError::OtherDisk},
      {"other size", good, diskOf("ACME Disk 1", 65ull << 20, 3), LoadError::OtherDisk},
  };
  for (const Case& c : cases) {
    LoadError error = LoadError::None;
    EXPECT_FALSE(decodeBackup(c.bytes.data(), c.bytes.size(), c.disk, held_, &error)) << c.what;
    EXPECT_EQ(error, c.expected) << c.what;
    expectHeldUnchanged();
  }
  EXPECT_FALSE(loadBackup("/nonexistent/ACME.pbf", disk_, held_));
  expectHeldUnchanged();
  // A file longer than any disk's records is not a backup.
  std::vector<uint8_t> huge = good;
  huge.resize(kBackupHeadSize + (kMaxBackupRecords + 1) * 600);
  EXPECT_FALSE(decodeBackup(huge.data(), huge.size(), disk_, held_));
  expectHeldUnchanged();
}

TEST_F(BackupFileTest, PartialTrailingRecordIgnoredAndEmptyBackupClears) {
  std::vector<uint8_t> bytes = encodeBackup(disk_, records_);
  bytes.resize(bytes.size() - 1);  // the last record is one byte short
  ASSERT_TRUE(decodeBackup(bytes.data(), bytes.size(), disk_, held_));
  ASSERT_EQ(held_.size(), 4u);
  EXPECT_EQ(held_[3].volumeStart, 8192u);

  // The same model and size on another drive number loads without complaint.
  PhysicalDisk twin = disk_;
  twin.driveNumber = 7;
  std::vector<uint8_t> head = encodeBackup(disk_, {});
  ASSERT_EQ(head.size(), 292u);
  ASSERT_TRUE(decodeBackup(head.data(), head.size(), twin, held_));
  EXPECT_TRUE(held_.empty());
}

TEST_F(BackupFileTest, WriteFailureIsReported) {
  EXPECT_FALSE(writeBackupFile("/nonexistent-folder/x.pbf", disk_, records_));
  EXPECT_FALSE(backupDisk("/tmp/never-written.pbf", DiskCatalog(), nullptr));
  EXPECT_FALSE(fs::exists("/tmp/never-written.pbf"));
#ifdef __linux__
  if (fs::exists("/dev/full")) {
    EXPECT_FALSE(writeBackupFile("/dev/full", disk_, records_));
  }
#endif
}

TEST(BackupFolderTest, FileNamesFromModelTexts) {
  EXPECT_EQ(sanitizeFileName("WDC WD10EZEX-08WN4A0", kModelNameRules), "WDC WD10EZEX-08WN4A0");
  EXPECT_EQ(sanitizeFileName("a/b\\c:d*e?f\"g<h>i|j", kModelNameRules), "a_b_c_d_e_f_g_h_i_j");
  EXPECT_EQ(sanitizeFileName(std::string("tab\there\x01"), kModelNameRules), "tab_here_");
  EXPECT_EQ(sanitizeFileName("Generic USB  ", kModelNameRules), "Generic USB__");
  EXPECT_EQ(sanitizeFileName("disk..", kModelNameRules), "disk__");
  EXPECT_EQ(sanitizeFileName("", kModelNameRules), "disk");

  ::setenv("TZ", "UTC", 1);
  ::tzset();
  PhysicalDisk d = diskOf("Kingston/DT 101", 1);
  EXPECT_EQ(proposedBackupName(d, 1700000000), "Kingston_DT 101-20231114-221320.pbf");
  EXPECT_EQ(proposedUndoName(d, 1700000000), "Kingston_DT 101-20231114-221320.undo");
  EXPECT_EQ(creationTimeText(1700000000), "     2023-11-14 22:13:20");
}

TEST(BackupFolderTest, FolderBesideTheProgramElseTheUserDataFolder) {
  auto writable = [](bool ok) { return [ok](const fs::path&) { return ok; }; };
  EXPECT_EQ(chooseBackupFolder("/opt/brenix/bin", writable(true), "/x/data", "/home/u"),
            fs::path("/opt/brenix/bin/backup"));
  EXPECT_EQ(chooseBackupFolder("/opt/brenix/bin", writable(false), "/x/data", "/home/u"),
            fs::path("/x/data/brenix/backup"));
  EXPECT_EQ(chooseBackupFolder("/opt/brenix/bin", writable(false), std::nullopt, "/home/u"),
            fs::path("/home/u/.local/share/brenix/backup"));
  // A relative XDG_DATA_HOME is ignored.
  EXPECT_EQ(chooseBackupFolder("/opt/brenix/bin", writable(false), "rel/data", "/home/u"),
            fs::path("/home/u/.local/share/brenix/backup"));

  test::TempDir dir;
  EXPECT_TRUE(folderWritable(dir / "backup"));          // can be created
  EXPECT_TRUE(folderWritable(dir / "a" / "b" / "c"));   // parents too
  EXPECT_FALSE(folderWritable("/proc/1/backup"));
  test::writeFile(dir / "file", {1});
  EXPECT_FALSE(folderWritable(dir / "file" / "backup"));  // under a plain file
}

TEST(BackupFolderTest, ListShowsTheDiskOwnBackupsBetweenTheFixedRows) {
  test::TempDir dir;
  PhysicalDisk disk = diskOf("ACME:Disk", 1);
  for (const char* name : {"ACME_Disk-2.pbf", "ACME_Disk-1.pbf", "ACME_Disk-3.PBF", "ACME_Disk-1.txt",
                           "Other-1.pbf", "ACME_Dis.pbf"})
    test::writeFile(dir / name, {0});
  fs::create_directory(dir / "ACME_Disk-dir.pbf");

  std::vector<BackupRow> rows = listBackups(dir.path(), disk);
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows.front().created, "  Auto Scan ...    ");
  EXPECT_EQ(rows.front().path, "(If you haven't any backup file)");
  EXPECT_EQ(rows.front().icon, 1);
  EXPECT_EQ(rows.back().created, "  Add backup file...");
  EXPECT_EQ(rows.back().path, "(If you have backup files)");
  EXPECT_EQ(rows.back().icon, 2);
  EXPECT_EQ(rows[1].path, (dir / "ACME_Disk-1.pbf").string());
  EXPECT_EQ(rows[2].path, (dir / "ACME_Disk-2.pbf").string());
  EXPECT_EQ(rows[3].path, (dir / "ACME_Disk-3.PBF").string());
  const std::regex created("     \\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}");
  for (size_t i = 1; i + 1 < rows.size(); ++i) {
    EXPECT_TRUE(std::regex_match(rows[i].created, created)) << rows[i].created;
    EXPECT_EQ(rows[i].icon, 0);
  }
  // A missing folder lists only the two fixed rows.
  EXPECT_EQ(listBackups(dir / "missing", disk).size(), 2u);
}

}  // namespace
}  // namespace brenix::rescue
