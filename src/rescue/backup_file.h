#pragma once
// Partition backup files (".pbf"): the magic 0x89ABCDEF, the 288-byte
// PhysicalDisk record of the backed-up disk, then 600-byte PartitionInfo
// records until the end of the file. No count, no checksum. A file belongs to
// a disk when its stored model text and size equal the disk's.
//
// A disk with a GUID partition table is backed up in a file of its own
// format, with the same extension, listed and loaded like the others. All
// numbers little-endian:
//   0    8  "BRXGPTB1"
//   8    4  logical sector size (512 or 4096)
//   12   4  number of PartitionInfo records, n
//   16 288  PhysicalDisk record
//   304  8  primary header LBA        312  8  backup header LBA
//   320  4  primary array bytes, A1   324  4  backup array bytes, A2
//   328  8  primary array LBA         336  8  backup array LBA
//   344     primary header sector (sector size bytes), primary array (A1),
//           backup header sector, backup array (A2), then n records
//   last 8  64-bit FNV-1a checksum of everything before it
// The header sectors and arrays are stored as they were on the disk, damaged
// or not; the records are the disk's records, each GPT partition with the
// MBR-style type of its file system so that it can be written back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "disk/disk_catalog.h"
#include "disk/records.h"
#include "disk/sector_reader.h"

namespace brenix::rescue {

inline constexpr uint32_t kBackupMagic = 0x89ABCDEF;
inline constexpr size_t kBackupHeadSize = 4 + sizeof(PhysicalDisk);
// More records than any disk's table can yield: a longer file is not a backup.
inline constexpr size_t kMaxBackupRecords = 16384;

inline constexpr char kGptBackupMagic[8] = {'B', 'R', 'X', 'G', 'P', 'T', 'B', '1'};
inline constexpr size_t kGptBackupHeadSize = 344;

struct GptBackup {
  PhysicalDisk disk = makePhysicalDisk();
  uint32_t sectorSize = 512;
  uint64_t primaryLba = 1, backupLba = 0, primaryArrayLba = 2, backupArrayLba = 0;
  std::vector<uint8_t> primaryHeader, primaryArray, backupHeader, backupArray;
  std::vector<PartitionInfo> records;
};

std::vector<uint8_t> encodeGptBackup(const GptBackup& backup);
bool decodeGptBackup(const uint8_t* data, size_t size, GptBackup& out);
// Reads both copies of the table of a GPT disk as they are (`reader` open on it).
bool readGptBackup(SectorReader& reader, const PhysicalDisk& disk, const std::vector<PartitionInfo>& records,
                   GptBackup& out);

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
