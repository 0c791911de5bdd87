#include "cli/backup_target.h"

#include "common/file_io.h"
#include "disk/device_table.h"
#include "results/recovery_output.h"

namespace fs = std::filesystem;

namespace brenix::cli {

// A backup may not be written over a disk, nor onto the disk it saves.
std::string backupTargetProblem(const fs::path& path, int driveNumber) {
  FileIdentity target;
  std::error_code ec;
  if (fileIdentityOf(path, &target)) {
    if (!fs::is_regular_file(path, ec))
      return "The backup cannot be written to '" + path.string() + "': it is not a regular file";
    for (const DeviceEntry& d : DeviceTable::instance().devices()) {
      FileIdentity disk;
      if (fileIdentityOf(pathFromUtf8(d.path), &disk) && disk == target)
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
