// Partition rescue on disks made by the real tools: backups of an sfdisk
// layout, and lost partitions (a primary NTFS and a logical FAT16, with files)
// found and written back, checked with sfdisk and The Sleuth Kit, then undone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <regex>

#include "common/bytes.h"
#include "rescue/backup_file.h"
#include "rescue/lost_search.h"
#include "rescue/partition_recovery.h"
#include "rescue/partition_table_writer.h"
#include "rescue/rescue_test_support.h"
#include "support/disk_image_builder.h"
#include "support/temp_dir.h"
#include "support/tools.h"

namespace brenix::rescue {
namespace {

namespace fs = std::filesystem;
using test::runTool;

void truncateTo(const fs::path& p, uint64_t bytes) {
  ASSERT_EQ(runTool({"truncate", "-s", std::to_string(bytes), p.string()}).status, 0);
}

void partition(const fs::path& image, const std::string& layout) {
  test::ToolResult r = runTool({"sfdisk", "--no-reread", "--no-tell-kernel", image.string()}, layout);
  ASSERT_EQ(r.status, 0) << r.output;
}

const PartitionInfo* findStart(const std::vector<PartitionInfo>& list, uint32_t start) {
  for (const PartitionInfo& p : list)
    if (p.volumeStart == start) return &p;
  return nullptr;
}

TEST(RescueImagesTest, BackupRoundTripOnAnSfdiskDisk) {
  if (!test::haveTool("sfdisk")) GTEST_SKIP() << "sfdisk is not installed";
  test::TempDir dir;
  const fs::path image = dir / "three.img";
  truncateTo(image, 8 << 20);
  // Three partitions; free space before the first and between the first two.
  partition(image,
            "label: dos\nunit: sectors\nstart=2048, size=4096, type=c\nstart=8192, size=4096, type=7\n"
            "start=12288, size=4096, type=6\n");
  DiskCatalog catalog;
  const PhysicalDisk* disk = test::attachOnly(image, catalog);
  ASSERT_NE(disk, nullptr);
  std::vector<PartitionInfo> records = recordsOfDisk(catalog, *disk);
  int regions = 0;
  for (const PartitionInfo& r : records) regions += r.fs() == "Deleted";
  ASSERT_EQ(records.size(), 5u);
  ASSERT_EQ(regions, 2);

  const fs::path backup = dir / "three.img-1.pbf";
  ASSERT_TRUE(backupDisk(backup.string(), catalog, disk));
  EXPECT_EQ(fs::file_size(backup), 3292u);
  std::vector<PartitionInfo> loaded;
  ASSERT_TRUE(loadBackup(backup.string(), *disk, loaded));
  ASSERT_EQ(loaded.size(), records.size());
  for (size_t i = 0; i < loaded.size(); ++i) EXPECT_EQ(std::memcmp(&loaded[i], &records[i], 600), 0) << i;

  // The same file name on a disk of another size is another disk; of the same size it matches.
  fs::create_directory(dir / "other");
  const fs::path bigger = dir / "other" / "three.img";
  truncateTo(bigger, 9 << 20);
  DiskCatalog otherCatalog;
  const PhysicalDisk* other = test::attachOnly(bigger, otherCatalog);
  ASSERT_NE(other, nullptr);
  EXPECT_FALSE(loadBackup(backup.string(), *other, loaded));
  EXPECT_EQ(loaded.size(), 5u);
  truncateTo(bigger, 8 << 20);
  other = test::attachOnly(bigger, otherCatalog);
  ASSERT_NE(other, nullptr);
  EXPECT_TRUE(loadBackup(backup.string(), *other, loaded));
  DeviceTable::instance().clearImages();
}

class ImageFixture : public ::testing::Test {
 protected:
  bool haveTools() {
    for (const char* tool : {"sfdisk", "mkfs.fat", "mkntfs", "ntfscp", "mcopy", "fls", "fsck.fat", "mmls"})
      if (!test::haveTool(tool)) return false;
    return true;
  }
  void TearDown() override { DeviceTable::instance().clearImages(); }

  // Makes a 4 MiB file system in its own file, puts photo.jpg in it, and copies it into the disk.
  void makeFs(std::vector<std::string> argv, uint64_t start, const std::string& addFile) {
    test::writeFile(dir_ / "photo.jpg", {0xFF, 0xD8, 0xFF, 0xE0, 'J', 'F', 'I', 'F', 0, 0xFF, 0xD9});
    const fs::path part = dir_ / ("part" + std::to_string(start));
    truncateTo(part, 4 << 20);
    argv.push_back(part.string());
    test::ToolResult r = runTool(argv);
    ASSERT_EQ(r.status, 0) << r.output;
    if (addFile == "ntfs") {
      r = runTool({"ntfscp", "-f", part.string(), (dir_ / "photo.jpg").string(), "PHOTO.JPG"});
      ASSERT_EQ(r.status, 0) << r.output;
    } else if (addFile == "fat") {
      r = runTool({"env", "MTOOLS_SKIP_CHECK=1", "mcopy", "-i", part.string(), (dir_ / "photo.jpg").string(),
                   "::/PHOTO.JPG"});
      ASSERT_EQ(r.status, 0) << r.output;
    }
    r = runTool({"dd", "if=" + part.string(), "of=" + image_.string(), "bs=512", "seek=" + std::to_string(start),
                 "conv=notrunc", "status=none"});
    ASSERT_EQ(r.status, 0) << r.output;
  }

  void deletePartition(int number) {
    test::ToolResult r = runTool({"sfdisk", "--no-reread", "--no-tell-kernel", "--delete", image_.string(),
                                  std::to_string(number)});
    ASSERT_EQ(r.status, 0) << r.output;
  }

  RecoveryOutcome recover(DiskCatalog& catalog, const PhysicalDisk* disk, PartitionInfo* w) {
    return recoverPartition(catalog, disk, w, dir_ / "backup", [](const RecoveryPlan&) { return true; });
  }

  bool filesReadable(uint32_t start) {
    return runTool({"fls", "-o", std::to_string(start), image_.string()}).output.find("PHOTO.JPG") !=
           std::string::npos;
  }

  test::TempDir dir_;
  fs::path image_;
};

// FAT32 2048..10239, NTFS 10240..18431, extended 18432..65535 holding FAT16
// logicals at 18495 and 26750 (63 sectors after their records, as older
// systems laid them out). Then sfdisk deletes the NTFS and the second logical.
class LostPartitionsTest : public ImageFixture {
 protected:
  void SetUp() override {
    if (!haveTools()) GTEST_SKIP() << "sfdisk, dosfstools, ntfs-3g or sleuthkit is not installed";
    image_ = dir_ / "lost.img";
    truncateTo(image_, 32 << 20);
    partition(image_,
              "label: dos\nunit: sectors\nstart=2048, size=8192, type=c\nstart=10240, size=8192, type=7\n"
              "start=18432, type=5\nstart=18495, size=8192, type=6\nstart=26750, size=8192, type=6\n");
    makeFs({"mkfs.fat", "-F", "32", "-s", "1", "-n", "CAMERA"}, 2048, "");
    makeFs({"mkntfs", "-q", "-F", "-Q", "-L", "WINDATA", "-p", "10240", "-H", "255", "-S", "63"}, 10240,
           "ntfs");
    makeFs({"mkfs.fat", "-F", "16", "-s", "1", "-n", "LOGICAL1"}, 18495, "");
    makeFs({"mkfs.fat", "-F", "16", "-s", "1", "-n", "LOGICAL2"}, 26750, "fat");
    deletePartition(6);
    deletePartition(2);
  }
};

TEST_F(LostPartitionsTest, FoundWrittenBackReadableAndUndone) {
  const std::string deleted = test::sha256Of(image_);
  std::string dump = runTool({"sfdisk", "--dump", image_.string()}).output;
  ASSERT_EQ(dump.find("start=       10240"), std::string::npos) << dump;
  ASSERT_EQ(dump.find("start=       26750"), std::string::npos) << dump;

  DiskCatalog catalog;
  const PhysicalDisk* disk = test::attachOnly(image_, catalog);
  ASSERT_NE(disk, nullptr);
  std::vector<PartitionInfo> found;
  ASSERT_TRUE(searchLostPartitions(catalog, disk, found));
  const PartitionInfo* ntfs = findStart(found, 10240);
  const PartitionInfo* fat16 = findStart(found, 26750);
  ASSERT_NE(ntfs, nullptr);
  ASSERT_NE(fat16, nullptr);
  EXPECT_EQ(ntfs->fs(), "NTFS");
  EXPECT_EQ(ntfs->partitionType, 0x07);
  EXPECT_EQ(ntfs->totalBytes / 512, 8192u);
  EXPECT_EQ(fat16->fs(), "FAT16");
  EXPECT_EQ(fat16->slotKind, 2);
  EXPECT_EQ(fat16->slotSector, 26687u);  // the end of the first logical
  EXPECT_EQ(fat16->totalBytes / 512, 8192u);  // its own size, not the rest of the region

  PartitionInfo w1 = *ntfs, w2 = *fat16;
  RecoveryOutcome r1 = recover(catalog, disk, &w1);
  ASSERT_EQ(r1.code, RecoveryCode::Written) << r1.detail;
  const std::string afterFirst = test::sha256Of(image_);
  RecoveryOutcome r2 = recover(catalog, disk, &w2);
  ASSERT_EQ(r2.code, RecoveryCode::Written) << r2.detail;
  EXPECT_EQ(catalog.lastExtendedRecord(0), 26687);

  dump = runTool({"sfdisk", "--dump", image_.string()}).output;
  EXPECT_TRUE(std::regex_search(dump, std::regex(R"(start=\s+10240, size=\s+8192, type=7)"))) << dump;
  EXPECT_TRUE(std::regex_search(dump, std::regex(R"(start=\s+18495, size=\s+8192, type=6)"))) << dump;
  EXPECT_TRUE(std::regex_search(dump, std::regex(R"(start=\s+26750, size=\s+8192, type=6)"))) << dump;
  const std::string mmls = runTool({"mmls", image_.string()}).output;
  EXPECT_NE(mmls.find("0000026750"), std::string::npos) << mmls;

  EXPECT_TRUE(filesReadable(10240));
  EXPECT_TRUE(filesReadable(26750));
  const fs::path extracted = dir_ / "fat16.img";
  ASSERT_EQ(runTool({"dd", "if=" + image_.string(), "of=" + extracted.string(), "bs=512", "skip=26750",
                     "count=8192", "status=none"})
                .status,
            0);
  test::ToolResult fsck = runTool({"fsck.fat", "-n", extracted.string()});
  EXPECT_EQ(fsck.status, 0) << fsck.output;

  // Our own discovery agrees.
  DiskCatalog again;
  ASSERT_NE(test::attachOnly(image_, again), nullptr);
  std::vector<PartitionInfo> now = recordsOfDisk(again, again.disk(0));
  ASSERT_NE(findStart(now, 10240), nullptr);
  EXPECT_EQ(findStart(now, 10240)->fs(), "NTFS");
  ASSERT_NE(findStart(now, 26750), nullptr);
  EXPECT_EQ(findStart(now, 26750)->fs(), "FAT");

  // Undo in reverse order gives back the image byte for byte.
  for (const fs::path& undoPath : {r2.undoPath, r1.undoPath}) {
    UndoRecord undo;
    std::string error;
    ASSERT_TRUE(readUndoFile(undoPath, undo, &error)) << error;
    WriteOutcome u = PartitionTableWriter(image_.string(), again.disk(0)).undo(undo);
    ASSERT_TRUE(u.ok) << u.error;
    if (undoPath == r2.undoPath) {
      EXPECT_EQ(test::sha256Of(image_), afterFirst);
    }
  }
  EXPECT_EQ(test::sha256Of(image_), deleted);
}

// The command line: search, a declined and a confirmed recovery, undo.
TEST_F(LostPartitionsTest, CommandLineRecoverAndUndo) {
  const char* cli = std::getenv("BRENIX_CLI");
  if (!cli || !fs::exists(cli)) GTEST_SKIP() << "the brenix program is not built";
  const std::string deleted = test::sha256Of(image_);
  const std::vector<std::string> common = {"--images-only", "--image", image_.string(), "--backup-dir",
                                           (dir_ / "backup").string()};
  auto run = [&](std::vector<std::string> argv, const std::string& input = {}) {
    argv.insert(argv.begin(), cli);
    argv.insert(argv.end(), common.begin(), common.end());
    return runTool(argv, input);
  };

  test::ToolResult search = run({"rescue", "search"});
  ASSERT_EQ(search.status, 0) << search.output;
  EXPECT_TRUE(std::regex_search(search.output, std::regex(R"(\*:  NTFS\s+Start Sector : 10240\s+End Sector : 18431)")))
      << search.output;
  EXPECT_TRUE(std::regex_search(search.output, std::regex(R"(\*:  FAT16\s+Start Sector : 26750\s+End Sector : 34941)")))
      << search.output;

  test::ToolResult declined = run({"rescue", "recover", "--from", "search", "--start", "10240"}, "n\n");
  EXPECT_EQ(declined.status, 1) << declined.output;
  EXPECT_NE(declined.output.find("This operation is very dangerous, Are you sure to continue?"), std::string::npos);
  EXPECT_EQ(test::sha256Of(image_), deleted);

  test::ToolResult written = run({"rescue", "recover", "--from", "search", "--start", "10240", "--yes"});
  ASSERT_EQ(written.status, 0) << written.output;
  EXPECT_NE(written.output.find("The partition has been recovered successfully."), std::string::npos);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(written.output, m, std::regex(R"(Undo file: (\S+\.undo))"))) << written.output;
  const std::string undoFile = m[1];
  EXPECT_TRUE(std::regex_search(runTool({"sfdisk", "--dump", image_.string()}).output,
                                std::regex(R"(start=\s+10240, size=\s+8192, type=7)")));

  // Writing it again finds no free place for it.
  test::ToolResult again = run({"rescue", "recover", "--from", "search", "--start", "10240", "--yes"});
  EXPECT_EQ(again.status, 15) << again.output;  // code 5: the region is taken now
  EXPECT_NE(again.output.find("The partition selected can't be recovered. Please select the other partition."),
            std::string::npos)
      << again.output;

  test::ToolResult undo = run({"rescue", "undo", undoFile, "--yes"});
  ASSERT_EQ(undo.status, 0) << undo.output;
  EXPECT_EQ(test::sha256Of(image_), deleted);

  test::ToolResult noBackup = run({"rescue", "load", (dir_ / "photo.jpg").string()});
  EXPECT_EQ(noBackup.status, 2);
  EXPECT_NE(noBackup.output.find("Can't load the Backup file!"), std::string::npos);
}

// A layout as today's tools make it (volumes on 1 MiB boundaries, logical
// partitions 2048 sectors after their records): NTFS 2048..18431, FAT16
// 18432..34815, extended 34816..65535 with FAT16 logicals at 36864 and 47104.
// The first primary and the second logical are deleted.
TEST_F(ImageFixture, AlignedLayoutFoundAndWrittenBack) {
  if (!haveTools()) GTEST_SKIP() << "sfdisk, dosfstools, ntfs-3g or sleuthkit is not installed";
  image_ = dir_ / "aligned.img";
  truncateTo(image_, 32 << 20);
  partition(image_, "label: dos\nsize=8MiB, type=7\nsize=8MiB, type=6\ntype=5\nsize=4MiB, type=6\nsize=4MiB, type=6\n");
  const std::string layout = runTool({"sfdisk", "--dump", image_.string()}).output;
  ASSERT_NE(layout.find("start=       47104"), std::string::npos) << layout;
  makeFs({"mkntfs", "-q", "-F", "-Q", "-p", "2048", "-H", "255", "-S", "63"}, 2048, "ntfs");
  makeFs({"mkfs.fat", "-F", "16", "-s", "1"}, 18432, "");
  makeFs({"mkfs.fat", "-F", "16", "-s", "1"}, 36864, "");
  makeFs({"mkfs.fat", "-F", "16", "-s", "1"}, 47104, "fat");
  deletePartition(6);
  deletePartition(1);

  DiskCatalog catalog;
  const PhysicalDisk* disk = test::attachOnly(image_, catalog);
  ASSERT_NE(disk, nullptr);
  std::vector<PartitionInfo> found;
  ASSERT_TRUE(searchLostPartitions(catalog, disk, found));
  const PartitionInfo* ntfs = findStart(found, 2048);
  const PartitionInfo* fat16 = findStart(found, 47104);
  ASSERT_NE(ntfs, nullptr);
  ASSERT_NE(fat16, nullptr);
  EXPECT_EQ(ntfs->fs(), "NTFS");
  EXPECT_EQ(ntfs->totalBytes / 512, 8192u);  // the volume's own size (mkntfs: total sectors + 1)
  EXPECT_EQ(fat16->fs(), "FAT16");
  EXPECT_EQ(fat16->slotSector, 45056u);

  PartitionInfo w1 = *ntfs, w2 = *fat16;
  RecoveryOutcome r1 = recover(catalog, disk, &w1);
  ASSERT_EQ(r1.code, RecoveryCode::Written) << r1.detail;
  RecoveryOutcome r2 = recover(catalog, disk, &w2);
  ASSERT_EQ(r2.code, RecoveryCode::Written) << r2.detail;
  const std::string dump = runTool({"sfdisk", "--dump", image_.string()}).output;
  EXPECT_TRUE(std::regex_search(dump, std::regex(R"(start=\s+2048, size=\s+8192, type=7)"))) << dump;
  EXPECT_TRUE(std::regex_search(dump, std::regex(R"(start=\s+47104, size=\s+8192, type=6)"))) << dump;
  EXPECT_TRUE(filesReadable(2048));
  EXPECT_TRUE(filesReadable(47104));
  // The link to the new record covers its 2048-sector record area and the partition.
  const std::vector<uint8_t> bytes = test::readFile(image_);
  const uint8_t* link = bytes.data() + 34816 * 512 + 462;
  EXPECT_EQ(link[4], 0x05);
  EXPECT_EQ(le32(link + 8), 45056u - 34816u);
  EXPECT_EQ(le32(link + 12), 2048u + 8192u);
}

// The command line: back up, list, load, lose a partition entry and restore it from the backup.
TEST(RescueCommandLineTest, BackupListLoadAndRestoreFromTheBackup) {
  const char* cli = std::getenv("BRENIX_CLI");
  if (!cli || !fs::exists(cli)) GTEST_SKIP() << "the brenix program is not built";
  test::TempDir dir;
  const fs::path image = dir / "card.img";
  test::DiskImageBuilder b(8192);
  b.setEntry(0, 0, 0x0C, 63, 1000);
  b.putFat32BootSector(63);
  b.setEntry(0, 1, 0x07, 1063, 1000);
  b.putNtfsBootSector(1063);
  b.save(image);
  const fs::path folder = dir / "backups";
  auto run = [&](std::vector<std::string> argv, const std::string& input = {}) {
    argv.insert(argv.begin(), cli);
    for (const std::string& a : {std::string("--images-only"), std::string("--image"), image.string(),
                                 std::string("--backup-dir"), folder.string()})
      argv.push_back(a);
    return runTool(argv, input);
  };

  test::ToolResult declined = run({"rescue", "backup"}, "\n");
  EXPECT_EQ(declined.status, 1);
  EXPECT_NE(declined.output.find("Do you want to back up all partitions on the disk ?"), std::string::npos);
  EXPECT_FALSE(fs::exists(folder));

  test::ToolResult backup = run({"rescue", "backup", "--yes"});
  ASSERT_EQ(backup.status, 0) << backup.output;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(backup.output, m, std::regex(R"(Backup has finished!\n(\S+\.pbf))"))) << backup.output;
  const fs::path file = m[1].str();
  EXPECT_EQ(file.parent_path(), folder);
  EXPECT_EQ(file.filename().string().rfind("card.img-", 0), 0u);
  EXPECT_EQ(fs::file_size(file), 292u + 3 * 600);  // FAT32, NTFS, the free rest

  test::ToolResult list = run({"rescue", "backups"});
  ASSERT_EQ(list.status, 0) << list.output;
  EXPECT_EQ(list.output.rfind("  Auto Scan ...    \t(If you haven't any backup file)\n", 0), 0u) << list.output;
  EXPECT_NE(list.output.find("\t" + file.string() + "\n"), std::string::npos) << list.output;
  EXPECT_NE(list.output.find("  Add backup file...\t(If you have backup files)\n"), std::string::npos);

  test::ToolResult load = run({"rescue", "load", file.string()});
  ASSERT_EQ(load.status, 0) << load.output;
  EXPECT_TRUE(std::regex_search(load.output, std::regex(R"(1  \*:  NTFS\s+Start Sector : 1063\s+End Sector : 2062)")))
      << load.output;

  // The NTFS entry is lost; the backup's record puts it back.
  std::vector<uint8_t> bytes = test::readFile(image);
  std::memset(bytes.data() + 446 + 16, 0, 16);
  test::writeFile(image, bytes);
  test::ToolResult restore = run({"rescue", "recover", "--from", file.string(), "--start", "1063", "--yes"});
  ASSERT_EQ(restore.status, 0) << restore.output;
  bytes = test::readFile(image);
  EXPECT_EQ(bytes[446 + 16 + 4], 0x07);
  EXPECT_EQ(le32(bytes.data() + 446 + 16 + 8), 1063u);
  EXPECT_EQ(le32(bytes.data() + 446 + 16 + 12), 1000u);

  // A backup of another disk is refused.
  test::DiskImageBuilder(4096).save(dir / "other.img");
  test::ToolResult other = runTool({cli, "rescue", "load", file.string(), "--images-only", "--image",
                                    (dir / "other.img").string()});
  EXPECT_EQ(other.status, 2);
  EXPECT_NE(other.output.find("Can't load the Backup file!"), std::string::npos);
}

}  // namespace
}  // namespace brenix::rescue
