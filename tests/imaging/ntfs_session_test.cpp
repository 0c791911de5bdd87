// NTFS scans that stop and continue. A formatted-drive scan of a 1 GiB volume
// quick-formatted over old files (near its start, and inside a file at about
// two thirds), interrupted with SIGINT at about a quarter and continued from
// its session file, lists exactly what one uninterrupted scan lists and sweeps
// the first part only once. A deleted-file scan of a table of some thousand
// records, stopped after its first read, continues from the point it reached
// in a fresh engine and lists the same files under the same paths. A stored
// point that does not fit the volume is refused and left as it is.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "brenix_run.h"
#include "disk/device_table.h"
#include "ntfs/ntfs_engine.h"
#include "support/temp_dir.h"
#include "support/tools.h"

namespace brenix {
namespace {

namespace fs = std::filesystem;
using test::BrenixRun;
using test::runBrenix;

constexpr long long kSize = 1ll << 30;

bool sh(const std::string& command) { return test::runTool({"sh", "-c", command}).status == 0; }

// A fresh NTFS volume of `size` mounted with ntfs-3g while fill runs in its mount point.
bool makeVolume(const fs::path& image, const std::string& size, const std::function<bool(const fs::path&)>& fill) {
  const fs::path mnt = image.string() + ".mnt";
  fs::create_directories(mnt);
  if (!sh("truncate -s " + size + " '" + image.string() + "' && mkntfs -F -Q -q '" + image.string() + "' >/dev/null 2>&1"))
    return false;
  if (!sh("ntfs-3g '" + image.string() + "' '" + mnt.string() + "'")) return false;
  const bool filled = fill(mnt);
  umount2(mnt.c_str(), 0);
  return filled;
}

std::vector<std::string> scanArgs(const fs::path& image, const char* mode, const std::vector<std::string>& more) {
  std::vector<std::string> a{"scan", "--images-only", "--image", image.string(), "--mode", mode, "--json"};
  if (std::string(mode) == "formatted") a.push_back("--no-carve");
  a.insert(a.end(), more.begin(), more.end());
  return a;
}

// A session of `session` changed by `bend`, then resumed: refused with `why`, the file left as it is.
void expectRefused(const fs::path& image, const char* mode, const nlohmann::json& session,
                   const std::function<void(nlohmann::json&)>& bend, const std::string& why, const fs::path& dir) {
  nlohmann::json j = session;
  bend(j);
  const fs::path bent = dir / "bent.session";
  const std::string text = j.dump();
  test::writeFile(bent, std::vector<uint8_t>(text.begin(), text.end()));
  const std::vector<uint8_t> before = test::readFile(bent);
  const BrenixRun r = runBrenix(scanArgs(image, mode, {"--resume", bent.string()}), dir / "r.json", 0);
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("refused: " + why), std::string::npos) << r.output;
  EXPECT_EQ(test::readFile(bent), before);
}

class NtfsSession : public testing::Test {
 protected:
  void SetUp() override {
    const char* cli = std::getenv("BRENIX_CLI");
    if (!cli || !fs::exists(cli)) GTEST_SKIP() << "the brenix program is not built";
    if (test::bytesReadBy(getpid()) < 0) GTEST_SKIP() << "no I/O accounting in /proc";
    BRENIX_REQUIRE_TOOL("mkntfs");
    BRENIX_REQUIRE_TOOL("ntfs-3g");
  }
  test::TempDir dir_;
};

TEST_F(NtfsSession, FormattedSweepInterruptedAndResumedListsTheSameSweepingTheFirstPartOnce) {
  const fs::path image = dir_ / "disk.img", inner = dir_ / "inner.img";
  // Old records inside a file: a small volume's table, written 500 MiB into a sparse file.
  ASSERT_TRUE(makeVolume(inner, "8M", [](const fs::path& m) {
    return sh("mkdir '" + m.string() + "/Far' && head -c 7000 /dev/urandom > '" + m.string() + "/Far/far.bin'");
  })) << "ntfs-3g could not mount an image (no FUSE?)";
  ASSERT_TRUE(makeVolume(image, "1G", [&](const fs::path& m) {
    const std::string d = "'" + m.string() + "'";
    return sh("mkdir -p " + d + "/A " + d + "/B/C && for i in $(seq 1 150); do head -c $((100 + i * 37)) /dev/urandom > " +
              d + "/A/a$i.dat; done && head -c 9000 /dev/urandom > " + d + "/B/C/c.bin && dd if='" + inner.string() +
              "' of=" + d + "/fill bs=1M seek=500 conv=notrunc status=none");
  }));
  ASSERT_TRUE(sh("mkntfs -F -Q -q '" + image.string() + "' >/dev/null 2>&1"));  // the quick format

  const BrenixRun whole = runBrenix(scanArgs(image, "formatted", {}), dir_ / "whole.json", 0);
  ASSERT_EQ(whole.status, 0) << whole.output;
  const auto expected = nlohmann::json::parse(test::readFile(dir_ / "whole.json"));
  const std::string listing = expected.dump();
  for (const char* name : {"a1.dat", "a150.dat", "c.bin", "far.bin"})
    EXPECT_NE(listing.find(name), std::string::npos) << name << " missing from " << listing;

  const std::string session = (dir_ / "scan.session").string();
  const BrenixRun first = runBrenix(scanArgs(image, "formatted", {"--session", session}), dir_ / "first.json", kSize / 4);
  ASSERT_EQ(first.status, 130) << first.output;
  EXPECT_NE(first.output.find("at byte "), std::string::npos) << first.output;
  const auto saved = nlohmann::json::parse(std::ifstream(session));
  const uint64_t position = saved["position"];
  EXPECT_GT(position, static_cast<uint64_t>(kSize) / 8) << first.output;
  // Under load the stop comes late; it must still come before the late records (at about 0.96).
  EXPECT_LT(position, static_cast<uint64_t>(kSize) * 15 / 16);
  // The old table's records (a folder among them) were found before the stop.
  ASSERT_GE(saved["found"].size(), 2 * 150u);
  bool folder = false;
  for (size_t k = 1; k < saved["found"].size(); k += 2) folder = folder || saved["found"][k].get<uint64_t>() >> 32;
  EXPECT_TRUE(folder);
  const std::vector<uint8_t> interrupted = test::readFile(session);

  // A found record off a sector bound is refused.
  expectRefused(image, "formatted", saved, [&](nlohmann::json& j) { j["found"][0] = j["found"][0].get<uint64_t>() + 100; },
                "found record at byte " + std::to_string(saved["found"][0].get<uint64_t>() + 100) + " does not fit", dir_.path());
  EXPECT_EQ(test::readFile(session), interrupted);

  const BrenixRun second = runBrenix(scanArgs(image, "formatted", {"--resume", session}), dir_ / "second.json", 0);
  ASSERT_EQ(second.status, 0) << second.output;
  EXPECT_EQ(nlohmann::json::parse(test::readFile(dir_ / "second.json")), expected);
  const long long slack = 16 << 20;
  EXPECT_LT(second.bytesRead, kSize - static_cast<long long>(position) + slack) << "resumed at byte " << position;
  const auto done = nlohmann::json::parse(std::ifstream(session));
  EXPECT_TRUE(done["finished"].get<bool>());
  // The inner volume's records were found after the stop.
  EXPECT_GT(done["found"].size(), saved["found"].size());
  EXPECT_EQ(saved["runs"][0]["sweptBytes"].get<uint64_t>() + done["runs"][1]["sweptBytes"].get<uint64_t>(),
            done["range"][1].get<uint64_t>() - done["range"][0].get<uint64_t>());
}

// Every item of a deleted-file scan as "path|size", in listing order.
std::vector<std::string> listing(const ResultTree& tree) {
  std::vector<std::string> out;
  std::function<void(const ResultFolder&, const std::string&)> walk = [&](const ResultFolder& f, const std::string& at) {
    for (size_t i : f.items) out.push_back(at + tree.item(i).name + "|" + std::to_string(tree.item(i).size));
    for (const auto& child : f.children) walk(*child, at + child->name + "/");
  };
  walk(tree.root(), "");
  return out;
}

TEST_F(NtfsSession, DeletedScanStoppedAfterItsFirstReadContinuesToTheSameListing) {
  const fs::path image = dir_ / "deleted.img";
  // Folders first, so that files in the table's later part lie in folders of its first part.
  ASSERT_TRUE(makeVolume(image, "64M", [](const fs::path& m) {
    const std::string d = "'" + m.string() + "'";
    return sh("cd " + d + " && mkdir D0 D1 D2 D3 Gone && for i in $(seq 1 3000); do echo $i > D$((i % 4))/f$i.txt; done"
              " && for i in $(seq 1 40); do echo $i > Gone/g$i.txt; done && rm D*/f*[05].txt && rm -r Gone");
  })) << "ntfs-3g could not mount an image (no FUSE?)";

  DeviceTable& table = DeviceTable::instance();
  table.setIncludeSystemDisks(false);
  table.clearImages();
  std::string error;
  const int drive = table.attachImage(image.string(), &error);
  ASSERT_GE(drive, 0) << error;
  auto scan = [&](SweepSession* sweep, bool stopEarly, std::vector<std::string>* out) {
    RecoveryContext ctx;
    PartitionInfo p = makePartitionInfo();
    p.diskNumber = drive;
    p.driveLetter = '*';
    p.setFs("NTFS");
    p.totalBytes = fs::file_size(image);
    ctx.selectPartition(p, "");
    ctx.sweep = sweep;
    RunningFlag running{true};
    if (stopEarly) sweep->sink = [&](const SweepCheckpoint&) { running = false; };
    NtfsEngine engine;
    ResultTree tree;
    const ScanResult r = engine.scan(ScanMode::Deleted, ctx, tree, running);
    *out = listing(tree);
    return r;
  };
  std::vector<std::string> expected, partial, resumed;
  ASSERT_EQ(scan(nullptr, false, &expected).error, 0);
  ASSERT_GT(expected.size(), 600u);
  EXPECT_NE(std::find(expected.begin(), expected.end(), "D2/f2990.txt|5"), expected.end());
  EXPECT_NE(std::find(expected.begin(), expected.end(), "Gone/g7.txt|2"), expected.end());

  SweepSession stopped;
  scan(&stopped, true, &partial);
  ASSERT_TRUE(stopped.reachedSet);
  const SweepCheckpoint point = stopped.reached;
  EXPECT_EQ(stopped.unit, "record");
  EXPECT_FALSE(point.ended);
  EXPECT_GT(point.position, 0u);
  EXPECT_LT(point.position, point.end);
  EXPECT_GT(point.found.size(), 100u);  // folders and deleted files of the first part

  SweepSession again;
  again.resume = point;
  ASSERT_EQ(scan(&again, false, &resumed).error, 0) << again.refused;
  EXPECT_EQ(resumed, expected);
  ASSERT_TRUE(again.reachedSet);
  EXPECT_TRUE(again.reached.ended);
  EXPECT_GT(again.reached.found.size(), point.found.size());
  EXPECT_EQ(again.reached.sweptBytes, (point.end - point.position) * 1024);

  // At the program: a session whose found record lies past its position is refused and left as it is.
  table.clearImages();
  const std::string session = (dir_ / "deleted.session").string();
  const BrenixRun whole = runBrenix(scanArgs(image, "deleted", {"--session", session}), dir_ / "whole.json", 0);
  ASSERT_EQ(whole.status, 0) << whole.output;
  auto saved = nlohmann::json::parse(std::ifstream(session));
  const uint64_t end = saved["position"];
  EXPECT_EQ(end, point.end);
  expectRefused(image, "deleted", saved,
                [&](nlohmann::json& j) {
                  j["finished"] = false;
                  j["found"].push_back(end);
                },
                "found record " + std::to_string(end) + " does not fit", dir_.path());
}

}  // namespace
}  // namespace brenix
