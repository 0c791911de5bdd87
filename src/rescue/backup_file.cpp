#include "rescue/backup_file.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include "common/bytes.h"
#include "disk/fs_kind.h"
#include "disk/gpt.h"
#include "disk/mbr.h"

namespace brenix::rescue {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

uint64_t fnv1a(const uint8_t* data, size_t size) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < size; ++i) {
    h ^= data[i];
    h *= 0x100000001b3ull;
  }
  return h;
}

bool writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  File f(std::fopen(path.c_str(), "wb"));
  if (!f) return false;
  if (std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size()) return false;
  if (std::fflush(f.get()) != 0) return false;
  return std::fclose(f.release()) == 0;
}

// The MBR-style type a GPT partition's file system would have.
uint8_t typeForFs(const std::string& fs) {
  if (fs == fskind::kNtfs) return parttype::kNtfs;
  if (fs == fskind::kFat32) return parttype::kFat32Lba;
  if (fs == fskind::kFat || fs == fskind::kFat16) return parttype::kFat16;
  return 0;
}

}  // namespace

std::vector<uint8_t> encodeGptBackup(const GptBackup& b) {
  std::vector<uint8_t> out(kGptBackupHeadSize, 0);
  std::memcpy(out.data(), kGptBackupMagic, 8);
  putLe32(out.data() + 8, b.sectorSize);
  putLe32(out.data() + 12, static_cast<uint32_t>(b.records.size()));
  std::memcpy(out.data() + 16, &b.disk, sizeof b.disk);
  putLe64(out.data() + 304, b.primaryLba);
  putLe64(out.data() + 312, b.backupLba);
  putLe32(out.data() + 320, static_cast<uint32_t>(b.primaryArray.size()));
  putLe32(out.data() + 324, static_cast<uint32_t>(b.backupArray.size()));
  putLe64(out.data() + 328, b.primaryArrayLba);
  putLe64(out.data() + 336, b.backupArrayLba);
  for (const auto* part : {&b.primaryHeader, &b.primaryArray, &b.backupHeader, &b.backupArray})
    out.insert(out.end(), part->begin(), part->end());
  for (const PartitionInfo& r : b.records) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&r);
    out.insert(out.end(), bytes, bytes + sizeof r);
  }
  uint8_t sum[8];
  putLe64(sum, fnv1a(out.data(), out.size()));
  out.insert(out.end(), sum, sum + 8);
  return out;
}

bool decodeGptBackup(const uint8_t* data, size_t size, GptBackup& out) {
  if (size < kGptBackupHeadSize + 8 || std::memcmp(data, kGptBackupMagic, 8) != 0) return false;
  if (le64(data + size - 8) != fnv1a(data, size - 8)) return false;
  GptBackup b;
  b.sectorSize = le32(data + 8);
  const uint32_t count = le32(data + 12);
  std::memcpy(&b.disk, data + 16, sizeof b.disk);
  b.primaryLba = le64(data + 304);
  b.backupLba = le64(data + 312);
  const uint64_t a1 = le32(data + 320), a2 = le32(data + 324);
  b.primaryArrayLba = le64(data + 328);
  b.backupArrayLba = le64(data + 336);
  if ((b.sectorSize != 512 && b.sectorSize != 4096) || a1 > kGptMaxArrayBytes || a2 > kGptMaxArrayBytes ||
      count > kMaxBackupRecords)
    return false;
  if (size != kGptBackupHeadSize + 2 * uint64_t(b.sectorSize) + a1 + a2 + uint64_t(count) * sizeof(PartitionInfo) + 8)
    return false;
  const uint8_t* p = data + kGptBackupHeadSize;
  b.primaryHeader.assign(p, p + b.sectorSize);
  p += b.sectorSize;
  b.primaryArray.assign(p, p + a1);
  p += a1;
  b.backupHeader.assign(p, p + b.sectorSize);
  p += b.sectorSize;
  b.backupArray.assign(p, p + a2);
  p += a2;
  b.records.resize(count);
  for (uint32_t i = 0; i < count; ++i, p += sizeof(PartitionInfo)) std::memcpy(&b.records[i], p, sizeof(PartitionInfo));
  out = std::move(b);
  return true;
}

bool readGptBackup(SectorReader& reader, const PhysicalDisk& disk, const std::vector<PartitionInfo>& records,
                   GptBackup& out) {
  ByteReader read = [&reader](uint64_t offset, void* buffer, size_t count) {
    return reader.readBytesAt(offset, buffer, count);
  };
  const uint64_t diskBytes = reader.sizeBytes();
  const uint32_t sectorSize = probeGptSectorSize(read, diskBytes);
  if (sectorSize == 0) return false;
  const uint64_t diskSectors = diskBytes / sectorSize;
  GptBackup b;
  b.disk = disk;
  b.sectorSize = sectorSize;
  b.primaryLba = 1;
  b.primaryHeader.assign(sectorSize, 0);
  if (!read(sectorSize, b.primaryHeader.data(), sectorSize)) return false;
  GptHeader h;
  const bool primaryOk = parseGptHeader(b.primaryHeader.data(), sectorSize, 1, diskSectors, true, h, nullptr);
  b.backupLba = primaryOk && h.alternateLba < diskSectors ? h.alternateLba : diskSectors - 1;
  if (primaryOk) {
    b.primaryArrayLba = h.entriesLba;
    b.primaryArray.assign(size_t(h.entryCount) * h.entrySize, 0);
    if (!read(h.entriesLba * sectorSize, b.primaryArray.data(), b.primaryArray.size())) return false;
  }
  b.backupHeader.assign(sectorSize, 0);
  if (!read(b.backupLba * sectorSize, b.backupHeader.data(), sectorSize)) return false;
  GptHeader bh;
  if (parseGptHeader(b.backupHeader.data(), sectorSize, b.backupLba, diskSectors, true, bh, nullptr)) {
    b.backupArrayLba = bh.entriesLba;
    b.backupArray.assign(size_t(bh.entryCount) * bh.entrySize, 0);
    if (!read(bh.entriesLba * sectorSize, b.backupArray.data(), b.backupArray.size())) return false;
  }
  b.records = records;
  for (PartitionInfo& r : b.records)
    if (r.partitionType == 0 && r.fs() != fskind::kDeleted) r.partitionType = typeForFs(r.fs());
  out = std::move(b);
  return true;
}

std::vector<PartitionInfo> recordsOfDisk(const DiskCatalog& catalog, const PhysicalDisk& disk) {
  std::vector<PartitionInfo> out;
  for (int i = 0; i < catalog.volumeCount(); ++i) {
    const PartitionInfo& v = catalog.volume(i);
    if (v.diskNumber >= 0 && static_cast<uint32_t>(v.diskNumber) == disk.driveNumber) out.push_back(v);
  }
  return out;
}

std::vector<uint8_t> encodeBackup(const PhysicalDisk& disk, const std::vector<PartitionInfo>& records) {
  std::vector<uint8_t> out(kBackupHeadSize + records.size() * sizeof(PartitionInfo));
  putLe32(out.data(), kBackupMagic);
  std::memcpy(out.data() + 4, &disk, sizeof disk);
  for (size_t i = 0; i < records.size(); ++i)
    std::memcpy(out.data() + kBackupHeadSize + i * sizeof(PartitionInfo), &records[i], sizeof(PartitionInfo));
  return out;
}

bool writeBackupFile(const std::string& path, const PhysicalDisk& disk, const std::vector<PartitionInfo>& records) {
  File f(std::fopen(path.c_str(), "wb"));
  if (!f) return false;
  uint8_t magic[4];
  putLe32(magic, kBackupMagic);
  if (std::fwrite(magic, 1, sizeof magic, f.get()) != sizeof magic) return false;
  if (std::fwrite(&disk, 1, sizeof disk, f.get()) != sizeof disk) return false;
  for (const PartitionInfo& r : records)
    if (std::fwrite(&r, 1, sizeof r, f.get()) != sizeof r) return false;
  // Buffered bytes that cannot reach the disk are a failed write too.
  if (std::fflush(f.get()) != 0) return false;
  return std::fclose(f.release()) == 0;
}

bool backupDisk(const std::string& path, const DiskCatalog& catalog, const PhysicalDisk* disk) {
  if (!disk) return false;
  const std::vector<PartitionInfo> records = recordsOfDisk(catalog, *disk);
  if (catalog.tableInfo(static_cast<int>(disk->driveNumber)).tableKind == TableKind::Gpt) {
    // Both copies of the GUID partition table, as they are on the disk.
    SectorReader reader;
    GptBackup backup;
    if (!reader.open(static_cast<int>(disk->driveNumber), OpenMode::Read) ||
        !readGptBackup(reader, *disk, records, backup))
      return false;
    return writeBytes(path, encodeGptBackup(backup));
  }
  return writeBackupFile(path, *disk, records);
}

bool sameDisk(const PhysicalDisk& stored, const PhysicalDisk& disk) {
  // The stored text may lack its terminator in a foreign file: compare the bounded texts.
  return stored.model() == disk.model() && stored.sizeBytes == disk.sizeBytes;
}

bool decodeBackup(const uint8_t* data, size_t size, const PhysicalDisk& disk, std::vector<PartitionInfo>& loaded,
                  LoadError* error) {
  auto fail = [error](LoadError e) {
    if (error) *error = e;
    return false;
  };
  if (size >= 8 && std::memcmp(data, kGptBackupMagic, 8) == 0) {
    GptBackup backup;
    if (!decodeGptBackup(data, size, backup)) return fail(LoadError::BadMagic);
    if (!sameDisk(backup.disk, disk)) return fail(LoadError::OtherDisk);
    loaded = std::move(backup.records);
    if (error) *error = LoadError::None;
    return true;
  }
  if (size < 4 || le32(data) != kBackupMagic) return fail(LoadError::BadMagic);
  if (size < kBackupHeadSize) return fail(LoadError::ShortDiskRecord);
  PhysicalDisk stored;
  std::memcpy(&stored, data + 4, sizeof stored);
  if (!sameDisk(stored, disk)) return fail(LoadError::OtherDisk);
  const size_t count = (size - kBackupHeadSize) / sizeof(PartitionInfo);
  if (count > kMaxBackupRecords) return fail(LoadError::TooLarge);
  std::vector<PartitionInfo> records(count);
  for (size_t i = 0; i < count; ++i)
    std::memcpy(&records[i], data + kBackupHeadSize + i * sizeof(PartitionInfo), sizeof(PartitionInfo));
  loaded = std::move(records);
  if (error) *error = LoadError::None;
  return true;
}

bool loadBackup(const std::string& path, const PhysicalDisk& disk, std::vector<PartitionInfo>& loaded,
                LoadError* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = LoadError::CannotOpen;
    return false;
  }
  // Read at most what the largest acceptable file holds (plus one byte to tell a longer one).
  const size_t limit = kGptBackupHeadSize + 2 * 4096 + 2 * kGptMaxArrayBytes + 8 +
                       (kMaxBackupRecords + 1) * sizeof(PartitionInfo);
  std::vector<uint8_t> bytes;
  uint8_t chunk[64 * 1024];
  while (bytes.size() < limit && in) {
    in.read(reinterpret_cast<char*>(chunk), sizeof chunk);
    bytes.insert(bytes.end(), chunk, chunk + in.gcount());
  }
  if (in.bad()) {
    if (error) *error = LoadError::CannotOpen;
    return false;
  }
  return decodeBackup(bytes.data(), bytes.size(), disk, loaded, error);
}

}  // namespace brenix::rescue
