// EXT4 deleted scan beside The Sleuth Kit's `fls -rd` on one image in one
// run: a volume made by mkfs.ext4 with 1,000,000 inodes whose tables are all
// written, holding 5,000 files of which every other one was removed with
// debugfs. Prints inodes per second for both, peak memory and the ratio.
//   ext_peer_compare [ROUNDS] [IMAGE]
// With IMAGE, that volume is measured instead (and left in place), e.g. one
// of 10,000,000 inodes: mkfs.ext4 -N 10000000 -E lazy_itable_init=0 on a
// 40 GB sparse file, with -O ^metadata_csum,^uninit_bg so that no table can
// be skipped.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "disk/device_table.h"
#include "jobs/engine_factory.h"
#include "peer_run.h"
#include "peer_scan.h"

namespace {

using namespace brenix;

constexpr int kInodes = 1000000, kFiles = 5000;

bool buildImage(const std::string& path) {
  const std::string dir = std::filesystem::temp_directory_path().string();
  const std::string cmds = dir + "/brenix-ext-peer-cmds.txt", data = dir + "/brenix-ext-peer-data.bin";
  std::ofstream(data) << std::string(6000, 'x');
  {
    std::ofstream c(cmds);
    c << "mkdir photos\n";
    for (int i = 0; i < kFiles; ++i) c << "write " << data << " photos/p" << i << ".jpg\n";
    for (int i = 0; i < kFiles; i += 2) c << "rm photos/p" << i << ".jpg\n";
  }
  const std::string mk = "rm -f " + path + " && mkfs.ext4 -q -F -N " + std::to_string(kInodes) +
                         " -E lazy_itable_init=0 " + path + " 2G && debugfs -w -f " + cmds + " " + path + " >/dev/null 2>&1";
  const bool ok = std::system(mk.c_str()) == 0;
  std::filesystem::remove(cmds);
  std::filesystem::remove(data);
  return ok;
}

// The inode count in the superblock at byte 1024 (s_inodes_count, first word).
uint32_t inodesOf(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  uint8_t b[4] = {};
  f.seekg(1024);
  f.read(reinterpret_cast<char*>(b), 4);
  return f ? uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const bool given = argc > 2;
  const std::string path =
      given ? std::string(argv[2]) : (std::filesystem::temp_directory_path() / "brenix-ext-peer-bench.img").string();
  const uint32_t inodes = given ? inodesOf(path) : kInodes;
  if (inodes == 0) {
    std::fprintf(stderr, "cannot read the superblock of %s\n", path.c_str());
    return 1;
  }
  if (!given && !buildImage(path)) {
    std::fprintf(stderr, "cannot build %s (mkfs.ext4 and debugfs are needed)\n", path.c_str());
    return 1;
  }
  const int drive = bench::attachBenchImage(path);
  if (drive < 0) return 1;
  size_t found = 0;
  const auto ours = [&] {
    const long items = bench::deletedScanItems(drive, "EXT4");
    if (items < 0) return false;
    found = static_cast<size_t>(items);
    return found > 0;
  };
  ours();
  if (given)
    std::printf("machine: %u cores; ours found %zu deleted files in %s\n", std::thread::hardware_concurrency(), found,
                path.c_str());
  else
    std::printf("machine: %u cores; ours found %zu deleted files (%d removed)\n", std::thread::hardware_concurrency(),
                found, kFiles / 2);
  const std::string title = "EXT4 deleted scan, " + std::to_string(inodes) + " inodes";
  bench::compareWithPeer(title.c_str(), double(inodes), ours, {"fls", "-rd", "-f", "ext4", path},
                         "at least 3 x fls -rd on the same image", rounds);
  bench::compareWithPeer(title.c_str(), double(inodes), ours, {"ils", "-f", "ext4", path},
                         "(ils lists the removed inodes)", rounds);
  if (!given) std::filesystem::remove(path);
  return 0;
}
