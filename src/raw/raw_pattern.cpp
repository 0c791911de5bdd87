#include "raw/raw_pattern.h"

#include <algorithm>
#include <cstring>

namespace brenix {

namespace {
int lowerHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
}  // namespace

bool PatternAlternative::matches(const uint8_t* data, size_t avail) const {
  if (!usable) return false;
  size_t n = bytes.size();
  if (avail < reach()) return false;
  if (n != 0 && std::memcmp(data, bytes.data(), n) != 0) return false;
  return !hasHalf || (data[n] >> 4) == halfNibble;
}

size_t CompiledPattern::reach() const {
  size_t r = 0;
  for (const PatternAlternative& a : alternatives) r = std::max(r, a.reach());
  return r;
}

CompiledPattern compilePattern(std::string_view text) {
  CompiledPattern p;
  size_t pos = 0;
  while (true) {
    size_t bar = text.find('|', pos);
    std::string_view alt = text.substr(pos, bar == std::string_view::npos ? std::string_view::npos : bar - pos);
    PatternAlternative a;
    a.bytes.reserve(alt.size() / 2);
    for (size_t i = 0; i < alt.size(); i += 2) {
      int hi = lowerHexValue(alt[i]);
      if (hi < 0) {
        a.usable = false;
        break;
      }
      if (i + 1 == alt.size()) {
        a.hasHalf = true;
        a.halfNibble = static_cast<uint8_t>(hi);
        break;
      }
      int lo = lowerHexValue(alt[i + 1]);
      if (lo < 0) {
        a.usable = false;
        break;
      }
      a.bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    p.alternatives.push_back(std::move(a));
    if (bar == std::string_view::npos) break;
    pos = bar + 1;
  }
  return p;
}

std::string patternProblem(std::string_view text) {
  if (text.empty()) return {};
  bool anyUsable = false;
  size_t pos = 0;
  while (true) {
    size_t bar = text.find('|', pos);
    std::string_view alt = text.substr(pos, bar == std::string_view::npos ? std::string_view::npos : bar - pos);
    if (alt.empty()) return "empty alternative (matches any bytes)";
    for (char c : alt) {
      if (c >= 'A' && c <= 'F') return "upper-case hex digit '" + std::string(1, c) + "' never matches";
      if (lowerHexValue(c) < 0) return "character '" + std::string(1, c) + "' is not a hex digit";
    }
    anyUsable = true;
    if (bar == std::string_view::npos) break;
    pos = bar + 1;
  }
  return anyUsable ? std::string() : "pattern can never match";
}

}  // namespace brenix
