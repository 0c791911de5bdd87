#ifndef _WIN32
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <utility>

#include "disk/device_table.h"
#include "disk/image_backend.h"
#include "disk/read_deadline.h"
#include "disk/read_errors.h"
#include "disk/sector_reader.h"

namespace brenix {

namespace {
std::atomic<uint64_t> gBytesRead{0};
}  // namespace

SectorReader::~SectorReader() { close(); }

SectorReader::SectorReader(SectorReader&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), backend_(std::move(other.backend_)), position_(other.position_), readTimeoutMs_(other.readTimeoutMs_), lastError_(other.lastError_.load()),
      path_(std::move(other.path_)) {}

SectorReader& SectorReader::operator=(SectorReader&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    backend_ = std::move(other.backend_);
    position_ = other.position_;
    readTimeoutMs_ = other.readTimeoutMs_;
    lastError_ = other.lastError_.load();
    path_ = std::move(other.path_);
  }
  return *this;
}

bool SectorReader::open(int driveNumber, OpenMode mode) {
  std::string devicePath = DeviceTable::instance().pathOf(driveNumber);
  if (devicePath.empty()) {
    close();
    lastError_ = ENODEV;
    return false;
  }
  return openPath(devicePath, mode);
}

bool SectorReader::openPath(const std::string& devicePath, OpenMode mode) {
  close();
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
  // Opened without blocking and checked: only image files and block devices
  // are disks (a FIFO swapped in after a check must not hang the reader).
  int flags = (mode == OpenMode::ReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK;
  fd_ = ::open(devicePath.c_str(), flags);
  if (fd_ < 0) {
    lastError_ = errno;
    return false;
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
    lastError_ = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
  readTimeoutMs_ = S_ISBLK(st.st_mode) ? defaultDeviceReadTimeoutMs() : 0;
  // No readahead on a disk: a failing drive's stalled read would keep the
  // whole readahead window around the asked-for sectors locked with it, and
  // every later read touching that window would stall as well. The scans
  // read in large pieces of their own.
  if (S_ISBLK(st.st_mode)) ::posix_fadvise(fd_, 0, 0, POSIX_FADV_RANDOM);
  path_ = devicePath;
  position_ = 0;
  return true;
}

bool SectorReader::isOpen() const { return fd_ >= 0 || backend_; }

void SectorReader::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
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

namespace {

// One attempt at the whole range. *mediaError tells a failure of the medium
// (an unreadable sector, a damaged image chunk) from the end of the device.
bool readRange(int fd, ImageBackend* backend, uint64_t offset, void* buffer, size_t count, int* error,
               bool* mediaError) {
  *mediaError = false;
  if (backend) {
    if (backend->readAt(offset, buffer, count, error)) {
      gBytesRead.fetch_add(count, std::memory_order_relaxed);
      return true;
    }
    const uint64_t size = backend->sizeBytes();
    *mediaError = *error == EIO && offset <= size && count <= size - offset;
    return false;
  }
  auto* out = static_cast<uint8_t*>(buffer);
  size_t got = 0;
  while (got < count) {
    ssize_t n = ::pread(fd, out + got, count - got, static_cast<off_t>(offset + got));
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      *mediaError = errno == EIO || errno == ENXIO || errno == ENODATA || errno == EBADMSG || errno == EILSEQ ||
                    errno == ETIMEDOUT;
      return false;
    }
    if (n == 0) {  // end of the device: a short read is a failure
      *error = EIO;
      return false;
    }
    got += static_cast<size_t>(n);
    gBytesRead.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
  }
  return true;
}

}  // namespace

bool SectorReader::readBytesAt(uint64_t byteOffset, void* buffer, size_t count) const {
  if (fd_ < 0 && !backend_) {
    lastError_ = EBADF;
    return false;
  }
  // One read of [pos, pos + n), with the reader's deadline when it has one.
  // A read past its deadline counts as a media error of all its sectors.
  auto read = [&](uint64_t pos, uint8_t* into, size_t n, int* error, bool* media, bool* timedOut) {
    if (readTimeoutMs_ > 0 && n > 0) {
      // Sectors a stalled read still waits for would stall this read too.
      if (fd_ >= 0 && overlapsStalledRead(path_, pos, n)) {
        *timedOut = true;
        *error = EAGAIN;
        *media = true;
        return false;
      }
      const int fd = fd_ >= 0 ? ::fcntl(fd_, F_DUPFD_CLOEXEC, 0) : -1;
      if (fd_ < 0 || fd >= 0) {
        std::shared_ptr<ImageBackend> backend = backend_;
        bool ok = false;
        const DeadlineRange range{fd_ >= 0 ? path_ : std::string(), pos, n};
        auto progress = std::make_shared<std::atomic<uint64_t>>(0);
        const DeadlineResult r = runWithDeadline(
            std::chrono::milliseconds(readTimeoutMs_), into, n,
            [fd, backend, pos, n, progress](uint8_t* b, int* e, bool* m) {
              // A device in pieces on the salvage grid, one after the other:
              // a stall then holds one piece, the one the held pages end in.
              bool got = true;
              for (uint64_t at = pos; got && at < pos + n;) {
                const uint64_t to = fd >= 0 ? std::min(pos + n, (at / kSalvagePieceBytes + 1) * kSalvagePieceBytes)
                                            : pos + n;
                got = readRange(fd, backend.get(), at, b + (at - pos), static_cast<size_t>(to - at), e, m);
                if (got) progress->store(to - pos);
                at = to;
              }
              if (fd >= 0) ::close(fd);
              return got;
            },
            &ok, error, media, &range, progress.get());
        if (r == DeadlineResult::Done) return ok;
        if (r == DeadlineResult::TimedOut || stuckReads() >= kMaxStuckReads) {
          if (r == DeadlineResult::NotStarted && fd >= 0) ::close(fd);
          *timedOut = true;
          *error = r == DeadlineResult::TimedOut ? ETIMEDOUT : EBUSY;  // EBUSY: too many reads hang already
          *media = true;
          return false;
        }
        if (fd >= 0) ::close(fd);  // no helper thread: read directly
      }
    }
    return readRange(fd_, backend_.get(), pos, into, n, error, media);
  };
  // After a timeout: what the page cache holds already (RWF_NOWAIT never
  // starts a read of the device or waits for one).
  auto held = [&](uint64_t pos, uint8_t* into, size_t n) {
    if (fd_ < 0) return false;
    struct iovec v {
      into, n
    };
    ssize_t r;
    do r = ::preadv2(fd_, &v, 1, static_cast<off_t>(pos), RWF_NOWAIT);
    while (r < 0 && errno == EINTR);
    if (r != static_cast<ssize_t>(n)) return false;  // a short read: the rest is not held
    gBytesRead.fetch_add(n, std::memory_order_relaxed);
    return true;
  };
  int error = 0;
  // The page cache stands between a device and its reads; an image backend has none.
  const bool ok = readNotingUnreadable(path_, byteOffset, static_cast<uint8_t*>(buffer), count, read, &error,
                                       fd_ >= 0 ? HeldRangeRead(held) : HeldRangeRead());
  if (error == EAGAIN || error == EBUSY) error = ETIMEDOUT;  // given up for a stall, as a timeout is
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
  if (fd_ < 0) {
    lastError_ = EBADF;
    return false;
  }
  const auto* in = static_cast<const uint8_t*>(buffer);
  size_t put = 0;
  while (put < count) {
    ssize_t n = ::pwrite(fd_, in + put, count - put, static_cast<off_t>(position_ + put));
    if (n < 0) {
      if (errno == EINTR) continue;
      lastError_ = errno;
      return false;
    }
    if (n == 0) {
      lastError_ = ENOSPC;
      return false;
    }
    put += static_cast<size_t>(n);
  }
  position_ += count;
  return true;
}

uint64_t SectorReader::sizeBytes() const {
  if (backend_) return backend_->sizeBytes();
  if (fd_ < 0) return 0;
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return 0;
  if (S_ISBLK(st.st_mode)) {
    uint64_t size = 0;
    if (::ioctl(fd_, BLKGETSIZE64, &size) != 0) return 0;
    return size;
  }
  return S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace brenix
#endif
