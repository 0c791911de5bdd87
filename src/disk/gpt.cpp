#include "disk/gpt.h"

#include <algorithm>
#include <cstring>

#include "common/bytes.h"
#include "common/text.h"

namespace brenix {

namespace {

constexpr char kSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};

struct KnownType {
  const char* guid;
  const char* name;
};

// Type GUIDs that name partitions whose first sectors say nothing.
constexpr KnownType kKnownTypes[] = {
    {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", "EFI System"},
    {"E3C9E316-0B5C-4DB8-817D-F92DF00215AE", "Microsoft reserved"},
    {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Basic data"},
    {"DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", "Windows recovery"},
    {"5808C8AA-7E8F-42E0-85D2-E1E90434CFB3", "LDM metadata"},
    {"AF9B60A0-1431-4F62-BC68-3311714A69AD", "LDM data"},
    {"0FC63DAF-8483-4772-8E79-3D69D8477DE4", "Linux filesystem"},
    {"0657FD6D-A4AB-43C4-84E5-0933C84B4F4F", "Linux swap"},
    {"E6D6D379-F507-44C2-A23C-238F2A3DF928", "Linux LVM"},
    {"A19D880F-05FC-4D3B-A006-743F0F84911E", "Linux RAID"},
    {"BC13C2FF-59E6-4262-A352-B275FD6F7172", "Linux /boot"},
    {"21686148-6449-6E6F-744E-656564454649", "BIOS boot"},
    {"48465300-0000-11AA-AA11-00306543ECAC", "Apple HFS+"},
    {"7C3457EF-0000-11AA-AA11-00306543ECAC", "Apple APFS"},
};

const uint32_t* crcTable() {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  return table.data();
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string lbaText(uint64_t v) { return std::to_string(v); }

void note(GptTable& t, std::string text) {
  if (t.problems.size() < kGptMaxProblems) t.problems.push_back(std::move(text));
}

// Reads and checks one copy: its header at `lba`, then its array.
bool readCopy(const ByteReader& read, uint64_t lba, uint32_t sectorSize, uint64_t diskSectors, bool checkCrc,
              GptHeader& header, std::vector<uint8_t>& array, std::string& why) {
  std::vector<uint8_t> sector(sectorSize);
  if (lba >= diskSectors || !read(lba * sectorSize, sector.data(), sector.size())) {
    why = "cannot read LBA " + lbaText(lba);
    return false;
  }
  if (!parseGptHeader(sector.data(), sectorSize, lba, diskSectors, checkCrc, header, &why)) return false;
  const uint64_t bytes = uint64_t(header.entryCount) * header.entrySize;
  array.assign(static_cast<size_t>(bytes), 0);
  if (bytes && !read(header.entriesLba * sectorSize, array.data(), array.size())) {
    why = "cannot read the entry array at LBA " + lbaText(header.entriesLba);
    return false;
  }
  if (checkCrc && crc32(array.data(), array.size()) != header.entriesCrc) {
    why = "entry array CRC32 mismatch";
    return false;
  }
  return true;
}

}  // namespace

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc) {
  const uint32_t* t = crcTable();
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) crc = t[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

bool parseGptHeader(const uint8_t* s, uint32_t sectorSize, uint64_t lba, uint64_t diskSectors, bool checkCrc,
                    GptHeader& h, std::string* why) {
  auto fail = [why](std::string text) {
    if (why) *why = std::move(text);
    return false;
  };
  if (std::memcmp(s, kSignature, 8) != 0) return fail("no \"EFI PART\" signature");
  h.revision = le32(s + 8);
  h.headerSize = le32(s + 12);
  if ((h.revision >> 16) != 1) return fail(format("unknown revision 0x%08X", h.revision));
  if (h.headerSize < kGptHeaderMinSize || h.headerSize > sectorSize)
    return fail(format("header size %u out of range", h.headerSize));
  if (checkCrc) {
    std::vector<uint8_t> copy(s, s + h.headerSize);
    std::memset(copy.data() + 16, 0, 4);
    if (crc32(copy.data(), copy.size()) != le32(s + 16)) return fail("header CRC32 mismatch");
  }
  h.myLba = le64(s + 24);
  h.alternateLba = le64(s + 32);
  h.firstUsable = le64(s + 40);
  h.lastUsable = le64(s + 48);
  std::memcpy(h.diskGuid.data(), s + 56, 16);
  h.entriesLba = le64(s + 72);
  h.entryCount = le32(s + 80);
  h.entrySize = le32(s + 84);
  h.entriesCrc = le32(s + 88);
  if (h.myLba != lba) return fail("header says it is at LBA " + lbaText(h.myLba) + ", read at " + lbaText(lba));
  if (h.entrySize < kGptEntryMinSize || h.entrySize % 8 != 0)
    return fail(format("entry size %u (must be at least 128 and a multiple of 8)", h.entrySize));
  const uint64_t arrayBytes = uint64_t(h.entryCount) * h.entrySize;
  if (arrayBytes > kGptMaxArrayBytes) return fail(format("entry array of %u entries is too large", h.entryCount));
  const uint64_t arraySectors = (arrayBytes + sectorSize - 1) / sectorSize;
  if (h.entriesLba < 2 || h.entriesLba >= diskSectors || arraySectors > diskSectors - h.entriesLba)
    return fail("entry array at LBA " + lbaText(h.entriesLba) + " lies outside the disk");
  if (h.firstUsable > h.lastUsable) return fail("first usable LBA after the last");
  if (h.lastUsable >= diskSectors) return fail("last usable LBA " + lbaText(h.lastUsable) + " is past the disk's end");
  if (h.firstUsable <= 1 || (lba >= h.firstUsable && lba <= h.lastUsable))
    return fail("the usable LBAs cover the header");
  const uint64_t arrayEnd = h.entriesLba + arraySectors;  // exclusive
  if (h.entriesLba <= h.lastUsable && arrayEnd > h.firstUsable) return fail("the entry array lies in the usable LBAs");
  if (why) why->clear();
  return true;
}

GptTable readGpt(const ByteReader& read, uint64_t diskBytes, uint32_t sectorSize, bool checkCrc) {
  GptTable t;
  t.sectorSize = sectorSize;
  if (sectorSize != 512 && sectorSize != 4096) {
    note(t, "unsupported sector size");
    return t;
  }
  const uint64_t diskSectors = diskBytes / sectorSize;
  if (diskSectors < 3) {
    note(t, "the disk is too small for a GUID partition table");
    return t;
  }
  GptHeader primary, backup;
  std::vector<uint8_t> primaryArray, backupArray;
  std::string why;
  t.primaryValid = readCopy(read, 1, sectorSize, diskSectors, checkCrc, primary, primaryArray, why);
  if (!t.primaryValid) note(t, "primary GPT header at LBA 1: " + why);
  // The backup lives where the primary says, or at the disk's last LBA.
  uint64_t backupLba = diskSectors - 1;
  if (t.primaryValid && primary.alternateLba >= diskSectors)
    note(t, "the primary header's backup LBA " + lbaText(primary.alternateLba) + " is past the disk's end");
  if (t.primaryValid && primary.alternateLba > 1 && primary.alternateLba < diskSectors) backupLba = primary.alternateLba;
  t.backupValid = readCopy(read, backupLba, sectorSize, diskSectors, checkCrc, backup, backupArray, why);
  if (!t.backupValid && backupLba != diskSectors - 1) {
    backupLba = diskSectors - 1;
    t.backupValid = readCopy(read, backupLba, sectorSize, diskSectors, checkCrc, backup, backupArray, why);
  }
  if (!t.backupValid) note(t, "backup GPT header at LBA " + lbaText(backupLba) + ": " + why);

  if (t.primaryValid) {
    t.copy = GptCopy::Primary;
    t.header = primary;
    t.array = std::move(primaryArray);
  } else if (t.backupValid) {
    t.copy = GptCopy::Backup;
    t.header = backup;
    t.array = std::move(backupArray);
  } else {
    return t;
  }
  if (t.primaryValid && t.backupValid &&
      (primary.firstUsable != backup.firstUsable || primary.lastUsable != backup.lastUsable ||
       primary.entriesCrc != backup.entriesCrc || primary.diskGuid != backup.diskGuid))
    note(t, "the primary and backup GPT copies disagree; the primary is used");
  t.valid = true;

  const GptHeader& h = t.header;
  for (uint32_t i = 0; i < h.entryCount; ++i) {
    const uint8_t* e = t.array.data() + size_t(i) * h.entrySize;
    GptEntry entry;
    entry.index = i;
    std::memcpy(entry.typeGuid.data(), e, 16);
    if (std::all_of(entry.typeGuid.begin(), entry.typeGuid.end(), [](uint8_t b) { return b == 0; })) continue;
    std::memcpy(entry.uniqueGuid.data(), e + 16, 16);
    entry.firstLba = le64(e + 32);
    entry.lastLba = le64(e + 40);
    entry.attributes = le64(e + 48);
    size_t units = 0;
    while (units < 36 && (e[56 + 2 * units] | e[57 + 2 * units]) != 0) ++units;
    entry.name = utf16leToUtf8(e + 56, units);
    const std::string where = format("entry %u", i + 1);
    if (entry.firstLba > entry.lastLba) {
      note(t, where + " skipped: it ends before it starts");
      continue;
    }
    if (entry.firstLba < h.firstUsable || entry.lastLba > h.lastUsable) {
      note(t, where + " skipped: it lies outside the usable LBAs " + lbaText(h.firstUsable) + "-" +
                           lbaText(h.lastUsable));
      continue;
    }
    bool overlaps = false;
    for (const GptEntry& other : t.entries)
      if (entry.firstLba <= other.lastLba && other.firstLba <= entry.lastLba) {
        note(t, where + format(" skipped: it overlaps entry %u", other.index + 1));
        overlaps = true;
        break;
      }
    if (overlaps) continue;
    t.entries.push_back(std::move(entry));
  }
  return t;
}

uint32_t probeGptSectorSize(const ByteReader& read, uint64_t diskBytes) {
  uint8_t sig[8];
  for (uint32_t size : {512u, 4096u})
    if (diskBytes >= 3ull * size && read(size, sig, 8) && std::memcmp(sig, kSignature, 8) == 0) return size;
  // The primary header is gone: look for the backup at the last LBA.
  for (uint32_t size : {512u, 4096u}) {
    const uint64_t sectors = diskBytes / size;
    if (sectors >= 3 && read((sectors - 1) * size, sig, 8) && std::memcmp(sig, kSignature, 8) == 0) return size;
  }
  return 0;
}

std::string guidText(const Guid& g) {
  // The first three fields are little-endian, the last two big-endian.
  return format("%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", g[3], g[2], g[1], g[0], g[5],
                g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
}

bool parseGuid(const std::string& text, Guid& out) {
  if (text.size() != 36) return false;
  std::array<uint8_t, 16> bytes{};
  size_t n = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      continue;
    }
    const int hi = hexValue(text[i]), lo = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
    if (hi < 0 || lo < 0 || n >= 16) return false;
    bytes[n++] = static_cast<uint8_t>(hi * 16 + lo);
    ++i;
  }
  if (n != 16) return false;
  out = {bytes[3], bytes[2], bytes[1], bytes[0], bytes[5], bytes[4], bytes[7], bytes[6],
         bytes[8], bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]};
  return true;
}

std::string gptTypeName(const Guid& type) {
  const std::string text = guidText(type);
  for (const KnownType& k : kKnownTypes)
    if (text == k.guid) return k.name;
  return {};
}

bool isLinuxSwapGuid(const Guid& type) { return guidText(type) == "0657FD6D-A4AB-43C4-84E5-0933C84B4F4F"; }

void encodeGptHeader(const GptHeader& h, uint8_t* s, uint32_t sectorSize) {
  std::memset(s, 0, sectorSize);
  std::memcpy(s, kSignature, 8);
  putLe32(s + 8, h.revision);
  putLe32(s + 12, h.headerSize);
  putLe64(s + 24, h.myLba);
  putLe64(s + 32, h.alternateLba);
  putLe64(s + 40, h.firstUsable);
  putLe64(s + 48, h.lastUsable);
  std::memcpy(s + 56, h.diskGuid.data(), 16);
  putLe64(s + 72, h.entriesLba);
  putLe32(s + 80, h.entryCount);
  putLe32(s + 84, h.entrySize);
  putLe32(s + 88, h.entriesCrc);
  const uint32_t size = std::clamp(h.headerSize, kGptHeaderMinSize, sectorSize);
  putLe32(s + 16, crc32(s, size));
}

void encodeGptEntry(const GptEntry& e, uint8_t* out, uint32_t entrySize) {
  std::memset(out, 0, entrySize);
  std::memcpy(out, e.typeGuid.data(), 16);
  std::memcpy(out + 16, e.uniqueGuid.data(), 16);
  putLe64(out + 32, e.firstLba);
  putLe64(out + 40, e.lastLba);
  putLe64(out + 48, e.attributes);
  // The name as UTF-16LE: ASCII and the Basic Multilingual Plane only.
  size_t units = 0;
  for (size_t i = 0; i < e.name.size() && units < 36;) {
    uint32_t cp = static_cast<uint8_t>(e.name[i]);
    size_t len = 1;
    if (cp >= 0xE0 && i + 2 < e.name.size()) {
      cp = ((cp & 0x0F) << 12) | ((e.name[i + 1] & 0x3F) << 6) | (e.name[i + 2] & 0x3F);
      len = 3;
    } else if (cp >= 0xC0 && i + 1 < e.name.size()) {
      cp = ((cp & 0x1F) << 6) | (e.name[i + 1] & 0x3F);
      len = 2;
    } else if (cp >= 0x80) {
      cp = '_';
    }
    putLe16(out + 56 + 2 * units, static_cast<uint16_t>(cp));
    ++units;
    i += len;
  }
}

}  // namespace brenix
