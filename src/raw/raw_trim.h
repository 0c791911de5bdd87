#pragma once
// Trimming a carved file to its format's own end. The cut the scan makes
// (next header or maximal size) is an upper bound; for formats whose
// structure gives their length the carved file is trimmed to that length:
// JPEG (marker walk to EOI), PNG (IEND), GIF (trailer), BMP (file size),
// TIFF and TIFF-based camera raws (the extents the IFDs reference), RAF
// (header offsets), ZIP and its containers (end of central directory), PDF
// (last %%EOF of the file), RIFF (size field), ISO-BMFF (top-level boxes),
// Matroska/WebM (EBML and segment sizes).
#include <cstddef>
#include <cstdint>
#include <functional>

namespace brenix {

// Reads n bytes at offset `offset` from the carved file's first byte into
// buf; returns how many bytes it could read (fewer only at the bound or on a
// read failure).
using RawByteSource = std::function<size_t(uint64_t offset, uint8_t* buf, size_t n)>;

// The file's own length when its structure gives one that lies within
// `bound` bytes, else 0 (keep the cut). Never reads past bound.
uint64_t rawFormatEnd(const RawByteSource& source, uint64_t bound);

// The same, only for formats whose structure alone gives the end (sizes,
// offsets, marker walks). PDF is left out: its end is the last "%%EOF"
// found, which with a far bound may belong to a later file.
uint64_t rawStructuralEnd(const RawByteSource& source, uint64_t bound);

}  // namespace brenix
