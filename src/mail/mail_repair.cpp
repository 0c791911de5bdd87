#include "mail/mail_repair.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

#include "common/bytes.h"
#include "common/file_io.h"
#include "common/text.h"

namespace fs = std::filesystem;

namespace brenix::mail {

namespace {

// The copy moves data in chunks of whole 1024-byte blocks; the block size does
// not change the result, only the number of system calls on large stores.
constexpr size_t kCopyChunk = 64 * 1024;

bool isPlainName(const fs::path& name) {
  const std::string s = name.string();
  return !s.empty() && s != "." && s != ".." && s.find('/') == std::string::npos;
}

// A new file under a unique name in `folder`, created exclusively (an existing
// entry or link of that name is never opened).
struct TempFile {
  fs::path path;
  OsFile fd;

  bool create(const fs::path& folder) {
    std::random_device rd;
    for (int attempt = 0; attempt < 64; ++attempt) {
      fs::path candidate = folder / format(".brenix-repair-%08x%08x", rd(), rd());
      if (fd.open(candidate, FileMode::CreateNewReadWrite)) {
        path = candidate;
        return true;
      }
      if (fd.lastError() != EEXIST) return false;
    }
    return false;
  }
  void discard() {
    fd.close();
    if (!path.empty()) removeFile(path);
    path.clear();
  }
};

bool stillRunning(const RunningFlag* running) { return running == nullptr || running->load(); }

enum class Fix { Dbx, Pst };

// The header fixes; they work on the finished copy.
int fixDbx(OsFile& fd) {
  std::array<uint8_t, sizeof(kDbxMarker)> marker{};
  const int64_t n = fd.readAt(kDbxMarkerOffset, marker.data(), marker.size());
  if (n < 0) return kRepairFailed;
  // The marker is compared as NUL-terminated text: the 11 bytes must be the
  // text and its terminator. A copy too short to hold it is not a store we know.
  if (static_cast<size_t>(n) != marker.size() || std::memcmp(marker.data(), kDbxMarker, marker.size()) != 0)
    return kUnsupportedFormat;
  uint8_t header[8];
  putLe32(header, kDbxSignature);
  putLe32(header + 4, kDbxClassIdHead);
  if (!fd.writeAt(0, header, sizeof header)) return kRepairFailed;
  return kRepaired;
}

int fixPst(OsFile& fd) {
  if (!fd.writeAt(0, kPstSignature, sizeof kPstSignature))
    return kRepairFailed;
  return kRepaired;
}

int repairCopy(Fix fix, const fs::path& source, const fs::path& destination, const RunningFlag* running) {
  if (!isPlainName(destination.filename())) return kRepairFailed;
  // The open does not block on a FIFO; only regular files go on.
  OsFile in;
  if (!in.open(source, FileMode::Read) || !in.isRegular()) return kRepairFailed;
  // The destination must not be the source by any name: replacing it would
  // drop the only good copy of the user's data.
  if (brenix::sameFile(source, destination)) return kRepairFailed;

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
    const int64_t n = in.read(buffer.data(), buffer.size());
    if (n < 0 || (n > 0 && !out.fd.write(buffer.data(), static_cast<size_t>(n)))) {
      out.discard();
      return kRepairFailed;
    }
    if (n == 0) break;
  }
  in.close();

  int result = fix == Fix::Dbx ? fixDbx(out.fd) : fixPst(out.fd);
  if (result == kRepairFailed || !out.fd.sync() || !out.fd.close() || !replaceFile(out.path, destination)) {
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

bool sameFile(const fs::path& a, const fs::path& b) { return brenix::sameFile(a, b); }

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
