#include "disk/read_deadline.h"

#include "disk/image_backend.h"
#include "disk/sector_reader.h"

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
};

}  // namespace

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

DeadlineResult runWithDeadline(std::chrono::milliseconds timeout, void* buffer, size_t count, DeadlineWork work, bool* ok,
                               int* error, bool* mediaError) {
  if (stuckReads() >= kMaxStuckReads) return DeadlineResult::NotStarted;
  auto shared = std::make_shared<Shared>();
  shared->bytes.resize(count);
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
  if (!shared->done.wait_for(lock, timeout, [&] { return shared->finished; })) {
    shared->abandoned = true;
    gStuck.fetch_add(1);
    return DeadlineResult::TimedOut;
  }
  *ok = shared->ok;
  *error = shared->error;
  *mediaError = shared->media;
  if (shared->ok && count) std::memcpy(buffer, shared->bytes.data(), count);
  return DeadlineResult::Done;
}

}  // namespace brenix
