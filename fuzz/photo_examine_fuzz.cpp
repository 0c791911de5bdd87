// Fuzzes the examination of carved pictures: the input as a JPEG (EXIF read
// by libexif, the decode check by libjpeg-turbo), its bytes as a bare EXIF
// block behind an "Exif" header (IFD loops, huge counts, offsets past the
// end), and as a raw, TIFF or HEIF picture read by exiv2. Whatever the bytes,
// what comes back must be well formed: a date "YYYY-MM-DD HH:MM:SS" or none,
// an offset "+hh:mm" or none, short camera names, sizes within their limits,
// and no decode state for a picture that is not decoded.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "photo/photo_info.h"

namespace {

void checkFields(const brenix::PhotoInfo& info) {
  if (!info.examined) __builtin_trap();
  const std::string& d = info.dateTaken;
  if (!d.empty()) {
    if (d.size() != 19 || d[4] != '-' || d[7] != '-' || d[10] != ' ' || d[13] != ':' || d[16] != ':') __builtin_trap();
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18})
      if (!std::isdigit(static_cast<unsigned char>(d[i]))) __builtin_trap();
  }
  if (!info.timeOffset.empty() && (d.empty() || info.timeOffset.size() != 6)) __builtin_trap();
  if (info.make.size() > 256 || info.model.size() > 256) __builtin_trap();
  if (info.hasExif != (!info.make.empty() || !info.model.empty() || !d.empty())) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);

  const brenix::PhotoInfo jpeg = brenix::examinePhoto("jpg", bytes);
  checkFields(jpeg);
  // A frame header holds 16-bit sizes; one past the pixel limit is never decoded.
  if (jpeg.width > 65535 || jpeg.height > 65535) __builtin_trap();
  if (jpeg.decode == brenix::DecodeState::Whole &&
      (jpeg.width == 0 || uint64_t(jpeg.width) * jpeg.height > brenix::kMaxDecodePixels))
    __builtin_trap();
  if (jpeg.decode == brenix::DecodeState::NotChecked) __builtin_trap();

  // The same bytes as the TIFF structure of an EXIF block.
  static const uint8_t kExifHeader[] = {'E', 'x', 'i', 'f', 0, 0};
  std::vector<uint8_t> block(kExifHeader, kExifHeader + sizeof kExifHeader);
  block.insert(block.end(), data, data + size);
  brenix::PhotoInfo exif;
  exif.examined = true;
  brenix::readExif(block, exif);
  checkFields(exif);

  const brenix::PhotoInfo raw = brenix::examinePhoto("cr2", bytes);
  checkFields(raw);
  if (raw.decode != brenix::DecodeState::NotChecked || raw.width > 1000000 || raw.height > 1000000 ||
      (raw.width == 0) != (raw.height == 0))
    __builtin_trap();
  return 0;
}
