#pragma once
// The progress dialog's arithmetic: elapsed and remaining time of a job from
// its start time and the worker's total/done figures, and the texts shown.
#include <cstdint>
#include <string>

#include "results/progress.h"

namespace brenix {

// "Elapsed Time : %.2d:%.2d:%.2d". Hours are not wrapped at 24: a scan of a
// large disk can run for more than a day.
std::string elapsedTimeText(int64_t elapsedSeconds);

// R = E * (total - done) / max(done, 1) + 1, in 64-bit integers. Work left is
// never negative (a worker that overshoots its total leaves 1 second).
int64_t remainingSeconds(int64_t elapsedSeconds, int32_t total, int32_t done);

// The same estimate from bytes, for jobs that walk a byte range (a raw or
// formatted-drive scan): E * (total - done) / max(done, 1) + 1 without overflow
// for any disk size.
int64_t remainingSecondsFromBytes(int64_t elapsedSeconds, uint64_t totalBytes, uint64_t doneBytes);

// "Remaining Time : %.2d:%.2d:%.2d" (hours not wrapped).
std::string remainingTimeText(int64_t remainingSecs);

// One poll of a running job, as a front end shows it.
struct ProgressSnapshot {
  int32_t total = 0;
  int32_t done = 0;
  int64_t elapsed = 0;     // seconds
  int64_t remaining = 0;   // seconds
  double percent = 0;      // 0..100, 0 while total is not set
  double rate = 0;         // units per second since the start
  std::string status;      // the worker's status line
  std::string title;       // the job's title
  std::string elapsedText;
  std::string remainingText;
};

// Polls a Progress the way the progress dialog does: start() when the job
// opens (resets total and done, takes the start time), poll() on every tick.
class ProgressMonitor {
 public:
  explicit ProgressMonitor(Progress& progress) : progress_(progress) {}
  void start();
  ProgressSnapshot poll() const;
  int64_t startTime() const { return start_; }

 private:
  Progress& progress_;
  int64_t start_ = 0;
};

// The one-line form the command line prints: status, percent, rate, elapsed, remaining.
std::string progressLine(const ProgressSnapshot& s);

}  // namespace brenix
