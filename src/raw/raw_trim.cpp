#include "raw/raw_trim.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <string_view>
#include <vector>

#include "common/text.h"

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

// CRC-32 as PNG and 7z use it (eight bytes a step).
uint32_t crc32Update(uint32_t crc, const uint8_t* p, size_t n) {
  static const auto table = [] {
    std::array<std::array<uint32_t, 256>, 8> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
      for (int k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
  }();
  crc = ~crc;
  for (; n >= 8; n -= 8, p += 8) {
    uint32_t lo = le32(p) ^ crc, hi = le32(p + 4);
    crc = table[7][lo & 0xFF] ^ table[6][(lo >> 8) & 0xFF] ^ table[5][(lo >> 16) & 0xFF] ^ table[4][lo >> 24] ^
          table[3][hi & 0xFF] ^ table[2][(hi >> 8) & 0xFF] ^ table[1][(hi >> 16) & 0xFF] ^ table[0][hi >> 24];
  }
  for (; n > 0; --n, ++p) crc = table[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

// A read window over the carved file, bounded by `bound`: one large buffer,
// refilled only when a request leaves it.
class Window {
 public:
  static constexpr size_t kBlock = 1024 * 1024;
  // The buffer is one per thread, reused by every walk (walks do not nest).
  Window(const RawByteSource& src, uint64_t bound) : src_(src), bound_(bound), buf_(buffer()) {}
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;
  uint64_t bound() const { return bound_; }

  // Pointer to n bytes at off (n <= kBlock), or null when they are not all
  // readable. A refill reads `ahead` bytes (at least n) from off; by
  // default 64 KiB at first, twice as much with every refill after it, up
  // to the whole buffer, so small files cost small reads and long walks
  // few reads.
  const uint8_t* at(uint64_t off, size_t n, size_t ahead = 0) {
    if (n > kBlock || off > bound_ || n > bound_ - off) return nullptr;
    if (!(off >= base_ && off + n <= base_ + have_)) {
      base_ = off;
      if (ahead == 0) {
        ahead = grow_;
        grow_ = std::min(kBlock, grow_ * 2);
      }
      size_t want = static_cast<size_t>(std::min<uint64_t>(std::max(n, std::min(ahead, kBlock)), bound_ - off));
      have_ = src_(off, buf_.data(), want);
      if (have_ > want) have_ = 0;
      if (off + n > base_ + have_) return nullptr;
    }
    return buf_.data() + (off - base_);
  }
  bool byte(uint64_t off, uint8_t& v, size_t ahead = 0) {
    const uint8_t* p = at(off, 1, ahead);
    if (!p) return false;
    v = *p;
    return true;
  }
  // Bytes readable in the buffer from off (after at(off, ...) succeeded).
  size_t availFrom(uint64_t off) const {
    return off >= base_ && off < base_ + have_ ? static_cast<size_t>(base_ + have_ - off) : 0;
  }
  // First offset >= from (and < to) where needle starts, or -1.
  int64_t find(uint64_t from, uint64_t to, std::string_view needle) {
    to = std::min(to, bound_);
    const size_t n = needle.size();
    while (from + n <= to) {
      if (availFrom(from) < n && !at(from, n)) return -1;
      size_t span = static_cast<size_t>(std::min<uint64_t>(availFrom(from), to - from));
      if (span < n) return -1;
      const uint8_t* p = buf_.data() + (from - base_);
      const void* hit = findBytes(p, span, needle.data(), n);
      if (hit) return static_cast<int64_t>(from + (static_cast<const uint8_t*>(hit) - p));
      from += span - n + 1;
    }
    return -1;
  }
  // CRC-32 of len bytes at off; false when they cannot all be read.
  bool crc(uint64_t off, uint64_t len, uint32_t& out) {
    uint32_t c = 0;
    while (len > 0) {
      if (availFrom(off) == 0 && !at(off, 1)) return false;
      size_t span = static_cast<size_t>(std::min<uint64_t>(availFrom(off), len));
      c = crc32Update(c, buf_.data() + (off - base_), span);
      off += span;
      len -= span;
    }
    out = c;
    return true;
  }

 private:
  static std::vector<uint8_t>& buffer() {
    thread_local std::vector<uint8_t> b(kBlock);
    return b;
  }
  const RawByteSource& src_;
  uint64_t bound_;
  std::vector<uint8_t>& buf_;
  uint64_t base_ = 0;
  size_t have_ = 0;
  size_t grow_ = 64 * 1024;
};

// One JPEG marker walk from `start` (its SOI).
struct JpegScan {
  uint64_t end = 0;        // past EOI when complete
  bool complete = false;   // reached EOI through valid segments
  uint64_t cutAt = 0;      // when incomplete: where its valid data ends, 0 = unknown
  uint64_t mpfTiff = 0;    // offset of the MPF index's TIFF header, 0 = none
};

bool jpegSegmentMarker(uint8_t m) {
  return (m >= 0xC0 && m <= 0xCF) || (m >= 0xDA && m <= 0xDF) || (m >= 0xE0 && m <= 0xEF) || m == 0xF7 ||
         m == 0xF8 || m == 0xFE;
}

// The end of valid data before a zero sector at `zero` (offsets relative to
// the file): trailing zero bytes of the last data sector are slack.
uint64_t beforeZeroSector(Window& w, uint64_t zero, uint64_t floor) {
  const uint64_t from = std::max(floor, zero >= 512 ? zero - 512 : 0);
  const uint8_t* p = zero > from ? w.at(from, static_cast<size_t>(zero - from), 512) : nullptr;
  if (!p) return zero;
  size_t n = static_cast<size_t>(zero - from);
  while (n > 1 && p[n - 1] == 0) --n;
  if (n < static_cast<size_t>(zero - from) && p[n - 1] == 0xFF) ++n;  // a stuffed FF 00
  return from + n;
}

// Entropy-coded data from pos: the offset of the next marker that is not a
// stuffed zero, a restart or a fill byte; or of the first all-zero sector
// (zero = true); -1 at the bound.
int64_t entropyEnd(Window& w, uint64_t pos, bool& zero) {
  static const uint8_t kZeros[512] = {};
  zero = false;
  uint64_t cur = pos;
  while (cur < w.bound()) {
    if (w.availFrom(cur) == 0 && !w.at(cur, 1)) return -1;
    const size_t avail = static_cast<size_t>(std::min<uint64_t>(w.availFrom(cur), w.bound() - cur));
    const uint8_t* p = w.at(cur, 1);
    const void* ff = memchr(p, 0xFF, avail);
    const uint64_t stop = ff ? cur + uint64_t(static_cast<const uint8_t*>(ff) - p) : cur + avail;
    for (uint64_t a = (cur + 511) / 512 * 512; a + 512 <= stop; a += 512) {
      const uint8_t* s = p + (a - cur);
      if (s[0] == 0 && s[511] == 0 && std::memcmp(s, kZeros, 512) == 0) {
        zero = true;
        return static_cast<int64_t>(a);
      }
    }
    if (!ff) {
      cur = stop;
      continue;
    }
    uint8_t next;
    if (!w.byte(stop + 1, next)) return -1;
    if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
      cur = stop + 2;
    } else if (next == 0xFF) {
      cur = stop + 1;
    } else {
      return static_cast<int64_t>(stop);
    }
  }
  return -1;
}

JpegScan jpegScan(Window& w, uint64_t start) {
  JpegScan r;
  uint64_t pos = start + 2;
  uint64_t entropyStart = 0;  // first entropy-coded byte of the first scan, 0 = none yet
  // Where the walk broke after entropy-coded data: garbage begins at the
  // sector boundary at or before it (files start on sectors).
  auto broken = [&](uint64_t at) {
    if (entropyStart != 0) r.cutAt = std::max(entropyStart, at / 512 * 512);
  };
  for (int guard = 0; guard < 1'000'000; ++guard) {
    const uint8_t* p = w.at(pos, 2);
    if (!p || p[0] != 0xFF) {
      if (p) broken(pos);
      return r;
    }
    uint8_t m = p[1];
    if (m == 0xFF) {  // fill byte
      ++pos;
      continue;
    }
    if (m == 0xD9) {
      r.end = pos + 2;
      r.complete = true;
      return r;
    }
    if ((m >= 0xD0 && m <= 0xD7) || m == 0x01) {
      pos += 2;
      continue;
    }
    // A second start-of-image or a marker no JPEG has: the picture was cut
    // short here.
    if (!jpegSegmentMarker(m)) {
      broken(pos);
      return r;
    }
    const uint8_t* l = w.at(pos + 2, 2);
    if (!l) return r;
    uint16_t len = be16(l);
    if (len < 2) {
      broken(pos);
      return r;
    }
    if (m == 0xE2 && len >= 16 && r.mpfTiff == 0) {
      const uint8_t* t = w.at(pos + 4, 4);
      if (t && std::memcmp(t, "MPF\0", 4) == 0) r.mpfTiff = pos + 8;
    }
    pos += 2 + uint64_t(len);
    if (m != 0xDA) continue;
    if (entropyStart == 0) entropyStart = pos;
    bool zero = false;
    int64_t e = entropyEnd(w, pos, zero);
    if (e < 0) return r;  // runs to the bound: the cut stays
    if (zero) {
      r.cutAt = std::max(entropyStart, beforeZeroSector(w, uint64_t(e), entropyStart));
      return r;
    }
    pos = uint64_t(e);
  }
  return r;
}

// Offsets (from the file's start) and sizes of the images an MPF index
// appends after the first one.
std::vector<std::pair<uint64_t, uint64_t>> mpfImages(Window& w, uint64_t tiff) {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  const uint8_t* h = w.at(tiff, 8, 4096);
  if (!h) return out;
  bool little = h[0] == 'I' && h[1] == 'I';
  if (!little && !(h[0] == 'M' && h[1] == 'M')) return out;
  auto u16 = [&](const uint8_t* p) { return little ? le16(p) : be16(p); };
  auto u32 = [&](const uint8_t* p) { return little ? le32(p) : be32(p); };
  uint64_t ifd = tiff + u32(h + 4);
  const uint8_t* c = w.at(ifd, 2, 4096);
  if (!c) return out;
  uint16_t n = u16(c);
  if (n == 0 || n > 64) return out;
  const uint8_t* e = w.at(ifd + 2, 12u * n, 4096);
  if (!e) return out;
  uint64_t entriesAt = 0;
  uint32_t count = 0;
  for (uint16_t i = 0; i < n; ++i) {
    const uint8_t* en = e + 12 * i;
    if (u16(en) == 0xB002 && u16(en + 2) == 7) {
      count = u32(en + 4) / 16;
      entriesAt = tiff + u32(en + 8);
    }
  }
  if (count < 2 || count > 64) return out;
  const uint8_t* m = w.at(entriesAt, 16u * count, 4096);
  if (!m) return out;
  std::vector<uint8_t> entries(m, m + 16u * count);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t size = u32(entries.data() + 16 * i + 4), off = u32(entries.data() + 16 * i + 8);
    if (off != 0 && size > 0) out.push_back({tiff + off, size});
  }
  return out;
}

// A JPEG: to its EOI, then through the images its MPF index appends.
RawFormatWalk jpegWalk(Window& w) {
  RawFormatWalk r;
  JpegScan s = jpegScan(w, 0);
  if (!s.complete) {
    r.end = s.cutAt;
    return r;
  }
  r.end = s.end;
  r.verified = true;
  if (s.mpfTiff == 0) return r;
  for (auto [off, size] : mpfImages(w, s.mpfTiff)) {
    if (off < s.end || off > w.bound() || size > w.bound() - off) continue;
    const uint8_t* soi = w.at(off, 3, 4096);
    if (!soi || soi[0] != 0xFF || soi[1] != 0xD8 || soi[2] != 0xFF) continue;
    JpegScan a = jpegScan(w, off);
    if (!a.complete) {
      r.verified = false;  // an appended image is cut short: keep up to its valid data
      r.end = std::max(r.end, a.cutAt);
      continue;
    }
    r.end = std::max(r.end, a.end);
    r.anchors.push_back(off);
  }
  return r;
}

// PNG and MNG: chunks to IEND (MEND); verified when every chunk's CRC holds.
RawFormatWalk pngWalk(Window& w, const char* last) {
  RawFormatWalk r;
  uint64_t pos = 8;
  bool crcOk = true;
  for (int guard = 0; guard < 10'000'000; ++guard) {
    const uint8_t* p = w.at(pos, 8);
    if (!p) return r;
    uint32_t len = be32(p);
    if (len > 0x7FFFFFFFu) return r;
    for (int i = 4; i < 8; ++i)
      if (!((p[i] >= 'A' && p[i] <= 'Z') || (p[i] >= 'a' && p[i] <= 'z'))) return r;
    bool end = std::memcmp(p + 4, last, 4) == 0;
    uint64_t next = pos + 12 + uint64_t(len);
    if (next > w.bound()) return r;
    if (crcOk) {
      uint32_t c = 0;
      const uint8_t* stored = nullptr;
      if (w.crc(pos + 4, 4 + uint64_t(len), c)) stored = w.at(pos + 8 + len, 4);
      crcOk = stored && be32(stored) == c;
    }
    pos = next;
    if (end) {
      r.end = pos;
      r.verified = crcOk;
      return r;
    }
  }
  return r;
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

uint64_t tiffEnd(Window& w, bool little, std::vector<uint64_t>& anchors) {
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
      for (size_t i = 0; i < std::min(offs[k].size(), counts[k].size()); ++i) {
        t.extend(offs[k][i], counts[k][i]);
        // The first strip or tile of an IFD and the JPEG thumbnail are where
        // embedded pictures (previews) start.
        if (i == 0 && anchors.size() < 256) anchors.push_back(offs[k][i]);
      }
    uint32_t next = t.u32(entries.data() + 12 * n);
    if (next != 0) queue.push_back(next);
  }
  if (t.pastBound) return 0;
  // TIFF data sits on word boundaries: writers that end the file with an
  // odd-length value (exiftool, for one) add a zero pad byte, which is the
  // file's last byte.
  if (t.end % 2 == 1 && t.end + 1 <= w.bound()) {
    const uint8_t* pad = w.at(t.end, 1);
    if (pad && *pad == 0) return t.end + 1;
  }
  return t.end;
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

// RIFF: its size field; an AVI whose chunks tile the file up to an index
// (idx1) after its movie data is verified.
RawFormatWalk riffWalk(Window& w) {
  RawFormatWalk r;
  const uint8_t* h = w.at(0, 12);
  if (!h) return r;
  uint64_t end = 8 + uint64_t(le32(h + 4));
  if (end < 12 || end > w.bound()) return r;
  r.end = end;
  if (std::memcmp(h + 8, "AVI ", 4) != 0) return r;
  uint64_t pos = 12;
  bool index = false;
  for (int guard = 0; guard < 100'000 && pos + 8 <= end; ++guard) {
    const uint8_t* c = w.at(pos, 8, 4096);
    if (!c) return r;
    index = std::memcmp(c, "idx1", 4) == 0;
    pos += 8 + uint64_t(le32(c + 4)) + (le32(c + 4) & 1);
  }
  r.verified = index && pos == end;
  return r;
}

// IFF AIFF/AIFC: the FORM size.
RawFormatWalk aiffWalk(Window& w) {
  RawFormatWalk r;
  const uint8_t* h = w.at(0, 12);
  if (!h) return r;
  uint64_t end = 8 + uint64_t(be32(h + 4));
  if (end >= 12 && end <= w.bound()) r.end = end;
  return r;
}

bool isBoxType(const uint8_t* t) {
  for (int i = 0; i < 4; ++i)
    if (t[i] < 0x20 || t[i] > 0x7E) return false;
  return true;
}

bool isTopLevelBox(const uint8_t* t) {
  static const char* const kTypes[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "uuid", "meta", "moof",
                                       "mfra", "sidx", "styp", "pdin", "emsg", "prft", "pnot", "junk", "ssix"};
  for (const char* k : kTypes)
    if (std::memcmp(t, k, 4) == 0) return true;
  return false;
}

// Box-structured files (ISO-BMFF, JPEG 2000, JPEG XL containers): top-level
// boxes from the start. The end is known only once a box holding the media
// (`media`, e.g. mdat) was met; verified when the boxes tile up to a box
// after the media and `index` (e.g. moov) was met too.
RawFormatWalk boxWalk(Window& w, bool knownTypes, std::initializer_list<const char*> media, const char* index) {
  RawFormatWalk r;
  uint64_t pos = 0;
  bool mediaSeen = false, indexSeen = false, lastIsMedia = false;
  for (int guard = 0; guard < 100'000; ++guard) {
    const uint8_t* b = w.at(pos, 8, 4096);
    if (!b || !(knownTypes ? isTopLevelBox(b + 4) : isBoxType(b + 4))) break;
    uint64_t size = be32(b);
    bool isMedia = false;
    for (const char* m : media) isMedia = isMedia || std::memcmp(b + 4, m, 4) == 0;
    if (size == 1) {
      const uint8_t* l = w.at(pos + 8, 8, 4096);
      if (!l) break;
      size = be64(l);
      if (size < 16) break;
    } else if (size == 0) {
      return RawFormatWalk{};  // runs to the end of the file: keep the cut
    } else if (size < 8) {
      break;
    }
    if (size > w.bound() - pos) {
      if (isMedia) return RawFormatWalk{};  // the media is cut by the bound: keep the cut
      break;
    }
    if (index && std::memcmp(b + 4, index, 4) == 0) indexSeen = true;
    mediaSeen = mediaSeen || isMedia;
    lastIsMedia = isMedia;
    pos += size;
    if (pos == w.bound()) break;
  }
  if (!mediaSeen) return r;
  r.end = pos;
  r.verified = (index == nullptr || indexSeen) && !lastIsMedia;
  return r;
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

bool isSegmentChild(uint64_t id) {
  switch (id) {
    case 0x114D9B74: case 0x1549A966: case 0x1654AE6B: case 0x1F43B675: case 0x1C53BB6B:
    case 0x1941A469: case 0x1043A770: case 0x1254C367: case 0xEC: case 0xBF:
      return true;
    default: return false;
  }
}

// Matroska/WebM: EBML header and segment sizes; verified when the segment's
// children tile it exactly.
RawFormatWalk ebmlWalk(Window& w) {
  RawFormatWalk r;
  uint64_t pos = 0, dataStart = 0, size = 0;
  for (int element = 0; element < 2; ++element) {
    uint64_t id;
    size_t idLen, sizeLen;
    bool unknown;
    if (!ebmlVint(w, pos, true, id, idLen, unknown)) return r;
    if (!ebmlVint(w, pos + idLen, false, size, sizeLen, unknown) || unknown) return r;
    if (element == 0 && id != 0x1A45DFA3) return r;
    if (element == 1 && id != 0x18538067) return r;
    dataStart = pos + idLen + sizeLen;
    if (size > w.bound() - std::min(dataStart, w.bound())) return r;
    pos = dataStart + size;
  }
  r.end = pos;
  uint64_t at = dataStart;
  for (int guard = 0; guard < 1'000'000 && at < r.end; ++guard) {
    uint64_t id, len;
    size_t idLen, sizeLen;
    bool unknown;
    if (!ebmlVint(w, at, true, id, idLen, unknown) || !isSegmentChild(id)) return r;
    if (!ebmlVint(w, at + idLen, false, len, sizeLen, unknown) || unknown) return r;
    uint64_t next = at + idLen + sizeLen;
    if (len > r.end - std::min(next, r.end)) return r;
    at = next + len;
  }
  r.verified = at == r.end;
  return r;
}

// MPEG transport stream: packets of `packet` bytes with the sync byte at
// `sync`; the end is the last packet whose sync byte is in place.
RawFormatWalk tsWalk(Window& w, uint32_t packet, uint32_t sync) {
  RawFormatWalk r;
  uint64_t pos = 0, count = 0;
  uint8_t b;
  while (pos + packet <= w.bound() && w.byte(pos + sync, b) && b == 0x47) {
    pos += packet;
    ++count;
  }
  if (count >= 3) {
    r.end = pos;
    r.verified = true;
    r.packet = packet;
  }
  return r;
}

// MPEG program stream: pack headers and the packets between them, up to the
// end code or the last valid packet.
RawFormatWalk psWalk(Window& w) {
  RawFormatWalk r;
  uint64_t pos = 0, packs = 0;
  for (int guard = 0; guard < 10'000'000; ++guard) {
    const uint8_t* p = w.at(pos, 4);
    if (!p || p[0] != 0 || p[1] != 0 || p[2] != 1) break;
    uint8_t id = p[3];
    if (id == 0xB9) {
      pos += 4;
      break;
    }
    p = w.at(pos, 14);
    if (!p) break;
    if (id == 0xBA) {
      if ((p[4] & 0xC4) == 0x44) {  // MPEG-2 pack: marker bits, stuffing in byte 13
        pos += 14 + (p[13] & 0x07);
      } else if ((p[4] & 0xF1) == 0x21) {  // MPEG-1 pack
        pos += 12;
      } else {
        break;
      }
      ++packs;
      continue;
    }
    if (id < 0xBB) break;
    pos += 6 + uint64_t(be16(p + 4));
  }
  if (pos > w.bound()) return r;
  if (packs >= 2) {
    r.end = pos;
    r.verified = true;
    r.packet = 1;
  }
  return r;
}

// Outlook PST: the file size in the header's root (ANSI or Unicode);
// verified when every allocation map page below it carries its page type.
RawFormatWalk pstWalk(Window& w) {
  RawFormatWalk r;
  const uint8_t* h = w.at(0, 512, 4096);
  if (!h || std::memcmp(h + 8, "SM", 2) != 0) return r;
  uint16_t ver = le16(h + 10);
  uint64_t eof = 0;
  uint32_t trailer = 0;
  if (ver == 14 || ver == 15) {
    eof = le32(h + 168);
    trailer = 500;
  } else if (ver >= 23 && ver <= 36) {
    eof = uint64_t(le32(h + 184)) | uint64_t(le32(h + 188)) << 32;
    trailer = 496;
  } else {
    return r;
  }
  if (eof < 0x4400 + 512 || eof > w.bound()) return r;
  r.end = eof;
  constexpr uint64_t kMapSpan = 496ull * 8 * 64;
  bool ok = true;
  for (uint64_t page = 0x4400; page + 512 <= eof && ok; page += kMapSpan) {
    const uint8_t* t = w.at(page + trailer, 2, 512);
    ok = t && t[0] == 0x84 && t[1] == 0x84;
  }
  r.verified = ok;
  return r;
}

// Outlook Express DBX: the file size at 0x7C; verified when the root of its
// index tree points at a node that names its own offset.
RawFormatWalk dbxWalk(Window& w) {
  RawFormatWalk r;
  const uint8_t* h = w.at(0, 0xE8, 4096);
  if (!h) return r;
  uint64_t size = le32(h + 0x7C);
  if (size < 0x24BC || size > w.bound()) return r;
  r.end = size;
  uint32_t root = le32(h + 0xE4);
  if (root >= 0x24BC && root + 4 <= size) {
    const uint8_t* n = w.at(root, 4, 512);
    r.verified = n && le32(n) == root;
  }
  return r;
}

// SQLite: page size x page count, when the header's count is current.
RawFormatWalk sqliteWalk(Window& w) {
  RawFormatWalk r;
  const uint8_t* h = w.at(0, 100);
  if (!h) return r;
  uint32_t pageSize = be16(h + 16) == 1 ? 65536u : be16(h + 16);
  uint32_t pages = be32(h + 28);
  if (pageSize < 512 || (pageSize & (pageSize - 1)) || pages == 0 || be32(h + 92) != be32(h + 24)) return r;
  uint64_t end = uint64_t(pageSize) * pages;
  if (end <= w.bound()) r.end = end;
  return r;
}

// Microsoft Cabinet: cbCabinet.
RawFormatWalk cabWalk(Window& w) {
  RawFormatWalk r;
  const uint8_t* h = w.at(0, 36);
  if (!h) return r;
  uint64_t size = le32(h + 8);
  if (size >= 36 && size <= w.bound() && h[25] == 1) r.end = size;
  return r;
}

// 7-Zip: the start header gives the next header's place; verified when both
// CRCs hold.
RawFormatWalk sevenZipWalk(Window& w) {
  RawFormatWalk r;
  const uint8_t* h = w.at(0, 32);
  if (!h) return r;
  std::array<uint8_t, 32> head;
  std::memcpy(head.data(), h, 32);
  if (crc32Update(0, head.data() + 12, 20) != le32(head.data() + 8)) return r;
  uint64_t off = uint64_t(le32(head.data() + 12)) | uint64_t(le32(head.data() + 16)) << 32;
  uint64_t size = uint64_t(le32(head.data() + 20)) | uint64_t(le32(head.data() + 24)) << 32;
  if (off > w.bound() || size > w.bound() - off || 32 + off + size > w.bound()) return r;
  r.end = 32 + off + size;
  uint32_t c = 0;
  r.verified = size > 0 && size <= (64u << 20) && w.crc(32 + off, size, c) && c == le32(head.data() + 28);
  return r;
}

// Windows icon: the farthest image its directory names; verified when each
// image starts as a PNG or a bitmap header.
RawFormatWalk icoWalk(Window& w) {
  RawFormatWalk r;
  const uint8_t* h = w.at(0, 6);
  if (!h) return r;
  uint16_t count = le16(h + 4);
  if (count == 0 || count > 256) return r;
  const uint8_t* d = w.at(6, 16u * count, 4096);
  if (!d) return r;
  std::vector<uint8_t> dir(d, d + 16u * count);
  uint64_t end = 0;
  bool ok = true;
  for (uint16_t i = 0; i < count; ++i) {
    uint64_t size = le32(dir.data() + 16 * i + 8), off = le32(dir.data() + 16 * i + 12);
    if (off < 6 + 16u * count || size == 0 || off + size > w.bound()) return r;
    end = std::max(end, off + size);
    const uint8_t* img = w.at(off, 4, 4096);
    ok = ok && img && (std::memcmp(img, "\x89PNG", 4) == 0 || le32(img) == 40);
  }
  r.end = end;
  r.verified = ok;
  return r;
}

RawFormatWalk formatWalk(const RawByteSource& source, uint64_t bound, bool withPdf) {
  Window w(source, bound);
  RawFormatWalk r;
  const uint8_t* h = w.at(0, 16);
  if (!h) return r;
  auto sized = [&](uint64_t end) {
    RawFormatWalk s;
    s.end = end;
    return s;
  };
  auto ts = [&](uint32_t sync) {
    uint8_t a, b, c;
    return w.byte(sync, a) && a == 0x47 && w.byte(sync + 188 + (sync ? 4 : 0), b) && b == 0x47 &&
           w.byte(sync + 2 * (188 + (sync ? 4 : 0)), c) && c == 0x47;
  };
  if (h[0] == 0xFF && h[1] == 0xD8 && h[2] == 0xFF) {
    r = jpegWalk(w);
  } else if (std::memcmp(h, "\x89PNG\r\n\x1a\n", 8) == 0) {
    r = pngWalk(w, "IEND");
  } else if (std::memcmp(h, "\x8aMNG\r\n\x1a\n", 8) == 0) {
    r = pngWalk(w, "MEND");
  } else if (std::memcmp(h, "GIF87a", 6) == 0 || std::memcmp(h, "GIF89a", 6) == 0) {
    r = sized(gifEnd(w));
    r.verified = r.end > 0;
  } else if (h[0] == 'B' && h[1] == 'M') {
    r = sized(bmpEnd(w));
  } else if (h[0] == 'I' && h[1] == 'I' &&
             (le16(h + 2) == 42 || le16(h + 2) == 0x4F52 || le16(h + 2) == 0x5352 || le16(h + 2) == 0x55)) {
    r.end = tiffEnd(w, true, r.anchors);
  } else if (h[0] == 'M' && h[1] == 'M' && (be16(h + 2) == 42 || be16(h + 2) == 0x4F52 || be16(h + 2) == 0x5352)) {
    r.end = tiffEnd(w, false, r.anchors);
  } else if (std::memcmp(h, "FUJIFILMCCD-RAW ", 16) == 0) {
    r = sized(rafEnd(w));
  } else if (std::memcmp(h, "PK\x03\x04", 4) == 0) {
    r = sized(zipEnd(w));
    r.verified = r.end > 0;
  } else if (std::memcmp(h, "%PDF", 4) == 0) {
    r = sized(withPdf ? pdfEnd(w) : 0);
  } else if (std::memcmp(h, "RIFF", 4) == 0) {
    r = riffWalk(w);
  } else if (std::memcmp(h, "FORM", 4) == 0 && (std::memcmp(h + 8, "AIFF", 4) == 0 || std::memcmp(h + 8, "AIFC", 4) == 0)) {
    r = aiffWalk(w);
  } else if (std::memcmp(h, "\x1A\x45\xDF\xA3", 4) == 0) {
    r = ebmlWalk(w);
  } else if (std::memcmp(h, "\0\0\0\x0cjP  \r\n\x87\n", 12) == 0) {
    r = boxWalk(w, false, {"jp2c"}, nullptr);
  } else if (std::memcmp(h, "\0\0\0\x0cJXL \r\n\x87\n", 12) == 0) {
    r = boxWalk(w, false, {"jxlc", "jxlp"}, nullptr);
  } else if (isBoxType(h + 4) && (std::memcmp(h + 4, "ftyp", 4) == 0 || std::memcmp(h + 4, "moov", 4) == 0 ||
                                  std::memcmp(h + 4, "mdat", 4) == 0 || std::memcmp(h + 4, "wide", 4) == 0 ||
                                  std::memcmp(h + 4, "free", 4) == 0 || std::memcmp(h + 4, "skip", 4) == 0)) {
    r = boxWalk(w, true, {"mdat"}, "moov");
  } else if (std::memcmp(h, "!BDN", 4) == 0) {
    r = pstWalk(w);
  } else if (std::memcmp(h, "\xCF\xAD\x12\xFE", 4) == 0) {
    r = dbxWalk(w);
  } else if (std::memcmp(h, "SQLite format 3\0", 16) == 0) {
    r = sqliteWalk(w);
  } else if (std::memcmp(h, "MSCF\0\0\0\0", 8) == 0) {
    r = cabWalk(w);
  } else if (std::memcmp(h, "7z\xBC\xAF\x27\x1C", 6) == 0) {
    r = sevenZipWalk(w);
  } else if (h[0] == 0 && h[1] == 0 && h[2] == 1 && h[3] == 0 && h[4] != 0) {
    r = icoWalk(w);
  } else if (h[0] == 0 && h[1] == 0 && h[2] == 1 && h[3] == 0xBA) {
    r = psWalk(w);
  } else if (ts(0)) {
    r = tsWalk(w, 188, 0);
  } else if (ts(4)) {
    r = tsWalk(w, 192, 4);
  }
  if (r.end > bound) r = RawFormatWalk{};
  if (r.end == 0) r.verified = false;
  return r;
}

}  // namespace

RawFormatWalk rawWalkFormat(const RawByteSource& source, uint64_t bound, bool withPdf) {
  return formatWalk(source, bound, withPdf);
}

uint64_t rawFormatEnd(const RawByteSource& source, uint64_t bound) { return formatWalk(source, bound, true).end; }

uint64_t rawStructuralEnd(const RawByteSource& source, uint64_t bound) {
  return formatWalk(source, bound, false).end;
}

}  // namespace brenix
