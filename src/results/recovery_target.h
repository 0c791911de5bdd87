#pragma once
// The rule that keeps recovered files off the device being rescued.
#include <cstdint>
#include <filesystem>
#include <string>

#include "disk/backing_store.h"

namespace brenix {

inline constexpr const char* kSamePartitionMessage =
    "It is not recommend to save your recovered files to the same partition,please select a different folder.";
// The scanned source, for the same-partition rule.
struct ScannedSource {
  std::string devicePath;    // the drive's block device or image file
  bool isImage = false;      // an image file: writing beside it is fine, into a mounted copy of it is not
  uint64_t startSector = 0;  // sector range the scan covers on that device
  uint64_t endSector = 0;    // first sector past it (0: to the end)
  char driveLetter = '*';    // Windows: the scanned partition's letter
};

enum class TargetVerdict { Allowed, OnScannedSource, Unknown };
struct TargetCheck {
  TargetVerdict verdict = TargetVerdict::Allowed;
  std::string reason;  // Unknown: why the folder's disk cannot be known
};

// Whether writing under outDir (or, when it does not exist yet, its nearest
// existing parent) would land on what is being rescued. The folder's file
// system is followed to the disks and image files it is really stored on
// (partitions, LVM and dm-crypt, loop devices, FUSE mounts such as ntfs-3g,
// every device of a btrfs volume, an overlay's upper folder); it is refused
// when it reaches the scanned sector range of the scanned disk, or the
// scanned image file itself. Unknown when some link cannot be followed.
TargetCheck checkRecoveryTarget(const ScannedSource& source, const std::filesystem::path& outDir,
                                const SystemFiles& files = {});

// checkRecoveryTarget(...) == OnScannedSource, with the /sys tree at sysRoot.
bool outputOnScannedSource(const ScannedSource& source, const std::filesystem::path& outDir,
                           const std::filesystem::path& sysRoot = "/sys");

// The same test from device numbers: outputDev is st_dev of the output folder,
// sourceDev st_rdev of the scanned block device.
bool deviceOverlapsScan(uint64_t outputDev, uint64_t sourceDev, uint64_t startSector, uint64_t endSector,
                        const std::filesystem::path& sysRoot = "/sys");

}  // namespace brenix
