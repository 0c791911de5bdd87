// Fuzzes the exFAT engine's entry-set decoder on raw bytes at every entry
// position, then both scans and the recovery reads over a small volume whose
// root directory, allocation table and data clusters hold the input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "../tests/exfat/exfat_image.h"
#include "exfat/exfat_engine.h"

namespace {

using namespace brenix;

class NullSink : public ByteSink {
 public:
  bool write(const uint8_t*, size_t size) override {
    total += size;
    return true;
  }
  uint64_t total = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // 1. The decoder alone, at every entry of the input.
  const std::span<const uint8_t> raw(data, size);
  for (size_t i = 0; i < size / exfat::kEntryBytes; ++i) {
    exfat::EntrySet set;
    if (exfat::decodeEntrySet(raw, i, &set) == exfat::SetStatus::Ok && set.entryCount == 0) __builtin_trap();
  }
  if (size < 4) return 0;

  // 2. A volume: the first byte picks the cluster size, the rest fills the
  // root (after its bitmap and up-case entries), the table and the heap.
  const uint8_t spcShift = data[0] & 3;
  test::ExFatImage img(96, spcShift);
  const uint32_t cb = img.clusterBytes();
  const uint8_t* in = data + 1;
  const size_t n = size - 1;
  std::memcpy(img.cluster(test::ExFatImage::kRootCluster) + 64, in, std::min<size_t>(n, cb - 64));
  if (data[1] & 1) img.chain({test::ExFatImage::kRootCluster, 5});
  if (data[0] & 4) {
    // Give every File entry of the root the checksum of its set, so the
    // decoder's later checks and the scans behind it see valid sets.
    uint8_t* root = img.cluster(test::ExFatImage::kRootCluster);
    for (size_t at = 0; at + 32 <= cb; at += 32) {
      const size_t entries = size_t(root[at + 1]) + 1;
      if ((root[at] & 0x7F) != 0x05 || at + entries * 32 > cb) continue;
      putLe16(root + at + 2, exfat::entrySetChecksum(std::span<const uint8_t>(root + at, entries * 32), !(root[at] & 0x80)));
    }
  }
  for (uint32_t c = 5; c < 2 + 96; ++c) {
    const size_t off = (size_t(c) * 37) % n;
    std::memcpy(img.cluster(c), in + off, std::min<size_t>(n - off, cb));
  }
  for (uint32_t c = 5; c < 2 + 96 && c - 5 < n; ++c) {
    const uint8_t b = in[c - 5];
    if (b & 0x80) img.markUsed(c);
    if (b & 0x40) img.setFat(c, 2 + (b * 7u) % 100);  // links that may loop or leave the volume
  }
  for (ScanMode mode : {ScanMode::Deleted, ScanMode::Formatted}) {
    auto volume = std::make_unique<exfat::Volume>();
    if (volume->openSource(exfat::makeMemorySource(img.img), 0) != 0) return 0;
    exfat::ExFatEngine engine;
    ResultTree tree;
    RecoveryContext ctx;
    RunningFlag running{true};
    engine.scanVolume(std::move(volume), mode, ctx, tree, running);
    for (const FoundItem& item : tree.items()) {
      if (item.size > (64u << 20)) continue;  // exact-size zero tails of huge files add nothing here
      NullSink sink;
      engine.writeItem(item, sink, running);
      std::vector<uint8_t> head;
      engine.readItem(item, head, 4096);
    }
  }
  return 0;
}
