#include "disk/read_errors.h"

#include <algorithm>

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
                          const DeviceRangeRead& read, int* firstError) {
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
    unreadable(byteOffset, end);
    return zeros != nullptr;
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
