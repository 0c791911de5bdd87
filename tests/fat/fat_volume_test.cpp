// The volume layer: geometry of real and hostile boot sectors, table
// entries, chains, long-name pieces and the directory-block test.
#include <gtest/gtest.h>

#include "common/clock.h"
#include "fat/fat_test_image.h"
#include "fat/fat_volume.h"

namespace brenix {
namespace {

using test::DirBytes;
using test::FatImage;

class FatVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override { setClockForTesting([] { return test::kTestNow; }); }
  void TearDown() override { setClockForTesting({}); }
};

TEST_F(FatVolumeTest, Fat16WithARootRegionOfManyClustersUsesItsRealGeometry) {
  // 512 root entries = 32 sectors, clusters of 2 sectors: the common FAT16 layout.
  FatImage img = FatImage::fat16(20480, 2, 512);
  auto v = img.open(FatVariant::Fat16);
  ASSERT_TRUE(v->isOpen()) << v->error();
  EXPECT_EQ(v->geometry().type, FatType::Fat16);
  EXPECT_EQ(v->clusterOffset(1), img.rootOffset());
  EXPECT_EQ(v->unitBytes(1), 512u * 32);
  EXPECT_EQ(v->clusterOffset(2), img.rootOffset() + 32 * 512);  // right after the whole root region
  EXPECT_EQ(v->clusterOffset(5), img.clusterOffset(5));

  // Where the root region is exactly one cluster, cluster 2 lies one cluster after its start.
  FatImage one = FatImage::fat16(20480, 2, 32);
  auto v1 = one.open(FatVariant::Fat16);
  ASSERT_TRUE(v1->isOpen());
  EXPECT_EQ(v1->clusterOffset(2) - v1->clusterOffset(1), v1->geometry().clusterBytes());
}

TEST_F(FatVolumeTest, VariantIsDecidedByTheBootSectorNotTheAskedName) {
  FatImage f16 = FatImage::fat16();
  FatImage f32 = FatImage::fat32();
  EXPECT_FALSE(f16.open(FatVariant::Fat32)->isOpen());
  EXPECT_FALSE(f32.open(FatVariant::Fat16)->isOpen());
  EXPECT_TRUE(f32.open(FatVariant::Fat32)->isOpen());

  // A FAT12 volume is read with 12-bit entries by the FAT16 variant, never as FAT16.
  FatImage f12 = FatImage::fat12();
  f12.chain({2, 3, 4});
  f12.chain({5});
  auto v = f12.open(FatVariant::Fat16);
  ASSERT_TRUE(v->isOpen()) << v->error();
  EXPECT_EQ(v->geometry().type, FatType::Fat12);
  EXPECT_EQ(v->next(2), 3u);
  EXPECT_EQ(v->next(3), 4u);
  EXPECT_TRUE(v->isEndOfChain(v->next(4)));
  EXPECT_TRUE(v->isEndOfChain(v->next(5)));
  EXPECT_EQ(v->next(6), 0u);
  EXPECT_FALSE(f12.open(FatVariant::Fat32)->isOpen());
}

TEST_F(FatVolumeTest, HostileBootSectorsAreRefusedOrBounded) {
  {
    FatImage img = FatImage::fat16();
    img.boot()[13] = 0;  // zero sectors per cluster
    EXPECT_FALSE(img.open(FatVariant::Fat16)->isOpen());
    img.boot()[13] = 3;  // not a power of two
    EXPECT_FALSE(img.open(FatVariant::Fat16)->isOpen());
  }
  {
    FatImage img = FatImage::fat16();
    for (int i = 11; i < 62; ++i) img.boot()[i] = uint8_t(i * 37);  // garbage
    EXPECT_FALSE(img.open(FatVariant::Fat16)->isOpen());
    EXPECT_FALSE(img.open(FatVariant::Fat32)->isOpen());
  }
  {
    // A 16-bit total of 0 takes the 32-bit count.
    FatImage img = FatImage::fat16(20480);
    putLe16(img.boot() + 19, 0);
    putLe32(img.boot() + 32, 20480);
    auto v = img.open(FatVariant::Fat16);
    ASSERT_TRUE(v->isOpen());
    EXPECT_EQ(v->geometry().totalSectors, 20480u);
  }
  {
    // A table shorter than its volume: only the clusters it describes exist.
    FatImage img = FatImage::fat32(8192, 1);
    putLe32(img.boot() + 36, 4);  // 4 sectors = 512 entries
    auto v = img.open(FatVariant::Fat32);
    ASSERT_TRUE(v->isOpen());
    EXPECT_EQ(v->geometry().maxCluster(), 511u);
    EXPECT_FALSE(v->validCluster(512));
  }
  {
    // A table claimed far beyond the device is refused before anything is allocated.
    FatImage img = FatImage::fat32(8192, 1);
    putLe32(img.boot() + 32, 0xFFFFFFF0u);
    putLe32(img.boot() + 36, 0x00FFFFFFu);
    EXPECT_FALSE(img.open(FatVariant::Fat32)->isOpen());
  }
  {
    FatImage img = FatImage::fat32(8192, 1);
    putLe32(img.boot() + 44, 0x0FFFFFFF);  // root cluster out of range
    EXPECT_FALSE(img.open(FatVariant::Fat32)->isOpen());
  }
}

TEST_F(FatVolumeTest, ChainsEndAtMarksAndAreCutAtCyclesAndStrayLinks) {
  FatImage img = FatImage::fat32(8192, 1);
  img.setFat(10, 11);
  img.setFat(11, 0x1FFFFFFF);  // unmasked value above the threshold ends the chain
  img.setFat(20, 21);
  img.setFat(21, 22);
  img.setFat(22, 20);  // cycle
  img.setFat(30, 0x0FFFFF00);  // successor outside the volume
  auto v = img.open(FatVariant::Fat32);
  ASSERT_TRUE(v->isOpen());
  bool complete = false;
  EXPECT_EQ(v->chain(10, 100, &complete), (std::vector<uint32_t>{10, 11}));
  EXPECT_TRUE(complete);
  EXPECT_EQ(v->chain(20, 100, &complete), (std::vector<uint32_t>{20, 21, 22}));
  EXPECT_FALSE(complete);
  EXPECT_EQ(v->chain(30, 100, &complete), (std::vector<uint32_t>{30}));
  EXPECT_FALSE(complete);
  EXPECT_TRUE(v->chain(9000000, 100, &complete).empty());
}

TEST_F(FatVolumeTest, ShortChainCountAddsChainsBelowFourClustersAndSurvivesCycles) {
  FatImage img = FatImage::fat16();
  img.chain({2});
  img.chain({3, 4});
  img.chain({5, 6, 7});
  img.chain({8, 9, 10, 11});  // four clusters: not short
  img.setFat(12, 13);
  img.setFat(13, 12);  // a two-cluster cycle
  auto v = img.open(FatVariant::Fat16);
  ASSERT_TRUE(v->isOpen());
  EXPECT_EQ(v->shortChainCount(), 1u + 2 + 3 + 2);
}

TEST_F(FatVolumeTest, LongNamePiecesBecomeUtf8WithUnderscoreForUnconvertibleUnits) {
  DirBytes d;
  d.named(u"Caf\u00e9 \u65e5\u672c.jpg", "CAFE~1  JPG", 0x20, 5, 10);
  EXPECT_EQ(decodeLongNamePiece(d.bytes.data()), "Caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac.jpg");
  DirBytes bad;
  bad.named(std::u16string(u"ab") + char16_t(0xD800) + u"c", "AB~1       ", 0x20, 5, 10);
  EXPECT_EQ(decodeLongNamePiece(bad.bytes.data()), "ab_c");
  EXPECT_EQ(shortNameChecksum(d.bytes.data() + 32), d.bytes[13]);
}

TEST_F(FatVolumeTest, DirectoryBlockTest) {
  DirBlockParams p{false, 100000, 2026};
  auto block = [](DirBytes d) {
    d.bytes.resize(512, 0);
    return d.bytes;
  };
  // "." and ".." pass at once.
  EXPECT_TRUE(looksLikeDirectoryBlock(block(DirBytes().dots(5, 0)), p));
  // A first entry of 0x00 fails.
  EXPECT_FALSE(looksLikeDirectoryBlock(std::vector<uint8_t>(512, 0), p));
  // Plausible entries with current dates pass; the same with old dates do not.
  EXPECT_TRUE(looksLikeDirectoryBlock(block(DirBytes().entry("A       TXT", 0x20, 3, 10).named(u"Long name.txt", "LONGNA~1TXT", 0x20, 4, 10)), p));
  EXPECT_FALSE(looksLikeDirectoryBlock(
      block(DirBytes().entry("A       TXT", 0x20, 3, 10, test::dosDate(2015, 1, 1)).entry("B       TXT", 0x20, 4, 10)), p));
  // The same name twice is not a directory.
  EXPECT_FALSE(looksLikeDirectoryBlock(block(DirBytes().entry("A       TXT", 0x20, 3, 10).entry("A       TXT", 0x20, 4, 10)), p));
  // A start cluster past the volume.
  EXPECT_FALSE(looksLikeDirectoryBlock(block(DirBytes().entry("A       TXT", 0x20, 3, 10).entry("B       TXT", 0x20, 65000, 10)), DirBlockParams{false, 1000, 2026}));
  // Entries, the end marker, then rubbish: the end marker decides.
  auto tail = block(DirBytes().entry("A       TXT", 0x20, 3, 10).entry("B       TXT", 0x20, 4, 10));
  tail[3 * 32 + 11] = 0x0A;
  tail[3 * 32] = 'X';
  EXPECT_TRUE(looksLikeDirectoryBlock(tail, p));
  tail[2 * 32] = 'Y';  // no end marker before the rubbish
  tail[2 * 32 + 11] = 0x20;
  EXPECT_FALSE(looksLikeDirectoryBlock(tail, p));
  // Long-name sequence numbers must count down.
  auto seq = block(DirBytes().named(u"A name that needs two entries.txt", "ANAMET~1TXT", 0x20, 3, 10));
  seq[32] = 0x03;
  EXPECT_FALSE(looksLikeDirectoryBlock(seq, p));
}

}  // namespace
}  // namespace brenix
