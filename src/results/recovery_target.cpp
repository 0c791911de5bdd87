#include "results/recovery_target.h"

#include <sys/stat.h>
#ifndef _WIN32
#include <sys/sysmacros.h>
#endif

#include <system_error>
#include <vector>

#include "common/file_io.h"
#include "common/text.h"

namespace fs = std::filesystem;

namespace brenix {

namespace {

bool rangesOverlap(uint64_t a, uint64_t aLen, uint64_t b, uint64_t bLen) {
  const uint64_t aEnd = aLen > UINT64_MAX - a ? UINT64_MAX : a + aLen;
  const uint64_t bEnd = bLen > UINT64_MAX - b ? UINT64_MAX : b + bLen;
  return a < bEnd && b < aEnd;
}

// The scanned stretches: of disks (a partition node mapped onto its disk) and of image files.
struct ScannedStretches {
  std::vector<DiskExtent> disks;
  std::vector<FileExtent> files;
};

[[maybe_unused]] ScannedStretches sourceStretches(const ScannedSource& source, const SystemFiles& files) {
  ScannedStretches s;
  const uint64_t start = source.startSector;
  const uint64_t count = source.endSector > start ? source.endSector - start : UINT64_MAX;
#ifndef _WIN32
  struct stat st {};
  if (source.devicePath.empty() || ::stat(source.devicePath.c_str(), &st) != 0) return s;
  if (S_ISREG(st.st_mode)) {
    const uint64_t bytes = count > UINT64_MAX / 512 ? UINT64_MAX : count * 512;
    s.files.push_back({static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                       start > UINT64_MAX / 512 ? UINT64_MAX : start * 512, bytes, source.devicePath});
    return s;
  }
  if (!S_ISBLK(st.st_mode)) return s;
  const BackingStore b = backingStoreOfDevice(st.st_rdev, files);
  s.files = b.files;  // a loop device: its image file
  // A partition or whole disk maps the scanned range straight onto the disk;
  // below a stacked device each lower stretch counts whole.
  const bool single = b.disks.size() == 1 && b.disks.front().ownDev == st.st_rdev;
  if (single) {
    DiskExtent x = b.disks.front();
    x.start += start;
    x.count = count;
    s.disks.push_back(x);
  } else {
    s.disks = b.disks;
  }
  DiskExtent self;  // the scanned device itself, whatever lies above it
  self.diskDev = self.ownDev = st.st_rdev;
  self.start = start;
  self.count = count;
  s.disks.push_back(self);
#else
  (void)files;
  (void)count;
#endif
  return s;
}

}  // namespace

TargetCheck checkRecoveryTarget(const ScannedSource& source, const fs::path& outDir, const SystemFiles& files) {
  TargetCheck check;
#ifdef _WIN32
  (void)files;
  std::error_code ec;
  const std::string text = pathToUtf8(fs::absolute(outDir, ec));
  if (text.size() < 2 || text[1] != ':') {
    check.verdict = TargetVerdict::Unknown;
    check.reason = "the folder has no drive letter";
  } else if (!source.isImage && source.driveLetter != '*' && toUpper(text.substr(0, 1))[0] == source.driveLetter) {
    check.verdict = TargetVerdict::OnScannedSource;
  }
  return check;
#else
  std::error_code ec;
  if (!source.devicePath.empty()) {
    const fs::path image = fs::weakly_canonical(source.devicePath, ec);
    const fs::path out = fs::weakly_canonical(fs::absolute(outDir, ec), ec);
    if (!ec && !image.empty() && out == image) {
      check.verdict = TargetVerdict::OnScannedSource;
      return check;
    }
  }
  const ScannedStretches scanned = sourceStretches(source, files);
  const BackingStore store = backingStoreOf(outDir, files);
  for (const DiskExtent& x : store.disks)
    for (const DiskExtent& y : scanned.disks)
      // A file system on the scanned device itself spans all of it.
      if (x.ownDev == y.ownDev || (x.diskDev == y.diskDev && rangesOverlap(x.start, x.count, y.start, y.count))) {
        check.verdict = TargetVerdict::OnScannedSource;
        return check;
      }
  for (const FileExtent& f : store.files)
    for (const FileExtent& g : scanned.files)
      if (f.dev == g.dev && f.ino == g.ino && rangesOverlap(f.offset, f.length, g.offset, g.length)) {
        check.verdict = TargetVerdict::OnScannedSource;
        return check;
      }
  if (!store.known) {
    check.verdict = TargetVerdict::Unknown;
    check.reason = store.reason;
  }
  return check;
#endif
}

bool outputOnScannedSource(const ScannedSource& source, const fs::path& outDir, const fs::path& sysRoot) {
  SystemFiles files;
  files.sys = sysRoot;
  return checkRecoveryTarget(source, outDir, files).verdict == TargetVerdict::OnScannedSource;
}

bool deviceOverlapsScan(uint64_t outputDev, uint64_t sourceDev, uint64_t startSector, uint64_t endSector,
                        const fs::path& sysRoot) {
  if (outputDev == sourceDev) return true;
  SystemFiles files;
  files.sys = sysRoot;
  const BackingStore out = backingStoreOfDevice(outputDev, files);
  const uint64_t count = endSector > startSector ? endSector - startSector : UINT64_MAX;
  for (const DiskExtent& x : out.disks) {
    if (x.ownDev == sourceDev) return true;
    if (x.diskDev == sourceDev && rangesOverlap(x.start, x.count, startSector, count)) return true;
  }
  return false;
}

}  // namespace brenix
