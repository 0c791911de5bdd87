// Fuzzes the EXT3 journal walk: descriptor tags, UUIDs, escapes, block
// classes and directory entries. The template journal holds one valid
// transaction (a descriptor, an inode-table copy with a deleted file, a
// directory block naming it, a commit). The input's first byte picks the
// journal tag format; the rest is XORed over the journal from its second
// block, then over the current inode table, so short inputs bend the valid
// transaction and long ones replace it.
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
constexpr uint32_t kBs = 1024, kBlocks = 256, kInodes = 64;
constexpr uint32_t kJournalFirst = 100, kJournalBlocks = 60;

void be32(uint8_t* p, uint32_t v) { p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v); }

std::vector<uint8_t> templateVolume() {
  std::vector<uint8_t> v = extFuzzVolume(kBs, kBlocks, kInodes);
  uint8_t* sb = v.data() + 1024;
  putLe32(sb + 96, 2);    // incompatible features: file type in directory entries
  putLe32(sb + 224, 8);   // the journal inode
  uint8_t* j = v.data() + 5 * kBs + 7 * 128;  // inode 8: the journal
  putLe16(j, 0x8180);
  putLe32(j + 4, kJournalBlocks * kBs);
  for (int i = 0; i < 12; ++i) putLe32(j + 40 + 4 * i, kJournalFirst + i);
  putLe32(j + 88, 99);
  for (uint32_t k = 0; k < kJournalBlocks - 12; ++k) putLe32(v.data() + 99 * kBs + 4 * k, kJournalFirst + 12 + k);
  uint8_t* jsb = v.data() + kJournalFirst * kBs;
  be32(jsb, 0xC03B3998);
  be32(jsb + 4, 4);
  be32(jsb + 12, kBs);
  be32(jsb + 16, kJournalBlocks);
  // One transaction: descriptor naming inode-table block 6 (inodes 9..16) and data block 20.
  uint8_t* d = jsb + kBs;
  be32(d, 0xC03B3998), be32(d + 4, 1), be32(d + 8, 2);
  be32(d + 12, 6), be32(d + 16, 0);
  std::memset(d + 20, 0xAB, 16);
  be32(d + 36, 20), be32(d + 40, 0x2 | 0x8);
  uint8_t* file = jsb + 2 * kBs + 3 * 128;  // inode 12
  putLe16(file, 0x81A4);
  putLe32(file + 4, 3000);
  for (uint32_t t : {8u, 12u, 16u}) putLe32(file + t, 900000000);
  for (int i = 0; i < 3; ++i) putLe32(file + 40 + 4 * i, 30 + i);
  uint8_t* dir = jsb + 3 * kBs;
  putLe32(dir, 2), putLe16(dir + 4, 12), dir[6] = 1, dir[7] = 2, dir[8] = '.';
  putLe32(dir + 12, 2), putLe16(dir + 16, 12), dir[18] = 2, dir[19] = 2, dir[20] = '.', dir[21] = '.';
  putLe32(dir + 24, 12), putLe16(dir + 28, kBs - 24), dir[30] = 5, dir[31] = 1;
  std::memcpy(dir + 32, "a.JPG", 5);
  uint8_t* commit = jsb + 4 * kBs;
  be32(commit, 0xC03B3998), be32(commit + 4, 2), be32(commit + 8, 2);
  return v;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const std::vector<uint8_t> base = templateVolume();
  std::vector<uint8_t> volume = base;
  be32(volume.data() + kJournalFirst * kBs + 0x28, data[0] & 0x1F);
  ++data, --size;
  const size_t journalBytes = (kJournalBlocks - 1) * kBs;
  auto overlay = [](uint8_t* to, const uint8_t* from, size_t n) {
    for (size_t i = 0; i < n; ++i) to[i] ^= from[i];
  };
  overlay(volume.data() + (kJournalFirst + 1) * kBs, data, std::min(size, journalBytes));
  if (size > journalBytes) {
    // The rest forges the current inode table after the journal's own inode.
    overlay(volume.data() + 5 * kBs + 8 * 128, data + journalBytes, std::min<size_t>(size - journalBytes, 7 * kBs));
  }
  setClockForTesting([] { return int64_t(900000000); });
  std::shared_ptr<const ExtDevice> device = makeMemoryView(volume);
  ExtVolume v(device, ExtVariant::Ext3);
  if (!v.ready()) return 0;
  Progress progress;
  std::atomic<bool> running{true};
  ExtScanner scanner(v, progress, running);
  for (const ExtItem& item : scanner.scan())
    streamFile(v, item.inode, inode::size(item.inode), [](const uint8_t*, size_t) { return true; });
  return 0;
}
