// Fuzzes the EXT volume reader, the inode-table scan and the block-map walk:
// the input is XORed over a small valid EXT2 volume (with one deleted file
// reaching its double indirect block) from the superblock on, so short
// inputs bend the geometry and longer ones the descriptors, bitmaps, inodes
// and indirect blocks.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/bytes.h"
#include "common/clock.h"
#include "ext/ext_engine.h"
#include "ext_fuzz_volume.h"

using namespace brenix;
using namespace brenix::ext;

namespace {
constexpr uint32_t kBs = 1024, kBlocks = 128, kInodes = 32;

std::vector<uint8_t> templateVolume() {
  std::vector<uint8_t> v = extFuzzVolume(kBs, kBlocks, kInodes);
  // Inode 12: a deleted file of 300 blocks: direct, single and double indirect.
  uint8_t* in = v.data() + 5 * kBs + 11 * 128;
  putLe16(in, 0x81A4);
  putLe32(in + 4, 300 * kBs);
  for (uint32_t t : {8u, 12u, 16u}) putLe32(in + t, 900000000);
  putLe32(in + 20, 900000000);
  for (int i = 0; i < 12; ++i) putLe32(in + 40 + 4 * i, 20 + i);
  putLe32(in + 88, 40);
  putLe32(in + 92, 41);
  for (uint32_t k = 0; k < 256; ++k) putLe32(v.data() + 40 * kBs + 4 * k, 50 + k % 70);
  putLe32(v.data() + 41 * kBs, 42);
  for (uint32_t k = 0; k < 256; ++k) putLe32(v.data() + 42 * kBs + 4 * k, k % 3 ? 60 + k % 50 : 0);
  return v;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<uint8_t> base = templateVolume();
  std::vector<uint8_t> volume = base;
  const size_t n = std::min(size, volume.size() - 1024);
  for (size_t i = 0; i < n; ++i) volume[1024 + i] ^= data[i];
  setClockForTesting([] { return int64_t(900000000); });

  std::shared_ptr<const ExtDevice> device = makeMemoryView(volume);
  ExtVolume v(device, ExtVariant::Ext2);
  if (!v.ready()) return 0;
  for (uint64_t b = 0; b < v.superblock().blocksCount && b < 256; ++b) (void)v.blockClass(b), (void)v.firstInodeOfBlock(b);
  Progress progress;
  std::atomic<bool> running{true};
  ExtScanner scanner(v, progress, running);
  for (const ExtItem& item : scanner.scan()) {
    uint64_t total = 0;
    streamFile(v, item.inode, inode::size(item.inode), [&](const uint8_t*, size_t len) {
      total += len;
      return true;
    });
  }
  InodeBytes in;
  if (v.readInode(12, in)) {
    const uint64_t cap = std::min<uint64_t>(inode::size(in.data()), v.sizeLimit());
    streamFile(v, in.data(), cap, [](const uint8_t*, size_t) { return true; });
  }
  return 0;
}
