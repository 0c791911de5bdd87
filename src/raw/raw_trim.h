#pragma once
// Trimming a carved file to its format's own end. The cut the scan makes
// (next header or maximal size) is an upper bound; for formats whose
// structure gives their length the carved file is trimmed to that length:
// JPEG (marker walk to EOI, with the images an MPF index appends; a walk
// that fails ends at the last entropy-coded data before garbage or empty
// sectors), PNG/MNG (IEND/MEND), GIF (trailer), BMP (file size), TIFF and
// TIFF-based camera raws (the extents the IFDs reference), RAF (header
// offsets), ZIP and its containers (end of central directory), PDF (last
// %%EOF of the file), RIFF and AIFF (size field), ISO-BMFF (top-level boxes,
// only once an `mdat` was met), JPEG 2000 and JPEG XL boxes,
// Matroska/WebM (EBML and segment sizes), MPEG transport streams (188- and
// 192-byte packets) and program streams (pack walk), PST and DBX (the file
// size in their header), SQLite (page size x page count), CAB, 7z, ICO.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace brenix {

// Reads n bytes at offset `offset` from the carved file's first byte into
// buf; returns how many bytes it could read (fewer only at the bound or on a
// read failure).
using RawByteSource = std::function<size_t(uint64_t offset, uint8_t* buf, size_t n)>;

// What a format walk found out about a carved file.
struct RawFormatWalk {
  uint64_t end = 0;       // the file's own length within the bound, 0 = unknown (keep the cut)
  bool verified = false;  // the walk checked the structure itself out (markers, CRCs,
                          // directories, tiling boxes, packet sync), not only a size field
  uint32_t packet = 0;    // packet spacing of a stream: 188 (TS), 192 (M2TS), 1 (program
                          // stream, packs of any length); 0 for other formats
  std::vector<uint64_t> anchors;  // offsets the structure points at (TIFF previews, thumbnails)
};

// The walk of the file whose first byte the source reads, never reading
// past bound. withPdf: also PDF, whose end is the last "%%EOF" found.
RawFormatWalk rawWalkFormat(const RawByteSource& source, uint64_t bound, bool withPdf);

// The file's own length when its structure gives one that lies within
// `bound` bytes, else 0 (keep the cut). Never reads past bound.
uint64_t rawFormatEnd(const RawByteSource& source, uint64_t bound);

// The same, only for formats whose structure alone gives the end (sizes,
// offsets, marker walks). PDF is left out: its end is the last "%%EOF"
// found, which with a far bound may belong to a later file.
uint64_t rawStructuralEnd(const RawByteSource& source, uint64_t bound);

}  // namespace brenix
