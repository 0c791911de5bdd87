// Images made by mkntfs and changed through ntfs-3g: plant files of every
// storage kind, delete or reformat, and get them back byte for byte.
#include <gtest/gtest.h>

#include <sys/mount.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <random>
#include <regex>
#include <set>

#include "common/text.h"
#include "ntfs/ntfs_test_util.h"
#include "results/recovery_output.h"
#include "support/temp_dir.h"
#include "disk/device_table.h"
#include "support/tools.h"

namespace brenix {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = uint8_t(rng());
  return v;
}

std::vector<uint8_t> textBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) s += "line " + std::to_string(rng() % 1000) + " of a compressible text\n";
  s.resize(n);
  return {s.begin(), s.end()};
}

bool sh(const std::string& cmd) { return test::runTool({"sh", "-c", cmd}).status == 0; }

// Builds a volume once for the suite: the planted files (path -> bytes).
class NtfsImage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!test::haveTool("mkntfs") || !test::haveTool("ntfs-3g")) return;
    dir_ = new test::TempDir;
    fs::path img = *dir_ / "vol.img", mnt = *dir_ / "mnt";
    fs::create_directory(mnt);
    if (!sh("truncate -s 24M '" + img.string() + "' && mkntfs -F -Q -q '" + img.string() + "' >/dev/null 2>&1")) return;
    if (!sh("ntfs-3g -o streams_interface=windows '" + img.string() + "' '" + mnt.string() + "'")) return;
    mounted_ = true;
    auto put = [&](const std::string& rel, const std::vector<uint8_t>& bytes) {
      test::writeFile(mnt / rel, bytes);
      files_[rel] = bytes;
    };
    fs::create_directories(mnt / "dir/sub");
    fs::create_directories(mnt / "comp");
    put("small.txt", randomBytes(300, 1));          // resident
    put("dir/sub/five.bin", randomBytes(5000, 2));  // non-resident, not whole clusters
    // Fragmented: second half first, another file between, then the first half.
    std::vector<uint8_t> frag = randomBytes(96 * 1024, 3);
    test::writeFile(*dir_ / "frag.src", frag);
    sh("dd if='" + (*dir_ / "frag.src").string() + "' of='" + (mnt / "frag.bin").string() +
       "' bs=48k skip=1 seek=1 count=1 conv=notrunc status=none");
    put("between.bin", randomBytes(20000, 4));
    sh("dd if='" + (*dir_ / "frag.src").string() + "' of='" + (mnt / "frag.bin").string() +
       "' bs=48k count=1 conv=notrunc status=none");
    files_["frag.bin"] = frag;
    // Sparse: data, a 1.5 MiB hole, data.
    std::vector<uint8_t> sparse(2 << 20, 0);
    auto a = randomBytes(10000, 5), b = randomBytes(10000, 6);
    std::copy(a.begin(), a.end(), sparse.begin());
    std::copy(b.begin(), b.end(), sparse.begin() + 1600000);
    sh("truncate -s " + std::to_string(sparse.size()) + " '" + (mnt / "sparse.bin").string() + "'");
    test::writeFile(*dir_ / "a.src", a);
    test::writeFile(*dir_ / "b.src", b);
    sh("dd if='" + (*dir_ / "a.src").string() + "' of='" + (mnt / "sparse.bin").string() + "' conv=notrunc status=none");
    sh("dd if='" + (*dir_ / "b.src").string() + "' of='" + (mnt / "sparse.bin").string() +
       "' bs=1 seek=1600000 conv=notrunc status=none");
    files_["sparse.bin"] = sparse;
    // Compressed folder: text, incompressible data, and text around a run of zeros.
    compressed_ = sh("setfattr -n system.ntfs_attrib_be -v 0x00000810 '" + (mnt / "comp").string() + "'");
    put("comp/text.txt", textBytes(150000, 7));
    put("comp/noise.bin", randomBytes(70000, 8));
    std::vector<uint8_t> mixed = textBytes(64 * 1024, 9);
    mixed.resize(64 * 1024 + 200 * 1024, 0);
    auto tail = textBytes(20000, 10);
    mixed.insert(mixed.end(), tail.begin(), tail.end());
    put("comp/mixed.txt", mixed);
    put("big.bin", randomBytes(5 << 20, 11));  // over 4 MiB
    put("ads.txt", randomBytes(2000, 12));     // main stream ...
    test::writeFile(mnt / "ads.txt:extra", randomBytes(3000, 13));  // ... and a second one
    files_["ads.txt:extra"] = randomBytes(3000, 13);
    sh("sync");
    umount2(mnt.c_str(), 0);
    fs::copy_file(img, *dir_ / "planted.img");
    // Delete everything through the driver.
    if (!sh("ntfs-3g '" + img.string() + "' '" + mnt.string() + "'")) return;
    sh("rm -rf '" + mnt.string() + "'/*");
    sh("sync");
    umount2(mnt.c_str(), 0);
    image_ = img;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    BRENIX_REQUIRE_TOOL("mkntfs");
    BRENIX_REQUIRE_TOOL("ntfs-3g");
    if (!mounted_ || image_.empty()) GTEST_SKIP() << "ntfs-3g could not mount an image (no FUSE?)";
  }

  // Every planted file must come back with its bytes from the given scan.
  void expectRecovered(test::ScanRun& run, const std::map<std::string, std::string>& pathOf) {
    for (const auto& [rel, bytes] : files_) {
      auto p = pathOf.find(rel);
      ASSERT_NE(p, pathOf.end()) << rel;
      auto it = run.byPath.find(p->second);
      ASSERT_NE(it, run.byPath.end()) << rel << " as " << p->second;
      std::vector<uint8_t> got;
      EXPECT_TRUE(test::recoverItem(run, it->second, got)) << rel;
      EXPECT_EQ(run.tree.item(it->second).size, bytes.size()) << rel;
      EXPECT_EQ(test::sha256Hex(got), test::sha256Hex(bytes)) << rel;
    }
  }

  static inline test::TempDir* dir_ = nullptr;
  static inline bool mounted_ = false;
  static inline bool compressed_ = false;
  static inline fs::path image_;
  static inline std::map<std::string, std::vector<uint8_t>> files_;
};

TEST_F(NtfsImage, DeletedScanMatchesFlsAndRecoversEveryKindOfFile) {
  auto run = test::scanImage(image_, ScanMode::Deleted);
  ASSERT_EQ(run->result.error, 0);
  std::map<std::string, std::string> same;
  for (const auto& [rel, bytes] : files_) same[rel] = rel;
  expectRecovered(*run, same);

  if (test::haveTool("fls")) {
    std::set<std::string> theirs, ours(run->paths.begin(), run->paths.end());
    std::istringstream in(test::runTool({"fls", "-rd", image_.string()}).output);
    for (std::string line; std::getline(in, line);) {
      size_t tab = line.find(":\t");
      // The unnamed reserved records 16-23 (which sleuthkit shows as orphans)
      // are no deleted files; named streams are listed as "name:stream".
      if (line.rfind("-/r", 0) == 0 && tab != std::string::npos &&
          line.find("$OrphanFiles/OrphanFile-", tab) == std::string::npos)
        theirs.insert(line.substr(tab + 2));
    }
    EXPECT_EQ(ours, theirs);
  }
  // The stream item is written as "ads.txt_extra", a name any file system takes.
  EXPECT_EQ(targetPath(EngineKind::Ntfs, "/out", &run->tree.root(), "ads.txt:extra"), fs::path("/out/ads.txt_extra"));
  EXPECT_EQ(run->tree.item(run->byPath.at("ads.txt")).size, 2000u);  // the main stream stays exact
  // The compressed files really were stored compressed.
  if (compressed_) {
    const FoundItem& text = run->tree.item(run->byPath.at("comp/text.txt"));
    EXPECT_TRUE(text.attributes & 0x800);
  }
  // A memory read stops at the limit and gives the file's first bytes.
  std::vector<uint8_t> head;
  ASSERT_TRUE(run->engine->readItem(run->tree.item(run->byPath.at("big.bin")), head, 100000));
  ASSERT_EQ(head.size(), 100000u);
  EXPECT_TRUE(std::equal(head.begin(), head.end(), files_["big.bin"].begin()));
}

TEST_F(NtfsImage, DamagedBootSectorIsReplacedByItsBackup) {
  const fs::path damaged = *dir_ / "damaged.img";
  fs::copy_file(image_, damaged, fs::copy_options::overwrite_existing);
  std::vector<uint8_t> disk = test::readFile(damaged);
  disk[0x0B] = disk[0x0C] = 0;  // bytes per sector 0
  disk[0x0D] = 0;               // sectors per cluster 0
  test::writeFile(damaged, disk);
  auto run = test::scanImage(damaged, ScanMode::Deleted);
  ASSERT_EQ(run->result.error, 0);
  EXPECT_NE(run->result.message.find("backup boot sector"), std::string::npos) << run->result.message;
  std::map<std::string, std::string> same;
  for (const auto& [rel, bytes] : files_) same[rel] = rel;
  expectRecovered(*run, same);

  // Without a usable backup either, the scan says why it cannot run.
  std::fill(disk.end() - 512, disk.end(), 0);
  test::writeFile(damaged, disk);
  auto none = test::scanImage(damaged, ScanMode::Deleted);
  EXPECT_NE(none->result.error, 0);
  EXPECT_NE(none->result.message.find("cannot run"), std::string::npos) << none->result.message;
  EXPECT_NE(none->result.message.find("bytes per sector 0"), std::string::npos) << none->result.message;
}

TEST_F(NtfsImage, FiltersKeepTheChosenFolderAndNames) {
  auto run = test::scanImage(image_, ScanMode::Deleted);
  NtfsVolume* vol = run->engine->volume();
  ASSERT_NE(vol, nullptr);
  std::set<std::string> folderHits, nameHits;
  RecoveryContext ctx;
  ctx.options.searchFolder = "C:\\dir\\";
  EXPECT_EQ(NtfsEngine::relativeSearchFolder(ctx), "dir\\");
  ctx.rootPath = "/media/vol";
  ctx.options.searchFolder = "/media/vol/dir";
  EXPECT_EQ(NtfsEngine::relativeSearchFolder(ctx), "/dir");
  vol->setFilters("", NtfsEngine::relativeSearchFolder(ctx));
  for (const NtfsItem& item : vol->items())
    if (!item.isFolder() && vol->accept(item)) folderHits.insert(item.name);
  EXPECT_EQ(folderHits, std::set<std::string>{"five.bin"});
  vol->setFilters(" *.TXT; big ", "");
  for (const NtfsItem& item : vol->items())
    if (!item.isFolder() && vol->accept(item)) nameHits.insert(item.name);
  EXPECT_EQ(nameHits,
            (std::set<std::string>{"small.txt", "text.txt", "mixed.txt", "big.bin", "ads.txt", "ads.txt:extra"}));
}

TEST_F(NtfsImage, QuickFormatKeepsOldFilesFindable) {
  fs::path formatted = *dir_ / "formatted.img";
  fs::copy_file(*dir_ / "planted.img", formatted, fs::copy_options::overwrite_existing);
  ASSERT_TRUE(sh("mkntfs -F -Q -q '" + formatted.string() + "' >/dev/null 2>&1"));
  // The new table lists none of them.
  if (test::haveTool("fls")) {
    EXPECT_EQ(test::runTool({"fls", "-r", formatted.string()}).output.find("big.bin"), std::string::npos);
  }
  auto run = test::scanImage(formatted, ScanMode::Formatted);
  ASSERT_EQ(run->result.error, 0);
  ASSERT_GT(run->engine->volume()->sweepFound(), 0u);
  // Old files come back under their old folders (the old root folder was
  // overwritten, so chains end at the old root record and need no lost folder).
  std::map<std::string, std::string> where;
  for (const auto& [rel, bytes] : files_) {
    for (const std::string& p : run->paths) {
      std::string tail = p.substr(p.size() >= rel.size() ? p.size() - rel.size() : 0);
      if (tail == rel) where[rel] = p;
    }
  }
  RecordProperty("old_files_found", std::to_string(where.size()));
  std::cout << "formatted scan: " << run->engine->volume()->sweepFound() << " records swept, " << where.size()
            << " of " << files_.size() << " planted files found\n";
  EXPECT_EQ(where.size(), files_.size());
  expectRecovered(*run, where);
}

// An NTFS volume re-formatted as FAT32: no NTFS boot sector and no live
// table any more; the sweep still finds the file records the new tables
// left, and their data is read with the common 4 KiB clusters.
TEST(NtfsReformatted, AsFat32TheSweepStillFindsTheOldFiles) {
  BRENIX_REQUIRE_TOOL("mkntfs");
  BRENIX_REQUIRE_TOOL("ntfs-3g");
  BRENIX_REQUIRE_TOOL("mkfs.fat");
  test::TempDir dir;
  const fs::path img = dir / "card.img", mnt = dir / "mnt";
  fs::create_directory(mnt);
  ASSERT_TRUE(sh("truncate -s 300M '" + img.string() + "' && mkntfs -F -Q -q '" + img.string() + "' >/dev/null 2>&1"));
  if (!sh("ntfs-3g '" + img.string() + "' '" + mnt.string() + "'")) GTEST_SKIP() << "ntfs-3g could not mount (no FUSE?)";
  fs::create_directories(mnt / "DCIM");
  // Enough files that the last records lie past the new allocation tables.
  constexpr int kFiles = 700;
  for (int i = 0; i < kFiles; ++i) test::writeFile(mnt / "DCIM" / format("IMG_%04d.JPG", i), randomBytes(5000, 100 + i));
  sh("sync");
  umount2(mnt.c_str(), 0);
  ASSERT_TRUE(sh("mkfs.fat -F 32 '" + img.string() + "' >/dev/null 2>&1"));

  auto run = test::scanImage(img, ScanMode::Formatted);
  ASSERT_EQ(run->result.error, 0);
  int found = 0, exact = 0;
  for (const auto& [path, index] : run->byPath) {
    const std::string leaf = path.substr(path.rfind('/') + 1);
    int n = -1;
    if (std::sscanf(leaf.c_str(), "IMG_%04d.JPG", &n) != 1 || n < 0 || n >= kFiles) continue;
    ++found;
    std::vector<uint8_t> got;
    exact += test::recoverItem(*run, index, got) && got == randomBytes(5000, 100 + static_cast<uint32_t>(n));
  }
  std::cout << "re-formatted as FAT32: " << found << " of " << kFiles << " files found, " << exact << " exact\n";
  EXPECT_GT(found, 50);
  EXPECT_EQ(exact, found);
}

}  // namespace
}  // namespace brenix
