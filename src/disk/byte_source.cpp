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

class MemoryView final : public ByteSource {
 public:
  explicit MemoryView(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  bool read(uint64_t offset, void* buffer, size_t n) const override {
    if (!inBounds(bytes_.size(), offset, n)) return false;
    std::memcpy(buffer, bytes_.data() + offset, n);
    return true;
  }
  uint64_t size() const override { return bytes_.size(); }

 private:
  std::span<const uint8_t> bytes_;
};

class ReaderSource final : public ByteSource {
 public:
  ReaderSource(SectorReader reader, uint64_t start) : reader_(std::move(reader)), start_(start) {}
  bool read(uint64_t offset, void* buffer, size_t n) const override {
    if (offset > UINT64_MAX - start_) return false;
    return reader_.readBytesAt(start_ + offset, buffer, n);
  }
  uint64_t size() const override {
    const uint64_t total = reader_.sizeBytes();
    return total > start_ ? total - start_ : 0;
  }

 private:
  SectorReader reader_;
  uint64_t start_;
};

}  // namespace

std::unique_ptr<ByteSource> makeMemorySource(std::vector<uint8_t> bytes) {
  return std::make_unique<MemorySource>(std::move(bytes));
}

std::unique_ptr<ByteSource> makeMemoryView(std::span<const uint8_t> bytes) { return std::make_unique<MemoryView>(bytes); }

std::unique_ptr<ByteSource> makeReaderSource(SectorReader reader, uint64_t start) {
  return std::make_unique<ReaderSource>(std::move(reader), start);
}

}  // namespace brenix
