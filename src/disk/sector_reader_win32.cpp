#ifdef _WIN32
// Windows build of SectorReader: \\.\PhysicalDriveN handles through the same
// interface. Not built on Linux; kept compiling for a Windows port.
#include <windows.h>
#include <winioctl.h>

#include <atomic>
#include <utility>

#include "disk/device_table.h"
#include "disk/image_backend.h"
#include "disk/sector_reader.h"

namespace brenix {

namespace {
std::atomic<uint64_t> gBytesRead{0};
}  // namespace

SectorReader::~SectorReader() { close(); }

SectorReader::SectorReader(SectorReader&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), backend_(std::move(other.backend_)), position_(other.position_),
      lastError_(other.lastError_.load()), path_(std::move(other.path_)) {}

SectorReader& SectorReader::operator=(SectorReader&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, nullptr);
    backend_ = std::move(other.backend_);
    position_ = other.position_;
    lastError_ = other.lastError_.load();
    path_ = std::move(other.path_);
  }
  return *this;
}

bool SectorReader::open(int driveNumber, OpenMode mode) {
  std::string devicePath = DeviceTable::instance().pathOf(driveNumber);
  if (devicePath.empty()) devicePath = "\\\\.\\PhysicalDrive" + std::to_string(driveNumber);
  return openPath(devicePath, mode);
}

bool SectorReader::openPath(const std::string& devicePath, OpenMode mode) {
  close();
  DWORD access = GENERIC_READ | (mode == OpenMode::ReadWrite ? GENERIC_WRITE : 0);
  HANDLE h = CreateFileA(devicePath.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    lastError_ = static_cast<int>(GetLastError());
    return false;
  }
  handle_ = h;
  path_ = devicePath;
  position_ = 0;
  return true;
}

bool SectorReader::isOpen() const { return handle_ != nullptr; }

void SectorReader::close() {
  if (handle_) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
  position_ = 0;
}

bool SectorReader::seek(uint64_t byteOffset) {
  if (!handle_) return false;
  LARGE_INTEGER li;
  li.QuadPart = static_cast<LONGLONG>(byteOffset);
  if (!SetFilePointerEx(static_cast<HANDLE>(handle_), li, nullptr, FILE_BEGIN)) {
    lastError_ = static_cast<int>(GetLastError());
    return false;
  }
  position_ = byteOffset;
  return true;
}

bool SectorReader::readExact(void* buffer, size_t count) {
  DWORD got = 0;
  if (!handle_ || !ReadFile(static_cast<HANDLE>(handle_), buffer, static_cast<DWORD>(count), &got, nullptr) ||
      got != count) {
    lastError_ = static_cast<int>(GetLastError());
    return false;
  }
  gBytesRead.fetch_add(got, std::memory_order_relaxed);
  position_ += count;
  return true;
}

bool SectorReader::writeExact(const void* buffer, size_t count) {
  DWORD put = 0;
  if (!handle_ || !WriteFile(static_cast<HANDLE>(handle_), buffer, static_cast<DWORD>(count), &put, nullptr) ||
      put != count) {
    lastError_ = static_cast<int>(GetLastError());
    return false;
  }
  position_ += count;
  return true;
}

bool SectorReader::readBytesAt(uint64_t byteOffset, void* buffer, size_t count) const {
  if (!handle_) return false;
  OVERLAPPED ov{};
  ov.Offset = static_cast<DWORD>(byteOffset);
  ov.OffsetHigh = static_cast<DWORD>(byteOffset >> 32);
  DWORD got = 0;
  if (!ReadFile(static_cast<HANDLE>(handle_), buffer, static_cast<DWORD>(count), &got, &ov) || got != count) {
    lastError_ = static_cast<int>(GetLastError());
    return false;
  }
  gBytesRead.fetch_add(got, std::memory_order_relaxed);
  return true;
}

uint64_t SectorReader::bytesReadInProcess() { return gBytesRead.load(std::memory_order_relaxed); }

uint64_t SectorReader::sizeBytes() const {
  if (!handle_) return 0;
  GET_LENGTH_INFORMATION info{};
  DWORD ret = 0;
  if (DeviceIoControl(static_cast<HANDLE>(handle_), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info, sizeof info,
                      &ret, nullptr))
    return static_cast<uint64_t>(info.Length.QuadPart);
  LARGE_INTEGER size;
  return GetFileSizeEx(static_cast<HANDLE>(handle_), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

}  // namespace brenix
#endif
