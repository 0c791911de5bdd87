#include "disk/device_table.h"

#include "common/file_io.h"

#include "disk/backing_store.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifndef _WIN32
#include <blkid/blkid.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

#include "disk/fs_detect.h"
#include "disk/image_backend.h"
#include "disk/sector_reader.h"

namespace fs = std::filesystem;

namespace brenix {

#ifdef _WIN32
namespace win32 {  // device_table_win32.cpp
std::vector<DeviceEntry> physicalDrives();
std::vector<MountedVolume> volumes(const std::vector<DeviceEntry>& disks);
bool runningAsAdministrator();
}  // namespace win32
#endif

namespace {

std::string readSysfsText(const fs::path& p) {
  std::ifstream in(p);
  if (!in) return {};
  std::string s;
  std::getline(in, s);
  return s;  // the trailing newline is dropped by getline; blanks are kept as stored
}

[[maybe_unused]] uint64_t readSysfsNumber(const fs::path& p) {
  std::string s = readSysfsText(p);
  try {
    return s.empty() ? 0 : std::stoull(s);
  } catch (...) {
    return 0;
  }
}

[[maybe_unused]] bool skippedKernelName(const std::string& name) {
  if (name.rfind("ram", 0) == 0 || name.rfind("zram", 0) == 0) return true;
  if (name.rfind("sr", 0) == 0 || name.rfind("fd", 0) == 0) return true;  // not direct-access disks
  if (name.rfind("loop", 0) == 0) {
    // A loop device is a disk only while a file backs it.
    return readSysfsText(fs::path("/sys/block") / name / "loop" / "backing_file").empty();
  }
  return false;
}

}  // namespace

std::string modelTextOf(const std::string& vendor, const std::string& product) {
  if (vendor.empty()) return product;
  return vendor + " " + product;
}

uint32_t busTypeFromSysfsPath(const std::string& p) {
  if (p.find("/usb") != std::string::npos) return kBusUsb;
  if (p.find("/nvme") != std::string::npos) return kBusNvme;
  if (p.find("/ata") != std::string::npos) return kBusSata;
  if (p.find("/sas") != std::string::npos || p.find("/end_device") != std::string::npos) return kBusSas;
  if (p.find("/target") != std::string::npos && p.find("/host") != std::string::npos) return kBusScsi;
  return kBusUnknown;
}

DeviceTable& DeviceTable::instance() {
  static DeviceTable table;
  return table;
}

void DeviceTable::setIncludeSystemDisks(bool include) {
  std::lock_guard lock(mutex_);
  includeSystem_ = include;
}

bool DeviceTable::includeSystemDisks() const { return includeSystem_; }

int DeviceTable::attachImage(const std::string& path, std::string* error) {
  std::lock_guard lock(mutex_);
  // Only image files and block devices: a FIFO would block the opener, a
  // folder or /dev/null would pass for an empty disk.
  const std::string problem = imagePathProblem(path);
  if (!problem.empty()) {
    if (error) *error = problem;
    return -1;
  }
  SectorReader probe;
  if (!probe.openPath(path, OpenMode::Read)) {
    if (error)
      *error = lastImageOpenMessage().empty()
                   ? "Can not open disk image '" + path + "': " + std::strerror(probe.lastError())
                   : lastImageOpenMessage();
    return -1;
  }
  ensureScanned();
  size_t system = includeSystem_ ? systemDisks_.size() : 0;
  if (system + images_.size() >= static_cast<size_t>(kMaxDrives)) {
    if (error) *error = "Can not attach '" + path + "': no free drive number";
    return -1;
  }
  std::error_code ec;
  fs::path absolute = fs::absolute(pathFromUtf8(path), ec);
  images_.push_back(ec ? path : pathToUtf8(absolute));
  return static_cast<int>(system + images_.size() - 1);
}

void DeviceTable::clearImages() {
  std::lock_guard lock(mutex_);
  images_.clear();
}

void DeviceTable::ensureScanned() {
  if (!scanned_) refresh();
}

void DeviceTable::refresh() {
  std::lock_guard lock(mutex_);
  scanned_ = true;
  systemDisks_.clear();
#ifndef _WIN32
  std::error_code ec;
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator("/sys/block", ec)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    if (skippedKernelName(name)) continue;
    fs::path sys = fs::path("/sys/block") / name;
    DeviceEntry d;
    d.sysName = name;
    d.path = "/dev/" + name;
    d.sizeBytes = readSysfsNumber(sys / "size") * 512;
    d.removable = readSysfsNumber(sys / "removable") ? 1 : 0;
    std::string vendor = readSysfsText(sys / "device" / "vendor");
    std::string model = readSysfsText(sys / "device" / "model");
    if (name.rfind("loop", 0) == 0) model = fs::path(readSysfsText(sys / "loop" / "backing_file")).filename();
    if (model.empty()) model = name;
    d.modelText = modelTextOf(vendor, model);
    std::string real = fs::canonical(sys, ec).string();
    d.busType = busTypeFromSysfsPath(real);
    systemDisks_.push_back(std::move(d));
    if (systemDisks_.size() == static_cast<size_t>(kMaxDrives)) break;
  }
#else
  systemDisks_ = win32::physicalDrives();
#endif
}

std::vector<DeviceEntry> DeviceTable::devices() {
  std::lock_guard lock(mutex_);
  ensureScanned();
  std::vector<DeviceEntry> out;
  if (includeSystem_) out = systemDisks_;
  for (const auto& image : images_) {
    if (out.size() >= static_cast<size_t>(kMaxDrives)) break;
    DeviceEntry d;
    d.path = image;
    d.isImage = true;
    d.modelText = pathToUtf8(pathFromUtf8(image).filename());
    SectorReader r;
    if (r.openPath(image, OpenMode::Read)) d.sizeBytes = r.sizeBytes();
    out.push_back(std::move(d));
  }
  for (size_t i = 0; i < out.size(); ++i) out[i].driveNumber = static_cast<int>(i);
  return out;
}

std::string DeviceTable::pathOf(int driveNumber) {
  if (driveNumber < 0 || driveNumber >= kMaxDrives) return {};
  auto list = devices();
  return static_cast<size_t>(driveNumber) < list.size() ? list[static_cast<size_t>(driveNumber)].path
                                                         : std::string();
}

std::vector<MountedVolume> DeviceTable::mountedVolumes() {
  std::vector<MountedVolume> out;
#ifndef _WIN32
  auto disks = devices();
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    // id parent major:minor root mountpoint options [optional...] - fstype source superopts
    std::istringstream ls(line);
    std::string id, parent, majmin, root, mountPoint;
    ls >> id >> parent >> majmin >> root >> mountPoint;
    std::string tok;
    while (ls >> tok && tok != "-") {}
    std::string fsType, source;
    ls >> fsType >> source;
    unsigned major = 0, minor = 0;
    if (std::sscanf(majmin.c_str(), "%u:%u", &major, &minor) != 2) continue;
    std::error_code ec;
    fs::path sysDev = fs::canonical(fs::path("/sys/dev/block") / (std::to_string(major) + ":" + std::to_string(minor)), ec);
    if (ec) continue;
    bool isPartition = fs::exists(sysDev / "partition", ec);
    std::string diskName = isPartition ? sysDev.parent_path().filename().string() : sysDev.filename().string();
    auto disk = std::find_if(disks.begin(), disks.end(), [&](const DeviceEntry& d) { return d.sysName == diskName; });
    if (disk == disks.end() || disk->isImage) continue;
    if (std::any_of(out.begin(), out.end(), [&](const MountedVolume& v) { return v.deviceId == makedev(major, minor); }))
      continue;  // the same file system mounted twice
    MountedVolume v;
    v.diskNumber = disk->driveNumber;
    v.devicePath = "/dev/" + sysDev.filename().string();
    // mountinfo escapes blanks as \040
    std::string mp;
    for (size_t i = 0; i < mountPoint.size(); ++i) {
      if (mountPoint[i] == '\\' && i + 3 < mountPoint.size()) {
        mp += static_cast<char>(std::stoi(mountPoint.substr(i + 1, 3), nullptr, 8));
        i += 3;
      } else {
        mp += mountPoint[i];
      }
    }
    v.mountPoint = mp;
    v.startSector = isPartition ? readSysfsNumber(sysDev / "start") : 0;
    v.totalBytes = readSysfsNumber(sysDev / "size") * 512;
    v.deviceId = makedev(major, minor);
    uint8_t boot[512] = {};
    SectorReader r;
    bool haveBoot = r.openPath(v.devicePath, OpenMode::Read) && r.readAt(0, boot, sizeof boot);
    v.fsName = fileSystemNameForMount(fsType, haveBoot ? boot : nullptr);
    if (fsType.rfind("ext", 0) == 0) {
      // The ext4 driver also mounts ext2/ext3 volumes: name them by their superblock.
      uint8_t superblock[1024];
      if (haveBoot && r.readAt(2, superblock, sizeof superblock)) {
        ExtSuperblockInfo ext = probeExtSuperblock(superblock);
        if (ext.valid) v.fsName = ext.name;
      }
    }
    struct statvfs sv {};
    if (::statvfs(v.mountPoint.c_str(), &sv) == 0) {
      v.freeBytes = static_cast<uint64_t>(sv.f_bfree) * sv.f_frsize;
      v.sectorsPerCluster = static_cast<uint32_t>(sv.f_bsize / 512);
    }
    v.label = "Unknown";
    if (blkid_probe pr = blkid_new_probe_from_filename(v.devicePath.c_str())) {
      blkid_probe_enable_superblocks(pr, 1);
      blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_LABEL);
      const char* label = nullptr;
      if (blkid_do_safeprobe(pr) == 0 && blkid_probe_lookup_value(pr, "LABEL", &label, nullptr) == 0 && label && *label)
        v.label = label;
      blkid_free_probe(pr);
    }
    out.push_back(std::move(v));
  }
#else
  auto disks = devices();
  out = win32::volumes(disks);
#endif
  return out;
}

std::string checkAccess() {
#ifdef _WIN32
  if (win32::runningAsAdministrator()) return {};
#endif
  for (const DeviceEntry& d : DeviceTable::instance().devices()) {
    if (d.isImage) continue;
    SectorReader probe;
    if (!probe.openPath(d.path, OpenMode::Read) && (probe.lastError() == EACCES || probe.lastError() == EPERM))
      return kAccessDeniedMessage;
    break;  // only the first system disk is tried
  }
  return {};
}

}  // namespace brenix
