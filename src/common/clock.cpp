#include "common/clock.h"

#include <ctime>
#include <mutex>

namespace brenix {
namespace {
std::mutex g_clockMutex;
std::function<int64_t()> g_clock;
}  // namespace

int64_t nowSeconds() {
  std::lock_guard lock(g_clockMutex);
  if (g_clock) return g_clock();
  return static_cast<int64_t>(std::time(nullptr));
}

void setClockForTesting(std::function<int64_t()> clock) {
  std::lock_guard lock(g_clockMutex);
  g_clock = std::move(clock);
}

LocalTime toLocalTime(int64_t unixSeconds) {
  std::time_t t = static_cast<std::time_t>(unixSeconds);
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &t);
#else
  localtime_r(&t, &tm);
#endif
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

}  // namespace brenix
