#include "disk/fs_detect.h"

#include <cstring>

#include "common/bytes.h"
#include "disk/fs_kind.h"

namespace brenix {

namespace {
bool isPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }
}  // namespace

std::string detectBootSectorFs(const uint8_t* b) {
  if (std::memcmp(b + 3, "NTFS    ", 8) == 0) return std::string(fskind::kNtfs);
  // exFAT: its own name at byte 3 and shifts in range (the old BIOS fields are zero).
  if (std::memcmp(b + 3, "EXFAT   ", 8) == 0)
    return b[108] >= 9 && b[108] <= 12 && b[109] <= 25 - b[108] ? std::string(fskind::kExFat) : std::string();
  const bool jump = b[0] == 0xEB || b[0] == 0xE9;
  const uint32_t bytesPerSector = le16(b + 11);
  const uint32_t sectorsPerCluster = b[13];
  const uint32_t reserved = le16(b + 14);
  const uint32_t fats = b[16];
  if (!jump || !isPowerOfTwo(bytesPerSector) || bytesPerSector < 512 || bytesPerSector > 4096 ||
      !isPowerOfTwo(sectorsPerCluster) || reserved == 0 || fats == 0 || fats > 4)
    return {};
  const uint32_t fat16Size = le16(b + 22);
  const uint32_t fat32Size = le32(b + 36);
  if (fat16Size == 0 && fat32Size != 0) return std::string(fskind::kFat32);
  if (fat16Size != 0) return std::string(fskind::kFat);
  return {};
}

bool hasWholeDiskSignature(const uint8_t* s) {
  if (s[0] == 0xEB && std::memcmp(s + 82, "FAT3", 4) == 0) return true;
  if (std::memcmp(s + 3, "NTFS", 4) == 0) return true;
  if (std::memcmp(s + 3, "EXFAT   ", 8) == 0) return true;
  return std::memcmp(s + 54, "FAT1", 4) == 0;
}

ExtSuperblockInfo probeExtSuperblock(const uint8_t* sb) {
  ExtSuperblockInfo info;
  if (le16(sb + 56) != 0xEF53) return info;
  info.valid = true;
  const uint32_t logBlock = le32(sb + 24);
  info.blockSize = logBlock <= 6 ? (1024u << logBlock) : 0;
  info.blocksPerGroup = le32(sb + 32);
  info.freeBytes = static_cast<uint64_t>(le32(sb + 12)) * info.blockSize;
  const char* name = reinterpret_cast<const char*>(sb + 120);
  info.label.assign(name, strnlen(name, 16));
  const uint32_t incompat = le32(sb + 96);
  constexpr uint32_t kExtents = 0x40, k64Bit = 0x80, kFlexGroups = 0x200;
  if (incompat & (kExtents | k64Bit | kFlexGroups))
    info.name = fskind::kExt4;
  else
    info.name = le32(sb + 224) != 0 ? fskind::kExt3 : fskind::kExt2;
  return info;
}

std::string fileSystemNameForMount(const std::string& type, const uint8_t* boot) {
  if (type == "vfat" || type == "msdos" || type == "fat") {
    if (boot) {
      std::string detected = detectBootSectorFs(boot);
      if (!detected.empty()) return detected;
    }
    return std::string(fskind::kFat);
  }
  if (type == "ntfs" || type == "ntfs3") return std::string(fskind::kNtfs);
  if (type == "fuseblk" && boot && detectBootSectorFs(boot) == fskind::kNtfs) return std::string(fskind::kNtfs);
  if ((type == "exfat" || type == "fuseblk") && boot && detectBootSectorFs(boot) == fskind::kExFat)
    return std::string(fskind::kExFat);
  if (type == "ext2") return std::string(fskind::kExt2);
  if (type == "ext3") return std::string(fskind::kExt3);
  if (type == "ext4") return std::string(fskind::kExt4);
  return type;
}

}  // namespace brenix
