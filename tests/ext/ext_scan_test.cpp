// The deleted-inode scans on hand-built volumes with a fixed clock: which
// inodes are taken, how journal tags and directory blocks are read, names,
// the engine's tree and its recovered bytes.
#include <gtest/gtest.h>

#include <memory>

#include "common/bytes.h"
#include "common/clock.h"
#include "ext/ext_engine.h"
#include "ext/ext_image_builder.h"
#include "ext/ext_scan.h"

namespace brenix::ext {
namespace {

using test::ExtImageBuilder;

constexpr int64_t kNow = 1700000000;
constexpr uint32_t kDay = 86400;

class ExtScanTest : public ::testing::Test {
 protected:
  void SetUp() override { setClockForTesting([] { return kNow; }); }
  void TearDown() override { setClockForTesting({}); }

  std::vector<ExtItem> scan(const ExtImageBuilder& b, ExtVariant variant) {
    auto v = std::make_shared<ExtVolume>(makeMemoryView(b.bytes()), variant);
    volume_ = v;
    ExtScanner s(*v, progress_, running_);
    return s.scan();
  }

  static std::vector<uint8_t> bytes(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 31 + seed);
    return v;
  }

  Progress progress_;
  std::atomic<bool> running_{true};
  std::shared_ptr<ExtVolume> volume_;
};

TEST_F(ExtScanTest, Ext2TakesDeletedRegularFilesOnly) {
  ExtImageBuilder b;
  const uint32_t t = kNow - 10 * kDay;
  b.putFile(12, bytes(3000, 1), t);
  b.deleteFile(12, kNow - kDay);  // yesterday: listed
  b.putFile(13, bytes(3000, 2), t);
  b.deleteFile(13, 600000000);  // before 1990: not listed
  b.putFile(14, bytes(3000, 3), t);
  b.deleteFile(14, kNow - kDay);
  b.setInodeUsed(14, true);  // bit still set: not listed
  b.putFile(15, bytes(3000, 4), t);
  b.deleteFile(15, kNow - kDay);
  putLe16(b.inode(15), 0x41ED);  // a directory: not listed
  b.putFile(16, bytes(3000, 5), t);
  b.deleteFile(16, kNow - kDay);
  putLe16(b.inode(16), 0xA1FF);  // a symbolic link (0x8000 is set, but it is not a file): not listed
  b.putFile(17, bytes(3000, 6), t);
  b.deleteFile(17, kNow - kDay);
  putLe32(b.inode(17) + 40, 0);  // no first block: not listed
  b.putFile(18, bytes(3000, 7), t);
  b.deleteFile(18, kNow - kDay);
  putLe32(b.inode(18) + 16, 0);  // no modification time: not listed
  b.putFile(19, bytes(3000, 8), t);  // alive: not listed
  b.putFile(20, bytes(3000, 9), kNow - 7 * 365 * kDay);
  b.deleteFile(20, kNow - 6 * 365 * kDay);  // six years ago: listed, after the newer deletion
  b.putFile(21, bytes(3000, 10), t);
  b.deleteFile(21, kNow + 2 * kDay);  // past now and a day of clock slack: not listed

  const auto found = scan(b, ExtVariant::Ext2);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].inodeNumber, 12u);
  EXPECT_EQ(uint32_t{found[1].inodeNumber}, 20u);  // a copy: the packed field is not aligned
  EXPECT_EQ(itemName(found[0]), "inode_0000000C.tmp");
  EXPECT_EQ(itemExtension(found[0]), "");
  EXPECT_EQ(progress_.status(), "Found Deleted Files : 2");
  EXPECT_EQ(progress_.total(), 128);
  EXPECT_EQ(progress_.done(), 128);
}

TEST_F(ExtScanTest, Ext2CancelStopsBeforeTheNextInode) {
  ExtImageBuilder b;
  b.putFile(12, bytes(100, 1), kNow);
  b.deleteFile(12, kNow);
  running_ = false;
  EXPECT_TRUE(scan(b, ExtVariant::Ext2).empty());
}

TEST_F(ExtScanTest, Ext2ScanRangeIsNormalised) {
  ExtImageBuilder b;
  b.putFile(12, bytes(100, 1), kNow);
  b.deleteFile(12, kNow);
  auto v = std::make_shared<ExtVolume>(makeMemoryView(b.bytes()), ExtVariant::Ext2);
  ExtScanner s(*v, progress_, running_);
  // Inode 12 sits in inode-table block 6 (eight 128-byte inodes per 1 KiB block from block 5).
  EXPECT_EQ(s.scan(4000, 5).size(), 0u);        // a first block past the end becomes 0: blocks 0..5
  EXPECT_EQ(s.scan(6, 1).size(), 1u);           // swapped: blocks 1..6
  EXPECT_EQ(s.scan(7, UINT64_MAX).size(), 0u);  // blocks 7..2047
  EXPECT_EQ(s.scan(6, UINT64_MAX).size(), 1u);
}

// An EXT3 volume: inode 8 holds a journal; file inodes live in table block 7
// (inodes 9..16 with 128-byte inodes and 1 KiB blocks).
class Ext3ScanTest : public ExtScanTest {
 protected:
  void SetUp() override {
    ExtScanTest::SetUp();
    b_.makeJournal(8, 64);
  }
  uint32_t tableBlockOf(uint32_t n) { return b_.inodeTable() + (n - 1) * 128 / 1024; }
  // Copy of the current inode-table block holding n, as the journal would have kept it.
  std::vector<uint8_t> tableCopy(uint32_t n) {
    const uint8_t* p = b_.block(tableBlockOf(n));
    return {p, p + 1024};
  }
  void putCopy(uint32_t journalIndex, const std::vector<uint8_t>& copy) {
    std::memcpy(b_.journalBlock(journalIndex), copy.data(), copy.size());
  }
  // A file created, journaled with its map, then deleted the way the kernel does.
  std::vector<uint8_t> journaledFile(uint32_t n, size_t size, uint8_t seed) {
    const auto data = bytes(size, seed);
    b_.putFile(n, data, kNow - kDay);
    return data;
  }
  void kernelDelete(uint32_t n) {
    uint8_t* in = b_.inode(n);
    std::memset(in + 40, 0, 60);
    putLe32(in + 4, 0);
    putLe32(in + 28, 0);
    putLe32(in + 12, kNow);
    putLe32(in + 20, kNow);
    putLe16(in + 26, 0);
    b_.setInodeUsed(n, false);
  }
  ExtImageBuilder b_;
};

TEST_F(Ext3ScanTest, JournalCopiesNamedFromDirectoryBlocksAreFoundAndRecovered) {
  const auto data = journaledFile(12, 14 * 1024, 1);  // last two blocks through the single indirect
  const auto copy = tableCopy(12);
  kernelDelete(12);
  std::vector<uint8_t> dir(1024);
  ExtImageBuilder::putDirectoryBlock(dir.data(), 1024, 2, 2, {{11, "lost+found"}, {12, "Holiday.JPG"}});
  // Without the same-UUID flag a tag is followed by 16 bytes of UUID, never read as tags.
  b_.putDescriptor(1, {{tableBlockOf(12), 0}, {600, 0x2}});
  putCopy(2, copy);
  putCopy(3, dir);
  b_.putJournalHeader(4, 2, 2);  // commit

  ExtEngine engine(ExtVariant::Ext3);
  RecoveryContext ctx;
  ResultTree tree;
  std::atomic<bool> running{true};
  ASSERT_EQ(engine.scanVolume(makeMemoryView(b_.bytes()), "vol", ctx, tree, running).error, 0);
  EXPECT_EQ(tree.root().name, "EXT3( vol )");
  ASSERT_EQ(tree.root().children.size(), 1u);
  const ResultFolder& lost = *tree.root().children[0];
  EXPECT_EQ(lost.name, "Lost files");
  // The directory block's "." is the root: the file goes back to the root folder.
  EXPECT_TRUE(lost.items.empty());
  ASSERT_EQ(tree.root().items.size(), 1u);
  const FoundItem& f = tree.item(tree.root().items[0]);
  EXPECT_EQ(f.name, "Holiday.JPG");
  EXPECT_EQ(f.typeText, "jpg");
  EXPECT_EQ(f.size, data.size());
  EXPECT_EQ(f.inode, 12u);
  EXPECT_EQ(f.attributes, 0x81A4u);
  EXPECT_EQ(f.modified, uint64_t(kNow - kDay));
  EXPECT_TRUE(f.deleted);
  EXPECT_EQ(ctx.progress.status(), "Found Deleted Files : 1");

  struct Sink : ByteSink {
    std::vector<uint8_t> out;
    bool write(const uint8_t* d, size_t n) override {
      out.insert(out.end(), d, d + n);
      return true;
    }
  } sink;
  EXPECT_EQ(engine.writeItem(f, sink, running), WriteStatus::Ok);
  EXPECT_EQ(sink.out, data);
  std::vector<uint8_t> head;
  EXPECT_TRUE(engine.readItem(f, head, 4096));
  EXPECT_EQ(head, std::vector<uint8_t>(data.begin(), data.begin() + 4096));
  running = false;
  EXPECT_EQ(engine.writeItem(f, sink, running), WriteStatus::Cancelled);
}

TEST_F(Ext3ScanTest, UnchangedCopiesAndLiveFilesAreNotListed) {
  journaledFile(12, 2000, 1);
  const auto copy = tableCopy(12);  // identical to the current inode
  b_.putDescriptor(1, {{tableBlockOf(12), 0x2}});
  putCopy(2, copy);
  EXPECT_TRUE(scan(b_, ExtVariant::Ext3).empty());

  // The file grew afterwards and still lives: the old copy differs, but it is not a deleted file.
  putLe32(b_.inode(12) + 4, 3000);
  putLe32(b_.inode(12) + 12, kNow);
  EXPECT_TRUE(scan(b_, ExtVariant::Ext3).empty());

  // Once deleted, the same copy is listed, unnamed.
  kernelDelete(12);
  const auto found = scan(b_, ExtVariant::Ext3);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(itemName(found[0]), "inode_0000000C.tmp");
}

TEST_F(Ext3ScanTest, TagsWithBlockZeroKeepTheirPlace) {
  // A tag for file-system block 0 (the superblock's block on 4 KiB volumes)
  // still owns the next data block: leaving it out would give the inode
  // table copy to the wrong tag.
  journaledFile(12, 2000, 1);
  const auto copy = tableCopy(12);
  kernelDelete(12);
  b_.putDescriptor(1, {{0, 0}, {tableBlockOf(12), 0}});
  std::memset(b_.journalBlock(2), 0x11, 1024);
  putCopy(3, copy);
  const auto found = scan(b_, ExtVariant::Ext3);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].inodeNumber, 12u);
}

TEST_F(Ext3ScanTest, JournalWithoutItsSuperblockGivesAnEmptyFolder) {
  journaledFile(12, 2000, 1);
  const auto copy = tableCopy(12);
  kernelDelete(12);
  b_.putDescriptor(1, {{tableBlockOf(12), 0x2}});
  putCopy(2, copy);
  std::memset(b_.journalBlock(0), 0, 1024);
  ExtEngine engine(ExtVariant::Ext3);
  RecoveryContext ctx;
  ResultTree tree;
  std::atomic<bool> running{true};
  const ScanResult r = engine.scanVolume(makeMemoryView(b_.bytes()), "v", ctx, tree, running);
  EXPECT_EQ(r.error, 0);
  ASSERT_EQ(tree.root().children.size(), 1u);
  EXPECT_TRUE(tree.root().children[0]->items.empty());
  // The user is told nothing describes a file, and that carving remains.
  EXPECT_NE(r.message.find("Nothing in the inode tables or the journal describes a deleted file"), std::string::npos)
      << r.message;
}

TEST_F(Ext3ScanTest, NoJournalInodeIsAnErrorNotAnEmptySuccess) {
  ExtImageBuilder plain;
  ExtEngine engine(ExtVariant::Ext3);
  RecoveryContext ctx;
  ResultTree tree;
  std::atomic<bool> running{true};
  EXPECT_NE(engine.scanVolume(makeMemoryView(plain.bytes()), "v", ctx, tree, running).error, 0);
  EXPECT_TRUE(tree.root().children.empty());
}

TEST_F(Ext3ScanTest, DirectoryWalkStopsAtBrokenRecordsAndBoundsInodeNumbers) {
  journaledFile(12, 2000, 1);
  journaledFile(13, 2000, 2);
  const auto copy = tableCopy(12);
  kernelDelete(12);
  kernelDelete(13);
  std::vector<uint8_t> dir(1024);
  ExtImageBuilder::putDirectoryBlock(dir.data(), 1024, 2, 2,
                                     {{999999, "beyond.txt"}, {12, "first.txt"}, {13, "second.txt"}});
  // Entry 3 ("second.txt") gets record length 0: the walk ends there.
  size_t off = 24;
  for (int k = 0; k < 2; ++k) off += le16(dir.data() + off + 4);
  putLe16(dir.data() + off + 4, 0);
  b_.putDescriptor(1, {{700, 0x2}, {tableBlockOf(12), 0x2}});
  putCopy(2, dir);
  putCopy(3, copy);
  const auto found = scan(b_, ExtVariant::Ext3);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(itemName(found[0]), "first.txt");
  EXPECT_EQ(itemName(found[1]), "inode_0000000D.tmp");

  // A block whose ".." entry is not the exact 12-byte record gives no names.
  putLe16(dir.data() + 16, 1012);
  putCopy(2, dir);
  const auto unnamed = scan(b_, ExtVariant::Ext3);
  ASSERT_EQ(unnamed.size(), 2u);
  EXPECT_EQ(itemName(unnamed[0]), "inode_0000000C.tmp");
}

TEST_F(Ext3ScanTest, GarbageJournalNeverCrashes) {
  for (uint32_t i = 1; i < 64; ++i) {
    uint8_t* blk = b_.journalBlock(i);
    for (uint32_t k = 0; k < 1024; ++k) blk[k] = uint8_t(i * 7 + k * 13);
    if (i % 3 == 0) test::putBe32(blk, 0xC03B3998), test::putBe32(blk + 4, 1);  // descriptors full of junk tags
  }
  EXPECT_NO_FATAL_FAILURE(scan(b_, ExtVariant::Ext3));
  // A journal inode whose size claims more than the volume is cut to the volume.
  putLe32(b_.inode(8) + 4, 0xFFFFFFFF);
  putLe32(b_.inode(8) + 108, 0xFFFF);
  EXPECT_NO_FATAL_FAILURE(scan(b_, ExtVariant::Ext3));
}

TEST(ExtNames, EntryNamesAreMadeSafe) {
  EXPECT_EQ(cleanEntryName("a?b/c\\d"), "a_b_c_d");
  EXPECT_EQ(cleanEntryName("caf\xC3\xA9.jpg"), "caf\xC3\xA9.jpg");
  EXPECT_EQ(cleanEntryName("bad\xFF\xC3"), "bad__");
  EXPECT_EQ(cleanEntryName(std::string(300, 'a')).size(), 254u);
  EXPECT_EQ(cleanEntryName(std::string(253, 'a') + "\xC3\xA9").size(), 253u);  // not split inside a character
  EXPECT_EQ(extensionOf("Photo.JPEG"), "jpeg");
  EXPECT_EQ(extensionOf(".bashrc"), "");
  EXPECT_EQ(extensionOf("noext"), "");
  EXPECT_EQ(extensionOf("a." + std::string(40, 'X')).size(), 19u);
}

TEST(ExtJournalTags, TagSizesFollowTheJournalFeatures) {
  std::vector<uint8_t> b(1024, 0);
  test::putBe32(b.data() + 12, 100);
  test::putBe32(b.data() + 16, 0x2);
  test::putBe32(b.data() + 20, 200);
  test::putBe32(b.data() + 24, 0x2 | 0x8);
  test::putBe32(b.data() + 28, 300);  // after the last tag: not read
  auto tags = parseDescriptorTags(b.data(), b.size(), 0);
  ASSERT_EQ(tags.size(), 2u);
  EXPECT_EQ(tags[1].block, 200u);
  // 64-bit tags are 12 bytes; a high word makes the block number 64-bit.
  std::vector<uint8_t> c(1024, 0);
  test::putBe32(c.data() + 12, 5);
  test::putBe32(c.data() + 16, 0x2);
  test::putBe32(c.data() + 20, 1);
  test::putBe32(c.data() + 24, 6);
  test::putBe32(c.data() + 28, 0xA);
  tags = parseDescriptorTags(c.data(), c.size(), 0x2);
  ASSERT_EQ(tags.size(), 2u);
  EXPECT_EQ(tags[0].block, (1ull << 32) | 5);
  EXPECT_EQ(tags[1].block, 6u);
  EXPECT_EQ(journalTagSize(0x10), 16u);
  // A block with no last flag ends at its end.
  std::vector<uint8_t> full(1024, 0);
  for (size_t off = 12; off + 8 <= 1024; off += 8) test::putBe32(full.data() + off + 4, 0x2);
  EXPECT_EQ(parseDescriptorTags(full.data(), full.size(), 0).size(), (1024 - 12) / 8);
}

TEST(ExtTexts, RowTextsOfTheResultsList) {
  EXPECT_EQ(sizeText(1023), "1023 B");
  EXPECT_EQ(sizeText(1048575), "1024.00 KB");
  EXPECT_EQ(sizeText(1048576), " 1.00 MB");
  EXPECT_EQ(sizeText(1073741824), " 1.00 GB");
  EXPECT_EQ(permissionText(0x81A4), "rw-r--");
  EXPECT_EQ(permissionText(0x81F8), "rwxrwx");
  FoundItem f;
  f.name = "Unknown";
  f.inode = 12;
  EXPECT_EQ(rowName(f), "inode(0000000C)");
  EXPECT_EQ(rootLabel(ExtVariant::Ext2, "data"), "EXT2( data )");
}

}  // namespace
}  // namespace brenix::ext
