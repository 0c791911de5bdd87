#pragma once
// The texts with which disks and partitions are shown: size texts, the disk
// list item, the partition list item, the drive tree labels and the
// properties panel. Pure functions; the front ends draw them.
#include <cstdint>
#include <string>
#include <vector>

#include "disk/records.h"

namespace brenix {

// Scan modes of the drive page.
enum class DriveMode : int { Deleted = 10000, Rescue = 10001, Formatted = 10002, Raw = 10003 };

// Size text with the display's own formats: below 1024 bytes `byteFormat`
// (taking the count as unsigned long long), otherwise the KB/MB/GB format
// with the value divided by 1024 once per step while it is at least 1024.
std::string formatSizeWith(uint64_t bytes, const char* byteFormat, const char* kbFormat, const char* mbFormat,
                           const char* gbFormat);
// Bare size text: "%.2f KB", "%.2f MB", "%.2f GB" ("%llu Byte" below 1024).
std::string formatSize(uint64_t bytes);

std::string busTypeName(uint32_t busType);

// The partition rescue page's disk drop-down item.
std::string diskListItemText(const PhysicalDisk& disk);

// What stands where the design shows a drive letter: the mount point when the
// volume is mounted, otherwise the record's letter ('*').
std::string letterText(const PartitionInfo& p, const std::string& rootPath);

// The partition rescue page's partition list item: three texts on one line.
struct PartitionItemTexts {
  std::string name;   // "%c:  %s"
  std::string start;  // "Start Sector : %d"
  std::string end;    // "End Sector : %d"
};
PartitionItemTexts partitionListItemTexts(const PartitionInfo& p, const std::string& rootPath);

// Drive tree labels: "%s (%.2f GB)" for a disk, "(%c:\) %s (%.2f GB)" for a partition.
std::string driveTreeDiskLabel(const PhysicalDisk& disk);
std::string driveTreePartitionLabel(const PartitionInfo& p, const std::string& rootPath);

// Whether the drive page lists a partition of this kind in this mode.
bool listedInMode(const std::string& fsName, DriveMode mode);

// Properties panel lines.
std::vector<std::string> diskPropertiesTexts(const PhysicalDisk& disk, int listedPartitions);
std::vector<std::string> partitionPropertiesTexts(const PartitionInfo& p);

}  // namespace brenix
