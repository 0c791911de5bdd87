#include "cli/scan_session.h"

#include <algorithm>
#include <filesystem>
#include <optional>

#include "cli/progress_line.h"
#include "common/text.h"
#include "disk/device_table.h"
#include "disk/disk_catalog.h"
#include "disk/sector_reader.h"
#include "jobs/engine_factory.h"
#include "jobs/scan_jobs.h"
#include "jobs/scan_session_file.h"
#include "raw/raw_engine.h"
#include "results/filter_options.h"
#include "results/scan_option_rules.h"

namespace brenix::cli {

namespace {

ScanMode parseScanMode(const std::string& m) {
  if (m == "formatted") return ScanMode::Formatted;
  if (m == "raw") return ScanMode::Raw;
  return ScanMode::Deleted;
}

EngineKind kindOfFs(const std::string& fsName, ScanMode mode, const ScanEngine* engine) {
  if (engine) return engine->kind();
  if (mode == ScanMode::Raw) return EngineKind::Raw;
  if (fsName == "NTFS") return EngineKind::Ntfs;
  if (fsName == "exFAT") return EngineKind::ExFat;
  if (fsName.rfind("EXT", 0) == 0) return EngineKind::Ext;
  return EngineKind::Fat;
}

}  // namespace

int openSession(ScanCliOptions& o, ScanSession& s, std::ostream& err) {
  std::string error;
  if (o.json && o.csv) {
    err << "Choose one of --json and --csv\n";
    return kExitUsage;
  }
  if (!parseFilterOptions({o.filterExt, o.filterDate, o.filterSize, o.filterName}, &s.filter, &error)) {
    err << error << "\n";
    return kExitUsage;
  }
  s.mode = parseScanMode(o.mode);
  if (o.readTimeout >= 0) SectorReader::setDefaultDeviceReadTimeoutMs(static_cast<uint32_t>(o.readTimeout * 1000));
  if (o.startOption) o.startGiven = o.startOption->count() > 0;
  if (o.endOption) o.endGiven = o.endOption->count() > 0;
  if (!attachDrives(o.drives)) return kExitUsage;
  DiskCatalog catalog;
  catalog.refresh();
  if ((o.wholeDisk || o.noTrim) && s.mode != ScanMode::Raw) {
    err << (o.wholeDisk ? "--whole-disk" : "--no-trim") << " applies to --mode raw only\n";
    return kExitUsage;
  }
  RecoveryContext& ctx = s.ctx;
  int scannedDrive = -1;
  if (o.wholeDisk) {
    if (o.drives.partition >= 0) {
      err << "Choose one of --whole-disk and --partition\n";
      return kExitUsage;
    }
    if (o.drives.disk >= 0) {
      scannedDrive = o.drives.disk;
    } else if (o.drives.imageDrives.size() == 1) {
      scannedDrive = o.drives.imageDrives.front();
    } else {
      err << "--whole-disk needs --disk N or exactly one --image\n";
      return kExitUsage;
    }
    if (!selectWholeDisk(ctx, scannedDrive, &error)) {
      err << error << "\n";
      return kExitUsage;
    }
  } else {
    std::optional<ChosenPartition> chosen = choosePartition(o.drives, catalog, &error);
    if (!chosen) {
      err << error << "\n";
      return kExitUsage;
    }
    scannedDrive = chosen->disk;
    ctx.selectPartition(chosen->info, chosen->rootPath);
  }
  ctx.options.rawTrim = !o.noTrim;
  ctx.options.carveUnclaimed = !o.noCarve;
  ctx.preset = presetNamed(o.preset).value_or(FilePreset::None);
  ctx.options.nameFilter = o.name;
  if (!o.path.empty()) ctx.options.searchFolder = o.path;
  ctx.options.rawMaxSizeKb = o.maxSizeKb;
  for (const std::string& t : splitOn(o.types, ',')) {
    std::string ext = toLower(t);
    while (!ext.empty() && (ext.front() == '.' || ext.front() == ' ')) ext.erase(ext.begin());
    while (!ext.empty() && ext.back() == ' ') ext.pop_back();
    if (!ext.empty()) ctx.options.rawTypes.push_back(ext);
  }

  // The sector range, as the options dialogs check it.
  if (o.startGiven || o.endGiven) {
    const uint64_t first = ctx.partitionStart;
    const uint64_t last = ctx.partitionEnd > first ? ctx.partitionEnd - 1 : first;
    const uint64_t start = o.startGiven ? o.start : first;
    const uint64_t end = o.endGiven ? o.end : last;
    const RangeCheck check = validateSectorRange(start, end, first, last);
    if (!check.accepted) {
      err << check.message << "\n";
      return kExitUsage;
    }
    ctx.options.startSector = start;
    ctx.options.endSector = end + 1;  // the engines take the first sector past the range
  }

  // The engine: by the previous file system for a formatted-drive scan.
  const std::string fs = ctx.partition.fs();
  s.engineFsName = fs;
  if (s.mode == ScanMode::Formatted) {
    const PreviousFsChoices choices = previousFsChoices(fs);
    if (!o.previousFs.empty()) {
      if (std::find(choices.entries.begin(), choices.entries.end(), o.previousFs) == choices.entries.end()) {
        std::string list;
        for (const auto& e : choices.entries) list += (list.empty() ? "" : ", ") + e;
        err << "--previous-fs '" << o.previousFs << "' is not offered for a '" << fs << "' partition"
            << (list.empty() ? std::string(" (none is)") : "; choose one of: " + list) << "\n";
        return kExitUsage;
      }
      s.engineFsName = o.previousFs;
    } else if (choices.selected >= 0) {
      s.engineFsName = choices.entries[static_cast<size_t>(choices.selected)];
    }
    ctx.options.previousFsName = s.engineFsName;
  } else if (!o.previousFs.empty()) {
    err << "--previous-fs applies to --mode formatted only\n";
    return kExitUsage;
  }

  s.engine = createEngine(s.engineFsName, s.mode);
  if (!s.engine) {
    err << "No engine for file system '" << s.engineFsName << "'\n";
    return kExitFailed;
  }
  s.tree = std::make_unique<ResultTree>();
  s.model = std::make_unique<ResultsModel>(kindOfFs(s.engineFsName, s.mode, s.engine.get()), *s.tree);

  // The scanned source, for the same-partition rule of a later recovery.
  for (const DeviceEntry& d : DeviceTable::instance().devices()) {
    if (d.driveNumber != scannedDrive) continue;
    s.source.devicePath = d.path;
    s.source.isImage = d.isImage;
  }
  s.source.startSector = std::min<uint64_t>(ctx.partitionStart, ctx.options.startSector);
  s.source.endSector = std::max<uint64_t>(ctx.partitionEnd, ctx.options.endSector);
  s.source.driveLetter = ctx.partition.driveLetter;
  return kExitOk;
}

int runScan(ScanCliOptions& o, ScanSession& s, std::ostream& err) {
  ScanResult result;
  std::unique_ptr<ScanSessionFile> sessionFile;
  if (!o.session.empty() || !o.resume.empty() || o.keepSession) {
    ScanSessionTarget target;
    target.mode = s.mode;
    target.fileSystem = s.engineFsName;
    target.engine = s.engine.get();
    target.ctx = &s.ctx;
    target.devicePath = s.source.devicePath;
    for (const DeviceEntry& d : DeviceTable::instance().devices())
      if (d.driveNumber == s.ctx.partition.diskNumber && !d.isImage) target.model = d.modelText;
    if (!ScanSessionFile::supports(target)) {
      err << "--session and --resume do not apply here: the " << s.engineFsName << " engine can not continue a "
          << (s.mode == ScanMode::Deleted ? "deleted-file" : "formatted") << " scan\n";
      return kExitUsage;
    }
    std::string path = o.resume.empty() ? o.session : o.resume;
    if (path.empty()) {  // --keep-session
      std::filesystem::path out(o.outputFolder);
      while (!out.empty() && !out.has_filename()) out = out.parent_path();
      path = out.empty() ? ScanSessionFile::defaultPath(target) : out.string() + ".brenix-session";
      if (path.empty()) {
        err << "No folder for the session file: set XDG_DATA_HOME or HOME, or give --session FILE\n";
        return kExitUsage;
      }
      std::error_code ec;
      std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    }
    ScanSessionFile::Problem problem = ScanSessionFile::Problem::None;
    std::string message;
    sessionFile = ScanSessionFile::open(target, path, !o.resume.empty(), &problem, &message);
    if (!sessionFile) {
      err << message << "\n";
      return kExitFailed;
    }
  }
  const bool cancelled = runWithProgress(
      [&](RunningFlag& running) { result = runScanJob(*s.engine, s.mode, s.ctx, *s.tree, running); },
      s.ctx.progress, progressWanted(o.progress), err);
  if (sessionFile) {
    const bool stopped = cancelled || result.error != 0;
    std::string message, where;
    const bool taken = sessionFile->finish(stopped, &message, &where);
    if (!message.empty()) err << message << "\n";
    if (!taken) return kExitFailed;
    if (stopped && message.empty() && !where.empty())
      err << "Scan session saved in '" << sessionFile->path() << "' at " << where << "; continue it with --resume "
          << sessionFile->path() << "\n";
  }
  if (cancelled) {
    err << "Cancelled\n";
    return cancelledExitStatus();
  }
  if (result.error != 0) {
    err << (result.message.empty() ? "The scan failed (error " + std::to_string(result.error) + ")" : result.message)
        << "\n";
    return kExitFailed;
  }
  if (!result.message.empty()) err << "Notice: " << result.message << "\n";  // the engine's note on a finished scan
  s.model->syncFolderChecks();
  return kExitOk;
}

ResultFolder* findFolderByPath(ResultTree& tree, const std::string& path) {
  ResultFolder* f = &tree.root();
  std::string part;
  std::string p = path;
  std::replace(p.begin(), p.end(), '\\', '/');
  for (const std::string& name : splitOn(p, '/')) {
    if (name.empty()) continue;
    f = tree.findChild(*f, name);
    if (!f) return nullptr;
  }
  return f;
}

}  // namespace brenix::cli
