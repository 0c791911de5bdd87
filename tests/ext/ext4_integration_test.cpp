// The EXT4 engine on volumes made by mke2fs -t ext4 (extents, 64bit,
// flex_bg, metadata_csum, huge_file; one with inline_data), filled through a
// kernel loop mount and with files removed by the kernel, so their extents
// survive only in the journal. ext4magic, run on the same image, is the peer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "common/text.h"
#include "disk/device_table.h"
#include "ext/ext_engine.h"
#include "jobs/engine_factory.h"
#include "support/temp_dir.h"
#include "support/tools.h"

namespace brenix::ext {
namespace {

namespace fs = std::filesystem;
using test::runTool;
using test::TempDir;

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& c : v) c = static_cast<uint8_t>(rng());
  return v;
}

struct MemorySink : ByteSink {
  std::vector<uint8_t> out;
  bool write(const uint8_t* d, size_t n) override {
    out.insert(out.end(), d, d + n);
    return true;
  }
};

// A loop mount of an image, undone when it goes out of scope.
class LoopMount {
 public:
  LoopMount(const fs::path& img, const fs::path& at) : at_(at) {
    fs::create_directories(at);
    auto m = runTool({"mount", "-o", "loop", img.string(), at.string()});
    mounted_ = m.status == 0;
    error_ = m.output;
  }
  ~LoopMount() {
    if (mounted_) runTool({"umount", at_.string()});
  }
  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }
  bool unmount() {
    mounted_ = runTool({"umount", at_.string()}).status != 0;
    return !mounted_;
  }

 private:
  fs::path at_;
  bool mounted_ = false;
  std::string error_;
};

void appendTo(const fs::path& p, const uint8_t* d, size_t n) {
  std::ofstream f(p, std::ios::binary | std::ios::app);
  f.write(reinterpret_cast<const char*>(d), static_cast<std::streamsize>(n));
}

struct Found {
  const FoundItem* item;
  std::string folder;  // "" the root, "Lost files", or the planted path
};

std::map<std::string, Found> foundByName(const ResultTree& tree) {
  std::map<std::string, Found> out;
  std::function<void(const ResultFolder&, const std::string&)> walk = [&](const ResultFolder& f,
                                                                          const std::string& path) {
    for (size_t i : f.items) out[tree.item(i).name] = {&tree.item(i), path};
    for (const auto& c : f.children) walk(*c, path.empty() ? c->name : path + "/" + c->name);
  };
  walk(tree.root(), "");
  return out;
}

struct Scan {
  std::unique_ptr<ExtEngine> engine;
  ResultTree tree;
  ScanResult result;
};

std::unique_ptr<Scan> scanImage(const fs::path& img) {
  auto s = std::make_unique<Scan>();
  auto engine = createEngine("EXT4", ScanMode::Deleted);
  s->engine.reset(dynamic_cast<ExtEngine*>(engine.release()));
  if (!s->engine) return s;
  RecoveryContext ctx;
  RunningFlag running{true};
  SectorReader reader;
  if (!reader.openPath(img.string(), OpenMode::Read)) {
    s->result.error = -1;
    return s;
  }
  s->result = s->engine->scanVolume(makeReaderSource(std::move(reader)), "photos", ctx, s->tree,
                                    running);
  return s;
}

std::vector<uint8_t> recover(ExtEngine& engine, const FoundItem& item) {
  MemorySink sink;
  RunningFlag running{true};
  EXPECT_EQ(engine.writeItem(item, sink, running), WriteStatus::Ok) << item.name;
  return sink.out;
}

// Regular files ext4magic wrote below its output folder.
size_t countFiles(const fs::path& dir) {
  size_t n = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    if (it->is_regular_file()) ++n;
  return n;
}

class Ext4Images : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::haveTool("mke2fs") || !test::haveTool("mount")) GTEST_SKIP() << "mke2fs or mount missing";
    if (geteuid() != 0) GTEST_SKIP() << "loop mounts need root";
  }
  void makeVolume(const fs::path& img, const std::string& size, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {"mke2fs", "-q", "-F", "-t", "ext4", "-L", "photos"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.insert(argv.end(), {img.string(), size});
    auto r = runTool(argv);
    ASSERT_EQ(r.status, 0) << r.output;
  }
};

TEST_F(Ext4Images, KernelDeletionsComeBackFromTheJournalWithNamesAndFolders) {
  TempDir dir;
  const fs::path img = dir / "ext4.img";
  makeVolume(img, "400M");
  auto dump = runTool({"dumpe2fs", "-h", img.string()});
  for (const char* feature : {"extent", "64bit", "flex_bg", "metadata_csum", "huge_file"})
    ASSERT_NE(dump.output.find(feature), std::string::npos) << feature << " not on by default";

  std::map<std::string, std::vector<uint8_t>> files;  // planted path -> bytes
  {
    LoopMount m(img, dir / "mnt");
    if (!m.mounted()) GTEST_SKIP() << "loop mount unavailable: " << m.error();
    const fs::path mnt = dir / "mnt";
    fs::create_directories(mnt / "pics" / "2024");
    fs::create_directories(mnt / "trip");
    files["Beach.JPG"] = randomBytes(5000, 1);
    files["pics/Garden.png"] = randomBytes(300000, 2);
    files["pics/2024/Big.mov"] = randomBytes(110u << 20, 3);
    files["trip/Alps.jpg"] = randomBytes(70000, 4);
    for (const char* name : {"Beach.JPG", "pics/Garden.png", "pics/2024/Big.mov", "trip/Alps.jpg"})
      test::writeFile(mnt / name, files[name]);
    // Two files written in turns, each piece pushed to disk before the next,
    // so their extents interleave (fragmented, several extents each).
    files["pics/Left.tif"] = randomBytes(12 * 65536, 5);
    files["pics/Right.tif"] = randomBytes(12 * 65536, 6);
    for (size_t k = 0; k < 12; ++k) {
      appendTo(mnt / "pics" / "Left.tif", files["pics/Left.tif"].data() + k * 65536, 65536);
      runTool({"sync"});
      appendTo(mnt / "pics" / "Right.tif", files["pics/Right.tif"].data() + k * 65536, 65536);
      runTool({"sync"});
    }
    test::writeFile(mnt / "kept.txt", randomBytes(100, 9));
    runTool({"sync"});
    if (test::haveTool("filefrag")) {
      // The interleaved pair really took several extents.
      auto frag = runTool({"filefrag", (mnt / "pics" / "Left.tif").string()});
      unsigned extents = 0;
      const size_t colon = frag.output.rfind(": ");
      if (colon != std::string::npos) extents = static_cast<unsigned>(std::atoi(frag.output.c_str() + colon + 2));
      EXPECT_GT(extents, 1u) << frag.output;
    }
    for (const auto& [name, data] : files) fs::remove(mnt / name);
    fs::remove(mnt / "trip");
    runTool({"sync"});
    ASSERT_TRUE(m.unmount());
  }

  auto s = scanImage(img);
  ASSERT_TRUE(s->engine);
  ASSERT_EQ(s->result.error, 0);
  EXPECT_EQ(s->tree.root().name, "EXT4( photos )");
  const auto found = foundByName(s->tree);
  for (const auto& [path, data] : files) {
    const std::string name = fs::path(path).filename().string();
    auto it = found.find(name);
    ASSERT_NE(it, found.end()) << name << " not found among " << found.size();
    EXPECT_EQ(it->second.folder, fs::path(path).parent_path().string()) << name;
    EXPECT_EQ(it->second.item->size, data.size()) << name;
    EXPECT_TRUE(recover(*s->engine, *it->second.item) == data) << name;
  }
  EXPECT_FALSE(found.count("kept.txt"));
  EXPECT_GT(s->engine->stats().journalInodeCopies, 0u);

  if (test::haveTool("ext4magic")) {
    // The peer by names (-r) and by its journal and magic search (-M).
    for (const char* how : {"-r", "-M"}) {
      const fs::path out = dir / (std::string("ext4magic") + how);
      fs::create_directories(out);
      auto r = runTool({"ext4magic", img.string(), how, "-d", out.string()});
      const size_t theirs = countFiles(out);
      std::cout << "ext4magic " << how << " recovered " << theirs << " files, the engine " << files.size() << "\n";
      EXPECT_GE(files.size(), theirs) << r.output;
    }
  }
}

TEST_F(Ext4Images, InlineDataFilesComeBackFromTheInodeCopies) {
  TempDir dir;
  const fs::path img = dir / "inline.img";
  makeVolume(img, "64M", {"-O", "inline_data"});
  std::map<std::string, std::vector<uint8_t>> files;
  {
    LoopMount m(img, dir / "mnt");
    if (!m.mounted()) GTEST_SKIP() << "loop mount unavailable: " << m.error();
    const fs::path mnt = dir / "mnt";
    fs::create_directories(mnt / "notes");
    files["notes/tiny.txt"] = randomBytes(40, 21);    // inside the block area
    files["notes/small.txt"] = randomBytes(120, 22);  // spills into the extended attribute
    files["notes/block.bin"] = randomBytes(9000, 23); // too big for the inode: extents
    for (const auto& [name, data] : files) test::writeFile(mnt / name, data);
    runTool({"sync"});
    for (const auto& [name, data] : files) fs::remove(mnt / name);
    runTool({"sync"});
    ASSERT_TRUE(m.unmount());
  }
  auto s = scanImage(img);
  ASSERT_EQ(s->result.error, 0);
  const auto found = foundByName(s->tree);
  for (const auto& [path, data] : files) {
    const std::string name = fs::path(path).filename().string();
    auto it = found.find(name);
    ASSERT_NE(it, found.end()) << name << " not found among " << found.size();
    EXPECT_EQ(it->second.folder, "notes") << name;
    EXPECT_TRUE(recover(*s->engine, *it->second.item) == data) << name;
  }
  EXPECT_EQ(s->result.message, "");  // every checksum matched

  // metadata_csum is checked and reported, never required: a superblock
  // whose checksum no longer matches still gives the same files.
  {
    std::fstream f(img, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(1024 + 0x300);
    f.put('\x5A');
  }
  auto bent = scanImage(img);
  ASSERT_EQ(bent->result.error, 0);
  EXPECT_NE(bent->result.message.find("superblock bad"), std::string::npos) << bent->result.message;
  EXPECT_EQ(foundByName(bent->tree).size(), found.size());
}

// meta_bg keeps the descriptors of each meta group in its first group: every
// group's inode table is found where dumpe2fs puts it, and files removed by
// debugfs (which leaves their extents) come back from the inode tables.
TEST(Ext4Volumes, MetaBgDescriptorsAndDebugfsDeletions) {
  BRENIX_REQUIRE_TOOL("mke2fs");
  BRENIX_REQUIRE_TOOL("debugfs");
  BRENIX_REQUIRE_TOOL("dumpe2fs");
  TempDir dir;
  const fs::path img = dir / "metabg.img";
  auto r = runTool({"mke2fs", "-q", "-F", "-t", "ext4", "-b", "1024", "-O", "meta_bg,^resize_inode", "-L", "photos",
                    img.string(), "256M"});
  ASSERT_EQ(r.status, 0) << r.output;
  std::vector<uint64_t> tables;
  const auto dump = runTool({"dumpe2fs", img.string()});
  for (size_t pos = 0; (pos = dump.output.find("Inode table at ", pos)) != std::string::npos; ++pos)
    tables.push_back(std::stoull(dump.output.substr(pos + 15)));
  ASSERT_GT(tables.size(), 16u);  // more groups than one descriptor block of 64-byte entries holds

  std::map<size_t, std::vector<uint8_t>> bySize;
  std::string commands = "mkdir pics\ncd pics\n", removals;
  uint32_t seed = 31;
  for (size_t size : {3000u, 200000u, 3000000u}) {
    bySize[size] = randomBytes(size, seed);
    const std::string name = format("p%u.jpg", seed++);
    test::writeFile(dir / name, bySize[size]);
    commands += "write " + (dir / name).string() + " " + name + "\n";
    removals += "rm " + name + "\n";
  }
  r = runTool({"debugfs", "-w", "-f", "-", img.string()}, commands + removals);
  ASSERT_EQ(r.status, 0) << r.output;

  auto s = scanImage(img);
  ASSERT_EQ(s->result.error, 0);
  const ExtVolume* v = s->engine->volume();
  ASSERT_NE(v, nullptr);
  ASSERT_EQ(v->groupCount(), tables.size());
  for (uint32_t g = 0; g < v->groupCount(); ++g) EXPECT_EQ(v->group(g).inodeTable, tables[g]) << "group " << g;
  const auto found = foundByName(s->tree);
  ASSERT_EQ(found.size(), bySize.size());
  for (const auto& [name, f] : found) {
    ASSERT_TRUE(bySize.count(f.item->size)) << name;
    EXPECT_TRUE(recover(*s->engine, *f.item) == bySize[f.item->size]) << name;
  }
}

}  // namespace
}  // namespace brenix::ext
