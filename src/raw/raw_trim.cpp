#include "raw/raw_trim.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string_view>
#include <vector>

namespace brenix {

namespace {

inline uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
inline uint64_t be64(const uint8_t* p) { return uint64_t(be32(p)) << 32 | be32(p + 4); }
inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// A read window over the carved file, bounded by `bound`.
class Window {
 public:
  static constexpr size_t kBlock = 64 * 1024;
  Window(const RawByteSource& src, uint64_t bound) : src_(src), bound_(bound), buf_(kBlock) {}
  uint64_t bound() const { return bound_; }

  // Pointer to n bytes at off (n <= kBlock), or null when they are not all readable.
  const uint8_t* at(uint64_t off, size_t n) {
    if (n > kBlock || off > bound_ || n > bound_ - off) return nullptr;
    if (!(off >= base_ && off + n <= base_ + have_)) {
      base_ = off;
      size_t want = static_cast<size_t>(std::min<uint64_t>(kBlock, bound_ - off));
      have_ = src_(off, buf_.data(), want);
      if (have_ > want) have_ = 0;
      if (off + n > base_ + have_) return nullptr;
    }
    return buf_.data() + (off - base_);
  }
  bool byte(uint64_t off, uint8_t& v) {
    const uint8_t* p = at(off, 1);
    if (!p) return false;
    v = *p;
    return true;
  }
  // First offset >= from (and < to) where needle starts, or -1.
  int64_t find(uint64_t from, uint64_t to, std::string_view needle) {
    to = std::min(to, bound_);
    size_t n = needle.size();
    while (from + n <= to) {
      size_t span = static_cast<size_t>(std::min<uint64_t>(kBlock, to - from));
      if (span < n) break;
      const uint8_t* p = at(from, span);
      if (!p) {
        // A failed or short read: look at what could be read.
        span = have_ > 0 && from >= base_ ? static_cast<size_t>(base_ + have_ - from) : 0;
        if (span < n) return -1;
        p = buf_.data() + (from - base_);
      }
      const void* hit = memmem(p, span, needle.data(), n);
      if (hit) return static_cast<int64_t>(from + (static_cast<const uint8_t*>(hit) - p));
      from += span - n + 1;
    }
    return -1;
  }

 private:
  const RawByteSource& src_;
  uint64_t bound_;
  std::vector<uint8_t> buf_;
  uint64_t base_ = 0;
  size_t have_ = 0;
};

uint64_t jpegEnd(Window& w) {
  uint64_t pos = 2;
  for (int guard = 0; guard < 1'000'000; ++guard) {
    const uint8_t* p = w.at(pos, 2);
    if (!p || p[0] != 0xFF) return 0;
    uint8_t m = p[1];
    if (m == 0xFF) {  // fill byte
      ++pos;
      continue;
    }
    if (m == 0xD9) return pos + 2;
    // A second start-of-image at the top level: this picture is cut short
    // and another begins, so its end is unknown.
    if (m == 0xD8) return 0;
    if ((m >= 0xD0 && m <= 0xD7) || m == 0x01) {
      pos += 2;
      continue;
    }
    const uint8_t* l = w.at(pos + 2, 2);
    if (!l) return 0;
    uint16_t len = be16(l);
    if (len < 2) return 0;
    pos += 2 + uint64_t(len);
    if (m != 0xDA) continue;
    // Entropy-coded data: up to the next marker that is not a stuffed zero or a restart.
    while (true) {
      int64_t ff = w.find(pos, w.bound(), std::string_view("\xFF", 1));
      if (ff < 0) return 0;
      uint8_t next;
      if (!w.byte(uint64_t(ff) + 1, next)) return 0;
      if (next == 0x00 || (next >= 0xD0 && next <= 0xD7) || next == 0xFF) {
        pos = uint64_t(ff) + (next == 0xFF ? 1 : 2);
        continue;
      }
      pos = uint64_t(ff);
      break;
    }
  }
  return 0;
}

uint64_t pngEnd(Window& w) {
  uint64_t pos = 8;
  for (int guard = 0; guard < 10'000'000; ++guard) {
    const uint8_t* p = w.at(pos, 8);
    if (!p) return 0;
    uint32_t len = be32(p);
    if (len > 0x7FFFFFFFu) return 0;
    for (int i = 4; i < 8; ++i)
      if (!((p[i] >= 'A' && p[i] <= 'Z') || (p[i] >= 'a' && p[i] <= 'z'))) return 0;
    bool iend = std::memcmp(p + 4, "IEND", 4) == 0;
    pos += 12 + uint64_t(len);
    if (pos > w.bound()) return 0;
    if (iend) return pos;
  }
  return 0;
}

// GIF data sub-blocks from pos; returns the offset after the terminator, 0 on failure.
uint64_t skipSubBlocks(Window& w, uint64_t pos) {
  while (true) {
    uint8_t n;
    if (!w.byte(pos, n)) return 0;
    pos += 1 + uint64_t(n);
    if (n == 0) return pos;
  }
}

uint64_t gifEnd(Window& w) {
  const uint8_t* h = w.at(0, 13);
  if (!h) return 0;
  uint64_t pos = 13;
  if (h[10] & 0x80) pos += 3ull << ((h[10] & 7) + 1);
  while (true) {
    uint8_t b;
    if (!w.byte(pos, b)) return 0;
    if (b == 0x3B) return pos + 1;
    if (b == 0x21) {
      pos = skipSubBlocks(w, pos + 2);
    } else if (b == 0x2C) {
      const uint8_t* d = w.at(pos, 10);
      if (!d) return 0;
      pos += 10;
      if (d[9] & 0x80) pos += 3ull << ((d[9] & 7) + 1);
      pos = skipSubBlocks(w, pos + 1);
    } else {
      return 0;
    }
    if (pos == 0) return 0;
  }
}

uint64_t bmpEnd(Window& w) {
  const uint8_t* h = w.at(0, 18);
  if (!h) return 0;
  uint32_t size = le32(h + 2);
  uint32_t dib = le32(h + 14);
  uint32_t dataOffset = le32(h + 10);
  bool dibOk = dib == 12 || dib == 40 || dib == 52 || dib == 56 || dib == 64 || dib == 108 || dib == 124;
  if (!dibOk || size < 14 + dib || dataOffset > size || size > w.bound()) return 0;
  return size;
}

struct Tiff {
  Window& w;
  bool little;
  uint64_t end = 0;
  bool pastBound = false;  // some referenced data lies past the bound: the cut stays
  uint16_t u16(const uint8_t* p) const { return little ? le16(p) : be16(p); }
  uint32_t u32(const uint8_t* p) const { return little ? le32(p) : be32(p); }
  void extend(uint64_t off, uint64_t len) {
    if (off + len <= w.bound())
      end = std::max(end, off + len);
    else
      pastBound = true;
  }
  // Values of an entry (SHORT or LONG), up to `limit` of them.
  std::vector<uint32_t> values(uint16_t type, uint32_t count, const uint8_t* inlineValue, uint32_t limit) {
    std::vector<uint32_t> out;
    size_t unit = type == 3 ? 2 : type == 4 || type == 13 ? 4 : 0;
    if (unit == 0 || count == 0 || count > limit) return out;
    uint64_t bytes = uint64_t(unit) * count;
    const uint8_t* p = inlineValue;
    std::vector<uint8_t> tmp;
    if (bytes > 4) {
      uint64_t off = u32(inlineValue);
      tmp.resize(static_cast<size_t>(bytes));
      for (uint64_t done = 0; done < bytes;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(Window::kBlock, bytes - done));
        const uint8_t* q = w.at(off + done, n);
        if (!q) return out;
        std::memcpy(tmp.data() + done, q, n);
        done += n;
      }
      p = tmp.data();
    }
    out.reserve(count);
    for (uint32_t i = 0; i < count; ++i) out.push_back(unit == 2 ? u16(p + 2 * i) : u32(p + 4 * i));
    return out;
  }
};

uint64_t tiffEnd(Window& w, bool little) {
  Tiff t{w, little};
  const uint8_t* h = w.at(0, 8);
  if (!h) return 0;
  std::vector<uint32_t> queue = {t.u32(h + 4)};
  std::vector<uint32_t> seen;
  static const size_t kTypeSize[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4, 0, 0, 8, 8, 8};
  constexpr uint32_t kMaxStrips = 1 << 20;
  while (!queue.empty() && seen.size() < 256) {
    uint32_t ifd = queue.back();
    queue.pop_back();
    if (ifd < 8 || std::find(seen.begin(), seen.end(), ifd) != seen.end()) continue;
    seen.push_back(ifd);
    const uint8_t* c = w.at(ifd, 2);
    if (!c) return 0;
    uint16_t n = t.u16(c);
    if (n == 0 || n > 4096) return 0;
    t.extend(ifd, 2 + 12ull * n + 4);
    std::vector<uint8_t> entries(12ull * n + 4);
    const uint8_t* e = w.at(uint64_t(ifd) + 2, entries.size());
    if (!e) return 0;
    std::memcpy(entries.data(), e, entries.size());
    std::vector<uint32_t> offs[3], counts[3];  // strips, tiles, JPEG thumbnail
    for (uint16_t i = 0; i < n; ++i) {
      const uint8_t* en = entries.data() + 12 * i;
      uint16_t tag = t.u16(en), type = t.u16(en + 2);
      uint32_t count = t.u32(en + 4);
      size_t unit = type < std::size(kTypeSize) ? kTypeSize[type] : 0;
      uint64_t bytes = uint64_t(unit) * count;
      if (bytes > 4) t.extend(t.u32(en + 8), bytes);
      switch (tag) {
        case 273: offs[0] = t.values(type, count, en + 8, kMaxStrips); break;
        case 279: counts[0] = t.values(type, count, en + 8, kMaxStrips); break;
        case 324: offs[1] = t.values(type, count, en + 8, kMaxStrips); break;
        case 325: counts[1] = t.values(type, count, en + 8, kMaxStrips); break;
        case 513: offs[2] = t.values(type, count, en + 8, 1); break;
        case 514: counts[2] = t.values(type, count, en + 8, 1); break;
        case 330:
        case 34665:
        case 34853:
        case 40965:
          for (uint32_t v : t.values(type, count, en + 8, 64)) queue.push_back(v);
          break;
        default: break;
      }
    }
    for (int k = 0; k < 3; ++k)
      for (size_t i = 0; i < std::min(offs[k].size(), counts[k].size()); ++i) t.extend(offs[k][i], counts[k][i]);
    uint32_t next = t.u32(entries.data() + 12 * n);
    if (next != 0) queue.push_back(next);
  }
  return t.pastBound ? 0 : t.end;
}

uint64_t rafEnd(Window& w) {
  const uint8_t* h = w.at(0, 108);
  if (!h) return 0;
  uint64_t end = 0;
  for (int off : {84, 92, 100}) {
    uint64_t e = uint64_t(be32(h + off)) + be32(h + off + 4);
    if (e <= w.bound()) end = std::max(end, e);
  }
  return end;
}

uint64_t zipEnd(Window& w) {
  uint64_t from = 0;
  while (true) {
    int64_t p = w.find(from, w.bound(), std::string_view("PK\x05\x06", 4));
    if (p < 0) return 0;
    const uint8_t* e = w.at(uint64_t(p), 22);
    if (!e) return 0;
    uint32_t cdSize = le32(e + 12), cdOffset = le32(e + 16);
    uint16_t comment = le16(e + 20);
    bool zip64 = cdOffset == 0xFFFFFFFFu || cdSize == 0xFFFFFFFFu;
    if (zip64) {
      const uint8_t* loc = p >= 20 ? w.at(uint64_t(p) - 20, 4) : nullptr;
      zip64 = loc && le32(loc) == 0x07064b50u;
    }
    if (zip64 || uint64_t(cdOffset) + cdSize == uint64_t(p)) {
      uint64_t end = uint64_t(p) + 22 + comment;
      return end <= w.bound() ? end : 0;
    }
    from = uint64_t(p) + 1;
  }
}

bool containsAny(Window& w, uint64_t from, uint64_t to, std::initializer_list<std::string_view> words) {
  for (std::string_view s : words)
    if (w.find(from, to, s) >= 0) return true;
  return false;
}

uint64_t pdfEnd(Window& w) {
  uint64_t from = 0, last = 0;
  while (true) {
    int64_t p = w.find(from, w.bound(), "%%EOF");
    if (p < 0) return last;
    uint64_t e = uint64_t(p) + 5;
    uint8_t c;
    if (w.byte(e, c) && c == '\r') ++e;
    if (w.byte(e, c) && c == '\n') ++e;
    last = e;
    // An incremental update follows a %%EOF with new objects or a new xref;
    // anything else after it is not part of the file.
    if (!containsAny(w, e, e + 4096, {"obj", "xref"})) return last;
    from = e;
  }
}

uint64_t riffEnd(Window& w) {
  const uint8_t* h = w.at(0, 12);
  if (!h) return 0;
  uint64_t end = 8 + uint64_t(le32(h + 4));
  return end >= 12 && end <= w.bound() ? end : 0;
}

bool isBoxType(const uint8_t* t) {
  for (int i = 0; i < 4; ++i)
    if (t[i] < 0x20 || t[i] > 0x7E) return false;
  return true;
}

uint64_t bmffEnd(Window& w) {
  uint64_t pos = 0;
  for (int guard = 0; guard < 100'000; ++guard) {
    const uint8_t* b = w.at(pos, 8);
    if (!b || !isBoxType(b + 4)) break;
    uint64_t size = be32(b);
    if (size == 1) {
      const uint8_t* l = w.at(pos + 8, 8);
      if (!l) break;
      size = be64(l);
      if (size < 16) break;
    } else if (size == 0) {
      return 0;  // runs to the end of the file: keep the cut
    } else if (size < 8) {
      break;
    }
    if (size > w.bound() - pos) return 0;  // a box cut by the bound: keep the cut
    pos += size;
    if (pos == w.bound()) return pos;
  }
  return pos;
}

// EBML variable-length integer at pos: value and length; for sizes,
// `unknown` is set when all value bits are one.
bool ebmlVint(Window& w, uint64_t pos, bool isId, uint64_t& value, size_t& len, bool& unknown) {
  uint8_t first;
  if (!w.byte(pos, first) || first == 0) return false;
  len = 1;
  while (!(first & (0x80 >> (len - 1)))) ++len;
  if (len > 8) return false;
  const uint8_t* p = w.at(pos, len);
  if (!p) return false;
  value = isId ? first : (first & (0xFF >> len));
  bool allOnes = value == (0xFFu >> len);
  for (size_t i = 1; i < len; ++i) {
    value = value << 8 | p[i];
    allOnes = allOnes && p[i] == 0xFF;
  }
  unknown = !isId && allOnes;
  return true;
}

uint64_t ebmlEnd(Window& w) {
  uint64_t pos = 0;
  for (int element = 0; element < 2; ++element) {
    uint64_t id, size;
    size_t idLen, sizeLen;
    bool unknown;
    if (!ebmlVint(w, pos, true, id, idLen, unknown)) return 0;
    if (!ebmlVint(w, pos + idLen, false, size, sizeLen, unknown) || unknown) return 0;
    if (element == 0 && id != 0x1A45DFA3) return 0;
    if (element == 1 && id != 0x18538067) return 0;
    uint64_t dataStart = pos + idLen + sizeLen;
    if (size > w.bound() - std::min(dataStart, w.bound())) return 0;
    pos = dataStart + size;
  }
  return pos;
}

uint64_t formatEnd(const RawByteSource& source, uint64_t bound, bool withPdf) {
  Window w(source, bound);
  const uint8_t* h = w.at(0, 16);
  if (!h) return 0;
  uint64_t end = 0;
  if (h[0] == 0xFF && h[1] == 0xD8 && h[2] == 0xFF)
    end = jpegEnd(w);
  else if (std::memcmp(h, "\x89PNG\r\n\x1a\n", 8) == 0)
    end = pngEnd(w);
  else if (std::memcmp(h, "GIF87a", 6) == 0 || std::memcmp(h, "GIF89a", 6) == 0)
    end = gifEnd(w);
  else if (h[0] == 'B' && h[1] == 'M')
    end = bmpEnd(w);
  else if (h[0] == 'I' && h[1] == 'I' && (le16(h + 2) == 42 || le16(h + 2) == 0x4F52 || le16(h + 2) == 0x5352 ||
                                          le16(h + 2) == 0x55))
    end = tiffEnd(w, true);
  else if (h[0] == 'M' && h[1] == 'M' && be16(h + 2) == 42)
    end = tiffEnd(w, false);
  else if (std::memcmp(h, "FUJIFILMCCD-RAW ", 16) == 0)
    end = rafEnd(w);
  else if (std::memcmp(h, "PK\x03\x04", 4) == 0)
    end = zipEnd(w);
  else if (std::memcmp(h, "%PDF", 4) == 0)
    end = withPdf ? pdfEnd(w) : 0;
  else if (std::memcmp(h, "RIFF", 4) == 0)
    end = riffEnd(w);
  else if (std::memcmp(h, "\x1A\x45\xDF\xA3", 4) == 0)
    end = ebmlEnd(w);
  else if (isBoxType(h + 4) && (std::memcmp(h + 4, "ftyp", 4) == 0 || std::memcmp(h + 4, "moov", 4) == 0 ||
                                std::memcmp(h + 4, "mdat", 4) == 0 || std::memcmp(h + 4, "wide", 4) == 0 ||
                                std::memcmp(h + 4, "free", 4) == 0 || std::memcmp(h + 4, "skip", 4) == 0))
    end = bmffEnd(w);
  return end <= bound ? end : 0;
}

}  // namespace

uint64_t rawFormatEnd(const RawByteSource& source, uint64_t bound) { return formatEnd(source, bound, true); }

uint64_t rawStructuralEnd(const RawByteSource& source, uint64_t bound) { return formatEnd(source, bound, false); }

}  // namespace brenix
