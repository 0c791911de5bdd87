#pragma once
// Where a volume's bytes come from: a drive or image through SectorReader, or
// memory (tests and fuzz targets). The file-system readers take one of these.
#include <cstddef>
#include <cstdint>
#include <memory>
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
std::unique_ptr<ByteSource> makeReaderSource(SectorReader reader);

}  // namespace brenix
