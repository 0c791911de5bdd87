// Hand-built volumes for the cases real tools do not make: broken and looping
// folder chains, attribute lists, runs outside the volume, 4 KiB records.
#include "ntfs/ntfs_volume.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "common/bytes.h"
#include "ntfs/ntfs_test_util.h"
#include "support/temp_dir.h"

namespace brenix {
namespace {

using test::RecordBuilder;
constexpr uint32_t kCluster = 4096;
constexpr uint32_t kRecords = 48;
constexpr uint64_t kMftCluster = 4;
constexpr uint32_t kDir = 0x10000000;

std::vector<uint8_t> clusterOf(uint8_t seed) {
  std::vector<uint8_t> c(kCluster);
  for (size_t i = 0; i < c.size(); ++i) c[i] = uint8_t(seed + i * 7);
  return c;
}

class HandVolume : public ::testing::TestWithParam<uint32_t> {
 protected:
  uint32_t rs() const { return GetParam(); }

  std::vector<uint8_t> build(const char* oem = "NTFS", const std::u16string& mftName = u"$MFT") {
    std::vector<uint8_t> img(512 * 1024, 0);
    uint8_t* bs = img.data();
    std::memcpy(bs + 3, oem, 4);
    putLe16(bs + 0x0B, 512);
    bs[0x0D] = 8;
    putLe64(bs + 0x28, img.size() / 512 - 1);
    putLe64(bs + 0x30, kMftCluster);
    bs[0x40] = static_cast<uint8_t>(rs() == 4096 ? -12 : -10);
    const uint32_t mftClusters = kRecords * rs() / kCluster;
    auto put = [&](uint32_t n, const std::vector<uint8_t>& rec) {
      std::memcpy(img.data() + kMftCluster * kCluster + size_t(n) * rs(), rec.data(), rec.size());
    };
    auto file = [&](const std::u16string& name, uint64_t parent, bool inUse = false, uint32_t flags = 0x20) {
      return RecordBuilder(rs(), inUse).standardInfo(100, 200, 300, 0x20).fileName(name, parent, 1, flags);
    };
    put(0, RecordBuilder(rs(), true).fileName(mftName, 5).nonResidentData(
               {0x11, uint8_t(mftClusters), uint8_t(kMftCluster)}, kRecords * rs(), kRecords * rs()).finish());
    put(5, file(u".", 5, true, kDir).finish());
    put(24, file(u"Photos", 5, false, kDir).finish());
    put(25, file(u"a.jpg", 24).residentData({1, 2, 3}).finish());
    put(26, file(u"b.jpg", 24).residentData({4, 5}).finish());
    put(27, file(u"IMG_0001.JPG", 5).residentData({6}).finish());
    put(28, file(u"notdir.txt", 5, true).finish());
    put(29, file(u"orphan.jpg", 28).finish());
    put(30, file(u"L1", 31, false, kDir).finish());
    put(31, file(u"L2", 30, false, kDir).finish());
    put(32, file(u"loop.jpg", 30).finish());
    // $ATTRIBUTE_LIST naming the unnamed $DATA in extension record 34.
    std::vector<uint8_t> list;
    auto entry = [&](uint32_t type, uint64_t rec) {
      std::vector<uint8_t> e(32, 0);
      putLe32(&e[0], type);
      putLe16(&e[4], 32);
      e[7] = 26;
      putLe64(&e[16], rec);
      list.insert(list.end(), e.begin(), e.end());
    };
    entry(0x10, 33);
    entry(0x30, 33);
    entry(0x80, 34);
    std::vector<uint8_t> listAttr(8 + list.size(), 0);  // resident header tail: value length, value offset
    putLe32(&listAttr[0], static_cast<uint32_t>(list.size()));
    putLe16(&listAttr[4], 0x18);
    std::copy(list.begin(), list.end(), listAttr.begin() + 8);
    put(33, file(u"listed.bin", 5).raw(0x20, listAttr).finish());
    put(34, RecordBuilder(rs(), false).baseReference(33).nonResidentData({0x11, 0x02, 100}, 6000, 8192, 0, 1).finish());
    put(35, file(u"outside.jpg", 5).nonResidentData({0x21, 0x01, 0x88, 0x13}, 100, 4096, 0, 0).finish());
    put(36, file(u"parent_beyond.jpg", 9999).finish());
    // Cluster 101, two sparse clusters, cluster 102.
    put(37, file(u"sparse.jpg", 5).nonResidentData({0x11, 0x01, 101, 0x01, 0x02, 0x11, 0x01, 0x01},
                                                     4 * kCluster, 4 * kCluster, 0, 3, 0x8000).finish());
    for (uint8_t c : {100, 101, 102}) {
      auto data = clusterOf(c);
      std::memcpy(img.data() + size_t(c) * kCluster, data.data(), data.size());
    }
    return img;
  }

  std::unique_ptr<test::ScanRun> scan(const std::vector<uint8_t>& img) {
    test::writeFile(dir_ / "vol.img", img);
    return test::scanImage(dir_ / "vol.img", ScanMode::Deleted);
  }

  test::TempDir dir_;
};

TEST_P(HandVolume, FoldersLostChainsLoopsAndAttributeLists) {
  auto run = scan(build());
  ASSERT_EQ(run->result.error, 0);
  std::set<std::string> paths(run->paths.begin(), run->paths.end());
  EXPECT_EQ(paths, (std::set<std::string>{"Photos/a.jpg", "Photos/b.jpg", "IMG_0001.JPG",
                                          "Lost Files0/Dir0/orphan.jpg", "Lost Files0/Dir1/L2/L1/loop.jpg",
                                          "listed.bin", "outside.jpg", "Lost Files0/Dir2/parent_beyond.jpg",
                                          "sparse.jpg"}));
  // One "Photos" node for both files; the lost folder keyed by buffer index + 1,
  // the Dir by the record that broke the chain.
  const ResultFolder& root = run->tree.root();
  int photos = 0;
  for (const auto& c : root.children) {
    if (c->name == "Photos") {
      ++photos;
      EXPECT_EQ(c->key, 24u);
      EXPECT_EQ(c->items.size(), 2u);
    }
    if (c->name == "Lost Files0") {
      EXPECT_EQ(c->key, 1u);
      EXPECT_EQ(c->children.at(0)->key, 28u);
    }
  }
  EXPECT_EQ(photos, 1);

  std::vector<uint8_t> got;
  ASSERT_TRUE(test::recoverItem(*run, run->byPath.at("listed.bin"), got));
  auto c100 = clusterOf(100), c101 = clusterOf(101), c102 = clusterOf(102);
  std::vector<uint8_t> expect(c100);
  expect.insert(expect.end(), c101.begin(), c101.begin() + (6000 - kCluster));
  EXPECT_EQ(run->tree.item(run->byPath.at("listed.bin")).size, 6000u);
  EXPECT_EQ(got, expect);

  ASSERT_TRUE(test::recoverItem(*run, run->byPath.at("sparse.jpg"), got));
  expect = c101;
  expect.resize(3 * kCluster, 0);
  expect.insert(expect.end(), c102.begin(), c102.end());
  EXPECT_EQ(got, expect);

  ASSERT_TRUE(test::recoverItem(*run, run->byPath.at("Photos/b.jpg"), got));
  EXPECT_EQ(got, (std::vector<uint8_t>{4, 5}));
  // A run outside the volume is a read failure, not a crash or a read elsewhere.
  EXPECT_FALSE(test::recoverItem(*run, run->byPath.at("outside.jpg"), got));
}

TEST_P(HandVolume, DataExtentInAReusedExtensionRecordIsUnrecoverable) {
  std::vector<uint8_t> img = build();
  // Record 34, which held listed.bin's data, now extends another file (40).
  const auto reused = RecordBuilder(rs(), true).baseReference(40).nonResidentData({0x11, 0x01, 102}, 100, 4096).finish();
  std::memcpy(img.data() + kMftCluster * kCluster + size_t(34) * rs(), reused.data(), reused.size());
  auto run = scan(img);
  ASSERT_EQ(run->result.error, 0);
  ASSERT_TRUE(run->byPath.count("listed.bin"));
  const FoundItem& item = run->tree.item(run->byPath.at("listed.bin"));
  EXPECT_EQ(item.condition, ItemCondition::Unrecoverable);
  std::vector<uint8_t> got;
  EXPECT_FALSE(test::recoverItem(*run, run->byPath.at("listed.bin"), got));
  // The other files are untouched by it.
  EXPECT_EQ(run->tree.item(run->byPath.at("sparse.jpg")).condition, ItemCondition::Intact);
}

TEST_P(HandVolume, NamesAndTimesInAnExtensionRecordAreFollowed) {
  std::vector<uint8_t> img = build();
  // Record 38 holds only its attribute list; name, times and data are in record 39.
  std::vector<uint8_t> list;
  for (uint32_t type : {0x10u, 0x30u, 0x80u}) {
    std::vector<uint8_t> e(32, 0);
    putLe32(&e[0], type);
    putLe16(&e[4], 32);
    e[7] = 26;
    putLe64(&e[16], 39);
    list.insert(list.end(), e.begin(), e.end());
  }
  std::vector<uint8_t> listAttr(8 + list.size(), 0);
  putLe32(&listAttr[0], static_cast<uint32_t>(list.size()));
  putLe16(&listAttr[4], 0x18);
  std::copy(list.begin(), list.end(), listAttr.begin() + 8);
  const auto base = RecordBuilder(rs(), false).raw(0x20, listAttr).finish();
  const auto ext = RecordBuilder(rs(), false).baseReference(38).standardInfo(111, 222, 333, 0x20)
                       .fileName(u"extname.jpg", 24).residentData({7, 8, 9}).finish();
  std::memcpy(img.data() + kMftCluster * kCluster + size_t(38) * rs(), base.data(), base.size());
  std::memcpy(img.data() + kMftCluster * kCluster + size_t(39) * rs(), ext.data(), ext.size());
  auto run = scan(img);
  ASSERT_EQ(run->result.error, 0);
  ASSERT_TRUE(run->byPath.count("Photos/extname.jpg"));
  const FoundItem& item = run->tree.item(run->byPath.at("Photos/extname.jpg"));
  EXPECT_EQ(item.modified, 222u);
  EXPECT_EQ(item.created, 111u);
  std::vector<uint8_t> got;
  ASSERT_TRUE(test::recoverItem(*run, run->byPath.at("Photos/extname.jpg"), got));
  EXPECT_EQ(got, (std::vector<uint8_t>{7, 8, 9}));
}

TEST_P(HandVolume, AnUnreadableTableClusterSkipsOnlyItsRecords) {
  std::vector<uint8_t> img = build();
  // $MFT's second cluster lies past the volume (as unreadable as a bad one);
  // the others are where they were.
  const uint32_t mftClusters = kRecords * rs() / kCluster;
  const auto mft = RecordBuilder(rs(), true).fileName(u"$MFT", 5).nonResidentData(
      {0x11, 0x01, uint8_t(kMftCluster), 0x21, 0x01, 0x00, 0x10, 0x21, uint8_t(mftClusters - 2), 0x02, 0xF0, 0x00},
      kRecords * rs(), kRecords * rs()).finish();
  std::memcpy(img.data() + kMftCluster * kCluster, mft.data(), mft.size());
  test::writeFile(dir_ / "vol.img", img);
  NtfsVolume vol;
  ASSERT_TRUE(vol.openPath((dir_ / "vol.img").string()));
  ASSERT_EQ(vol.scanDeleted(), 0);
  EXPECT_EQ(vol.unreadableRecords(), kCluster / rs());
  std::set<std::string> names;
  for (const NtfsItem& item : vol.items()) names.insert(item.name);
  EXPECT_TRUE(names.count("a.jpg") && names.count("listed.bin") && names.count("sparse.jpg"));
}

TEST_P(HandVolume, PicturePresetComparesExtensionsInAnyCase) {
  test::writeFile(dir_ / "vol.img", build());
  NtfsVolume vol;
  ASSERT_TRUE(vol.openPath((dir_ / "vol.img").string()));
  vol.setPreset(FilePreset::Pictures);
  ASSERT_EQ(vol.scanDeleted(), 0);
  std::set<std::string> names;
  for (const NtfsItem& item : vol.items()) names.insert(item.name);
  EXPECT_EQ(names, (std::set<std::string>{"a.jpg", "b.jpg", "IMG_0001.JPG", "orphan.jpg", "loop.jpg", "outside.jpg",
                                          "parent_beyond.jpg", "sparse.jpg"}));
  EXPECT_EQ(vol.recordSize(), rs());
}

TEST_P(HandVolume, ForeignBootSectorAndWrongRecordZero) {
  test::writeFile(dir_ / "bad.img", build("NTFX"));
  NtfsVolume a;
  ASSERT_TRUE(a.openPath((dir_ / "bad.img").string()));
  EXPECT_EQ(a.readBootSector(), kNtfsNotNtfs);
  EXPECT_EQ(a.scanDeleted(), -1);
  EXPECT_TRUE(a.items().empty());

  test::writeFile(dir_ / "notmft.img", build("NTFS", u"$MFX"));
  NtfsVolume b;
  ASSERT_TRUE(b.openPath((dir_ / "notmft.img").string()));
  EXPECT_EQ(b.scanDeleted(), kNtfsNotMft);

  NtfsVolume closed;
  EXPECT_EQ(closed.readBootSector(), kNtfsNotNtfs);
  EXPECT_EQ(closed.loadMft(), kNtfsNoDevice);
  NtfsItem bogus;
  bogus.bufferIndex = 3;
  std::vector<uint8_t> out;
  EXPECT_EQ(closed.readItemData(bogus, out, 100), NtfsReadStatus::BadItem);
}

// An old table in two fragments, its boot sector gone: a file in one
// fragment keeps its folder from the other.
TEST(NtfsSweep, ParentsAreFoundAcrossTableFragments) {
  std::vector<uint8_t> img(1 << 20, 0);
  auto numbered = [](std::vector<uint8_t> rec, uint32_t number) {
    putLe32(&rec[0x2C], number);
    return rec;
  };
  const auto folder = numbered(RecordBuilder(1024, false).standardInfo(1, 2, 3, 0x10)
                                   .fileName(u"Photos", 5, 1, kDir).finish(), 40);
  const auto file = numbered(RecordBuilder(1024, false).standardInfo(1, 2, 3, 0x20)
                                 .fileName(u"a.jpg", 40).residentData({1, 2, 3}).finish(), 90);
  std::memcpy(img.data() + 100 * kCluster, folder.data(), folder.size());
  std::memcpy(img.data() + 200 * kCluster, file.data(), file.size());
  test::TempDir dir;
  test::writeFile(dir / "old.img", img);
  auto run = test::scanImage(dir / "old.img", ScanMode::Formatted);
  ASSERT_EQ(run->result.error, 0);
  EXPECT_EQ(run->paths, std::vector<std::string>{"Photos/a.jpg"});
}

INSTANTIATE_TEST_SUITE_P(RecordSizes, HandVolume, ::testing::Values(1024u, 4096u));

// Files past 4 GiB (videos) keep their 64-bit size through the scan and come
// back whole; a size NTFS cannot address is refused before anything is written.
class LargeFiles : public HandVolume {
 protected:
  void put(std::vector<uint8_t>& img, uint32_t n, const std::vector<uint8_t>& rec) {
    std::memcpy(img.data() + kMftCluster * kCluster + size_t(n) * rs(), rec.data(), rec.size());
  }
};

// Checks the stream on the fly: cluster 101, zeros, cluster 102.
struct VideoCheck : ByteSink {
  uint64_t at = 0, total = 0;
  bool ok = true;
  std::vector<uint8_t> zeros = std::vector<uint8_t>(1 << 20, 0);
  std::vector<uint8_t> head = clusterOf(101), tail = clusterOf(102);
  bool write(const uint8_t* d, size_t n) override {
    for (size_t i = 0; i < n;) {
      const uint64_t pos = at + i;
      size_t len;
      if (pos < kCluster) {
        len = std::min<size_t>(n - i, size_t(kCluster - pos));
        ok = ok && std::memcmp(d + i, head.data() + pos, len) == 0;
      } else if (pos >= total - kCluster) {
        len = n - i;
        ok = ok && pos + len <= total && std::memcmp(d + i, tail.data() + (pos - (total - kCluster)), len) == 0;
      } else {
        len = std::min<size_t>({n - i, zeros.size(), size_t(total - kCluster - pos)});
        ok = ok && std::memcmp(d + i, zeros.data(), len) == 0;
      }
      i += len;
    }
    at += n;
    return true;
  }
};

TEST_P(LargeFiles, PastFourGibibytesAndBeyondWhatNtfsAddresses) {
  std::vector<uint8_t> img = build();
  // Cluster 101, 0x100001 sparse clusters, cluster 102: 4 GiB + 12 KiB.
  const uint64_t clusters = 1 + 0x100001 + 1;
  put(img, 38, RecordBuilder(rs(), false).standardInfo(100, 200, 300, 0x220).fileName(u"video.mp4", 5)
                   .nonResidentData({0x11, 0x01, 101, 0x03, 0x01, 0x00, 0x10, 0x11, 0x01, 0x01},
                                    clusters * kCluster, clusters * kCluster, 0, clusters - 1, 0x8000)
                   .finish());
  // A sparse run of 2^32 clusters: more than an NTFS volume can number.
  const uint64_t huge = 1 + (uint64_t(1) << 32);
  put(img, 39, RecordBuilder(rs(), false).standardInfo(100, 200, 300, 0x220).fileName(u"huge.bin", 5)
                   .nonResidentData({0x11, 0x01, 101, 0x05, 0x00, 0x00, 0x00, 0x00, 0x01},
                                    huge * kCluster, huge * kCluster, 0, huge - 1, 0x8000)
                   .finish());
  auto run = scan(img);
  ASSERT_EQ(run->result.error, 0);
  const FoundItem& video = run->tree.item(run->byPath.at("video.mp4"));
  EXPECT_EQ(video.size, clusters * kCluster);
  VideoCheck check;
  check.total = video.size;
  RunningFlag running{true};
  ASSERT_EQ(run->engine->writeItem(video, check, running), WriteStatus::Ok);
  EXPECT_EQ(check.at, clusters * kCluster);
  EXPECT_TRUE(check.ok);

  const FoundItem& big = run->tree.item(run->byPath.at("huge.bin"));
  EXPECT_EQ(big.size, huge * kCluster);
  VideoCheck none;
  none.total = big.size;
  EXPECT_NE(run->engine->writeItem(big, none, running), WriteStatus::Ok);
  EXPECT_EQ(none.at, 0u);
}

INSTANTIATE_TEST_SUITE_P(OneRecordSize, LargeFiles, ::testing::Values(1024u));

}  // namespace
}  // namespace brenix
