#include "disk/disk_texts.h"

#include "common/text.h"
#include "disk/fs_kind.h"

namespace brenix {

std::string formatSizeWith(uint64_t bytes, const char* byteFormat, const char* kbFormat, const char* mbFormat,
                           const char* gbFormat) {
  // The formats are the callers' fixed size formats, never user text.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  if (bytes < 1024) return format(byteFormat, static_cast<unsigned long long>(bytes));
  double v = static_cast<double>(bytes) / 1024.0;
  const char* fmt = kbFormat;
  if (v >= 1024) {
    v /= 1024;
    fmt = mbFormat;
    if (v >= 1024) {
      v /= 1024;
      fmt = gbFormat;
    }
  }
  return format(fmt, v);
#pragma GCC diagnostic pop
}

std::string formatSize(uint64_t bytes) { return formatSizeWith(bytes, "%llu Byte", "%.2f KB", "%.2f MB", "%.2f GB"); }

std::string busTypeName(uint32_t busType) {
  static const char* const names[] = {"Unknown", "SCSI", "ATAPI", "ATA",  "1394", "SSA",
                                      "FIBRE",   "USB",  "RAID",  "iSCSI", "SAS", "SATA"};
  return busType < std::size(names) ? names[busType] : "";
}

std::string diskListItemText(const PhysicalDisk& disk) {
  const std::string model = disk.model();
  const std::string bus = busTypeName(disk.busType);
  const uint64_t b = disk.sizeBytes;
  if (b < 1024) return format("%s (  BusType :  %s ,    Size :  %d B  )", model.c_str(), bus.c_str(), int(b));
  double v = double(b) / 1024;
  if (v < 1024) return format("%s(  BusType :   %s ,    Size :  %.2f KB  )", model.c_str(), bus.c_str(), v);
  v /= 1024;
  if (v < 1024) return format("%s (  BusType :  %s ,    Size :  %.2f MB  )", model.c_str(), bus.c_str(), v);
  return format("%s (  BusType :  %s ,    Size :  %.2f GB  )", model.c_str(), bus.c_str(), v / 1024);
}

std::string letterText(const PartitionInfo& p, const std::string& rootPath) {
  return rootPath.empty() ? std::string(1, p.driveLetter) : rootPath;
}

namespace {
// A sector number as "%d" has always shown it (as a signed 32-bit value);
// one past 2^32, on a disk over 2 TiB, whole.
std::string sectorText(const char* caption, uint64_t sector) {
  if (sector > 0xFFFFFFFFull) return caption + std::to_string(sector);
  return caption + format("%d", static_cast<int>(static_cast<uint32_t>(sector)));
}
}  // namespace

PartitionItemTexts partitionListItemTexts(const PartitionInfo& p, const std::string& rootPath) {
  PartitionItemTexts t;
  if (rootPath.empty())
    t.name = format("%c:  %s", p.driveLetter, p.fs().c_str());
  else
    t.name = format("%s  %s", rootPath.c_str(), p.fs().c_str());
  t.start = sectorText("Start Sector : ", p.startSector());
  t.end = sectorText("End Sector : ", p.endSector() - 1);
  return t;
}

std::string driveTreeDiskLabel(const PhysicalDisk& disk) {
  const std::string model = disk.model();
  return model + " " + formatSizeWith(disk.sizeBytes, "(%llu Byte)", "(%.2f KB)", "(%.2f MB)", "(%.2f GB)");
}

std::string driveTreePartitionLabel(const PartitionInfo& p, const std::string& rootPath) {
  const std::string root = rootPath.empty() ? format("%c:\\", p.driveLetter) : rootPath;
  return "(" + root + ") " + p.fs() + " " +
         formatSizeWith(p.totalBytes, "(%llu Byte)", "(%.2f KB)", "(%.2f MB)", "(%.2f GB)");
}

bool listedInMode(const std::string& fs, DriveMode mode) {
  switch (mode) {
    case DriveMode::Raw:
    case DriveMode::Rescue:
      return true;
    case DriveMode::Formatted:
      return fs == fskind::kNtfs || fs == fskind::kFat32 || fs == fskind::kFat || fs == fskind::kFat16 ||
             fs == fskind::kExFat;
    case DriveMode::Deleted:
      return fs == fskind::kNtfs || fs == fskind::kFat32 || fs == fskind::kFat || fs == fskind::kFat16 ||
             fs == fskind::kExt4 || fs == fskind::kExt3 || fs == fskind::kExt2 || fs == fskind::kExFat;
  }
  return false;
}

std::vector<std::string> diskPropertiesTexts(const PhysicalDisk& disk, int listedPartitions) {
  std::vector<std::string> lines;
  lines.push_back("Model : " + disk.model());
  lines.push_back("Drive Size : " + formatSize(disk.sizeBytes));
  lines.push_back(listedPartitions > 0 ? format("Count of partitions : %d", listedPartitions)
                                       : std::string("This device is not accessible"));
  return lines;
}

std::vector<std::string> partitionPropertiesTexts(const PartitionInfo& p) {
  return {
      "Volume : " + p.label(),
      sectorText("Start Sector : ", p.startSector()),
      format("Sectors / Cluster : %d", static_cast<int>(p.sectorsPerCluster)),
      format("Byte/Sector : %d", static_cast<int>(p.bytesPerSector)),
      "Free Size : " + formatSize(p.freeBytes),
      "Total Size : " + formatSize(p.totalBytes),
  };
}

}  // namespace brenix
