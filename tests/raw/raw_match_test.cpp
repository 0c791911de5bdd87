// Pattern syntax and the matcher: byte-direct comparison with the same
// results as comparing the bytes' "%02x" text.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "raw/raw_pattern.h"
#include "raw/raw_scanner.h"
#include "raw/raw_types.h"

namespace brenix {
namespace {

bool matches(const std::string& pattern, std::vector<uint8_t> bytes) {
  return compilePattern(pattern).matches(bytes.data(), bytes.size());
}

// The textual rule, written the slow way: every alternative against the
// "%02x" text of the bytes, an odd final digit against the next high digit.
bool textMatches(const std::string& pattern, const std::vector<uint8_t>& bytes) {
  std::string hex;
  for (uint8_t b : bytes) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  size_t pos = 0;
  while (true) {
    size_t bar = pattern.find('|', pos);
    std::string alt = pattern.substr(pos, bar == std::string::npos ? std::string::npos : bar - pos);
    if (alt.size() <= hex.size() && hex.compare(0, alt.size(), alt) == 0) return true;
    if (bar == std::string::npos) return false;
    pos = bar + 1;
  }
}

TEST(RawPattern, TheDocumentedCases) {
  EXPECT_TRUE(matches("ffd8ff", {0xFF, 0xD8, 0xFF, 0xE0}));
  EXPECT_FALSE(matches("ffd8ff", {0xFF, 0xD8, 0xFE}));
  for (int low = 0; low < 16; ++low) EXPECT_TRUE(matches("ffd8f", {0xFF, 0xD8, uint8_t(0xF0 | low)}));
  EXPECT_FALSE(matches("ffd8f", {0xFF, 0xD8, 0xE0}));
  EXPECT_TRUE(matches("4d4d|4949", {0x4D, 0x4D}));
  EXPECT_TRUE(matches("4d4d|4949", {0x49, 0x49}));
  EXPECT_FALSE(matches("4d4d|4949", {0x4D, 0x49}));
  EXPECT_FALSE(matches("FFD8FF", {0xFF, 0xD8, 0xFF}));
  EXPECT_TRUE(matches("", {0x00}));
  EXPECT_TRUE(matches("", {}));
  EXPECT_FALSE(matches("ffd8ff", {0xFF, 0xD8}));  // not enough bytes: no match, no read past them
  EXPECT_FALSE(matches("ff d8", {0xFF, 0x20, 0xD8}));
}

TEST(RawPattern, ByteComparisonAgreesWithTheTextRule) {
  std::mt19937 rng(7);
  const char digits[] = "0123456789abcdefA|";
  for (int round = 0; round < 20000; ++round) {
    std::vector<uint8_t> bytes(rng() % 5);
    for (uint8_t& b : bytes) b = uint8_t(rng() % 4 == 0 ? 0x4d : rng());
    std::string pattern;
    size_t len = rng() % 9;
    for (size_t i = 0; i < len; ++i) pattern += digits[rng() % (sizeof digits - 1)];
    // Patterns built from the bytes themselves, so matches are common.
    if (round % 2 && !bytes.empty()) {
      char two[3];
      std::snprintf(two, sizeof two, "%02x", bytes[0]);
      pattern = std::string(two) + (rng() % 2 ? "" : std::string(1, digits[rng() % 16]));
    }
    EXPECT_EQ(matches(pattern, bytes), textMatches(pattern, bytes)) << "pattern '" << pattern << "'";
  }
}

RawTypeList listOf(std::vector<std::tuple<std::string, std::vector<std::pair<int32_t, std::string>>>> sets) {
  RawTypeList list;
  for (auto& [ext, sigs] : sets) {
    auto t = std::make_unique<RawFileType>(makeRawFileType());
    std::snprintf(t->extension, sizeof t->extension, "%s", ext.c_str());
    std::snprintf(t->description, sizeof t->description, "%s file", ext.c_str());
    t->signatureCount = int32_t(sigs.size());
    for (size_t i = 0; i < sigs.size(); ++i) {
      t->offsets[i] = sigs[i].first;
      std::snprintf(t->patterns[i], kRawPatternField, "%s", sigs[i].second.c_str());
    }
    t->selected = 1;
    list.types.push_back(std::move(t));
  }
  list.compile();
  return list;
}

TEST(RawMatcher, ListOrderSelectionAndSignaturesPastTheFirstSector) {
  RawTypeList list = listOf({{"tif", {{0, "4949"}}},
                             {"cr2", {{0, "49492a00"}}},
                             {"two", {{0, "aabb"}, {700, "ccdd"}}},
                             {"far", {{1030, "1234"}}},
                             {"half", {{0, "e"}}},
                             {"any", {{0, ""}, {4, "77"}}}});
  std::vector<uint8_t> buf(2048, 0);
  auto at = [&](size_t off, std::vector<uint8_t> v) { std::copy(v.begin(), v.end(), buf.begin() + long(off)); };
  {
    RawMatcher m(list);
    at(0, {0x49, 0x49, 0x2A, 0x00});
    EXPECT_EQ(m.match(buf.data(), buf.size()), 0);  // the first type in list order wins
    list.types[0]->selected = 0;
  }
  {
    RawMatcher m(list);
    EXPECT_EQ(m.match(buf.data(), buf.size()), 1);
    at(0, {0xAA, 0xBB});
    EXPECT_EQ(m.match(buf.data(), buf.size()), -1);  // second signature missing
    at(700, {0xCC, 0xDD});
    EXPECT_EQ(m.match(buf.data(), buf.size()), 2);
    EXPECT_EQ(m.match(buf.data(), 700), -1);  // the second signature lies past what is readable
    at(0, {0x00, 0x00});
    at(1030, {0x12, 0x34});
    EXPECT_EQ(m.match(buf.data(), buf.size()), 3);
    at(1030, {0, 0});
    at(0, {0xE7});
    EXPECT_EQ(m.match(buf.data(), buf.size()), 4);
    at(0, {0x00});
    at(4, {0x77});
    EXPECT_EQ(m.match(buf.data(), buf.size()), 5);
    EXPECT_GE(m.reach(), 1032u);
  }
}

}  // namespace
}  // namespace brenix
