#pragma once
// Reads that give up waiting: a read of a failing disk can stay in the
// kernel for minutes (the drive retries, the SCSI layer retries and resets).
// Here the read runs on a helper thread into a buffer of its own, and the
// caller waits at most the deadline: after it, the read counts as failed
// (ETIMEDOUT) and the scan goes on; the helper finishes or stays stuck on its
// own and never touches the caller's buffer. At most kMaxStuckReads helpers
// may hang at once; past that every timed read fails at once, since the
// device no longer answers. Used by SectorReader for block devices (on
// Windows, where a device's reads are overlapped, for image backends only).
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace brenix {

inline constexpr int kMaxStuckReads = 4;

// Fills buffer (count bytes); false with an errno value in *error and
// *mediaError set when the medium failed.
using DeadlineWork = std::function<bool(uint8_t* buffer, int* error, bool* mediaError)>;

enum class DeadlineResult { Done, TimedOut, NotStarted };

// Runs work on a helper and waits up to timeout. Done: work's result is in
// *ok, *error, *mediaError (and its bytes in buffer when *ok). TimedOut: the
// helper was left behind. NotStarted: too many helpers are stuck already.
// The device and byte range a timed read covers. A read given up at its
// deadline keeps its range stalled until it ends: a read of a failing drive
// keeps the pages it asked for locked in the kernel that long, so another
// read of them would only hang as well.
struct DeadlineRange {
  std::string device;
  uint64_t offset = 0;
  uint64_t count = 0;
};

// With progress, work counts the bytes it has read there: the deadline then
// holds for each step of the work (a slow drive that keeps answering is no
// stalled one), and once given up the work stands in the step after them.
DeadlineResult runWithDeadline(std::chrono::milliseconds timeout, void* buffer, size_t count, DeadlineWork work, bool* ok,
                               int* error, bool* mediaError, const DeadlineRange* range = nullptr,
                               const std::atomic<uint64_t>* progress = nullptr);

// Whether [offset, offset + count) of device overlaps a read still stalled past its deadline.
bool overlapsStalledRead(const std::string& device, uint64_t offset, uint64_t count);
// The stalled read of exactly [offset, offset + count) of device waits only
// for [from, to) (what it has not brought in yet): the rest may be read again.
void narrowStalledRead(const std::string& device, uint64_t offset, uint64_t count, uint64_t from, uint64_t to);

// Reads still blocked past their deadline, now: the helpers, and the reads
// left behind by leaveStuckRead that have not finished yet.
int stuckReads();

// A read left running past its deadline without a helper thread (on Windows,
// an overlapped read of a device that would not cancel): it counts among the
// stuck reads until finished() says it has ended; release() then frees what
// it reads into. Both are called under a lock, from whichever thread asks
// stuckReads() next.
void leaveStuckRead(std::function<bool()> finished, std::function<void()> release);

}  // namespace brenix
