#include "photo/photo_info.h"

#include "photo/exif_fields.h"

#ifdef BRENIX_HAVE_EXIF
#include <libexif/exif-data.h>
#endif
#ifdef BRENIX_HAVE_TURBOJPEG
#include <turbojpeg.h>
#endif

#include <algorithm>
#include <cctype>
#include <memory>
#include <vector>

#include "common/digest.h"

namespace brenix {

namespace photo_detail {

std::string trimmedField(const std::string& s) {
  std::string text = s.substr(0, s.find('\0'));
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  size_t lead = 0;
  while (lead < text.size() && std::isspace(static_cast<unsigned char>(text[lead]))) ++lead;
  return text.substr(lead);
}

std::string exifDate(const std::string& s) {
  if (s.size() < 19) return {};
  for (size_t i = 0; i < 19; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (i == 4 || i == 7) {
      if (c != ':' && c != '-') return {};
    } else if (i == 10) {
      if (c != ' ' && c != 'T') return {};
    } else if (i == 13 || i == 16) {
      if (c != ':') return {};
    } else if (!std::isdigit(c)) {
      return {};
    }
  }
  const int year = std::stoi(s.substr(0, 4)), month = std::stoi(s.substr(5, 2)), day = std::stoi(s.substr(8, 2));
  const int hour = std::stoi(s.substr(11, 2)), minute = std::stoi(s.substr(14, 2)), second = std::stoi(s.substr(17, 2));
  if (year < 1900 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
    return {};
  std::string out = s.substr(0, 19);
  out[4] = '-';
  out[7] = '-';
  out[10] = ' ';
  return out;
}

std::string exifTimeOffset(const std::string& s) {
  auto digit = [&](size_t i) { return std::isdigit(static_cast<unsigned char>(s[i])) != 0; };
  const bool ok = s.size() == 6 && (s[0] == '+' || s[0] == '-') && s[3] == ':' && digit(1) && digit(2) && digit(4) &&
                  digit(5);
  return ok ? s : std::string();
}

}  // namespace photo_detail

namespace {

#ifdef BRENIX_HAVE_EXIF
using photo_detail::exifDate;
using photo_detail::exifTimeOffset;
using photo_detail::trimmedField;

// An ASCII entry's text up to its first NUL, trimmed; "" for other formats.
std::string asciiEntry(ExifContent* content, ExifTag tag) {
  if (!content) return {};
  ExifEntry* e = exif_content_get_entry(content, tag);
  if (!e || e->format != EXIF_FORMAT_ASCII || !e->data || e->size == 0) return {};
  const size_t n = std::min<size_t>(e->size, 256);
  return trimmedField(std::string(reinterpret_cast<const char*>(e->data), n));
}
#endif

#ifdef BRENIX_HAVE_TURBOJPEG
// Whether the picture's end marker follows its first scan: the frame's
// segments are walked (bounded by the data) up to the first SOS, then the
// entropy data is searched for FF D9 (FF bytes inside it are stuffed or RSTn).
bool hasEndMarker(std::span<const uint8_t> d) {
  if (d.size() < 4 || d[0] != 0xFF || d[1] != 0xD8) return false;
  size_t p = 2;
  while (p + 4 <= d.size()) {
    if (d[p] != 0xFF) return false;
    const uint8_t m = d[p + 1];
    if (m == 0xFF) { ++p; continue; }
    const size_t len = (size_t(d[p + 2]) << 8) | d[p + 3];
    if (len < 2) return false;
    p += 2 + len;
    if (m == 0xDA) break;
  }
  for (; p + 1 < d.size(); ++p)
    if (d[p] == 0xFF && d[p + 1] == 0xD9) return true;
  return false;
}
#endif

}  // namespace

uint64_t jpegCoefficientBufferBytes(std::span<const uint8_t> d) {
  if (d.size() < 4 || d[0] != 0xFF || d[1] != 0xD8) return 0;
  // The frame: size, progressive or not, each component's sampling factors.
  bool haveFrame = false, progressive = false;
  uint32_t width = 0, height = 0, components = 0, maxH = 1, maxV = 1;
  uint8_t h[256] = {}, v[256] = {};
  bool multiScan = true;  // until a first scan shows every component together
  size_t p = 2;
  while (p + 4 <= d.size()) {
    if (d[p] != 0xFF) break;
    const uint8_t m = d[p + 1];
    if (m == 0xFF) { ++p; continue; }
    if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) { p += 2; continue; }  // no length
    const size_t len = (size_t(d[p + 2]) << 8) | d[p + 3];
    if (len < 2 || p + 2 + len > d.size()) break;
    const uint8_t* seg = &d[p + 4];
    const size_t n = len - 2;
    const bool sof = m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
    if (sof && !haveFrame && n >= 6) {
      haveFrame = true;
      progressive = m == 0xC2 || m == 0xC6 || m == 0xCA || m == 0xCE;
      height = (uint32_t(seg[1]) << 8) | seg[2];
      width = (uint32_t(seg[3]) << 8) | seg[4];
      components = std::min<uint32_t>(seg[5], uint32_t((n - 6) / 3));
      for (uint32_t c = 0; c < components; ++c) {
        h[c] = std::max<uint8_t>(1, seg[7 + 3 * c] >> 4);
        v[c] = std::max<uint8_t>(1, seg[7 + 3 * c] & 15);
        maxH = std::max<uint32_t>(maxH, h[c]);
        maxV = std::max<uint32_t>(maxV, v[c]);
      }
    }
    if (m == 0xDA) {
      if (haveFrame && !progressive && n >= 1 && seg[0] >= components) multiScan = false;
      break;
    }
    p += 2 + len;
  }
  if (!haveFrame || !multiScan) return 0;
  uint64_t blocks = 0;
  for (uint32_t c = 0; c < components; ++c) {
    // Blocks across and down, rounded up to whole MCUs as the decoder keeps them.
    const uint64_t across = (uint64_t(width) * h[c] + 8 * maxH - 1) / (8 * maxH);
    const uint64_t down = (uint64_t(height) * v[c] + 8 * maxV - 1) / (8 * maxV);
    blocks += (across + h[c] - 1) / h[c] * h[c] * ((down + v[c] - 1) / v[c] * v[c]);
  }
  return blocks * 128;
}

const char* decodeStateText(DecodeState state) {
  switch (state) {
    case DecodeState::Whole: return "whole";
    case DecodeState::Truncated: return "truncated";
    case DecodeState::Corrupt: return "corrupt";
    default: return "";
  }
}

void readExif(std::span<const uint8_t> data, PhotoInfo& info) {
  if (data.size() < 8 || data.size() > 0xFFFFFFFFu) return;
#ifndef BRENIX_HAVE_EXIF
  (void)info;
#else
  ExifData* ed = exif_data_new();
  if (!ed) return;
  // Read what is there only: the "fix" option would invent missing tags (a date of now).
  exif_data_unset_option(ed, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
  exif_data_load_data(ed, data.data(), static_cast<unsigned int>(data.size()));
  info.make = asciiEntry(ed->ifd[EXIF_IFD_0], EXIF_TAG_MAKE);
  info.model = asciiEntry(ed->ifd[EXIF_IFD_0], EXIF_TAG_MODEL);
  info.dateTaken = exifDate(asciiEntry(ed->ifd[EXIF_IFD_EXIF], EXIF_TAG_DATE_TIME_ORIGINAL));
  if (!info.dateTaken.empty()) {
    // OffsetTimeOriginal
    info.timeOffset = exifTimeOffset(asciiEntry(ed->ifd[EXIF_IFD_EXIF], static_cast<ExifTag>(0x9011)));
  }
  info.hasExif = !info.make.empty() || !info.model.empty() || !info.dateTaken.empty();
  exif_data_unref(ed);
#endif
}

void checkJpegDecode(std::span<const uint8_t> data, PhotoInfo& info, uint64_t maxPixels) {
#ifndef BRENIX_HAVE_TURBOJPEG
  (void)data;
  (void)maxPixels;
  info.decode = DecodeState::NotChecked;
#else
  info.decode = DecodeState::Corrupt;
  if (data.size() < 4 || data.size() > 0x7FFFFFFFu) return;
  tjhandle h = tjInitDecompress();
  if (!h) return;
  std::unique_ptr<void, int (*)(tjhandle)> guard(h, tjDestroy);
  int width = 0, height = 0, subsamp = 0, colorspace = 0;
  const auto size = static_cast<unsigned long>(data.size());
  if (tjDecompressHeader3(h, data.data(), size, &width, &height, &subsamp, &colorspace) != 0) {
    if (!hasEndMarker(data)) info.decode = DecodeState::Truncated;
    return;
  }
  if (width <= 0 || height <= 0) return;
  info.width = static_cast<uint32_t>(width);
  info.height = static_cast<uint32_t>(height);
  if (uint64_t(width) * uint64_t(height) > maxPixels) return;
  if (jpegCoefficientBufferBytes(data) > kMaxDecodeBufferBytes) return;
  const tjscalingfactor eighth{1, 8};
  const int sw = TJSCALED(width, eighth), sh = TJSCALED(height, eighth);
  std::vector<uint8_t> pixels(size_t(sw) * size_t(sh));
  const int rc = tjDecompress2(h, data.data(), size, pixels.data(), sw, sw, sh, TJPF_GRAY, TJFLAG_STOPONWARNING);
  if (rc == 0 && hasEndMarker(data)) {
    info.decode = DecodeState::Whole;
    return;
  }
  info.decode = hasEndMarker(data) ? DecodeState::Corrupt : DecodeState::Truncated;
#endif
}

PhotoInfo examineJpeg(std::span<const uint8_t> data, uint64_t maxPixels) {
  PhotoInfo info;
  info.examined = true;
  readExif(data, info);
  checkJpegDecode(data, info, maxPixels);
  return info;
}

bool isJpegExtension(const std::string& ext) {
  std::string e;
  for (char c : ext) e += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return e == "jpg" || e == "jpeg" || e == "jpe";
}

std::string sha256Hex(std::span<const uint8_t> data) { return digestHex(DigestKind::Sha256, data.data(), data.size()); }

}  // namespace brenix
