#include "codec/lznt1.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

namespace brenix {
namespace {

// Builds a compressed chunk token by token, tracking the output position the
// decoder will be at, so displacement/length splits follow the position.
class ChunkWriter {
 public:
  void literal(uint8_t b) {
    flag(false);
    body_.push_back(b);
    ++pos_;
  }
  void match(size_t disp, size_t len) {
    unsigned bits = 12;
    for (size_t i = pos_ - 1; i >= 0x10; i >>= 1) --bits;
    uint16_t t = static_cast<uint16_t>(((disp - 1) << bits) | (len - 3));
    flag(true);
    body_.push_back(uint8_t(t));
    body_.push_back(uint8_t(t >> 8));
    pos_ += len;
  }
  size_t maxLength() const {
    unsigned bits = 12;
    for (size_t i = pos_ - 1; i >= 0x10; i >>= 1) --bits;
    return (size_t(1) << bits) - 1 + 3;
  }
  std::vector<uint8_t> chunk() const {
    const uint16_t h = static_cast<uint16_t>(0xB000 | (body_.size() - 1));
    std::vector<uint8_t> c(2 + body_.size());
    c[0] = uint8_t(h);
    c[1] = uint8_t(h >> 8);
    std::copy(body_.begin(), body_.end(), c.begin() + 2);
    return c;
  }

 private:
  void flag(bool set) {
    if (bit_ == 8) {
      flagAt_ = body_.size();
      body_.push_back(0);
      bit_ = 0;
    }
    if (set) body_[flagAt_] |= uint8_t(1u << bit_);
    ++bit_;
  }
  std::vector<uint8_t> body_;
  size_t flagAt_ = 0;
  int bit_ = 8;
  size_t pos_ = 0;
};

std::vector<uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

TEST(Lznt1, UncompressedAndSimpleCompressedChunks) {
  std::vector<uint8_t> raw(4096);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(i * 7 + 3);
  std::vector<uint8_t> in = {0xFF, 0x3F};
  in.insert(in.end(), raw.begin(), raw.end());
  std::vector<uint8_t> out;
  ASSERT_TRUE(lznt1Decompress(in, out, 1 << 20));
  EXPECT_EQ(out, raw);

  // "abc" then a reference 3 back, 6 long: the classic overlapping copy.
  std::vector<uint8_t> c = {0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x03, 0x20};
  out.clear();
  ASSERT_TRUE(lznt1Decompress(c, out, 1 << 20));
  EXPECT_EQ(out, bytesOf("abcabcabc"));
}

TEST(Lznt1, DisplacementLengthSplitFollowsPosition) {
  // At position 17 the token 0x8000 means displacement 17, length 3 (11 length
  // bits); with the 12-bit split of early positions it would be 9 back.
  ChunkWriter w;
  for (char ch : std::string("ABCDEFGHIJKLMNOPQ")) w.literal(uint8_t(ch));
  w.match(17, 3);
  std::vector<uint8_t> out;
  ASSERT_TRUE(lznt1Decompress(w.chunk(), out, 1 << 20));
  EXPECT_EQ(out, bytesOf("ABCDEFGHIJKLMNOPQABC"));

  // A reference from near the end of the chunk back to its first bytes
  // (4 length bits, 12 displacement bits at position 4000).
  ChunkWriter far;
  std::vector<uint8_t> expect;
  for (char ch : std::string("HEAD")) {
    far.literal(uint8_t(ch));
    expect.push_back(uint8_t(ch));
  }
  for (int i = 0; i < 23; ++i) {
    far.literal(uint8_t('a' + i));
    expect.push_back(uint8_t('a' + i));
  }
  // Fill to 4000 with copies of the 23-byte cycle, as long as each token allows.
  while (expect.size() < 4000) {
    size_t len = std::min(far.maxLength(), 4000 - expect.size());
    if (len < 3) {
      uint8_t b = expect[expect.size() - 23];
      far.literal(b);
      expect.push_back(b);
      continue;
    }
    far.match(23, len);
    for (size_t k = 0; k < len; ++k) expect.push_back(expect[expect.size() - 23]);
  }
  far.match(4000, 4);
  expect.insert(expect.end(), {'H', 'E', 'A', 'D'});
  far.match(1, 18);  // run of the last byte, length field of 4 bits (max 18)
  expect.insert(expect.end(), 18, 'D');
  out.clear();
  ASSERT_TRUE(lznt1Decompress(far.chunk(), out, 1 << 20));
  EXPECT_EQ(out, expect);
}

TEST(Lznt1, ShortChunkIsPaddedWhenAnotherFollowsAndEndMarkerStops) {
  std::vector<uint8_t> in = {0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x03, 0x20};  // 9 bytes
  in.insert(in.end(), {0x01, 0x30, 'x', 'y'});                            // stored, 2 bytes
  in.insert(in.end(), {0x00, 0x00, 0x01, 0x30, 'z', 'z'});                // end marker, then junk
  std::vector<uint8_t> out;
  ASSERT_TRUE(lznt1Decompress(in, out, 1 << 20));
  ASSERT_EQ(out.size(), 4096u + 2);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 9), "abcabcabc");
  EXPECT_EQ(std::count(out.begin() + 9, out.begin() + 4096, 0), 4096 - 9);
  EXPECT_EQ(out[4096], 'x');
  EXPECT_EQ(out[4097], 'y');

  out.clear();  // the cap cuts the output but is no error
  ASSERT_TRUE(lznt1Decompress(in, out, 5));
  EXPECT_EQ(out, bytesOf("abcab"));
}

TEST(Lznt1, MalformedInputFails) {
  std::vector<uint8_t> out;
  // Reference 4 back at position 3.
  std::vector<uint8_t> before = {0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x03, 0x30};
  EXPECT_FALSE(lznt1Decompress(before, out, 1 << 20));
  // Header claims more bytes than there are.
  std::vector<uint8_t> truncated = {0x10, 0xB0, 0x00, 'a'};
  EXPECT_FALSE(lznt1Decompress(truncated, out, 1 << 20));
  // Token cut in half.
  std::vector<uint8_t> halfToken = {0x02, 0xB0, 0x02, 'a', 0x00};
  EXPECT_FALSE(lznt1Decompress(halfToken, out, 1 << 20));
  // Expansion past 4096 bytes inside one chunk.
  ChunkWriter w;
  w.literal('q');
  for (int i = 0; i < 1000; ++i) w.match(1, 18);
  out.clear();
  EXPECT_FALSE(lznt1Decompress(w.chunk(), out, 1 << 20));
}

TEST(Lznt1, RoundTripShrinksRepetitiveDataAndKeepsRandomData) {
  std::mt19937 rng(42);
  std::vector<uint8_t> text;
  const std::string words[] = {"photo ", "recovery ", "cluster ", "record ", "NTFS\n"};
  while (text.size() < 50000) {
    const std::string& w = words[rng() % 5];
    text.insert(text.end(), w.begin(), w.end());
  }
  std::vector<uint8_t> noise(9000);
  for (auto& b : noise) b = uint8_t(rng());
  for (const auto* data : {&text, &noise}) {
    std::vector<uint8_t> packed = lznt1Compress(*data);
    std::vector<uint8_t> back;
    ASSERT_TRUE(lznt1Decompress(packed, back, data->size()));
    EXPECT_EQ(back, *data);
  }
  EXPECT_LT(lznt1Compress(text).size(), text.size() / 3);
  // Incompressible chunks are stored: two bytes of header per chunk.
  EXPECT_EQ(lznt1Compress(noise).size(), noise.size() + 2 * 3);
  EXPECT_TRUE(lznt1Compress({}).empty());
}

}  // namespace
}  // namespace brenix
