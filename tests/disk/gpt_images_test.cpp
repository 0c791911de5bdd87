// GUID partition tables made by sgdisk, with real file systems in the
// partitions, checked against sgdisk's and mmls's view; the backup copy; a
// 4Kn layout; deleted-file and raw scans of a GPT partition.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>

#include "common/bytes.h"
#include "disk/gpt.h"
#include "disk/partition_discovery.h"
#include "support/temp_dir.h"
#include "support/tools.h"

namespace brenix {
namespace {

namespace fs = std::filesystem;
using test::runTool;
using test::ToolResult;

struct Listed {
  bool ok = false;
  PartitionList list;
  DiscoveryState state;
};

Listed discover(const fs::path& image) {
  SectorReader reader;
  EXPECT_TRUE(reader.openPath(image.string(), OpenMode::Read));
  Listed l;
  l.ok = readPartitionTable(reader, reader.sizeBytes(), 0, l.list, l.state);
  return l;
}

const PartitionInfo* findByStart(const PartitionList& list, uint64_t start) {
  for (const auto& p : list)
    if (p.startSector() == start && p.fs() != "Deleted") return &p;
  return nullptr;
}

std::string nameOf(const DiscoveryState& state, uint64_t start) {
  for (const auto& n : state.names)
    if (n.volumeStart == start) return n.name;
  return "<none>";
}

void placeAt(const fs::path& disk, const fs::path& part, uint64_t sector, uint32_t blockSize = 512) {
  ASSERT_EQ(runTool({"dd", "if=" + part.string(), "of=" + disk.string(), "bs=" + std::to_string(blockSize),
                     "seek=" + std::to_string(sector), "conv=notrunc", "status=none"})
                .status,
            0);
}

// mmls rows: "004:  000       0000002048   0000034815   0000032768   Camera Pictures"
struct MmlsRow {
  uint64_t start, length;
  std::string description;
};
std::vector<MmlsRow> mmlsRows(const std::string& text) {
  // Blanks only before the description: an empty one must not take the next row.
  std::regex line(R"(\d+:[ \t]+(\S+)[ \t]+(\d+)[ \t]+\d+[ \t]+(\d+)[ \t]*([^\n]*))");
  std::vector<MmlsRow> out;
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
    if ((*it)[1] == "Meta") continue;
    out.push_back({std::stoull((*it)[2]), std::stoull((*it)[3]), (*it)[4]});
  }
  return out;
}

class SgdiskDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"sgdisk", "mmls", "mkfs.fat", "mke2fs", "mkntfs", "mcopy", "mdel"})
      if (!test::haveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    const char* source = std::getenv("BRENIX_SOURCE_DIR");
    if (!source) GTEST_SKIP() << "BRENIX_SOURCE_DIR not set";
    picture_ = test::readFile(fs::path(source) / "data" / "demo" / "Beach sunset.jpg");
    ASSERT_FALSE(picture_.empty());
    image_ = dir_ / "gpt.img";
    ASSERT_EQ(runTool({"truncate", "-s", "128M", image_.string()}).status, 0);
    // Four partitions with gaps between them; partition 3 holds no file system.
    ToolResult r = runTool({"sgdisk", "-n", "1:2048:+40M", "-t", "1:0700", "-c", "1:Camera Pictures",
                            "-n", "2:90112:+12M", "-t", "2:8300", "-c", "2:linuxdata",
                            "-n", "3:118784:+8M", "-t", "3:ef00", "-c", "3:EFI system",
                            "-n", "4:139264:+16M", "-t", "4:0700", "-c", "4:Windows", image_.string()});
    ASSERT_EQ(r.status, 0) << r.output;
    // FAT32 with one kept and one deleted picture.
    const fs::path fat = dir_ / "fat.img";
    ASSERT_EQ(runTool({"truncate", "-s", "40M", fat.string()}).status, 0);
    ASSERT_EQ(runTool({"mkfs.fat", "-F", "32", "-s", "1", "-n", "CAMERA", fat.string()}).status, 0);
    test::writeFile(dir_ / "gone.jpg", picture_);
    std::vector<uint8_t> noise(20000);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 7 + 3);
    test::writeFile(dir_ / "keep.bin", noise);
    ASSERT_EQ(runTool({"mcopy", "-i", fat.string(), (dir_ / "keep.bin").string(), "::/KEEP.BIN"}).status, 0);
    ASSERT_EQ(runTool({"mcopy", "-i", fat.string(), (dir_ / "gone.jpg").string(), "::/GONE.JPG"}).status, 0);
    ASSERT_EQ(runTool({"mdel", "-i", fat.string(), "::/GONE.JPG"}).status, 0);
    placeAt(image_, fat, 2048);
    const fs::path ext = dir_ / "ext.img";
    ASSERT_EQ(runTool({"truncate", "-s", "12M", ext.string()}).status, 0);
    ASSERT_EQ(runTool({"mke2fs", "-q", "-F", "-t", "ext4", "-L", "penguin", ext.string()}).status, 0);
    placeAt(image_, ext, 90112);
    const fs::path ntfs = dir_ / "ntfs.img";
    ASSERT_EQ(runTool({"truncate", "-s", "16M", ntfs.string()}).status, 0);
    ASSERT_EQ(runTool({"mkntfs", "-q", "-F", "-Q", "-L", "WINDATA", "-p", "139264", ntfs.string()}).status, 0);
    placeAt(image_, ntfs, 139264);
  }

  test::ToolResult cli(std::vector<std::string> args) {
    const char* cli = std::getenv("BRENIX_CLI");
    if (!cli || !fs::exists(cli)) return {};
    args.insert(args.begin(), cli);
    for (const std::string a : {"--images-only", "--image"}) args.push_back(a);
    args.push_back(image_.string());
    return runTool(args);
  }

  test::TempDir dir_;
  fs::path image_;
  std::vector<uint8_t> picture_;
};

TEST_F(SgdiskDiskTest, PartitionsAndGapsEqualSgdiskAndMmls) {
  Listed l = discover(image_);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.state.tableKind, TableKind::Gpt);
  EXPECT_EQ(l.state.gptCopy, "primary");
  EXPECT_TRUE(l.state.problems.empty());

  // "   1            2048           83967   40.0 MiB    0700  Camera Pictures"
  const std::string printed = runTool({"sgdisk", "-p", image_.string()}).output;
  std::regex row(R"(\n\s+(\d+)\s+(\d+)\s+(\d+)\s+\S+ \S+\s+\S+\s+([^\n]+))");
  int rows = 0;
  for (std::sregex_iterator it(printed.begin(), printed.end(), row), end; it != end; ++it, ++rows) {
    const uint64_t start = std::stoull((*it)[2]), last = std::stoull((*it)[3]);
    const PartitionInfo* p = findByStart(l.list, start);
    ASSERT_NE(p, nullptr) << start;
    EXPECT_EQ(p->totalBytes, (last - start + 1) * 512);
    EXPECT_EQ(nameOf(l.state, static_cast<uint32_t>(start)), (*it)[4].str());
  }
  EXPECT_EQ(rows, 4) << printed;

  // Named from what is in them; the empty EFI partition by its type GUID.
  EXPECT_EQ(findByStart(l.list, 2048)->fs(), "FAT32");
  EXPECT_EQ(findByStart(l.list, 90112)->fs(), "EXT4");
  EXPECT_EQ(findByStart(l.list, 90112)->label(), "penguin");
  EXPECT_EQ(findByStart(l.list, 118784)->fs(), "Unknown");
  EXPECT_EQ(findByStart(l.list, 118784)->label(), "EFI System");
  EXPECT_EQ(findByStart(l.list, 139264)->fs(), "NTFS");

  // mmls: the same partitions, and the same free stretches between them
  // (its first and last stretches also count the table's own sectors).
  std::vector<MmlsRow> mmls = mmlsRows(runTool({"mmls", image_.string()}).output);
  std::vector<std::pair<uint64_t, uint64_t>> ours, theirs;
  for (const auto& p : l.list) ours.emplace_back(p.volumeStart, p.totalBytes / 512);
  for (const auto& m : mmls) theirs.emplace_back(m.start, m.length);
  ASSERT_EQ(ours.size(), theirs.size());
  for (size_t i = 1; i + 1 < ours.size(); ++i) EXPECT_EQ(ours[i], theirs[i]) << i;
  EXPECT_EQ(ours.front(), std::make_pair(uint64_t(34), uint64_t(2048 - 34)));  // from the first usable LBA
  const uint64_t lastUsable = 262144 - 34;                                      // 128 MiB less the backup copy
  EXPECT_EQ(ours.back().first, theirs.back().first);
  EXPECT_EQ(ours.back().first + ours.back().second, lastUsable + 1);

  // The command line says the table kind and shows the names.
  ToolResult json = cli({"disks", "--json"});
  if (json.status == -1) GTEST_SKIP() << "the brenix program is not built";
  ASSERT_EQ(json.status, 0) << json.output;
  auto j = nlohmann::json::parse(json.output);
  EXPECT_EQ(j["disks"][0]["tableKind"], "gpt");
  EXPECT_EQ(j["disks"][0]["gptCopy"], "primary");
  EXPECT_EQ(j["disks"][0]["partitions"][1]["name"], "Camera Pictures");
  EXPECT_EQ(j["disks"][0]["partitions"][1]["fsName"], "FAT32");
  ToolResult text = cli({"disks"});
  EXPECT_NE(text.output.find("FAT32 (40.00 MB)  \"Camera Pictures\""), std::string::npos) << text.output;
}

TEST_F(SgdiskDiskTest, DamagedPrimaryIsReadFromTheBackup) {
  const std::vector<uint8_t> zeros(512, 0);
  {
    std::fstream f(image_, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(512);
    f.write(reinterpret_cast<const char*>(zeros.data()), 512);  // LBA 1: the primary header
  }
  Listed l = discover(image_);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.state.gptCopy, "backup");
  ASSERT_FALSE(l.state.problems.empty());
  EXPECT_NE(l.state.problems[0].find("primary GPT header"), std::string::npos) << l.state.problems[0];
  ASSERT_NE(findByStart(l.list, 139264), nullptr);
  EXPECT_EQ(findByStart(l.list, 139264)->fs(), "NTFS");
  EXPECT_EQ(nameOf(l.state, 2048), "Camera Pictures");
  EXPECT_EQ(l.list.size(), 9u);

  // Header intact but its entry array changed: the array CRC sends it to the backup too.
  ASSERT_EQ(runTool({"sgdisk", "-e", image_.string()}).status, 0);  // sgdisk rebuilds the primary from the backup
  ASSERT_EQ(discover(image_).state.gptCopy, "primary");
  {
    std::fstream f(image_, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(1024 + 56);  // entry 1's name
    f.write("X", 1);
  }
  l = discover(image_);
  EXPECT_EQ(l.state.gptCopy, "backup");
  EXPECT_EQ(nameOf(l.state, 2048), "Camera Pictures");
  EXPECT_NE(l.state.problems[0].find("entry array CRC32"), std::string::npos) << l.state.problems[0];

  // Both copies gone: no valid table at all, the whole disk is one free
  // region for the lost-partition search.
  {
    std::fstream f(image_, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(512);
    f.write(reinterpret_cast<const char*>(zeros.data()), 512);
    f.seekp((262144 - 1) * 512);
    f.write(reinterpret_cast<const char*>(zeros.data()), 512);
  }
  l = discover(image_);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.state.tableKind, TableKind::None);
  EXPECT_TRUE(l.state.protectiveMbr);
  ASSERT_EQ(l.list.size(), 1u);
  EXPECT_EQ(l.list[0].fs(), "Deleted");
  EXPECT_EQ(l.list[0].volumeStart, 63u);
  EXPECT_EQ(l.list[0].endSector(), 262144u);
}

TEST_F(SgdiskDiskTest, DeletedAndRawScansOfAGptPartitionRecoverThePicture) {
  const std::string before = test::sha256Of(image_);
  const fs::path deleted = dir_ / "deleted", raw = dir_ / "raw";
  ToolResult r = cli({"recover", "--partition", "1", "--mode", "deleted", "--all", "--out", deleted.string()});
  if (r.status == -1) GTEST_SKIP() << "the brenix program is not built";
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(test::readFile(deleted / "#ONE.JPG"), picture_);  // FAT keeps the name without its first letter
  r = cli({"recover", "--partition", "1", "--mode", "raw", "--types", "jpg", "--all", "--out", raw.string()});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(test::readFile(raw / "jpg" / "File0.jpg"), picture_);
  EXPECT_EQ(test::sha256Of(image_), before);
}

// A 4Kn disk: 4096-byte LBAs, the header at byte 4096. sgdisk only makes such
// tables on real 4Kn devices, so the layout is put together here and checked
// with mmls -b 4096.
TEST(GptFourKn, ListsInFiveTwelveByteSectors) {
  for (const char* tool : {"mmls", "mkfs.fat", "mke2fs"})
    if (!test::haveTool(tool)) GTEST_SKIP() << tool << " is not installed";
  test::TempDir dir;
  constexpr uint32_t kLba = 4096;
  constexpr uint64_t kLbas = 16384;  // 64 MiB
  std::vector<uint8_t> disk(kLbas * kLba, 0);
  // Protective MBR.
  uint8_t* mbr = disk.data();
  mbr[446 + 4] = 0xEE;
  putLe32(mbr + 446 + 8, 1);
  putLe32(mbr + 446 + 12, static_cast<uint32_t>(kLbas - 1));
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  std::vector<uint8_t> array(128 * 128, 0);
  Guid basic{}, linuxFs{};
  ASSERT_TRUE(parseGuid("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", basic));
  ASSERT_TRUE(parseGuid("0FC63DAF-8483-4772-8E79-3D69D8477DE4", linuxFs));
  GptEntry fat{0, basic, {1}, 256, 256 + 8191, 0, "pictures"};
  GptEntry ext{1, linuxFs, {2}, 10240, 10240 + 4095, 0, "home"};
  encodeGptEntry(fat, array.data(), 128);
  encodeGptEntry(ext, array.data() + 128, 128);
  GptHeader h;
  h.revision = kGptRevision1;
  h.headerSize = 92;
  h.firstUsable = 6;               // header at 1, array at 2..5
  h.lastUsable = kLbas - 6;        // backup array at kLbas-5..kLbas-2, header at kLbas-1
  h.entryCount = 128;
  h.entrySize = 128;
  h.entriesCrc = crc32(array.data(), array.size());
  h.diskGuid = {9, 9, 9};
  h.myLba = 1;
  h.alternateLba = kLbas - 1;
  h.entriesLba = 2;
  encodeGptHeader(h, disk.data() + kLba, kLba);
  std::copy(array.begin(), array.end(), disk.begin() + 2 * kLba);
  GptHeader b = h;
  b.myLba = kLbas - 1;
  b.alternateLba = 1;
  b.entriesLba = kLbas - 5;
  encodeGptHeader(b, disk.data() + (kLbas - 1) * kLba, kLba);
  std::copy(array.begin(), array.end(), disk.begin() + static_cast<long>((kLbas - 5) * kLba));
  const fs::path image = dir / "4kn.img";
  test::writeFile(image, disk);

  const fs::path fatPart = dir / "fat.img", extPart = dir / "ext.img";
  ASSERT_EQ(runTool({"truncate", "-s", "32M", fatPart.string()}).status, 0);
  ASSERT_EQ(runTool({"mkfs.fat", "-F", "32", "-S", "4096", "-s", "1", fatPart.string()}).status, 0);
  placeAt(image, fatPart, 256, kLba);
  ASSERT_EQ(runTool({"truncate", "-s", "16M", extPart.string()}).status, 0);
  ASSERT_EQ(runTool({"mke2fs", "-q", "-F", "-t", "ext4", "-b", "4096", extPart.string()}).status, 0);
  placeAt(image, extPart, 10240, kLba);

  Listed l = discover(image);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.state.tableKind, TableKind::Gpt);
  EXPECT_EQ(l.state.logicalSectorSize, kLba);
  EXPECT_TRUE(l.state.problems.empty()) << l.state.problems[0];
  // mmls in 4096-byte units; the records count 512-byte sectors.
  std::vector<MmlsRow> mmls = mmlsRows(runTool({"mmls", "-b", "4096", image.string()}).output);
  int partitions = 0;
  for (const auto& m : mmls) {
    if (m.description.find("Unallocated") != std::string::npos) continue;
    const PartitionInfo* p = findByStart(l.list, m.start * 8);
    ASSERT_NE(p, nullptr) << m.start;
    EXPECT_EQ(p->totalBytes, m.length * kLba);
    EXPECT_EQ(nameOf(l.state, p->volumeStart), m.description);
    ++partitions;
  }
  EXPECT_EQ(partitions, 2);
  EXPECT_EQ(findByStart(l.list, 256 * 8)->fs(), "FAT32");
  EXPECT_EQ(findByStart(l.list, 10240 * 8)->fs(), "EXT4");
  // The gap between them, in 512-byte sectors.
  bool gap = false;
  for (const auto& p : l.list)
    if (p.fs() == "Deleted" && p.volumeStart == (256 + 8192) * 8) {
      gap = true;
      EXPECT_EQ(p.totalBytes, uint64_t(10240 - 256 - 8192) * kLba);
    }
  EXPECT_TRUE(gap);
}

// A 3 TiB sparse disk whose GPT (made by sgdisk) holds one partition that
// crosses sector 2^32 and one wholly past it, with a FAT32 volume holding a
// deleted picture: both are listed as mmls lists them, and the deleted-file
// scan of the far one recovers the picture.
TEST(GptPastTwoTerabytes, PartitionsPastSector2To32AreListedAndScanned) {
  for (const char* tool : {"sgdisk", "mmls", "mkfs.fat", "mcopy", "mdel"})
    if (!test::haveTool(tool)) GTEST_SKIP() << tool << " is not installed";
  const char* source = std::getenv("BRENIX_SOURCE_DIR");
  if (!source) GTEST_SKIP() << "BRENIX_SOURCE_DIR not set";
  const std::vector<uint8_t> picture = test::readFile(fs::path(source) / "data" / "demo" / "Beach sunset.jpg");
  ASSERT_FALSE(picture.empty());
  test::TempDir dir;
  const fs::path image = dir / "big.img";
  ASSERT_EQ(runTool({"truncate", "-s", "3T", image.string()}).status, 0);
  constexpr uint64_t k2To32 = uint64_t(1) << 32;
  const uint64_t crossing = k2To32 - 16384, far = k2To32 + 1048576;
  // Every partition named: mmls rows without a description do not parse.
  ToolResult r = runTool({"sgdisk", "-n", "1:2048:+8M", "-c", "1:Low", "-n", "2:" + std::to_string(crossing) + ":+16M",
                          "-c", "2:Across", "-n", "3:" + std::to_string(far) + ":+40M", "-t", "3:0700", "-c",
                          "3:Far Pictures", image.string()});
  ASSERT_EQ(r.status, 0) << r.output;
  const fs::path fat = dir / "fat.img";
  ASSERT_EQ(runTool({"truncate", "-s", "40M", fat.string()}).status, 0);
  ASSERT_EQ(runTool({"mkfs.fat", "-F", "32", "-s", "1", "-n", "FAR", fat.string()}).status, 0);
  test::writeFile(dir / "gone.jpg", picture);
  ASSERT_EQ(runTool({"mcopy", "-i", fat.string(), (dir / "gone.jpg").string(), "::/GONE.JPG"}).status, 0);
  ASSERT_EQ(runTool({"mdel", "-i", fat.string(), "::/GONE.JPG"}).status, 0);
  placeAt(image, fat, far);

  Listed l = discover(image);
  ASSERT_TRUE(l.ok);
  EXPECT_TRUE(l.state.problems.empty()) << l.state.problems.front();
  const PartitionInfo* across = findByStart(l.list, crossing);
  const PartitionInfo* farPart = findByStart(l.list, far);
  ASSERT_NE(across, nullptr);
  ASSERT_NE(farPart, nullptr);
  EXPECT_EQ(across->totalBytes, uint64_t(16) << 20);
  EXPECT_EQ(farPart->totalBytes, uint64_t(40) << 20);
  EXPECT_EQ(farPart->fs(), "FAT32");
  EXPECT_EQ(nameOf(l.state, far), "Far Pictures");
  // mmls: the same partitions and free stretches, in the same order (its
  // first and last stretches also count the table's own sectors).
  std::vector<MmlsRow> mmls = mmlsRows(runTool({"mmls", image.string()}).output);
  ASSERT_EQ(l.list.size(), mmls.size());
  for (size_t i = 1; i + 1 < mmls.size(); ++i) {
    EXPECT_EQ(l.list[i].startSector(), mmls[i].start) << i;
    EXPECT_EQ(l.list[i].totalBytes / 512, mmls[i].length) << i;
    EXPECT_EQ(l.list[i].slotPosition(), mmls[i].start) << i;
  }

  const char* cliPath = std::getenv("BRENIX_CLI");
  if (!cliPath || !fs::exists(cliPath)) GTEST_SKIP() << "the brenix program is not built";
  size_t index = 0;
  while (&l.list[index] != farPart) ++index;
  const fs::path out = dir / "out";
  r = runTool({cliPath, "recover", "--images-only", "--image", image.string(), "--disk", "0", "--partition",
               std::to_string(index), "--mode", "deleted", "--all", "--out", out.string()});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(test::readFile(out / "#ONE.JPG"), picture);
}

}  // namespace
}  // namespace brenix
