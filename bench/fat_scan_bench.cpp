// FAT engine speed on a 256 MiB FAT32 image in the page cache: the deleted
// scan over a folder of 2000 deleted pictures, the formatted-drive sweep of
// the whole data area, and recovery throughput of the deleted pictures.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>

#include "../tests/fat/fat_test_image.h"
#include "disk/device_table.h"
#include "fat/fat_engine.h"
#include "jobs/engine_factory.h"

namespace {

using namespace brenix;

constexpr int kFiles = 2000;
constexpr uint32_t kFileBytes = 60 * 1024 + 123;

class NullSink : public ByteSink {
 public:
  bool write(const uint8_t*, size_t size) override {
    total += size;
    return true;
  }
  uint64_t total = 0;
};

// Builds the image once and attaches it; returns its drive number.
int benchDrive() {
  static int drive = [] {
    test::FatImage img = test::FatImage::fat32(512 * 1024, 8);  // 256 MiB, 4 KiB clusters
    test::DirBytes dcim;
    dcim.dots(3, 0);
    uint32_t next = 100;
    for (int i = 0; i < kFiles; ++i) {
      const std::string shortName = "IMG" + std::to_string(10000 + i).substr(1) + " JPG";
      const std::string number = std::to_string(i);
      dcim.named(u"Holiday picture " + std::u16string(number.begin(), number.end()) + u".jpg", shortName, 0x20, next,
                 kFileBytes);
      dcim.deleteLast();
      next += (kFileBytes + 4095) / 4096;
    }
    const uint32_t dirClusters = uint32_t((dcim.bytes.size() + 4095) / 4096);
    std::vector<uint32_t> chain;
    for (uint32_t c = 3; c < 3 + dirClusters; ++c) chain.push_back(c);
    img.chain(chain);
    img.put(3, dcim.bytes);
    test::DirBytes root;
    root.entry("DCIM       ", 0x10, 3, 0);
    img.putRoot(root.bytes);
    for (uint32_t c = 100; c < next; ++c) std::memset(img.cluster(c), int(c & 0xFF), 4096);
    const auto path = std::filesystem::temp_directory_path() / "brenix-fat-bench.img";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(img.img.data()), std::streamsize(img.img.size()));
    DeviceTable::instance().setIncludeSystemDisks(false);
    std::string error;
    return DeviceTable::instance().attachImage(path.string(), &error);
  }();
  return drive;
}

struct Scanned {
  std::unique_ptr<ScanEngine> engine;
  ResultTree tree;
  RecoveryContext ctx;
  RunningFlag running{true};
};

std::unique_ptr<Scanned> scan(ScanMode mode) {
  auto s = std::make_unique<Scanned>();
  s->engine = createEngine("FAT32", mode);
  s->ctx.partition.diskNumber = benchDrive();
  s->ctx.partition.driveLetter = '*';
  s->engine->scan(mode, s->ctx, s->tree, s->running);
  return s;
}

void BM_FatDeletedScan(benchmark::State& state) {
  size_t found = 0;
  benchDrive();  // the image is built outside the timing
  for (auto _ : state) found = scan(ScanMode::Deleted)->tree.itemCount();
  state.counters["files"] = double(found);
  state.counters["files/s"] = benchmark::Counter(double(found) * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FatDeletedScan)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FatFormattedScan(benchmark::State& state) {
  benchDrive();
  for (auto _ : state) benchmark::DoNotOptimize(scan(ScanMode::Formatted)->tree.itemCount());
  state.SetBytesProcessed(int64_t(state.iterations()) * 256 * 1024 * 1024);
}
BENCHMARK(BM_FatFormattedScan)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FatRecovery(benchmark::State& state) {
  auto s = scan(ScanMode::Deleted);
  uint64_t bytes = 0;
  for (auto _ : state) {
    for (const FoundItem& item : s->tree.items()) {
      NullSink sink;
      s->engine->writeItem(item, sink, s->running);
      bytes += sink.total;
    }
  }
  state.SetBytesProcessed(int64_t(bytes));
}
BENCHMARK(BM_FatRecovery)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
