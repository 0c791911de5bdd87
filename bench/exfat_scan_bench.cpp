// exFAT deleted scan of a card with 100 000 deleted files (100 folders of
// 1000), beside The Sleuth Kit's `fls -rd` over the same image in the same
// run. The image is sparse: only its metadata is written.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "../tests/exfat/exfat_image.h"
#include "disk/device_table.h"
#include "exfat/exfat_engine.h"
#include "jobs/engine_factory.h"

namespace {

using namespace brenix;

constexpr int kFolders = 100, kFilesPerFolder = 1000;
constexpr uint32_t kClusters = 110000;  // 32 KiB clusters: a 3.4 GiB card
constexpr uint8_t kShift = 6;

const std::filesystem::path& benchImage() {
  static const std::filesystem::path path = [] {
    // Folders at clusters 5.., three clusters each; file data from cluster 1000 on.
    const uint32_t dirClusters = 3;
    test::ExFatImage img(kClusters, kShift, 5 + kFolders * dirClusters);
    std::vector<uint8_t> root;
    uint32_t data = 1000;
    for (int f = 0; f < kFolders; ++f) {
      const uint32_t first = 5 + uint32_t(f) * dirClusters;
      std::vector<uint8_t> dir;
      for (int i = 0; i < kFilesPerFolder; ++i) {
        const std::string n = "IMG_" + std::to_string(100000 + f * kFilesPerFolder + i).substr(1) + ".JPG";
        const auto set = test::entrySet({std::u16string(n.begin(), n.end()), 0x20, data++, 30000, UINT64_MAX, true, true});
        dir.insert(dir.end(), set.begin(), set.end());
      }
      img.putDirectory({first, first + 1, first + 2}, dir);
      for (uint32_t c = first; c < first + dirClusters; ++c) img.markUsed(c);
      const std::string name = "F" + std::to_string(1000 + f).substr(1);
      const auto set = test::entrySet({std::u16string(name.begin(), name.end()), 0x10, first,
                                       uint64_t(dirClusters) * img.clusterBytes()});
      root.insert(root.end(), set.begin(), set.end());
    }
    // The root: the bitmap and up-case entries, then the folders.
    std::vector<uint8_t> head(img.cluster(4), img.cluster(4) + 64);
    head.insert(head.end(), root.begin(), root.end());
    img.putDirectory({4}, head);
    img.sealBootRegion();
    const auto p = std::filesystem::temp_directory_path() / "brenix-exfat-bench.img";
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(img.img.data()), std::streamsize(img.img.size()));
    const uint64_t fatSectors = ((kClusters + 2) * 4 + 511) / 512;
    std::filesystem::resize_file(p, (24 + fatSectors + (uint64_t(kClusters) << kShift)) * 512);
    return p;
  }();
  return path;
}

void BM_ExFatDeletedScan(benchmark::State& state) {
  DeviceTable::instance().setIncludeSystemDisks(false);
  std::string error;
  const int drive = DeviceTable::instance().attachImage(benchImage().string(), &error);
  size_t found = 0;
  for (auto _ : state) {
    auto engine = createEngine("exFAT", ScanMode::Deleted);
    ResultTree tree;
    RecoveryContext ctx;
    ctx.partition.diskNumber = drive;
    RunningFlag running{true};
    engine->scan(ScanMode::Deleted, ctx, tree, running);
    found = tree.itemCount();
  }
  state.counters["files"] = double(found);
  state.counters["files/s"] = benchmark::Counter(double(found) * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ExFatDeletedScan)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same listing by fls (deleted entries, recursive), for comparison.
void BM_FlsDeletedListing(benchmark::State& state) {
  const std::string cmd = "fls -f exfat -rd '" + benchImage().string() + "' 2>/dev/null";
  size_t found = 0;
  for (auto _ : state) {
    found = 0;
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) {
      state.SkipWithError("fls could not be started");
      return;
    }
    char line[512];
    while (std::fgets(line, sizeof line, pipe))
      if (std::strncmp(line, "r/r * ", 6) == 0 || std::strncmp(line, "+ r/r * ", 8) == 0) ++found;
    if (pclose(pipe) != 0 || found == 0) {
      state.SkipWithError("fls failed");
      return;
    }
  }
  state.counters["files"] = double(found);
  state.counters["files/s"] = benchmark::Counter(double(found) * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FlsDeletedListing)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
