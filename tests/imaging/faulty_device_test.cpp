// The brenix program over real block devices that fail the way dying disks
// do (tests/support/faulty_device.h): imaging one whose sectors fail with
// EIO, with GNU ddrescue as the peer that must agree with our map, and
// scanning one whose read never answers, which the read deadline must give up
// on while the rest of the disk is scanned as usual.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <regex>
#include <thread>

#include "disk/read_errors.h"
#include "imaging/rescue_map.h"
#include "support/faulty_device.h"
#include "support/temp_dir.h"
#include "support/tools.h"

namespace brenix {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> pattern(size_t size) {
  std::vector<uint8_t> v(size);
  uint32_t x = 0x9e3779b9;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

std::vector<std::pair<uint64_t, uint64_t>> badAreas(const fs::path& mapPath, uint64_t size) {
  RescueMap map;
  std::string error;
  EXPECT_TRUE(loadRescueMap(mapPath.string(), size, &map, &error)) << error;
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (const MapArea& a : map.areas()) {
    EXPECT_TRUE(a.status == AreaStatus::Finished || a.status == AreaStatus::BadSector) << static_cast<char>(a.status);
    if (a.status == AreaStatus::BadSector) out.emplace_back(a.pos, a.size);
  }
  return out;
}

// Sectors 3000 to 3007 fail: device-mapper error targets where the machine
// has the driver, else EIO from the FUSE file under a loop device.
TEST(ImageCommand, FaultyBlockDevice) {
  const char* cli = std::getenv("BRENIX_CLI");
  if (!cli || !fs::exists(cli)) GTEST_SKIP() << "the brenix program is not built";
  test::TempDir dir;
  const std::vector<uint8_t> bytes = pattern(4 << 20);  // 8192 sectors
  test::writeFile(dir / "backing.img", bytes);
  std::string whyNot;
  auto device = test::FaultyDevice::make(dir / "backing.img", dir.path(), {{3000 * 512, 4096}}, {}, &whyNot);
  if (!device) GTEST_SKIP() << "no faulty block device: " << whyNot;
  const fs::path img = dir / "copy.img", map = dir / "copy.img.map";
  test::ToolResult r = test::runTool({cli, "image", device->path(), img.string(), "--block-size", "64"});
  ASSERT_EQ(r.status, 0) << device->kind() << ": " << r.output;
  EXPECT_NE(r.output.find("bad areas: 1 (4096 bytes)"), std::string::npos) << r.output;
  std::vector<uint8_t> expected = bytes;
  std::fill(expected.begin() + 3000 * 512, expected.begin() + 3008 * 512, 0);
  EXPECT_EQ(test::readFile(img), expected);
  const std::vector<std::pair<uint64_t, uint64_t>> bad = {{3000 * 512, 4096}};
  EXPECT_EQ(badAreas(map, bytes.size()), bad);

  // GNU ddrescue continues from our map on the same device, trying the bad
  // area once more: it fails there again and finds nothing else to copy, so
  // the image and the bad area stay as they are.
  BRENIX_REQUIRE_TOOL("ddrescue");
  const std::string before = test::sha256Of(img);
  test::ToolResult dd = test::runTool({"ddrescue", "-r1", device->path(), img.string(), map.string()});
  ASSERT_EQ(dd.status, 0) << dd.output;
  EXPECT_EQ(test::sha256Of(img), before) << dd.output;
  EXPECT_EQ(badAreas(map, bytes.size()), bad);
}

// A raw scan with a one-second deadline of a card whose page at 3 MiB never
// answers while the scan runs: the scan ends in seconds, counts the stalled
// sectors unreadable and finds every picture the intact card has.
TEST(ScanCommand, AReadThatNeverAnswersTimesOutAndTheScanGoesOn) {
  const char* cli = std::getenv("BRENIX_CLI");
  const char* source = std::getenv("BRENIX_SOURCE_DIR");
  if (!cli || !fs::exists(cli) || !source) GTEST_SKIP() << "the brenix program is not built";
  test::TempDir dir;
  // No partition table; pictures before and after the stalled page, one in the
  // same 2 MB chunk of the scan.
  std::vector<uint8_t> card(8 << 20, 0);
  const fs::path demo = fs::path(source) / "data" / "demo";
  const std::pair<const char*, size_t> pictures[] = {{"Beach sunset.jpg", 1 << 19},
                                                     {"Mountain lake.jpg", 3 << 19},
                                                     {"Birthday party.jpg", 5 << 19},
                                                     {"Garden in spring.jpg", 9 << 19},
                                                     {"IMG_0004.JPG", 13 << 19}};
  for (const auto& [name, at] : pictures) {
    const std::vector<uint8_t> jpg = test::readFile(demo / name);
    ASSERT_FALSE(jpg.empty()) << name;
    std::copy(jpg.begin(), jpg.end(), card.begin() + static_cast<long>(at));
  }
  test::writeFile(dir / "card.img", card);
  const std::vector<std::string> scan = {"scan", "--mode", "raw", "--whole-disk", "--types", "jpg", "--images-only",
                                         "--image"};
  auto run = [&](const std::string& disk, std::vector<std::string> extra) {
    // A leak check at exit stops every thread, and the one left in the stalled
    // read can not stop until the device answers: under the sanitizers the
    // program would wait for that instead of ending.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::vector<std::string> args = {"env", std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0",
                                     "timeout", "120", cli};
    args.insert(args.end(), scan.begin(), scan.end());
    args.push_back(disk);
    args.insert(args.end(), extra.begin(), extra.end());
    return test::runTool(args);
  };
  const test::ToolResult intact = run((dir / "card.img").string(), {});
  ASSERT_EQ(intact.status, 0) << intact.output;
  ASSERT_NE(intact.output.find("Found: 5 files"), std::string::npos) << intact.output;

  std::string whyNot;
  auto device = test::FaultyDevice::make(dir / "card.img", dir.path(), {}, {{3 << 20, 4096}}, &whyNot);
  if (!device) GTEST_SKIP() << "no stalling block device: " << whyNot;
  const auto start = std::chrono::steady_clock::now();
  const test::ToolResult r = run(device->path(), {"--read-timeout", "1"});
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_LT(seconds, 30.0) << r.output;
  std::cout << "stalled scan took " << seconds << " s\n";
  // The read was still hanging when the scan ended.
  EXPECT_NE(device->log().find("stalled read"), std::string::npos) << device->log();
  EXPECT_EQ(device->log().find("released read"), std::string::npos) << device->log();
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.output, m, std::regex("\n([0-9]+) sectors could not be read\n"))) << r.output;
  const uint64_t unreadable = std::stoull(m[1]);
  // At least the stalled page, at most the one piece of the reader's grid it lies in.
  EXPECT_GE(unreadable, 8u);
  EXPECT_LE(unreadable, kSalvagePieceBytes / 512) << r.output;
  EXPECT_EQ(r.output.substr(0, static_cast<size_t>(m.position(0)) + 1), intact.output);

  device->release();
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (device->log().find("released read") == std::string::npos && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_NE(device->log().find("released read"), std::string::npos) << device->log();
}

}  // namespace
}  // namespace brenix
