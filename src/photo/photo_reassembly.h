#pragma once
// Putting a JPEG stored in two pieces back together: the first piece runs
// from the header to the unit (cluster or sector) where the entropy data
// stops decoding; the second starts at the first later unit, within a
// bounded distance, with which the decoder runs on to the end marker
// without a warning and whose first decoded rows continue the first piece's
// last ones without a step. Time and memory are bounded per picture.
#include <cstdint>
#include <functional>

namespace brenix {

// Reads n bytes at a byte position; returns how many were read.
using PieceReader = std::function<size_t(uint64_t pos, uint8_t* buf, size_t n)>;

struct TwoPieces {
  uint64_t firstLength = 0;   // bytes from the header
  uint64_t secondStart = 0;   // byte position of the second piece
  uint64_t secondLength = 0;  // bytes, up to and with the end marker
};

struct ReassemblyLimits {
  uint32_t unit = 4096;            // pieces start and break on multiples of this from the header
  uint64_t maxGap = 8ull << 20;    // furthest the second piece may start past the first's end
  uint64_t maxSize = 32ull << 20;  // largest picture put together
  uint32_t maxMillis = 10000;      // time for one picture
};

// Looks for the two pieces of the JPEG whose header is at `start`; `end` is
// the first byte position past the readable range. False when the picture
// does not break at a unit boundary or no second piece makes it whole.
bool findTwoPieces(const PieceReader& read, uint64_t start, uint64_t end, const ReassemblyLimits& limits,
                   TwoPieces* out);

}  // namespace brenix
