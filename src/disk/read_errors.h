#pragma once
// The sectors that could not be read, per device or image, as the reads of
// every engine meet them. SectorReader fills it: when a read fails it tries
// the request again sector by sector, once, and records each sector that
// still fails; scans report the count ("N sectors could not be read").
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace brenix {

class ReadErrorLog {
 public:
  static ReadErrorLog& instance();

  void record(const std::string& path, uint64_t firstSector, uint64_t count);
  // Distinct unreadable sectors of a device, and their runs (first sector, count) in order.
  uint64_t count(const std::string& path) const;
  std::vector<std::pair<uint64_t, uint64_t>> ranges(const std::string& path) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::map<uint64_t, uint64_t>> runs_;  // path -> first sector -> count
};

inline constexpr const char* kUnreadableSectorsFormat = "%llu sectors could not be read";

// While one of these is alive on a thread, a read on that thread that meets
// unreadable sectors (after its retry in sector pieces) hands back zeros in
// their place and succeeds; the zero-filled stretches of the read buffer are
// noted here. A writer that passes each block it writes to written() learns
// where in its output those zeros landed. Used while a found file is written
// out: the file is kept whole, with zeros for what could not be read, and
// marked. Not nested; one per thread.
class ZeroFilledReads {
 public:
  ZeroFilledReads();
  ~ZeroFilledReads();
  ZeroFilledReads(const ZeroFilledReads&) = delete;
  ZeroFilledReads& operator=(const ZeroFilledReads&) = delete;

  // The scope of this thread, or null.
  static ZeroFilledReads* current();

  // Called by the reader: [buffer, buffer + count) is about to be filled by a
  // read, so zeros noted there earlier are gone.
  void reading(const void* buffer, size_t count);
  // Called by the reader: count bytes at buffer are zeros in place of unreadable ones.
  void zeroFilled(const void* buffer, size_t count);

  // Called by the writer: size bytes from data are written at outputOffset.
  void written(const void* data, size_t size, uint64_t outputOffset);

  // Sectors handed back as zeros so far.
  uint64_t sectors() const { return zeroBytes_ / 512; }
  // Where the zeros landed in the output: (offset, length) runs in the order written, adjacent ones merged.
  const std::vector<std::pair<uint64_t, uint64_t>>& outputRanges() const { return placed_; }
  // Zero-filled bytes never seen written (read for something else, or copied
  // out of the read buffer before being written).
  uint64_t unplacedBytes() const;

 private:
  struct Hole {
    uintptr_t address;
    size_t length;
  };
  std::vector<Hole> holes_;  // zero-filled stretches of read buffers not yet written
  std::vector<std::pair<uint64_t, uint64_t>> placed_;
  uint64_t zeroBytes_ = 0;
  uint64_t placedBytes_ = 0;
};

// One attempt at the bytes [pos, pos + n) of a device: false with an errno
// value in *error, *media set when the medium failed and *timedOut when the
// read was given up: at its deadline (ETIMEDOUT), without starting because
// it overlaps a read still stalled (EAGAIN), or because too many reads hang
// already (EBUSY).
using DeviceRangeRead =
    std::function<bool(uint64_t pos, uint8_t* into, size_t n, int* error, bool* media, bool* timedOut)>;

// A read that never waits for the device: true only when the system holds
// all of [pos, pos + n) already (what a stalled read brought in before it stalled).
using HeldRangeRead = std::function<bool(uint64_t pos, uint8_t* into, size_t n)>;

// The grid a device is read on while reads have a deadline: a read goes
// piece by piece, so a stall holds one piece, and after a timeout the range
// is taken again piece by piece.
inline constexpr uint64_t kSalvagePieceBytes = 256 * 1024;

// SectorReader::readBytesAt on every system, around its own read: the range
// in one read; after a failure of the medium once more in sector pieces,
// each unreadable sector recorded for device and, under a ZeroFilledReads,
// handed back as zeros. After a timeout sector pieces would each wait out
// the deadline again: with held given, the range is taken again in salvage
// pieces instead - those the system holds, those a stall still holds lost,
// the others read anew -, else the whole range is lost. *firstError is the
// first read's error (0 when it succeeded or every piece came back).
bool readNotingUnreadable(const std::string& device, uint64_t byteOffset, uint8_t* out, size_t count,
                          const DeviceRangeRead& read, int* firstError, const HeldRangeRead& held = {});

}  // namespace brenix
