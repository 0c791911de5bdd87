#pragma once
// LZNT1, the chunked LZ77 format of NTFS compressed files (and of packed
// signature databases). Data is a sequence of chunks that each expand to at
// most 4096 bytes; a chunk starts with a 16-bit header: bits 0-11 = stored
// size - 3 (header included), bit 15 = compressed. A zero header ends the data.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace brenix {

inline constexpr size_t kLznt1ChunkSize = 4096;

// Decompresses `in`, appending at most maxOut bytes to out. Returns false on
// malformed data (a chunk running past the input, a back-reference before
// the chunk start); out then holds what was decoded before the fault.
// A chunk that expands to less than 4096 bytes and is followed by another
// chunk is padded with zeros to 4096 bytes, as the Windows routine does.
// Output beyond maxOut is dropped silently (the result is still true).
bool lznt1Decompress(std::span<const uint8_t> in, std::vector<uint8_t>& out, size_t maxOut);

// Compresses `in` into LZNT1 chunks (a chunk that does not shrink is stored
// uncompressed). The result holds no end marker.
std::vector<uint8_t> lznt1Compress(std::span<const uint8_t> in);

}  // namespace brenix
