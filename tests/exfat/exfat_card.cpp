#include "exfat/exfat_card.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "disk/device_table.h"
#include "jobs/engine_factory.h"
#include "support/tools.h"

namespace brenix::test {

namespace fs = std::filesystem;

std::vector<uint8_t> exfatContent(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 12345;
  for (auto& b : v) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = uint8_t(x >> 3);
  }
  return v;
}

ExFatCard::ExFatCard(const TempDir& dir, uint64_t mib, uint64_t partitionStart)
    : image_(dir / "card.img"), mountPoint_(dir / "mnt"), partitionStart_(partitionStart) {
  for (const char* tool : {"mkfs.exfat", "mount.exfat-fuse", "losetup", "fusermount"})
    if (!haveTool(tool)) unavailable_ = std::string(tool) + " is not installed";
  if (unavailable_.empty() && geteuid() != 0) unavailable_ = "loop devices need root";
  if (unavailable_.empty() && access("/dev/fuse", R_OK | W_OK) != 0) unavailable_ = "no /dev/fuse";
  if (!unavailable_.empty()) return;
  runTool({"truncate", "-s", std::to_string(mib) + "M", image_.string()});
  if (partitionStart_ > 0) {
    const auto r = runTool({"sfdisk", "--no-reread", "--no-tell-kernel", image_.string()},
                           "label: dos\nstart=" + std::to_string(partitionStart_) + ", type=7\n");
    if (r.status != 0) unavailable_ = "sfdisk failed: " + r.output;
  }
  fs::create_directories(mountPoint_);
  if (unavailable_.empty() && !attach()) unavailable_ = "no loop device could be attached";
}

ExFatCard::~ExFatCard() {
  if (mounted_) unmount();
  detach();
}

bool ExFatCard::attach() {
  std::vector<std::string> argv = {"losetup", "--find", "--show"};
  if (partitionStart_ > 0) {
    argv.push_back("--offset");
    argv.push_back(std::to_string(partitionStart_ * 512));
  }
  argv.push_back(image_.string());
  const auto r = runTool(argv);
  if (r.status != 0) return false;
  loop_ = r.output.substr(0, r.output.find('\n'));
  return loop_.rfind("/dev/loop", 0) == 0;
}

void ExFatCard::detach() {
  if (!loop_.empty()) runTool({"losetup", "--detach", loop_});
  loop_.clear();
}

bool ExFatCard::format(const std::vector<std::string>& mkfsArgs) {
  std::vector<std::string> argv = {"mkfs.exfat"};
  argv.insert(argv.end(), mkfsArgs.begin(), mkfsArgs.end());
  argv.push_back(loop_);
  const auto r = runTool(argv);
  EXPECT_EQ(r.status, 0) << r.output;
  return r.status == 0;
}

bool ExFatCard::mount() {
  const auto r = runTool({"mount.exfat-fuse", loop_, mountPoint_.string()});
  mounted_ = r.status == 0;
  if (!mounted_) unavailable_ = "exfat-fuse could not mount: " + r.output;
  return mounted_;
}

bool ExFatCard::unmount() {
  if (!mounted_) return true;
  runTool({"sync"});
  const auto r = runTool({"fusermount", "-u", mountPoint_.string()});
  EXPECT_EQ(r.status, 0) << r.output;
  mounted_ = r.status != 0;
  // The FUSE driver writes back on release; flush the loop device's cache into the image.
  runTool({"blockdev", "--flushbufs", loop_});
  return !mounted_;
}

void ExFatCard::put(const std::string& path, const std::vector<uint8_t>& bytes) {
  writeFile(mountPoint_ / path, bytes);
  files_[path] = bytes;
}

void ExFatCard::mkdir(const std::string& path) { fs::create_directories(mountPoint_ / path); }

void ExFatCard::remove(const std::string& path) { fs::remove_all(mountPoint_ / path); }

std::map<std::string, const FoundItem*> ExFatRun::byPath() const {
  std::map<std::string, const FoundItem*> out;
  struct Walk {
    static void go(const ResultTree& t, const ResultFolder& f, const std::string& prefix,
                   std::map<std::string, const FoundItem*>& out) {
      for (size_t i : f.items) out[prefix + t.item(i).name] = &t.item(i);
      for (const auto& c : f.children) go(t, *c, prefix + c->name + "/", out);
    }
  };
  Walk::go(tree, tree.root(), "", out);
  return out;
}

namespace {
class VectorSink : public ByteSink {
 public:
  bool write(const uint8_t* data, size_t size) override {
    bytes.insert(bytes.end(), data, data + size);
    return true;
  }
  std::vector<uint8_t> bytes;
};
}  // namespace

std::vector<uint8_t> ExFatRun::recover(const FoundItem& item, WriteStatus* status) {
  VectorSink sink;
  const WriteStatus s = engine->writeItem(item, sink, running);
  if (status) *status = s;
  return sink.bytes;
}

std::unique_ptr<ExFatRun> scanExFatImage(const fs::path& image, ScanMode mode, uint64_t partitionStart) {
  auto run = std::make_unique<ExFatRun>();
  DeviceTable& table = DeviceTable::instance();
  table.setIncludeSystemDisks(false);
  std::string error;
  const int drive = table.attachImage(image.string(), &error);
  EXPECT_GE(drive, 0) << error;
  run->engine = createEngine("exFAT", mode);
  EXPECT_NE(run->engine, nullptr);
  if (!run->engine) return run;
  run->ctx.partition.diskNumber = drive;
  run->ctx.partition.driveLetter = '*';
  run->ctx.partitionStart = partitionStart;
  run->ctx.options.startSector = partitionStart;
  const ScanResult r = run->engine->scan(mode, run->ctx, run->tree, run->running);
  EXPECT_EQ(r.error, 0) << r.message;
  return run;
}

std::vector<std::string> flsDeletedFiles(const fs::path& image, uint64_t partitionStart) {
  const auto r = runTool({"fls", "-f", "exfat", "-rd", "-o", std::to_string(partitionStart), image.string()});
  EXPECT_EQ(r.status, 0) << r.output;
  std::vector<std::string> out;
  std::istringstream in(r.output);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("r/r * ", 0) != 0 || line.find("$OrphanFiles") != std::string::npos) continue;
    const size_t tab = line.find('\t');
    if (tab != std::string::npos) out.push_back(line.substr(tab + 1));
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace brenix::test
