// The engine on volumes made and changed by the real tools (mkfs.fat,
// mtools), checked against the files put there, against The Sleuth Kit's
// fls, on the shared corpus, and on the built-in demo disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "cli/demo_image.h"
#include "common/clock.h"
#include "common/text.h"
#include "disk/device_table.h"
#include "fat/fat_engine.h"
#include "jobs/engine_factory.h"
#include "raw/raw_types.h"
#include "results/cell_formats.h"
#include "results/recovery_output.h"
#include "support/temp_dir.h"
#include "support/tools.h"

namespace brenix {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

constexpr uint32_t kPartStart = 2048;

class VectorSink : public ByteSink {
 public:
  bool write(const uint8_t* data, size_t size) override {
    bytes.insert(bytes.end(), data, data + size);
    return true;
  }
  std::vector<uint8_t> bytes;
};

std::vector<uint8_t> content(size_t n, uint32_t seed, bool jpeg = false) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : v) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = uint8_t(x);
  }
  if (jpeg && n >= 4) v[0] = 0xFF, v[1] = 0xD8, v[2] = 0xFF, v[3] = 0xE0;
  return v;
}

// A disk image with a FAT volume at sector 2048, and mtools on it.
class ToolVolume {
 public:
  ToolVolume(const TempDir& dir, const std::string& name) : dir_(dir), image_(dir / name) {}

  bool format(const std::vector<std::string>& mkfsArgs, uint64_t mib) {
    if (!fs::exists(image_)) test::runTool({"truncate", "-s", std::to_string(mib) + "M", image_.string()});
    std::vector<std::string> argv = {"mkfs.fat", "--offset", std::to_string(kPartStart)};
    argv.insert(argv.end(), mkfsArgs.begin(), mkfsArgs.end());
    argv.push_back(image_.string());
    auto r = test::runTool(argv);
    EXPECT_EQ(r.status, 0) << r.output;
    return r.status == 0;
  }
  void mtool(const std::string& tool, std::vector<std::string> args) {
    std::vector<std::string> argv = {"env", "MTOOLS_SKIP_CHECK=1", tool, "-i", image_.string() + "@@1M"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = test::runTool(argv);
    EXPECT_EQ(r.status, 0) << tool << ": " << r.output;
  }
  // Writes a file on the host and copies it onto the volume.
  void put(const std::string& target, const std::vector<uint8_t>& bytes) {
    const fs::path local = dir_ / ("src" + std::to_string(counter_++));
    test::writeFile(local, bytes);
    mtool("mcopy", {local.string(), "::" + target});
    files_[target] = bytes;
  }
  const std::vector<uint8_t>& original(const std::string& target) { return files_.at(target); }
  const fs::path& path() const { return image_; }

 private:
  const TempDir& dir_;
  fs::path image_;
  int counter_ = 0;
  std::map<std::string, std::vector<uint8_t>> files_;
};

struct EngineRun {
  std::unique_ptr<ScanEngine> engine;
  ResultTree tree;
  RecoveryContext ctx;
  RunningFlag running{true};
  ScanResult result;

  // "folder/sub/name" of every found file (path below the root).
  std::map<std::string, const FoundItem*> byPath() const {
    std::map<std::string, const FoundItem*> out;
    walk(tree.root(), "", out);
    return out;
  }
  std::vector<uint8_t> recover(const FoundItem& item) {
    VectorSink sink;
    EXPECT_EQ(engine->writeItem(item, sink, running), WriteStatus::Ok) << item.name;
    return sink.bytes;
  }

 private:
  void walk(const ResultFolder& f, const std::string& prefix, std::map<std::string, const FoundItem*>& out) const {
    for (size_t i : f.items) out[prefix + tree.item(i).name] = &tree.item(i);
    for (const auto& c : f.children) walk(*c, prefix + c->name + "/", out);
  }
};

std::unique_ptr<EngineRun> scanImage(const fs::path& image, const std::string& fsName, ScanMode mode,
                                     uint64_t partStart, FilePreset preset = FilePreset::None, bool expectOk = true) {
  auto run = std::make_unique<EngineRun>();
  DeviceTable& table = DeviceTable::instance();
  table.setIncludeSystemDisks(false);
  std::string error;
  const int drive = table.attachImage(image.string(), &error);
  EXPECT_GE(drive, 0) << error;
  run->engine = createEngine(fsName, mode);
  EXPECT_NE(run->engine, nullptr);
  if (!run->engine) return run;
  run->ctx.partition.diskNumber = drive;
  run->ctx.partition.driveLetter = '*';
  run->ctx.partitionStart = partStart;
  run->ctx.options.startSector = partStart;
  run->ctx.preset = preset;
  run->result = run->engine->scan(mode, run->ctx, run->tree, run->running);
  if (expectOk) {
    EXPECT_EQ(run->result.error, 0) << image;
  }
  return run;
}

// Deleted regular files fls lists ("r/r * inode:<TAB>path"), lower-cased.
std::set<std::string> flsDeleted(const std::string& text) {
  std::set<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("r/r * ", 0) != 0 || line.find("$OrphanFiles") != std::string::npos) continue;
    const size_t tab = line.find('\t');
    if (tab != std::string::npos) out.insert(toLower(line.substr(tab + 1)));
  }
  return out;
}

// A found path as fls writes it: lower case here, and the lost first letter
// of a deleted short name is "_" there where it is "#" here.
std::string flsForm(const std::string& path) {
  std::string p = toLower(path);
  for (size_t i = 0; i < p.size(); ++i)
    if (p[i] == '#' && (i == 0 || p[i - 1] == '/')) p[i] = '_';
  return p;
}

std::set<std::string> flsForms(const std::map<std::string, const FoundItem*>& m) {
  std::set<std::string> out;
  for (const auto& [k, v] : m) out.insert(flsForm(k));
  return out;
}

class FatToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BRENIX_REQUIRE_TOOL("mkfs.fat");
    BRENIX_REQUIRE_TOOL("mcopy");
  }
  void TearDown() override { DeviceTable::instance().clearImages(); }
};

// Fills a volume, deletes some of it, and checks names, folders and bytes.
void deletedScanOnToolVolume(const std::vector<std::string>& mkfs, uint64_t mib, const std::string& fsName) {
  TempDir dir;
  ToolVolume vol(dir, "disk.img");
  ASSERT_TRUE(vol.format(mkfs, mib));
  vol.put("Holiday photo.jpeg", content(50000, 1, true));
  vol.put("backup.tar.gz", content(20000, 2));
  vol.put("keep.txt", content(3000, 3));
  vol.mtool("mmd", {"::DCIM", "::DCIM/100CANON", "::Trip"});
  for (int i = 1; i <= 4; ++i) vol.put(format("DCIM/100CANON/IMG_%04d.JPG", i), content(30000 + i * 1000, 10 + i, true));
  vol.put("Trip/beach at sunset.jpg", content(40000, 20, true));
  vol.put("Trip/map.png", content(7000, 21));
  vol.mtool("mdel", {"::Holiday photo.jpeg", "::backup.tar.gz", "::DCIM/100CANON/IMG_0002.JPG"});
  vol.mtool("mdeltree", {"::Trip"});

  auto run = scanImage(vol.path(), fsName, ScanMode::Deleted, kPartStart);
  auto found = run->byPath();
  std::vector<std::string> names;
  for (const auto& [k, v] : found) names.push_back(k);
  EXPECT_EQ(names, (std::vector<std::string>{"DCIM/100CANON/#MG_0002.JPG", "Holiday photo.JPEG",
                                             "Trip/#AP.PNG", "Trip/beach at sunset.JPG", "backup.tar.GZ"}));
  const std::map<std::string, std::string> origin = {{"DCIM/100CANON/#MG_0002.JPG", "DCIM/100CANON/IMG_0002.JPG"},
                                                     {"Holiday photo.JPEG", "Holiday photo.jpeg"},
                                                     {"Trip/beach at sunset.JPG", "Trip/beach at sunset.jpg"},
                                                     {"Trip/#AP.PNG", "Trip/map.png"},  // a lower-case 8.3 name has no long name
                                                     {"backup.tar.GZ", "backup.tar.gz"}};
  for (const auto& [path, item] : found) {
    ASSERT_TRUE(origin.count(path)) << path;
    EXPECT_TRUE(item->deleted);
    EXPECT_EQ(run->recover(*item), vol.original(origin.at(path))) << path;
  }

  // The Sleuth Kit sees the same deleted files (it keeps the first letter of short names).
  if (test::haveTool("fls")) {
    auto fls = test::runTool({"fls", "-rd", "-p", "-o", std::to_string(kPartStart), vol.path().string()});
    ASSERT_EQ(fls.status, 0) << fls.output;
    EXPECT_EQ(flsForms(found), flsDeleted(fls.output)) << fls.output;
  }
}

TEST_F(FatToolsTest, Fat16WithDefaultClustersListsAndRecoversDeletedFiles) {
  deletedScanOnToolVolume({"-F", "16"}, 24, "FAT16");
}

TEST_F(FatToolsTest, Fat16WithAOneClusterRootRegion) {
  deletedScanOnToolVolume({"-F", "16", "-s", "1", "-r", "16"}, 24, "FAT");
}

TEST_F(FatToolsTest, Fat32ListsAndRecoversDeletedFiles) {
  deletedScanOnToolVolume({"-F", "32", "-s", "1"}, 40, "FAT32");
}

TEST_F(FatToolsTest, Fat16OldFoldersAndOldDeletedFilesAreListed) {
  // A folder and a file dated 2015 (copied with their times kept), then a
  // file copied in today; both files are deleted.
  TempDir dir;
  ToolVolume vol(dir, "card.img");
  ASSERT_TRUE(vol.format({"-F", "16"}, 24));
  const fs::path old = dir / "OLD";
  fs::create_directories(old);
  const std::vector<uint8_t> oldBytes = content(30000, 70, true);
  test::writeFile(old / "a2015.jpg", oldBytes);
  ASSERT_EQ(test::runTool({"touch", "-d", "2015-06-01 12:00", (old / "a2015.jpg").string(), old.string()}).status, 0);
  vol.mtool("mcopy", {"-s", "-m", old.string(), "::"});
  vol.put("OLD/today.jpg", content(12000, 71, true));
  vol.mtool("mdel", {"::OLD/a2015.jpg", "::OLD/today.jpg"});

  auto run = scanImage(vol.path(), "FAT16", ScanMode::Deleted, kPartStart);
  auto found = run->byPath();
  ASSERT_EQ(found.size(), 2u);
  ASSERT_TRUE(found.count("OLD/#2015.JPG"));
  ASSERT_TRUE(found.count("OLD/#ODAY.JPG"));
  EXPECT_EQ(run->recover(*found.at("OLD/#2015.JPG")), oldBytes);
  EXPECT_EQ(run->recover(*found.at("OLD/#ODAY.JPG")), vol.original("OLD/today.jpg"));
}

// Sets the FAT32 FSInfo next-free hint, where mtools starts its search for free clusters.
void setNextFreeHint(const fs::path& image, uint32_t cluster) {
  std::vector<uint8_t> disk = test::readFile(image);
  const size_t boot = size_t(kPartStart) * 512;
  const size_t fsinfo = boot + size_t(disk[boot + 48] | disk[boot + 49] << 8) * 512;
  for (int i = 0; i < 4; ++i) disk[fsinfo + 492 + i] = uint8_t(cluster >> (8 * i));
  test::writeFile(image, disk);
}

TEST_F(FatToolsTest, Fat32DeletedFileFragmentedAroundALiveFile) {
  // 512-byte clusters; root 2, DIR 3. pad (4-8) is deleted and photo takes
  // its clusters and goes on past live (9-11) at 12-14. victim (15-16) is
  // deleted and its first cluster is given to a new file in DIR.
  TempDir dir;
  ToolVolume vol(dir, "card.img");
  ASSERT_TRUE(vol.format({"-F", "32", "-s", "1"}, 40));
  vol.mtool("mmd", {"::DIR"});
  vol.put("pad.bin", content(2560, 80));
  vol.put("live.bin", content(1536, 81));
  vol.mtool("mdel", {"::pad.bin"});
  setNextFreeHint(vol.path(), 3);
  vol.put("photo.jpg", content(4000, 82, true));
  vol.put("victim.jpg", content(1000, 83, true));
  vol.mtool("mdel", {"::photo.jpg", "::victim.jpg"});
  setNextFreeHint(vol.path(), 14);
  vol.put("DIR/newer.bin", content(1000, 84));  // a chain of victim's length: still not victim's

  auto run = scanImage(vol.path(), "FAT32", ScanMode::Deleted, kPartStart);
  auto found = run->byPath();
  ASSERT_TRUE(found.count("#HOTO.JPG"));
  ASSERT_TRUE(found.count("#ICTIM.JPG"));
  const FoundItem& photo = *found.at("#HOTO.JPG");
  const FoundItem& victim = *found.at("#ICTIM.JPG");
  EXPECT_EQ(photo.condition, ItemCondition::Intact);
  EXPECT_EQ(run->recover(photo), vol.original("photo.jpg"));
  EXPECT_EQ(victim.condition, ItemCondition::ProbablyOverwritten);
  EXPECT_NE(cellText(EngineKind::Fat, victim, ListColumn::Attributes).find("[probably overwritten]"), std::string::npos);
  if (test::haveTool("icat")) {  // The Sleuth Kit agrees on the fragmented file's bytes
    auto fls = test::runTool({"fls", "-d", "-o", std::to_string(kPartStart), vol.path().string()});
    const size_t at = fls.output.find("_hoto.jpg");
    ASSERT_NE(at, std::string::npos) << fls.output;
    const size_t star = fls.output.rfind("* ", at);
    const std::string inode = fls.output.substr(star + 2, fls.output.find(':', star) - star - 2);
    const fs::path out = dir / "icat.out";
    auto icat = test::runTool({"sh", "-c", "icat -r -o " + std::to_string(kPartStart) + " " + vol.path().string() + " " +
                                               inode + " > " + out.string()});
    EXPECT_EQ(test::readFile(out), vol.original("photo.jpg"));
  }

  // Both are written when asked; only the intact one counts as recovered.
  for (size_t i = 0; i < run->tree.itemCount(); ++i) run->tree.item(i).checked = true;
  run->tree.root().checked = true;
  FixedOverwritePrompt prompt(OverwriteAnswer::YesToAll);
  const RecoveryOutcome outcome = recoverFiles(*run->engine, run->tree, gatherRecoverySteps(EngineKind::Fat, run->tree),
                                               dir / "out", prompt, run->ctx.progress, run->running);
  EXPECT_EQ(outcome.written, 1u);
  EXPECT_EQ(outcome.marked, 1u);
  EXPECT_EQ(outcome.failed, 0u);
  ASSERT_EQ(outcome.markedFiles.size(), 1u);
  EXPECT_EQ(outcome.markedFiles[0].name, "#ICTIM.JPG");
  EXPECT_TRUE(fs::exists(outcome.markedFiles[0].path));
}

TEST_F(FatToolsTest, Fat32DamagedBootSectorIsReplacedByItsBackup) {
  TempDir dir;
  ToolVolume vol(dir, "card.img");
  ASSERT_TRUE(vol.format({"-F", "32", "-s", "1"}, 40));
  vol.put("photo.jpg", content(9000, 90, true));
  vol.mtool("mdel", {"::photo.jpg"});
  std::vector<uint8_t> disk = test::readFile(vol.path());
  const size_t boot = size_t(kPartStart) * 512;
  disk[boot + 11] = disk[boot + 12] = 0;  // bytes per sector 0
  disk[boot + 13] = 0;                    // sectors per cluster 0
  test::writeFile(vol.path(), disk);

  auto run = scanImage(vol.path(), "FAT32", ScanMode::Deleted, kPartStart);
  EXPECT_NE(run->result.message.find("backup boot sector in sector 6"), std::string::npos) << run->result.message;
  auto found = run->byPath();
  ASSERT_TRUE(found.count("#HOTO.JPG"));
  EXPECT_EQ(run->recover(*found.at("#HOTO.JPG")), vol.original("photo.jpg"));

  // Without the backup the scan cannot run, and the engine says why.
  std::fill(disk.begin() + boot + 6 * 512, disk.begin() + boot + 7 * 512, 0);
  test::writeFile(vol.path(), disk);
  DeviceTable::instance().clearImages();
  auto none = scanImage(vol.path(), "FAT32", ScanMode::Deleted, kPartStart, FilePreset::None, false);
  EXPECT_NE(none->result.error, 0);
  EXPECT_EQ(none->result.message, "The partition cannot be scanned as FAT32: bad bytes per sector");
}

TEST_F(FatToolsTest, Fat12IsReadWithTwelveBitEntries) {
  TempDir dir;
  ToolVolume vol(dir, "floppy.img");
  ASSERT_TRUE(vol.format({"-F", "12"}, 3));
  vol.mtool("mmd", {"::PICS"});
  vol.put("PICS/first.jpg", content(9000, 30, true));
  vol.put("PICS/second photo.jpg", content(12000, 31, true));
  vol.mtool("mdel", {"::PICS/second photo.jpg"});
  auto run = scanImage(vol.path(), "FAT", ScanMode::Deleted, kPartStart);
  EXPECT_EQ(run->tree.root().name, "FAT12 - Logical Disk (*:)");
  auto found = run->byPath();
  ASSERT_EQ(found.size(), 1u);
  ASSERT_TRUE(found.count("PICS/second photo.JPG"));
  EXPECT_EQ(run->recover(*found.at("PICS/second photo.JPG")), vol.original("PICS/second photo.jpg"));
  // The FAT32 engine does not take it.
  auto other = createEngine("FAT32", ScanMode::Deleted);
  ResultTree tree;
  EXPECT_NE(other->scan(ScanMode::Deleted, run->ctx, tree, run->running).error, 0);
}

TEST_F(FatToolsTest, QuickFormatKeepsFoldersAndPicturesForTheFormattedScan) {
  for (const std::string fsName : {"FAT32", "FAT16"}) {
    SCOPED_TRACE(fsName);
    const std::vector<std::string> mkfs = fsName == "FAT32" ? std::vector<std::string>{"-F", "32", "-s", "1"}
                                                            : std::vector<std::string>{"-F", "16"};
    TempDir dir;
    ToolVolume vol(dir, "card.img");
    ASSERT_TRUE(vol.format(mkfs, 40));
    vol.mtool("mmd", {"::DCIM", "::DCIM/100CANON", "::Notes"});
    const int pictures = 8;
    for (int i = 1; i <= pictures; ++i)
      vol.put(format("DCIM/100CANON/IMG_%04d.JPG", i), content(20000 + i * 3000, 40 + i, true));
    vol.put("Notes/todo.txt", content(500, 60));
    ASSERT_TRUE(vol.format(mkfs, 40));  // quick format over the same volume

    auto run = scanImage(vol.path(), fsName, ScanMode::Formatted, kPartStart, FilePreset::Pictures);
    auto found = run->byPath();
    int recovered = 0;
    for (int i = 1; i <= pictures; ++i) {
      const std::string path = format("DIR0/100CANON/IMG_%04d.JPG", i);
      auto it = found.find(path);
      if (it == found.end()) continue;
      recovered += run->recover(*it->second) == vol.original(format("DCIM/100CANON/IMG_%04d.JPG", i));
    }
    EXPECT_EQ(recovered, pictures) << "found: " << found.size();
    EXPECT_EQ(found.size(), size_t(pictures));  // the text file is not a picture
  }
}

// An image in memory that clears the scan's running flag once a read reaches `cancelAt`.
class CancellingSource : public FatByteSource {
 public:
  CancellingSource(std::vector<uint8_t> bytes, uint64_t cancelAt, RunningFlag& running)
      : bytes_(std::move(bytes)), cancelAt_(cancelAt), running_(running) {}
  bool read(uint64_t offset, void* buffer, size_t n) const override {
    if (offset >= cancelAt_) running_ = false;
    if (offset > bytes_.size() || n > bytes_.size() - offset) return false;
    std::memcpy(buffer, bytes_.data() + offset, n);
    return true;
  }
  uint64_t size() const override { return bytes_.size(); }

 private:
  std::vector<uint8_t> bytes_;
  uint64_t cancelAt_;
  RunningFlag& running_;
};

TEST_F(FatToolsTest, CancelledFormattedScanKeepsTheFoldersItFound) {
  TempDir dir;
  ToolVolume vol(dir, "card.img");
  ASSERT_TRUE(vol.format({"-F", "32", "-s", "1"}, 40));
  vol.mtool("mmd", {"::DCIM", "::DCIM/100CANON"});
  for (int i = 1; i <= 3; ++i) vol.put(format("DCIM/100CANON/IMG_%04d.JPG", i), content(20000 + i, 95 + i, true));
  ASSERT_TRUE(vol.format({"-F", "32", "-s", "1"}, 40));

  RunningFlag running{true};
  auto volume = std::make_unique<FatVolume>();
  // Cancelled half way through the data area, long after the folders.
  ASSERT_EQ(volume->openSource(std::make_unique<CancellingSource>(test::readFile(vol.path()), 20u << 20, running),
                               kPartStart, FatVariant::Fat32),
            0);
  FatEngine engine(FatVariant::Fat32);
  ResultTree tree;
  RecoveryContext ctx;
  engine.scanVolume(std::move(volume), ScanMode::Formatted, ctx, tree, running);
  EXPECT_FALSE(running.load());
  std::set<std::string> found;
  std::function<void(const ResultFolder&, const std::string&)> walk = [&](const ResultFolder& f, const std::string& p) {
    for (size_t i : f.items) found.insert(p + tree.item(i).name);
    for (const auto& c : f.children) walk(*c, p + c->name + "/");
  };
  walk(tree.root(), "");
  EXPECT_EQ(found, (std::set<std::string>{"DIR0/100CANON/IMG_0001.JPG", "DIR0/100CANON/IMG_0002.JPG",
                                          "DIR0/100CANON/IMG_0003.JPG"}));
}

TEST_F(FatToolsTest, ReformattedCardRootPicturesComeBackByCarving) {
  if (test::corpusDir().empty()) GTEST_SKIP() << "no corpus";
  TempDir dir;
  ToolVolume vol(dir, "card.img");
  ASSERT_TRUE(vol.format({"-F", "32", "-s", "8"}, 300));
  std::vector<std::vector<uint8_t>> pictures;
  for (const auto& e : fs::directory_iterator(test::corpusDir() / "jpeg")) {
    if (e.path().extension() != ".jpg") continue;
    pictures.push_back(test::readFile(e.path()));
    vol.put(format("IMG_%04d.JPG", int(pictures.size())), pictures.back());
  }
  ASSERT_GE(pictures.size(), 5u);
  ASSERT_TRUE(vol.format({"-F", "32", "-s", "8"}, 300));  // the new root overwrites the old one

  auto scanCard = [&](bool carve) {
    DeviceTable::instance().clearImages();
    auto r = std::make_unique<EngineRun>();
    std::string error;
    const int drive = DeviceTable::instance().attachImage(vol.path().string(), &error);
    EXPECT_GE(drive, 0) << error;
    r->engine = createEngine("FAT32", ScanMode::Formatted);
    r->ctx.partition.diskNumber = drive;
    r->ctx.partitionStart = r->ctx.options.startSector = kPartStart;
    r->ctx.partitionEnd = r->ctx.options.endSector = fs::file_size(vol.path()) / 512;
    r->ctx.preset = FilePreset::Pictures;
    r->ctx.options.carveUnclaimed = carve;
    r->ctx.rawTypes = std::make_shared<RawTypeList>();
    const char* source = std::getenv("BRENIX_SOURCE_DIR");
    EXPECT_TRUE(source && loadRawTypes(fs::path(source) / "data" / "rp.dat", *r->ctx.rawTypes, &error)) << error;
    r->result = r->engine->scan(ScanMode::Formatted, r->ctx, r->tree, r->running);
    EXPECT_EQ(r->result.error, 0) << r->result.message;
    return r;
  };
  auto run = scanCard(true);
  size_t carved = 0, exact = 0;
  std::set<size_t> matched;
  for (const auto& [path, item] : run->byPath()) {
    if (path.rfind("Carved/", 0) != 0) continue;
    ++carved;
    const std::vector<uint8_t> bytes = run->recover(*item);
    for (size_t i = 0; i < pictures.size(); ++i)
      if (!matched.count(i) && bytes == pictures[i]) {
        matched.insert(i);
        ++exact;
        break;
      }
  }
  std::cout << "re-formatted card: " << pictures.size() << " root pictures, " << carved << " carved, " << exact
            << " exactly\n";
  EXPECT_EQ(exact, pictures.size());

  // The option turns it off.
  auto plain = scanCard(false);
  for (const auto& [path, item] : plain->byPath()) EXPECT_NE(path.rfind("Carved/", 0), 0u) << path;
}

TEST_F(FatToolsTest, DemoDiskPicturesComeBackExactly) {
  TempDir dir;
  cli::DemoImageInfo info;
  std::string error;
  ASSERT_TRUE(cli::buildDemoImage(dir / "demo.img", &info, &error)) << error;
  auto run = scanImage(dir / "demo.img", "FAT32", ScanMode::Deleted, info.partitionStart, FilePreset::Pictures);
  auto found = run->byPath();
  EXPECT_EQ(found.size(), size_t(info.deletedCount));
  int verified = 0;
  for (const cli::DemoPicture& pic : info.pictures) {
    if (!pic.deleted) continue;
    const size_t dot = pic.name.rfind('.');
    const std::string shown = pic.name.substr(0, dot) + "." + toUpper(pic.name.substr(dot + 1));
    auto it = found.find("DCIM/" + shown);
    ASSERT_NE(it, found.end()) << shown;
    verified += run->recover(*it->second) == pic.bytes;
  }
  EXPECT_EQ(verified, info.deletedCount);
}

// The corpus images: what the engine lists is what fls lists as deleted.
struct CorpusCase {
  const char* image;
  const char* fsName;
  int year;      // the clock is set into this year (0: today's clock)
  size_t atLeast;  // deleted files the engine must find
};

TEST_F(FatToolsTest, CorpusImagesAgreeWithFls) {
  const CorpusCase cases[] = {
      {"fat/6-fat-undel.dd", "FAT16", 0, 6},  {"fat/fat-img-kw.dd", "FAT16", 0, 1},
      {"fat/9-fat-label.dd", "FAT16", 0, 0},  {"fat/test.fat16", "FAT16", 0, 0},
      // Its deleted files are all empty (cluster 0): nothing to offer.
      {"fat/fat_deleted_dir_2.raw", "FAT16", 0, 0}, {"fat/fat_deleted_dir.raw", "FAT32", 0, 8},
      {"fat/fat32_loop.raw", "FAT32", 0, 0},      {"fat/fat_lfn_test.raw", "FAT32", 0, 0},
      {"fat/fat16.raw", "FAT16", 0, 0},           {"fat/fat12.raw", "FAT", 0, 0},
  };
  if (test::corpusDir().empty()) GTEST_SKIP() << "no corpus";
  for (const CorpusCase& c : cases) {
    SCOPED_TRACE(c.image);
    TempDir dir;
    const fs::path image = test::corpusImage(c.image, dir.path());
    if (image.empty()) continue;
    const std::string fls = test::readFile(test::corpusDir() / (std::string(c.image) + ".fls-rd.txt")).size()
                                ? [&] {
                                    auto b = test::readFile(test::corpusDir() / (std::string(c.image) + ".fls-rd.txt"));
                                    return std::string(b.begin(), b.end());
                                  }()
                                : std::string();
    if (c.year != 0) {
      const int64_t t = (int64_t(c.year) - 1970) * 31556952 + 200 * 86400;
      setClockForTesting([t] { return t; });
    }
    auto run = scanImage(image, c.fsName, ScanMode::Deleted, 0);
    setClockForTesting({});
    const std::set<std::string> ours = flsForms(run->byPath());
    const std::set<std::string> theirs = flsDeleted(fls);
    size_t agreed = 0;
    for (const std::string& p : ours) {
      agreed += theirs.count(p);
      EXPECT_TRUE(theirs.count(p)) << "not deleted per fls: " << p;
    }
    EXPECT_GE(agreed, c.atLeast);
    if (std::string(c.image) == "fat/6-fat-undel.dd") {
      // The answer key's MD5s; for the fragmented files (chains gone) the ones
      // it gives for data taken contiguously from the start cluster.
      const std::map<std::string, std::string> md5 = {
          {"_ing.dat", "59b20779f69ff9f0ac5fcd2c38835a79"},       {"_ult1.dat", "ffd27bd782bdce67750b6b9ee069d2ef"},
          {"_ir1/mult2.dat", "59cf0e9cd107bc1e75afb7374f6e05bb"}, {"_rag1.dat", "c4f3b9a0f17d464f4fc61b94ecf6cc21"},
          {"_rag2.dat", "965370acfa85aa7e26ab04bbd45cdcae"},      {"_ir1/dir2/frag3.dat", "a7a14ac62f79fdea4056ed5e8bcf97ef"}};
      for (const auto& [path, item] : run->byPath()) {
        const fs::path out = dir / "recovered";
        test::writeFile(out, run->recover(*item));
        const std::string sum = test::runTool({"md5sum", out.string()}).output.substr(0, 32);
        EXPECT_EQ(sum, md5.count(flsForm(path)) ? md5.at(flsForm(path)) : "?") << path;
      }
    }
    std::cout << "[ corpus ] " << c.image << ": engine " << ours.size() << ", fls " << theirs.size()
              << ", in both " << agreed << "\n";
    DeviceTable::instance().clearImages();
  }
}

}  // namespace
}  // namespace brenix
