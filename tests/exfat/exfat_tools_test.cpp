// The exFAT engine on cards made by mkfs.exfat and changed through
// exfat-fuse, checked against the bytes put there and against The Sleuth
// Kit's fls; the command line on such a card; and a quick re-format.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>

#include "exfat/exfat_card.h"
#include "exfat/exfat_engine.h"
#include "support/tools.h"

namespace brenix {
namespace {

namespace fs = std::filesystem;
using test::ExFatCard;
using test::exfatContent;
using test::TempDir;

std::vector<std::string> foundPaths(const test::ExFatRun& run) {
  std::vector<std::string> out;
  for (const auto& [path, item] : run.byPath()) out.push_back(path);
  return out;
}

TEST(ExFatTools, DeletedFilesEqualFlsAndRecoverByteForByte) {
  TempDir dir;
  ExFatCard card(dir, 96);
  BRENIX_REQUIRE_CARD(card);
  ASSERT_TRUE(card.format({"-c", "4K"}));
  ASSERT_TRUE(card.mount());
  card.mkdir("DCIM/100CAMERA");
  card.put("note.txt", exfatContent(37, 1));                                   // less than a cluster
  card.put("DCIM/100CAMERA/IMG_0001.JPG", exfatContent(300 * 1024 + 5, 2));   // many clusters
  card.put("DCIM/100CAMERA/IMG_0002.JPG", exfatContent(4096, 3));             // exactly one cluster
  card.put("DCIM/100CAMERA/Holiday at the sea, day two (the long one).jpeg", exfatContent(77777, 4));
  // A fragmented file: it fills the gap a deleted file left and goes on past a live one.
  card.put("a.bin", exfatContent(64 * 1024, 5));
  card.put("gap.bin", exfatContent(40 * 1024, 6));
  card.put("keep.bin", exfatContent(64 * 1024, 7));
  card.remove("gap.bin");
  card.put("fragmented.bin", exfatContent(150 * 1024 + 11, 8));
  // A deleted folder with a file and a subfolder in it.
  card.mkdir("Trip/Day1");
  card.put("Trip/map.png", exfatContent(20000, 9));
  card.put("Trip/Day1/P1.JPG", exfatContent(123456, 10));
  ASSERT_TRUE(card.unmount());
  ASSERT_TRUE(card.mount());
  for (const char* gone : {"note.txt", "DCIM/100CAMERA/IMG_0001.JPG", "DCIM/100CAMERA/IMG_0002.JPG",
                           "DCIM/100CAMERA/Holiday at the sea, day two (the long one).jpeg", "fragmented.bin", "Trip"})
    card.remove(gone);
  ASSERT_TRUE(card.unmount());

  auto run = test::scanExFatImage(card.image(), ScanMode::Deleted);
  const std::vector<std::string> expected = {"DCIM/100CAMERA/Holiday at the sea, day two (the long one).jpeg",
                                             "DCIM/100CAMERA/IMG_0001.JPG",
                                             "DCIM/100CAMERA/IMG_0002.JPG",
                                             "Trip/Day1/P1.JPG",
                                             "Trip/map.png",
                                             "fragmented.bin",
                                             "note.txt"};
  EXPECT_EQ(foundPaths(*run), expected);
  BRENIX_REQUIRE_TOOL("fls");
  EXPECT_EQ(foundPaths(*run), test::flsDeletedFiles(card.image()));

  auto* engine = dynamic_cast<exfat::ExFatEngine*>(run->engine.get());
  ASSERT_NE(engine, nullptr);
  EXPECT_TRUE(engine->volume()->bootChecksumOk());
  EXPECT_TRUE(engine->volume()->haveBitmap());
  for (const auto& [path, item] : run->byPath()) {
    WriteStatus status{};
    const std::vector<uint8_t> bytes = run->recover(*item, &status);
    EXPECT_EQ(status, WriteStatus::Ok) << path;
    EXPECT_EQ(item->condition, ItemCondition::Intact) << path;
    EXPECT_TRUE(bytes == card.planted(path)) << path << ": " << bytes.size() << " bytes recovered";
  }
  // The fragmented file really lay in more than one piece, and its chain was gone.
  const FoundItem* frag = run->byPath().at("fragmented.bin");
  const exfat::Item& rec = engine->records().at(frag->engineIndex);
  const exfat::Placement place =
      exfat::placeData(*engine->volume(), rec.entry.firstCluster, rec.entry.dataLength, rec.entry.noFatChain());
  EXPECT_GT(place.runs.size(), 1u);
  EXPECT_FALSE(place.followedChain);
}

TEST(ExFatTools, QuickReformatGivesTheOldFilesBack) {
  TempDir dir;
  ExFatCard card(dir, 64);
  BRENIX_REQUIRE_CARD(card);
  ASSERT_TRUE(card.format({"-c", "8K"}));
  ASSERT_TRUE(card.mount());
  card.mkdir("DCIM/100CAMERA");
  card.mkdir("DCIM/101CAMERA");
  for (int i = 1; i <= 5; ++i)
    card.put("DCIM/100CAMERA/IMG_000" + std::to_string(i) + ".JPG", exfatContent(30000u * i + 7, 20u + i));
  card.put("DCIM/101CAMERA/MVI_0001.MOV", exfatContent(700000, 30));
  card.put("DCIM/101CAMERA/deleted before.JPG", exfatContent(12345, 31));
  card.remove("DCIM/101CAMERA/deleted before.JPG");
  ASSERT_TRUE(card.unmount());
  ASSERT_TRUE(card.format({"-c", "8K"}));  // a quick format over the same card, as a camera does it

  // A card without a partition table is one whole-disk volume, named by its boot sector.
  const char* cli = std::getenv("BRENIX_CLI");
  ASSERT_NE(cli, nullptr);
  const auto disks = test::runTool({cli, "disks", "--images-only", "--image", card.image().string()});
  EXPECT_NE(disks.output.find("0  (*:\\) exFAT (64.00 MB)"), std::string::npos) << disks.output;

  auto run = test::scanExFatImage(card.image(), ScanMode::Formatted);
  const auto found = run->byPath();
  // The old root is gone with its entry for DCIM; the camera folders keep their names.
  std::set<std::string> names;
  for (const auto& [path, item] : found) {
    const size_t slash = path.rfind('/', path.rfind('/') - 1);
    const std::string tail = path.substr(slash == std::string::npos ? 0 : slash + 1);
    names.insert(tail);
    if (!item->deleted) {
      WriteStatus status{};
      const std::vector<uint8_t> bytes = run->recover(*item, &status);
      EXPECT_TRUE(!bytes.empty() && bytes == card.planted("DCIM/" + tail)) << path;
      EXPECT_EQ(status, WriteStatus::Ok) << path;
    }
  }
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(names.count("100CAMERA/IMG_000" + std::to_string(i) + ".JPG"), 1u);
  EXPECT_EQ(names.count("101CAMERA/MVI_0001.MOV"), 1u);
  EXPECT_EQ(names.count("101CAMERA/deleted before.JPG"), 1u);
  EXPECT_TRUE(found.begin()->first.rfind("Lost Files/", 0) == 0) << found.begin()->first;
}

// A new file written after the delete takes the deleted picture's clusters:
// the picture is still listed, marked as probably overwritten.
TEST(ExFatTools, DeletedFileWhoseClustersANewFileTookIsMarked) {
  TempDir dir;
  ExFatCard card(dir, 32);
  BRENIX_REQUIRE_CARD(card);
  ASSERT_TRUE(card.format());
  ASSERT_TRUE(card.mount());
  card.mkdir("DCIM");
  card.put("DCIM/old.jpg", exfatContent(100000, 50));
  ASSERT_TRUE(card.unmount());
  ASSERT_TRUE(card.mount());
  card.remove("DCIM/old.jpg");
  card.put("new.bin", exfatContent(50000, 51));
  ASSERT_TRUE(card.unmount());
  auto run = test::scanExFatImage(card.image(), ScanMode::Deleted);
  const auto found = run->byPath();
  ASSERT_EQ(found.count("DCIM/old.jpg"), 1u);
  EXPECT_EQ(found.at("DCIM/old.jpg")->condition, ItemCondition::ProbablyOverwritten);
  // Its first bytes are now the new file's.
  const auto bytes = run->recover(*found.at("DCIM/old.jpg"));
  const auto now = card.planted("new.bin");
  ASSERT_GE(bytes.size(), 4096u);
  EXPECT_TRUE(std::equal(now.begin(), now.begin() + 4096, bytes.begin()));
}

// The command line on a partitioned card: disks names the partition, recover
// writes the deleted pictures with their folders.
TEST(ExFatTools, CommandLineListsAndRecoversAnExFatPartition) {
  TempDir dir;
  ExFatCard card(dir, 48, 2048);
  BRENIX_REQUIRE_CARD(card);
  ASSERT_TRUE(card.format());
  ASSERT_TRUE(card.mount());
  card.mkdir("DCIM");
  for (int i = 1; i <= 4; ++i) card.put("DCIM/IMG_000" + std::to_string(i) + ".JPG", exfatContent(50000u + i, 40u + i));
  ASSERT_TRUE(card.unmount());
  ASSERT_TRUE(card.mount());
  for (int i = 1; i <= 4; ++i) card.remove("DCIM/IMG_000" + std::to_string(i) + ".JPG");
  ASSERT_TRUE(card.unmount());

  const char* cli = std::getenv("BRENIX_CLI");
  ASSERT_NE(cli, nullptr);
  const auto disks = test::runTool({cli, "disks", "--images-only", "--image", card.image().string()});
  EXPECT_EQ(disks.status, 0) << disks.output;
  EXPECT_NE(disks.output.find("exFAT"), std::string::npos) << disks.output;
  const fs::path out = dir / "out";
  const auto rec = test::runTool({cli, "recover", "--images-only", "--image", card.image().string(), "--disk", "0",
                                  "--partition", "1", "--preset", "pictures", "--all", "--out", out.string()});
  EXPECT_EQ(rec.status, 0) << rec.output;
  for (int i = 1; i <= 4; ++i) {
    const std::string name = "DCIM/IMG_000" + std::to_string(i) + ".JPG";
    EXPECT_TRUE(fs::exists(out / name) && test::readFile(out / name) == card.planted(name)) << name << "\n" << rec.output;
  }
}

}  // namespace
}  // namespace brenix
