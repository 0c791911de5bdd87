#include "rescue/backup_file.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include "common/bytes.h"

namespace brenix::rescue {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

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
  return writeBackupFile(path, *disk, recordsOfDisk(catalog, *disk));
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
  const size_t limit = kBackupHeadSize + (kMaxBackupRecords + 1) * sizeof(PartitionInfo);
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
