#include "results/file_byte_sink.h"

namespace fs = std::filesystem;

namespace brenix {

FileByteSink::~FileByteSink() = default;

bool FileByteSink::open(const fs::path& path, bool exclusive) {
  if (file_.isOpen()) close();
  failed_ = false;
  error_ = 0;
  written_ = 0;
  // Binary on every system; never through a link standing under the name.
  if (!file_.open(path, exclusive ? FileMode::CreateNew : FileMode::CreateOrTruncate)) {
    error_ = file_.lastError();
    return false;
  }
  return true;
}

bool FileByteSink::write(const uint8_t* data, size_t size) {
  if (!file_.isOpen() || failed_) return false;
  if (!file_.write(data, size)) {
    error_ = file_.lastError();
    failed_ = true;
    return false;
  }
  written_ += size;
  if (progress_) progress_->addBytesDone(static_cast<int64_t>(size));
  return true;
}

bool FileByteSink::sync() {
  if (!file_.isOpen() || failed_) return false;
  if (!file_.sync()) {
    error_ = file_.lastError();
    failed_ = true;
    return false;
  }
  return true;
}

bool FileByteSink::close() {
  if (!file_.isOpen()) return !failed_;
  if (!file_.close() && !failed_) {
    error_ = file_.lastError();
    failed_ = true;
  }
  return !failed_;
}

}  // namespace brenix
