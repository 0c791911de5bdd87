#pragma once
// Master and extended boot record entries: four 16-byte entries at bytes
// 446, 462, 478 and 494 of the record's sector.
//   +0 boot indicator, +1 CHS first (3), +4 type, +5 CHS last (3),
//   +8 start sector (u32 LE), +12 sector count (u32 LE).
#include <array>
#include <cstdint>

#include "common/bytes.h"

namespace brenix {

inline constexpr size_t kPartitionEntryOffset = 446;
inline constexpr size_t kPartitionEntrySize = 16;

struct MbrEntry {
  uint8_t bootIndicator = 0;
  uint8_t type = 0;
  uint32_t start = 0;
  uint32_t count = 0;
};

inline MbrEntry mbrEntry(const uint8_t* sector, int index) {
  const uint8_t* e = sector + kPartitionEntryOffset + kPartitionEntrySize * static_cast<size_t>(index);
  return MbrEntry{e[0], e[4], le32(e + 8), le32(e + 12)};
}

inline void putMbrEntry(uint8_t* sector, int index, const MbrEntry& entry) {
  uint8_t* e = sector + kPartitionEntryOffset + kPartitionEntrySize * static_cast<size_t>(index);
  e[0] = entry.bootIndicator;
  e[4] = entry.type;
  putLe32(e + 8, entry.start);
  putLe32(e + 12, entry.count);
}

namespace parttype {
inline constexpr uint8_t kEmpty = 0x00;
inline constexpr uint8_t kFat16 = 0x06;
inline constexpr uint8_t kNtfs = 0x07;
inline constexpr uint8_t kFat32 = 0x0B;
inline constexpr uint8_t kFat32Lba = 0x0C;
inline constexpr uint8_t kExtended = 0x05;
inline constexpr uint8_t kExtendedLba = 0x0F;
inline constexpr uint8_t kSwap = 0x82;
inline constexpr uint8_t kLinux = 0x83;
}  // namespace parttype

}  // namespace brenix
