// The volume layer on hand-built volumes: geometry checks, inode places,
// block classes and the block-map walk.
#include <gtest/gtest.h>

#include <memory>
#include <numeric>

#include "common/bytes.h"
#include "ext/ext_image_builder.h"
#include "ext/ext_volume.h"

namespace brenix::ext {
namespace {

using test::ExtImageBuilder;

std::shared_ptr<const ExtDevice> deviceOf(const ExtImageBuilder& b) { return makeMemoryView(b.bytes()); }

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& c : v) x = x * 1103515245u + 12345u, c = uint8_t(x >> 16);
  return v;
}

std::vector<uint8_t> streamAll(const ExtVolume& v, const uint8_t* in, uint64_t size, StreamStatus* status = nullptr) {
  std::vector<uint8_t> out;
  StreamStatus s = streamFile(v, in, size, [&](const uint8_t* p, size_t n) {
    out.insert(out.end(), p, p + n);
    return true;
  });
  if (status) *status = s;
  return out;
}

TEST(ExtVolume, DescriptorTableFollowsTheSuperblockForBothBlockSizes) {
  for (uint32_t bs : {1024u, 4096u}) {
    ExtImageBuilder b({bs, bs == 1024 ? 2048u : 512u, 128, 128});
    ExtVolume v(deviceOf(b), ExtVariant::Ext2);
    ASSERT_TRUE(v.ready()) << bs;
    EXPECT_EQ(v.blockSize(), bs);
    EXPECT_EQ(v.groupCount(), 1u);
    // 1 KiB blocks: table in block 2, bitmaps 3 and 4, inodes from 5; 4 KiB: one lower.
    EXPECT_EQ(v.group(0).inodeTable, bs == 1024 ? 5u : 4u);
    EXPECT_EQ(v.blockClass(v.group(0).inodeTable), BlockClass::InodeTable);
    EXPECT_EQ(v.blockClass(v.group(0).inodeBitmap), BlockClass::InodeBitmap);
    EXPECT_EQ(v.blockClass(v.group(0).blockBitmap), BlockClass::BlockBitmap);
    EXPECT_EQ(v.blockClass(bs == 1024 ? 2 : 1), BlockClass::Descriptors);
    EXPECT_EQ(v.blockClass(bs == 1024 ? 1 : 0), BlockClass::Superblock);
    EXPECT_EQ(v.blockClass(300), BlockClass::Data);
    EXPECT_EQ(v.blockClass(100000), BlockClass::OutOfRange);
  }
}

TEST(ExtVolume, InodeSizeComesFromTheSuperblock) {
  for (uint32_t isz : {128u, 256u}) {
    ExtImageBuilder b({1024, 2048, isz, 128});
    b.putFile(12, pattern(100, 1), 1000);
    ExtVolume v(deviceOf(b), ExtVariant::Ext2);
    ASSERT_TRUE(v.ready());
    EXPECT_EQ(v.superblock().inodeSize, isz);
    InodeBytes in;
    ASSERT_TRUE(v.readInode(12, in));
    EXPECT_EQ(inode::size(in.data()), 100u);
    EXPECT_EQ(inode::mode(in.data()), 0x81A4);
    // Inode 12 is the 12th slot: its table block is (11 * size) / 1024 past the first.
    const uint32_t block = b.inodeTable() + 11 * isz / 1024;
    EXPECT_EQ(v.firstInodeOfBlock(block), 1 + (11 * isz / 1024) * (1024 / isz));
    EXPECT_FALSE(v.readInode(0, in));
    EXPECT_FALSE(v.readInode(129, in));
  }
}

TEST(ExtVolume, RevisionZeroUsesFixedInodes) {
  ExtImageBuilder b({1024, 2048, 128, 128});
  putLe32(b.superblock() + 76, 0);
  putLe16(b.superblock() + 88, 0);  // not read in revision 0
  ExtVolume v(deviceOf(b), ExtVariant::Ext2);
  ASSERT_TRUE(v.ready());
  EXPECT_EQ(v.superblock().inodeSize, 128u);
}

TEST(ExtVolume, ForgedSuperblocksAreRefused) {
  struct Case {
    const char* what;
    size_t offset;
    uint32_t value;
  } cases[] = {
      {"zero blocks per group", 32, 0},       {"zero inodes per group", 40, 0},
      {"huge log block size", 24, 40},        {"too many inodes per group", 40, 1u << 20},
      {"blocks count below the table", 4, 1}, {"zero inodes", 0, 0},
      {"odd inode size", 88, 200},            {"group count past any real volume", 32, 1},
  };
  for (const auto& c : cases) {
    ExtImageBuilder b;
    if (c.offset == 88)
      putLe16(b.superblock() + 88, static_cast<uint16_t>(c.value));
    else
      putLe32(b.superblock() + c.offset, c.value);
    if (std::string(c.what) == "group count past any real volume") putLe32(b.superblock() + 4, 0xFFFFFFF0u);
    ExtVolume v(deviceOf(b), ExtVariant::Ext2);
    EXPECT_FALSE(v.ready()) << c.what;
    InodeBytes in;
    EXPECT_FALSE(v.readInode(1, in)) << c.what;
  }
}

TEST(ExtVolume, DescriptorTableLargerThanTheDeviceIsAReadFailure) {
  ExtImageBuilder b;
  // 20,000 groups of 8 blocks: a 640,000-byte table on a 2 MiB image that claims far more blocks.
  putLe32(b.superblock() + 4, 160000);
  putLe32(b.superblock() + 32, 8);
  std::vector<uint8_t> small(b.bytes().begin(), b.bytes().begin() + 4096);
  ExtVolume v(makeMemoryView(small), ExtVariant::Ext2);
  EXPECT_EQ(v.status(), OpenStatus::ReadFailed);
}

TEST(ExtVolume, Ext3NeedsAJournalInode) {
  ExtImageBuilder b;
  ExtVolume v3(deviceOf(b), ExtVariant::Ext3);
  EXPECT_EQ(v3.status(), OpenStatus::NoJournal);
  ExtVolume v2(deviceOf(b), ExtVariant::Ext2);
  EXPECT_TRUE(v2.ready());
}

TEST(ExtVolume, InodeTablesOutsideTheVolumeAreNotRead) {
  ExtImageBuilder b;
  putLe32(b.block(2) + 8, 0xFFFFFF00u);  // group 0's inode table far past the end
  ExtVolume v(deviceOf(b), ExtVariant::Ext2);
  ASSERT_TRUE(v.ready());
  InodeBytes in;
  EXPECT_FALSE(v.readInode(1, in));
  EXPECT_EQ(v.firstInodeOfBlock(5), 0u);
  EXPECT_NE(v.blockClass(5), BlockClass::InodeTable);
}

TEST(BlockMapper, WalksDirectSingleAndDoubleIndirectWith1KBlocks) {
  ExtImageBuilder b({1024, 4096, 128, 128});
  // 12 direct + 256 single + 10 through the double indirect block.
  const auto data = pattern((12 + 256 + 10) * 1024 - 100, 7);
  b.putFile(12, data, 1000);
  ExtVolume v(deviceOf(b), ExtVariant::Ext2);
  ASSERT_TRUE(v.ready());
  InodeBytes in;
  ASSERT_TRUE(v.readInode(12, in));
  BlockMapper m(v, in.data());
  uint32_t phys = 0;
  // Offset 12,288 is the first entry of the single indirect block.
  ASSERT_EQ(m.map(12288 / 1024, phys), BlockMapper::Result::Block);
  EXPECT_EQ(phys, le32(b.block(inode::block(in.data(), 12))));
  // Offset 274,432 is the first entry reached through the double indirect block.
  ASSERT_EQ(m.map(274432 / 1024, phys), BlockMapper::Result::Block);
  const uint32_t firstSecond = le32(b.block(inode::block(in.data(), 13)));
  EXPECT_EQ(phys, le32(b.block(firstSecond)));
  StreamStatus s;
  EXPECT_EQ(streamAll(v, in.data(), data.size(), &s), data);
  EXPECT_EQ(s, StreamStatus::Ok);
}

TEST(BlockMapper, TripleIndirectRangeIsReached) {
  ExtImageBuilder b({1024, 2048, 128, 128});
  uint8_t* in = b.inode(13);
  putLe16(in, 0x81A4);
  const uint32_t t1 = b.allocBlock(), t2 = b.allocBlock(), t3 = b.allocBlock(), data = b.allocBlock();
  putLe32(in + 40 + 56, t1);
  putLe32(b.block(t1), t2);
  putLe32(b.block(t2), t3);
  putLe32(b.block(t3), data);
  ExtVolume v(deviceOf(b), ExtVariant::Ext2);
  InodeBytes copy;
  ASSERT_TRUE(v.readInode(13, copy));
  BlockMapper m(v, copy.data());
  uint32_t phys = 0;
  const uint64_t p = 256;
  ASSERT_EQ(m.map(12 + p + p * p, phys), BlockMapper::Result::Block);
  EXPECT_EQ(phys, data);
  EXPECT_EQ(m.map(12 + p + p * p + 1, phys), BlockMapper::Result::Hole);
  EXPECT_EQ(m.map(12 + p + p * p + p * p * p, phys), BlockMapper::Result::Failed);
}

TEST(BlockMapper, HolesReadAsZerosAndPointersPastTheVolumeFail) {
  ExtImageBuilder b;
  const auto data = pattern(5000, 3);
  b.putFile(12, data, 1000);
  putLe32(b.inode(12) + 40 + 4, 0);  // block 1 of the file becomes a hole
  ExtVolume v(deviceOf(b), ExtVariant::Ext2);
  InodeBytes in;
  ASSERT_TRUE(v.readInode(12, in));
  auto expected = data;
  std::fill(expected.begin() + 1024, expected.begin() + 2048, 0);
  StreamStatus s;
  EXPECT_EQ(streamAll(v, in.data(), data.size(), &s), expected);
  EXPECT_EQ(s, StreamStatus::Ok);

  putLe32(in.data() + 40 + 8, 999999);  // block 2 past the volume
  const auto partial = streamAll(v, in.data(), data.size(), &s);
  EXPECT_EQ(s, StreamStatus::ReadFailed);
  EXPECT_EQ(partial.size(), 2048u);  // what came before stays written
}

TEST(BlockMapper, IndirectBlockPointingToItselfIsBoundedByTheFileSize) {
  ExtImageBuilder b;
  const auto data = pattern(20 * 1024, 5);
  b.putFile(12, data, 1000);
  const uint32_t single = inode::block(b.inode(12), 12);
  for (uint32_t k = 0; k < 256; ++k) putLe32(b.block(single) + 4 * k, single);  // a loop
  ExtVolume v(deviceOf(b), ExtVariant::Ext2);
  InodeBytes in;
  ASSERT_TRUE(v.readInode(12, in));
  StreamStatus s;
  const auto out = streamAll(v, in.data(), data.size(), &s);
  EXPECT_EQ(s, StreamStatus::Ok);
  EXPECT_EQ(out.size(), data.size());
}

TEST(StreamFile, LastBlockIsCutToTheSizeAndCancelStops) {
  for (uint32_t bs : {1024u, 4096u}) {
    ExtImageBuilder b({bs, bs == 1024 ? 2048u : 512u, 128, 128});
    const auto data = pattern(bs == 1024 ? 5000 : 4096, 9);
    b.putFile(12, data, 1000);
    ExtVolume v(deviceOf(b), ExtVariant::Ext2);
    InodeBytes in;
    ASSERT_TRUE(v.readInode(12, in));
    std::vector<size_t> pieces;
    streamFile(v, in.data(), data.size(), [&](const uint8_t*, size_t n) {
      pieces.push_back(n);
      return true;
    });
    if (bs == 1024)
      EXPECT_EQ(pieces, (std::vector<size_t>{1024, 1024, 1024, 1024, 904}));
    else
      EXPECT_EQ(pieces, (std::vector<size_t>{4096}));
    int calls = 0;
    EXPECT_EQ(streamFile(v, in.data(), data.size(), [](const uint8_t*, size_t) { return true; },
                         [&] { return ++calls < 2; }),
              bs == 1024 ? StreamStatus::Cancelled : StreamStatus::Ok);
    EXPECT_EQ(streamFile(v, in.data(), data.size(), [](const uint8_t*, size_t) { return true; }, [] { return false; }),
              StreamStatus::Cancelled);
    EXPECT_EQ(streamFile(v, in.data(), data.size(), [](const uint8_t*, size_t) { return false; }),
              StreamStatus::SinkFailed);
  }
}

TEST(InodeFields, SizeIsSixtyFourBitForRegularFiles) {
  uint8_t in[128] = {};
  putLe16(in, 0x81A4);
  putLe32(in + 4, 0x10);
  putLe32(in + 108, 0x2);
  EXPECT_EQ(inode::size(in), 0x200000010ull);
  putLe16(in, 0x41ED);  // a directory's high word is something else
  EXPECT_EQ(inode::size(in), 0x10u);
  putLe16(in, 0xA1FF);  // symbolic links carry the 0x8000 bit but are not regular
  EXPECT_FALSE(inode::isRegular(in));
}

}  // namespace
}  // namespace brenix::ext

namespace brenix::ext {
namespace {

void header(uint8_t* p, uint16_t entries, uint16_t max, uint16_t depth) {
  putLe16(p, 0xF30A), putLe16(p + 2, entries), putLe16(p + 4, max), putLe16(p + 6, depth);
}
void leaf(uint8_t* p, uint32_t logical, uint16_t length, uint64_t start) {
  putLe32(p, logical), putLe16(p + 4, length), putLe16(p + 6, uint16_t(start >> 32)), putLe32(p + 8, uint32_t(start));
}
void index(uint8_t* p, uint32_t logical, uint64_t child) {
  putLe32(p, logical), putLe32(p + 4, uint32_t(child)), putLe16(p + 8, uint16_t(child >> 32));
}

// An extent tree of two levels: data through the leaf, uninitialized extents
// and gaps as zeros, a newer copy of the leaf (the journal's) taking the place
// of the one on disk; and every forged tree bounded.
TEST(ExtVolume, ExtentTreesAreReadWithBoundedDepthAndSoundEntries) {
  ExtImageBuilder b;
  ExtVolume v(deviceOf(b), ExtVariant::Ext4);
  ASSERT_TRUE(v.ready());
  const auto data = pattern(8 * 1024, 7);
  for (uint32_t k = 0; k < 8; ++k) std::memcpy(b.block(300 + k), data.data() + k * 1024, 1024);
  std::memset(b.block(400), 0x55, 1024);  // behind the uninitialized extent: never read
  uint8_t in[128] = {};
  putLe16(in, 0x81A4);
  putLe32(in + 4, 12 * 1024);
  putLe32(in + 32, 0x80000);
  header(in + 40, 1, 4, 1);
  index(in + 52, 0, 250);
  uint8_t* node = b.block(250);
  header(node, 3, 84, 0);
  leaf(node + 12, 0, 4, 300);
  leaf(node + 24, 4, 32768 + 2, 400);  // uninitialized
  leaf(node + 36, 8, 4, 304);          // blocks 6 and 7 are a gap
  std::vector<uint8_t> expect(12 * 1024, 0);
  std::memcpy(expect.data(), data.data(), 4096);
  std::memcpy(expect.data() + 8192, data.data() + 4096, 4096);
  EXPECT_EQ(streamAll(v, in, 12 * 1024), expect);

  // The journal's newer copy of the leaf wins over the zeroed one on disk.
  std::vector<uint8_t> copy(node, node + 1024);
  std::memset(node + 2, 0, 2);  // on disk: no entries left (as a deletion leaves it)
  const BlockOverlay overlay = [&](uint64_t n) { return n == 250 ? &copy : nullptr; };
  std::vector<uint8_t> out;
  EXPECT_EQ(streamFile(v, in, 12 * 1024, [&](const uint8_t* p, size_t n) {
              out.insert(out.end(), p, p + n);
              return true;
            }, {}, overlay),
            StreamStatus::Ok);
  EXPECT_EQ(out, expect);
  EXPECT_EQ(streamAll(v, in, 12 * 1024), std::vector<uint8_t>(12 * 1024, 0));  // without it: a hole

  std::vector<Extent> extents;
  // A loop (the node names itself) and a child past the volume: cut, never followed.
  header(node, 2, 84, 1);
  index(node + 12, 0, 250);
  index(node + 24, 10, 1u << 30);
  EXPECT_TRUE(collectExtents(v, in + 40, extents));
  EXPECT_TRUE(extents.empty());
  // Depth past 5, entries past the maximum, a maximum past the node: not an extent root.
  header(in + 40, 1, 4, 6);
  EXPECT_FALSE(collectExtents(v, in + 40, extents));
  header(in + 40, 5, 4, 0);
  EXPECT_FALSE(collectExtents(v, in + 40, extents));
  header(in + 40, 1, 5, 0);
  EXPECT_FALSE(collectExtents(v, in + 40, extents));
  StreamStatus status = StreamStatus::Ok;
  streamAll(v, in, 4096, &status);
  EXPECT_EQ(status, StreamStatus::ReadFailed);
  // A leaf whose run ends past the volume is skipped.
  header(in + 40, 2, 4, 0);
  leaf(in + 52, 0, 100, 2000);
  leaf(in + 64, 100, 1, 301);
  EXPECT_TRUE(collectExtents(v, in + 40, extents));
  ASSERT_EQ(extents.size(), 1u);
  EXPECT_EQ(extents[0].physical, 301u);
  // Inline data: the block area, then the "system.data" value.
  uint8_t inlineInode[128] = {};
  putLe16(inlineInode, 0x81A4);
  putLe32(inlineInode + 4, 50);
  putLe32(inlineInode + 32, 0x10000000);
  std::memcpy(inlineInode + 40, data.data(), 60);
  EXPECT_EQ(streamAll(v, inlineInode, 50), std::vector<uint8_t>(data.begin(), data.begin() + 50));
  putLe32(inlineInode + 4, 70);  // more than the inode holds without its attribute
  streamAll(v, inlineInode, 70, &status);
  EXPECT_EQ(status, StreamStatus::ReadFailed);
}

}  // namespace
}  // namespace brenix::ext
