#include "results/time_estimate.h"

#include <algorithm>

#include "common/clock.h"
#include "common/text.h"

namespace brenix {

namespace {
std::string clockText(const char* label, int64_t seconds) {
  if (seconds < 0) seconds = 0;
  return format("%s%.2lld:%.2lld:%.2lld", label, static_cast<long long>(seconds / 3600),
                static_cast<long long>((seconds % 3600) / 60), static_cast<long long>(seconds % 60));
}
}  // namespace

std::string elapsedTimeText(int64_t elapsedSeconds) { return clockText("Elapsed Time : ", elapsedSeconds); }

int64_t remainingSeconds(int64_t elapsedSeconds, int32_t total, int32_t done) {
  const int64_t left = std::max<int64_t>(0, int64_t(total) - int64_t(done));
  const int64_t divisor = std::max<int64_t>(done, 1);
  return std::max<int64_t>(elapsedSeconds, 0) * left / divisor + 1;
}

int64_t remainingSecondsFromBytes(int64_t elapsedSeconds, uint64_t totalBytes, uint64_t doneBytes) {
  const uint64_t e = static_cast<uint64_t>(std::max<int64_t>(elapsedSeconds, 0));
  const uint64_t left = totalBytes > doneBytes ? totalBytes - doneBytes : 0;
  const uint64_t divisor = std::max<uint64_t>(doneBytes, 1);
  if (e == 0 || left <= UINT64_MAX / e) {
    const uint64_t r = e * left / divisor;
    return r >= static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(r) + 1;
  }
  // E x bytes left passes 64 bits only for absurd figures; the estimate needs no exact integer there.
  const long double r = static_cast<long double>(e) * static_cast<long double>(left) / static_cast<long double>(divisor);
  return r >= static_cast<long double>(INT64_MAX - 1) ? INT64_MAX : static_cast<int64_t>(r) + 1;
}

std::string remainingTimeText(int64_t remainingSecs) { return clockText("Remaining Time : ", remainingSecs); }

void ProgressMonitor::start() {
  progress_.reset();
  start_ = nowSeconds();
}

ProgressSnapshot ProgressMonitor::poll() const {
  ProgressSnapshot s;
  s.total = progress_.total();
  s.done = progress_.done();
  s.elapsed = std::max<int64_t>(0, nowSeconds() - start_);
  s.remaining = remainingSeconds(s.elapsed, s.total, s.done);
  if (s.total > 0) s.percent = std::clamp(100.0 * s.done / s.total, 0.0, 100.0);
  s.rate = s.elapsed > 0 ? double(std::max(s.done, 0)) / double(s.elapsed) : 0.0;
  s.status = progress_.status();
  s.title = progress_.title();
  s.elapsedText = elapsedTimeText(s.elapsed);
  s.remainingText = remainingTimeText(s.remaining);
  return s;
}

std::string progressLine(const ProgressSnapshot& s) {
  std::string line = s.status.empty() ? s.title : s.status;
  if (s.total > 0)
    line += format("  %3.0f%%", s.percent);
  else
    line += "    -%";
  line += format("  %.1f/s  ", s.rate);
  line += s.elapsedText + "  " + s.remainingText;
  return line;
}

}  // namespace brenix
