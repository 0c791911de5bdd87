#include "disk/byte_source.h"

#include <cstring>
#include <utility>

#include "common/bytes.h"

namespace brenix {
namespace {

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  bool read(uint64_t offset, void* buffer, size_t n) const override {
    if (!inBounds(bytes_.size(), offset, n)) return false;
    std::memcpy(buffer, bytes_.data() + offset, n);
    return true;
  }
  uint64_t size() const override { return bytes_.size(); }

 private:
  std::vector<uint8_t> bytes_;
};

class ReaderSource final : public ByteSource {
 public:
  explicit ReaderSource(SectorReader reader) : reader_(std::move(reader)) {}
  bool read(uint64_t offset, void* buffer, size_t n) const override { return reader_.readBytesAt(offset, buffer, n); }
  uint64_t size() const override { return reader_.sizeBytes(); }

 private:
  SectorReader reader_;
};

}  // namespace

std::unique_ptr<ByteSource> makeMemorySource(std::vector<uint8_t> bytes) {
  return std::make_unique<MemorySource>(std::move(bytes));
}

std::unique_ptr<ByteSource> makeReaderSource(SectorReader reader) {
  return std::make_unique<ReaderSource>(std::move(reader));
}

}  // namespace brenix
