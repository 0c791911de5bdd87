#pragma once
// Runs one long job (scan, thumbnail pass, recovery) on a worker thread with
// a running flag that cancel() clears. The front end polls the job's Progress
// meanwhile and waits for the end with waitFor().
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "results/progress.h"

namespace brenix {

class JobRunner {
 public:
  using Work = std::function<void(RunningFlag& running)>;

  JobRunner() = default;
  ~JobRunner();  // cancels a running job and waits for it
  JobRunner(const JobRunner&) = delete;
  JobRunner& operator=(const JobRunner&) = delete;

  // Sets the running flag and starts `work` on a new thread. False when a job
  // is still running (one job at a time).
  bool start(Work work);
  // Clears the running flag; the worker notices it at its next poll.
  void cancel() { running_.store(false); }
  // Waits up to `timeout` for the job to end; true when it has ended (or none ran).
  bool waitFor(std::chrono::milliseconds timeout);
  void wait();
  bool busy() const;
  RunningFlag& running() { return running_; }

 private:
  void join();

  RunningFlag running_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable doneCv_;
  bool active_ = false;
};

}  // namespace brenix
