#ifdef _WIN32
// Windows build of SectorReader: image files and raw devices
// (\\.\PhysicalDriveN, \\.\X:) through CreateFileW on UTF-16 paths. Raw
// devices take only transfers aligned to their sector size, so unaligned
// reads go through an aligned buffer. Error numbers are errno values, as on
// Linux.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "common/file_io.h"
#include "disk/device_table.h"
#include "disk/image_backend.h"
#include "disk/read_errors.h"
#include "disk/sector_reader.h"

namespace brenix {

namespace {
std::atomic<uint64_t> gBytesRead{0};

bool isRawDevicePath(const std::string& path) { return path.rfind("\\\\.\\", 0) == 0 || path.rfind("//./", 0) == 0; }

// The logical sector size of a raw device (512 when it cannot be asked).
uint32_t deviceSectorSize(HANDLE h) {
  DISK_GEOMETRY_EX geometry{};
  DWORD ret = 0;
  if (DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry, sizeof geometry, &ret, nullptr) &&
      geometry.Geometry.BytesPerSector >= 512 && geometry.Geometry.BytesPerSector <= 65536 &&
      (geometry.Geometry.BytesPerSector & (geometry.Geometry.BytesPerSector - 1)) == 0)
    return geometry.Geometry.BytesPerSector;
  return kSectorSize;
}

// One positional read of exactly count bytes.
bool readPlain(HANDLE h, uint64_t offset, void* buffer, size_t count, int* error, bool* mediaError) {
  unsigned long code = 0;
  const int64_t got = win32ReadAt(h, offset, buffer, count, &code);
  if (got < 0) {
    *error = errnoFromWin32(code);
    *mediaError = code == ERROR_CRC || code == ERROR_SECTOR_NOT_FOUND || code == ERROR_READ_FAULT ||
                  code == ERROR_IO_DEVICE || code == ERROR_SEM_TIMEOUT;
    return false;
  }
  if (static_cast<uint64_t>(got) != count) {  // the end: a short read is a failure
    *error = EIO;
    return false;
  }
  gBytesRead.fetch_add(count, std::memory_order_relaxed);
  return true;
}

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
  // Only drives of the device table: a number it does not list opens nothing
  // (a guessed \\.\PhysicalDriveN could be a system disk that is not offered).
  const std::string devicePath = DeviceTable::instance().pathOf(driveNumber);
  if (devicePath.empty()) {
    lastError_ = ENODEV;
    return false;
  }
  return openPath(devicePath, mode);
}

bool SectorReader::openPath(const std::string& devicePath, OpenMode mode) {
  close();
  const bool raw = isRawDevicePath(devicePath);
  if (!raw) {
    const ImageFormat format = detectImageFormat(devicePath);
    if (format != ImageFormat::Plain) {
      int error = 0;
      backend_ = openImageBackend(devicePath, format, mode == OpenMode::ReadWrite, &error, nullptr);
      if (!backend_) {
        lastError_ = error;
        return false;
      }
      path_ = devicePath;
      position_ = 0;
      return true;
    }
    setLastImageOpenMessage({});
  }
  const std::filesystem::path native = pathFromUtf8(devicePath);
  const DWORD access = GENERIC_READ | (mode == OpenMode::ReadWrite ? GENERIC_WRITE : 0);
  HANDLE h = CreateFileW(native.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    lastError_ = errnoFromWin32(GetLastError());
    return false;
  }
  // Only image files and devices are disks (a folder, a pipe or a console is not).
  BY_HANDLE_FILE_INFORMATION info{};
  if (!raw && (GetFileType(h) != FILE_TYPE_DISK ||
               (GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)))) {
    lastError_ = EINVAL;
    CloseHandle(h);
    return false;
  }
  handle_ = h;
  sectorSize_ = raw ? deviceSectorSize(h) : 1;
  path_ = devicePath;
  position_ = 0;
  return true;
}

bool SectorReader::isOpen() const { return handle_ != nullptr || backend_; }

void SectorReader::close() {
  if (handle_) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
  backend_.reset();
  position_ = 0;
}

bool SectorReader::seek(uint64_t byteOffset) {
  if (!isOpen()) {
    lastError_ = EBADF;
    return false;
  }
  if (byteOffset > static_cast<uint64_t>(INT64_MAX)) {
    lastError_ = EINVAL;
    return false;
  }
  position_ = byteOffset;
  return true;
}

bool SectorReader::readBytesAt(uint64_t byteOffset, void* buffer, size_t count) const {
  if (!handle_ && !backend_) {
    lastError_ = EBADF;
    return false;
  }
  int error = 0;
  bool mediaError = false;
  if (backend_) {
    if (backend_->readAt(byteOffset, buffer, count, &error)) {
      gBytesRead.fetch_add(count, std::memory_order_relaxed);
      return true;
    }
    lastError_ = error;
    return false;
  }
  HANDLE h = static_cast<HANDLE>(handle_);
  const uint64_t unit = sectorSize_;
  if (unit <= 1 || (byteOffset % unit == 0 && count % unit == 0)) {
    if (readPlain(h, byteOffset, buffer, count, &error, &mediaError)) return true;
  } else {
    // Through an aligned buffer: whole device sectors around the range.
    const uint64_t first = byteOffset / unit * unit;
    const uint64_t last = (byteOffset + count + unit - 1) / unit * unit;
    const size_t span = static_cast<size_t>(last - first);
    void* aligned = VirtualAlloc(nullptr, span, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!aligned) {
      lastError_ = ENOMEM;
      return false;
    }
    const bool ok = readPlain(h, first, aligned, span, &error, &mediaError);
    if (ok) std::memcpy(buffer, static_cast<uint8_t*>(aligned) + (byteOffset - first), count);
    VirtualFree(aligned, 0, MEM_RELEASE);
    if (ok) return true;
  }
  lastError_ = error;
  if (mediaError && count > 0)
    ReadErrorLog::instance().record(path_, byteOffset / kSectorSize, std::max<uint64_t>(1, count / kSectorSize));
  return false;
}

uint64_t SectorReader::bytesReadInProcess() { return gBytesRead.load(std::memory_order_relaxed); }

bool SectorReader::readExact(void* buffer, size_t count) {
  if (!readBytesAt(position_, buffer, count)) return false;
  position_ += count;
  return true;
}

bool SectorReader::writeExact(const void* buffer, size_t count) {
  if (backend_) {  // image containers are never written
    lastError_ = EROFS;
    return false;
  }
  if (!handle_) {
    lastError_ = EBADF;
    return false;
  }
  if (sectorSize_ > 1 && (position_ % sectorSize_ != 0 || count % sectorSize_ != 0)) {
    lastError_ = EINVAL;  // a device is written in whole sectors only
    return false;
  }
  const auto* in = static_cast<const uint8_t*>(buffer);
  size_t put = 0;
  while (put < count) {
    const size_t left = count - put;
    const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    OVERLAPPED ov{};
    const uint64_t at = position_ + put;
    ov.Offset = static_cast<DWORD>(at);
    ov.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD n = 0;
    if (!WriteFile(static_cast<HANDLE>(handle_), in + put, chunk, &n, &ov)) {
      lastError_ = errnoFromWin32(GetLastError());
      return false;
    }
    if (n == 0) {
      lastError_ = ENOSPC;
      return false;
    }
    put += n;
  }
  position_ += count;
  return true;
}

uint64_t SectorReader::sizeBytes() const {
  if (backend_) return backend_->sizeBytes();
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
