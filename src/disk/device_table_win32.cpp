#ifdef _WIN32
// Windows drives and volumes for the device table: \\.\PhysicalDriveN with
// model, bus type and size (storage property query, length query); volumes by
// drive letter with their file system, label, sizes and the partition each is
// on (volume disk extents); the administrator check.
#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "disk/device_table.h"

namespace brenix::win32 {

namespace {

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  size_t lead = 0;
  while (lead < s.size() && s[lead] == ' ') ++lead;
  return s.substr(lead);
}

// A NUL-terminated text at offset inside the returned descriptor bytes; "" when out of bounds.
std::string descriptorText(const std::vector<uint8_t>& bytes, DWORD returned, DWORD offset) {
  if (offset == 0 || offset >= returned || returned > bytes.size()) return {};
  std::string out;
  for (DWORD i = offset; i < returned && bytes[i] != 0 && out.size() < 256; ++i) out += static_cast<char>(bytes[i]);
  return trimmed(out);
}

HANDLE openForQuery(const std::wstring& path) {
  // No access rights asked: property and length queries work without administrator rights.
  return CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace

std::vector<DeviceEntry> physicalDrives() {
  std::vector<DeviceEntry> out;
  for (int n = 0; n < kMaxDrives * 2 && out.size() < static_cast<size_t>(kMaxDrives); ++n) {
    const std::wstring path = L"\\\\.\\PhysicalDrive" + std::to_wstring(n);
    HANDLE h = openForQuery(path);
    if (h == INVALID_HANDLE_VALUE) continue;
    DeviceEntry d;
    d.path = "\\\\.\\PhysicalDrive" + std::to_string(n);
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    std::vector<uint8_t> bytes(4096);
    DWORD returned = 0;
    if (DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, bytes.data(),
                        static_cast<DWORD>(bytes.size()), &returned, nullptr) &&
        returned >= sizeof(STORAGE_DEVICE_DESCRIPTOR)) {
      STORAGE_DEVICE_DESCRIPTOR desc;
      std::memcpy(&desc, bytes.data(), sizeof desc);
      d.modelText = modelTextOf(descriptorText(bytes, returned, desc.VendorIdOffset),
                                descriptorText(bytes, returned, desc.ProductIdOffset));
      d.removable = desc.RemovableMedia ? 1 : 0;
      d.busType = static_cast<uint32_t>(desc.BusType);  // the same numbering as BusType
    }
    GET_LENGTH_INFORMATION length{};
    if (DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &returned, nullptr) &&
        length.Length.QuadPart > 0)
      d.sizeBytes = static_cast<uint64_t>(length.Length.QuadPart);
    CloseHandle(h);
    if (d.modelText.empty()) d.modelText = "PhysicalDrive" + std::to_string(n);
    out.push_back(std::move(d));
  }
  return out;
}

std::vector<MountedVolume> volumes(const std::vector<DeviceEntry>& disks) {
  std::vector<MountedVolume> out;
  wchar_t roots[512] = {};
  const DWORD n = GetLogicalDriveStringsW(static_cast<DWORD>(std::size(roots) - 1), roots);
  if (n == 0 || n >= std::size(roots)) return out;
  for (const wchar_t* root = roots; *root; root += wcslen(root) + 1) {
    if (wcslen(root) < 2 || root[1] != L':') continue;
    const wchar_t letter = root[0];
    if (GetDriveTypeW(root) == DRIVE_REMOTE || GetDriveTypeW(root) == DRIVE_CDROM) continue;
    // The partition the letter is on: a volume on one disk only.
    const std::wstring device = std::wstring(L"\\\\.\\") + letter + L":";
    HANDLE h = openForQuery(device);
    if (h == INVALID_HANDLE_VALUE) continue;
    std::vector<uint8_t> bytes(sizeof(VOLUME_DISK_EXTENTS) + 16 * sizeof(DISK_EXTENT));
    DWORD returned = 0;
    const bool haveExtents = DeviceIoControl(h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, bytes.data(),
                                             static_cast<DWORD>(bytes.size()), &returned, nullptr) &&
                             returned >= sizeof(VOLUME_DISK_EXTENTS);
    CloseHandle(h);
    if (!haveExtents) continue;
    VOLUME_DISK_EXTENTS extents;
    std::memcpy(&extents, bytes.data(), sizeof extents);
    if (extents.NumberOfDiskExtents != 1) continue;  // spanned or striped: not one partition
    const DISK_EXTENT& x = extents.Extents[0];
    const std::string diskPath = "\\\\.\\PhysicalDrive" + std::to_string(x.DiskNumber);
    const DeviceEntry* disk = nullptr;
    for (const DeviceEntry& d : disks)
      if (d.path == diskPath) disk = &d;
    if (!disk) continue;
    MountedVolume v;
    v.diskNumber = disk->driveNumber;
    v.devicePath = pathToUtf8(std::filesystem::path(device));
    v.mountPoint = pathToUtf8(std::filesystem::path(root));
    v.startSector = static_cast<uint64_t>(x.StartingOffset.QuadPart) / 512;
    v.totalBytes = static_cast<uint64_t>(x.ExtentLength.QuadPart);
    wchar_t label[MAX_PATH + 1] = {}, fsName[MAX_PATH + 1] = {};
    DWORD serial = 0, maxName = 0, flags = 0;
    if (GetVolumeInformationW(root, label, MAX_PATH + 1, &serial, &maxName, &flags, fsName, MAX_PATH + 1)) {
      v.fsName = pathToUtf8(std::filesystem::path(fsName));
      v.label = label[0] ? pathToUtf8(std::filesystem::path(label)) : "Unknown";
      v.deviceId = serial;
    } else {
      v.label = "Unknown";
    }
    ULARGE_INTEGER available{}, total{}, free{};
    if (GetDiskFreeSpaceExW(root, &available, &total, &free)) v.freeBytes = free.QuadPart;
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    if (GetDiskFreeSpaceW(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters)) {
      v.sectorsPerCluster = sectorsPerCluster;
      if (bytesPerSector) v.bytesPerSector = bytesPerSector;
    }
    out.push_back(std::move(v));
  }
  return out;
}

bool runningAsAdministrator() {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                &administrators))
    return false;
  BOOL member = FALSE;
  if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
  FreeSid(administrators);
  return member != FALSE;
}

}  // namespace brenix::win32
#endif
