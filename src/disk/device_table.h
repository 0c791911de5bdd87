#pragma once
// The machine's drives, numbered the way the rest of the system expects
// (drive numbers 0..25): whole-disk block devices first, in name order, then
// the disk images the user attached. On Windows the numbers are the
// \\.\PhysicalDriveN drives in number order, then the attached images.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace brenix {

inline constexpr int kMaxDrives = 26;

// Bus type numbers (Windows storage bus numbering).
enum BusType : uint32_t {
  kBusUnknown = 0, kBusScsi = 1, kBusAta = 3, kBusUsb = 7, kBusSas = 10, kBusSata = 11, kBusNvme = 17
};

struct DeviceEntry {
  int driveNumber = -1;
  std::string path;      // device node or image file
  std::string sysName;   // kernel name ("sda"); empty for an image
  std::string modelText;
  uint64_t sizeBytes = 0;
  uint32_t removable = 0;
  uint32_t busType = kBusUnknown;
  bool isImage = false;
};

// A mounted file system on one of the listed drives.
struct MountedVolume {
  int diskNumber = -1;
  std::string devicePath;  // /dev/sdb1
  std::string mountPoint;  // /media/card
  std::string fsName;      // "NTFS", "FAT32", "FAT", "EXT2", "EXT3", or the mount's type
  std::string label;
  uint64_t startSector = 0;
  uint64_t totalBytes = 0;
  uint64_t freeBytes = 0;
  uint32_t sectorsPerCluster = 0;
  uint32_t bytesPerSector = 512;
  uint64_t deviceId = 0;  // st_dev of files on this file system
};

class DeviceTable {
 public:
  static DeviceTable& instance();

  // When false, only attached images are listed (tests, and users who only
  // want to work on an image).
  void setIncludeSystemDisks(bool include);
  bool includeSystemDisks() const;

  // Adds a disk image. Returns its drive number, or -1 with a message in
  // *error when the file cannot be opened for reading or the table is full.
  int attachImage(const std::string& path, std::string* error);
  void clearImages();

  // Re-reads the system's block devices.
  void refresh();
  std::vector<DeviceEntry> devices();
  // Path of a drive number, empty when none.
  std::string pathOf(int driveNumber);
  // Mounted file systems of the listed drives (drive letters on Windows; none for images).
  std::vector<MountedVolume> mountedVolumes();

 private:
  DeviceTable() = default;
  void ensureScanned();
  std::vector<DeviceEntry> systemDisks_;
  std::vector<std::string> images_;
  bool includeSystem_ = true;
  bool scanned_ = false;
  std::recursive_mutex mutex_;
};

inline constexpr const char* kAccessDeniedMessage = "Please run this product as Administrator!";
inline constexpr const char* kAccessDeniedCaption = "Information";

// The start-up rights check: the message to show when the first system disk
// cannot be opened because access is denied; empty otherwise.
std::string checkAccess();

// Model text from a storage descriptor's vendor and product texts: the
// product alone when there is no vendor, else vendor + " " + product.
std::string modelTextOf(const std::string& vendor, const std::string& product);

// Bus type number from a device's sysfs path.
uint32_t busTypeFromSysfsPath(const std::string& sysfsPath);

}  // namespace brenix
