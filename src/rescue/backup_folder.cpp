#include "rescue/backup_folder.h"

#include <algorithm>
#include <cstdlib>
#include <system_error>

#include "common/clock.h"
#include "common/file_io.h"
#include "common/text.h"
#include "rescue/rescue_texts.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace brenix::rescue {

namespace {

fs::path programDirectory() {
  const fs::path exe = executablePath();
  return exe.empty() ? fs::path() : exe.parent_path();
}

std::optional<std::string> envText(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) return std::nullopt;
  return std::string(v);
}

std::string stamp(int64_t unixSeconds) {
  LocalTime t = toLocalTime(unixSeconds);
  return format("%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

bool hasBackupExtension(const std::string& name) {
  if (name.size() < kBackupExtension.size()) return false;
  return toLower(name.substr(name.size() - kBackupExtension.size())) == kBackupExtension;
}

}  // namespace

bool folderWritable(const fs::path& folder) {
  std::error_code ec;
  fs::path probe = folder;
  // A folder that does not exist yet is writable when it can be created.
  while (!probe.empty() && !fs::exists(probe, ec)) {
    fs::path parent = probe.parent_path();
    if (parent == probe) break;
    probe = parent;
  }
  if (probe.empty() || !fs::is_directory(probe, ec)) return false;
#ifdef _WIN32
  return true;
#else
  return ::access(probe.c_str(), W_OK | X_OK) == 0;
#endif
}

fs::path chooseBackupFolder(const fs::path& programDir, const std::function<bool(const fs::path&)>& writable,
                            const std::optional<std::string>& xdgDataHome, const std::optional<std::string>& home) {
  if (!programDir.empty()) {
    fs::path beside = programDir / "backup";
    if (writable(beside)) return beside;
  }
  // XDG: a relative $XDG_DATA_HOME is invalid and ignored.
  if (xdgDataHome && fs::path(*xdgDataHome).is_absolute()) return fs::path(*xdgDataHome) / "brenix" / "backup";
  if (home) return fs::path(*home) / ".local" / "share" / "brenix" / "backup";
  return fs::temp_directory_path() / "brenix" / "backup";
}

fs::path backupFolder() {
  return chooseBackupFolder(programDirectory(), folderWritable, envText("XDG_DATA_HOME"), envText("HOME"));
}

std::string proposedBackupName(const PhysicalDisk& disk, int64_t unixSeconds) {
  return sanitizeFileName(disk.model(), kModelNameRules) + "-" + stamp(unixSeconds) + std::string(kBackupExtension);
}

std::string proposedUndoName(const PhysicalDisk& disk, int64_t unixSeconds) {
  return sanitizeFileName(disk.model(), kModelNameRules) + "-" + stamp(unixSeconds) + ".undo";
}

std::string creationTimeText(int64_t unixSeconds) {
  LocalTime t = toLocalTime(unixSeconds);
  return format("     %d-%.2d-%.2d %.2d:%.2d:%.2d", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

std::optional<int64_t> fileCreationTime(const fs::path& file) {
#ifdef _WIN32
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  uint64_t ft = (uint64_t(data.ftCreationTime.dwHighDateTime) << 32) | data.ftCreationTime.dwLowDateTime;
  return fileTimeToUnix(ft);
#else
#ifdef STATX_BTIME
  struct statx sx {};
  if (::statx(AT_FDCWD, file.c_str(), 0, STATX_BTIME | STATX_CTIME, &sx) == 0) {
    if (sx.stx_mask & STATX_BTIME) return static_cast<int64_t>(sx.stx_btime.tv_sec);
    return static_cast<int64_t>(sx.stx_ctime.tv_sec);
  }
#endif
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return std::nullopt;
  return static_cast<int64_t>(st.st_ctime);
#endif
}

BackupRow backupRowFor(const fs::path& file) {
  BackupRow row;
  std::optional<int64_t> created = fileCreationTime(file);
  row.created = created ? creationTimeText(*created) : std::string();
  row.path = file.string();
  row.icon = 0;
  return row;
}

std::vector<BackupRow> listBackups(const fs::path& folder, const PhysicalDisk& disk) {
  std::vector<BackupRow> rows;
  rows.push_back(BackupRow{std::string(kAutoScanRow), std::string(kAutoScanPath), 1});
  const std::string prefix = sanitizeFileName(disk.model(), kModelNameRules);
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code typeError;
    if (it->is_directory(typeError)) continue;
    const std::string name = it->path().filename().string();
    if (name.rfind(prefix, 0) == 0 && hasBackupExtension(name)) files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& f : files) rows.push_back(backupRowFor(f));
  rows.push_back(BackupRow{std::string(kAddBackupRow), std::string(kAddBackupPath), 2});
  return rows;
}

}  // namespace brenix::rescue
