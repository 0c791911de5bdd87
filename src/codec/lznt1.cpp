#include "codec/lznt1.h"

#include <algorithm>
#include <array>

#include "common/bytes.h"

namespace brenix {
namespace {

// Number of low bits of a back-reference token that hold the length, for a
// token met at `pos` bytes into the chunk's output (pos >= 1). The farther
// into the chunk, the more bits the displacement needs.
unsigned lengthBits(size_t pos) {
  unsigned bits = 12;
  for (size_t i = pos - 1; i >= 0x10; i >>= 1) --bits;
  return bits;
}

// Expands one compressed chunk into buf; returns the bytes produced or -1.
long expandChunk(std::span<const uint8_t> c, std::array<uint8_t, kLznt1ChunkSize>& buf) {
  size_t ip = 0, op = 0;
  while (ip < c.size()) {
    uint8_t flags = c[ip++];
    for (int bit = 0; bit < 8 && ip < c.size(); ++bit) {
      if ((flags & (1u << bit)) == 0) {
        if (op >= buf.size()) return -1;
        buf[op++] = c[ip++];
        continue;
      }
      if (c.size() - ip < 2 || op == 0) return -1;
      uint16_t token = le16(c.data() + ip);
      ip += 2;
      unsigned bits = lengthBits(op);
      size_t disp = (size_t(token) >> bits) + 1;
      size_t length = (size_t(token) & ((1u << bits) - 1)) + 3;
      if (disp > op || length > buf.size() - op) return -1;
      for (size_t k = 0; k < length; ++k, ++op) buf[op] = buf[op - disp];
    }
  }
  return static_cast<long>(op);
}

}  // namespace

bool lznt1Decompress(std::span<const uint8_t> in, std::vector<uint8_t>& out, size_t maxOut) {
  size_t room = maxOut;
  auto append = [&](const uint8_t* p, size_t n, bool zeros) {
    size_t take = std::min(n, room);
    if (zeros) out.insert(out.end(), take, 0);
    else out.insert(out.end(), p, p + take);
    room -= take;
  };
  std::array<uint8_t, kLznt1ChunkSize> buf{};
  size_t pos = 0;
  size_t pad = 0;  // zeros owed to a short chunk once another chunk follows
  while (in.size() - pos >= 2 && room > 0) {
    uint16_t header = le16(in.data() + pos);
    if (header == 0) break;
    size_t dataLen = (header & 0x0FFFu) + 1;
    pos += 2;
    if (dataLen > in.size() - pos) return false;
    std::span<const uint8_t> chunk = in.subspan(pos, dataLen);
    pos += dataLen;
    append(nullptr, pad, true);
    size_t produced;
    if (header & 0x8000u) {
      long n = expandChunk(chunk, buf);
      if (n < 0) return false;
      produced = static_cast<size_t>(n);
      append(buf.data(), produced, false);
    } else {
      produced = std::min(dataLen, kLznt1ChunkSize);
      append(chunk.data(), produced, false);
    }
    pad = kLznt1ChunkSize - produced;
  }
  return true;
}

std::vector<uint8_t> lznt1Compress(std::span<const uint8_t> in) {
  std::vector<uint8_t> out;
  out.reserve(in.size() + in.size() / 64 + 16);
  constexpr size_t kHashSize = 1u << 12;
  constexpr int kMaxChain = 48;
  std::vector<int> head(kHashSize), prev(kLznt1ChunkSize);
  std::vector<uint8_t> data;
  data.reserve(kLznt1ChunkSize + kLznt1ChunkSize / 8 + 8);

  for (size_t start = 0; start < in.size(); start += kLznt1ChunkSize) {
    const uint8_t* src = in.data() + start;
    size_t len = std::min(kLznt1ChunkSize, in.size() - start);
    std::fill(head.begin(), head.end(), -1);
    auto hash = [&](size_t i) { return ((src[i] << 8) ^ (src[i + 1] << 4) ^ src[i + 2]) & (kHashSize - 1); };
    auto insert = [&](size_t i) {
      if (i + 3 > len) return;
      size_t h = hash(i);
      prev[i] = head[h];
      head[h] = static_cast<int>(i);
    };

    data.clear();
    size_t flagPos = 0;
    int bit = 8;
    size_t i = 0;
    while (i < len) {
      if (bit == 8) {
        flagPos = data.size();
        data.push_back(0);
        bit = 0;
      }
      size_t bestLen = 0, bestDisp = 0;
      if (i > 0 && i + 3 <= len) {
        unsigned bits = lengthBits(i);
        size_t maxDisp = size_t(1) << (16 - bits);
        size_t maxLen = std::min<size_t>((size_t(1) << bits) - 1 + 3, len - i);
        int cand = head[hash(i)];
        for (int depth = 0; cand >= 0 && depth < kMaxChain; ++depth, cand = prev[cand]) {
          size_t disp = i - static_cast<size_t>(cand);
          if (disp > maxDisp) break;
          size_t m = 0;
          while (m < maxLen && src[static_cast<size_t>(cand) + m] == src[i + m]) ++m;
          if (m > bestLen) {
            bestLen = m;
            bestDisp = disp;
            if (m == maxLen) break;
          }
        }
        if (bestLen >= 3) {
          uint16_t token = static_cast<uint16_t>(((bestDisp - 1) << bits) | (bestLen - 3));
          data[flagPos] |= static_cast<uint8_t>(1u << bit);
          data.push_back(uint8_t(token));
          data.push_back(uint8_t(token >> 8));
          for (size_t k = 0; k < bestLen; ++k) insert(i + k);
          i += bestLen;
          ++bit;
          continue;
        }
      }
      data.push_back(src[i]);
      insert(i);
      ++i;
      ++bit;
    }

    uint16_t header;
    const uint8_t* body;
    size_t bodyLen;
    if (data.size() < len) {
      header = static_cast<uint16_t>(0xB000u | (data.size() - 1));
      body = data.data();
      bodyLen = data.size();
    } else {
      header = static_cast<uint16_t>(0x3000u | (len - 1));
      body = src;
      bodyLen = len;
    }
    out.push_back(uint8_t(header));
    out.push_back(uint8_t(header >> 8));
    out.insert(out.end(), body, body + bodyLen);
  }
  return out;
}

}  // namespace brenix
