#include "cli/backup_target.h"

#include <sys/stat.h>

#include "disk/device_table.h"
#include "results/recovery_output.h"

namespace fs = std::filesystem;

namespace brenix::cli {

// A backup may not be written over a disk, nor onto the disk it saves.
std::string backupTargetProblem(const fs::path& path, int driveNumber) {
  struct stat target {};
  if (::stat(path.c_str(), &target) == 0) {
    if (!S_ISREG(target.st_mode))
      return "The backup cannot be written to '" + path.string() + "': it is not a regular file";
    for (const DeviceEntry& d : DeviceTable::instance().devices()) {
      struct stat st {};
      if (::stat(d.path.c_str(), &st) == 0 && st.st_dev == target.st_dev && st.st_ino == target.st_ino)
        return "The backup cannot be written to '" + path.string() + "': it is the attached disk " +
               std::to_string(d.driveNumber) + " itself";
    }
  }
  ScannedSource source;
  source.devicePath = DeviceTable::instance().pathOf(driveNumber);
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  if (!source.devicePath.empty() && checkRecoveryTarget(source, folder).verdict == TargetVerdict::OnScannedSource)
    return "The backup cannot be written to '" + path.string() +
           "': that folder is stored on the disk being backed up; choose a folder on another disk";
  return {};
}

}  // namespace brenix::cli
