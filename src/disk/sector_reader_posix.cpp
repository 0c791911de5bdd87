#ifndef _WIN32
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "disk/device_table.h"
#include "disk/sector_reader.h"

namespace brenix {

SectorReader::~SectorReader() { close(); }

SectorReader::SectorReader(SectorReader&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), position_(other.position_), lastError_(other.lastError_),
      path_(std::move(other.path_)) {}

SectorReader& SectorReader::operator=(SectorReader&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    position_ = other.position_;
    lastError_ = other.lastError_;
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
  int flags = (mode == OpenMode::ReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC;
  fd_ = ::open(devicePath.c_str(), flags);
  if (fd_ < 0) {
    lastError_ = errno;
    return false;
  }
  path_ = devicePath;
  position_ = 0;
  return true;
}

bool SectorReader::isOpen() const { return fd_ >= 0; }

void SectorReader::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  position_ = 0;
}

bool SectorReader::seek(uint64_t byteOffset) {
  if (fd_ < 0) {
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
  if (fd_ < 0) {
    lastError_ = EBADF;
    return false;
  }
  auto* out = static_cast<uint8_t*>(buffer);
  size_t got = 0;
  while (got < count) {
    ssize_t n = ::pread(fd_, out + got, count - got, static_cast<off_t>(byteOffset + got));
    if (n < 0) {
      if (errno == EINTR) continue;
      lastError_ = errno;
      return false;
    }
    if (n == 0) {  // end of the device: a short read is a failure
      lastError_ = EIO;
      return false;
    }
    got += static_cast<size_t>(n);
  }
  return true;
}

bool SectorReader::readExact(void* buffer, size_t count) {
  if (!readBytesAt(position_, buffer, count)) return false;
  position_ += count;
  return true;
}

bool SectorReader::writeExact(const void* buffer, size_t count) {
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
