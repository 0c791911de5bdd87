#include "jobs/job_runner.h"

namespace brenix {

JobRunner::~JobRunner() {
  cancel();
  wait();
}

bool JobRunner::start(Work work) {
  {
    std::lock_guard lock(mutex_);
    if (active_) return false;
  }
  join();  // the previous, finished thread
  {
    std::lock_guard lock(mutex_);
    active_ = true;
  }
  running_.store(true);
  thread_ = std::thread([this, work = std::move(work)] {
    work(running_);
    std::lock_guard lock(mutex_);
    active_ = false;
    doneCv_.notify_all();
  });
  return true;
}

bool JobRunner::waitFor(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return doneCv_.wait_for(lock, timeout, [this] { return !active_; });
}

void JobRunner::wait() {
  {
    std::unique_lock lock(mutex_);
    doneCv_.wait(lock, [this] { return !active_; });
  }
  join();
}

void JobRunner::join() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool JobRunner::busy() const {
  std::lock_guard lock(mutex_);
  return active_;
}

}  // namespace brenix
