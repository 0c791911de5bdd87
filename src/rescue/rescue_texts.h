#pragma once
// The texts the partition rescue page and the rescue commands show.
#include <string_view>

namespace brenix::rescue {

inline constexpr std::string_view kAskBackup = "Do you want to back up all partitions on the disk ?";
inline constexpr std::string_view kBackupDone = "Backup has finished!";
inline constexpr std::string_view kBackupFailed = "Can't backup the disk!";
inline constexpr std::string_view kLoadFailed = "Can't load the Backup file!";
inline constexpr std::string_view kAskRecover = "This operation is very dangerous, Are you sure to continue?";
inline constexpr std::string_view kRestartPrompt =
    " The partition has been recovered successfully; you must restart your computer for it to take effect.\n"
    " Click <Yes> to restart or click <No> to continue.";
inline constexpr std::string_view kRestartPromptCaption = "Recovery Success!";
// Where the new table is already in use (an image, or a kernel that re-read it).
inline constexpr std::string_view kRecoveredNow = "The partition has been recovered successfully.";
// Where the kernel could not re-read the table: the restart prompt without the question.
inline constexpr std::string_view kRecoveredRestart =
    " The partition has been recovered successfully; you must restart your computer for it to take effect.";

// A write refused because the master boot record holds a 0xEE (GPT) entry.
inline constexpr std::string_view kGptDiskRefusal =
    "the disk has a GUID partition table (its master boot record holds a 0xEE entry); no master boot record "
    "entry is written on it";

inline constexpr std::string_view kAutoScanRow = "  Auto Scan ...    ";
inline constexpr std::string_view kAutoScanPath = "(If you haven't any backup file)";
inline constexpr std::string_view kAddBackupRow = "  Add backup file...";
inline constexpr std::string_view kAddBackupPath = "(If you have backup files)";
inline constexpr std::string_view kBackupFilter = "Partition backup files (*.pbf)|*.pbf||";
inline constexpr std::string_view kBackupExtension = ".pbf";

inline constexpr std::string_view kCaptionError = "Error";
inline constexpr std::string_view kCaptionSuccess = "Success";
inline constexpr std::string_view kCaptionConfirm = "Confirm";
inline constexpr std::string_view kCaptionWarning = "Warning";

}  // namespace brenix::rescue
