#pragma once
// Raw sector access to one drive (a whole-disk block device or a disk image).
// Offsets are 64-bit byte offsets; a sector is 512 bytes. Reads and writes move
// exactly the number of bytes asked for: anything shorter is a failure.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace brenix {

inline constexpr uint32_t kSectorSize = 512;

class ImageBackend;

enum class OpenMode { Read, ReadWrite };

class SectorReader {
 public:
  SectorReader() = default;
  ~SectorReader();
  SectorReader(const SectorReader&) = delete;
  SectorReader& operator=(const SectorReader&) = delete;
  SectorReader(SectorReader&& other) noexcept;
  SectorReader& operator=(SectorReader&& other) noexcept;

  // Opens the drive with this number in the device table. Fails (without any
  // message) when the number names no device.
  bool open(int driveNumber, OpenMode mode);
  // Opens a device node or image file by path. EWF images (.E01 and their
  // segments) and split raw images (name.001, name.002, ...) open read-only.
  bool openPath(const std::string& path, OpenMode mode);
  bool isOpen() const;
  void close();

  // File-pointer interface: seek, then readExact/writeExact. A seek and the
  // transfer after it form one step; do not share a reader between threads
  // for these. readBytesAt is positional and safe to call from several threads.
  bool seek(uint64_t byteOffset);
  bool readExact(void* buffer, size_t count);
  bool writeExact(const void* buffer, size_t count);

  bool readAt(uint64_t sector, void* buffer, size_t count) { return seek(sector * kSectorSize) && readExact(buffer, count); }
  bool writeAt(uint64_t sector, const void* buffer, size_t count) { return seek(sector * kSectorSize) && writeExact(buffer, count); }
  bool readBytesAt(uint64_t byteOffset, void* buffer, size_t count) const;

  // Bytes read by every reader of this process so far (for read rates).
  static uint64_t bytesReadInProcess();

  // Longest a read may take before it counts as failed (its sectors then
  // unreadable, as for a read error); 0 waits as long as the system does.
  // Block devices (on Windows raw devices, \\.\...) get
  // defaultDeviceReadTimeoutMs() when opened; image files none.
  void setReadTimeoutMs(uint32_t ms) { readTimeoutMs_ = ms; }
  uint32_t readTimeoutMs() const { return readTimeoutMs_; }
  static void setDefaultDeviceReadTimeoutMs(uint32_t ms);
  static uint32_t defaultDeviceReadTimeoutMs();
  // Reads through an image backend of the test's own (a reader that fails or stalls chosen ranges).
  void openBackendForTesting(std::shared_ptr<ImageBackend> backend, const std::string& name);

  // Capacity of the device or the image file, 0 when unknown.
  uint64_t sizeBytes() const;
  // System error number of the last failure (errno here, GetLastError on Windows).
  int lastError() const { return lastError_; }
  const std::string& path() const { return path_; }

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
  uint32_t sectorSize_ = 1;  // transfers of a raw device are aligned to this
  bool overlapped_ = false;  // a raw device's handle, opened for overlapped I/O
#else
  int fd_ = -1;
#endif
  std::shared_ptr<ImageBackend> backend_;  // EWF or split image instead of one handle (never shared)
  uint64_t position_ = 0;
  uint32_t readTimeoutMs_ = 0;
  mutable std::atomic<int> lastError_{0};  // readBytesAt may run on several threads
  std::string path_;
};

}  // namespace brenix
