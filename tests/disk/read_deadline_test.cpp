// Reads with a deadline, over a test backend that stalls chosen sectors the
// way a failing drive does (the read blocks in the device until released): a
// read into a stalled area gives up at its deadline without being split into
// sector pieces, its sectors are logged unreadable (zeros for a recovery),
// the late helper never writes into the caller's buffer, and once too many
// helpers hang, reads fail at once until the device answers again. On
// Windows, a raw device's overlapped read is given up and cancelled at its
// deadline too (a named pipe stands in for the stalled drive).
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "disk/image_backend.h"
#include "disk/read_deadline.h"
#include "disk/read_errors.h"
#include "disk/sector_reader.h"

namespace brenix {
namespace {

using Clock = std::chrono::steady_clock;

class StallingBackend final : public ImageBackend {
 public:
  StallingBackend(uint64_t stallFrom, uint64_t stallTo) : stallFrom_(stallFrom), stallTo_(stallTo) {}
  bool readAt(uint64_t offset, void* buffer, size_t count, int* error) override {
    if (offset > kSize || count > kSize - offset) {
      *error = EINVAL;
      return false;
    }
    if (offset < stallTo_ && offset + count > stallFrom_) {
      std::unique_lock lock(mutex_);
      ++stalled_;
      released_.wait(lock, [&] { return release_; });
    }
    auto* out = static_cast<uint8_t*>(buffer);
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>((offset + i) * 7 + 1);
    return true;
  }
  uint64_t sizeBytes() const override { return kSize; }
  ImageFormat format() const override { return ImageFormat::SplitRaw; }
  void release() {
    std::lock_guard lock(mutex_);
    release_ = true;
    released_.notify_all();
  }
  int stalled() {
    std::lock_guard lock(mutex_);
    return stalled_;
  }
  static constexpr uint64_t kSize = 8 << 20;

 private:
  uint64_t stallFrom_, stallTo_;
  std::mutex mutex_;
  std::condition_variable released_;
  bool release_ = false;
  int stalled_ = 0;
};

long long msSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

TEST(ReadDeadline, AStalledReadGivesUpAtItsDeadlineAndTheScanGoesOn) {
  ASSERT_EQ(stuckReads(), 0);
  auto backend = std::make_shared<StallingBackend>(3 << 20, (3 << 20) + 4096);
  SectorReader reader;
  const std::string name = "stalling-test-device";
  reader.openBackendForTesting(backend, name);
  reader.setReadTimeoutMs(200);
  ReadErrorLog::instance().clear();

  std::vector<uint8_t> buf(1 << 20, 0x55);
  ASSERT_TRUE(reader.readBytesAt(1 << 20, buf.data(), buf.size()));
  EXPECT_EQ(buf[10], static_cast<uint8_t>(((1 << 20) + 10) * 7 + 1));

  // The megabyte around the stalled sectors: given up after the deadline,
  // once (no sector pieces, which would wait 2048 deadlines), all its sectors logged.
  std::fill(buf.begin(), buf.end(), uint8_t{0x55});
  auto start = Clock::now();
  EXPECT_FALSE(reader.readBytesAt(3 << 20, buf.data(), buf.size()));
  EXPECT_LT(msSince(start), 1500);
  EXPECT_GE(msSince(start), 190);
  EXPECT_EQ(reader.lastError(), ETIMEDOUT);
  EXPECT_EQ(backend->stalled(), 1);
  EXPECT_EQ(ReadErrorLog::instance().count(name), 2048u);
  const auto ranges = ReadErrorLog::instance().ranges(name);
  ASSERT_EQ(ranges.size(), 1u);
  EXPECT_EQ(ranges[0].first, uint64_t(3 << 20) / 512);

  // Written out as part of a found file: zeros in its place, and the read succeeds.
  {
    ZeroFilledReads zeros;
    std::vector<uint8_t> part(64 << 10, 0x55);
    start = Clock::now();
    EXPECT_TRUE(reader.readBytesAt((3 << 20) - 8192, part.data(), part.size()));
    EXPECT_LT(msSince(start), 1500);
    EXPECT_EQ(zeros.sectors(), part.size() / 512);
    EXPECT_EQ(std::count(part.begin(), part.end(), uint8_t{0}), static_cast<long>(part.size()));
  }
  EXPECT_EQ(stuckReads(), 2);

  // Two more hang; with kMaxStuckReads helpers stuck, even a healthy area fails at once.
  std::vector<uint8_t> small(4096);
  EXPECT_FALSE(reader.readBytesAt(3 << 20, small.data(), small.size()));
  EXPECT_FALSE(reader.readBytesAt(3 << 20, small.data(), small.size()));
  ASSERT_EQ(stuckReads(), kMaxStuckReads);
  start = Clock::now();
  EXPECT_FALSE(reader.readBytesAt(0, small.data(), small.size()));
  EXPECT_LT(msSince(start), 100);
  EXPECT_EQ(reader.lastError(), ETIMEDOUT);

  // The device answers again: the helpers finish into their own buffers, not the caller's.
  backend->release();
  start = Clock::now();
  while (stuckReads() > 0 && msSince(start) < 5000) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(stuckReads(), 0);
  EXPECT_EQ(std::count(buf.begin(), buf.end(), uint8_t{0x55}), static_cast<long>(buf.size()));
  ASSERT_TRUE(reader.readBytesAt(3 << 20, buf.data(), buf.size()));
  EXPECT_EQ(buf[5], static_cast<uint8_t>(((3 << 20) + 5) * 7 + 1));
  ReadErrorLog::instance().clear();
}

#ifdef _WIN32
TEST(ReadDeadline, AnOverlappedDeviceReadIsCancelledAtItsDeadlineAndNeverWritesLate) {
  ASSERT_EQ(stuckReads(), 0);
  // A file opened by its device-namespace path reads as a raw device: overlapped, with the deadline.
  wchar_t temp[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
  char folder[MAX_PATH * 3];
  ASSERT_GT(WideCharToMultiByte(CP_UTF8, 0, temp, -1, folder, sizeof folder, nullptr, nullptr), 0);
  const std::string file = std::string(folder) + "brenix-deadline-" + std::to_string(GetCurrentProcessId()) + ".img";
  {
    std::ofstream out(file, std::ios::binary);
    for (int i = 0; i < 65536; ++i) out.put(static_cast<char>(i * 7 + 1));
  }
  {
    SectorReader disk;
    ASSERT_TRUE(disk.openPath("\\\\.\\" + file, OpenMode::Read));
    EXPECT_EQ(disk.readTimeoutMs(), SectorReader::defaultDeviceReadTimeoutMs());
    std::vector<uint8_t> part(1000);
    ASSERT_TRUE(disk.readBytesAt(100, part.data(), part.size()));  // not sector-aligned: through an aligned buffer
    for (size_t i = 0; i < part.size(); ++i) ASSERT_EQ(part[i], static_cast<uint8_t>((100 + i) * 7 + 1)) << i;
    SectorReader image;
    ASSERT_TRUE(image.openPath(file, OpenMode::Read));
    EXPECT_EQ(image.readTimeoutMs(), 0u);  // an image file reads without a deadline
  }
  std::remove(file.c_str());

  // A named pipe whose other end writes nothing: the read waits, as a stalled drive's does.
  const std::string name = "\\\\.\\pipe\\brenix-deadline-" + std::to_string(GetCurrentProcessId());
  HANDLE server = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 1 << 16, 1 << 16,
                                   0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  SectorReader reader;
  ASSERT_TRUE(reader.openPath(name, OpenMode::Read));
  reader.setReadTimeoutMs(200);
  ReadErrorLog::instance().clear();
  std::vector<uint8_t> buf(4096, 0x55);
  const auto start = Clock::now();
  EXPECT_FALSE(reader.readBytesAt(0, buf.data(), buf.size()));
  EXPECT_GE(msSince(start), 190);
  EXPECT_LT(msSince(start), 1500);
  EXPECT_EQ(reader.lastError(), ETIMEDOUT);
  EXPECT_EQ(ReadErrorLog::instance().count(name), 8u);
  EXPECT_EQ(stuckReads(), 0);  // cancelled and ended: nothing left behind

  // The other end writes now: the cancelled read took nothing and left the
  // caller's buffer alone; the next read gets the bytes.
  std::vector<uint8_t> bytes(4096, 0xAA);
  DWORD put = 0;
  ASSERT_TRUE(WriteFile(server, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr));
  ASSERT_EQ(put, bytes.size());
  Sleep(50);
  EXPECT_EQ(std::count(buf.begin(), buf.end(), uint8_t{0x55}), static_cast<long>(buf.size()));
  ASSERT_TRUE(reader.readBytesAt(0, buf.data(), buf.size()));
  EXPECT_EQ(buf, bytes);
  reader.close();
  CloseHandle(server);
  ReadErrorLog::instance().clear();
}
#endif

}  // namespace
}  // namespace brenix
