#include "disk/read_deadline.h"

#include "disk/image_backend.h"
#include "disk/sector_reader.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace brenix {

namespace {

std::atomic<int> gStuck{0};
// A failing drive's read stays in the kernel while the drive and the SCSI
// layer retry (30 s per try by default); a healthy one answers in far less.
std::atomic<uint32_t> gDeviceReadTimeoutMs{20000};

struct Shared {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool abandoned = false;
  bool ok = false;
  int error = 0;
  bool media = false;
  std::vector<uint8_t> bytes;
  DeadlineRange range;  // no device: not kept once stalled
};

// Reads given up at their deadline that named their range, until they end.
std::mutex gStalledMutex;
std::vector<std::shared_ptr<Shared>> gStalled;

}  // namespace

bool overlapsStalledRead(const std::string& device, uint64_t offset, uint64_t count) {
  std::lock_guard lock(gStalledMutex);
  bool overlaps = false;
  for (size_t i = 0; i < gStalled.size();) {
    const std::shared_ptr<Shared>& s = gStalled[i];
    bool finished;
    {
      std::lock_guard readLock(s->mutex);
      finished = s->finished;
    }
    if (finished) {  // it ended: its sectors may be read again
      gStalled.erase(gStalled.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    const DeadlineRange& r = s->range;
    if (r.device == device && offset < r.offset + r.count && r.offset < offset + count)
      overlaps = true;
    ++i;
  }
  return overlaps;
}

namespace {

struct LeftRead {
  std::function<bool()> finished;
  std::function<void()> release;
};
std::mutex gLeftMutex;
std::vector<LeftRead> gLeft;

}  // namespace

int stuckReads() {
  std::lock_guard lock(gLeftMutex);
  for (size_t i = 0; i < gLeft.size();) {
    if (!gLeft[i].finished()) {
      ++i;
      continue;
    }
    gLeft[i].release();
    gLeft.erase(gLeft.begin() + static_cast<std::ptrdiff_t>(i));
    gStuck.fetch_sub(1);
  }
  return gStuck.load();
}

void leaveStuckRead(std::function<bool()> finished, std::function<void()> release) {
  std::lock_guard lock(gLeftMutex);
  gLeft.push_back({std::move(finished), std::move(release)});
  gStuck.fetch_add(1);
}

void SectorReader::setDefaultDeviceReadTimeoutMs(uint32_t ms) { gDeviceReadTimeoutMs.store(ms); }
uint32_t SectorReader::defaultDeviceReadTimeoutMs() { return gDeviceReadTimeoutMs.load(); }

void SectorReader::openBackendForTesting(std::shared_ptr<ImageBackend> backend, const std::string& name) {
  close();
  backend_ = std::move(backend);
  path_ = name;
}

void narrowStalledRead(const std::string& device, uint64_t offset, uint64_t count, uint64_t from, uint64_t to) {
  std::lock_guard lock(gStalledMutex);
  for (const std::shared_ptr<Shared>& s : gStalled) {
    DeadlineRange& r = s->range;
    if (r.device != device || r.offset != offset || r.count != count) continue;
    from = std::max(from, offset);
    to = std::max(from, std::min(to, offset + count));
    r.offset = from;
    r.count = to - from;
    return;
  }
}

DeadlineResult runWithDeadline(std::chrono::milliseconds timeout, void* buffer, size_t count, DeadlineWork work, bool* ok,
                               int* error, bool* mediaError, const DeadlineRange* range,
                               const std::atomic<uint64_t>* progress) {
  if (stuckReads() >= kMaxStuckReads) return DeadlineResult::NotStarted;
  auto shared = std::make_shared<Shared>();
  shared->bytes.resize(count);
  if (range) shared->range = *range;
  try {
    std::thread([shared, work = std::move(work)] {
      int e = 0;
      bool m = false;
      const bool r = work(shared->bytes.data(), &e, &m);
      std::lock_guard lock(shared->mutex);
      shared->ok = r;
      shared->error = e;
      shared->media = m;
      shared->finished = true;
      if (shared->abandoned) gStuck.fetch_sub(1);
      shared->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return DeadlineResult::NotStarted;  // no thread to be had: the caller reads directly
  }
  std::unique_lock lock(shared->mutex);
  uint64_t seen = progress ? progress->load() : 0;
  auto stalled = [&] {
    if (shared->done.wait_for(lock, timeout, [&] { return shared->finished; })) return false;
    for (;;) {  // while the work keeps moving, each step gets the whole deadline
      const uint64_t now = progress ? progress->load() : seen;
      if (now == seen) return true;
      seen = now;
      if (shared->done.wait_for(lock, timeout, [&] { return shared->finished; })) return false;
    }
  };
  if (stalled()) {
    shared->abandoned = true;
    gStuck.fetch_add(1);
    if (!shared->range.device.empty()) {
      lock.unlock();  // the registry's lock is taken before a read's own
      std::lock_guard stalledLock(gStalledMutex);
      gStalled.push_back(shared);
    }
    return DeadlineResult::TimedOut;
  }
  *ok = shared->ok;
  *error = shared->error;
  *mediaError = shared->media;
  if (shared->ok && count) std::memcpy(buffer, shared->bytes.data(), count);
  return DeadlineResult::Done;
}

}  // namespace brenix
