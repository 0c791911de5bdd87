// The exFAT engine on volumes built byte by byte: what the tools cannot make
// (sets across a cluster end, bad checksums, the longest names, reused first
// clusters, intact fragmented chains, a file past 4 GiB) and hostile input.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/clock.h"
#include "common/text.h"
#include "exfat/exfat_engine.h"
#include "exfat/exfat_image.h"
#include "support/temp_dir.h"

namespace brenix {
namespace {

using exfat::ExFatEngine;
using test::ExFatImage;
using test::SetSpec;
using test::entrySet;
using test::pattern;

class CollectSink : public ByteSink {
 public:
  bool write(const uint8_t* data, size_t size) override {
    bytes.insert(bytes.end(), data, data + size);
    return true;
  }
  std::vector<uint8_t> bytes;
};

struct Scanned {
  ExFatEngine engine;
  ResultTree tree;
  RecoveryContext ctx;
  RunningFlag running{true};
  int openResult = -1;

  const FoundItem* find(const std::string& name) const {
    for (const FoundItem& f : tree.items())
      if (f.name == name) return &f;
    return nullptr;
  }
  std::vector<uint8_t> recover(const FoundItem& item, WriteStatus* status) {
    CollectSink sink;
    *status = engine.writeItem(item, sink, running);
    return sink.bytes;
  }
};

std::unique_ptr<Scanned> scan(std::vector<uint8_t> img, ScanMode mode = ScanMode::Deleted) {
  auto s = std::make_unique<Scanned>();
  auto volume = std::make_unique<exfat::Volume>();
  s->openResult = volume->openSource(exfat::makeMemorySource(std::move(img)), 0);
  if (s->openResult == 0) s->engine.scanVolume(std::move(volume), mode, s->ctx, s->tree, s->running);
  return s;
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(ExFatHandBuilt, SetCrossingAClusterEndIsReadByBothScans) {
  ExFatImage img(64);
  // Root: two clusters (4, 5); bitmap and up-case entries, then live sets up
  // to entry 14, so the deleted set's name entry lies in cluster 5.
  std::vector<uint8_t> root(img.cluster(4), img.cluster(4) + 64);
  for (int i = 0; i < 4; ++i) {
    img.markUsed(10 + i);
    root = concat({root, entrySet({u"live" + std::u16string(1, char16_t(u'0' + i)), 0x20, uint32_t(10 + i), 100})});
  }
  ASSERT_EQ(root.size(), 14u * 32);
  const auto data = pattern(700, 1);
  img.put(20, data);
  root = concat({root, entrySet({u"across.jpg", 0x20, 20, data.size(), UINT64_MAX, true, true})});
  img.chain({4, 5});
  img.markUsed(5);
  img.putDirectory({4, 5}, root);
  for (ScanMode mode : {ScanMode::Deleted, ScanMode::Formatted}) {
    auto s = scan(img.img, mode);
    const FoundItem* f = s->find("across.jpg");
    ASSERT_NE(f, nullptr) << int(mode);
    WriteStatus st{};
    EXPECT_TRUE(s->recover(*f, &st) == data);
    EXPECT_EQ(st, WriteStatus::Ok);
    EXPECT_TRUE(f->deleted);
  }
}

TEST(ExFatHandBuilt, SearchFolderNarrowsTheWalk) {
  ExFatImage img(64);
  img.addToRoot(concat({entrySet({u"top.jpg", 0x20, 30, 10, UINT64_MAX, true, true}),
                        entrySet({u"DCIM", 0x10, 10, 512}), entrySet({u"Other", 0x10, 11, 512})}));
  img.put(10, concat({entrySet({u"in.jpg", 0x20, 31, 10, UINT64_MAX, true, true}), entrySet({u"Sub", 0x10, 12, 512})}));
  img.put(11, entrySet({u"out.jpg", 0x20, 32, 10, UINT64_MAX, true, true}));
  img.put(12, entrySet({u"deep.jpg", 0x20, 33, 10, UINT64_MAX, true, true}));
  for (uint32_t c : {10, 11, 12}) img.markUsed(c);
  auto volume = std::make_unique<exfat::Volume>();
  ASSERT_EQ(volume->openSource(exfat::makeMemorySource(img.img), 0), 0);
  ExFatEngine engine;
  ResultTree tree;
  RecoveryContext ctx;
  ctx.rootPath = "/media/card";
  ctx.options.searchFolder = "/media/card/dcim";
  RunningFlag running{true};
  engine.scanVolume(std::move(volume), ScanMode::Deleted, ctx, tree, running);
  std::vector<std::string> names;
  for (const FoundItem& f : tree.items()) names.push_back(f.name);
  EXPECT_EQ(names, (std::vector<std::string>{"in.jpg", "deep.jpg"}));
}

TEST(ExFatHandBuilt, BadSetChecksumIsSkippedAndCounted) {
  ExFatImage img(64);
  auto bad = entrySet({u"bad.jpg", 0x20, 20, 100, UINT64_MAX, true, true});
  bad[2] ^= 0x01;
  img.addToRoot(concat({bad, entrySet({u"good.jpg", 0x20, 21, 100, UINT64_MAX, true, true})}));
  auto s = scan(img.img);
  EXPECT_EQ(s->find("bad.jpg"), nullptr);
  EXPECT_NE(s->find("good.jpg"), nullptr);
  EXPECT_EQ(s->engine.counters().badChecksums, 1u);
}

TEST(ExFatHandBuilt, NameOf255UnitsIsReadWhole) {
  ExFatImage img(64, 1);  // 1 KiB clusters: the 19-entry set fits the one-cluster root
  std::u16string name;
  for (int i = 0; i < 251; ++i) name.push_back(i % 2 ? u'\u00e9' : char16_t(u'a' + i % 26));
  name += u".jpg";
  ASSERT_EQ(name.size(), 255u);
  const auto set = entrySet({name, 0x20, 20, 10, UINT64_MAX, true, true});
  ASSERT_EQ(set.size(), 19u * 32);  // File, Stream and 17 name entries
  img.addToRoot(set);
  auto s = scan(img.img);
  ASSERT_EQ(s->tree.itemCount(), 1u);
  EXPECT_EQ(s->tree.item(0).name, utf16ToUtf8(name));
}

TEST(ExFatHandBuilt, TimeStampsCarryTheir10msIncrementsAndUtcOffsets) {
  ExFatImage img(64);
  auto set = entrySet({u"t.jpg", 0x21, 20, 10, UINT64_MAX, true, true});  // modified 2026-06-15 10:30:14 local
  set[21] = 150;         // modified: + 1.50 s
  set[23] = 0x80 | 8;    // modified: UTC+2:00
  set[22] = 0x80 | 0x7C; // created: UTC-1:00 (seven-bit -4 quarters)
  set[24] = 0x00;        // accessed: no offset, taken as UTC
  for (size_t i = 0; i < set.size(); i += 32) set[i] |= 0x80;
  putLe16(&set[2], exfat::entrySetChecksum(set, false));
  for (size_t i = 0; i < set.size(); i += 32) set[i] &= 0x7F;
  img.addToRoot(set);
  auto s = scan(img.img);
  ASSERT_EQ(s->tree.itemCount(), 1u);
  const FoundItem& f = s->tree.item(0);
  // 2026-06-15 10:30:14 read as UTC, in 100-ns units since 1601; the offsets move it.
  const uint64_t base = uint64_t(1781519414LL + kFileTimeEpochOffset) * 10000000ull;
  EXPECT_EQ(f.modified, base - 2 * 3600 * 10000000ull + 15000000ull);
  EXPECT_EQ(f.created, base + 3600 * 10000000ull);
  EXPECT_EQ(f.accessed, base);
  EXPECT_EQ(f.attributes, 0x21u);
}

TEST(ExFatHandBuilt, DeletedFileWhoseFirstClusterIsInUseIsMarkedProbablyOverwritten) {
  ExFatImage img(64);
  img.markUsed(20);
  img.markUsed(21);
  img.addToRoot(concat({entrySet({u"new.txt", 0x20, 20, 1000}),
                        entrySet({u"old.jpg", 0x20, 20, 900, UINT64_MAX, true, true}),
                        entrySet({u"free.jpg", 0x20, 30, 900, UINT64_MAX, true, true})}));
  auto s = scan(img.img);
  ASSERT_EQ(s->tree.itemCount(), 2u);
  EXPECT_EQ(s->find("old.jpg")->condition, ItemCondition::ProbablyOverwritten);
  EXPECT_EQ(s->find("free.jpg")->condition, ItemCondition::Intact);
}

TEST(ExFatHandBuilt, FragmentedFileFollowsItsIntactChainAndBytesPastValidLengthAreZeros) {
  ExFatImage img(64);
  const auto data = pattern(5 * 512 - 100, 7);
  const std::vector<uint32_t> order = {10, 11, 20, 21, 15};
  img.chain(order);
  for (size_t k = 0; k < order.size(); ++k)
    std::memcpy(img.cluster(order[k]), data.data() + k * 512, std::min<size_t>(512, data.size() - k * 512));
  std::memset(img.cluster(40), 0xAA, 512);  // past the valid length the disk holds garbage
  img.addToRoot(concat({entrySet({u"frag.jpg", 0x20, 10, data.size(), UINT64_MAX, false, true}),
                        entrySet({u"half.bin", 0x20, 40, 512, 200, true, true})}));
  auto s = scan(img.img);
  WriteStatus st{};
  EXPECT_TRUE(s->recover(*s->find("frag.jpg"), &st) == data);
  EXPECT_EQ(st, WriteStatus::Ok);
  const auto half = s->recover(*s->find("half.bin"), &st);
  ASSERT_EQ(half.size(), 512u);
  EXPECT_EQ(std::count(half.begin(), half.begin() + 200, uint8_t(0xAA)), 200);
  EXPECT_EQ(std::count(half.begin() + 200, half.end(), uint8_t(0)), 312);
}

TEST(ExFatHandBuilt, FileLargerThan4GiBRecoversWithItsExactSize) {
  test::TempDir dir;
  constexpr uint64_t kSize = (5ull << 30) + 3;
  ExFatImage img(5200, 11, 8);  // 1 MiB clusters, a 5 GiB heap of which 8 clusters are written
  const auto head = pattern(3000, 9);
  img.put(5, head);
  img.addToRoot(entrySet({u"movie.mp4", 0x20, 5, kSize, head.size(), true, true}));
  const auto path = dir / "big.img";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(img.img.data()), std::streamsize(img.img.size()));
  std::filesystem::resize_file(path, 24 * 512 + 41 * 512 + (5200ull << 20));  // sparse
  auto volume = std::make_unique<exfat::Volume>();
  ASSERT_EQ(volume->openPath(path.string(), 0), 0) << volume->error();
  ExFatEngine engine;
  ResultTree tree;
  RecoveryContext ctx;
  RunningFlag running{true};
  engine.scanVolume(std::move(volume), ScanMode::Deleted, ctx, tree, running);
  ASSERT_EQ(tree.itemCount(), 1u);
  EXPECT_EQ(tree.item(0).size, kSize);
  struct Check : ByteSink {
    std::vector<uint8_t> first;
    uint64_t total = 0, nonZeroTail = 0;
    std::vector<uint8_t> zeros;
    bool write(const uint8_t* d, size_t n) override {
      size_t i = 0;
      for (; i < n && total < 3000; ++i, ++total) first.push_back(d[i]);
      if (zeros.size() < n) zeros.assign(n, 0);
      if (std::memcmp(d + i, zeros.data(), n - i) != 0) ++nonZeroTail;
      total += n - i;
      return true;
    }
  } sink;
  EXPECT_EQ(engine.writeItem(tree.item(0), sink, running), WriteStatus::Ok);
  EXPECT_EQ(sink.total, kSize);
  EXPECT_TRUE(sink.first == head);
  EXPECT_EQ(sink.nonZeroTail, 0u);
}

TEST(ExFatHandBuilt, BootChecksumIsReportedNotRequired) {
  ExFatImage img(64);
  img.sealBootRegion();
  EXPECT_TRUE(scan(img.img)->engine.volume()->bootChecksumOk());
  img.img[120] ^= 0xFF;  // boot code: covered by the checksum, not by the geometry
  auto s = scan(img.img);
  ASSERT_EQ(s->openResult, 0);
  EXPECT_FALSE(s->engine.volume()->bootChecksumOk());
}

TEST(ExFatHandBuilt, HostileBootSectorsAreRefused) {
  struct Case {
    const char* what;
    size_t offset;
    uint32_t value;
    int width;
  };
  const Case cases[] = {
      {"bytes-per-sector shift", 108, 13, 1}, {"sectors-per-cluster shift", 109, 17, 1},
      {"cluster heap past the end", 88, 0x7FFFFFFF, 4}, {"table past the end", 80, 0x7FFFFFF0, 4},
      {"root past the cluster count", 96, 64 + 2, 4}, {"no tables", 110, 0, 1},
  };
  for (const Case& c : cases) {
    ExFatImage img(64);
    if (c.width == 1) img.img[c.offset] = uint8_t(c.value);
    else putLe32(img.img.data() + c.offset, c.value);
    EXPECT_EQ(scan(img.img)->openResult, exfat::kErrNotExFat) << c.what;
  }
  // A cluster count past what the volume holds is cut to what it holds.
  ExFatImage img(64);
  putLe32(img.img.data() + 92, 0xFFFFFFF0);
  auto s = scan(img.img);
  ASSERT_EQ(s->openResult, 0);
  EXPECT_EQ(s->engine.volume()->geometry().clusterCount, 64u);
}

TEST(ExFatHandBuilt, LoopsAndOutOfRangeNumbersEndCleanly) {
  ExFatImage img(64);
  img.chain({4, 5});
  img.setFat(5, 4);  // the root's chain loops
  img.setFat(10, 11);
  img.setFat(11, 10);  // a file's chain loops
  std::vector<uint8_t> root(img.cluster(4), img.cluster(4) + 64);
  root = concat({root,
                 entrySet({u"loop.bin", 0x20, 10, 4 * 512, UINT64_MAX, false, true}),
                 entrySet({u"far.bin", 0x20, 64 + 10, 100, UINT64_MAX, true, true}),      // past the count
                 entrySet({u"huge.bin", 0x20, 30, 1ull << 40, UINT64_MAX, true, true}),   // past the heap
                 entrySet({u"self", 0x10, 4, 1024, UINT64_MAX, false, true}),           // a folder that is the root
                 entrySet({u"sub", 0x10, 12, 512, UINT64_MAX, true, true})});
  img.putDirectory({4, 5}, root);
  // The deleted folder "sub" names its parent, the root, as a folder of its own.
  img.put(12, entrySet({u"up", 0x10, 4, 1024, UINT64_MAX, true, true}));
  // A set at the directory's last entry whose secondary count runs past it.
  auto tail = entrySet({u"cut.bin", 0x20, 20, 10, UINT64_MAX, true, true});
  std::memcpy(img.cluster(5) + 15 * 32, tail.data(), 32);
  for (ScanMode mode : {ScanMode::Deleted, ScanMode::Formatted}) {
    auto s = scan(img.img, mode);
    ASSERT_EQ(s->openResult, 0);
    EXPECT_EQ(s->find("far.bin"), nullptr);
    EXPECT_EQ(s->find("huge.bin"), nullptr);
    EXPECT_EQ(s->find("cut.bin"), nullptr);
    const FoundItem* loop = s->find("loop.bin");
    ASSERT_NE(loop, nullptr) << int(mode);
    WriteStatus st{};
    EXPECT_EQ(s->recover(*loop, &st).size(), 4u * 512);  // the chain is cut; free clusters stand in
  }
}

}  // namespace
}  // namespace brenix
