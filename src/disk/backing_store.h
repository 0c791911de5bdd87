#pragma once
// Where a folder's bytes really live: the disks (and the stretches of them)
// and the image files that the file system holding a folder is stored on,
// through partitions, stacked devices, loop devices, FUSE mounts, btrfs
// volumes and overlay upper folders. The recovery output uses it to keep
// recovered files off the disk being rescued; the image options use it to
// refuse paths that are not disks or image files.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace brenix {

// A stretch of a whole disk, in 512-byte sectors. ownDev is the device the
// stretch was reached through (a partition, or the disk itself).
struct DiskExtent {
  uint64_t diskDev = 0;
  uint64_t ownDev = 0;
  uint64_t start = 0;
  uint64_t count = UINT64_MAX;
};

// A stretch of a regular file (a disk image), in bytes.
struct FileExtent {
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint64_t offset = 0;
  uint64_t length = UINT64_MAX;
  std::string path;
};

struct BackingStore {
  bool known = true;
  std::string reason;  // when not known: why not, in words for the user
  std::vector<DiskExtent> disks;
  std::vector<FileExtent> files;
  std::vector<std::string> chain;  // the mounts passed on the way (for messages)
};

// The system files read; tests point them at a fake tree.
struct SystemFiles {
  std::filesystem::path mountinfo = "/proc/self/mountinfo";
  std::filesystem::path sys = "/sys";
};

// What the file system holding `path` (or, when it does not exist yet, its
// nearest existing parent) is stored on. known is false when some link of
// the chain cannot be followed (a FUSE file system that names no device, a
// pool file system, a relative overlay folder ...).
BackingStore backingStoreOf(const std::filesystem::path& path, const SystemFiles& files = {});

// The disk stretches a block device (st_rdev) lies on, and the image files
// behind it when it is a loop device (with the disks those files lie on).
BackingStore backingStoreOfDevice(uint64_t dev, const SystemFiles& files = {});

// "" when `path` names a regular file or a block device (what a disk image
// option accepts), else the message saying what it is instead. Nothing is
// opened: a FIFO would block the opener.
std::string imagePathProblem(const std::string& path);

// Whether `path` names (after symbolic links) an attached disk, a partition of
// one, or a place on a file system stored on one of `diskDevs` (whole-disk
// device numbers). `what` receives a few words naming the disk.
bool pathIsOnDisks(const std::filesystem::path& path, const std::vector<uint64_t>& diskDevs, std::string* what,
                   const SystemFiles& files = {});

}  // namespace brenix
