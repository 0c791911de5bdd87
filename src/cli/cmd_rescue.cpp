// brenix rescue: partition table backups, the lost-partition search and
// writing a partition back into the table (with an undo file for every write).
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/backup_target.h"
#include "cli/commands.h"
#include "cli/drive_selection.h"
#include "common/clock.h"
#include "common/text.h"
#include "disk/device_table.h"
#include "disk/disk_catalog.h"
#include "disk/disk_texts.h"
#include "rescue/backup_file.h"
#include "rescue/backup_folder.h"
#include "rescue/lost_search.h"
#include "rescue/partition_recovery.h"
#include "rescue/partition_table_writer.h"
#include "rescue/rescue_texts.h"

namespace brenix::cli {

namespace {

namespace fs = std::filesystem;
using namespace brenix::rescue;

struct RescueOptions {
  DriveSelection drives;
  int disk = -1;
  std::string backupDir;
  bool yes = false;
  std::string out;    // backup
  std::string file;   // load, undo
  std::string from;   // recover
  int64_t start = -1;
  int item = -1;
};

fs::path folderOf(const RescueOptions& o) { return o.backupDir.empty() ? backupFolder() : fs::path(o.backupDir); }

// Asks on the terminal; anything but "y"/"yes" (and end of input) is no.
bool ask(std::string_view question, bool yes) {
  std::cout << question << "\n";
  if (yes) return true;
  std::cout << "[y/N] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  answer = toLower(answer);
  return answer == "y" || answer == "yes";
}

// Attaches the images, refreshes the catalog and finds the chosen disk.
const PhysicalDisk* chooseDisk(RescueOptions& o, DiskCatalog& catalog, bool required = true) {
  if (!attachDrives(o.drives)) return nullptr;
  catalog.refresh();
  int drive = o.disk;
  if (drive < 0 && !o.drives.imageDrives.empty()) drive = o.drives.imageDrives.front();
  if (drive < 0) {
    if (required) std::cerr << "Choose a disk with --disk N ('brenix disks' numbers them) or --image PATH\n";
    return nullptr;
  }
  for (int i = 0; i < catalog.diskCount(); ++i)
    if (static_cast<int>(catalog.disk(i).driveNumber) == drive) return &catalog.disk(i);
  std::cerr << "No such disk: " << drive << "\n";
  return nullptr;
}

void printItems(const std::vector<PartitionInfo>& records) {
  for (size_t k = 0; k < records.size(); ++k) {
    PartitionItemTexts t = partitionListItemTexts(records[k], "");
    std::cout << format("%4zu  %-16s  %-24s  %s\n", k, t.name.c_str(), t.start.c_str(), t.end.c_str());
  }
}

int runBackup(RescueOptions& o) {
  DiskCatalog catalog;
  const PhysicalDisk* disk = chooseDisk(o, catalog);
  if (!disk) {
    std::cerr << kBackupFailed << "\n";
    return 2;
  }
  fs::path path = o.out;
  if (path.empty()) path = folderOf(o) / proposedBackupName(*disk, nowSeconds());
  const std::string problem = backupTargetProblem(path, static_cast<int>(disk->driveNumber));
  if (!problem.empty()) {
    std::cerr << problem << "\n";
    return 2;
  }
  if (!ask(kAskBackup, o.yes)) return 1;
  if (o.out.empty()) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
  }
  if (!backupDisk(path.string(), catalog, disk)) {
    std::cerr << kBackupFailed << "\n";
    return 2;
  }
  std::cout << kBackupDone << "\n" << path.string() << "\n";
  return 0;
}

int runBackups(RescueOptions& o) {
  DiskCatalog catalog;
  const PhysicalDisk* disk = chooseDisk(o, catalog);
  if (!disk) return 2;
  for (const BackupRow& row : listBackups(folderOf(o), *disk)) std::cout << row.created << "\t" << row.path << "\n";
  return 0;
}

int runLoad(RescueOptions& o) {
  DiskCatalog catalog;
  const PhysicalDisk* disk = chooseDisk(o, catalog);
  std::vector<PartitionInfo> loaded;
  if (!disk || !loadBackup(o.file, *disk, loaded)) {
    std::cerr << kLoadFailed << "\n";
    return 2;
  }
  printItems(loaded);
  return 0;
}

std::string searchSummary(const SearchReport& r) {
  if (r.regions == 0) return "The disk has no unallocated region to search; nothing found.";
  std::string text = format("Searched %d unallocated region(s), %llu sectors, at %llu places: found %d partition(s).",
                            r.regions, static_cast<unsigned long long>(r.sectors),
                            static_cast<unsigned long long>(r.places), r.found);
  if (r.capped)
    text += format(" The search stopped after %llu places; the rest of the free space was not probed.",
                   static_cast<unsigned long long>(r.places));
  return text;
}

int runSearch(RescueOptions& o) {
  DiskCatalog catalog;
  const PhysicalDisk* disk = chooseDisk(o, catalog);
  std::vector<PartitionInfo> loaded;
  SearchReport report;
  if (!disk || !searchLostPartitions(catalog, disk, loaded, &report)) {
    std::cerr << kLoadFailed << "\n";
    return 2;
  }
  printItems(loaded);
  std::cout << searchSummary(report) << "\n";
  return 0;
}

int runRecover(RescueOptions& o) {
  DiskCatalog catalog;
  const PhysicalDisk* disk = chooseDisk(o, catalog, false);
  std::vector<PartitionInfo> records;
  if (disk) {
    if (o.from == "search") {
      if (!searchLostPartitions(catalog, disk, records)) {
        std::cerr << kLoadFailed << "\n";
        return 2;
      }
    } else if (!loadBackup(o.from, *disk, records)) {
      std::cerr << kLoadFailed << "\n";
      return 2;
    }
  }
  PartitionInfo* chosen = nullptr;
  if (o.item >= 0 && static_cast<size_t>(o.item) < records.size()) chosen = &records[static_cast<size_t>(o.item)];
  if (o.start >= 0) {
    // Prefer a found or backed-up partition over a region starting at the same sector.
    for (PartitionInfo& r : records)
      if (r.startSector() == static_cast<uint64_t>(o.start) && (!chosen || chosen->fs() == "Deleted")) chosen = &r;
  }
  auto confirm = [&o](const RecoveryPlan& plan) {
    std::cout << "Writing " << (plan.gpt ? "a GPT" : plan.logical ? "a logical" : "a primary") << " partition: "
              << plan.record.fs() << " from sector " << plan.record.volumeStart << ", "
              << plan.record.totalBytes / 512 << " sectors\n";
    for (size_t i = 0; i < plan.changes.size(); ++i)
      std::cout << "  sector " << plan.changes[i].sector << " (" << describeChange(plan, i) << ")\n";
    return ask(kAskRecover, o.yes);
  };
  const fs::path folder = folderOf(o);
  RecoveryOutcome result = recoverPartition(catalog, disk, chosen, folder, confirm);
  if (result.cancelled) return 1;
  if (result.code != RecoveryCode::Written) {
    std::cerr << kCaptionError << ": " << recoveryMessage(result.code) << "\n";
    if (!result.detail.empty()) std::cerr << "  (" << result.detail << ")\n";
    if (!result.undoPath.empty())
      std::cerr << "Part of the change was written; put it back with: brenix rescue undo " << result.undoPath.string()
                << "\n";
    return 10 + static_cast<int>(result.code);
  }
  std::cout << (result.reread == Reread::Failed ? kRecoveredRestart : kRecoveredNow) << "\n";
  std::cout << "Undo file: " << result.undoPath.string() << "\n";
  return 0;
}

int runUndo(RescueOptions& o) {
  UndoRecord undo;
  std::string error;
  if (!readUndoFile(o.file, undo, &error)) {
    std::cerr << "Can not use " << o.file << ": " << error << "\n";
    return 2;
  }
  DiskCatalog catalog;
  const PhysicalDisk* disk = chooseDisk(o, catalog, false);
  if (!disk && o.disk < 0 && o.drives.images.empty()) {
    const int drive = catalog.findDiskByModel(undo.disk.model());
    for (int i = 0; i < catalog.diskCount(); ++i)
      if (static_cast<int>(catalog.disk(i).driveNumber) == drive) disk = &catalog.disk(i);
  }
  if (!disk) {
    std::cerr << "The disk of this undo file (" << undo.disk.model() << ") is not attached\n";
    return 2;
  }
  std::cout << "Restoring " << undo.changes.size() << " sector(s) of " << disk->model() << ":";
  for (const SectorChange& c : undo.changes) std::cout << " " << c.sector;
  std::cout << "\n";
  if (!ask(kAskRecover, o.yes)) return 1;
  PartitionTableWriter writer(DeviceTable::instance().pathOf(static_cast<int>(disk->driveNumber)), *disk);
  WriteOutcome result = writer.undo(undo);
  if (!result.ok) {
    std::cerr << kCaptionError << ": " << result.error << "\n";
    return 2;
  }
  std::cout << "The sectors have been restored.\n";
  if (result.reread == Reread::Failed) std::cout << "Restart the computer for the restored table to take effect.\n";
  return 0;
}

CLI::App* addSub(CLI::App& parent, const char* name, const char* help, std::shared_ptr<RescueOptions>& opts) {
  opts = std::make_shared<RescueOptions>();
  CLI::App* cmd = parent.add_subcommand(name, help);
  addDriveOptions(*cmd, opts->drives, false);
  cmd->add_option("--disk", opts->disk, "Drive number N (as 'brenix disks' lists it)");
  cmd->add_option("--backup-dir", opts->backupDir, "Folder for backups and undo files");
  return cmd;
}

}  // namespace

void addRescueCommand(CLI::App& app, SetRun setRun) {
  CLI::App* rescue = app.add_subcommand("rescue", "Back up and restore partition tables, find and recover lost partitions");
  rescue->require_subcommand(1);
  std::shared_ptr<RescueOptions> o;

  CLI::App* backup = addSub(*rescue, "backup", "Save the disk's partition records to a .pbf file", o);
  backup->add_option("--out", o->out, "Backup file (default: a new file in the backup folder)");
  backup->add_flag("--yes,-y", o->yes, "Do not ask");
  backup->callback([o, setRun] { setRun([o] { return runBackup(*o); }); });

  CLI::App* backups = addSub(*rescue, "backups", "List the disk's backup files", o);
  backups->callback([o, setRun] { setRun([o] { return runBackups(*o); }); });

  CLI::App* load = addSub(*rescue, "load", "Show the partitions of a backup file", o);
  load->add_option("file", o->file, "Backup file")->required();
  load->callback([o, setRun] { setRun([o] { return runLoad(*o); }); });

  CLI::App* search = addSub(*rescue, "search", "Look for lost partitions in the disk's unallocated regions", o);
  search->callback([o, setRun] { setRun([o] { return runSearch(*o); }); });

  CLI::App* recover = addSub(*rescue, "recover", "Write a found or backed-up partition back into the table", o);
  recover->add_option("--from", o->from, "'search' or a backup file")->required();
  auto* start = recover->add_option("--start", o->start, "The partition's start sector");
  auto* item = recover->add_option("--item", o->item, "The partition's number in the printed list");
  start->excludes(item);
  recover->add_flag("--yes,-y", o->yes, "Do not ask before writing");
  recover->callback([o, setRun] { setRun([o] { return runRecover(*o); }); });

  CLI::App* undo = addSub(*rescue, "undo", "Put back the sectors a recovery changed", o);
  undo->add_option("file", o->file, "Undo file written by 'rescue recover'")->required();
  undo->add_flag("--yes,-y", o->yes, "Do not ask before writing");
  undo->callback([o, setRun] { setRun([o] { return runUndo(*o); }); });
}

}  // namespace brenix::cli
