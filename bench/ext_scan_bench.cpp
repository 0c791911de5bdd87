// EXT engine speed: the inode-table scan (inodes per second) and recovery
// through the block map (bytes per second), on volumes built in memory and,
// for recovery, also read from an image file through the sector reader.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/bytes.h"
#include "common/clock.h"
#include "ext/ext_engine.h"

using namespace brenix;
using namespace brenix::ext;

namespace {
constexpr int64_t kNow = 1700000000;

// One group of 4 KiB blocks: 8192 inodes of 256 bytes (512 table blocks),
// every fourth one a deleted file; inode 12 maps `fileBlocks` data blocks.
struct Volume {
  std::vector<uint8_t> bytes;
  uint32_t fileBlocks = 0;
};

Volume makeVolume(uint32_t fileBlocks) {
  constexpr uint32_t bs = 4096, blocks = 32768, inodes = 8192, isz = 256;
  Volume v;
  v.fileBlocks = fileBlocks;
  v.bytes.assign(uint64_t(bs) * blocks, 0);
  uint8_t* sb = v.bytes.data() + 1024;
  putLe32(sb + 0, inodes);
  putLe32(sb + 4, blocks);
  putLe32(sb + 24, 2);
  putLe32(sb + 32, blocks);
  putLe32(sb + 40, inodes);
  putLe16(sb + 56, 0xEF53);
  putLe32(sb + 76, 1);
  putLe16(sb + 88, isz);
  uint8_t* gd = v.bytes.data() + bs;
  putLe32(gd + 0, 2);
  putLe32(gd + 4, 3);
  putLe32(gd + 8, 4);
  const uint32_t dataStart = 4 + inodes * isz / bs;
  auto in = [&](uint32_t n) { return v.bytes.data() + 4 * bs + uint64_t(n - 1) * isz; };
  for (uint32_t n = 16; n <= inodes; n += 4) {
    uint8_t* p = in(n);
    putLe16(p, 0x81A4);
    putLe32(p + 4, 1000);
    for (uint32_t t : {8u, 12u, 16u}) putLe32(p + t, kNow - 100);
    putLe32(p + 20, kNow - 50);
    putLe32(p + 40, dataStart);
  }
  // Inode 12: direct, single and double indirect blocks in order.
  uint8_t* f = in(12);
  putLe16(f, 0x81A4);
  putLe32(f + 4, fileBlocks * bs);
  uint32_t next = dataStart, single = 0, dbl = 0, cur = 0;
  const uint32_t p = bs / 4;
  for (uint32_t i = 0; i < fileBlocks; ++i) {
    const uint32_t b = next++;
    if (i < 12) {
      putLe32(f + 40 + 4 * i, b);
    } else if (i < 12 + p) {
      if (!single) single = next++, putLe32(f + 88, single);
      putLe32(v.bytes.data() + uint64_t(single) * bs + 4 * (i - 12), b);
    } else {
      const uint32_t r = i - 12 - p;
      if (!dbl) dbl = next++, putLe32(f + 92, dbl);
      if (r % p == 0) cur = next++, putLe32(v.bytes.data() + uint64_t(dbl) * bs + 4 * (r / p), cur);
      putLe32(v.bytes.data() + uint64_t(cur) * bs + 4 * (r % p), b);
    }
  }
  return v;
}

void BM_InodeTableScan(benchmark::State& state) {
  setClockForTesting([] { return kNow; });
  Volume vol = makeVolume(16);
  ExtVolume v(makeMemoryView(vol.bytes), ExtVariant::Ext2);
  Progress progress;
  std::atomic<bool> running{true};
  uint64_t inodes = 0;
  size_t found = 0;
  for (auto _ : state) {
    ExtScanner s(v, progress, running);
    found = s.scan().size();
    inodes += s.stats().inodesExamined;
  }
  state.counters["inodes/s"] = benchmark::Counter(double(inodes), benchmark::Counter::kIsRate);
  state.counters["found"] = double(found);
  setClockForTesting({});
}
BENCHMARK(BM_InodeTableScan)->Unit(benchmark::kMillisecond);

void recoverFrom(benchmark::State& state, std::shared_ptr<const ExtDevice> device) {
  ExtVolume v(std::move(device), ExtVariant::Ext2);
  InodeBytes in;
  if (!v.ready() || !v.readInode(12, in)) {
    state.SkipWithError("volume not readable");
    return;
  }
  const uint64_t size = inode::size(in.data());
  for (auto _ : state) {
    uint64_t sum = 0;
    streamFile(v, in.data(), size, [&](const uint8_t* d, size_t n) {
      sum += d[n - 1];
      return true;
    });
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

void BM_RecoverFromMemory(benchmark::State& state) {
  Volume vol = makeVolume(16384);  // 64 MiB through the double indirect block
  recoverFrom(state, makeMemoryView(vol.bytes));
}
BENCHMARK(BM_RecoverFromMemory)->Unit(benchmark::kMillisecond);

void BM_RecoverFromImageFile(benchmark::State& state) {
  Volume vol = makeVolume(16384);
  char path[] = "/tmp/brenix-ext-bench-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0 || write(fd, vol.bytes.data(), vol.bytes.size()) != ssize_t(vol.bytes.size())) {
    state.SkipWithError("cannot write the image");
    return;
  }
  close(fd);
  SectorReader reader;
  reader.openPath(path, OpenMode::Read);
  recoverFrom(state, makeReaderSource(std::move(reader)));
  unlink(path);
}
BENCHMARK(BM_RecoverFromImageFile)->Unit(benchmark::kMillisecond);

}  // namespace
