// Both scans and the recovery reads on hand-made volumes.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "common/clock.h"
#include "common/text.h"
#include "fat/fat_engine.h"
#include "fat/fat_item.h"
#include "fat/fat_test_image.h"
#include "fat/fat_texts.h"

namespace brenix {
namespace {

using test::DirBytes;
using test::FatImage;
using test::kToday;

struct Scan {
  explicit Scan(FatVariant v) : engine(v) {}
  FatEngine engine;
  ResultTree tree;
  RecoveryContext ctx;
  RunningFlag running{true};

  ResultFolder* folder(const std::vector<std::string>& path) {
    ResultFolder* f = &tree.root();
    for (const std::string& name : path) {
      f = tree.findChild(*f, name);
      if (!f) return nullptr;
    }
    return f;
  }
  std::vector<std::string> names(const std::vector<std::string>& path) {
    std::vector<std::string> out;
    if (ResultFolder* f = folder(path))
      for (size_t i : f->items) out.push_back(tree.item(i).name);
    return out;
  }
  const FoundItem* item(const std::string& name) {
    for (const FoundItem& it : tree.items())
      if (it.name == name) return &it;
    return nullptr;
  }
};

class VectorSink : public ByteSink {
 public:
  bool write(const uint8_t* data, size_t size) override {
    bytes.insert(bytes.end(), data, data + size);
    return true;
  }
  std::vector<uint8_t> bytes;
};

std::unique_ptr<Scan> runScan(const FatImage& img, FatVariant variant, ScanMode mode,
                              const std::function<void(RecoveryContext&)>& setup = {}) {
  auto s = std::make_unique<Scan>(variant);
  s->ctx.partition.driveLetter = '*';
  if (setup) setup(s->ctx);
  auto volume = img.open(variant);
  EXPECT_TRUE(volume->isOpen()) << volume->error();
  EXPECT_EQ(s->engine.scanVolume(std::move(volume), mode, s->ctx, s->tree, s->running).error, 0);
  return s;
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 7 + (i >> 9));
  return v;
}

class FatScanTest : public ::testing::Test {
 protected:
  void SetUp() override { setClockForTesting([] { return test::kTestNow; }); }
  void TearDown() override { setClockForTesting({}); }
};

TEST_F(FatScanTest, DeletedFilesOfTheRootWithTheirNamesDatesAndAttributes) {
  for (FatVariant variant : {FatVariant::Fat16, FatVariant::Fat32}) {
    SCOPED_TRACE(variant == FatVariant::Fat16 ? "FAT16" : "FAT32");
    FatImage img = variant == FatVariant::Fat16 ? FatImage::fat16() : FatImage::fat32();
    DirBytes root;
    root.entry("LIVE    TXT", 0x20, 3, 100);
    img.chain({3});
    root.entry("OLDPIC  JPG", 0x21, 4, 100).deleteLast();
    root.named(u"Holiday photo.jpeg", "HOLIDA~1JPE", 0x20, 5, 100).deleteLast();
    root.named(u"backup.tar.gz", "BACKUP~1GZ ", 0x22, 6, 100).deleteLast();
    root.entry("SIXYEARSTXT", 0x20, 7, 100, test::dosDate(2020, 1, 1)).deleteLast();
    root.entry("BADDATE TXT", 0x20, 9, 100, uint16_t((46 << 9) | (13 << 5) | 1)).deleteLast();  // month 13
    root.entry("\0\0\0\0\0\0\0\0\0\0\0", 0, 0, 0);  // a zero entry: the walk goes on after it
    root.entry("AFTERZERTXT", 0x20, 8, 100).deleteLast();
    img.putRoot(root.bytes);

    auto s = runScan(img, variant, ScanMode::Deleted);
    const std::string kind = variant == FatVariant::Fat16 ? "FAT16" : "FAT32";
    EXPECT_EQ(s->tree.root().name, kind + " - Logical Disk (*:)");
    std::vector<std::string> got = s->names({});
    // Any real date passes, however old; an impossible one only on FAT32 (no date rule there).
    std::vector<std::string> want = {"#LDPIC.JPG", "Holiday photo.JPEG", "backup.tar.GZ", "#IXYEARS.TXT"};
    if (variant == FatVariant::Fat32) want.push_back("#ADDATE.TXT");
    want.push_back("#FTERZER.TXT");
    EXPECT_EQ(got, want);
    const FoundItem* pic = s->item("#LDPIC.JPG");
    ASSERT_NE(pic, nullptr);
    EXPECT_EQ(pic->attributeText, "R");
    EXPECT_EQ(pic->attributes, 0x21u);
    EXPECT_TRUE(pic->deleted);
    EXPECT_FALSE(pic->checked);
    EXPECT_EQ(pic->modified, (uint64_t(kToday) << 16) | 0x5000);
    EXPECT_EQ(pic->accessed, uint64_t(kToday) << 16);
    EXPECT_EQ(s->item("backup.tar.GZ")->attributeText, "H-RW");
    const FatItem& rec = s->engine.records()[s->item("Holiday photo.JPEG")->engineIndex];
    EXPECT_EQ(rec.extensionText(), "JPEG");
    EXPECT_EQ(rec.startCluster, 5u);
    EXPECT_EQ(s->ctx.progress.status(), format("Found Deleted Files : %d", int(want.size())));
  }
}

TEST_F(FatScanTest, DeletedFoldersAndLiveFilesInsideThem) {
  FatImage img = FatImage::fat16();
  DirBytes root;
  root.entry("PHOTOS     ", 0x10, 10, 0);  // live folder, two clusters apart
  img.chain({10, 20});
  root.named(u"Old folder", "OLDFOL~1   ", 0x10, 12, 0).deleteLast();
  root.entry("EMPTY      ", 0x10, 14, 0);
  img.chain({14});
  img.putRoot(root.bytes);
  DirBytes photos;
  photos.dots(10, 0).entry("KEEP    JPG", 0x20, 30, 10);
  img.chain({30});
  img.put(10, photos.bytes);
  DirBytes photos2;  // second cluster of PHOTOS
  photos2.entry("GONE    JPG", 0x20, 31, 10).deleteLast();
  img.put(20, photos2.bytes);
  DirBytes old;  // deleted folder: live-looking entries inside it are listed
  old.dots(12, 0).entry("INSIDE  JPG", 0x20, 32, 10).entry("SUB        ", 0x10, 16, 0);
  img.put(12, old.bytes);
  DirBytes old2;  // would be its second cluster: never read, the chain is gone
  old2.entry("LATER   JPG", 0x20, 33, 10);
  img.put(13, old2.bytes);
  DirBytes sub;
  sub.dots(16, 12).entry("DEEP    JPG", 0x20, 34, 10);
  img.put(16, sub.bytes);
  DirBytes empty;
  empty.dots(14, 0).entry("FINE    JPG", 0x20, 35, 10);
  img.chain({35});
  img.put(14, empty.bytes);

  auto s = runScan(img, FatVariant::Fat16, ScanMode::Deleted);
  EXPECT_EQ(s->names({"PHOTOS"}), (std::vector<std::string>{"#ONE.JPG"}));
  EXPECT_EQ(s->names({"Old folder"}), (std::vector<std::string>{"INSIDE.JPG"}));
  EXPECT_EQ(s->names({"Old folder", "SUB"}), (std::vector<std::string>{"DEEP.JPG"}));
  EXPECT_EQ(s->folder({"EMPTY"}), nullptr);  // pruned: nothing found below it
  EXPECT_EQ(s->item("LATER.JPG"), nullptr);
  EXPECT_EQ(s->tree.itemCount(), 3u);
}

TEST_F(FatScanTest, FolderFilterAndNamePatterns) {
  EXPECT_EQ(fatFolderFilter("C:\\DCIM\\100CANON\\", ""), (std::vector<std::string>{"DCIM", "100CANON"}));
  EXPECT_EQ(fatFolderFilter("/media/card/dcim", "/media/card"), (std::vector<std::string>{"DCIM"}));
  EXPECT_TRUE(fatFolderFilter("C:\\", "").empty());
  EXPECT_EQ(fatNamePatterns("*.jpg, IMG*"),
            (std::vector<FatNamePattern>{{"", "JPG"}, {"IMG*", ""}}));
  EXPECT_EQ(fatNamePatterns(""), (std::vector<FatNamePattern>{{"", ""}}));
  auto p = fatNamePatterns("*.jpg, IMG*");
  EXPECT_TRUE(fatMatchesPatterns(p, "HOLIDAY", "JPG"));
  EXPECT_TRUE(fatMatchesPatterns(p, "IMG_0001", "CR2"));
  EXPECT_FALSE(fatMatchesPatterns(p, "NOTES", "TXT"));

  FatImage img = FatImage::fat32();
  DirBytes root;
  root.entry("ROOTFILEJPG", 0x20, 20, 10).deleteLast();
  root.entry("OTHER      ", 0x10, 5, 0);
  root.entry("DCIM       ", 0x10, 6, 0);
  img.chain({5});
  img.chain({6});
  img.putRoot(root.bytes);
  DirBytes other, dcim;
  other.dots(5, 0).entry("NOTTHISJPG", 0x20, 21, 10).deleteLast();
  dcim.dots(6, 0).entry("PHOTO   JPG", 0x20, 22, 10).deleteLast().entry("NOTES   TXT", 0x20, 23, 10).deleteLast();
  img.put(5, other.bytes);
  img.put(6, dcim.bytes);
  auto s = runScan(img, FatVariant::Fat32, ScanMode::Deleted, [](RecoveryContext& c) {
    c.rootPath = "/media/card";
    c.options.searchFolder = "/media/card/DCIM";
    c.options.nameFilter = "*.jpg";
  });
  EXPECT_EQ(s->tree.root().name, "FAT32 - Logical Disk (/media/card)");
  EXPECT_EQ(s->tree.itemCount(), 1u);
  EXPECT_EQ(s->names({"DCIM"}), (std::vector<std::string>{"#HOTO.JPG"}));
}

TEST_F(FatScanTest, HostileDirectoriesEndTheWalkWithoutLoopsOrCrashes) {
  FatImage img = FatImage::fat32(8192, 1);
  DirBytes root;
  root.entry("A          ", 0x10, 5, 0);
  root.entry("B          ", 0x10, 7000, 0);  // lies past the end of the (truncated) image
  root.entry("C          ", 0x10, 6, 0);
  root.entry("FAR     JPG", 0x20, 0x00FF0000, 10).deleteLast();  // cluster past the volume
  img.chain({5});
  img.chain({6});
  img.chain({7000});
  img.putRoot(root.bytes);
  DirBytes a;
  a.dots(5, 0).entry("BACK       ", 0x10, 2, 0).entry("SELF       ", 0x10, 5, 0).entry("X       JPG", 0x20, 40, 10).deleteLast();
  img.put(5, a.bytes);
  DirBytes c;
  c.dots(6, 0).entry("Y       JPG", 0x20, 41, 10).deleteLast();
  img.put(6, c.bytes);
  img.setFat(5, 5);  // the folder's chain loops on itself
  img.img.resize(size_t(6000) * 512);  // the device ends before cluster 7000
  auto s = runScan(img, FatVariant::Fat32, ScanMode::Deleted);
  EXPECT_EQ(s->names({"A"}), (std::vector<std::string>{"#.JPG"}));
  EXPECT_EQ(s->names({"C"}), (std::vector<std::string>{"#.JPG"}));  // found after the unreadable folder
  EXPECT_EQ(s->tree.itemCount(), 2u);
}

TEST_F(FatScanTest, Fat32DeletedFolderIsPlacedByItsDotDotEntry) {
  FatImage img = FatImage::fat32();
  DirBytes root;
  root.entry("GONE       ", 0x10, 9, 0).deleteLast();     // its ".." names the root: taken
  root.entry("STRANGER   ", 0x10, 11, 0).deleteLast();  // its ".." names another folder: skipped
  img.putRoot(root.bytes);
  DirBytes gone, stranger;
  gone.dots(9, 0).entry("PIC     JPG", 0x20, 30, 10).deleteLast();
  stranger.dots(11, 77).entry("PIC2    JPG", 0x20, 31, 10).deleteLast();
  img.put(9, gone.bytes);
  img.put(11, stranger.bytes);
  auto s = runScan(img, FatVariant::Fat32, ScanMode::Deleted);
  EXPECT_EQ(s->names({"#ONE"}), (std::vector<std::string>{"#IC.JPG"}));
  EXPECT_EQ(s->tree.itemCount(), 1u);
}

TEST_F(FatScanTest, RecoveryFollowsAnIntactChainAndOtherwiseTheContiguousRule) {
  FatImage img = FatImage::fat16(20480, 2, 512);  // 1 KiB clusters
  const auto contiguous = pattern(3000, 1), fragmented = pattern(2500, 2), tail = pattern(1000, 3);
  img.put(40, contiguous);  // deleted, chain cleared
  img.put(50, std::vector<uint8_t>(fragmented.begin(), fragmented.begin() + 1024));
  img.put(60, std::vector<uint8_t>(fragmented.begin() + 1024, fragmented.begin() + 2048));
  img.put(70, std::vector<uint8_t>(fragmented.begin() + 2048, fragmented.end()));
  img.chain({50, 60, 70});  // still allocated: lies in a deleted folder
  img.put(80, tail);
  DirBytes root;
  root.entry("CONTIG  BIN", 0x20, 40, 3000).deleteLast();
  root.entry("DELDIR     ", 0x10, 20, 0).deleteLast();
  root.entry("TAIL    BIN", 0x20, 80, 1000).deleteLast();
  root.entry("PASTEND BIN", 0x20, 10000, 4u << 20).deleteLast();
  img.putRoot(root.bytes);
  DirBytes dir;
  dir.dots(20, 0).entry("FRAG    BIN", 0x20, 50, 2500);
  img.put(20, dir.bytes);

  auto s = runScan(img, FatVariant::Fat16, ScanMode::Deleted);
  auto recover = [&](const std::string& name, WriteStatus want = WriteStatus::Ok) {
    const FoundItem* it = s->item(name);
    EXPECT_NE(it, nullptr) << name;
    VectorSink sink;
    if (it) {
      EXPECT_EQ(s->engine.writeItem(*it, sink, s->running), want) << name;
    }
    return sink.bytes;
  };
  EXPECT_EQ(recover("#ONTIG.BIN"), contiguous);
  EXPECT_EQ(recover("FRAG.BIN"), fragmented);
  EXPECT_EQ(recover("#AIL.BIN"), tail);  // exact size: not a byte of the next sector
  recover("#ASTEND.BIN", WriteStatus::ReadFailed);
  std::vector<uint8_t> head;
  ASSERT_TRUE(s->engine.readItem(*s->item("FRAG.BIN"), head, 1500));
  EXPECT_EQ(head, std::vector<uint8_t>(fragmented.begin(), fragmented.begin() + 1500));
  s->running = false;
  recover("#ONTIG.BIN", WriteStatus::Cancelled);
}

TEST_F(FatScanTest, FormattedScanRebuildsFoldersFromDotEntries) {
  FatImage img = FatImage::fat32(8192, 1);  // root cluster 2 is empty, as after a quick format
  DirBytes sub;  // lies before its parent on the disk: built after it
  sub.dots(10, 20).named(u"IMG_0001.JPG", "IMG_00~1JPG", 0x20, 100, 10).entry("NOTES   DOC", 0x20, 101, 10).deleteLast();
  img.put(10, sub.bytes);
  DirBytes dcim;
  dcim.dots(20, 0).named(u"100CANON", "100CANON   ", 0x10, 10, 0).entry("TOP     JPG", 0x20, 102, 10);
  img.put(20, dcim.bytes);
  DirBytes more;  // the next cluster continues DCIM
  more.entry("SECOND  JPG", 0x20, 103, 10).deleteLast().entry("THIRD   JPG", 0x20, 107, 10);
  img.put(21, more.bytes);
  DirBytes orphan;  // its parent was never found
  orphan.dots(30, 500).entry("LOST    JPG", 0x20, 104, 10);
  img.put(30, orphan.bytes);
  DirBytes loopA, loopB;  // two folders whose ".." name each other
  loopA.dots(40, 42).entry("LA      JPG", 0x20, 105, 10);
  loopB.dots(42, 40).entry("LB      JPG", 0x20, 106, 10);
  img.put(40, loopA.bytes);
  img.put(42, loopB.bytes);

  auto s = runScan(img, FatVariant::Fat32, ScanMode::Formatted);
  EXPECT_EQ(s->names({"DIR0"}), (std::vector<std::string>{"TOP.JPG", "#ECOND.JPG", "THIRD.JPG"}));
  EXPECT_EQ(s->names({"DIR0", "100CANON"}), (std::vector<std::string>{"IMG_0001.JPG", "#OTES.DOC"}));
  ASSERT_NE(s->folder({"LostDIR"}), nullptr);
  size_t lostFiles = 0;
  for (auto& child : s->folder({"LostDIR"})->children) lostFiles += child->items.size();
  for (auto& child : s->folder({"LostDIR"})->children)
    for (auto& grandchild : child->children) lostFiles += grandchild->items.size();
  EXPECT_EQ(lostFiles, 3u);  // LOST, LA and LB
  EXPECT_FALSE(s->item("TOP.JPG")->deleted);
  EXPECT_TRUE(s->item("#ECOND.JPG")->deleted);

  auto pics = runScan(img, FatVariant::Fat32, ScanMode::Formatted,
                      [](RecoveryContext& c) { c.preset = FilePreset::Pictures; });
  EXPECT_NE(pics->item("IMG_0001.JPG"), nullptr);
  EXPECT_EQ(pics->item("#OTES.DOC"), nullptr);
}

TEST_F(FatScanTest, FormattedScanWithoutDirectoriesLeavesTopAndLostDir) {
  FatImage img = FatImage::fat16();
  auto s = runScan(img, FatVariant::Fat16, ScanMode::Formatted);
  ASSERT_EQ(s->tree.root().children.size(), 1u);
  EXPECT_EQ(s->tree.root().children[0]->name, "LostDIR");
  EXPECT_EQ(s->tree.itemCount(), 0u);
}

TEST_F(FatScanTest, ListCellTexts) {
  EXPECT_EQ(fatSizeText(1023), "1023 Byte");
  EXPECT_EQ(fatSizeText(1024), "1.00 KB");
  EXPECT_EQ(fatSizeText(1048576), "1024.00 KB");
  EXPECT_EQ(fatSizeText(1572864), "1.50 MB");
  EXPECT_EQ(fatDateTimeText(test::dosDate(2026, 6, 14), test::dosTime(9, 5, 58)), "2026-06-14   09:05:58");
  EXPECT_EQ(fatAccessDateText(test::dosDate(2004, 2, 29)), "2004-02-29   12:00:00");
  EXPECT_EQ(fatAttributeText(0x07), "H-R-S");
  EXPECT_EQ(fatAttributeText(0x20), "RW");
  EXPECT_EQ(fatAttributeText(0x24), "RW-S");
  EXPECT_EQ(fatRootLabel(FatType::Fat16, 'E', ""), "FAT16 - Logical Disk (E:)");
  EXPECT_EQ(fatRootLabel(FatType::Fat32, '*', ""), "FAT32 - Logical Disk (*:)");
  EXPECT_EQ(fatRootLabel(FatType::Fat32, '*', "/media/card"), "FAT32 - Logical Disk (/media/card)");
  // Names from the disk never become path tricks.
  EXPECT_EQ(fatSafeComponent(".."), "_");
  EXPECT_EQ(fatSafeComponent("a/b\\c"), "a_b_c");
}

}  // namespace
}  // namespace brenix
