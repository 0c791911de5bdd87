#pragma once
// The sectors that could not be read, per device or image, as the reads of
// every engine meet them. SectorReader fills it: when a read fails it tries
// the request again sector by sector, once, and records each sector that
// still fails; scans report the count ("N sectors could not be read").
#include <cstdint>
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

}  // namespace brenix
