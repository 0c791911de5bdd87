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

namespace {

using namespace brenix;

constexpr uint32_t kRecords = 100000;
constexpr uint32_t kRs = 1024;
constexpr uint64_t kCluster = 4096;
constexpr uint64_t kMftCluster = 4;
constexpr uint64_t kBigBytes = 256ull << 20;

size_t attr(std::vector<uint8_t>& r, size_t at, uint32_t type, const std::vector<uint8_t>& value) {
  size_t len = (0x18 + value.size() + 7) & ~size_t(7);
  putLe32(&r[at], type);
  putLe32(&r[at + 4], static_cast<uint32_t>(len));
  putLe32(&r[at + 0x10], static_cast<uint32_t>(value.size()));
  putLe16(&r[at + 0x14], 0x18);
  std::memcpy(&r[at + 0x18], value.data(), value.size());
  return at + len;
}

std::vector<uint8_t> makeRecord(const std::string& name, uint32_t parent, bool inUse, bool dir,
                                const std::vector<uint8_t>& runList, uint64_t size) {
  std::vector<uint8_t> r(kRs, 0);
  std::memcpy(r.data(), "FILE", 4);
  putLe16(&r[4], 0x30);
  putLe16(&r[6], 3);
  putLe16(&r[0x14], 0x38);
  putLe16(&r[0x16], inUse ? 1 : 0);
  putLe32(&r[0x1C], kRs);
  std::vector<uint8_t> si(72, 0);
  putLe64(&si[8], 132000000000000000ull);
  putLe32(&si[32], 0x20);
  size_t at = attr(r, 0x38, 0x10, si);
  std::vector<uint8_t> fn(66 + name.size() * 2, 0);
  putLe64(&fn[0], parent);
  putLe32(&fn[56], dir ? 0x10000000 : 0x20);
  fn[64] = static_cast<uint8_t>(name.size());
  fn[65] = 1;
  for (size_t i = 0; i < name.size(); ++i) fn[66 + 2 * i] = static_cast<uint8_t>(name[i]);
  at = attr(r, at, 0x30, fn);
  if (runList.empty()) {
    at = attr(r, at, 0x80, std::vector<uint8_t>(static_cast<size_t>(size), 0x42));
  } else {
    size_t len = (0x40 + runList.size() + 1 + 7) & ~size_t(7);
    putLe32(&r[at], 0x80);
    putLe32(&r[at + 4], static_cast<uint32_t>(len));
    r[at + 8] = 1;
    putLe16(&r[at + 0x20], 0x40);
    uint64_t alloc = (size + kCluster - 1) / kCluster * kCluster;
    putLe64(&r[at + 0x18], alloc / kCluster - 1);
    putLe64(&r[at + 0x28], alloc);
    putLe64(&r[at + 0x30], size);
    putLe64(&r[at + 0x38], size);
    std::memcpy(&r[at + 0x40], runList.data(), runList.size());
    at += len;
  }
  putLe32(&r[at], 0xFFFFFFFF);
  // Protect with fixups as on disk.
  putLe16(&r[0x30], 7);
  for (int i = 1; i <= 2; ++i) {
    size_t tail = size_t(i) * 512 - 2;
    r[0x30 + 2 * i] = r[tail];
    r[0x31 + 2 * i] = r[tail + 1];
    putLe16(&r[tail], 7);
  }
  return r;
}

std::vector<uint8_t> runOf(uint64_t lcn, uint64_t clusters) {
  std::vector<uint8_t> l = {0x44};
  for (int i = 0; i < 4; ++i) l.push_back(uint8_t(clusters >> (8 * i)));
  for (int i = 0; i < 4; ++i) l.push_back(uint8_t(lcn >> (8 * i)));
  return l;
}

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
