#pragma once
// Where a volume's bytes come from: a drive or image through SectorReader, or
// memory (tests and fuzz targets). The file-system readers take one of these.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "disk/sector_reader.h"

namespace brenix {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads exactly n bytes at an absolute byte offset; false on any shortfall.
  virtual bool read(uint64_t offset, void* buffer, size_t n) const = 0;
  // Size in bytes, 0 when unknown.
  virtual uint64_t size() const = 0;
};

std::unique_ptr<ByteSource> makeMemorySource(std::vector<uint8_t> bytes);
// Bytes held elsewhere; they must outlive the source.
std::unique_ptr<ByteSource> makeMemoryView(std::span<const uint8_t> bytes);
// A drive or image from byte `start` on: offset 0 is the byte at `start`, and
// the size is what lies from there to the end.
std::unique_ptr<ByteSource> makeReaderSource(SectorReader reader, uint64_t start = 0);

}  // namespace brenix
