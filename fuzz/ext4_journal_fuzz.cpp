// Fuzzes the ext4 paths: extent-tree decoding (depth, index and leaf
// entries, uninitialized extents, loops, blocks past the volume), 64-byte
// group descriptors, a journal read through its own extents with 64-bit and
// checksummed tags, journal copies of extent-tree nodes and linear directory
// blocks, inline data. The template volume holds one valid transaction: a
// descriptor, an inode-table copy with a deleted file whose extent tree has
// one index level, the copy of its leaf node, and a directory block naming it.
// The input's first byte picks the journal tag format; the rest is XORed over
// the journal from its second block, then over the file's inode copy and
// the current inode table.
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
constexpr uint32_t kBs = 1024, kBlocks = 512, kInodes = 64;
constexpr uint32_t kJournalFirst = 100, kJournalBlocks = 60;
constexpr uint32_t kTime = 900000000;
constexpr uint32_t kLeaf = 200;  // the file's extent leaf node

void be32(uint8_t* p, uint32_t v) { p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v); }

void extentHeader(uint8_t* p, uint16_t entries, uint16_t max, uint16_t depth) {
  putLe16(p, 0xF30A), putLe16(p + 2, entries), putLe16(p + 4, max), putLe16(p + 6, depth);
}
void leafEntry(uint8_t* p, uint32_t logical, uint16_t length, uint64_t start) {
  putLe32(p, logical), putLe16(p + 4, length), putLe16(p + 6, uint16_t(start >> 32)), putLe32(p + 8, uint32_t(start));
}

std::vector<uint8_t> templateVolume() {
  std::vector<uint8_t> v = extFuzzVolume(kBs, kBlocks, kInodes);
  uint8_t* sb = v.data() + 1024;
  // file type, extents, 64bit with 64-byte descriptors, flex_bg.
  putLe32(sb + 96, 0x2 | 0x40 | 0x80 | 0x200);
  putLe16(sb + 254, 64);
  putLe32(sb + 224, 8);  // the journal inode
  uint8_t* j = v.data() + 5 * kBs + 7 * 128;  // inode 8: the journal, one extent
  putLe16(j, 0x8180);
  putLe32(j + 4, kJournalBlocks * kBs);
  putLe32(j + 32, 0x80000);
  extentHeader(j + 40, 1, 4, 0);
  leafEntry(j + 52, 0, kJournalBlocks, kJournalFirst);
  uint8_t* jsb = v.data() + kJournalFirst * kBs;
  be32(jsb, 0xC03B3998);
  be32(jsb + 4, 4);
  be32(jsb + 12, kBs);
  be32(jsb + 16, kJournalBlocks);
  // One transaction: a descriptor naming inode-table block 6 (inodes 9..16),
  // the leaf node and directory block 30, in 16-byte v3 tags.
  uint8_t* d = jsb + kBs;
  be32(d, 0xC03B3998), be32(d + 4, 1), be32(d + 8, 7);
  be32(d + 12, 6), be32(d + 16, 0);
  std::memset(d + 28, 0xAB, 16);
  be32(d + 44, kLeaf), be32(d + 48, 0x2);
  be32(d + 60, 30), be32(d + 64, 0x2 | 0x8);
  uint8_t* file = jsb + 2 * kBs + 3 * 128;  // inode 12: 40 blocks through one index level
  putLe16(file, 0x81A4);
  putLe32(file + 4, 40 * kBs);
  for (uint32_t t : {8u, 12u, 16u}) putLe32(file + t, kTime);
  putLe16(file + 26, 1);
  putLe32(file + 32, 0x80000);
  extentHeader(file + 40, 1, 4, 1);
  putLe32(file + 52, 0), putLe32(file + 56, kLeaf), putLe16(file + 60, 0);
  uint8_t* leaf = jsb + 3 * kBs;
  extentHeader(leaf, 3, (kBs - 12) / 12, 0);
  leafEntry(leaf + 12, 0, 10, 300);
  leafEntry(leaf + 24, 10, 32768 + 10, 320);  // uninitialized: zeros
  leafEntry(leaf + 36, 20, 20, 400);
  uint8_t* dir = jsb + 4 * kBs;  // a linear block with the checksum tail
  putLe32(dir, 12), putLe16(dir + 4, kBs - 12), dir[6] = 5, dir[7] = 1;
  std::memcpy(dir + 8, "a.JPG", 5);
  putLe32(dir + kBs - 12, 0), putLe16(dir + kBs - 8, 12), dir[kBs - 6] = 0, dir[kBs - 5] = 0xDE;
  uint8_t* commit = jsb + 5 * kBs;
  be32(commit, 0xC03B3998), be32(commit + 4, 2), be32(commit + 8, 7);
  return v;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const std::vector<uint8_t> base = templateVolume();
  std::vector<uint8_t> volume = base;
  // Tag formats: 64-bit, v2 and v3 checksums in every combination.
  static constexpr uint32_t kFormats[] = {0x10, 0x12, 0x8, 0xA, 0x2, 0x0, 0x1A, 0x1F};
  be32(volume.data() + kJournalFirst * kBs + 0x28, kFormats[data[0] & 7]);
  ++data, --size;
  const size_t journalBytes = (kJournalBlocks - 1) * kBs;
  auto overlay = [](uint8_t* to, const uint8_t* from, size_t n) {
    for (size_t i = 0; i < n; ++i) to[i] ^= from[i];
  };
  overlay(volume.data() + (kJournalFirst + 1) * kBs, data, std::min(size, journalBytes));
  if (size > journalBytes)
    overlay(volume.data() + 5 * kBs + 8 * 128, data + journalBytes, std::min<size_t>(size - journalBytes, 7 * kBs));
  setClockForTesting([] { return int64_t(kTime) + 100; });
  std::shared_ptr<const ExtDevice> device = makeMemoryView(volume);
  ExtEngine engine(ExtVariant::Ext4);
  RecoveryContext ctx;
  ResultTree tree;
  std::atomic<bool> running{true};
  engine.scanVolume(device, "fuzz", ctx, tree, running);
  std::vector<uint8_t> out;
  for (size_t i = 0; i < tree.items().size(); ++i) engine.readItem(tree.item(i), out, 1u << 20);
  // The extent decoder straight over the bent inode copy and leaf.
  if (const ExtVolume* v = engine.volume()) {
    std::vector<Extent> extents;
    collectExtents(*v, volume.data() + (kJournalFirst + 2) * kBs + 3 * 128 + 40, extents);
    std::vector<DirectoryEntry> entries;
    parseDirectoryBlock(volume.data() + (kJournalFirst + 4) * kBs, kBs, kInodes, true, entries);
  }
  return 0;
}
