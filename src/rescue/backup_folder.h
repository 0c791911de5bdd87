#pragma once
// Where partition backups (and the undo files of partition writes) live, how
// they are named, and the backup list of the rescue page.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/text.h"
#include "disk/records.h"

namespace brenix::rescue {

// The folder "backup" beside the program when that can be written, otherwise
// $XDG_DATA_HOME/brenix/backup, otherwise ~/.local/share/brenix/backup.
std::filesystem::path backupFolder();

// The rule above with its inputs spelled out (tests). `writable` tells
// whether a folder can hold new files (the folder itself or, when it does not
// exist yet, its nearest existing parent).
std::filesystem::path chooseBackupFolder(const std::filesystem::path& programDir,
                                         const std::function<bool(const std::filesystem::path&)>& writable,
                                         const std::optional<std::string>& xdgDataHome,
                                         const std::optional<std::string>& home);

bool folderWritable(const std::filesystem::path& folder);

// How the model text becomes the start of a backup's file name: characters
// that cannot appear in a file name (on Windows or here) become '_', the name
// may not end in a blank or a dot, and an empty model is "disk". Existing
// backups are found by this prefix, so it must not change.
inline constexpr FileNameRules kModelNameRules{.portable = true, .emptyName = "disk", .maxBytes = 0};

// A new backup's proposed file name: "<model>-YYYYMMDD-HHMMSS.pbf".
std::string proposedBackupName(const PhysicalDisk& disk, int64_t unixSeconds);
// An undo file's name: "<model>-YYYYMMDD-HHMMSS.undo".
std::string proposedUndoName(const PhysicalDisk& disk, int64_t unixSeconds);

// One row of the backup list: the "Date Created" text, the "File Path" text
// and the row's icon (0 backup file, 1 automatic search, 2 add a file).
struct BackupRow {
  std::string created;
  std::string path;
  int icon = 0;
};

// "     %Y-%m-%d %H:%M:%S" of a Unix time, in local time.
std::string creationTimeText(int64_t unixSeconds);
// A file's creation time (its change time where the file system keeps none).
std::optional<int64_t> fileCreationTime(const std::filesystem::path& file);

// Row 0 "  Auto Scan ...    ", then every file of `folder` whose name begins
// with the disk's (file-name-safe) model text and ends in ".pbf", by name,
// then "  Add backup file...".
std::vector<BackupRow> listBackups(const std::filesystem::path& folder, const PhysicalDisk& disk);
// The row a file added through "  Add backup file..." gets.
BackupRow backupRowFor(const std::filesystem::path& file);

}  // namespace brenix::rescue
