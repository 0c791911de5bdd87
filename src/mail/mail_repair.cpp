#include "mail/mail_repair.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

#include "common/bytes.h"
#include "common/text.h"

namespace fs = std::filesystem;

namespace brenix::mail {

namespace {

// The copy moves data in chunks of whole 1024-byte blocks; the block size does
// not change the result, only the number of system calls on large stores.
constexpr size_t kCopyChunk = 64 * 1024;

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  void reset(int fd) {
    close();
    fd_ = fd;
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports whether the close itself succeeded (a delayed write
  // error on some file systems only shows here).
  bool close() {
    if (fd_ < 0) return true;
    int r = ::close(fd_);
    fd_ = -1;
    return r == 0;
  }

 private:
  int fd_ = -1;
};

bool writeAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool pwriteAll(int fd, const uint8_t* data, size_t size, off_t offset) {
  while (size > 0) {
    ssize_t n = ::pwrite(fd, data, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

// Reads up to `size` bytes at `offset`; the count read (short at end of file) or -1.
ssize_t preadUpTo(int fd, uint8_t* data, size_t size, off_t offset) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = ::pread(fd, data + got, size - got, offset + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

bool isPlainName(const fs::path& name) {
  const std::string s = name.string();
  return !s.empty() && s != "." && s != ".." && s.find('/') == std::string::npos;
}

// A new file under a unique name in `folder`, created exclusively (an existing
// entry or link of that name is never opened).
struct TempFile {
  fs::path path;
  Fd fd;

  bool create(const fs::path& folder) {
    std::random_device rd;
    for (int attempt = 0; attempt < 64; ++attempt) {
      fs::path candidate = folder / format(".brenix-repair-%08x%08x", rd(), rd());
      int f = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (f >= 0) {
        path = candidate;
        fd.reset(f);
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }
  void discard() {
    fd.close();
    if (!path.empty()) ::unlink(path.c_str());
    path.clear();
  }
};

bool stillRunning(const RunningFlag* running) { return running == nullptr || running->load(); }

enum class Fix { Dbx, Pst };

// The header fixes; they work on the finished copy.
int fixDbx(int fd) {
  std::array<uint8_t, sizeof(kDbxMarker)> marker{};
  ssize_t n = preadUpTo(fd, marker.data(), marker.size(), static_cast<off_t>(kDbxMarkerOffset));
  if (n < 0) return kRepairFailed;
  // The marker is compared as NUL-terminated text: the 11 bytes must be the
  // text and its terminator. A copy too short to hold it is not a store we know.
  if (static_cast<size_t>(n) != marker.size() || std::memcmp(marker.data(), kDbxMarker, marker.size()) != 0)
    return kUnsupportedFormat;
  uint8_t header[8];
  putLe32(header, kDbxSignature);
  putLe32(header + 4, kDbxClassIdHead);
  if (!pwriteAll(fd, header, sizeof header, 0)) return kRepairFailed;
  return kRepaired;
}

int fixPst(int fd) {
  if (!pwriteAll(fd, reinterpret_cast<const uint8_t*>(kPstSignature), sizeof kPstSignature, 0))
    return kRepairFailed;
  return kRepaired;
}

int repairCopy(Fix fix, const fs::path& source, const fs::path& destination, const RunningFlag* running) {
  if (!isPlainName(destination.filename())) return kRepairFailed;
  // O_NONBLOCK keeps a FIFO from blocking the open; only regular files go on.
  Fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!in.valid()) return kRepairFailed;
  struct stat st {};
  if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kRepairFailed;
  // The destination must not be the source by any name: replacing it would
  // drop the only good copy of the user's data.
  struct stat dst {};
  if (::stat(destination.c_str(), &dst) == 0 && dst.st_dev == st.st_dev && dst.st_ino == st.st_ino)
    return kRepairFailed;
  int flags = ::fcntl(in.get(), F_GETFL);
  if (flags >= 0) ::fcntl(in.get(), F_SETFL, flags & ~O_NONBLOCK);

  fs::path folder = destination.parent_path();
  if (folder.empty()) folder = ".";
  TempFile out;
  if (!out.create(folder)) return kRepairFailed;

  std::vector<uint8_t> buffer(kCopyChunk);
  for (;;) {
    if (!stillRunning(running)) {
      out.discard();
      return kRepairFailed;
    }
    ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (n > 0 && !writeAll(out.fd.get(), buffer.data(), static_cast<size_t>(n)))) {
      out.discard();
      return kRepairFailed;
    }
    if (n == 0) break;
  }
  in.close();

  int result = fix == Fix::Dbx ? fixDbx(out.fd.get()) : fixPst(out.fd.get());
  if (result == kRepairFailed || ::fsync(out.fd.get()) != 0 || !out.fd.close() ||
      ::rename(out.path.c_str(), destination.c_str()) != 0) {
    out.discard();
    return kRepairFailed;
  }
  return result;
}

}  // namespace

std::optional<StoreKind> storeKindFromName(std::string_view name) {
  const std::string n = toLower(name);
  if (n == "dbx") return StoreKind::OutlookExpress;
  if (n == "pst") return StoreKind::Outlook;
  return std::nullopt;
}

bool sameFile(const fs::path& a, const fs::path& b) {
  struct stat sa {}, sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

int repairDbx(const fs::path& source, const fs::path& destination, const RunningFlag* running) {
  return repairCopy(Fix::Dbx, source, destination, running);
}

int repairPst(const fs::path& source, const fs::path& destination, const RunningFlag* running) {
  return repairCopy(Fix::Pst, source, destination, running);
}

int repairStore(StoreKind kind, const fs::path& source, const fs::path& destination, const RunningFlag* running) {
  switch (kind) {
    case StoreKind::OutlookExpress: return repairDbx(source, destination, running);
    case StoreKind::Outlook: return repairPst(source, destination, running);
  }
  return kRepairFailed;
}

}  // namespace brenix::mail
