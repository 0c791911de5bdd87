#include "disk/image_backend_ewf.h"

#include <libewf.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace brenix {

namespace {

// libewf's own account of a failure: its messages, innermost first, on one line.
std::string describe(libewf_error_t* error) {
  if (!error) return {};
  char text[2048] = {};
  libewf_error_sprint(error, text, sizeof text);
  libewf_error_free(&error);
  std::string s(text);
  for (char& c : s)
    if (c == '\n' || c == '\r') c = ' ';
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

class EwfBackend final : public ImageBackend {
 public:
  explicit EwfBackend(libewf_handle_t* handle) : handle_(handle) {}
  ~EwfBackend() override {
    libewf_error_t* error = nullptr;
    libewf_handle_close(handle_, &error);
    libewf_error_free(&error);
    libewf_handle_free(&handle_, &error);
    libewf_error_free(&error);
  }
  EwfBackend(const EwfBackend&) = delete;
  EwfBackend& operator=(const EwfBackend&) = delete;

  bool init(std::string* message) {
    libewf_error_t* error = nullptr;
    size64_t size = 0;
    if (libewf_handle_get_media_size(handle_, &size, &error) != 1) {
      *message = describe(error);
      return false;
    }
    size_ = size;
    if (libewf_handle_segment_files_corrupted(handle_, &error) == 1) {
      *message = "segments are missing, damaged or out of order; every segment (.E01, .E02, ...) must be "
                 "present in the same folder, as it was written";
      return false;
    }
    libewf_error_free(&error);
    collectChecksumErrors();
    uint8_t md5[16];
    if (libewf_handle_get_md5_hash(handle_, md5, sizeof md5, &error) == 1) {
      static const char* hex = "0123456789abcdef";
      for (uint8_t b : md5) {
        md5_ += hex[b >> 4];
        md5_ += hex[b & 15];
      }
    }
    libewf_error_free(&error);
    return true;
  }

  bool readAt(uint64_t offset, void* buffer, size_t count, int* errorNumber) override {
    if (offset > size_ || count > size_ - offset) {
      *errorNumber = EIO;
      return false;
    }
    std::lock_guard lock(mutex_);
    auto* out = static_cast<uint8_t*>(buffer);
    size_t got = 0;
    while (got < count) {
      libewf_error_t* error = nullptr;
      const ssize_t n = libewf_handle_read_random(handle_, out + got, count - got,
                                                  static_cast<off64_t>(offset + got), &error);
      libewf_error_free(&error);
      if (n <= 0) {
        *errorNumber = EIO;
        return false;
      }
      got += static_cast<size_t>(n);
    }
    // A chunk whose stored checksum does not match its data was read damaged;
    // libewf lists such chunks once, so every later read of them fails too.
    collectChecksumErrors();
    const uint64_t first = offset / 512, last = (offset + count - 1) / 512;
    for (const auto& [start, sectors] : damaged_) {
      if (start <= last && first < start + sectors) {
        *errorNumber = EIO;
        return false;
      }
    }
    return true;
  }
  uint64_t sizeBytes() const override { return size_; }
  ImageFormat format() const override { return ImageFormat::Ewf; }

  void collectChecksumErrors() {
    libewf_error_t* error = nullptr;
    uint32_t errors = 0;
    if (libewf_handle_get_number_of_checksum_errors(handle_, &errors, &error) != 1) {
      libewf_error_free(&error);
      return;
    }
    for (uint32_t i = checksumErrors_; i < errors; ++i) {
      uint64_t start = 0, sectors = 0;
      if (libewf_handle_get_checksum_error(handle_, i, &start, &sectors, &error) == 1 && sectors > 0)
        damaged_.emplace_back(start, sectors);
      libewf_error_free(&error);
    }
    checksumErrors_ = errors;
  }
  std::string storedMd5() const override { return md5_; }

 private:
  libewf_handle_t* handle_ = nullptr;
  uint64_t size_ = 0;
  uint32_t checksumErrors_ = 0;
  std::string md5_;
  std::vector<std::pair<uint64_t, uint64_t>> damaged_;  // first sector, sector count
  std::mutex mutex_;
};

}  // namespace

std::unique_ptr<ImageBackend> openEwfBackend(const std::string& path, int* errorNumber, std::string* message) {
  const std::string prefix = "EWF image '" + path + "': ";
  uint8_t head[13] = {};
  if (FILE* f = std::fopen(path.c_str(), "rbe")) {
    const size_t n = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    if (n == sizeof head && head[0] == 'L') {
      *errorNumber = EINVAL;
      *message = prefix + "a logical evidence file (L01) holds files, not a disk; export its files instead";
      return nullptr;
    }
  }
  libewf_error_t* error = nullptr;
  char** names = nullptr;
  int count = 0;
  std::vector<char*> files;
  std::vector<std::string> single{path};
  const bool globbed = libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &error) == 1;
  libewf_error_free(&error);
  if (globbed && count > 0) {
    files.assign(names, names + count);
  } else {
    // A name without the .E01 pattern: the file alone.
    files.push_back(single[0].data());
  }
  // Each EWF1 segment names its own number after the signature: a renamed
  // or misplaced segment is refused before libewf stitches the data together.
  for (size_t i = 0; i < files.size(); ++i) {
    uint8_t header[13] = {};
    FILE* f = std::fopen(files[i], "rbe");
    const size_t n = f ? std::fread(header, 1, sizeof header, f) : 0;
    if (f) std::fclose(f);
    if (n != sizeof header || header[0] != 'E' || header[3] != 0x09) continue;  // EWF2 segments carry it elsewhere
    const unsigned number = header[9] | (header[10] << 8);
    if (number != i + 1) {
      *errorNumber = EINVAL;
      *message = prefix + "segment '" + std::string(files[i]) + "' holds segment " + std::to_string(number) +
                 ", expected " + std::to_string(i + 1) + ": the segments are out of order or come from different images";
      if (globbed) libewf_glob_free(names, count, nullptr);
      return nullptr;
    }
  }
  libewf_handle_t* handle = nullptr;
  if (libewf_handle_initialize(&handle, &error) != 1) {
    if (globbed) libewf_glob_free(names, count, nullptr);
    *errorNumber = ENOMEM;
    *message = prefix + describe(error);
    return nullptr;
  }
  const int opened = libewf_handle_open(handle, files.data(), static_cast<int>(files.size()), LIBEWF_OPEN_READ, &error);
  if (globbed) libewf_glob_free(names, count, nullptr);
  if (opened != 1) {
    std::string why = describe(error);
    libewf_handle_free(&handle, nullptr);
    *errorNumber = EIO;
    *message = prefix + "can not be opened (" + std::to_string(files.size()) + " segment" +
               (files.size() == 1 ? "" : "s") + " found): " + why;
    return nullptr;
  }
  auto backend = std::make_unique<EwfBackend>(handle);
  std::string why;
  if (!backend->init(&why)) {
    *errorNumber = EIO;
    *message = prefix + why + " (" + std::to_string(files.size()) + " segment" + (files.size() == 1 ? "" : "s") +
               " found)";
    return nullptr;
  }
  return backend;
}

}  // namespace brenix
