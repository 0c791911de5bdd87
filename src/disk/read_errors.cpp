#include "disk/read_errors.h"

#include <algorithm>
#include <cerrno>

#include "disk/read_deadline.h"
#include "disk/sector_reader.h"

namespace brenix {

ReadErrorLog& ReadErrorLog::instance() {
  static ReadErrorLog log;
  return log;
}

void ReadErrorLog::record(const std::string& path, uint64_t first, uint64_t count) {
  if (count == 0) return;
  std::lock_guard lock(mutex_);
  auto& runs = runs_[path];
  uint64_t end = first + count;
  // Merge with every run that touches [first, end).
  auto it = runs.upper_bound(first);
  if (it != runs.begin()) {
    auto prev = std::prev(it);
    if (prev->first + prev->second >= first) it = prev;
  }
  while (it != runs.end() && it->first <= end) {
    first = std::min(first, it->first);
    end = std::max(end, it->first + it->second);
    it = runs.erase(it);
  }
  runs[first] = end - first;
}

uint64_t ReadErrorLog::count(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto found = runs_.find(path);
  if (found == runs_.end()) return 0;
  uint64_t n = 0;
  for (const auto& [first, length] : found->second) n += length;
  return n;
}

std::vector<std::pair<uint64_t, uint64_t>> ReadErrorLog::ranges(const std::string& path) const {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<uint64_t, uint64_t>> out;
  auto found = runs_.find(path);
  if (found != runs_.end())
    for (const auto& run : found->second) out.push_back(run);
  return out;
}

void ReadErrorLog::clear() {
  std::lock_guard lock(mutex_);
  runs_.clear();
}

}  // namespace brenix

namespace brenix {

namespace {
thread_local ZeroFilledReads* tCurrent = nullptr;
}  // namespace

ZeroFilledReads::ZeroFilledReads() {
  if (!tCurrent) tCurrent = this;
}

ZeroFilledReads::~ZeroFilledReads() {
  if (tCurrent == this) tCurrent = nullptr;
}

ZeroFilledReads* ZeroFilledReads::current() { return tCurrent; }

void ZeroFilledReads::reading(const void* buffer, size_t count) {
  if (holes_.empty() || count == 0) return;
  const auto a = reinterpret_cast<uintptr_t>(buffer);
  const uintptr_t end = a + count;
  std::vector<Hole> kept;
  kept.reserve(holes_.size());
  for (const Hole& h : holes_) {
    const uintptr_t hEnd = h.address + h.length;
    if (hEnd <= a || h.address >= end) {
      kept.push_back(h);
      continue;
    }
    if (h.address < a) kept.push_back({h.address, static_cast<size_t>(a - h.address)});
    if (hEnd > end) kept.push_back({end, static_cast<size_t>(hEnd - end)});
  }
  holes_ = std::move(kept);
}

void ZeroFilledReads::zeroFilled(const void* buffer, size_t count) {
  if (count == 0) return;
  zeroBytes_ += count;
  const auto a = reinterpret_cast<uintptr_t>(buffer);
  if (!holes_.empty() && holes_.back().address + holes_.back().length == a) {
    holes_.back().length += count;
    return;
  }
  holes_.push_back({a, count});
}

void ZeroFilledReads::written(const void* data, size_t size, uint64_t outputOffset) {
  if (holes_.empty() || size == 0) return;
  const auto a = reinterpret_cast<uintptr_t>(data);
  const uintptr_t end = a + size;
  std::vector<Hole> kept;
  for (const Hole& h : holes_) {
    const uintptr_t hEnd = h.address + h.length;
    if (hEnd <= a || h.address >= end) {
      kept.push_back(h);
      continue;
    }
    const uintptr_t from = std::max(a, h.address), to = std::min(end, hEnd);
    const uint64_t at = outputOffset + (from - a), length = to - from;
    placedBytes_ += length;
    if (!placed_.empty() && placed_.back().first + placed_.back().second == at) placed_.back().second += length;
    else placed_.emplace_back(at, length);
    // What was written is placed; a part of the hole outside this write stays.
    if (h.address < from) kept.push_back({h.address, static_cast<size_t>(from - h.address)});
    if (hEnd > to) kept.push_back({to, static_cast<size_t>(hEnd - to)});
  }
  holes_ = std::move(kept);
}

uint64_t ZeroFilledReads::unplacedBytes() const { return zeroBytes_ > placedBytes_ ? zeroBytes_ - placedBytes_ : 0; }

bool readNotingUnreadable(const std::string& device, uint64_t byteOffset, uint8_t* out, size_t count,
                          const DeviceRangeRead& read, int* firstError, const HeldRangeRead& held) {
  ZeroFilledReads* zeros = ZeroFilledReads::current();
  if (zeros) zeros->reading(out, count);
  int error = 0;
  bool mediaError = false, timedOut = false;
  *firstError = 0;
  if (read(byteOffset, out, count, &error, &mediaError, &timedOut)) return true;
  *firstError = error;
  if (!mediaError || count == 0) return false;
  const uint64_t end = byteOffset + count;
  auto unreadable = [&](uint64_t from, uint64_t to) {
    const uint64_t first = from / kSectorSize, last = (to + kSectorSize - 1) / kSectorSize;
    ReadErrorLog::instance().record(device, first, last - first);
    if (zeros) {
      std::fill(out + (from - byteOffset), out + (to - byteOffset), uint8_t{0});
      zeros->zeroFilled(out + (from - byteOffset), static_cast<size_t>(to - from));
    }
  };
  if (timedOut) {
    if (!held || error == EBUSY) {  // the device hangs: nothing more is asked of it now
      unreadable(byteOffset, end);
      return zeros != nullptr;
    }
    auto pieceEndOf = [&](uint64_t pos) {
      return std::min<uint64_t>(end, (pos / kSalvagePieceBytes + 1) * kSalvagePieceBytes);
    };
    // The read went piece by piece: what it brought in is held, and the
    // piece it stalled in is the first that is not. Only that one stays
    // stalled; the pieces after it were never asked for.
    uint64_t pos = byteOffset;
    while (pos < end && held(pos, out + (pos - byteOffset), static_cast<size_t>(pieceEndOf(pos) - pos)))
      pos = pieceEndOf(pos);
    if (pos == end) {
      *firstError = 0;
      return true;
    }
    bool lost = false, failed = false;
    if (error == ETIMEDOUT) {  // this read stalled, in this piece
      narrowStalledRead(device, byteOffset, count, pos, pieceEndOf(pos));
      unreadable(pos, pieceEndOf(pos));
      lost = true;
      pos = pieceEndOf(pos);
    }
    // The other pieces: held, lost under a stall, or read anew (each then
    // overlaps no stall, so its own read ends without coming back here).
    for (; pos < end; pos = pieceEndOf(pos)) {
      const uint64_t pieceEnd = pieceEndOf(pos);
      const size_t n = static_cast<size_t>(pieceEnd - pos);
      if (held(pos, out + (pos - byteOffset), n)) continue;
      if (overlapsStalledRead(device, pos, n)) {
        unreadable(pos, pieceEnd);
        lost = true;
        continue;
      }
      int pieceError = 0;
      if (!readNotingUnreadable(device, pos, out + (pos - byteOffset), n, read, &pieceError, held)) failed = true;
    }
    return !failed && (!lost || zeros != nullptr);
  }
  // The read as a whole still fails, as its contract says, unless the
  // thread takes zeros for the unreadable sectors.
  uint64_t pos = byteOffset;
  bool onlyMedia = true;
  while (pos < end) {
    const uint64_t pieceEnd = std::min<uint64_t>(end, (pos / kSectorSize + 1) * kSectorSize);
    const size_t n = static_cast<size_t>(pieceEnd - pos);
    int pieceError = 0;
    bool pieceMedia = false, pieceTimedOut = false;
    if (count <= kSectorSize || !read(pos, out + (pos - byteOffset), n, &pieceError, &pieceMedia, &pieceTimedOut)) {
      if (pieceTimedOut) {  // the rest of the request waits no more
        unreadable(pos, end);
        break;
      }
      if (count <= kSectorSize || pieceMedia) unreadable(pos, pieceEnd);
      else onlyMedia = false;
    }
    pos = pieceEnd;
  }
  return zeros && onlyMedia;
}

}  // namespace brenix
