#include "photo/photo_reassembly.h"

#ifdef BRENIX_HAVE_TURBOJPEG
#include <turbojpeg.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "photo/photo_info.h"

namespace brenix {

#ifdef BRENIX_HAVE_TURBOJPEG
namespace {

enum class Run { Whole, RanOut, Failed };

// A decode at 1/8 scale, grey: each pixel one 8x8 block's mean.
struct Thumb {
  int width = 0, height = 0;
  int mcuRows = 1;  // pixel rows of one MCU row (2 with vertically halved colour)
  std::vector<uint8_t> pixels;
};

// Decodes at 1/8 scale: Whole (no warning), RanOut (every byte decoded, the
// data ended first) or Failed (bad data or header). The pixels are kept in
// *thumb when given (after RanOut, the blocks past the data are the
// decoder's fill).
Run decodeRun(tjhandle h, const uint8_t* data, size_t size, Thumb* thumb = nullptr) {
  int w = 0, ht = 0, ss = 0, cs = 0;
  if (tjDecompressHeader3(h, data, static_cast<unsigned long>(size), &w, &ht, &ss, &cs) != 0) return Run::Failed;
  if (w <= 0 || ht <= 0 || uint64_t(w) * uint64_t(ht) > kMaxDecodePixels) return Run::Failed;
  if (jpegCoefficientBufferBytes({data, size}) > kMaxDecodeBufferBytes) return Run::Failed;
  const tjscalingfactor eighth{1, 8};
  const int sw = TJSCALED(w, eighth), sh = TJSCALED(ht, eighth);
  Thumb local;
  Thumb& t = thumb ? *thumb : local;
  t.width = sw;
  t.height = sh;
  t.mcuRows = ss == TJSAMP_420 || ss == TJSAMP_440 ? 2 : 1;
  t.pixels.assign(size_t(sw) * size_t(sh), 0);
  if (tjDecompress2(h, data, static_cast<unsigned long>(size), t.pixels.data(), sw, sw, sh, TJPF_GRAY,
                    TJFLAG_STOPONWARNING) == 0)
    return Run::Whole;
  const char* why = tjGetErrorStr2(h);
  return why && std::strstr(why, "Premature end of JPEG file") ? Run::RanOut : Run::Failed;
}

// Mean difference between pixel row y and the row above it.
double rowStep(const Thumb& t, int y) {
  uint64_t sum = 0;
  const uint8_t* a = &t.pixels[size_t(y) * size_t(t.width)];
  const uint8_t* b = a - t.width;
  for (int x = 0; x < t.width; ++x) sum += uint64_t(std::abs(int(a[x]) - int(b[x])));
  return double(sum) / t.width;
}

// Whether the picture put together runs on smoothly at the join: the rows
// from the second piece's first MCU row on differ from the last rows of the
// first piece no more than those rows differ among themselves (with a
// margin). `first` is the first piece decoded alone, `joined` the whole.
// A continuation from another picture (or another place of this one) that
// happens to decode to the end marker shows a step there.
bool joinMatches(const Thumb& first, const Thumb& joined) {
  if (first.width != joined.width || first.height != joined.height || joined.width == 0) return false;
  size_t k = 0;
  while (k < joined.pixels.size() && joined.pixels[k] == first.pixels[k]) ++k;
  if (k == joined.pixels.size()) return true;
  const int m = std::max(1, joined.mcuRows);
  const int row = int(k / size_t(joined.width)) / m * m;  // first row of the MCU row holding the join
  if (row < 2) return true;  // no good rows above to compare with
  double before = 0, after = 0;
  for (int y = std::max(1, row - 8); y < row; ++y) before = std::max(before, rowStep(joined, y));
  for (int y = row; y < std::min(joined.height, row + 3 * m); ++y) after = std::max(after, rowStep(joined, y));
  return after <= 2 * before + 8;
}

// Position of the first FF D9 at or after `from`, or npos.
size_t findEnd(const std::vector<uint8_t>& d, size_t from, size_t limit) {
  for (size_t p = from; p + 1 < limit; ++p)
    if (d[p] == 0xFF && d[p + 1] == 0xD9) return p;
  return std::string::npos;
}

// Whether [from, to) can be entropy-coded data: an FF byte there is followed
// by a stuffed 00, a restart marker or another FF (fill). Random bytes and
// most other formats fail this within their first unit, before any decode.
bool entropyLike(const std::vector<uint8_t>& d, size_t from, size_t to) {
  for (size_t p = from; p + 1 < to; ++p) {
    if (d[p] != 0xFF) continue;
    const uint8_t m = d[p + 1];
    if (m != 0x00 && m != 0xFF && (m < 0xD0 || m > 0xD7)) return false;
  }
  return true;
}

bool allZero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

}  // namespace

bool findTwoPieces(const PieceReader& read, uint64_t start, uint64_t end, const ReassemblyLimits& limits,
                   TwoPieces* out) {
  const auto began = std::chrono::steady_clock::now();
  const size_t unit = limits.unit ? limits.unit : 4096;
  if (end <= start) return false;
  const uint64_t span = std::min<uint64_t>(end - start, limits.maxSize + limits.maxGap);
  std::vector<uint8_t> w(static_cast<size_t>(span));
  w.resize(read(start, w.data(), w.size()));
  if (w.size() < 2 * unit || w[0] != 0xFF || w[1] != 0xD8) return false;
  tjhandle h = tjInitDecompress();
  if (!h) return false;
  std::unique_ptr<void, int (*)(tjhandle)> guard(h, tjDestroy);

  // The first piece: the longest prefix of whole units that decodes without
  // a fault (bisection), less any units of zeros at its end.
  const size_t maxUnits = std::min<size_t>(w.size(), limits.maxSize) / unit;
  size_t lo = 0, hi = maxUnits;  // prefix of lo units runs clean; of hi+1 not known
  // The headers may fill several units: the first prefix that runs out cleanly.
  while (lo < std::min<size_t>(hi, 64) && decodeRun(h, w.data(), (lo + 1) * unit) != Run::RanOut) ++lo;
  if (lo >= std::min<size_t>(hi, 64)) return false;
  ++lo;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo + 1) / 2;
    if (decodeRun(h, w.data(), mid * unit) == Run::RanOut) lo = mid;
    else hi = mid - 1;
  }
  // Entropy data never holds a whole unit of zeros, though zeros decode: the
  // first such unit ends the first piece.
  size_t first = lo * unit;
  for (size_t u = 1; u < lo; ++u)
    if (allZero(&w[u * unit], unit)) {
      first = u * unit;
      break;
    }
  if (first >= w.size()) return false;

  // The second piece: the first unit past the first piece from which the
  // decode runs on to the end marker without a warning.
  Thumb firstThumb, joinedThumb;
  decodeRun(h, w.data(), first, &firstThumb);
  std::vector<uint8_t> joined;
  const size_t gapEnd = std::min<size_t>(w.size(), first + limits.maxGap);
  for (size_t c = first; c < gapEnd; c += unit) {
    if (std::chrono::steady_clock::now() - began > std::chrono::milliseconds(limits.maxMillis)) return false;
    if (c == first) continue;  // that is the file as carved
    if (allZero(&w[c], unit)) continue;  // no piece of entropy data starts with a unit of zeros
    const size_t limit = std::min<size_t>(w.size(), c + (limits.maxSize - first));
    const size_t eoi = findEnd(w, c, limit);
    if (eoi == std::string::npos) break;  // no end marker after here within reach
    if (!entropyLike(w, c, std::min(eoi, c + (64u << 10)))) continue;
    joined.assign(w.begin(), w.begin() + long(first));
    joined.insert(joined.end(), w.begin() + long(c), w.begin() + long(eoi + 2));
    if (decodeRun(h, joined.data(), joined.size(), &joinedThumb) == Run::Whole && joinMatches(firstThumb, joinedThumb)) {
      out->firstLength = first;
      out->secondStart = start + c;
      out->secondLength = eoi + 2 - c;
      return true;
    }
  }
  return false;
}

#else
// Without a decoder nothing can be told whole: no pieces are put together.
bool findTwoPieces(const PieceReader&, uint64_t, uint64_t, const ReassemblyLimits&, TwoPieces*) { return false; }
#endif

}  // namespace brenix
