#pragma once
// A ByteSink that writes to a file of the output folder.
#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "common/file_io.h"
#include "results/progress.h"
#include "results/scan_engine.h"

namespace brenix {

// A ByteSink onto a file: opened for writing, created if missing and
// truncated, so a file written over holds exactly the new bytes. Symbolic
// links are not followed.
class FileByteSink : public ByteSink {
 public:
  FileByteSink() = default;
  ~FileByteSink() override;
  FileByteSink(const FileByteSink&) = delete;
  FileByteSink& operator=(const FileByteSink&) = delete;

  // exclusive: the file must not exist yet (a temporary name).
  bool open(const std::filesystem::path& path, bool exclusive = false);
  bool write(const uint8_t* data, size_t size) override;
  // Flushes the written bytes to the device; false when that failed.
  bool sync();
  // Closes the file; false when a write or the close failed.
  bool close();
  int lastError() const { return error_; }
  uint64_t bytesWritten() const { return written_; }
  // Every byte written is also added to progress's bytes done.
  void countInto(Progress* progress) { progress_ = progress; }

 private:
  Progress* progress_ = nullptr;
  OsFile file_;
  int error_ = 0;
  bool failed_ = false;
  uint64_t written_ = 0;
};

}  // namespace brenix
