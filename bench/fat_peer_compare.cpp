// FAT32 deleted scan beside The Sleuth Kit's `fls -rd` on one image in one
// run: 200,000 deleted pictures with long names in 200 folders of 1,000 below
// one top folder, on a 256 MiB volume in the page cache. Prints both speeds,
// both peak memories and the ratio, with the goal beside them.
#include <cstdio>
#include <cstring>
#include <thread>
#include <filesystem>
#include <fstream>

#include "../tests/fat/fat_test_image.h"
#include "disk/device_table.h"
#include "jobs/engine_factory.h"
#include "peer_run.h"
#include "peer_scan.h"

namespace {

using namespace brenix;

constexpr int kFolders = 200, kPerFolder = 1000;

std::string buildImage() {
  test::FatImage img = test::FatImage::fat32(512 * 1024, 8);  // 256 MiB, 4 KiB clusters
  uint32_t nextCluster = 4;
  test::DirBytes top;
  top.dots(3, 0);
  std::vector<std::pair<uint32_t, test::DirBytes>> folders;
  for (int f = 0; f < kFolders; ++f) {
    test::DirBytes dir;
    const uint32_t self = nextCluster;
    dir.dots(self, 3);
    for (int i = 0; i < kPerFolder; ++i) {
      const std::string n = std::to_string(f * kPerFolder + i);
      const std::string shortName = "P" + std::string(7 - n.size(), '0') + n + "JPG";
      dir.named(u"Holiday picture " + std::u16string(n.begin(), n.end()) + u".jpg", shortName, 0x20,
                20000 + uint32_t(i) * 3, 9000);
      dir.deleteLast();
    }
    const uint32_t clusters = uint32_t((dir.bytes.size() + 4095) / 4096);
    std::vector<uint32_t> chain;
    for (uint32_t c = self; c < self + clusters; ++c) chain.push_back(c);
    img.chain(chain);
    nextCluster += clusters;
    const std::string fn = std::to_string(f);
    top.named(u"Folder " + std::u16string(fn.begin(), fn.end()), "F" + std::string(7 - fn.size(), '0') + fn + "   ",
              0x10, self, 0);
    folders.emplace_back(self, std::move(dir));
  }
  const uint32_t topClusters = uint32_t((top.bytes.size() + 4095) / 4096);
  std::vector<uint32_t> topChain{3};
  for (uint32_t k = 1; k < topClusters; ++k) topChain.push_back(nextCluster++);
  img.chain(topChain);
  for (size_t k = 0; k < topChain.size(); ++k) {
    const size_t from = k * 4096, n = std::min<size_t>(4096, top.bytes.size() - from);
    std::memcpy(img.cluster(topChain[k]), top.bytes.data() + from, n);
  }
  for (auto& [c, d] : folders) img.put(c, d.bytes);
  test::DirBytes root;
  root.entry("DCIM       ", 0x10, 3, 0);
  img.putRoot(root.bytes);
  const auto path = std::filesystem::temp_directory_path() / "brenix-fat-peer-bench.img";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(img.img.data()), std::streamsize(img.img.size()));
  return path.string();
}

}  // namespace

int main() {
  const std::string path = buildImage();
  const int drive = bench::attachBenchImage(path);
  if (drive < 0) return 1;
  size_t found = 0;
  const auto ours = [&] {
    const long items = bench::deletedScanItems(drive, "FAT32");
    if (items < 0) return false;
    found = static_cast<size_t>(items);
    return found == size_t(kFolders) * kPerFolder;
  };
  ours();  // warms the page cache and checks the count
  std::printf("machine: %u cores; ours found %zu of %d deleted files\n", std::thread::hardware_concurrency(), found,
              kFolders * kPerFolder);
  bench::compareWithPeer("FAT32 deleted scan, 200,000 files in 200 folders", double(kFolders) * kPerFolder, ours,
                         {"fls", "-rd", "-f", "fat32", path}, "at least 3 x fls -rd on the same image", 3);
  std::filesystem::remove(path);
  return 0;
}
