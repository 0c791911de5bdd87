#include "results/time_estimate.h"

#include <algorithm>

#include "common/clock.h"
#include "common/text.h"
#include "disk/sector_reader.h"

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

int64_t remainingSecondsFromBytes(int64_t elapsedSeconds, int64_t bytesTotal, int64_t bytesDone) {
  const int64_t left = std::max<int64_t>(0, bytesTotal - bytesDone);
  const int64_t divisor = std::max<int64_t>(bytesDone, 1);
  const int64_t e = std::max<int64_t>(elapsedSeconds, 0);
  // e * left can pass 2^63 for terabytes over days: then in floating point, capped.
  if (e != 0 && left > INT64_MAX / e) {
    const long double r = static_cast<long double>(e) * static_cast<long double>(left) / divisor + 1;
    return r >= static_cast<long double>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(r);
  }
  return e * left / divisor + 1;
}

std::string remainingTimeText(int64_t remainingSecs) { return clockText("Remaining Time : ", remainingSecs); }

void ProgressMonitor::start() {
  progress_.reset();
  start_ = nowSeconds();
  readAtStart_ = SectorReader::bytesReadInProcess();
}

ProgressSnapshot ProgressMonitor::poll() const {
  ProgressSnapshot s;
  s.total = progress_.total();
  s.done = progress_.done();
  s.elapsed = std::max<int64_t>(0, nowSeconds() - start_);
  s.bytesTotal = progress_.bytesTotal();
  s.bytesDone = progress_.bytesDone();
  if (s.bytesTotal > 0) {
    s.remaining = remainingSecondsFromBytes(s.elapsed, s.bytesTotal, s.bytesDone);
    s.percent = std::clamp(100.0 * double(s.bytesDone) / double(s.bytesTotal), 0.0, 100.0);
  } else {
    s.remaining = remainingSeconds(s.elapsed, s.total, s.done);
    if (s.total > 0) s.percent = std::clamp(100.0 * s.done / s.total, 0.0, 100.0);
  }
  s.rate = s.elapsed > 0 ? double(std::max(s.done, 0)) / double(s.elapsed) : 0.0;
  const uint64_t readNow = SectorReader::bytesReadInProcess();
  s.bytesRead = readNow >= readAtStart_ ? readNow - readAtStart_ : 0;
  s.megabytesPerSecond = s.elapsed > 0 ? double(s.bytesRead) / (1024.0 * 1024.0) / double(s.elapsed) : 0.0;
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
  if (s.bytesTotal > 0) line += format("  %d/%d files", s.done, s.total);
  line += format("  %.1f MB/s  ", s.megabytesPerSecond);
  line += s.elapsedText + "  " + s.remainingText;
  return line;
}

}  // namespace brenix
