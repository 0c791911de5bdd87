#pragma once
// Partition backup files (".pbf"): the magic 0x89ABCDEF, the 288-byte
// PhysicalDisk record of the backed-up disk, then 600-byte PartitionInfo
// records until the end of the file. No count, no checksum. A file belongs to
// a disk when its stored model text and size equal the disk's.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "disk/disk_catalog.h"
#include "disk/records.h"

namespace brenix::rescue {

inline constexpr uint32_t kBackupMagic = 0x89ABCDEF;
inline constexpr size_t kBackupHeadSize = 4 + sizeof(PhysicalDisk);
// More records than any disk's table can yield: a longer file is not a backup.
inline constexpr size_t kMaxBackupRecords = 16384;

// The records a backup of `disk` holds: every volume-table record of the
// catalog on that disk, in volume-table order.
std::vector<PartitionInfo> recordsOfDisk(const DiskCatalog& catalog, const PhysicalDisk& disk);

// The file's bytes for these records.
std::vector<uint8_t> encodeBackup(const PhysicalDisk& disk, const std::vector<PartitionInfo>& records);

// Writes the backup of `disk` (nullptr: no disk selected, failure) to `path`,
// replacing any file there. A failed write leaves the partial file behind.
bool backupDisk(const std::string& path, const DiskCatalog& catalog, const PhysicalDisk* disk);
bool writeBackupFile(const std::string& path, const PhysicalDisk& disk, const std::vector<PartitionInfo>& records);

enum class LoadError { None, CannotOpen, BadMagic, ShortDiskRecord, OtherDisk, TooLarge };

// Reads the file's records for `disk` into `loaded`. On failure `loaded` is
// left exactly as it was; on success it holds the file's whole records only
// (a trailing partial record is ignored).
bool loadBackup(const std::string& path, const PhysicalDisk& disk, std::vector<PartitionInfo>& loaded,
                LoadError* error = nullptr);
// The same over a file's bytes.
bool decodeBackup(const uint8_t* data, size_t size, const PhysicalDisk& disk, std::vector<PartitionInfo>& loaded,
                  LoadError* error = nullptr);

// Whether a stored disk record names this disk (model text and size).
bool sameDisk(const PhysicalDisk& stored, const PhysicalDisk& disk);

}  // namespace brenix::rescue
