#ifdef _WIN32
// Win32 files: CreateFileW on UTF-16 paths, always binary, CREATE_NEW for
// exclusive creation, links never followed when creating, MoveFileExW for
// durable replace-by-rename.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "common/file_io.h"

namespace fs = std::filesystem;

namespace brenix {

namespace {

int errnoOf(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE: return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EACCES;
    case ERROR_WRITE_PROTECT: return EROFS;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME: return EINVAL;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_DIRECTORY: return ENOTDIR;
    default: return EIO;
  }
}

int lastErrno() { return errnoOf(GetLastError()); }

HANDLE h(intptr_t v) { return reinterpret_cast<HANDLE>(v); }

}  // namespace

int errnoFromWin32(unsigned long code) { return errnoOf(code); }

int64_t win32ReadAt(void* handle, uint64_t offset, void* data, size_t size, unsigned long* code) {
  auto* p = static_cast<uint8_t*>(data);
  size_t got = 0;
  while (got < size) {
    const size_t left = size - got;
    const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    OVERLAPPED ov{};
    const uint64_t at = offset + got;
    ov.Offset = static_cast<DWORD>(at);
    ov.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD n = 0;
    if (!ReadFile(static_cast<HANDLE>(handle), p + got, chunk, &n, &ov)) {
      const DWORD failed = GetLastError();
      if (failed == ERROR_HANDLE_EOF) break;
      *code = failed;
      return -1;
    }
    if (n == 0) break;
    got += n;
  }
  return static_cast<int64_t>(got);
}

fs::path pathFromUtf8(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return fs::path(wide);
}

std::string pathToUtf8(const fs::path& path) {
  const std::wstring& wide = path.native();
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
  return out;
}

OsFile::~OsFile() { close(); }

OsFile::OsFile(OsFile&& other) noexcept : handle_(std::exchange(other.handle_, kNone)), error_(other.error_) {}

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
  DWORD access = GENERIC_READ;
  DWORD disposition = OPEN_EXISTING;
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  switch (mode) {
    case FileMode::Read: break;
    case FileMode::ReadWrite: access |= GENERIC_WRITE; break;
    case FileMode::CreateNew: access = GENERIC_WRITE; disposition = CREATE_NEW; break;
    case FileMode::CreateNewReadWrite: access |= GENERIC_WRITE; disposition = CREATE_NEW; break;
    case FileMode::CreateOrTruncate:
      access = GENERIC_WRITE;
      disposition = CREATE_ALWAYS;
      flags |= FILE_FLAG_OPEN_REPARSE_POINT;  // a link is replaced, not followed
      break;
  }
  HANDLE file = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error_ = lastErrno();
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  return true;
}

bool OsFile::write(const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD put = 0;
    if (!WriteFile(h(handle_), p, chunk, &put, nullptr) || put == 0) {
      error_ = put == 0 && GetLastError() == ERROR_SUCCESS ? EIO : lastErrno();
      return false;
    }
    p += put;
    size -= put;
  }
  return true;
}

bool OsFile::writeAt(uint64_t offset, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(offset);
    ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD put = 0;
    if (!WriteFile(h(handle_), p, chunk, &put, &ov) || put == 0) {
      error_ = lastErrno();
      return false;
    }
    p += put;
    size -= put;
    offset += put;
  }
  return true;
}

int64_t OsFile::readAt(uint64_t offset, void* data, size_t size) {
  unsigned long code = 0;
  const int64_t got = win32ReadAt(h(handle_), offset, data, size, &code);
  if (got < 0) error_ = errnoOf(code);
  return got;
}

int64_t OsFile::read(void* data, size_t size) {
  const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
  DWORD n = 0;
  if (!ReadFile(h(handle_), data, chunk, &n, nullptr)) {
    if (GetLastError() == ERROR_HANDLE_EOF || GetLastError() == ERROR_BROKEN_PIPE) return 0;
    error_ = lastErrno();
    return -1;
  }
  return n;
}

bool OsFile::sync() {
  if (!FlushFileBuffers(h(handle_))) {
    const DWORD code = GetLastError();
    if (code == ERROR_INVALID_HANDLE || code == ERROR_INVALID_FUNCTION) return true;  // a console or pipe
    error_ = errnoOf(code);
    return false;
  }
  return true;
}

bool OsFile::close() {
  if (handle_ == kNone) return true;
  const bool ok = CloseHandle(h(handle_)) != 0;
  if (!ok) error_ = lastErrno();
  handle_ = kNone;
  return ok;
}

bool OsFile::isRegular() const {
  return handle_ != kNone && GetFileType(h(handle_)) == FILE_TYPE_DISK;
}

uint64_t OsFile::size() const {
  LARGE_INTEGER size;
  return handle_ != kNone && GetFileSizeEx(h(handle_), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

int openFd(const fs::path& path, FileMode mode) {
  int flags = _O_BINARY | _O_NOINHERIT;
  switch (mode) {
    case FileMode::Read: flags |= _O_RDONLY; break;
    case FileMode::ReadWrite: flags |= _O_RDWR; break;
    case FileMode::CreateNew: flags |= _O_WRONLY | _O_CREAT | _O_EXCL; break;
    case FileMode::CreateNewReadWrite: flags |= _O_RDWR | _O_CREAT | _O_EXCL; break;
    case FileMode::CreateOrTruncate: flags |= _O_WRONLY | _O_CREAT | _O_TRUNC; break;
  }
  return _wopen(path.c_str(), flags, _S_IREAD | _S_IWRITE);
}

namespace {
HANDLE osHandle(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }
}  // namespace

bool fdWriteAt(int fd, uint64_t offset, const void* data, size_t size) {
  HANDLE file = osHandle(fd);
  if (file == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return false;
  }
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(offset);
    ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD put = 0;
    if (!WriteFile(file, p, chunk, &put, &ov) || put == 0) {
      errno = put == 0 && GetLastError() == ERROR_SUCCESS ? ENOSPC : lastErrno();
      return false;
    }
    p += put;
    size -= put;
    offset += put;
  }
  return true;
}

int64_t fdReadAt(int fd, uint64_t offset, void* data, size_t size) {
  HANDLE file = osHandle(fd);
  if (file == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return -1;
  }
  unsigned long code = 0;
  const int64_t got = win32ReadAt(file, offset, data, size, &code);
  if (got < 0) errno = errnoOf(code);
  return got;
}

bool fdSync(int fd) {
  HANDLE file = osHandle(fd);
  if (file != INVALID_HANDLE_VALUE && FlushFileBuffers(file)) return true;
  errno = lastErrno();
  return false;
}

bool fdIsRegular(int fd) {
  HANDLE file = osHandle(fd);
  return file != INVALID_HANDLE_VALUE && GetFileType(file) == FILE_TYPE_DISK;
}

uint64_t fdSize(int fd) {
  LARGE_INTEGER size;
  HANDLE file = osHandle(fd);
  return file != INVALID_HANDLE_VALUE && GetFileSizeEx(file, &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

bool fdResize(int fd, uint64_t size) { return _chsize_s(fd, static_cast<__int64>(size)) == 0; }

bool fdClose(int fd) { return _close(fd) == 0; }

bool replaceFile(const fs::path& from, const fs::path& to, int* error) {
  if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    if (error) *error = lastErrno();
    return false;
  }
  return true;
}

bool renameNoReplace(const fs::path& from, const fs::path& to, int* error) {
  if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) {
    if (error) *error = lastErrno();
    return false;
  }
  return true;
}

bool removeFile(const fs::path& path) { return DeleteFileW(path.c_str()) != 0; }

fs::path makePrivateTempFolder(const std::string& prefix, int* error) {
  wchar_t base[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, base);
  if (n == 0 || n > MAX_PATH) {
    *error = errnoOf(GetLastError());
    return {};
  }
  // The user's own temporary folder already keeps others out; the name only needs to be new.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const unsigned long long stamp = GetTickCount64() ^ (static_cast<unsigned long long>(GetCurrentProcessId()) << 20);
    wchar_t suffix[32];
    swprintf(suffix, 32, L"%llx%02d", stamp, attempt);
    const fs::path folder = fs::path(base) / (pathFromUtf8(prefix).native() + suffix);
    if (CreateDirectoryW(folder.c_str(), nullptr)) return folder;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  *error = errnoOf(GetLastError());
  return {};
}

PathKind pathKindOf(const fs::path& path) {
  const std::wstring& w = path.native();
  if (w.rfind(L"\\\\.\\", 0) == 0) return PathKind::Device;
  const DWORD attributes = GetFileAttributesW(w.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return PathKind::Link;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::Directory;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return PathKind::Device;
  return PathKind::Regular;
}

bool fileIdentityOf(const fs::path& path, FileIdentity* identity) {
  HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool ok = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  if (!ok) return false;
  identity->volume = info.dwVolumeSerialNumber;
  identity->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool sameFile(const fs::path& a, const fs::path& b) {
  FileIdentity x, y;
  return fileIdentityOf(a, &x) && fileIdentityOf(b, &y) && x == y;
}

std::vector<std::string>& startProgram(int argc, char** argv) {
  static std::vector<std::string> words;
  words.clear();
  int count = 0;
  if (wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
    for (int i = 0; i < count; ++i) words.push_back(pathToUtf8(fs::path(wide[i])));
    LocalFree(wide);
  }
  if (words.empty()) words.assign(argv, argv + argc);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  return words;
}

fs::path executablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      return fs::path(buffer);
    }
    if (buffer.size() > 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace brenix
#endif
