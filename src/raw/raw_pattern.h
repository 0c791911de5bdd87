#pragma once
// Signature patterns: one or more alternatives separated by "|", each a run
// of lower-case hexadecimal digit pairs compared with the bytes at the
// pattern's offset. An odd final digit compares with the high digit of the
// next byte; upper-case or other characters never match; an empty pattern
// (or an empty alternative) matches any bytes. Matching compares bytes
// directly, with the same results as comparing the "%02x" text of the bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brenix {

struct PatternAlternative {
  std::vector<uint8_t> bytes;  // the full digit pairs
  bool hasHalf = false;        // an odd final digit
  uint8_t halfNibble = 0;      // its value (compared with the next byte's high digit)
  bool usable = true;          // false when a character can never match ("FF", "g", " ")

  bool matchesAll() const { return usable && bytes.empty() && !hasHalf; }
  // Bytes of data this alternative looks at.
  size_t reach() const { return bytes.size() + (hasHalf ? 1 : 0); }
  bool matches(const uint8_t* data, size_t avail) const;
};

struct CompiledPattern {
  std::vector<PatternAlternative> alternatives;  // at least one

  // data points at the pattern's offset; avail bytes are readable from there.
  bool matches(const uint8_t* data, size_t avail) const {
    for (const PatternAlternative& a : alternatives)
      if (a.matches(data, avail)) return true;
    return false;
  }
  size_t reach() const;
};

CompiledPattern compilePattern(std::string_view text);

// What is wrong with a pattern a database author most likely did not mean,
// empty when nothing: upper-case digits, characters that are not hex digits,
// an empty alternative, a pattern that can never match.
std::string patternProblem(std::string_view text);

}  // namespace brenix
