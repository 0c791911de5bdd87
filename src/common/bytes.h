#pragma once
// Little-endian field access over byte buffers. Every on-disk structure in the
// project is little-endian; these helpers take the buffer's length so a field
// that would run past the end reads as zero instead of out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace brenix {

inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t le64(const uint8_t* p) {
  return static_cast<uint64_t>(le32(p)) | (static_cast<uint64_t>(le32(p + 4)) << 32);
}

inline void putLe16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
inline void putLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void putLe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Bounds-checked reads: zero when [off, off+width) is not inside the span.
inline uint8_t u8At(std::span<const uint8_t> b, size_t off) { return off < b.size() ? b[off] : 0; }
inline uint16_t u16At(std::span<const uint8_t> b, size_t off) {
  return (off <= b.size() && b.size() - off >= 2) ? le16(b.data() + off) : 0;
}
inline uint32_t u32At(std::span<const uint8_t> b, size_t off) {
  return (off <= b.size() && b.size() - off >= 4) ? le32(b.data() + off) : 0;
}
inline uint64_t u64At(std::span<const uint8_t> b, size_t off) {
  return (off <= b.size() && b.size() - off >= 8) ? le64(b.data() + off) : 0;
}
// True when [off, off+len) lies inside a buffer of `size` bytes (no overflow).
inline bool inBounds(size_t size, uint64_t off, uint64_t len) {
  return off <= size && len <= size - off;
}
inline bool bytesEqual(std::span<const uint8_t> b, size_t off, const char* text) {
  size_t n = std::strlen(text);
  return inBounds(b.size(), off, n) && std::memcmp(b.data() + off, text, n) == 0;
}

}  // namespace brenix
