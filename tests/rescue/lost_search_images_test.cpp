// The lost-partition search on disks made by sfdisk and sgdisk with real file
// systems: volumes that do not start at their free region's start, two in one
// region, volumes whose first sector is gone; each found with its own size,
// written back, read by The Sleuth Kit, undone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>

#include "rescue/lost_search.h"
#include "rescue/partition_recovery.h"
#include "rescue/rescue_test_support.h"
#include "support/temp_dir.h"
#include "support/tools.h"

namespace brenix::rescue {
namespace {

namespace fs = std::filesystem;
using test::runTool;
using test::ToolResult;

constexpr uint64_t kFatStart = 24576, kFatSectors = 81920;    // 40 MiB FAT32
constexpr uint64_t kNtfsStart = 110592, kNtfsSectors = 16384;  // 8 MiB NTFS

class LostSearchImagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"sfdisk", "sgdisk", "mkfs.fat", "mcopy", "mkntfs", "mke2fs", "fls"})
      if (!test::haveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    image_ = dir_ / "disk.img";
    ASSERT_EQ(runTool({"truncate", "-s", "96M", image_.string()}).status, 0);
  }
  void TearDown() override { DeviceTable::instance().clearImages(); }

  void makeVolumes() {
    makeFs({"mke2fs", "-q", "-F", "-t", "ext2"}, 2048, 16384);
    makeFs({"mkfs.fat", "-F", "32", "-s", "1", "-n", "PICTURES"}, kFatStart, kFatSectors);
    test::writeFile(dir_ / "photo.jpg", {0xFF, 0xD8, 0xFF, 0xE0, 'J', 'F', 'I', 'F', 0, 0xFF, 0xD9});
    const fs::path fat = dir_ / ("part" + std::to_string(kFatStart));
    ASSERT_EQ(runTool({"mcopy", "-i", fat.string(), (dir_ / "photo.jpg").string(), "::/PHOTO.JPG"}).status, 0);
    makeFs({"mkntfs", "-q", "-F", "-Q", "-L", "WINDATA", "-p", std::to_string(kNtfsStart)}, kNtfsStart, kNtfsSectors);
    for (uint64_t start : {uint64_t(2048), kFatStart, kNtfsStart}) {
      const fs::path part = dir_ / ("part" + std::to_string(start));
      ASSERT_EQ(runTool({"dd", "if=" + part.string(), "of=" + image_.string(), "bs=512",
                         "seek=" + std::to_string(start), "conv=notrunc", "status=none"})
                    .status,
                0);
    }
  }

  void makeFs(std::vector<std::string> argv, uint64_t start, uint64_t sectors) {
    const fs::path part = dir_ / ("part" + std::to_string(start));
    ASSERT_EQ(runTool({"truncate", "-s", std::to_string(sectors * 512), part.string()}).status, 0);
    argv.push_back(part.string());
    ToolResult r = runTool(argv);
    ASSERT_EQ(r.status, 0) << r.output;
  }

  void mbrDisk() {
    ToolResult r = runTool({"sfdisk", "--no-reread", "--no-tell-kernel", image_.string()},
                           "label: dos\nunit: sectors\nstart=2048, size=16384, type=83\n"
                           "start=24576, size=81920, type=c\nstart=110592, size=16384, type=7\n");
    ASSERT_EQ(r.status, 0) << r.output;
    makeVolumes();
  }

  void wipeEntry(int number) {
    ToolResult r = runTool({"sfdisk", "--no-reread", "--no-tell-kernel", "--delete", image_.string(),
                            std::to_string(number)});
    ASSERT_EQ(r.status, 0) << r.output;
  }

  void zeroSector(uint64_t sector) {
    std::fstream f(image_, std::ios::in | std::ios::out | std::ios::binary);
    const std::vector<char> zeros(512, 0);
    f.seekp(static_cast<std::streamoff>(sector * 512));
    f.write(zeros.data(), 512);
  }

  std::vector<PartitionInfo> search(SearchReport* report = nullptr) {
    const PhysicalDisk* disk = test::attachOnly(image_, catalog_);
    EXPECT_NE(disk, nullptr);
    std::vector<PartitionInfo> found;
    EXPECT_TRUE(disk && searchLostPartitions(catalog_, disk, found, report));
    return found;
  }

  static const PartitionInfo* foundAt(const std::vector<PartitionInfo>& list, uint32_t start) {
    for (const PartitionInfo& p : list)
      if (p.volumeStart == start && p.fs() != "Deleted") return &p;
    return nullptr;
  }

  ToolResult cli(std::vector<std::string> args) {
    const char* cli = std::getenv("BRENIX_CLI");
    if (!cli || !fs::exists(cli)) return {};
    args.insert(args.begin(), cli);
    for (const std::string a : {"--images-only", "--image"}) args.push_back(a);
    args.push_back(image_.string());
    args.push_back("--backup-dir");
    args.push_back((dir_ / "backup").string());
    return runTool(args);
  }

  test::TempDir dir_;
  fs::path image_;
  DiskCatalog catalog_;
};

// The FAT32 entry is wiped: its region runs from the ext2 partition's end
// (18432) to the NTFS partition; the volume starts 6144 sectors into it.
TEST_F(LostSearchImagesTest, VolumeInsideItsRegionFoundWrittenBackAndUndone) {
  mbrDisk();
  wipeEntry(2);
  const std::string wiped = test::sha256Of(image_);
  SearchReport report;
  std::vector<PartitionInfo> found = search(&report);
  const PartitionInfo* fat = foundAt(found, kFatStart);
  ASSERT_NE(fat, nullptr);
  EXPECT_EQ(fat->fs(), "FAT32");
  EXPECT_EQ(fat->partitionType, 0x0C);
  EXPECT_EQ(fat->totalBytes / 512, kFatSectors);  // its own size, not the region's
  EXPECT_EQ(report.found, 1);
  EXPECT_GE(report.regions, 2);

  ToolResult text = cli({"rescue", "search"});
  if (text.status == -1) GTEST_SKIP() << "the brenix program is not built";
  EXPECT_TRUE(std::regex_search(text.output, std::regex(R"(FAT32\s+Start Sector : 24576\s+End Sector : 106495)")))
      << text.output;
  EXPECT_TRUE(std::regex_search(text.output, std::regex(R"(Searched \d+ unallocated region\(s\), \d+ sectors, at \d+ places: found 1 partition\(s\)\.)")))
      << text.output;

  ToolResult written = cli({"rescue", "recover", "--from", "search", "--start", "24576", "--yes"});
  ASSERT_EQ(written.status, 0) << written.output;
  const std::string dump = runTool({"sfdisk", "--dump", image_.string()}).output;
  EXPECT_TRUE(std::regex_search(dump, std::regex(R"(start=\s+24576, size=\s+81920, type=c)"))) << dump;
  ToolResult files = runTool({"fls", "-o", "24576", image_.string()});
  EXPECT_EQ(files.status, 0) << files.output;
  EXPECT_NE(files.output.find("PHOTO.JPG"), std::string::npos) << files.output;

  std::smatch m;
  ASSERT_TRUE(std::regex_search(written.output, m, std::regex(R"(Undo file: (\S+\.undo))"))) << written.output;
  ToolResult undone = cli({"rescue", "undo", m[1].str(), "--yes"});
  ASSERT_EQ(undone.status, 0) << undone.output;
  EXPECT_EQ(test::sha256Of(image_), wiped);
}

TEST_F(LostSearchImagesTest, TwoVolumesInOneRegionEachWithItsOwnSize) {
  mbrDisk();
  wipeEntry(3);
  wipeEntry(2);
  std::vector<PartitionInfo> found = search();
  const PartitionInfo* fat = foundAt(found, kFatStart);
  const PartitionInfo* ntfs = foundAt(found, kNtfsStart);
  ASSERT_NE(fat, nullptr);
  ASSERT_NE(ntfs, nullptr);
  EXPECT_EQ(fat->totalBytes / 512, kFatSectors);
  EXPECT_EQ(ntfs->fs(), "NTFS");
  EXPECT_EQ(ntfs->totalBytes / 512, kNtfsSectors);  // total sectors + 1
}

// Both volumes lose their first sector as well as their entries: FAT32 is
// found from its copy at sector 6, NTFS from the copy in its last sector, and
// writing the NTFS volume back puts its boot sector back in place.
TEST_F(LostSearchImagesTest, VolumesWithoutTheirFirstSectorFoundFromTheBackups) {
  mbrDisk();
  wipeEntry(3);
  wipeEntry(2);
  zeroSector(kFatStart);
  zeroSector(kNtfsStart);
  std::vector<PartitionInfo> found = search();
  const PartitionInfo* fat = foundAt(found, kFatStart);
  const PartitionInfo* ntfs = foundAt(found, kNtfsStart);
  ASSERT_NE(fat, nullptr);
  ASSERT_NE(ntfs, nullptr);
  EXPECT_EQ(fat->fs(), "FAT32");
  EXPECT_EQ(fat->totalBytes / 512, kFatSectors);
  EXPECT_EQ(ntfs->fs(), "NTFS");
  EXPECT_EQ(ntfs->totalBytes / 512, kNtfsSectors);

  ToolResult written = cli({"rescue", "recover", "--from", "search", "--start", std::to_string(kNtfsStart), "--yes"});
  if (written.status == -1) GTEST_SKIP() << "the brenix program is not built";
  ASSERT_EQ(written.status, 0) << written.output;
  ToolResult files = runTool({"fls", "-o", std::to_string(kNtfsStart), image_.string()});
  EXPECT_EQ(files.status, 0) << files.output;
  EXPECT_NE(files.output.find("$MFT"), std::string::npos) << files.output;
}

// The same on a GPT disk whose entry for the FAT32 volume was deleted with
// sgdisk (and its first sector zeroed), then written back into the GPT.
TEST_F(LostSearchImagesTest, GptEntryWipedVolumeFoundWrittenIntoBothArraysAndUndone) {
  ToolResult r = runTool({"sgdisk", "-n", "1:2048:18431", "-n", "2:24576:106495", "-t", "2:0700", "-n",
                          "3:110592:126975", "-t", "3:0700", image_.string()});
  ASSERT_EQ(r.status, 0) << r.output;
  makeVolumes();
  zeroSector(kFatStart);
  ASSERT_EQ(runTool({"sgdisk", "-d", "2", image_.string()}).status, 0);
  std::vector<PartitionInfo> found = search();
  EXPECT_EQ(catalog_.tableInfo(0).tableKind, TableKind::Gpt);
  const PartitionInfo* fat = foundAt(found, kFatStart);
  ASSERT_NE(fat, nullptr);
  EXPECT_EQ(fat->fs(), "FAT32");
  EXPECT_EQ(fat->totalBytes / 512, kFatSectors);
  EXPECT_NE(foundAt(found, kNtfsStart), nullptr);  // the live NTFS partition, listed as it is

  // With the backup copy damaged the tables disagree: nothing is written.
  const std::string wiped = test::sha256Of(image_);
  const fs::path good = dir_ / "good.img";
  fs::copy_file(image_, good);
  {
    // A byte of the backup entry array's first entry: its CRC no longer matches.
    std::fstream f(image_, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>((196607 - 32) * 512 + 60));
    f.write("X", 1);
  }
  const std::string damaged = test::sha256Of(image_);
  ToolResult refused = cli({"rescue", "recover", "--from", "search", "--start", std::to_string(kFatStart), "--yes"});
  if (refused.status == -1) GTEST_SKIP() << "the brenix program is not built";
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.output.find("backup GUID partition table is damaged"), std::string::npos) << refused.output;
  EXPECT_EQ(test::sha256Of(image_), damaged);
  fs::remove(image_);
  fs::copy_file(good, image_);

  // Written into a free entry of both arrays, with the boot sector from its
  // copy at sector 6; sgdisk finds both copies sound, fls reads the volume.
  ToolResult written = cli({"rescue", "recover", "--from", "search", "--start", std::to_string(kFatStart), "--yes"});
  ASSERT_EQ(written.status, 0) << written.output;
  EXPECT_NE(written.output.find("backup GPT header"), std::string::npos) << written.output;
  ToolResult verify = runTool({"sgdisk", "-v", image_.string()});
  EXPECT_NE(verify.output.find("No problems found"), std::string::npos) << verify.output;
  const std::string printed = runTool({"sgdisk", "-p", image_.string()}).output;
  EXPECT_TRUE(std::regex_search(printed, std::regex(R"(\n\s+2\s+24576\s+106495\s)"))) << printed;
  ToolResult mmls = runTool({"mmls", image_.string()});
  EXPECT_TRUE(std::regex_search(mmls.output, std::regex(R"(0000024576\s+0000106495\s+0000081920)"))) << mmls.output;
  ToolResult files = runTool({"fls", "-o", std::to_string(kFatStart), image_.string()});
  EXPECT_NE(files.output.find("PHOTO.JPG"), std::string::npos) << files.output;
  std::vector<uint8_t> mbr = test::readFile(image_);
  EXPECT_EQ(mbr[446 + 4], 0xEE);  // the protective MBR is kept
  EXPECT_EQ(mbr[462 + 4], 0x00);

  std::smatch m;
  ASSERT_TRUE(std::regex_search(written.output, m, std::regex(R"(Undo file: (\S+\.undo))"))) << written.output;
  ToolResult undone = cli({"rescue", "undo", m[1].str(), "--yes"});
  ASSERT_EQ(undone.status, 0) << undone.output;
  EXPECT_EQ(test::sha256Of(image_), wiped);
}

}  // namespace
}  // namespace brenix::rescue
