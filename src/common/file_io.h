#pragma once
// Files through one small interface with a POSIX and a Win32 implementation
// (file_io_posix.cpp, file_io_win32.cpp). Always binary; paths are
// std::filesystem::path (UTF-16 on Windows: build them from UTF-8 text with
// pathFromUtf8, never from a narrow string). Error numbers are errno values on
// both systems (Win32 errors are mapped), so std::strerror reads them.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace brenix {

// UTF-8 text to a path and back (the conversions std::filesystem does
// through the narrow code page on Windows would mangle non-ASCII names).
std::filesystem::path pathFromUtf8(const std::string& utf8);
std::string pathToUtf8(const std::filesystem::path& path);

enum class FileMode {
  Read,              // an existing file, read only
  ReadWrite,         // an existing file, read and write
  CreateNew,         // a new file for writing; fails when the name exists (also a link)
  CreateNewReadWrite,
  CreateOrTruncate,  // for writing, emptied when it exists (a link is not followed)
};

class OsFile {
 public:
  OsFile() = default;
  ~OsFile();
  OsFile(const OsFile&) = delete;
  OsFile& operator=(const OsFile&) = delete;
  OsFile(OsFile&& other) noexcept;
  OsFile& operator=(OsFile&& other) noexcept;

  bool open(const std::filesystem::path& path, FileMode mode);
  bool isOpen() const { return handle_ != kNone; }
  // Writes all of data at the file pointer; false when any of it failed.
  bool write(const void* data, size_t size);
  // Positional transfers (the file pointer is not used).
  bool writeAt(uint64_t offset, const void* data, size_t size);
  // Up to size bytes at offset (fewer only at the end): the count, -1 on failure.
  int64_t readAt(uint64_t offset, void* data, size_t size);
  // Up to size bytes at the file pointer: the count (0 at the end), -1 on failure.
  int64_t read(void* data, size_t size);
  // Flushes written data to the device.
  bool sync();
  bool close();
  bool isRegular() const;
  uint64_t size() const;
  int lastError() const { return error_; }

 private:
  static constexpr intptr_t kNone = -1;
  intptr_t handle_ = kNone;  // a descriptor, or a HANDLE
  int error_ = 0;
};

// The same on C runtime descriptors, for code that passes descriptors along
// (binary mode and no inheritance on Windows). Failures return false or -1
// with errno set.
int openFd(const std::filesystem::path& path, FileMode mode);
bool fdWriteAt(int fd, uint64_t offset, const void* data, size_t size);
int64_t fdReadAt(int fd, uint64_t offset, void* data, size_t size);
bool fdSync(int fd);
bool fdIsRegular(int fd);
uint64_t fdSize(int fd);
bool fdResize(int fd, uint64_t size);
bool fdClose(int fd);

// Gives `from` the name `to`, replacing a file of that name, and makes the
// rename durable. error receives an errno value.
bool replaceFile(const std::filesystem::path& from, const std::filesystem::path& to, int* error = nullptr);
// Renames without replacing: false (EEXIST) when `to` exists.
bool renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to, int* error = nullptr);
bool removeFile(const std::filesystem::path& path);

enum class PathKind { Missing, Regular, Directory, Link, Device, Other };
// What stands under path, the last component not followed when it is a link.
PathKind pathKindOf(const std::filesystem::path& path);

// A new folder only this user may enter, named prefix + a unique suffix in
// the system's temporary folder (no name another user could have planted).
// Empty with an errno value in *error when it can not be made.
std::filesystem::path makePrivateTempFolder(const std::string& prefix, int* error);

// Which file a path names: device and inode, or volume serial and file index.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool operator==(const FileIdentity&) const = default;
};
bool fileIdentityOf(const std::filesystem::path& path, FileIdentity* identity);
// Whether both paths name the same existing file.
bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b);

#ifdef _WIN32
// A Win32 error code as the errno value the portable code reports.
int errnoFromWin32(unsigned long code);
// Reads up to size bytes at offset from a Win32 file or device handle, in
// pieces ReadFile can take: the bytes read (fewer at the end of the file), or
// -1 with the failing Win32 error code in *code.
int64_t win32ReadAt(void* handle, uint64_t offset, void* data, size_t size, unsigned long* code);
#endif

// A program's start on every system: the command line as UTF-8 words (on
// Windows read again from the UTF-16 command line, whatever the code page),
// and standard output and error in binary mode, so printed lines end in "\n"
// alone. The words stay valid for the life of the program.
std::vector<std::string>& startProgram(int argc, char** argv);

// The running program's own file (the folder holding it has rp.dat and help).
std::filesystem::path executablePath();

}  // namespace brenix
