// NTFS deleted scan beside The Sleuth Kit's `fls -rd` on one image in one
// run: a volume made by mkntfs whose master file table is then replaced by
// hand with one of 1,000,000 records — 10,000 folders, 100,000 deleted files
// in them, the rest live files — laid out in one run at the volume's end.
// Prints records per second for both, both peak memories and the ratio, with
// the goals beside them.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "disk/device_table.h"
#include "jobs/engine_factory.h"
#include "ntfs_bench_records.h"
#include "peer_run.h"
#include "peer_scan.h"

namespace {

using namespace brenix;
using namespace brenix::bench;

constexpr uint32_t kRecords = 1000000;
constexpr uint32_t kKeptSystemRecords = 64;  // records mkntfs wrote ($MFT itself is replaced)

bool isFolder(uint32_t i) { return i % 100 == 31; }
bool isDeleted(uint32_t i) { return !isFolder(i) && i % 10 == 3; }

bool buildImage(const std::string& path) {
  const uint64_t mftBytes = uint64_t(kRecords) * kRs;
  const uint64_t volumeBytes = 2 * mftBytes + (uint64_t(128) << 20);
  const std::string mk = "rm -f " + path + " && truncate -s " + std::to_string(volumeBytes) + " " + path +
                         " && mkntfs -F -Q -q -c 4096 " + path + " >/dev/null 2>&1";
  if (std::system(mk.c_str()) != 0) return false;
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  std::vector<uint8_t> boot(512);
  f.read(reinterpret_cast<char*>(boot.data()), 512);
  if (!f || std::memcmp(&boot[3], "NTFS", 4) != 0 || le16(&boot[0x0B]) * boot[0x0D] != kCluster) return false;
  const uint64_t totalClusters = le64(&boot[0x28]) * 512 / kCluster;
  const uint64_t mftClusters = mftBytes / kCluster;
  const uint64_t newMft = totalClusters - mftClusters - 64;  // far past what mkntfs placed
  std::vector<uint8_t> system(size_t(kKeptSystemRecords) * kRs);
  f.seekg(static_cast<std::streamoff>(le64(&boot[0x30]) * kCluster));
  f.read(reinterpret_cast<char*>(system.data()), static_cast<std::streamsize>(system.size()));
  f.seekp(static_cast<std::streamoff>(newMft * kCluster));
  std::vector<uint8_t> block;
  block.reserve(size_t(4) << 20);
  for (uint32_t i = 0; i < kRecords; ++i) {
    std::vector<uint8_t> r;
    if (i == 0) r = makeRecord("$MFT", 5, true, false, runOf(newMft, mftClusters), mftBytes);
    else if (i < kKeptSystemRecords) r.assign(system.begin() + i * kRs, system.begin() + (i + 1) * kRs);
    else if (isFolder(i)) r = makeRecord("folder" + std::to_string(i), 5, true, true, {}, 0);
    else r = makeRecord("IMG_" + std::to_string(i) + ".jpg", (i / 100) * 100 + 31, !isDeleted(i), false, {}, 200);
    block.insert(block.end(), r.begin(), r.end());
    if (block.size() >= (size_t(4) << 20) || i + 1 == kRecords) {
      f.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size()));
      block.clear();
    }
  }
  putLe64(&boot[0x30], newMft);
  f.seekp(0);
  f.write(reinterpret_cast<const char*>(boot.data()), 512);
  return bool(f);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const std::string path = (std::filesystem::temp_directory_path() / "brenix-ntfs-peer-bench.img").string();
  if (!buildImage(path)) {
    std::fprintf(stderr, "cannot build %s (mkntfs is needed)\n", path.c_str());
    return 1;
  }
  uint32_t deleted = 0;
  for (uint32_t i = kKeptSystemRecords; i < kRecords; ++i) deleted += isDeleted(i);
  const int drive = attachBenchImage(path);
  if (drive < 0) return 1;
  size_t found = 0;
  const auto ours = [&] {
    const long items = deletedScanItems(drive, "NTFS");
    if (items < 0) return false;
    found = static_cast<size_t>(items);
    return found == deleted;
  };
  ours();
  std::printf("machine: %u cores; ours found %zu deleted files (%u deleted)\n", std::thread::hardware_concurrency(),
              found, deleted);
  const double memoryGoalMiB = (200.0 * kRecords + 1024.0 * deleted) / (1 << 20);
  const std::string goal = "ours >= 2,000,000 records/s on one core, >= 5 x fls -rd, peak RSS <= 200 B per record + "
                           "1 KiB per found item + a constant (" + std::to_string(int(memoryGoalMiB)) + " MiB + a constant here)";
  bench::compareWithPeer("NTFS deleted scan, 1,000,000 records, 100,000 deleted", double(kRecords), ours,
                         {"fls", "-rd", "-f", "ntfs", path}, goal.c_str(), rounds);
  // "keep" as a second argument leaves the image for further measurements.
  if (argc < 3 || std::string(argv[2]) != "keep") std::filesystem::remove(path);
  return 0;
}
