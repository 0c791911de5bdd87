// Fuzzes the matcher and trimming: the input is a carved region; its end is
// computed under several bounds, and a small signature list is matched at
// every sector start.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "raw/raw_scanner.h"
#include "raw/raw_trim.h"
#include "raw/raw_types.h"

namespace {
const brenix::RawTypeList& types() {
  static brenix::RawTypeList list = [] {
    brenix::RawTypeList l;
    const char* sets[][3] = {{"jpg", "0", "ffd8ffe|ffd8ffdb"}, {"png", "0", "89504e47"}, {"zip", "0", "504b0304"},
                             {"far", "700", "aabb"}, {"half", "3", "c"}, {"any", "0", ""}};
    for (auto& s : sets) {
      auto t = std::make_unique<brenix::RawFileType>(brenix::makeRawFileType());
      std::snprintf(t->extension, sizeof t->extension, "%s", s[0]);
      t->offsets[0] = std::atoi(s[1]);
      std::snprintf(t->patterns[0], brenix::kRawPatternField, "%s", s[2]);
      t->signatureCount = 1;
      t->selected = 1;
      l.types.push_back(std::move(t));
    }
    l.compile();
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
  }
  brenix::RawMatcher matcher(types());
  for (size_t at = 0; at < size; at += 512) matcher.match(data + at, size - at);
  return 0;
}
