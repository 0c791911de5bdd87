#include "cli/demo_image.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "common/bytes.h"
#include "common/text.h"
#include "disk/mbr.h"

namespace brenix::cli {

namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kDiskSectors = 48 * 2048;  // 48 MiB
constexpr uint32_t kPartStart = 2048;
constexpr uint32_t kPartSectors = kDiskSectors - kPartStart;
constexpr uint32_t kReserved = 32;
constexpr uint32_t kSectorsPerCluster = 1;
constexpr uint32_t kFatCount = 2;
constexpr uint16_t kDemoDate = ((2026 - 1980) << 9) | (6 << 5) | 14;  // 2026-06-14
constexpr uint16_t kDemoTime = (10 << 11) | (30 << 5);                  // 10:30:00

class Fat32Writer {
 public:
  explicit Fat32Writer(std::vector<uint8_t>& disk) : disk_(disk) {
    const uint32_t tmp2 = (256 * kSectorsPerCluster + kFatCount) / 2;
    fatSectors_ = (kPartSectors - kReserved + tmp2 - 1) / tmp2;
    dataStart_ = kReserved + kFatCount * fatSectors_;
    clusterCount_ = (kPartSectors - dataStart_) / kSectorsPerCluster;
    writeBootSector();
    setFat(0, 0x0FFFFFF8);
    setFat(1, 0x0FFFFFFF);
    setFat(2, 0x0FFFFFFF);  // root directory
    nextCluster_ = 3;
  }

  uint32_t clusterBytes() const { return kSectorsPerCluster * kSector; }
  uint8_t* cluster(uint32_t c) {
    return disk_.data() + (uint64_t(kPartStart) + dataStart_ + uint64_t(c - 2) * kSectorsPerCluster) * kSector;
  }

  // Allocates a contiguous chain for `bytes` (at least one cluster).
  uint32_t allocate(size_t bytes) {
    uint32_t n = static_cast<uint32_t>(std::max<size_t>(1, (bytes + clusterBytes() - 1) / clusterBytes()));
    uint32_t first = nextCluster_;
    for (uint32_t i = 0; i < n; ++i) setFat(first + i, i + 1 == n ? 0x0FFFFFFF : first + i + 1);
    nextCluster_ += n;
    return first;
  }
  void freeChain(uint32_t first, size_t bytes) {
    uint32_t n = static_cast<uint32_t>(std::max<size_t>(1, (bytes + clusterBytes() - 1) / clusterBytes()));
    for (uint32_t i = 0; i < n; ++i) setFat(first + i, 0);
  }
  void writeData(uint32_t first, const std::vector<uint8_t>& bytes) {
    for (size_t off = 0; off < bytes.size(); off += clusterBytes()) {
      size_t n = std::min<size_t>(clusterBytes(), bytes.size() - off);
      std::memcpy(cluster(first + static_cast<uint32_t>(off / clusterBytes())), bytes.data() + off, n);
    }
  }

  void finish() {
    // FSInfo: free count unknown, so readers compute it.
    uint8_t* info = part(1);
    putLe32(info, 0x41615252);
    putLe32(info + 484, 0x61417272);
    putLe32(info + 488, 0xFFFFFFFF);
    putLe32(info + 492, nextCluster_);
    putLe32(info + 508, 0xAA550000);
    std::memcpy(part(6), part(0), kSector);  // backup boot sector
    std::memcpy(part(7), part(1), kSector);
    for (uint32_t f = 1; f < kFatCount; ++f)
      std::memcpy(part(kReserved + f * fatSectors_), part(kReserved), size_t(fatSectors_) * kSector);
  }

 private:
  uint8_t* part(uint32_t sector) { return disk_.data() + (uint64_t(kPartStart) + sector) * kSector; }
  void setFat(uint32_t c, uint32_t v) { putLe32(part(kReserved) + 4 * c, v); }

  void writeBootSector() {
    uint8_t* b = part(0);
    const uint8_t jump[3] = {0xEB, 0x58, 0x90};
    std::memcpy(b, jump, 3);
    std::memcpy(b + 3, "BRENIX  ", 8);
    putLe16(b + 11, kSector);
    b[13] = kSectorsPerCluster;
    putLe16(b + 14, kReserved);
    b[16] = kFatCount;
    b[21] = 0xF8;
    putLe16(b + 24, 63);
    putLe16(b + 26, 255);
    putLe32(b + 28, kPartStart);
    putLe32(b + 32, kPartSectors);
    putLe32(b + 36, fatSectors_);
    putLe32(b + 44, 2);  // root directory cluster
    putLe16(b + 48, 1);  // FSInfo sector
    putLe16(b + 50, 6);  // backup boot sector
    b[64] = 0x80;
    b[66] = 0x29;
    putLe32(b + 67, 0x20260614);
    std::memcpy(b + 71, "BRENIX DEMO", 11);
    std::memcpy(b + 82, "FAT32   ", 8);
    b[510] = 0x55;
    b[511] = 0xAA;
  }

  std::vector<uint8_t>& disk_;
  uint32_t fatSectors_ = 0, dataStart_ = 0, clusterCount_ = 0, nextCluster_ = 3;
};

// Appends directory entries (long-name entries, then the short entry) to a directory buffer.
class DirectoryBuilder {
 public:
  void addDot(const char* name11, uint32_t clusterNumber) { addShort(name11, 0x10, clusterNumber, 0); }

  // Returns the index of the short entry.
  size_t addFile(const std::string& longName, const std::string& shortName11, uint8_t attr, uint32_t first,
                 uint32_t size) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = static_cast<uint8_t>(((sum & 1) ? 0x80 : 0) + (sum >> 1) + uint8_t(shortName11[i]));
    std::u16string units(longName.begin(), longName.end());  // the demo names are ASCII
    const size_t parts = longName.empty() ? 0 : (units.size() + 12) / 13;
    for (size_t p = parts; p >= 1; --p) {
      uint8_t e[32] = {};
      e[0] = static_cast<uint8_t>(p | (p == parts ? 0x40 : 0));
      e[11] = 0x0F;
      e[13] = sum;
      static const int pos[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
      for (int i = 0; i < 13; ++i) {
        size_t k = (p - 1) * 13 + static_cast<size_t>(i);
        uint16_t u = k < units.size() ? units[k] : (k == units.size() ? 0x0000 : 0xFFFF);
        putLe16(e + pos[i], u);
      }
      bytes_.insert(bytes_.end(), e, e + 32);
    }
    return addShort(shortName11.c_str(), attr, first, size);
  }

  // Marks a file deleted: 0xE5 on its short entry and on its long-name entries.
  void markDeleted(size_t shortIndex) {
    bytes_[shortIndex * 32] = 0xE5;
    for (size_t i = shortIndex; i-- > 0;) {
      if (bytes_[i * 32 + 11] != 0x0F) break;
      bytes_[i * 32] = 0xE5;
    }
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  size_t addShort(const char* name11, uint8_t attr, uint32_t first, uint32_t size) {
    uint8_t e[32] = {};
    std::memcpy(e, name11, 11);
    e[11] = attr;
    putLe16(e + 14, kDemoTime);
    putLe16(e + 16, kDemoDate);
    putLe16(e + 18, kDemoDate);
    putLe16(e + 20, static_cast<uint16_t>(first >> 16));
    putLe16(e + 22, kDemoTime);
    putLe16(e + 24, kDemoDate);
    putLe16(e + 26, static_cast<uint16_t>(first));
    putLe32(e + 28, size);
    bytes_.insert(bytes_.end(), e, e + 32);
    return bytes_.size() / 32 - 1;
  }
  std::vector<uint8_t> bytes_;
};

}  // namespace

bool buildDemoImage(const std::filesystem::path& path, DemoImageInfo* info, std::string* error) {
  std::vector<uint8_t> disk(size_t(kDiskSectors) * kSector, 0);
  // MBR with one FAT32 (LBA) partition.
  putMbrEntry(disk.data(), 0, MbrEntry{0x00, 0x0C, kPartStart, kPartSectors});
  disk[510] = 0x55;
  disk[511] = 0xAA;

  Fat32Writer fat(disk);
  std::vector<DemoPicture> pictures = demoPictures();
  // Every second picture is deleted.
  for (size_t i = 0; i < pictures.size(); ++i) pictures[i].deleted = (i % 2 == 1);

  // DCIM folder with the pictures; root holds the label and DCIM.
  DirectoryBuilder dcim;
  const uint32_t dcimCluster = fat.allocate(8 * fat.clusterBytes());
  dcim.addDot(".          ", dcimCluster);
  dcim.addDot("..         ", 0);
  std::vector<std::pair<size_t, DemoPicture*>> deleted;
  int n = 0;
  for (DemoPicture& pic : pictures) {
    const uint32_t first = fat.allocate(pic.bytes.size());
    fat.writeData(first, pic.bytes);
    std::string shortName = format("PIC%05d", ++n) + "JPG";
    size_t index = dcim.addFile(pic.name, shortName, 0x20, first, static_cast<uint32_t>(pic.bytes.size()));
    if (pic.deleted) {
      dcim.markDeleted(index);
      fat.freeChain(first, pic.bytes.size());
    }
  }
  if (dcim.bytes().size() > 8 * fat.clusterBytes()) {
    *error = "demo folder does not fit";
    return false;
  }
  fat.writeData(dcimCluster, dcim.bytes());

  DirectoryBuilder root;
  uint8_t label[32] = {};
  std::memcpy(label, "BRENIX DEMO", 11);
  label[11] = 0x08;
  std::vector<uint8_t> rootBytes(label, label + 32);
  root.addFile("", "DCIM       ", 0x10, dcimCluster, 0);
  rootBytes.insert(rootBytes.end(), root.bytes().begin(), root.bytes().end());
  fat.writeData(2, rootBytes);
  fat.finish();

  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out.write(reinterpret_cast<const char*>(disk.data()), static_cast<std::streamsize>(disk.size()))) {
    *error = "Can not write the demo image '" + path.string() + "'";
    return false;
  }
  if (info) {
    info->pictures = pictures;
    info->deletedCount = static_cast<int>(std::count_if(pictures.begin(), pictures.end(), [](const DemoPicture& p) { return p.deleted; }));
    info->partitionStart = kPartStart;
  }
  return true;
}

}  // namespace brenix::cli
