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

const void* findBytes(const void* haystack, size_t haystackSize, const void* needle, size_t needleSize) {
  if (needleSize == 0) return haystack;
  if (needleSize > haystackSize) return nullptr;
  const auto* h = static_cast<const unsigned char*>(haystack);
  const auto* n = static_cast<const unsigned char*>(needle);
  const unsigned char first = n[0];
  const unsigned char* last = h + (haystackSize - needleSize);
  for (const unsigned char* p = h; p <= last;) {
    p = static_cast<const unsigned char*>(std::memchr(p, first, static_cast<size_t>(last - p) + 1));
    if (!p) return nullptr;
    if (std::memcmp(p, n, needleSize) == 0) return p;
    ++p;
  }
  return nullptr;
}

namespace {
unsigned char foldCase(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u + 32) : u;
}

// A bracket expression at pattern[i] ('['): whether c is in it; end receives
// the index after ']'. false with end == npos when the bracket is not closed.
bool inBracket(std::string_view pattern, size_t i, unsigned char c, size_t* end) {
  size_t j = i + 1;
  bool negate = false;
  if (j < pattern.size() && (pattern[j] == '!' || pattern[j] == '^')) {
    negate = true;
    ++j;
  }
  bool matched = false;
  bool firstChar = true;
  while (j < pattern.size() && (pattern[j] != ']' || firstChar)) {
    firstChar = false;
    unsigned char lo = foldCase(pattern[j]);
    if (pattern[j] == '\\' && j + 1 < pattern.size()) lo = foldCase(pattern[++j]);
    ++j;
    unsigned char hi = lo;
    if (j + 1 < pattern.size() && pattern[j] == '-' && pattern[j + 1] != ']') {
      hi = foldCase(pattern[j + 1]);
      j += 2;
    }
    if (c >= lo && c <= hi) matched = true;
  }
  if (j >= pattern.size()) {
    *end = std::string_view::npos;
    return false;
  }
  *end = j + 1;
  return matched != negate;
}
}  // namespace

bool globMatchCaseFold(std::string_view pattern, std::string_view name) {
  size_t p = 0, n = 0;
  size_t starP = std::string_view::npos, starN = 0;  // the last '*' and where it stands in the name
  while (n < name.size()) {
    bool advanced = false;
    if (p < pattern.size()) {
      const char pc = pattern[p];
      if (pc == '*') {
        starP = p++;
        starN = n;
        continue;
      }
      if (pc == '?') {
        ++p;
        ++n;
        advanced = true;
      } else if (pc == '[') {
        size_t end = 0;
        const bool in = inBracket(pattern, p, foldCase(name[n]), &end);
        if (end == std::string_view::npos) {
          // An unclosed bracket is a plain '['.
          if (name[n] == '[') {
            ++p;
            ++n;
            advanced = true;
          }
        } else if (in) {
          p = end;
          ++n;
          advanced = true;
        }
      } else {
        char want = pc;
        size_t step = 1;
        if (pc == '\\' && p + 1 < pattern.size()) {
          want = pattern[p + 1];
          step = 2;
        }
        if (foldCase(want) == foldCase(name[n])) {
          p += step;
          ++n;
          advanced = true;
        }
      }
    }
    if (advanced) continue;
    if (starP == std::string_view::npos) return false;
    p = starP + 1;
    n = ++starN;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

size_t utf8SequenceLength(std::string_view s, size_t i) {
  if (i >= s.size()) return 0;
  const auto c = static_cast<uint8_t>(s[i]);
  size_t len = 0;
  uint32_t cp = 0;
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) len = 2, cp = c & 0x1F;
  else if ((c & 0xF0) == 0xE0) len = 3, cp = c & 0x0F;
  else if ((c & 0xF8) == 0xF0) len = 4, cp = c & 0x07;
  else return 0;
  if (len > s.size() - i) return 0;
  for (size_t k = 1; k < len; ++k) {
    const auto cc = static_cast<uint8_t>(s[i + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

size_t utf8CutLength(std::string_view s, size_t max) {
  if (s.size() <= max) return s.size();
  size_t cut = max;
  while (cut > 0 && (static_cast<uint8_t>(s[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

std::string cutUtf8(std::string_view s, size_t max) { return std::string(s.substr(0, utf8CutLength(s, max))); }

std::string sanitizeFileName(std::string_view name, const FileNameRules& rules) {
  if (name.empty()) return std::string(rules.emptyName);
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    // ':' too: a stream item "name:stream" is written as "name_stream".
    bool bad = u < 0x20 || u == 0x7F || c == '/' || c == '\\' || c == ':';
    if (rules.portable)
      bad = bad || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|';
    out += bad ? '_' : c;
  }
  if (rules.maxBytes > 0 && out.size() > rules.maxBytes) {
    std::string ext;
    const size_t dot = out.rfind('.');
    if (dot != std::string::npos && out.size() - dot <= 16 && out.size() - dot < rules.maxBytes) ext = out.substr(dot);
    out = cutUtf8(out, rules.maxBytes - ext.size()) + ext;
  }
  if (rules.portable)
    for (size_t i = out.size(); i > 0 && (out[i - 1] == ' ' || out[i - 1] == '.'); --i) out[i - 1] = '_';
  if (out.empty() || out == "." || out == "..") out = std::string(out.size() ? out.size() : 1, '_');
  return out;
}

}  // namespace brenix
