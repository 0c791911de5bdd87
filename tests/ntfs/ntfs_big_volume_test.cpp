// A hand-built volume of 200,000 file records scanned for its deleted files
// under an address-space limit well below the size of its master file table:
// the scan must hold what it finds, not the table.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

#include "common/bytes.h"
#include "common/text.h"
#include "ntfs/ntfs_test_util.h"
#include "support/temp_dir.h"

namespace brenix {
namespace {

using test::RecordBuilder;

constexpr uint32_t kRecords = 200000;
constexpr uint32_t kRs = 1024;
constexpr uint32_t kCluster = 4096;
constexpr uint64_t kMftCluster = 4;
constexpr uint32_t kFolderEvery = 1000;  // record 24 + k*1000 is folder k; the files after it lie in it
constexpr uint64_t kHeadroom = uint64_t(96) << 20;
static_assert(kHeadroom < uint64_t(kRecords) * kRs / 2, "the limit must be far below the table's size");

bool isFolder(uint32_t i) { return (i - 24) % kFolderEvery == 0; }
bool isDeletedFile(uint32_t i) { return !isFolder(i) && i % 10 == 3; }
uint32_t folderOf(uint32_t i) { return 24 + (i - 24) / kFolderEvery * kFolderEvery; }

// The expected path of every deleted file: "F<folder record>/D<record>.jpg".
std::string pathOf(uint32_t i) { return format("F%u/D%u.jpg", folderOf(i), i); }

void buildImage(const std::filesystem::path& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<uint8_t> head(kMftCluster * kCluster, 0);
  std::memcpy(&head[3], "NTFS    ", 8);
  putLe16(&head[0x0B], 512);
  head[0x0D] = 8;
  const uint64_t mftClusters = uint64_t(kRecords) * kRs / kCluster;
  putLe64(&head[0x28], (kMftCluster + mftClusters + 16) * 8);
  putLe64(&head[0x30], kMftCluster);
  head[0x40] = 0xF6;  // 1 KiB records
  out.write(reinterpret_cast<const char*>(head.data()), static_cast<std::streamsize>(head.size()));
  std::vector<uint8_t> runs = {0x33};
  for (int b = 0; b < 3; ++b) runs.push_back(uint8_t(mftClusters >> (8 * b)));
  for (int b = 0; b < 3; ++b) runs.push_back(uint8_t(kMftCluster >> (8 * b)));
  const std::vector<uint8_t> empty(kRs, 0);
  for (uint32_t i = 0; i < kRecords; ++i) {
    std::vector<uint8_t> r;
    if (i == 0) {
      r = RecordBuilder(kRs, true).fileName(u"$MFT", 5).nonResidentData(runs, uint64_t(kRecords) * kRs,
                                                                          uint64_t(kRecords) * kRs, 0, mftClusters - 1).finish();
    } else if (i == 5) {
      r = RecordBuilder(kRs, true).fileName(u".", 5, 1, kFileNameDirectoryFlag).finish();
    } else if (i < 24) {
      r = empty;
    } else {
      const std::string name = isFolder(i) ? format("F%u", i) : format(isDeletedFile(i) ? "D%u.jpg" : "L%u.jpg", i);
      RecordBuilder b(kRs, !isDeletedFile(i));
      b.standardInfo(1, 2, 3, 0x20).fileName(std::u16string(name.begin(), name.end()), isFolder(i) ? 5 : folderOf(i), 1,
                                            isFolder(i) ? kFileNameDirectoryFlag : 0x20);
      if (!isFolder(i)) b.residentData({uint8_t(i), uint8_t(i >> 8)});
      r = b.finish();
    }
    out.write(reinterpret_cast<const char*>(r.data()), static_cast<std::streamsize>(r.size()));
  }
  const std::vector<uint8_t> tail(16 * kCluster, 0);
  out.write(reinterpret_cast<const char*>(tail.data()), static_cast<std::streamsize>(tail.size()));
}

uint64_t addressSpaceBytes() {
  unsigned long pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%lu", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  return uint64_t(pages) * uint64_t(sysconf(_SC_PAGESIZE));
}

TEST(NtfsBigVolume, DeletedScanOfTwoHundredThousandRecordsStaysWithinAFractionOfTheTable) {
  test::TempDir dir;
  const auto image = dir / "big.img";
  buildImage(image);
  std::set<std::string> expected;
  for (uint32_t i = 24; i < kRecords; ++i)
    if (isDeletedFile(i)) expected.insert(pathOf(i));

#if defined(__SANITIZE_ADDRESS__)
  // The address sanitizer reserves terabytes of shadow memory: no address-space
  // limit can be set under it, so the scan runs unlimited there.
  const bool limited = false;
#else
  const bool limited = true;
#endif
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::fflush(nullptr);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fds[0]);
    if (limited) {
      const rlimit lim{addressSpaceBytes() + kHeadroom, addressSpaceBytes() + kHeadroom};
      if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(3);
    }
    // Nothing may leave the child but its exit code: an exception would end up in the test runner.
    std::string report;
    try {
      auto run = test::scanImage(image, ScanMode::Deleted);
      if (run->result.error != 0) _exit(2);
      // Report every path found, one a line.
      for (const std::string& p : run->paths) report += p + "\n";
    } catch (...) {
      _exit(5);
    }
    for (size_t at = 0; at < report.size();) {
      const ssize_t n = write(fds[1], report.data() + at, report.size() - at);
      if (n <= 0) _exit(4);
      at += size_t(n);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string got;
  char buf[65536];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, size_t(n));
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "the scan died (signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0) << ")";
  ASSERT_EQ(WEXITSTATUS(status), 0) << "2 = scan error, 3 = no limit could be set, 5 = out of memory";
  std::set<std::string> found;
  size_t lines = 0;
  for (size_t at = 0, nl; (nl = got.find('\n', at)) != std::string::npos; at = nl + 1, ++lines)
    found.insert(got.substr(at, nl - at));
  EXPECT_EQ(lines, expected.size());
  EXPECT_EQ(found, expected);
}

}  // namespace
}  // namespace brenix
