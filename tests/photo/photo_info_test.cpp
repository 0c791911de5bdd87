// Hostile photo metadata and frames: EXIF whose directories loop, whose
// counts are huge and whose offsets run past the data, and frames claiming
// absurd dimensions. Examining them ends quickly with what can be trusted.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include <turbojpeg.h>

#include "photo/photo_info.h"
#include "photo/photo_naming.h"

namespace brenix {
namespace {

void put16(std::vector<uint8_t>& v, size_t at, uint16_t x) {
  v[at] = uint8_t(x >> 8);
  v[at + 1] = uint8_t(x);
}
void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + size_t(i)] = uint8_t(x >> (24 - 8 * i));
}

// A big-endian TIFF block: IFD0 at 8 with Make (ASCII, at 100), an entry with
// a huge count and an offset past the end, the EXIF pointer to an EXIF IFD at
// 60 holding DateTimeOriginal (at 120); both directories point back to IFD0.
std::vector<uint8_t> hostileTiff() {
  std::vector<uint8_t> t(160, 0);
  std::memcpy(t.data(), "MM\0\x2a", 4);
  put32(t, 4, 8);
  put16(t, 8, 3);
  // Make "Canon", count 6, at 100.
  put16(t, 10, 0x010F); put16(t, 12, 2); put32(t, 14, 6); put32(t, 18, 100);
  // Model with a count of 0xFFFFFFF0 at offset 0xFFFFFF00.
  put16(t, 22, 0x0110); put16(t, 24, 2); put32(t, 26, 0xFFFFFFF0u); put32(t, 30, 0xFFFFFF00u);
  // ExifIFDPointer -> 60.
  put16(t, 34, 0x8769); put16(t, 36, 4); put32(t, 38, 1); put32(t, 42, 60);
  put32(t, 46, 8);  // next IFD: itself
  put16(t, 60, 2);
  put16(t, 62, 0x9003); put16(t, 64, 2); put32(t, 66, 20); put32(t, 70, 120);
  put16(t, 74, 0x8769); put16(t, 76, 4); put32(t, 78, 1); put32(t, 82, 8);  // back to IFD0
  put32(t, 86, 60);  // next IFD: itself
  std::memcpy(&t[100], "Canon", 6);
  std::memcpy(&t[120], "2011:02:03 04:05:06", 20);
  return t;
}

// A real 16x16 baseline picture with the block as its APP1 "Exif" segment,
// its frame header then claiming width x height.
std::vector<uint8_t> jpegWith(const std::vector<uint8_t>& tiff, uint16_t width, uint16_t height) {
  std::vector<uint8_t> gray(16 * 16, 128);
  tjhandle tj = tjInitCompress();
  unsigned char* data = nullptr;
  unsigned long size = 0;
  tjCompress2(tj, gray.data(), 16, 0, 16, TJPF_GRAY, &data, &size, TJSAMP_GRAY, 90, 0);
  const std::vector<uint8_t> plain(data, data + size);
  tjFree(data);
  tjDestroy(tj);
  std::vector<uint8_t> j(12 + tiff.size() + plain.size() - 2, 0);
  const uint8_t head[] = {0xFF, 0xD8, 0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
  std::copy(std::begin(head), std::end(head), j.begin());
  std::copy(tiff.begin(), tiff.end(), j.begin() + 12);
  std::copy(plain.begin() + 2, plain.end(), j.begin() + 12 + long(tiff.size()));
  put16(j, 4, uint16_t(8 + tiff.size()));
  for (size_t i = 12 + tiff.size(); i + 9 < j.size(); ++i)
    if (j[i] == 0xFF && j[i + 1] == 0xC0) {
      put16(j, i + 5, height);
      put16(j, i + 7, width);
      break;
    }
  return j;
}

TEST(PhotoInfo, HostileExifAndAbsurdFramesEndQuicklyWithWhatCanBeTrusted) {
  const auto start = std::chrono::steady_clock::now();
  PhotoInfo info = examineJpeg(jpegWith(hostileTiff(), 60000, 60000));
  EXPECT_EQ(info.make, "Canon");
  EXPECT_EQ(info.model, "");  // its count and offset lie past the data
  EXPECT_EQ(info.dateTaken, "2011-02-03 04:05:06");
  EXPECT_EQ(info.width, 60000u);
  EXPECT_EQ(info.decode, DecodeState::Corrupt);  // 3.6 gigapixels are past the limit: not decoded

  // Every truncation of it, and every single-byte change, ends without a crash.
  const std::vector<uint8_t> base = jpegWith(hostileTiff(), 16, 16);
  EXPECT_EQ(examineJpeg(base).decode, DecodeState::Whole);
  for (size_t n = 0; n < base.size(); ++n) {
    std::vector<uint8_t> part(base.begin(), base.begin() + long(n));
    EXPECT_NE(examineJpeg(part).decode, DecodeState::Whole);
    std::vector<uint8_t> changed = base;
    changed[n] ^= 0xA5;
    examineJpeg(changed);
  }

  // The same block as a raw (a TIFF file, read by exiv2), every truncation
  // and single-byte change of it, and a RAF whose offsets lie past its end.
  const std::vector<uint8_t> tiff = hostileTiff();
  info = examineRawPhoto(tiff);
  EXPECT_TRUE(info.examined);
  EXPECT_EQ(info.make, "Canon");
  EXPECT_EQ(info.model, "");
  for (size_t n = 0; n < tiff.size(); ++n) {
    examineRawPhoto(std::span<const uint8_t>(tiff.data(), n));
    std::vector<uint8_t> changed = tiff;
    changed[n] ^= 0xA5;
    examineRawPhoto(changed);
  }
  std::vector<uint8_t> raf(256, 0xFF);
  std::memcpy(raf.data(), "FUJIFILMCCD-RAW 0201FF383501", 28);
  EXPECT_FALSE(examineRawPhoto(raf).hasExif);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(PhotoNaming, CameraNamesAreSafeAndClashesCounted) {
  PhotoInfo a;
  a.dateTaken = "2001-04-06 11:51:40";
  a.make = "NIKON";
  a.model = "E950/../x";
  EXPECT_EQ(exifBaseName(a), "2001-04-06_11-51-40_NIKON_E950_.._x");
  PhotoPlanner planner(PhotoChoices{true, true, true, 0, 0, 0, false});
  std::string p1, p2, p3;
  a.decode = DecodeState::Whole;
  ASSERT_EQ(planner.place("File0.jpg", 100, &a, "", &p1), PhotoVerdict::Write);
  ASSERT_EQ(planner.place("File1.jpg", 100, &a, "", &p2), PhotoVerdict::Write);
  ASSERT_EQ(planner.place("File2.jpg", 100, nullptr, "", &p3), PhotoVerdict::Write);
  EXPECT_EQ(p1, "2001/2001-04-06/2001-04-06_11-51-40_NIKON_E950_.._x.jpg");
  EXPECT_EQ(p2, "2001/2001-04-06/2001-04-06_11-51-40_NIKON_E950_.._x_2.jpg");
  EXPECT_EQ(p3, "jpg/File2.jpg");
}

}  // namespace
}  // namespace brenix
