#include "results/file_byte_sink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace fs = std::filesystem;

namespace brenix {

FileByteSink::~FileByteSink() {
  if (fd_ >= 0) ::close(fd_);
}

bool FileByteSink::open(const fs::path& path, bool exclusive) {
  if (fd_ >= 0) close();
  failed_ = false;
  error_ = 0;
  written_ = 0;
  int flags = O_WRONLY | O_CREAT | (exclusive ? O_EXCL : O_TRUNC);
#ifdef O_NOFOLLOW
  flags |= O_NOFOLLOW;
#endif
#ifdef O_CLOEXEC
  flags |= O_CLOEXEC;
#endif
  fd_ = ::open(path.c_str(), flags, 0644);
  if (fd_ < 0) {
    error_ = errno;
    return false;
  }
  return true;
}

bool FileByteSink::write(const uint8_t* data, size_t size) {
  if (fd_ < 0 || failed_) return false;
  while (size > 0) {
    const ssize_t n = ::write(fd_, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n < 0 ? errno : EIO;
      failed_ = true;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
    written_ += static_cast<uint64_t>(n);
    if (progress_) progress_->addBytesDone(n);
  }
  return true;
}

bool FileByteSink::sync() {
  if (fd_ < 0 || failed_) return false;
  if (::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) {
    error_ = errno;
    failed_ = true;
    return false;
  }
  return true;
}

bool FileByteSink::close() {
  if (fd_ < 0) return !failed_;
  if (::close(fd_) != 0 && !failed_) {
    error_ = errno;
    failed_ = true;
  }
  fd_ = -1;
  return !failed_;
}
}  // namespace brenix
