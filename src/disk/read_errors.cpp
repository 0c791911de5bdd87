#include "disk/read_errors.h"

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
