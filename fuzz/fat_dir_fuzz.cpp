// Fuzzes the FAT engine's handling of hostile volumes: the directory-block
// test on raw bytes, then both scans and the recovery reads over a small
// volume whose allocation table, directories and (optionally) boot-sector
// geometry come from the input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/bytes.h"
#include "fat/fat_engine.h"
#include "fat/fat_volume.h"

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

constexpr uint32_t kSectors = 512;  // 256 KiB volume

std::vector<uint8_t> makeVolume(bool fat32, const uint8_t* data, size_t size) {
  std::vector<uint8_t> img(size_t(kSectors) * 512, 0);
  uint8_t* b = img.data();
  b[0] = 0xEB;
  b[1] = fat32 ? 0x58 : 0x3C;
  b[2] = 0x90;
  putLe16(b + 11, 512);
  b[13] = 1;
  putLe16(b + 14, fat32 ? 8 : 1);
  b[16] = 2;
  putLe16(b + 17, fat32 ? 0 : 64);
  putLe16(b + 19, kSectors);
  if (fat32) {
    putLe32(b + 36, 4);
    putLe32(b + 44, 2);
  } else {
    putLe16(b + 22, 2);
  }
  // The input fills everything after the boot sector, repeated, so tables,
  // the root and data clusters all hold fuzzed bytes.
  if (size > 0)
    for (size_t off = 512; off < img.size(); off += size) std::memcpy(b + off, data, std::min(size, img.size() - off));
  return img;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t control = data[0];
  ++data;
  --size;

  DirBlockParams params{(control & 1) != 0, 1u + (control >> 1) * 64u, 2026};
  for (size_t off = 0; off + 512 <= size; off += 512) looksLikeDirectoryBlock({data + off, 512}, params);
  looksLikeDirectoryBlock({data, std::min<size_t>(size, 512)}, params);

  const bool fat32 = (control & 2) != 0;
  std::vector<uint8_t> img = makeVolume(fat32, data, size);
  if (control & 4) std::memcpy(img.data() + 11, data, std::min<size_t>(size, 51));  // hostile geometry
  const FatVariant variant = fat32 ? FatVariant::Fat32 : FatVariant::Fat16;
  for (ScanMode mode : {ScanMode::Deleted, ScanMode::Formatted}) {
    auto volume = std::make_unique<FatVolume>();
    if (volume->openSource(makeMemorySource(img), 0, variant) != 0) return 0;
    FatEngine engine(variant);
    ResultTree tree;
    RecoveryContext ctx;
    ctx.partition.driveLetter = '*';
    RunningFlag running{true};
    engine.scanVolume(std::move(volume), mode, ctx, tree, running);
    size_t checked = 0;
    for (const FoundItem& item : tree.items()) {
      if (++checked > 64) break;
      NullSink sink;
      engine.writeItem(item, sink, running);
      if (sink.total > item.size) __builtin_trap();  // never more than the file's size
      std::vector<uint8_t> head;
      engine.readItem(item, head, 4096);
    }
  }
  return 0;
}
