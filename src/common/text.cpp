#include "common/text.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace brenix {

std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), fmt, args);
    out.resize(static_cast<size_t>(n));
  }
  va_end(args);
  return out;
}

void copyToField(char* field, size_t size, std::string_view text) {
  if (size == 0) return;
  std::memset(field, 0, size);
  size_t n = std::min(text.size(), size - 1);
  std::memcpy(field, text.data(), n);
}

std::string fieldText(const char* field, size_t size) {
  const char* end = static_cast<const char*>(std::memchr(field, 0, size));
  return std::string(field, end ? static_cast<size_t>(end - field) : size);
}

namespace {
void appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

template <typename Get>
std::string decodeUtf16(size_t units, Get get, std::string_view replacement) {
  std::string out;
  out.reserve(units);
  for (size_t i = 0; i < units; ++i) {
    uint32_t u = get(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      uint32_t lo = get(i + 1);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        ++i;
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) {
      out += replacement;
      continue;
    }
    appendUtf8(out, u);
  }
  return out;
}
}  // namespace

std::string utf16leToUtf8(const uint8_t* data, size_t units, std::string_view replacement) {
  return decodeUtf16(
      units, [&](size_t i) { return static_cast<uint32_t>(data[2 * i] | (data[2 * i + 1] << 8)); },
      replacement);
}

std::string utf16ToUtf8(const std::u16string& s, std::string_view replacement) {
  return decodeUtf16(s.size(), [&](size_t i) { return static_cast<uint32_t>(s[i]); }, replacement);
}

std::string toLower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::string toUpper(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return out;
}

}  // namespace brenix
