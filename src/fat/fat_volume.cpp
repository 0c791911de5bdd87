#include "fat/fat_volume.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string_view>
#include <unordered_set>

#include "common/bytes.h"
#include "common/clock.h"
#include "common/text.h"
#include "disk/device_table.h"
#include "disk/sector_reader.h"

namespace brenix {

namespace {

constexpr int kErrNotFat = 13;  // the data is not a volume of the asked variant

bool isPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The fixed name field of a "." or ".." entry.
bool nameFieldIs(const uint8_t* e, std::string_view padded) { return std::memcmp(e, padded.data(), 8) == 0; }

}  // namespace

bool parseFatBootSector(std::span<const uint8_t> b, FatGeometry* g, std::string* why) {
  auto fail = [&](const char* text) {
    if (why) *why = text;
    return false;
  };
  if (b.size() < 512) return fail("boot sector too short");
  FatGeometry r;
  r.bytesPerSector = u16At(b, 11);
  r.sectorsPerCluster = u8At(b, 13);
  r.reservedSectors = u16At(b, 14);
  r.fatCount = u8At(b, 16);
  r.rootEntries = u16At(b, 17);
  const uint32_t total16 = u16At(b, 19), total32 = u32At(b, 32);
  const uint32_t spf16 = u16At(b, 22), spf32 = u32At(b, 36);
  r.totalSectors = total16 != 0 ? total16 : total32;
  if (r.bytesPerSector != 512 && r.bytesPerSector != 1024 && r.bytesPerSector != 2048 && r.bytesPerSector != 4096)
    return fail("bad bytes per sector");
  if (!isPowerOfTwo(r.sectorsPerCluster)) return fail("bad sectors per cluster");
  if (r.clusterBytes() > 256 * 1024) return fail("cluster too large");
  if (r.reservedSectors == 0) return fail("no reserved sectors");
  if (r.fatCount == 0) return fail("no allocation table");
  const bool fat32 = spf16 == 0;
  r.sectorsPerFat = fat32 ? spf32 : spf16;
  if (r.sectorsPerFat == 0) return fail("no sectors per table");
  if (fat32) {
    if (r.rootEntries != 0) return fail("FAT32 with a fixed root region");
    r.rootCluster = u32At(b, 44);
  } else if (r.rootEntries == 0) {
    return fail("no root directory region");
  }
  r.rootSectors = fat32 ? 0 : (r.rootEntries * 32 + r.bytesPerSector - 1) / r.bytesPerSector;
  const uint64_t firstData = uint64_t(r.reservedSectors) + uint64_t(r.fatCount) * r.sectorsPerFat + r.rootSectors;
  if (firstData >= r.totalSectors) return fail("no data area");
  r.firstDataSector = static_cast<uint32_t>(firstData);
  r.clusterCount = (r.totalSectors - r.firstDataSector) / r.sectorsPerCluster;
  if (r.clusterCount == 0) return fail("no data clusters");
  if (fat32) {
    r.type = FatType::Fat32;
    if (r.clusterCount > 0x0FFFFFF5) r.clusterCount = 0x0FFFFFF5;
  } else {
    r.type = r.clusterCount < 4085 ? FatType::Fat12 : FatType::Fat16;
    if (r.clusterCount > 65524) return fail("too many clusters for FAT16");
  }
  // A table shorter than the volume: only the clusters it describes exist.
  const uint64_t tableBytes = uint64_t(r.sectorsPerFat) * r.bytesPerSector;
  const uint64_t entries = r.type == FatType::Fat12 ? tableBytes * 2 / 3 : tableBytes / (fat32 ? 4 : 2);
  if (entries < 3) return fail("allocation table too small");
  if (uint64_t(r.clusterCount) + 2 > entries) r.clusterCount = static_cast<uint32_t>(entries - 2);
  if (fat32 && (r.rootCluster < 2 || r.rootCluster > r.maxCluster())) return fail("root cluster out of range");
  *g = r;
  return true;
}

FatDirEntry FatDirEntry::decode(const uint8_t* p) {
  FatDirEntry e;
  std::memcpy(e.name, p, 8);
  std::memcpy(e.ext, p + 8, 3);
  e.attr = p[11];
  e.createTime = le16(p + 14);
  e.createDate = le16(p + 16);
  e.accessDate = le16(p + 18);
  e.highCluster = le16(p + 20);
  e.writeTime = le16(p + 22);
  e.writeDate = le16(p + 24);
  e.lowCluster = le16(p + 26);
  e.size = le32(p + 28);
  return e;
}

bool isValidNameChar(uint8_t c) {
  if (c < 0x20 || c > 0x7E) return false;
  switch (c) {
    case '"': case '*': case '/': case ':': case '<': case '>': case '?': case '\\': case '|': return false;
    default: return true;
  }
}

bool dosDateInWindow(uint16_t date, int currentYear) {
  const int year = 1980 + (date >> 9);
  const int month = (date >> 5) & 0x0F;
  const int day = date & 0x1F;
  return year >= currentYear - 5 && year <= currentYear && month <= 12 && day <= 31;
}

bool dosDateValid(uint16_t date, int currentYear) {
  if (date == 0) return true;
  const int year = 1980 + (date >> 9);
  const int month = (date >> 5) & 0x0F;
  const int day = date & 0x1F;
  return year <= currentYear + 1 && month >= 1 && month <= 12 && day >= 1;
}

std::string decodeLongNamePiece(const uint8_t* entry) {
  static const int kPos[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  std::u16string units;
  for (int pos : kPos) {
    const uint16_t u = le16(entry + pos);
    if (u == 0x0000 || u == 0xFFFF) continue;
    units.push_back(static_cast<char16_t>(u));
  }
  return utf16ToUtf8(units, "_");
}

uint8_t shortNameChecksum(const uint8_t* entry) {
  uint8_t sum = 0;
  for (int i = 0; i < 11; ++i) sum = static_cast<uint8_t>(((sum & 1) ? 0x80 : 0) + (sum >> 1) + entry[i]);
  return sum;
}

bool beginsWithDotEntries(std::span<const uint8_t> block) {
  return block.size() >= 64 && nameFieldIs(block.data(), ".       ") && nameFieldIs(block.data() + 32, "..      ");
}

bool looksLikeDirectoryBlock(std::span<const uint8_t> block, const DirBlockParams& params) {
  const size_t n = block.size() / 32;
  if (beginsWithDotEntries(block)) return true;
  size_t valid = 0;
  bool plausible = true, endSeen = false;
  int expected = 0;
  std::set<std::string> names;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* e = block.data() + 32 * i;
    if (e[0] == 0x00) {
      if (i < 2) return false;
      endSeen = true;
      continue;
    }
    const uint8_t attr = e[11];
    if ((attr >= 0x09 && attr <= 0x0E) || (attr >= 0x18 && attr <= 0x1F) || (attr >= 0x28 && attr <= 0x2F) ||
        attr > 0x37) {
      plausible = false;
      break;
    }
    if (attr == kAttrLongName) {
      if (le16(e + 26) != 0) {
        plausible = false;
        break;
      }
      if (e[0] != 0xE5) {
        if (expected == 0) {
          expected = int(e[0]) - 0x40;
        } else {
          if (int(e[0]) != expected - 1) {
            plausible = false;
            break;
          }
          expected = e[0];
        }
      }
      continue;
    }
    expected = 0;
    if (attr == kAttrVolume) {
      if (le32(e + 28) != 0) {
        plausible = false;
        break;
      }
    } else if (attr & kAttrReadOnly) {
      if (e[8] == 0 || e[9] == 0 || e[10] == 0) {
        plausible = false;
        break;
      }
      if (std::memchr(e, 0, 8) != nullptr) plausible = false;
    } else {
      const FatDirEntry d = FatDirEntry::decode(e);
      const bool datesOk = dosDateInWindow(d.createDate, params.currentYear) &&
                           dosDateInWindow(d.writeDate, params.currentYear) &&
                           dosDateInWindow(d.accessDate, params.currentYear) && (d.createTime >> 11) <= 24 &&
                           (d.writeTime >> 11) <= 24;
      bool charsOk = true;
      for (int k = 1; k < 11 && charsOk; ++k) charsOk = isValidNameChar(e[k]);
      if (!datesOk || !charsOk || d.cluster(params.fat32) > params.clusterLimit) {
        plausible = false;
        break;
      }
      if (e[0] != 0xE5) {
        const void* zero = std::memchr(e, 0, 32);
        const size_t len = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - e) : 32;
        if (!names.emplace(reinterpret_cast<const char*>(e), len).second) {
          plausible = false;
          break;
        }
      }
    }
    ++valid;
  }
  if (valid == 0) return false;
  return plausible ? true : endSeen;
}

// --- FatVolume ---------------------------------------------------------------

FatVolume::~FatVolume() = default;

int FatVolume::open(int driveNumber, uint64_t partitionStart, FatVariant variant) {
  SectorReader reader;
  if (!reader.open(driveNumber, OpenMode::Read)) {
    error_ = "Can not open physical device!!";
    return reader.lastError() != 0 ? reader.lastError() : 2;
  }
  return openSource(makeReaderSource(std::move(reader)), partitionStart, variant);
}

int FatVolume::openPath(const std::string& path, uint64_t partitionStart, FatVariant variant) {
  SectorReader reader;
  if (!reader.openPath(path, OpenMode::Read)) {
    error_ = "Can not open physical device!!";
    return reader.lastError() != 0 ? reader.lastError() : 2;
  }
  return openSource(makeReaderSource(std::move(reader)), partitionStart, variant);
}

int FatVolume::openSource(std::unique_ptr<FatByteSource> source, uint64_t partitionStart, FatVariant variant) {
  ok_ = false;
  fat_.clear();
  source_ = std::move(source);
  partitionStart_ = partitionStart;
  variant_ = variant;
  currentYear_ = toLocalTime(nowSeconds()).year;
  const int rc = finishOpen();
  if (rc != 0) source_.reset();
  return rc;
}

int FatVolume::finishOpen() {
  if (partitionStart_ > (UINT64_MAX / 512) - 7) {
    error_ = "partition start out of range";
    return kErrNotFat;
  }
  uint8_t boot[512];
  if (!source_->read(partitionStart_ * 512, boot, sizeof boot)) {
    error_ = "Can not read data from this physical device!!";
    return 5;
  }
  notice_.clear();
  if (!parseFatBootSector(boot, &g_, &error_)) {
    // FAT32 keeps a copy of its boot sector in sector 6.
    uint8_t copy[512];
    FatGeometry backup;
    std::string why;
    if (!source_->read((partitionStart_ + 6) * 512, copy, sizeof copy) || !parseFatBootSector(copy, &backup, &why) ||
        !backup.isFat32())
      return kErrNotFat;
    notice_ = "The boot sector is damaged (" + error_ + "): the backup boot sector in sector 6 was used.";
    g_ = backup;
  }
  const bool wantFat32 = variant_ == FatVariant::Fat32;
  if (wantFat32 != g_.isFat32()) {
    error_ = wantFat32 ? "not a FAT32 volume" : "not a FAT12/FAT16 volume";
    return kErrNotFat;
  }
  // Only the entries of existing clusters are loaded, never more than the device holds.
  const uint64_t entries = uint64_t(g_.clusterCount) + 2;
  uint64_t bytes = g_.type == FatType::Fat12 ? (entries * 3 + 1) / 2 : entries * (g_.isFat32() ? 4 : 2);
  bytes = (bytes + g_.bytesPerSector - 1) / g_.bytesPerSector * g_.bytesPerSector;
  const uint64_t fatOffset = partitionStart_ * 512 + uint64_t(g_.reservedSectors) * g_.bytesPerSector;
  const uint64_t deviceSize = source_->size();
  if (deviceSize != 0 && (fatOffset > deviceSize || bytes > deviceSize - fatOffset)) {
    error_ = "allocation table past the end of the device";
    return kErrNotFat;
  }
  fat_.assign(static_cast<size_t>(bytes), 0);
  if (!source_->read(fatOffset, fat_.data(), fat_.size())) {
    error_ = "Can not read data from this physical device!!";
    fat_.clear();
    return 5;
  }
  entryCount_ = static_cast<uint32_t>(entries);
  countShortChains();
  ok_ = true;
  error_.clear();
  return 0;
}

uint32_t FatVolume::next(uint32_t c) const {
  if (c >= entryCount_) return 0;
  switch (g_.type) {
    case FatType::Fat12: {
      const size_t off = size_t(c) + c / 2;
      if (off + 1 >= fat_.size()) return 0;
      const uint16_t v = le16(fat_.data() + off);
      return (c & 1) ? v >> 4 : v & 0x0FFF;
    }
    case FatType::Fat16: return le16(fat_.data() + size_t(c) * 2);
    case FatType::Fat32: return le32(fat_.data() + size_t(c) * 4);
  }
  return 0;
}

bool FatVolume::isEndOfChain(uint32_t v) const {
  switch (g_.type) {
    case FatType::Fat12: return v >= 0x0FF0;
    case FatType::Fat16: return v >= 0xFFF0;
    case FatType::Fat32: return v >= 0x0FFFFFF0;
  }
  return true;
}

void FatVolume::countShortChains() {
  shortChains_ = 0;
  std::vector<uint8_t> reached(entryCount_, 0);
  const uint32_t first = g_.isFat32() ? g_.rootCluster : 2;
  for (uint32_t i = first; i <= g_.maxCluster() && i < entryCount_; ++i) {
    if (next(i) == 0 || reached[i]) continue;
    uint32_t count = 1;
    uint32_t v = next(i);
    // Cut at the end mark, a successor outside the volume, or one already reached (cycle or join).
    while (!isEndOfChain(v) && validCluster(v) && !reached[v] && v != i) {
      reached[v] = 1;
      ++count;
      v = next(v);
    }
    if (count < 4) shortChains_ += count;
  }
}

uint32_t FatVolume::unitBytes(uint32_t cluster) const {
  if (cluster == 1 && !fat32()) return g_.rootSectors * g_.bytesPerSector;
  return g_.clusterBytes();
}

uint64_t FatVolume::volumeSectorOffset(uint64_t volumeSector) const {
  return partitionStart_ * 512 + volumeSector * g_.bytesPerSector;
}

uint64_t FatVolume::clusterOffset(uint32_t cluster) const {
  if (cluster == 1 && !fat32())
    return volumeSectorOffset(uint64_t(g_.reservedSectors) + uint64_t(g_.fatCount) * g_.sectorsPerFat);
  return volumeSectorOffset(uint64_t(g_.firstDataSector) + uint64_t(cluster - 2) * g_.sectorsPerCluster);
}

uint64_t FatVolume::volumeEndOffset() const { return volumeSectorOffset(g_.totalSectors); }

bool FatVolume::readBytes(uint64_t offset, void* buffer, size_t n) const {
  return ok_ && source_ && source_->read(offset, buffer, n);
}

bool FatVolume::readClusters(uint32_t cluster, uint32_t count, std::vector<uint8_t>& out) const {
  if (!ok_ || count == 0) return false;
  size_t bytes;
  if (cluster == 1 && !fat32()) {
    if (count != 1) return false;
    bytes = unitBytes(1);
  } else {
    if (!validCluster(cluster) || uint64_t(cluster) + count - 1 > g_.maxCluster()) return false;
    bytes = size_t(count) * g_.clusterBytes();
  }
  out.resize(bytes);
  return source_->read(clusterOffset(cluster), out.data(), bytes);
}

std::vector<uint32_t> FatVolume::chain(uint32_t first, size_t limit, bool* complete) const {
  std::vector<uint32_t> out;
  std::unordered_set<uint32_t> seen;
  if (complete) *complete = false;
  uint32_t c = first;
  while (validCluster(c) && out.size() < limit && seen.insert(c).second) {
    out.push_back(c);
    const uint32_t v = next(c);
    if (isEndOfChain(v)) {
      if (complete) *complete = true;
      break;
    }
    c = v;
  }
  return out;
}

DirBlockParams FatVolume::dirBlockParams() const {
  DirBlockParams p;
  p.fat32 = fat32();
  p.clusterLimit = g_.totalSectors / g_.sectorsPerCluster;
  p.currentYear = currentYear_;
  return p;
}

}  // namespace brenix
