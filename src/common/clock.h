#pragma once
// The one place the core asks for the current time, so that rules that depend
// on "now" (age windows, the current year, elapsed time) can be tested with a
// fixed clock.
#include <cstdint>
#include <functional>

namespace brenix {

// Seconds since the Unix epoch.
int64_t nowSeconds();

// Replace the clock (tests). Passing an empty function restores the system clock.
void setClockForTesting(std::function<int64_t()> clock);

// Local broken-down time of a Unix time (thread-safe).
struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
LocalTime toLocalTime(int64_t unixSeconds);

// Seconds from 1601-01-01 (Windows FILETIME epoch) to 1970-01-01.
inline constexpr int64_t kFileTimeEpochOffset = 11644473600LL;
// Converts a 100-ns FILETIME to Unix seconds.
inline int64_t fileTimeToUnix(uint64_t ft) { return static_cast<int64_t>(ft / 10000000ULL) - kFileTimeEpochOffset; }

}  // namespace brenix
