#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "common/file_io.h"

namespace fs = std::filesystem;

namespace brenix {

fs::path pathFromUtf8(const std::string& utf8) { return fs::path(utf8); }
std::string pathToUtf8(const fs::path& path) { return path.string(); }

OsFile::~OsFile() { close(); }

OsFile::OsFile(OsFile&& other) noexcept
    : handle_(std::exchange(other.handle_, kNone)), error_(other.error_) {}

OsFile& OsFile::operator=(OsFile&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, kNone);
    error_ = other.error_;
  }
  return *this;
}

bool OsFile::open(const fs::path& path, FileMode mode) {
  close();
  error_ = 0;
  int flags = O_CLOEXEC;
  switch (mode) {
    // Non-blocking, so that a FIFO cannot hang the open (no effect on files).
    case FileMode::Read: flags |= O_RDONLY | O_NONBLOCK | O_NOCTTY; break;
    case FileMode::ReadWrite: flags |= O_RDWR; break;
    case FileMode::CreateNew: flags |= O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW; break;
    case FileMode::CreateNewReadWrite: flags |= O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW; break;
    case FileMode::CreateOrTruncate: flags |= O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW; break;
  }
  int fd;
  do fd = ::open(path.c_str(), flags, 0644);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    error_ = errno;
    return false;
  }
  if (mode == FileMode::Read) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  handle_ = fd;
  return true;
}

bool OsFile::write(const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::write(static_cast<int>(handle_), p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n < 0 ? errno : EIO;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool OsFile::writeAt(uint64_t offset, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(static_cast<int>(handle_), p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n < 0 ? errno : EIO;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

int64_t OsFile::readAt(uint64_t offset, void* data, size_t size) {
  auto* p = static_cast<uint8_t*>(data);
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(static_cast<int>(handle_), p + got, size - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error_ = errno;
      return -1;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(got);
}

int64_t OsFile::read(void* data, size_t size) {
  for (;;) {
    const ssize_t n = ::read(static_cast<int>(handle_), data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error_ = errno;
    return n;
  }
}

bool OsFile::sync() {
  // Some file systems (and pipes) cannot sync; that is not a failed write.
  if (::fsync(static_cast<int>(handle_)) != 0 && errno != EINVAL && errno != EROFS) {
    error_ = errno;
    return false;
  }
  return true;
}

bool OsFile::close() {
  if (handle_ == kNone) return true;
  const bool ok = ::close(static_cast<int>(handle_)) == 0;
  if (!ok) error_ = errno;
  handle_ = kNone;
  return ok;
}

bool OsFile::isRegular() const {
  struct stat st {};
  return handle_ != kNone && ::fstat(static_cast<int>(handle_), &st) == 0 && S_ISREG(st.st_mode);
}

uint64_t OsFile::size() const {
  struct stat st {};
  return handle_ != kNone && ::fstat(static_cast<int>(handle_), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

int openFd(const fs::path& path, FileMode mode) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case FileMode::Read: flags |= O_RDONLY; break;
    case FileMode::ReadWrite: flags |= O_RDWR; break;
    case FileMode::CreateNew: flags |= O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW; break;
    case FileMode::CreateNewReadWrite: flags |= O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW; break;
    case FileMode::CreateOrTruncate: flags |= O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW; break;
  }
  int fd;
  do fd = ::open(path.c_str(), flags, 0644);
  while (fd < 0 && errno == EINTR);
  return fd;
}

bool fdWriteAt(int fd, uint64_t offset, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

int64_t fdReadAt(int fd, uint64_t offset, void* data, size_t size) {
  auto* p = static_cast<uint8_t*>(data);
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd, p + got, size - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(got);
}

bool fdSync(int fd) { return ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS; }

bool fdIsRegular(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

uint64_t fdSize(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

bool fdResize(int fd, uint64_t size) { return ::ftruncate(fd, static_cast<off_t>(size)) == 0; }

bool fdClose(int fd) { return ::close(fd) == 0; }

namespace {
bool syncFolderOf(const fs::path& path) {
  const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
  const int fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  ::fsync(fd);
  ::close(fd);
  return true;
}
}  // namespace

bool replaceFile(const fs::path& from, const fs::path& to, int* error) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    if (error) *error = errno;
    return false;
  }
  syncFolderOf(to);
  return true;
}

bool renameNoReplace(const fs::path& from, const fs::path& to, int* error) {
  // A hard link fails when the name exists; the old name then goes.
  if (::link(from.c_str(), to.c_str()) != 0) {
    if (error) *error = errno;
    return false;
  }
  ::unlink(from.c_str());
  syncFolderOf(to);
  return true;
}

bool removeFile(const fs::path& path) { return ::unlink(path.c_str()) == 0; }

fs::path makePrivateTempFolder(const std::string& prefix, int* error) {
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec) base = "/tmp";
  std::string pattern = (base / (prefix + "XXXXXX")).string();
  if (!mkdtemp(pattern.data())) {  // mode 0700
    *error = errno;
    return {};
  }
  return fs::path(pattern);
}

PathKind pathKindOf(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return PathKind::Missing;
  if (S_ISREG(st.st_mode)) return PathKind::Regular;
  if (S_ISDIR(st.st_mode)) return PathKind::Directory;
  if (S_ISLNK(st.st_mode)) return PathKind::Link;
  if (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode)) return PathKind::Device;
  return PathKind::Other;
}

bool fileIdentityOf(const fs::path& path, FileIdentity* identity) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  identity->volume = static_cast<uint64_t>(st.st_dev);
  identity->index = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool sameFile(const fs::path& a, const fs::path& b) {
  FileIdentity x, y;
  return fileIdentityOf(a, &x) && fileIdentityOf(b, &y) && x == y;
}

std::vector<std::string>& startProgram(int argc, char** argv) {
  static std::vector<std::string> words;
  words.assign(argv, argv + argc);
  return words;
}

fs::path executablePath() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : exe;
}

}  // namespace brenix
#endif
