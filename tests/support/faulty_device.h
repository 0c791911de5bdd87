#pragma once
// A real block device that fails or stalls chosen byte ranges, for the
// tests of imaging and of read deadlines: a loop device over a device-mapper
// table with error targets where the machine has device-mapper, else a loop
// device over the file of a small FUSE file system (tests/support/faulty_fuse)
// whose reads of those ranges fail with EIO or hang until release(). Needs
// root; tears everything down when destroyed, even when the test failed.
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace brenix::test {

struct ByteRange {
  uint64_t offset, length;  // whole 4096-byte pages: the page cache fails or stalls a page at a time
};

class FaultyDevice {
 public:
  // Over a copy of backing: reads touching `failing` fail with EIO, reads
  // touching `stalling` hang until release() (FUSE only). Null, with the
  // reason in *whyNot, when the machine cannot make such a device.
  static std::unique_ptr<FaultyDevice> make(const std::filesystem::path& backing, const std::filesystem::path& workDir,
                                            const std::vector<ByteRange>& failing,
                                            const std::vector<ByteRange>& stalling, std::string* whyNot);
  ~FaultyDevice();
  FaultyDevice(const FaultyDevice&) = delete;
  FaultyDevice& operator=(const FaultyDevice&) = delete;

  const std::string& path() const { return path_; }
  const std::string& kind() const { return kind_; }  // "device-mapper" or "FUSE"
  // Every stalled read answers, now and later.
  void release();
  // What the FUSE file system logged ("failed read OFFSET+LENGTH", "stalled read ...").
  std::string log() const;

 private:
  FaultyDevice() = default;
  static std::unique_ptr<FaultyDevice> overDeviceMapper(const std::filesystem::path& backing,
                                                        const std::vector<ByteRange>& failing, std::string* whyNot);
  static std::unique_ptr<FaultyDevice> overFuse(const std::filesystem::path& backing, const std::filesystem::path& workDir,
                                                const std::vector<ByteRange>& failing,
                                                const std::vector<ByteRange>& stalling, std::string* whyNot);

  std::string path_, kind_;
  std::string loop_, mapperName_;
  std::filesystem::path mountPoint_, logPath_;
  pid_t fuse_ = -1;
  int holdFd_ = -1;
};

}  // namespace brenix::test
