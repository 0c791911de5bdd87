// Trimming a carved file to its format's own end.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "raw/raw_trim.h"

namespace brenix {
namespace {

using Bytes = std::vector<uint8_t>;

void put(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
void be32(Bytes& b, uint32_t v) {
  for (int i = 3; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i)));
}
void le32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
void le16(Bytes& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}

uint64_t endOf(const Bytes& data, uint64_t bound) {
  RawByteSource src = [&](uint64_t off, uint8_t* buf, size_t n) -> size_t {
    EXPECT_LE(off + n, bound) << "read past the bound";
    if (off >= data.size()) return 0;
    size_t k = std::min<size_t>(n, data.size() - size_t(off));
    std::memcpy(buf, data.data() + off, k);
    return k;
  };
  return rawFormatEnd(src, bound);
}

// The file followed by bytes that must not be taken for more of it.
uint64_t endWithTail(Bytes file, uint8_t tailByte = 0xA5) {
  Bytes data = file;
  data.resize(file.size() + 70000, tailByte);
  return endOf(data, data.size());
}

Bytes jpeg() {
  Bytes b = {0xFF, 0xD8};
  // APP1 holding an embedded thumbnail with its own SOI/EOI (must be skipped).
  Bytes app1 = {0xFF, 0xE1, 0x00, 0x0C, 'E', 'x', 'i', 'f', 0xFF, 0xD8, 0xFF, 0xD9, 0x00, 0x00};
  b.insert(b.end(), app1.begin(), app1.end());
  Bytes sos = {0xFF, 0xDA, 0x00, 0x04, 0x01, 0x02, 0x11, 0xFF, 0x00, 0x22, 0xFF, 0xD0, 0x33, 0xFF, 0xFF, 0xD9};
  b.insert(b.end(), sos.begin(), sos.end());
  return b;
}

Bytes png() {
  Bytes b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  for (auto [type, len] : {std::pair<const char*, uint32_t>{"IHDR", 13}, {"IDAT", 100}, {"IEND", 0}}) {
    be32(b, len);
    put(b, type);
    b.resize(b.size() + len + 4, 0x11);
  }
  return b;
}

Bytes gif() {
  Bytes b;
  put(b, "GIF89a");
  le16(b, 2);
  le16(b, 2);
  b.insert(b.end(), {0x80, 0, 0});  // global colour table of 2 entries
  b.resize(b.size() + 6, 0);
  b.insert(b.end(), {0x21, 0xF9, 4, 0, 0, 0, 0, 0});  // graphic control extension
  b.insert(b.end(), {0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0, 2, 3, 0x3B, 0x3B, 0x3B, 0});  // image, data block with 0x3B bytes
  b.push_back(0x3B);
  return b;
}

Bytes bmp() {
  Bytes b;
  put(b, "BM");
  le32(b, 14 + 40 + 16);
  le32(b, 0);
  le32(b, 54);
  le32(b, 40);
  b.resize(14 + 40 + 16, 0x42);
  return b;
}

Bytes tiff() {
  // IFD0 at 8 with one strip at 100 of 300 bytes and an EXIF IFD at 500.
  Bytes b;
  put(b, "II");
  le16(b, 42);
  le32(b, 8);
  le16(b, 3);
  for (auto [tag, value] : {std::pair<uint16_t, uint32_t>{273, 100}, {279, 300}, {34665, 500}}) {
    le16(b, tag);
    le16(b, 4);
    le32(b, 1);
    le32(b, value);
  }
  le32(b, 0);
  b.resize(500, 0x55);
  le16(b, 1);
  le16(b, 0x927C);  // maker note: 200 bytes at 520
  le16(b, 7);
  le32(b, 200);
  le32(b, 520);
  le32(b, 0);
  b.resize(720, 0x66);
  return b;
}

Bytes zip() {
  Bytes b;
  put(b, "PK\x03\x04");
  b.resize(30, 0);
  put(b, "a.txt");
  put(b, "hello PK\x05\x06 inside");  // a decoy end record inside the data
  uint32_t cd = uint32_t(b.size());
  put(b, "PK\x01\x02");
  b.resize(b.size() + 42, 0);
  put(b, "a.txt");
  uint32_t cdSize = uint32_t(b.size()) - cd;
  put(b, "PK\x05\x06");
  b.resize(b.size() + 8, 0);
  le32(b, cdSize);
  le32(b, cd);
  le16(b, 3);
  put(b, "abc");
  return b;
}

Bytes pdf() {
  Bytes b;
  put(b, "%PDF-1.4\n1 0 obj\n<<>>\nendobj\nxref\ntrailer\n%%EOF\n");
  put(b, "2 0 obj\n<<>>\nendobj\nxref\nstartxref\n%%EOF\r\n");
  return b;
}

Bytes riff() {
  Bytes b;
  put(b, "RIFF");
  le32(b, 4 + 8 + 20);
  put(b, "WAVEdata");
  le32(b, 20);
  b.resize(b.size() + 20, 0x10);
  return b;
}

Bytes mp4() {
  Bytes b;
  be32(b, 20);
  put(b, "ftypisom");
  b.resize(20, 0);
  be32(b, 16);
  put(b, "moov");
  b.resize(36, 1);
  be32(b, 1);
  put(b, "mdat");
  be32(b, 0);
  be32(b, 40);
  b.resize(76, 2);
  return b;
}

Bytes mkv() {
  Bytes b = {0x1A, 0x45, 0xDF, 0xA3, 0x84, 0x42, 0x82, 0x81, 0x01};
  b.insert(b.end(), {0x18, 0x53, 0x80, 0x67, 0x40, 0x20});  // segment, 2-byte size 32
  b.resize(b.size() + 32, 0x77);
  return b;
}

TEST(RawTrim, EachFormatEndsWhereItsStructureSays) {
  for (auto [name, file] : {std::pair<const char*, Bytes>{"jpeg", jpeg()}, {"png", png()}, {"gif", gif()},
                            {"bmp", bmp()}, {"tiff", tiff()}, {"zip", zip()}, {"pdf", pdf()}, {"riff", riff()},
                            {"mp4", mp4()}, {"mkv", mkv()}}) {
    EXPECT_EQ(endWithTail(file), file.size()) << name;
    EXPECT_EQ(endWithTail(file, 0x00), file.size()) << name;
    // A bound that cuts the file: no end is claimed (a PDF ends at its last
    // complete revision instead, tested below).
    if (std::string(name) != "pdf") {
      EXPECT_EQ(endOf(file, file.size() - 1), 0u) << name;
    }
  }
}

TEST(RawTrim, PdfEndsAtItsLastCompleteRevisionWithinTheBound) {
  Bytes p = pdf();
  std::string text(p.begin(), p.end());
  size_t firstEnd = text.find("%%EOF\n") + 6;
  Bytes data = p;
  EXPECT_EQ(endOf(data, p.size() - 8), firstEnd);
}

TEST(RawTrim, BrokenStructuresKeepTheCut) {
  Bytes j = jpeg();
  j[2] = 0x12;  // no marker where the first segment should start
  EXPECT_EQ(endWithTail(j), 0u);
  Bytes z = zip();
  z.resize(z.size() - 25);  // no end record
  EXPECT_EQ(endWithTail(z, 0), 0u);
  Bytes p;
  put(p, "%PDF-1.4\n1 0 obj\n");
  EXPECT_EQ(endWithTail(p), 0u);
  Bytes r = riff();
  r[7] = 0x7F;  // size past the bound
  EXPECT_EQ(endWithTail(r), 0u);
  Bytes unknown = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p'};
  EXPECT_EQ(endWithTail(unknown), 0u);
  EXPECT_EQ(endOf({}, 0), 0u);
}

uint32_t crc32Of(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return ~c;
}

RawFormatWalk walkOf(const Bytes& data, uint64_t bound) {
  RawByteSource src = [&](uint64_t off, uint8_t* buf, size_t n) -> size_t {
    EXPECT_LE(off + n, bound) << "read past the bound";
    if (off >= data.size()) return 0;
    size_t k = std::min<size_t>(n, data.size() - size_t(off));
    std::memcpy(buf, data.data() + off, k);
    return k;
  };
  return rawWalkFormat(src, bound, false);
}

// Archives whose header gives their length: a 7z start header with both
// CRCs holding is verified; a CAB's size is taken but not trusted.
TEST(RawTrim, ArchiveHeadersGiveTheEnd) {
  Bytes z = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4};
  z.resize(32, 0);
  Bytes next = {0x01, 0x04, 0x06, 0x00};  // a next header of 4 bytes after 100 bytes of packed data
  z.resize(32 + 100, 0x5A);
  z.insert(z.end(), next.begin(), next.end());
  auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) z[at + i] = uint8_t(v >> (8 * i));
  };
  put(12, 100);
  put(20, 4);
  put(28, crc32Of(next.data(), next.size()));
  put(8, crc32Of(z.data() + 12, 20));
  Bytes data = z;
  data.resize(z.size() + 5000, 0xA5);
  RawFormatWalk w = walkOf(data, data.size());
  EXPECT_EQ(w.end, z.size());
  EXPECT_TRUE(w.verified);
  data[32 + 100] ^= 1;  // the next header's CRC fails
  w = walkOf(data, data.size());
  EXPECT_EQ(w.end, z.size());
  EXPECT_FALSE(w.verified);
  data[9] ^= 1;  // the start header's CRC fails: nothing is known
  EXPECT_EQ(walkOf(data, data.size()).end, 0u);

  Bytes cab = {'M', 'S', 'C', 'F', 0, 0, 0, 0, 0x00, 0x10, 0, 0};
  cab.resize(36, 0);
  cab[24] = 3;
  cab[25] = 1;
  cab.resize(8192, 0x33);
  w = walkOf(cab, cab.size());
  EXPECT_EQ(w.end, 4096u);
  EXPECT_FALSE(w.verified);
}

// Hostile sizes: 0 and 2^64-1, boxes that do not tile, IFDs that loop, a
// SQLite page count past the bound: every walk ends, within the bound.
TEST(RawTrim, HostileSizesStayBounded) {
  Bytes huge;
  be32(huge, 16);
  put(huge, "ftypisom");
  huge.resize(16, 0);
  be32(huge, 1);
  put(huge, "mdat");
  for (int i = 0; i < 8; ++i) huge.push_back(0xFF);  // 64-bit size 2^64-1
  huge.resize(4096, 0);
  EXPECT_EQ(walkOf(huge, huge.size()).end, 0u);
  Bytes zero = huge;
  zero[19] = 0;  // a 32-bit size of 0: runs to the end, unknown
  zero[16] = zero[17] = zero[18] = 0;
  EXPECT_EQ(walkOf(zero, zero.size()).end, 0u);
  Bytes noTile;
  be32(noTile, 16);
  put(noTile, "ftypisom");
  noTile.resize(16, 0);
  be32(noTile, 100);
  put(noTile, "mdat");
  noTile.resize(116, 0x11);
  be32(noTile, 3);  // a box of 3 bytes cannot be
  put(noTile, "moov");
  noTile.resize(4096, 0x22);
  RawFormatWalk w = walkOf(noTile, noTile.size());
  EXPECT_EQ(w.end, 116u);  // up to the last box that tiles
  EXPECT_FALSE(w.verified);

  Bytes loop;
  put(loop, "II");
  le16(loop, 42);
  le32(loop, 8);
  le16(loop, 1);
  le16(loop, 273);
  le16(loop, 4);
  le32(loop, 1);
  le32(loop, 40);
  le32(loop, 8);  // the next IFD is this one
  loop.resize(100, 0);
  w = walkOf(loop, loop.size());
  EXPECT_LE(w.end, loop.size());
  EXPECT_FALSE(w.verified);

  Bytes db;
  put(db, std::string("SQLite format 3\0", 16));
  db.resize(100, 0);
  db[16] = 0x10;  // 4096-byte pages
  db[28] = db[29] = db[30] = db[31] = 0xFF;  // 2^32-1 pages
  db.resize(8192, 0);
  EXPECT_EQ(walkOf(db, db.size()).end, 0u);
  db[28] = db[29] = db[30] = 0;
  db[31] = 2;
  EXPECT_EQ(walkOf(db, db.size()).end, 8192u);
}

}  // namespace
}  // namespace brenix
