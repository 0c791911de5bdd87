#pragma once
// Where a partition table backup may be written.
#include <filesystem>
#include <string>

namespace brenix::cli {

// "" when `path` may take the backup of drive `driveNumber`; else why not:
// it is an attached disk (device node or image file) or not a regular file,
// or its folder is stored on the disk being backed up.
std::string backupTargetProblem(const std::filesystem::path& path, int driveNumber);

}  // namespace brenix::cli
