#include "exfat/exfat_volume.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "common/bytes.h"
#include "disk/device_table.h"
#include "disk/sector_reader.h"
#include "exfat/exfat_entry.h"

namespace brenix::exfat {

namespace {

constexpr uint64_t kMaxTableInMemory = 512ull << 20;  // larger tables are read entry by entry
constexpr uint64_t kMaxRootBytes = 64ull << 20;

}  // namespace

bool parseBootSector(std::span<const uint8_t> b, Geometry* g, std::string* why) {
  auto fail = [&](const char* text) {
    if (why) *why = text;
    return false;
  };
  if (b.size() < 512) return fail("boot sector too short");
  if (!bytesEqual(b, 3, "EXFAT   ")) return fail("no exFAT signature");
  Geometry r;
  r.volumeLength = u64At(b, 72);
  r.fatOffset = u32At(b, 80);
  r.fatLength = u32At(b, 84);
  r.heapOffset = u32At(b, 88);
  r.clusterCount = u32At(b, 92);
  r.rootCluster = u32At(b, 96);
  r.serial = u32At(b, 100);
  r.volumeFlags = u16At(b, 106);
  r.bytesPerSectorShift = u8At(b, 108);
  r.sectorsPerClusterShift = u8At(b, 109);
  r.fatCount = u8At(b, 110);
  if (r.bytesPerSectorShift < 9 || r.bytesPerSectorShift > 12) return fail("bytes-per-sector shift out of range");
  if (r.sectorsPerClusterShift > 25 - r.bytesPerSectorShift) return fail("sectors-per-cluster shift out of range");
  if (r.fatCount != 1 && r.fatCount != 2) return fail("bad number of allocation tables");
  if (r.fatOffset == 0 || r.fatLength == 0) return fail("no allocation table");
  if (r.volumeLength == 0) return fail("no volume length");
  if (uint64_t(r.fatOffset) + uint64_t(r.fatLength) * r.fatCount > r.volumeLength)
    return fail("allocation table past the volume end");
  if (r.heapOffset < uint64_t(r.fatOffset) + r.fatLength || r.heapOffset >= r.volumeLength)
    return fail("cluster heap past the volume end");
  if (r.clusterCount == 0) return fail("no clusters");
  // Only the clusters the volume and the table can hold exist.
  const uint64_t fitVolume = (r.volumeLength - r.heapOffset) >> r.sectorsPerClusterShift;
  const uint64_t fitTable = (uint64_t(r.fatLength) << r.bytesPerSectorShift) / 4;
  uint64_t count = std::min<uint64_t>(r.clusterCount, 0xFFFFFFF5u);
  count = std::min(count, fitVolume);
  count = std::min(count, fitTable >= 2 ? fitTable - 2 : 0);
  if (count == 0) return fail("no clusters fit the volume");
  r.clusterCount = static_cast<uint32_t>(count);
  if (!r.validCluster(r.rootCluster)) return fail("root directory cluster out of range");
  *g = r;
  return true;
}

uint32_t bootRegionChecksum(std::span<const uint8_t> region, uint32_t bytesPerSector) {
  uint32_t sum = 0;
  const size_t n = std::min<size_t>(region.size(), size_t(bytesPerSector) * 11);
  for (size_t i = 0; i < n; ++i) {
    if (i == 106 || i == 107 || i == 112) continue;
    sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + region[i];
  }
  return sum;
}

Volume::~Volume() = default;

int Volume::open(int driveNumber, uint64_t partitionStart) {
  SectorReader reader;
  if (!reader.open(driveNumber, OpenMode::Read)) {
    error_ = "Can not open physical device!!";
    return reader.lastError() != 0 ? reader.lastError() : 2;
  }
  return openSource(makeReaderSource(std::move(reader)), partitionStart);
}

int Volume::openPath(const std::string& path, uint64_t partitionStart) {
  SectorReader reader;
  if (!reader.openPath(path, OpenMode::Read)) {
    error_ = "Can not open physical device!!";
    return reader.lastError() != 0 ? reader.lastError() : 2;
  }
  return openSource(makeReaderSource(std::move(reader)), partitionStart);
}

int Volume::openSource(std::unique_ptr<ByteSource> source, uint64_t partitionStart) {
  ok_ = false;
  fat_.clear();
  bitmap_.clear();
  bitmapCluster_ = upcaseCluster_ = 0;
  source_ = std::move(source);
  partitionStart_ = partitionStart;
  const int rc = finishOpen();
  if (rc != 0) source_.reset();
  return rc;
}

int Volume::finishOpen() {
  if (partitionStart_ > (UINT64_MAX / 512) - 1) {
    error_ = "partition start out of range";
    return kErrNotExFat;
  }
  const uint64_t base = partitionStart_ * 512;
  uint8_t boot[512];
  if (!source_->read(base, boot, sizeof boot)) {
    error_ = "Can not read data from this physical device!!";
    return kErrRead;
  }
  if (!parseBootSector(boot, &g_, &error_)) return kErrNotExFat;
  const uint32_t bps = g_.bytesPerSector();
  const uint64_t deviceSize = source_->size();

  // Sectors 0..11: the checksum sector holds the sum of 0..10 repeated.
  std::vector<uint8_t> region(size_t(bps) * 12);
  bootChecksumOk_ = false;
  if (source_->read(base, region.data(), region.size())) {
    const uint32_t sum = bootRegionChecksum(region, bps);
    bootChecksumOk_ = true;
    for (size_t i = size_t(bps) * 11; i < region.size(); i += 4) bootChecksumOk_ = bootChecksumOk_ && le32(&region[i]) == sum;
  }

  const uint64_t fatOffset = base + (uint64_t(g_.fatOffset) << g_.bytesPerSectorShift);
  const uint64_t fatBytes = (uint64_t(g_.clusterCount) + 2) * 4;
  if (deviceSize != 0 && (fatOffset > deviceSize || fatBytes > deviceSize - fatOffset)) {
    error_ = "allocation table past the end of the device";
    return kErrNotExFat;
  }
  if (fatBytes <= kMaxTableInMemory) {
    fat_.assign(static_cast<size_t>(fatBytes / 4), 0);
    if (!source_->read(fatOffset, fat_.data(), static_cast<size_t>(fatBytes))) {
      error_ = "Can not read data from this physical device!!";
      fat_.clear();
      return kErrRead;
    }
    for (uint32_t& v : fat_) v = le32(reinterpret_cast<const uint8_t*>(&v));
  }
  ok_ = true;
  findRootMetadata();
  error_.clear();
  return 0;
}

void Volume::findRootMetadata() {
  const size_t limit = static_cast<size_t>(std::max<uint64_t>(1, kMaxRootBytes / g_.clusterBytes()));
  const std::vector<uint32_t> clusters = chain(g_.rootCluster, limit, nullptr);
  std::vector<uint8_t> buf(static_cast<size_t>(g_.clusterBytes()));
  uint64_t bitmapLength = 0;
  for (uint32_t c : clusters) {
    if (!readBytes(clusterOffset(c), buf.data(), buf.size())) break;
    bool end = false;
    for (size_t i = 0; i + kEntryBytes <= buf.size() && !end; i += kEntryBytes) {
      const uint8_t* e = buf.data() + i;
      if (e[0] == 0x00) end = true;
      // The first bitmap entry (flags bit 0 clear) describes the first table's clusters.
      if (e[0] == kTypeBitmap && bitmapCluster_ == 0 && (e[1] & 1) == 0) {
        bitmapCluster_ = le32(e + 20);
        bitmapLength = le64(e + 24);
      }
      if (e[0] == kTypeUpcase && upcaseCluster_ == 0) upcaseCluster_ = le32(e + 20);
    }
    if (end || (bitmapCluster_ != 0 && upcaseCluster_ != 0)) break;
  }
  if (!g_.validCluster(upcaseCluster_)) upcaseCluster_ = 0;
  const uint64_t need = (uint64_t(g_.clusterCount) + 7) / 8;
  if (!g_.validCluster(bitmapCluster_) || bitmapLength < need || need > kMaxTableInMemory) {
    bitmapCluster_ = 0;
    return;
  }
  // The bitmap's own clusters, by its chain or (when the table has none) contiguous.
  const uint64_t cb = g_.clusterBytes();
  const size_t clustersNeeded = static_cast<size_t>((need + cb - 1) / cb);
  bool complete = false;
  std::vector<uint32_t> run = chain(bitmapCluster_, clustersNeeded, &complete);
  if (run.size() != clustersNeeded) {
    run.clear();
    for (size_t k = 0; k < clustersNeeded && g_.validCluster(uint64_t(bitmapCluster_) + k); ++k)
      run.push_back(static_cast<uint32_t>(bitmapCluster_ + k));
  }
  if (run.size() != clustersNeeded) {
    bitmapCluster_ = 0;
    return;
  }
  std::vector<uint8_t> bits(static_cast<size_t>(need));
  for (size_t k = 0; k < run.size(); ++k) {
    const size_t at = static_cast<size_t>(k * cb);
    const size_t n = static_cast<size_t>(std::min<uint64_t>(cb, need - at));
    if (!readBytes(clusterOffset(run[k]), bits.data() + at, n)) {
      bitmapCluster_ = 0;
      return;
    }
  }
  bitmap_ = std::move(bits);
}

uint32_t Volume::next(uint32_t c) const {
  if (!ok_ || c > g_.maxCluster()) return 0;
  if (!fat_.empty()) return fat_[c];
  uint8_t v[4];
  const uint64_t off = partitionStart_ * 512 + (uint64_t(g_.fatOffset) << g_.bytesPerSectorShift) + uint64_t(c) * 4;
  return source_->read(off, v, 4) ? le32(v) : 0;
}

bool Volume::inUse(uint32_t c) const {
  if (!g_.validCluster(c) || bitmap_.empty()) return false;
  const uint32_t bit = c - 2;
  return (bitmap_[bit / 8] >> (bit % 8)) & 1;
}

uint64_t Volume::clusterOffset(uint32_t c) const {
  return partitionStart_ * 512 +
         ((uint64_t(g_.heapOffset) + (uint64_t(c - 2) << g_.sectorsPerClusterShift)) << g_.bytesPerSectorShift);
}

bool Volume::readBytes(uint64_t offset, void* buffer, size_t n) const {
  return ok_ && source_ && source_->read(offset, buffer, n);
}

std::vector<uint32_t> Volume::chain(uint32_t first, size_t limit, bool* complete) const {
  std::vector<uint32_t> out;
  std::unordered_set<uint32_t> seen;
  if (complete) *complete = false;
  uint32_t c = first;
  while (g_.validCluster(c) && out.size() < limit && seen.insert(c).second) {
    out.push_back(c);
    const uint32_t v = next(c);
    if (v == kEndOfChain) {
      if (complete) *complete = true;
      break;
    }
    c = v;
  }
  return out;
}

}  // namespace brenix::exfat
