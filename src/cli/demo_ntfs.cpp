#include "cli/demo_ntfs.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "common/bytes.h"
#include "common/text.h"
#include <cstring>
#include "ntfs/ntfs_record.h"

#ifndef _WIN32
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
extern char** environ;
#endif

namespace brenix::cli {

namespace {

namespace fs = std::filesystem;

// mkntfs and ntfscp live in /sbin on Debian, which a user's PATH may lack.
std::string findProgram(const std::string& name) {
  std::vector<std::string> dirs;
  if (const char* path = std::getenv("PATH")) {
    std::string cur;
    for (const char* p = path;; ++p) {
      if (*p == ':' || *p == '\0') {
        if (!cur.empty()) dirs.push_back(cur);
        cur.clear();
        if (*p == '\0') break;
      } else {
        cur += *p;
      }
    }
  }
  for (const char* d : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) dirs.emplace_back(d);
  for (const std::string& d : dirs) {
    std::error_code ec;
    const fs::path p = fs::path(d) / name;
    if (fs::is_regular_file(p, ec)) return p.string();
  }
  return {};
}

// Runs a program without a shell, its output discarded; true on exit status 0.
bool runQuietly(const std::vector<std::string>& argv) {
#ifdef _WIN32
  (void)argv;
  return false;
#else
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
#endif
}

}  // namespace

int markNtfsRecordsDeleted(const fs::path& image, const std::vector<std::string>& names, std::string* message) {
  // The demo's own image file, not a device: plain file streams.
  std::fstream disk(image, std::ios::in | std::ios::out | std::ios::binary);
  auto readBytesAt = [&disk](uint64_t at, uint8_t* buf, size_t n) {
    disk.seekg(static_cast<std::streamoff>(at));
    return static_cast<bool>(disk.read(reinterpret_cast<char*>(buf), static_cast<std::streamsize>(n)));
  };
  if (!disk) {
    if (message) *message = "Can not open " + image.string();
    return -1;
  }
  uint8_t boot[512];
  if (!readBytesAt(0, boot, sizeof boot) || std::memcmp(boot + 3, "NTFS    ", 8) != 0) {
    if (message) *message = image.string() + " holds no NTFS volume";
    return -1;
  }
  const uint32_t sectorBytes = le16(boot + 0x0B);
  const uint32_t clusterBytes = sectorBytes * boot[0x0D];
  const int8_t perRecord = static_cast<int8_t>(boot[0x40]);
  const uint32_t recordBytes = perRecord < 0 ? (perRecord >= -31 ? 1u << -perRecord : 0) : uint32_t(perRecord) * clusterBytes;
  const uint64_t mftByte = le64(boot + 0x30) * clusterBytes;
  if (clusterBytes == 0 || recordBytes < 512 || recordBytes > 65536) {
    if (message) *message = "Unexpected NTFS geometry in " + image.string();
    return -1;
  }

  // $MFT's own record gives where the table lies.
  std::vector<uint8_t> record(recordBytes);
  MftRecordReader mft;
  mft.configure(recordBytes, clusterBytes);
  if (!readBytesAt(mftByte, record.data(), recordBytes) || !applyFixups(record) || mft.decode(record) != 0 ||
      mft.data.resident || mft.data.runs.empty()) {
    if (message) *message = "Can not read the MFT of " + image.string();
    return -1;
  }
  int cleared = 0;
  const uint64_t recordCount = mft.data.realSize / recordBytes;
  for (uint64_t r = 0; r < recordCount && r < 1u << 20; ++r) {
    const uint64_t vcn = r * recordBytes / clusterBytes;
    const uint64_t within = r * recordBytes % clusterBytes;
    const auto run = std::find_if(mft.data.runs.begin(), mft.data.runs.end(),
                                  [vcn](const NtfsRun& x) { return vcn >= x.vcn && vcn < x.vcn + x.length; });
    if (run == mft.data.runs.end() || run->sparse) continue;
    const uint64_t at = (run->lcn + (vcn - run->vcn)) * clusterBytes + within;
    std::vector<uint8_t> raw(recordBytes);
    if (!readBytesAt(at, raw.data(), recordBytes)) continue;
    record = raw;
    MftRecordReader reader;
    reader.configure(recordBytes, clusterBytes);
    if (!applyFixups(record) || reader.decodeNameOnly(record) != 0 || !reader.inUse || reader.baseReference != 0)
      continue;
    const std::string name = utf16ToUtf8(reader.name);
    if (std::find(names.begin(), names.end(), name) == names.end()) continue;
    raw[0x16] = static_cast<uint8_t>(raw[0x16] & ~1u);  // the in-use flag; not a fixed-up byte
    disk.seekp(static_cast<std::streamoff>(at));
    if (!disk.write(reinterpret_cast<const char*>(raw.data()), recordBytes)) {
      if (message) *message = "Can not write " + image.string();
      return -1;
    }
    ++cleared;
  }
  return cleared;
}

NtfsDemoStatus buildNtfsDemoImage(const fs::path& path, const std::vector<DemoPicture>& pictures,
                                  std::string* message) {
  const std::string mkntfs = findProgram("mkntfs");
  const std::string ntfscp = findProgram("ntfscp");
  if (mkntfs.empty() || ntfscp.empty()) {
    if (message) *message = std::string(mkntfs.empty() ? "mkntfs" : "ntfscp") + " is not installed (package ntfs-3g)";
    return NtfsDemoStatus::ToolsMissing;
  }
  {
    std::error_code ec;
    fs::remove(path, ec);
    std::ofstream f(path, std::ios::binary);
    if (!f) {
      if (message) *message = "Can not create " + path.string();
      return NtfsDemoStatus::Failed;
    }
  }
  fs::resize_file(path, 24u << 20);
  if (!runQuietly({mkntfs, "-F", "-Q", "-q", "-L", "DEMO", "-s", "512", "-c", "4096", path.string()})) {
    if (message) *message = "mkntfs failed on " + path.string();
    return NtfsDemoStatus::Failed;
  }
  const fs::path staging = path.string() + ".files";
  fs::create_directories(staging);
  std::vector<std::string> deleted;
  for (const DemoPicture& p : pictures) {
    const fs::path file = staging / p.name;
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(p.bytes.data()),
                                                static_cast<std::streamsize>(p.bytes.size()));
    if (!runQuietly({ntfscp, "-f", path.string(), file.string(), p.name})) {
      if (message) *message = "ntfscp failed for " + p.name;
      fs::remove_all(staging);
      return NtfsDemoStatus::Failed;
    }
    if (p.deleted) deleted.push_back(p.name);
  }
  fs::remove_all(staging);
  const int cleared = markNtfsRecordsDeleted(path, deleted, message);
  if (cleared != static_cast<int>(deleted.size())) {
    if (message && cleared >= 0) *message = format("Deleted %d of %zu demo files", cleared, deleted.size());
    return NtfsDemoStatus::Failed;
  }
  return NtfsDemoStatus::Built;
}

}  // namespace brenix::cli
