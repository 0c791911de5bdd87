#pragma once
// Progress of a long job: the worker writes total, done and one status line;
// the front end polls them. The numbers are atomics and the status text is
// handed over whole under a lock, so a reader never sees it half-written.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace brenix {

class Progress {
 public:
  void reset() {
    total_ = 0;
    done_ = 0;
    bytesTotal_ = 0;
    bytesDone_ = 0;
    found_ = -1;
  }
  void setTotal(int32_t v) { total_ = v; }
  void setDone(int32_t v) { done_ = v; }
  void addDone(int32_t v) { done_ += v; }
  int32_t total() const { return total_; }
  int32_t done() const { return done_; }

  // Bytes of the job where it knows them (a recovery: the files' sizes and
  // the bytes written so far; a scan of a byte range: its extent and the position reached); 0 = not set.
  void setBytesTotal(int64_t v) { bytesTotal_ = v; }
  void setBytesDone(int64_t v) { bytesDone_ = v; }
  void addBytesDone(int64_t v) { bytesDone_ += v; }
  int64_t bytesTotal() const { return bytesTotal_; }
  int64_t bytesDone() const { return bytesDone_; }
  // Files found so far by a scan; -1 when the job does not count them.
  void setFound(int64_t v) { found_ = v; }
  int64_t found() const { return found_; }

  void setStatus(std::string text) {
    std::lock_guard lock(mutex_);
    status_ = std::move(text);
  }
  std::string status() const {
    std::lock_guard lock(mutex_);
    return status_;
  }

  // The job's title line ("Scanning Deleted Files ...", "Recovering Deleted Files ..."),
  // set by whoever starts the job.
  void setTitle(std::string text) {
    std::lock_guard lock(mutex_);
    title_ = std::move(text);
  }
  std::string title() const {
    std::lock_guard lock(mutex_);
    return title_;
  }

 private:
  std::atomic<int32_t> total_{0};
  std::atomic<int32_t> done_{0};
  std::atomic<int64_t> bytesTotal_{0};
  std::atomic<int64_t> bytesDone_{0};
  std::atomic<int64_t> found_{-1};
  mutable std::mutex mutex_;
  std::string status_;
  std::string title_;
};

// Cleared by Cancel; workers poll it before each record, entry, chunk or file.
using RunningFlag = std::atomic<bool>;

}  // namespace brenix
