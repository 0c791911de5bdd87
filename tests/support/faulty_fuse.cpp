// faulty_fuse: a FUSE file system with one read-only file, "disk", that
// mirrors a backing image, except that reads touching chosen byte ranges fail
// with EIO and reads touching other ranges hang until released. A loop device
// over that file is a real block device whose sectors fail or stall in the
// kernel the way a dying drive's do, for the tests of imaging and of read
// deadlines on machines without device-mapper.
//
//   faulty_fuse BACKING MOUNTPOINT [--fail OFFSET:LENGTH]... [--stall OFFSET:LENGTH]...
//               [--stall-limit SECONDS]
//
// SIGUSR1 releases every stalled read, then and later (they answer with the
// backing bytes); so does the stall limit (default 120 s), so that a test
// that dies never leaves a read hanging for good. The file is opened with
// direct I/O: no read is answered from the page cache, every one reaches us.
// Each failed or stalled read is logged on stderr. Runs in the foreground
// until unmounted (fusermount3 -u) or sent SIGTERM.
#define FUSE_USE_VERSION 312
#include <fuse.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Range {
  uint64_t offset, length;
  bool touches(uint64_t off, uint64_t len) const { return off < offset + length && offset < off + len; }
};

constexpr const char* kFileName = "disk";
constexpr const char* kFilePath = "/disk";

int gBacking = -1;
uint64_t gSize = 0;
std::vector<Range> gFail, gStall;
int gStallLimitSeconds = 120;
volatile sig_atomic_t gReleased = 0;

void onRelease(int) { gReleased = 1; }

bool parseRange(const char* text, Range* out) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long off = std::strtoull(text, &end, 0);
  if (errno || *end != ':') return false;
  const unsigned long long len = std::strtoull(end + 1, &end, 0);
  if (errno || *end || len == 0) return false;
  *out = {off, len};
  return true;
}

int doGetattr(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0555;
    st->st_nlink = 2;
    return 0;
  }
  if (std::strcmp(path, kFilePath) != 0) return -ENOENT;
  st->st_mode = S_IFREG | 0444;
  st->st_nlink = 1;
  st->st_size = static_cast<off_t>(gSize);
  return 0;
}

int doReaddir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, kFileName, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int doOpen(const char* path, fuse_file_info* fi) {
  if (std::strcmp(path, kFilePath) != 0) return -ENOENT;
  if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  fi->direct_io = 1;  // the kernel keeps no pages of the file: every read comes here
  fi->keep_cache = 0;
  return 0;
}

int doRead(const char* path, char* buf, size_t size, off_t offset, fuse_file_info*) {
  if (std::strcmp(path, kFilePath) != 0) return -ENOENT;
  if (offset < 0) return -EINVAL;
  const uint64_t off = static_cast<uint64_t>(offset);
  if (off >= gSize) return 0;
  if (size > gSize - off) size = static_cast<size_t>(gSize - off);
  for (const Range& r : gFail) {
    if (r.touches(off, size)) {
      std::fprintf(stderr, "failed read %llu+%zu\n", static_cast<unsigned long long>(off), size);
      return -EIO;
    }
  }
  for (const Range& r : gStall) {
    if (!r.touches(off, size)) continue;
    std::fprintf(stderr, "stalled read %llu+%zu\n", static_cast<unsigned long long>(off), size);
    // Polled rather than waited on: the flag is set from a signal handler.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(gStallLimitSeconds);
    while (!gReleased && std::chrono::steady_clock::now() < until) usleep(20 * 1000);
    std::fprintf(stderr, "released read %llu+%zu\n", static_cast<unsigned long long>(off), size);
    break;
  }
  size_t got = 0;
  while (got < size) {
    const ssize_t n = pread(gBacking, buf + got, size - got, static_cast<off_t>(off + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -errno;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<int>(got);
}

void* doInit(fuse_conn_info*, fuse_config* cfg) {
  cfg->direct_io = 1;
  cfg->kernel_cache = 0;
  cfg->auto_cache = 0;
  return nullptr;
}

void doDestroy(void*) { gReleased = 1; }

int usage() {
  std::fprintf(stderr,
               "usage: faulty_fuse BACKING MOUNTPOINT [--fail OFFSET:LENGTH]... [--stall OFFSET:LENGTH]... "
               "[--stall-limit SECONDS]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  for (int i = 3; i < argc; ++i) {
    Range r{};
    const std::string opt = argv[i];
    if (i + 1 >= argc) return usage();
    if (opt == "--fail" && parseRange(argv[i + 1], &r)) gFail.push_back(r);
    else if (opt == "--stall" && parseRange(argv[i + 1], &r)) gStall.push_back(r);
    else if (opt == "--stall-limit" && std::atoi(argv[i + 1]) > 0) gStallLimitSeconds = std::atoi(argv[i + 1]);
    else return usage();
    ++i;
  }
  gBacking = open(argv[1], O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (gBacking < 0 || fstat(gBacking, &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "faulty_fuse: cannot open %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  gSize = static_cast<uint64_t>(st.st_size);
  struct sigaction sa {};
  sa.sa_handler = onRelease;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGUSR1, &sa, nullptr);

  fuse_operations ops{};
  ops.getattr = doGetattr;
  ops.readdir = doReaddir;
  ops.open = doOpen;
  ops.read = doRead;
  ops.init = doInit;
  ops.destroy = doDestroy;
  std::string prog = argv[0], o = "-o", opts = "ro,fsname=faulty_fuse";
  std::vector<char*> argvFuse = {prog.data(), o.data(), opts.data(), nullptr};
  fuse_args args = FUSE_ARGS_INIT(3, argvFuse.data());
  fuse* fs = fuse_new(&args, &ops, sizeof ops, nullptr);
  if (!fs) return 1;
  int status = 1;
  if (fuse_mount(fs, argv[2]) == 0) {
    fuse_set_signal_handlers(fuse_get_session(fs));  // SIGTERM and SIGINT end the loop
    // Multi-threaded: a stalled read holds one worker, the others go on answering.
    fuse_loop_config* loop = fuse_loop_cfg_create();
    fuse_loop_cfg_set_max_threads(loop, 32);
    fuse_loop_cfg_set_idle_threads(loop, 4);
    status = fuse_loop_mt(fs, loop) == 0 ? 0 : 1;
    fuse_loop_cfg_destroy(loop);
    fuse_remove_signal_handlers(fuse_get_session(fs));
    fuse_unmount(fs);
  }
  fuse_destroy(fs);
  fuse_opt_free_args(&args);
  return status;
}
