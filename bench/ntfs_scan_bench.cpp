// Deleted-file scan speed over a large master file table (records per second)
// and recovery throughput of one large file from an image in page cache.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "ntfs/ntfs_volume.h"
#include "ntfs_bench_records.h"

namespace {

using namespace brenix;
using namespace brenix::bench;

constexpr uint32_t kRecords = 100000;
constexpr uint64_t kMftCluster = 4;
constexpr uint64_t kBigBytes = 256ull << 20;

const std::string& imagePath() {
  static std::string path = [] {
    std::string p = (std::filesystem::temp_directory_path() / "brenix-ntfs-bench.img").string();
    const uint64_t mftClusters = uint64_t(kRecords) * kRs / kCluster;
    const uint64_t bigLcn = kMftCluster + mftClusters + 16;
    const uint64_t totalClusters = bigLcn + kBigBytes / kCluster + 16;
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    std::vector<uint8_t> head(kMftCluster * kCluster, 0);
    std::memcpy(&head[3], "NTFS    ", 8);
    putLe16(&head[0x0B], 512);
    head[0x0D] = 8;
    putLe64(&head[0x28], totalClusters * 8);
    putLe64(&head[0x30], kMftCluster);
    head[0x40] = 0xF6;
    out.write(reinterpret_cast<const char*>(head.data()), static_cast<std::streamsize>(head.size()));
    for (uint32_t i = 0; i < kRecords; ++i) {
      std::vector<uint8_t> r;
      if (i == 0) r = makeRecord("$MFT", 5, true, false, runOf(kMftCluster, mftClusters), uint64_t(kRecords) * kRs);
      else if (i == 5) r = makeRecord(".", 5, true, true, {}, 0);
      else if (i == 30) r = makeRecord("big.bin", 5, false, false, runOf(bigLcn, kBigBytes / kCluster), kBigBytes);
      else if (i < 24) r = std::vector<uint8_t>(kRs, 0);
      else if (i % 100 == 31) r = makeRecord("folder" + std::to_string(i), 5, i % 2, true, {}, 0);
      else r = makeRecord("IMG_" + std::to_string(i) + ".jpg", (i / 100) * 100 + 31, i % 2, false, {}, 200);
      out.write(reinterpret_cast<const char*>(r.data()), static_cast<std::streamsize>(r.size()));
    }
    std::vector<uint8_t> gap((bigLcn - kMftCluster - mftClusters) * kCluster, 0);
    out.write(reinterpret_cast<const char*>(gap.data()), static_cast<std::streamsize>(gap.size()));
    std::vector<uint8_t> block(1 << 20);
    for (uint64_t done = 0; done < kBigBytes + 16 * kCluster; done += block.size()) {
      for (size_t i = 0; i < block.size(); i += 64) block[i] = uint8_t(done >> 20);
      out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size()));
    }
    return p;
  }();
  return path;
}

void BM_NtfsDeletedScan(benchmark::State& state) {
  const std::string& path = imagePath();
  size_t found = 0;
  for (auto _ : state) {
    NtfsVolume vol;
    vol.openPath(path);
    if (vol.scanDeleted() != 0) state.SkipWithError("scan failed");
    found = vol.items().size();
  }
  state.counters["records/s"] = benchmark::Counter(double(kRecords) * double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["items"] = double(found);
}
BENCHMARK(BM_NtfsDeletedScan)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_NtfsRecovery(benchmark::State& state) {
  NtfsVolume vol;
  vol.openPath(imagePath());
  vol.scanDeleted();
  const NtfsItem* big = nullptr;
  for (const NtfsItem& item : vol.items())
    if (item.name == "big.bin") big = &item;
  if (!big) {
    state.SkipWithError("big.bin not found");
    return;
  }
  for (auto _ : state) {
    uint64_t written = 0;
    auto st = vol.writeItemData(*big, [&](const uint8_t* p, size_t n) {
      benchmark::DoNotOptimize(p);
      written += n;
      return true;
    });
    if (st != NtfsReadStatus::Ok || written != kBigBytes) state.SkipWithError("recovery failed");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBigBytes));
}
BENCHMARK(BM_NtfsRecovery)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
