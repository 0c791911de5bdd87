#ifdef _WIN32
// Windows build of SectorReader: image files and raw devices
// (\\.\PhysicalDriveN, \\.\X:) through CreateFileW on UTF-16 paths. Raw
// devices take only transfers aligned to their sector size, so unaligned
// reads go through an aligned buffer. Error numbers are errno values, as on
// Linux.
//
// A raw device is opened for overlapped I/O, so that a read stuck in a
// failing drive can be given up at the reader's deadline (a synchronous
// handle would serialise every later read behind it): the read goes into a
// buffer of its own, is waited for up to the deadline, then cancelled; one
// that does not end even then is left behind with its buffer and counts
// among the stuck reads, as a helper thread does on Linux. Image files read
// synchronously without a deadline, as on Linux.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "common/file_io.h"
#include "disk/device_table.h"
#include "disk/image_backend.h"
#include "disk/read_deadline.h"
#include "disk/read_errors.h"
#include "disk/sector_reader.h"

namespace brenix {

namespace {
std::atomic<uint64_t> gBytesRead{0};

bool isRawDevicePath(const std::string& path) { return path.rfind("\\\\.\\", 0) == 0 || path.rfind("//./", 0) == 0; }

bool isMediaError(DWORD code) {
  return code == ERROR_CRC || code == ERROR_SECTOR_NOT_FOUND || code == ERROR_READ_FAULT || code == ERROR_IO_DEVICE ||
         code == ERROR_SEM_TIMEOUT;
}

// Waits for an overlapped operation on h to end; the bytes it moved, or false with the Win32 error.
bool finishOverlapped(HANDLE h, OVERLAPPED& ov, BOOL started, DWORD* n, DWORD* code) {
  *code = ERROR_SUCCESS;
  if (!started && GetLastError() != ERROR_IO_PENDING) {
    *code = GetLastError();
    return false;
  }
  if (!GetOverlappedResult(h, &ov, n, TRUE)) {
    *code = GetLastError();
    return false;
  }
  return true;
}

// A device control call that waits for its answer, on an overlapped or a plain handle.
bool deviceControl(HANDLE h, DWORD control, void* out, DWORD outSize) {
  OVERLAPPED ov{};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!ov.hEvent) return false;
  DWORD n = 0, code = 0;
  const bool ok =
      finishOverlapped(h, ov, DeviceIoControl(h, control, nullptr, 0, out, outSize, nullptr, &ov), &n, &code);
  CloseHandle(ov.hEvent);
  return ok;
}

// The logical sector size of a raw device (512 when it cannot be asked).
uint32_t deviceSectorSize(HANDLE h) {
  DISK_GEOMETRY_EX geometry{};
  if (deviceControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, &geometry, sizeof geometry) &&
      geometry.Geometry.BytesPerSector >= 512 && geometry.Geometry.BytesPerSector <= 65536 &&
      (geometry.Geometry.BytesPerSector & (geometry.Geometry.BytesPerSector - 1)) == 0)
    return geometry.Geometry.BytesPerSector;
  return kSectorSize;
}

// One positional read of exactly count bytes from an image file's handle.
bool readPlain(HANDLE h, uint64_t offset, void* buffer, size_t count, int* error, bool* mediaError) {
  unsigned long code = 0;
  const int64_t got = win32ReadAt(h, offset, buffer, count, &code);
  if (got < 0) {
    *error = errnoFromWin32(code);
    *mediaError = isMediaError(code);
    return false;
  }
  if (static_cast<uint64_t>(got) != count) {  // the end: a short read is a failure
    *error = EIO;
    return false;
  }
  gBytesRead.fetch_add(count, std::memory_order_relaxed);
  return true;
}

// What an overlapped read writes into, kept until the read has ended: its
// OVERLAPPED with the event, and with a deadline its own buffer.
struct OverlappedRead {
  OVERLAPPED ov{};
  void* buffer = nullptr;
  OverlappedRead() = default;
  OverlappedRead(const OverlappedRead&) = delete;
  OverlappedRead& operator=(const OverlappedRead&) = delete;
  ~OverlappedRead() {
    if (ov.hEvent) CloseHandle(ov.hEvent);
    if (buffer) VirtualFree(buffer, 0, MEM_RELEASE);
  }
};

// How long a cancelled read may take to end before it is left behind.
constexpr DWORD kCancelWaitMs = 2000;

// One positional read of exactly count bytes from a raw device's overlapped
// handle, each piece waiting at most timeoutMs (0: as long as the system
// does). With a deadline, the pieces are read into buffers of their own, so a
// read left behind never writes into the caller's buffer. *timedOut tells a
// read given up at its deadline (or not started, with too many stuck).
bool readOverlapped(HANDLE h, uint64_t offset, void* buffer, size_t count, uint32_t timeoutMs, int* error,
                    bool* mediaError, bool* timedOut) {
  auto* out = static_cast<uint8_t*>(buffer);
  size_t got = 0;
  auto giveUp = [&] {
    *timedOut = true;
    *error = ETIMEDOUT;
    *mediaError = true;
    return false;
  };
  while (got < count) {
    const size_t piece = std::min<size_t>(count - got, size_t(1) << 30);
    if (timeoutMs > 0 && stuckReads() >= kMaxStuckReads) return giveUp();  // the device no longer answers
    auto read = std::make_unique<OverlappedRead>();
    read->ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (timeoutMs > 0 && read->ov.hEvent)
      read->buffer = VirtualAlloc(nullptr, piece, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!read->ov.hEvent || (timeoutMs > 0 && !read->buffer)) {
      *error = ENOMEM;
      return false;
    }
    uint8_t* into = timeoutMs > 0 ? static_cast<uint8_t*>(read->buffer) : out + got;
    const uint64_t at = offset + got;
    read->ov.Offset = static_cast<DWORD>(at);
    read->ov.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD code = ERROR_SUCCESS;
    if (!ReadFile(h, into, static_cast<DWORD>(piece), nullptr, &read->ov)) code = GetLastError();
    DWORD n = 0;
    if (code == ERROR_IO_PENDING && timeoutMs == 0) {
      code = GetOverlappedResult(h, &read->ov, &n, TRUE) ? ERROR_SUCCESS : GetLastError();
    } else if (code == ERROR_IO_PENDING) {
      if (WaitForSingleObject(read->ov.hEvent, timeoutMs) != WAIT_OBJECT_0) {
        // Past its deadline: cancelled, and given a while to end, since the
        // system writes into its buffer until it has.
        CancelIoEx(h, &read->ov);
        if (WaitForSingleObject(read->ov.hEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
          OverlappedRead* left = read.release();
          leaveStuckRead([left] { return HasOverlappedIoCompleted(&left->ov) != 0; }, [left] { delete left; });
        }
        return giveUp();
      }
      code = GetOverlappedResult(h, &read->ov, &n, FALSE) ? ERROR_SUCCESS : GetLastError();
    } else if (code == ERROR_SUCCESS && !GetOverlappedResult(h, &read->ov, &n, FALSE)) {
      code = GetLastError();
    }
    if (code == ERROR_HANDLE_EOF) break;
    if (code != ERROR_SUCCESS) {
      *error = errnoFromWin32(code);
      *mediaError = isMediaError(code);
      return false;
    }
    if (n == 0) break;
    if (into != out + got) std::memcpy(out + got, into, n);
    got += n;
    gBytesRead.fetch_add(n, std::memory_order_relaxed);
  }
  if (got != count) {  // the end: a short read is a failure
    *error = EIO;
    return false;
  }
  return true;
}

}  // namespace

SectorReader::~SectorReader() { close(); }

SectorReader::SectorReader(SectorReader&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), sectorSize_(other.sectorSize_), overlapped_(other.overlapped_),
      backend_(std::move(other.backend_)), position_(other.position_), readTimeoutMs_(other.readTimeoutMs_),
      lastError_(other.lastError_.load()), path_(std::move(other.path_)) {}

SectorReader& SectorReader::operator=(SectorReader&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, nullptr);
    sectorSize_ = other.sectorSize_;
    overlapped_ = other.overlapped_;
    backend_ = std::move(other.backend_);
    position_ = other.position_;
    readTimeoutMs_ = other.readTimeoutMs_;
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
                         FILE_ATTRIBUTE_NORMAL | (raw ? FILE_FLAG_OVERLAPPED : 0), nullptr);
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
  overlapped_ = raw;
  sectorSize_ = raw ? deviceSectorSize(h) : 1;
  readTimeoutMs_ = raw ? defaultDeviceReadTimeoutMs() : 0;
  path_ = devicePath;
  position_ = 0;
  return true;
}

bool SectorReader::isOpen() const { return handle_ != nullptr || backend_; }

void SectorReader::close() {
  if (handle_) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
  overlapped_ = false;
  backend_.reset();
  position_ = 0;
  readTimeoutMs_ = 0;
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
  HANDLE h = static_cast<HANDLE>(handle_);
  // One read of [pos, pos + n): a raw device's overlapped, with the reader's
  // deadline when it has one; an image backend's on a helper thread with the
  // deadline, as on Linux. A read past its deadline counts as a media error
  // of all its sectors.
  auto readOnce = [&](uint64_t pos, uint8_t* into, size_t n, int* error, bool* media, bool* timedOut) {
    if (backend_) {
      auto direct = [backend = backend_, pos, n](uint8_t* b, int* e, bool* m) {
        *m = false;
        if (backend->readAt(pos, b, n, e)) {
          gBytesRead.fetch_add(n, std::memory_order_relaxed);
          return true;
        }
        const uint64_t size = backend->sizeBytes();
        *m = *e == EIO && pos <= size && n <= size - pos;
        return false;
      };
      if (readTimeoutMs_ > 0 && n > 0) {
        bool ok = false;
        const DeadlineResult r =
            runWithDeadline(std::chrono::milliseconds(readTimeoutMs_), into, n, direct, &ok, error, media);
        if (r == DeadlineResult::Done) return ok;
        if (r == DeadlineResult::TimedOut || stuckReads() >= kMaxStuckReads) {
          *timedOut = true;
          *error = ETIMEDOUT;
          *media = true;
          return false;
        }
      }
      return direct(into, error, media);
    }
    if (overlapped_) return readOverlapped(h, pos, into, n, readTimeoutMs_, error, media, timedOut);
    return readPlain(h, pos, into, n, error, media);
  };
  // A raw device takes whole device sectors only: other ranges through an aligned buffer.
  auto read = [&](uint64_t pos, uint8_t* into, size_t n, int* error, bool* media, bool* timedOut) {
    const uint64_t unit = backend_ ? 1 : sectorSize_;
    if (unit <= 1 || (pos % unit == 0 && n % unit == 0)) return readOnce(pos, into, n, error, media, timedOut);
    const uint64_t first = pos / unit * unit;
    const uint64_t last = (pos + n + unit - 1) / unit * unit;
    const size_t span = static_cast<size_t>(last - first);
    void* aligned = VirtualAlloc(nullptr, span, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!aligned) {
      *error = ENOMEM;
      return false;
    }
    const bool ok = readOnce(first, static_cast<uint8_t*>(aligned), span, error, media, timedOut);
    if (ok) std::memcpy(into, static_cast<uint8_t*>(aligned) + (pos - first), n);
    VirtualFree(aligned, 0, MEM_RELEASE);
    return ok;
  };
  int error = 0;
  const bool ok = readNotingUnreadable(path_, byteOffset, static_cast<uint8_t*>(buffer), count, read, &error);
  if (error != 0) lastError_ = error;
  return ok;
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
    ov.hEvent = overlapped_ ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr;
    if (overlapped_ && !ov.hEvent) {
      lastError_ = ENOMEM;
      return false;
    }
    DWORD n = 0, code = ERROR_SUCCESS;
    const BOOL started = WriteFile(static_cast<HANDLE>(handle_), in + put, chunk, overlapped_ ? nullptr : &n, &ov);
    bool written = started != 0;
    if (overlapped_)
      written = finishOverlapped(static_cast<HANDLE>(handle_), ov, started, &n, &code);
    else if (!written)
      code = GetLastError();
    if (ov.hEvent) CloseHandle(ov.hEvent);
    if (!written) {
      lastError_ = errnoFromWin32(code);
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
  if (deviceControl(static_cast<HANDLE>(handle_), IOCTL_DISK_GET_LENGTH_INFO, &info, sizeof info))
    return static_cast<uint64_t>(info.Length.QuadPart);
  LARGE_INTEGER size;
  return GetFileSizeEx(static_cast<HANDLE>(handle_), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

}  // namespace brenix
#endif
