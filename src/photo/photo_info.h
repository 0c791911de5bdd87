#pragma once
// What a carved picture tells about itself: when and with which camera it was
// taken (EXIF), its pixel size, and whether it decodes whole. The bytes are
// treated as hostile: every read is bounded and decoding stops at a pixel limit.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace brenix {

enum class DecodeState : uint8_t {
  NotChecked,  // not a picture this module decodes, or not examined
  Whole,       // decodes to its end marker without a warning
  Truncated,   // the data ends before the picture's end marker
  Corrupt,     // the decoder rejects the data (bad header, bad entropy data, too large)
};

// "whole", "truncated", "corrupt" or "" (not checked).
const char* decodeStateText(DecodeState state);
inline bool isBroken(DecodeState s) { return s == DecodeState::Truncated || s == DecodeState::Corrupt; }

struct PhotoInfo {
  bool examined = false;    // one of the examine functions below looked at it
  bool hasExif = false;
  std::string dateTaken;    // DateTimeOriginal as "YYYY-MM-DD HH:MM:SS" ("" when absent or malformed)
  std::string timeOffset;   // OffsetTimeOriginal ("+02:00"), "" when absent
  std::string make, model;  // camera, trimmed
  uint32_t width = 0, height = 0;  // pixels, from the frame header
  DecodeState decode = DecodeState::NotChecked;
  bool reassembled = false;  // put together from two pieces (and whole so)
};

// Largest picture decoded (width x height); larger ones are reported corrupt.
inline constexpr uint64_t kMaxDecodePixels = 400ull * 1000 * 1000;

// EXIF fields of a JPEG (APP1 "Exif") or of a bare TIFF/EXIF block.
void readExif(std::span<const uint8_t> data, PhotoInfo& info);
// Frame size and decode state of a JPEG. The decode runs at 1/8 scale: every
// entropy-coded byte is still decoded, at a fraction of the cost.
void checkJpegDecode(std::span<const uint8_t> data, PhotoInfo& info, uint64_t maxPixels = kMaxDecodePixels);
// Both of the above.
PhotoInfo examineJpeg(std::span<const uint8_t> data, uint64_t maxPixels = kMaxDecodePixels);

// Date, camera and pixel size of a raw, TIFF or HEIF picture (exiv2). These
// are not decoded: decode stays NotChecked.
PhotoInfo examineRawPhoto(std::span<const uint8_t> data);
// examineJpeg or examineRawPhoto as the extension says; not examined for other types.
PhotoInfo examinePhoto(const std::string& ext, std::span<const uint8_t> data, uint64_t maxPixels = kMaxDecodePixels);

// Whether the extension is a JPEG's ("jpg", "jpeg", "jpe", any case).
bool isJpegExtension(const std::string& ext);
// Whether the extension is one of a raw, TIFF or HEIF picture examineRawPhoto reads
// (tif, cr2, nef, arw, dng, orf, rw2, pef, raf, heic, cr3, ...; any case).
bool isRawPhotoExtension(const std::string& ext);

// Lower-case hex SHA-256 of the bytes.
std::string sha256Hex(std::span<const uint8_t> data);

}  // namespace brenix
