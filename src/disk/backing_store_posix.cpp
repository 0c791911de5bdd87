#ifndef _WIN32
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <system_error>

#include "disk/backing_store.h"

namespace fs = std::filesystem;

namespace brenix {

namespace {

constexpr int kMaxDepth = 8;

std::string devText(uint64_t dev) { return std::to_string(major(dev)) + ":" + std::to_string(minor(dev)); }

uint64_t readNumber(const fs::path& p) {
  std::ifstream in(p);
  unsigned long long v = 0;
  return (in >> v) ? v : 0;
}

bool readDevNumber(const fs::path& p, uint64_t* dev) {
  std::ifstream in(p);
  std::string text;
  if (!(in >> text)) return false;
  unsigned ma = 0, mi = 0;
  if (std::sscanf(text.c_str(), "%u:%u", &ma, &mi) != 2) return false;
  *dev = makedev(ma, mi);
  return true;
}

// Undoes the octal escapes of /proc/self/mountinfo ("\040" for a blank).
std::string unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' &&
        s[i + 3] <= '7') {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

struct MountEntry {
  uint64_t dev = 0;
  std::string root;
  std::string mountPoint;
  std::string fsType;
  std::string source;
  std::string superOptions;
};

std::vector<MountEntry> readMountinfo(const fs::path& file) {
  std::vector<MountEntry> out;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line) && out.size() < 100000) {
    std::istringstream ls(line);
    std::vector<std::string> f;
    std::string w;
    while (ls >> w) f.push_back(w);
    // id parent major:minor root mountpoint options [optional...] - fstype source superoptions
    const auto dash = std::find(f.begin(), f.end(), "-");
    if (f.size() < 7 || dash == f.end() || dash - f.begin() < 6 || f.end() - dash < 3) continue;
    MountEntry e;
    unsigned ma = 0, mi = 0;
    if (std::sscanf(f[2].c_str(), "%u:%u", &ma, &mi) != 2) continue;
    e.dev = makedev(ma, mi);
    e.root = unescape(f[3]);
    e.mountPoint = unescape(f[4]);
    e.fsType = unescape(*(dash + 1));
    e.source = unescape(*(dash + 2));
    if (dash + 3 != f.end()) e.superOptions = unescape(*(dash + 3));
    out.push_back(std::move(e));
  }
  return out;
}

bool isPrefixPath(const std::string& base, const std::string& p) {
  if (base == "/") return true;
  return p == base || (p.size() > base.size() && p.compare(0, base.size(), base) == 0 && p[base.size()] == '/');
}


bool memoryFs(const std::string& t) {
  static const char* const kinds[] = {"tmpfs", "ramfs", "devtmpfs", "proc", "sysfs", "hugetlbfs",
                                      "cgroup", "cgroup2", "devpts", "mqueue", "debugfs", "tracefs"};
  return std::find_if(std::begin(kinds), std::end(kinds), [&](const char* k) { return t == k; }) != std::end(kinds);
}

bool networkFs(const std::string& t) {
  static const char* const kinds[] = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "fuse.sshfs", "ceph", "fuse.rclone"};
  return std::find_if(std::begin(kinds), std::end(kinds), [&](const char* k) { return t == k; }) != std::end(kinds);
}

std::string optionValue(const std::string& options, const std::string& key) {
  size_t pos = 0;
  while (pos <= options.size()) {
    size_t end = options.find(',', pos);
    if (end == std::string::npos) end = options.size();
    const std::string item = options.substr(pos, end - pos);
    if (item.rfind(key + "=", 0) == 0) return item.substr(key.size() + 1);
    pos = end + 1;
  }
  return {};
}

void markUnknown(BackingStore& out, std::string reason) {
  if (out.known) out.reason = std::move(reason);
  out.known = false;
}

class Resolver {
 public:
  explicit Resolver(const SystemFiles& files) : files_(files), mounts_(readMountinfo(files.mountinfo)) {}

  void folder(const fs::path& path, int depth, BackingStore& out);
  void device(uint64_t dev, int depth, BackingStore& out);
  void file(const fs::path& path, uint64_t offset, uint64_t length, int depth, BackingStore& out);

 private:
  void leaves(const fs::path& node, int depth, BackingStore& out);
  const SystemFiles& files_;
  std::vector<MountEntry> mounts_;
};

// The disk stretches below one /sys/block node; loop devices lead on to their file.
void Resolver::leaves(const fs::path& node, int depth, BackingStore& out) {
  if (depth > kMaxDepth || out.disks.size() > 256) {
    markUnknown(out, "the devices are stacked too deep");
    return;
  }
  std::error_code ec;
  std::vector<fs::path> slaves;
  for (const auto& e : fs::directory_iterator(node / "slaves", ec)) slaves.push_back(e.path());
  if (!slaves.empty()) {
    for (const fs::path& s : slaves) {
      const fs::path real = fs::canonical(s, ec);
      if (!ec) leaves(real, depth + 1, out);
    }
    return;
  }
  DiskExtent x;
  if (!readDevNumber(node / "dev", &x.ownDev)) {
    markUnknown(out, "the device '" + node.filename().string() + "' is not described in " + files_.sys.string());
    return;
  }
  x.count = readNumber(node / "size");
  fs::path diskNode = node;
  if (fs::exists(node / "partition", ec)) {
    diskNode = node.parent_path();
    if (!readDevNumber(diskNode / "dev", &x.diskDev)) return;
    x.start = readNumber(node / "start");
  } else {
    x.diskDev = x.ownDev;
    if (x.count == 0) x.count = UINT64_MAX;
  }
  out.disks.push_back(x);
  // A loop device stands on its backing file, which stands on the disk holding it.
  std::ifstream backing(diskNode / "loop" / "backing_file");
  std::string backingPath;
  if (backing && std::getline(backing, backingPath) && !backingPath.empty()) {
    const uint64_t offset = readNumber(diskNode / "loop" / "offset");
    const uint64_t start = offset + x.start * 512;
    const uint64_t length = x.count == UINT64_MAX || x.count > UINT64_MAX / 512 ? UINT64_MAX : x.count * 512;
    file(backingPath, start, length, depth + 1, out);
  } else if (fs::exists(diskNode / "loop", ec)) {
    markUnknown(out, "the loop device '" + diskNode.filename().string() + "' does not say which file it reads");
  }
}

void Resolver::device(uint64_t dev, int depth, BackingStore& out) {
  std::error_code ec;
  const fs::path node = fs::canonical(files_.sys / "dev" / "block" / devText(dev), ec);
  if (ec) {
    markUnknown(out, "the block device " + devText(dev) + " is not listed in " + files_.sys.string());
    return;
  }
  leaves(node, depth, out);
}

void Resolver::file(const fs::path& path, uint64_t offset, uint64_t length, int depth, BackingStore& out) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    markUnknown(out, "the file '" + path.string() + "' behind a mounted file system cannot be found");
    return;
  }
  if (S_ISBLK(st.st_mode)) {
    device(st.st_rdev, depth, out);
    return;
  }
  if (!S_ISREG(st.st_mode)) {
    markUnknown(out, "'" + path.string() + "' behind a mounted file system is neither a disk nor a file");
    return;
  }
  out.files.push_back({static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), offset, length, path.string()});
  folder(path.parent_path(), depth + 1, out);
}

void Resolver::folder(const fs::path& path, int depth, BackingStore& out) {
  if (depth > kMaxDepth) {
    markUnknown(out, "the file systems are stacked too deep");
    return;
  }
  std::error_code ec;
  fs::path p = fs::absolute(path, ec);
  if (ec) {
    markUnknown(out, "the folder '" + path.string() + "' cannot be resolved");
    return;
  }
  struct stat st {};
  while (::stat(p.c_str(), &st) != 0) {
    if (!p.has_parent_path() || p.parent_path() == p) {
      markUnknown(out, "no part of '" + path.string() + "' exists");
      return;
    }
    p = p.parent_path();
  }
  const fs::path canon = fs::canonical(p, ec);
  const std::string where = ec ? p.string() : canon.string();
  const uint64_t dev = st.st_dev;

  const MountEntry* best = nullptr;
  for (const MountEntry& m : mounts_) {
    if (m.dev != dev || !isPrefixPath(m.mountPoint, where)) continue;
    if (!best || m.mountPoint.size() >= best->mountPoint.size()) best = &m;
  }
  // btrfs hands every subvolume a device number of its own that mountinfo
  // does not show: then the mount covering the path decides.
  if (!best)
    for (const MountEntry& m : mounts_)
      if (isPrefixPath(m.mountPoint, where) && (!best || m.mountPoint.size() >= best->mountPoint.size())) best = &m;
  if (best) out.chain.push_back(best->fsType + " " + best->source + " on " + best->mountPoint);

  if (major(dev) != 0) {  // a file system on a block device (fuseblk included)
    device(dev, depth, out);
    return;
  }
  if (!best) {
    markUnknown(out, "the file system holding '" + where + "' is not in " + files_.mountinfo.string());
    return;
  }
  const MountEntry& m = *best;
  if (memoryFs(m.fsType) || networkFs(m.fsType)) return;  // not stored on a local disk
  if (m.fsType == "overlay") {
    const std::string upper = optionValue(m.superOptions, "upperdir");
    if (upper.empty() || upper.front() != '/') {
      markUnknown(out, "the overlay on '" + m.mountPoint + "' does not name its upper folder by a full path");
      return;
    }
    folder(upper, depth + 1, out);
    return;
  }
  if (m.fsType == "btrfs") {
    // Every device of the volume: /sys/fs/btrfs/<uuid>/devices/<name>.
    struct stat src {};
    const bool haveSource = ::stat(m.source.c_str(), &src) == 0 && S_ISBLK(src.st_mode);
    bool found = false;
    for (const auto& vol : fs::directory_iterator(files_.sys / "fs" / "btrfs", ec)) {
      std::vector<uint64_t> devs;
      for (const auto& d : fs::directory_iterator(vol.path() / "devices", ec)) {
        uint64_t n = 0;
        if (readDevNumber(d.path() / "dev", &n)) devs.push_back(n);
      }
      if (!haveSource || std::find(devs.begin(), devs.end(), static_cast<uint64_t>(src.st_rdev)) == devs.end()) continue;
      found = true;
      for (uint64_t n : devs) device(n, depth + 1, out);
    }
    if (!found) {
      if (haveSource) device(src.st_rdev, depth + 1, out);
      else markUnknown(out, "the devices of the btrfs volume on '" + m.mountPoint + "' cannot be listed");
    }
    return;
  }
  // FUSE (ntfs-3g, exFAT) and others without a device number of their own:
  // the source names the device or image file when there is one.
  if (!m.source.empty() && m.source.front() == '/') {
    struct stat src {};
    if (::stat(m.source.c_str(), &src) == 0 && (S_ISBLK(src.st_mode) || S_ISREG(src.st_mode))) {
      file(m.source, 0, UINT64_MAX, depth + 1, out);
      return;
    }
  }
  markUnknown(out, "the " + m.fsType + " file system on '" + m.mountPoint + "' does not say which disk it is stored on");
}

}  // namespace

BackingStore backingStoreOf(const fs::path& path, const SystemFiles& files) {
  BackingStore out;
  Resolver(files).folder(path, 0, out);
  return out;
}

BackingStore backingStoreOfDevice(uint64_t dev, const SystemFiles& files) {
  BackingStore out;
  Resolver(files).device(dev, 0, out);
  return out;
}

std::string imagePathProblem(const std::string& path) {
  struct stat st {};
  if (path.empty()) return "No disk image path given";
  if (::stat(path.c_str(), &st) != 0) {
    struct stat lst {};
    if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode))
      return "The disk image '" + path + "' is a symbolic link to something that does not exist";
    return "The disk image '" + path + "' does not exist";
  }
  if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) return {};
  const char* what = S_ISDIR(st.st_mode)    ? "a folder"
                     : S_ISFIFO(st.st_mode) ? "a named pipe (FIFO)"
                     : S_ISCHR(st.st_mode)  ? "a character device"
                     : S_ISSOCK(st.st_mode) ? "a socket"
                                            : "not a regular file";
  return "The disk image '" + path + "' is " + what + "; give an image file or a disk's block device";
}

bool pathIsOnDisks(const fs::path& path, const std::vector<uint64_t>& diskDevs, std::string* what,
                   const SystemFiles& files) {
  const auto listed = [&](uint64_t disk) { return std::find(diskDevs.begin(), diskDevs.end(), disk) != diskDevs.end(); };
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
    const BackingStore b = backingStoreOfDevice(st.st_rdev, files);
    for (const DiskExtent& x : b.disks)
      if (listed(x.diskDev)) {
        if (what) *what = "the disk device " + path.string();
        return true;
      }
  }
  const BackingStore b = backingStoreOf(path, files);
  for (const DiskExtent& x : b.disks)
    if (listed(x.diskDev)) {
      if (what) *what = "a file system stored on disk " + devText(x.diskDev);
      return true;
    }
  return false;
}

}  // namespace brenix
#endif
