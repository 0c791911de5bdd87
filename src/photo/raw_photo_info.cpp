// What raw, TIFF and HEIF pictures tell about themselves, read with exiv2:
// the raw formats keep their EXIF in TIFF structures (CR2, NEF, ARW, DNG,
// ORF, RW2, PEF), behind a header of their own (RAF, in its JPEG preview)
// or in ISO boxes (HEIC, CR3). exiv2 reports faults by exceptions; none
// leaves this file.
#ifdef BRENIX_HAVE_EXIV2
#include <exiv2/exiv2.hpp>
#endif

#include <algorithm>
#include <cctype>
#include <mutex>

#include "photo/exif_fields.h"
#include "photo/photo_info.h"

namespace brenix {

#ifdef BRENIX_HAVE_EXIV2
namespace {

using photo_detail::exifDate;
using photo_detail::exifTimeOffset;
using photo_detail::trimmedField;

void setUpExiv2() {
  static std::once_flag once;
  std::call_once(once, [] {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);  // hostile data is expected, not worth a line on stderr
    Exiv2::enableBMFF(true);                       // HEIF/HEIC/AVIF and CR3
  });
}

// The text of the first of the keys present, trimmed and at most 256 bytes.
std::string field(const Exiv2::ExifData& exif, std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    auto it = exif.findKey(Exiv2::ExifKey(key));
    if (it == exif.end() || it->count() == 0) continue;
    std::string text = trimmedField(it->toString().substr(0, 256));
    if (!text.empty()) return text;
  }
  return {};
}

uint32_t number(const Exiv2::ExifData& exif, std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    auto it = exif.findKey(Exiv2::ExifKey(key));
    if (it == exif.end() || it->count() == 0) continue;
    const long v = it->toLong(0);
    if (v > 0 && v <= 1000000) return static_cast<uint32_t>(v);
  }
  return 0;
}

}  // namespace
#endif

bool isRawPhotoExtension(const std::string& ext) {
  std::string e;
  for (char c : ext) e += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const char* const known[] = {"tif", "tiff", "cr2", "nef", "nrw", "arw", "sr2", "dng", "orf",
                                      "rw2", "pef",  "raf", "heic", "heif", "avif", "cr3"};
  return std::find(std::begin(known), std::end(known), e) != std::end(known);
}

PhotoInfo examineRawPhoto(std::span<const uint8_t> data) {
  PhotoInfo info;
  info.examined = true;
  if (data.size() < 16 || data.size() > 0x7FFFFFFFu) return info;
#ifndef BRENIX_HAVE_EXIV2
  // A build without exiv2 reads no raw picture's fields.
  return info;
#else
  setUpExiv2();
  Exiv2::Image::AutoPtr image;
  try {
    image = Exiv2::ImageFactory::open(data.data(), static_cast<long>(data.size()));
  } catch (...) {
    return info;  // not a picture exiv2 reads
  }
  if (!image.get()) return info;
  try {
    image->readMetadata();
  } catch (...) {
    // Broken or cut metadata: what was read before the fault stands.
  }
  try {
    const Exiv2::ExifData& exif = image->exifData();
    // RW2 keeps the camera in its own first directory.
    info.make = field(exif, {"Exif.Image.Make", "Exif.PanasonicRaw.Make"});
    info.model = field(exif, {"Exif.Image.Model", "Exif.PanasonicRaw.Model"});
    // TIFF/EP raws (NEF among them) may carry the date in IFD0 instead.
    info.dateTaken = exifDate(field(exif, {"Exif.Photo.DateTimeOriginal", "Exif.Image.DateTimeOriginal"}));
    if (!info.dateTaken.empty()) info.timeOffset = exifTimeOffset(field(exif, {"Exif.Photo.OffsetTimeOriginal"}));
    info.hasExif = !info.make.empty() || !info.model.empty() || !info.dateTaken.empty();
    const int w = image->pixelWidth(), h = image->pixelHeight();
    if (w > 0 && h > 0 && w <= 1000000 && h <= 1000000) {
      info.width = static_cast<uint32_t>(w);
      info.height = static_cast<uint32_t>(h);
    } else {
      info.width = number(exif, {"Exif.Photo.PixelXDimension", "Exif.Image.ImageWidth"});
      info.height = number(exif, {"Exif.Photo.PixelYDimension", "Exif.Image.ImageLength"});
      if (info.width == 0 || info.height == 0) info.width = info.height = 0;
    }
  } catch (...) {
    // A value exiv2 cannot convert: the fields read so far stand.
  }
  return info;
#endif
}

PhotoInfo examinePhoto(const std::string& ext, std::span<const uint8_t> data, uint64_t maxPixels) {
  if (isJpegExtension(ext)) return examineJpeg(data, maxPixels);
  if (isRawPhotoExtension(ext)) return examineRawPhoto(data);
  return PhotoInfo{};
}

}  // namespace brenix
