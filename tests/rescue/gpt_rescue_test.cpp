// Partition rescue on GUID-partitioned disks made by sgdisk: a hybrid MBR
// refuses every write; lost volumes in GPT free space are found.
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <regex>

#include "common/bytes.h"
#include "disk/gpt.h"
#include "disk/partition_discovery.h"
#include "rescue/backup_file.h"
#include "rescue/lost_search.h"
#include "rescue/partition_recovery.h"
#include "rescue/partition_table_writer.h"
#include "rescue/rescue_test_support.h"
#include "support/temp_dir.h"
#include "support/tools.h"

namespace brenix::rescue {
namespace {

namespace fs = std::filesystem;
using test::runTool;

void placeAt(const fs::path& disk, const fs::path& part, uint64_t sector) {
  ASSERT_EQ(runTool({"dd", "if=" + part.string(), "of=" + disk.string(), "bs=512", "seek=" + std::to_string(sector),
                     "conv=notrunc", "status=none"})
                .status,
            0);
}

class GptRescueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"sgdisk", "mkfs.fat", "fls"})
      if (!test::haveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    image_ = dir_ / "gpt.img";
    ASSERT_EQ(runTool({"truncate", "-s", "96M", image_.string()}).status, 0);
  }
  void TearDown() override { DeviceTable::instance().clearImages(); }

  // A FAT32 volume of `sectors` sectors made in its own file, put at `start`.
  void fat32At(uint64_t start, uint64_t sectors, const std::string& label) {
    const fs::path part = dir_ / ("fat" + std::to_string(start));
    ASSERT_EQ(runTool({"truncate", "-s", std::to_string(sectors * 512), part.string()}).status, 0);
    test::ToolResult r = runTool({"mkfs.fat", "-F", "32", "-s", "1", "-n", label, part.string()});
    ASSERT_EQ(r.status, 0) << r.output;
    placeAt(image_, part, start);
  }

  void sgdisk(std::vector<std::string> args) {
    args.insert(args.begin(), "sgdisk");
    args.push_back(image_.string());
    test::ToolResult r = runTool(args);
    ASSERT_EQ(r.status, 0) << r.output;
  }

  test::ToolResult cli(std::vector<std::string> args, const std::string& input = {}) {
    const char* cli = std::getenv("BRENIX_CLI");
    if (!cli || !fs::exists(cli)) return {};
    args.insert(args.begin(), cli);
    for (const std::string a : {"--images-only", "--image"}) args.push_back(a);
    args.push_back(image_.string());
    return runTool(args, input);
  }

  test::TempDir dir_;
  fs::path image_;
  DiskCatalog catalog_;
};

// sgdisk -h: partition 1 also in the MBR, next to the 0xEE entry. The disk is
// listed from its GPT, and no write of the rescue goes through, neither of a
// found volume nor of a backed-up one.
TEST_F(GptRescueTest, HybridMbrIsListedFromTheGptAndNeverWritten) {
  sgdisk({"-n", "1:2048:+40M", "-t", "1:0700", "-c", "1:pictures"});
  fat32At(2048, 81920, "CAMERA");
  fat32At(92160, 81920, "LOST");  // a volume in the free space after partition 1
  sgdisk({"-h", "1"});
  const std::string before = test::sha256Of(image_);

  const PhysicalDisk* disk = test::attachOnly(image_, catalog_);
  ASSERT_NE(disk, nullptr);
  const DiscoveryState& table = catalog_.tableInfo(0);
  EXPECT_EQ(table.tableKind, TableKind::Gpt);
  EXPECT_TRUE(table.protectiveMbr);
  std::vector<int> volumes = catalog_.volumesOfDisk(0);
  bool fat = false;
  for (int v : volumes) {
    const PartitionInfo& p = catalog_.volume(v);
    if (p.volumeStart == 2048) {
      EXPECT_EQ(p.fs(), "FAT32");  // not "Deleted": the GPT lists it
      fat = true;
    }
  }
  EXPECT_TRUE(fat);

  std::vector<PartitionInfo> found;
  ASSERT_TRUE(searchLostPartitions(catalog_, disk, found));
  PartitionInfo* lost = nullptr;
  for (PartitionInfo& p : found)
    if (p.volumeStart == 92160 && p.fs() == "FAT32") lost = &p;
  ASSERT_NE(lost, nullptr);
  int asked = 0;
  auto confirm = [&asked](const RecoveryPlan&) { return ++asked > 0; };
  RecoveryOutcome r = recoverPartition(catalog_, disk, lost, dir_ / "undo", confirm);
  EXPECT_EQ(r.code, RecoveryCode::NoAccess);
  EXPECT_NE(r.detail.find("GUID partition table"), std::string::npos) << r.detail;
  EXPECT_EQ(asked, 0);
  EXPECT_FALSE(fs::exists(dir_ / "undo"));

  // A backed-up record of the same volume is refused the same way.
  std::vector<PartitionInfo> fromBackup = recordsOfDisk(catalog_, *disk);
  for (PartitionInfo& p : fromBackup)
    if (p.volumeStart == 2048) {
      r = recoverPartition(catalog_, disk, &p, dir_ / "undo", confirm);
      EXPECT_EQ(r.code, RecoveryCode::NoAccess);
    }
  EXPECT_EQ(asked, 0);

  // And through the command line.
  test::ToolResult written =
      cli({"rescue", "recover", "--from", "search", "--start", "92160", "--yes", "--backup-dir", (dir_ / "b").string()});
  if (written.status != -1) {
    EXPECT_NE(written.status, 0) << written.output;
    EXPECT_NE(written.output.find("GUID partition table"), std::string::npos) << written.output;
  }
  EXPECT_EQ(test::sha256Of(image_), before);
}

// A backup of a GPT disk holds both headers and arrays as they were; it is
// listed and loaded like the others, and a partition deleted since comes back
// from it into the GPT.
TEST_F(GptRescueTest, BackupKeepsBothCopiesAndGivesThePartitionBack) {
  sgdisk({"-n", "1:2048:+8M", "-n", "2:24576:106495", "-t", "2:0700", "-c", "2:pictures"});
  fat32At(24576, 81920, "PICTURES");
  const std::string folder = (dir_ / "backups").string();
  test::ToolResult backup = cli({"rescue", "backup", "--yes", "--backup-dir", folder});
  if (backup.status == -1) GTEST_SKIP() << "the brenix program is not built";
  ASSERT_EQ(backup.status, 0) << backup.output;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(backup.output, m, std::regex(R"(Backup has finished!\n(\S+\.pbf))"))) << backup.output;
  const std::string file = m[1].str();

  const std::vector<uint8_t> bytes = test::readFile(file);
  const std::vector<uint8_t> disk = test::readFile(image_);
  GptBackup decoded;
  ASSERT_TRUE(decodeGptBackup(bytes.data(), bytes.size(), decoded));
  EXPECT_EQ(decoded.sectorSize, 512u);
  EXPECT_EQ(decoded.primaryHeader, std::vector<uint8_t>(disk.begin() + 512, disk.begin() + 1024));
  EXPECT_EQ(decoded.primaryArray, std::vector<uint8_t>(disk.begin() + 1024, disk.begin() + 1024 + 128 * 128));
  EXPECT_EQ(decoded.backupHeader, std::vector<uint8_t>(disk.end() - 512, disk.end()));
  EXPECT_EQ(decoded.backupArray, std::vector<uint8_t>(disk.end() - 33 * 512, disk.end() - 512));
  std::vector<uint8_t> damaged = bytes;
  damaged[400] ^= 1;
  EXPECT_FALSE(decodeGptBackup(damaged.data(), damaged.size(), decoded));  // the checksum

  test::ToolResult listed = cli({"rescue", "backups", "--backup-dir", folder});
  EXPECT_NE(listed.output.find(file), std::string::npos) << listed.output;

  sgdisk({"-d", "2"});
  test::ToolResult loaded = cli({"rescue", "load", file});
  ASSERT_EQ(loaded.status, 0) << loaded.output;
  EXPECT_TRUE(std::regex_search(loaded.output, std::regex(R"(FAT32\s+Start Sector : 24576\s+End Sector : 106495)")))
      << loaded.output;
  test::ToolResult written =
      cli({"rescue", "recover", "--from", file, "--start", "24576", "--yes", "--backup-dir", folder});
  ASSERT_EQ(written.status, 0) << written.output;
  EXPECT_NE(runTool({"sgdisk", "-v", image_.string()}).output.find("No problems found"), std::string::npos);
  const std::string printed = runTool({"sgdisk", "-p", image_.string()}).output;
  EXPECT_TRUE(std::regex_search(printed, std::regex(R"(\n\s+2\s+24576\s+106495\s)"))) << printed;
  EXPECT_EQ(runTool({"fls", "-o", "24576", image_.string()}).status, 0);
}

// A 4Kn disk (4096-byte LBAs, laid out here: sgdisk only makes such tables on
// real 4Kn devices) with an empty table and a FAT32 volume at LBA 256: found,
// written back in whole LBAs, read back by mmls -b 4096.
TEST_F(GptRescueTest, FourKnVolumeWrittenBackInWholeLogicalSectors) {
  BRENIX_REQUIRE_TOOL("mmls");
  constexpr uint32_t kLba = 4096;
  constexpr uint64_t kLbas = 16384;  // 64 MiB
  std::vector<uint8_t> disk(kLbas * kLba, 0);
  disk[446 + 4] = 0xEE;
  putLe32(disk.data() + 446 + 8, 1);
  putLe32(disk.data() + 446 + 12, static_cast<uint32_t>(kLbas - 1));
  disk[510] = 0x55;
  disk[511] = 0xAA;
  const std::vector<uint8_t> array(128 * 128, 0);
  GptHeader h;
  h.revision = kGptRevision1;
  h.headerSize = 92;
  h.firstUsable = 6;
  h.lastUsable = kLbas - 6;
  h.entryCount = 128;
  h.entrySize = 128;
  h.entriesCrc = crc32(array.data(), array.size());
  h.diskGuid = {7, 7, 7};
  h.myLba = 1;
  h.alternateLba = kLbas - 1;
  h.entriesLba = 2;
  encodeGptHeader(h, disk.data() + kLba, kLba);
  GptHeader b = h;
  b.myLba = kLbas - 1;
  b.alternateLba = 1;
  b.entriesLba = kLbas - 5;
  encodeGptHeader(b, disk.data() + (kLbas - 1) * kLba, kLba);
  test::writeFile(image_, disk);
  const fs::path part = dir_ / "fat4k.img";
  ASSERT_EQ(runTool({"truncate", "-s", "32M", part.string()}).status, 0);
  ASSERT_EQ(runTool({"mkfs.fat", "-F", "32", "-S", "4096", "-s", "1", part.string()}).status, 0);
  ASSERT_EQ(runTool({"dd", "if=" + part.string(), "of=" + image_.string(), "bs=4096", "seek=256", "conv=notrunc",
                     "status=none"})
                .status,
            0);
  const std::string before = test::sha256Of(image_);

  const PhysicalDisk* d = test::attachOnly(image_, catalog_);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(catalog_.tableInfo(0).logicalSectorSize, kLba);
  std::vector<PartitionInfo> found;
  ASSERT_TRUE(searchLostPartitions(catalog_, d, found));
  PartitionInfo* fat = nullptr;
  for (PartitionInfo& p : found)
    if (p.volumeStart == 256 * 8 && p.fs() == "FAT32") fat = &p;
  ASSERT_NE(fat, nullptr);
  EXPECT_EQ(fat->totalBytes, 32u << 20);  // 8192 sectors of 4096 bytes
  RecoveryOutcome r = recoverPartition(catalog_, d, fat, dir_ / "undo", [](const RecoveryPlan&) { return true; });
  ASSERT_EQ(r.code, RecoveryCode::Written) << r.detail;

  const std::string mmls = runTool({"mmls", "-b", "4096", image_.string()}).output;
  EXPECT_TRUE(std::regex_search(mmls, std::regex(R"(0000000256\s+0000008447\s+0000008192)"))) << mmls;
  SectorReader reader;
  ASSERT_TRUE(reader.openPath(image_.string(), OpenMode::Read));
  PartitionList list;
  DiscoveryState state;
  ASSERT_TRUE(readPartitionTable(reader, reader.sizeBytes(), 0, list, state));
  EXPECT_EQ(state.gptCopy, "primary");
  EXPECT_TRUE(state.problems.empty()) << state.problems[0];
  bool listed = false;
  for (const auto& p : list) listed = listed || (p.volumeStart == 2048 && p.fs() == "FAT32");
  EXPECT_TRUE(listed);
  reader.close();

  UndoRecord undo;
  std::string error;
  ASSERT_TRUE(readUndoFile(r.undoPath, undo, &error)) << error;
  PartitionTableWriter writer(image_.string(), *d);
  ASSERT_TRUE(writer.undo(undo).ok);
  EXPECT_EQ(test::sha256Of(image_), before);
}

}  // namespace
}  // namespace brenix::rescue
