#pragma once
// File records for the hand-built NTFS volumes of the benches: a named file or
// folder with standard information, its $FILE_NAME and a resident or
// one-run $DATA, protected with update-sequence fixups as on disk.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/bytes.h"

namespace brenix::bench {

constexpr uint32_t kRs = 1024;
constexpr uint64_t kCluster = 4096;

inline size_t attr(std::vector<uint8_t>& r, size_t at, uint32_t type, const std::vector<uint8_t>& value) {
  size_t len = (0x18 + value.size() + 7) & ~size_t(7);
  putLe32(&r[at], type);
  putLe32(&r[at + 4], static_cast<uint32_t>(len));
  putLe32(&r[at + 0x10], static_cast<uint32_t>(value.size()));
  putLe16(&r[at + 0x14], 0x18);
  std::memcpy(&r[at + 0x18], value.data(), value.size());
  return at + len;
}

inline std::vector<uint8_t> makeRecord(const std::string& name, uint32_t parent, bool inUse, bool dir,
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

inline std::vector<uint8_t> runOf(uint64_t lcn, uint64_t clusters) {
  std::vector<uint8_t> l = {0x44};
  for (int i = 0; i < 4; ++i) l.push_back(uint8_t(clusters >> (8 * i)));
  for (int i = 0; i < 4; ++i) l.push_back(uint8_t(lcn >> (8 * i)));
  return l;
}

}  // namespace brenix::bench
