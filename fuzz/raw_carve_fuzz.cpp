// Fuzzes the matcher and trimming: the input is a carved region; its end and
// its format walk (streams, stores, boxes, MPF, truncated pictures) are
// computed under several bounds, and a small signature list is matched at
// every sector start. Then the whole scanner runs over the input as an
// in-memory image (headers inside an open file's structure, cuts, trims):
// every found file must lie within the image and within its cut.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "raw/raw_scanner.h"
#include "raw/raw_trim.h"
#include "raw/raw_types.h"

namespace {
std::shared_ptr<brenix::RawTypeList> types() {
  static std::shared_ptr<brenix::RawTypeList> list = [] {
    auto l = std::make_shared<brenix::RawTypeList>();
    const char* sets[][3] = {{"jpg", "0", "ffd8ffe|ffd8ffdb"}, {"png", "0", "89504e47"}, {"zip", "0", "504b0304"},
                             {"far", "700", "aabb"}, {"half", "3", "c"}, {"any", "0", ""}};
    for (auto& s : sets) {
      auto t = std::make_unique<brenix::RawFileType>(brenix::makeRawFileType());
      std::snprintf(t->extension, sizeof t->extension, "%s", s[0]);
      t->offsets[0] = std::atoi(s[1]);
      std::snprintf(t->patterns[0], brenix::kRawPatternField, "%s", s[2]);
      t->signatureCount = 1;
      t->selected = 1;
      l->types.push_back(std::move(t));
    }
    l->compile();
    return l;
  }();
  return list;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  brenix::RawByteSource src = [&](uint64_t off, uint8_t* buf, size_t n) -> size_t {
    if (off >= size) return 0;
    size_t k = std::min<size_t>(n, size - size_t(off));
    std::memcpy(buf, data + off, k);
    return k;
  };
  for (uint64_t bound : {uint64_t(size), uint64_t(size / 2), uint64_t(size) + 4096}) {
    uint64_t end = brenix::rawFormatEnd(src, bound);
    if (end > bound) __builtin_trap();
    for (bool pdf : {false, true}) {
      brenix::RawFormatWalk w = brenix::rawWalkFormat(src, bound, pdf);
      if (w.end > bound || (w.verified && w.end == 0) || w.anchors.size() > 256) __builtin_trap();
    }
  }
  brenix::RawMatcher matcher(*types());
  for (size_t at = 0; at < size; at += 512) matcher.match(data + at, size - at);

  static const int fd = memfd_create("raw-carve-fuzz", 0);
  if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
  for (bool trim : {true, false}) {
    brenix::RawScanner scanner;
    if (!scanner.openPath("/proc/self/fd/" + std::to_string(fd))) return 0;
    scanner.setTypes(types());
    scanner.setRange(0, size / 512);
    scanner.setMaxSizeKb(8);
    scanner.setTrimming(trim);
    brenix::RunningFlag running{true};
    scanner.scan(nullptr, running);
    for (const brenix::RawFoundFile& f : scanner.files())
      if (f.size > f.cutSize || f.startSector * 512 + f.size > size || f.cutSize > 8 * 1024) __builtin_trap();
  }
  return 0;
}
