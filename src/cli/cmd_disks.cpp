// brenix disks: the drive tree of the drive page, as text or JSON.
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/drive_selection.h"
#include "disk/device_table.h"
#include "disk/disk_catalog.h"
#include "disk/disk_texts.h"

namespace brenix::cli {

namespace {

struct DisksOptions {
  DriveSelection drives;
  std::string mode = "raw";
  bool json = false;
  bool properties = false;
};

DriveMode parseMode(const std::string& m) {
  if (m == "deleted") return DriveMode::Deleted;
  if (m == "formatted") return DriveMode::Formatted;
  if (m == "rescue") return DriveMode::Rescue;
  return DriveMode::Raw;
}

nlohmann::json partitionJson(const PartitionInfo& p, const std::string& root, int number, bool listed) {
  return {
      {"number", number},
      {"diskNumber", p.diskNumber},
      {"driveLetter", std::string(1, p.driveLetter)},
      {"mountPoint", root},
      {"slotKind", p.slotKind},
      {"slotSector", p.slotPosition()},
      {"extendedBase", p.extendedBase},
      {"fsName", p.fs()},
      {"volumeLabel", p.label()},
      {"volumeStart", p.startSector()},
      {"endSector", p.endSector() - 1},
      {"sectorsPerCluster", p.sectorsPerCluster},
      {"bytesPerSector", p.bytesPerSector},
      {"freeBytes", p.freeBytes},
      {"totalBytes", p.totalBytes},
      {"partitionType", p.partitionType},
      {"label", driveTreePartitionLabel(p, root)},
      {"listed", listed},
  };
}

int runDisks(DisksOptions& o) {
  if (!attachDrives(o.drives)) return 2;
  if (DeviceTable::instance().includeSystemDisks()) {
    const std::string denied = checkAccess();
    if (!denied.empty()) std::cerr << denied << "\n";
  }
  const DriveMode mode = parseMode(o.mode);
  DiskCatalog catalog;
  catalog.refresh();

  nlohmann::json disks = nlohmann::json::array();
  if (!o.json) std::cout << "My Computer\n";
  for (int d = 0; d < catalog.diskCount(); ++d) {
    const PhysicalDisk& disk = catalog.disk(d);
    const int driveNumber = static_cast<int>(disk.driveNumber);
    std::vector<int> parts = catalog.volumesOfDisk(driveNumber);
    int listed = 0;
    for (int index : parts) listed += listedInMode(catalog.volume(index).fs(), mode) ? 1 : 0;

    nlohmann::json dj = {{"driveNumber", driveNumber},
                         {"model", disk.model()},
                         {"sizeBytes", disk.sizeBytes},
                         {"removable", disk.removable},
                         {"busType", disk.busType},
                         {"busTypeName", busTypeName(disk.busType)},
                         {"label", driveTreeDiskLabel(disk)},
                         {"lastExtendedRecord", catalog.lastExtendedRecord(driveNumber)},
                         {"tableKind", tableKindName(catalog.tableInfo(driveNumber).tableKind)},
                         {"gptCopy", catalog.tableInfo(driveNumber).gptCopy},
                         {"logicalSectorSize", catalog.tableInfo(driveNumber).logicalSectorSize},
                         {"tableProblems", catalog.tableInfo(driveNumber).problems},
                         {"partitions", nlohmann::json::array()}};
    if (!o.json) {
      std::cout << "  [disk " << driveNumber << "] " << driveTreeDiskLabel(disk) << "\n";
      if (o.properties)
        for (const std::string& line : diskPropertiesTexts(disk, listed)) std::cout << "        " << line << "\n";
      const DiscoveryState& table = catalog.tableInfo(driveNumber);
      if (table.tableKind == TableKind::Gpt)
        std::cout << "        GUID partition table (" << table.gptCopy << " copy, " << table.logicalSectorSize
                  << "-byte sectors)\n";
      for (const std::string& problem : table.problems) std::cout << "        ! " << problem << "\n";
    }
    for (size_t k = 0; k < parts.size(); ++k) {
      const PartitionInfo& p = catalog.volume(parts[k]);
      const std::string& root = catalog.rootPath(parts[k]);
      const bool shown = listedInMode(p.fs(), mode);
      const std::string name = catalog.partitionName(driveNumber, p.startSector());
      dj["partitions"].push_back(partitionJson(p, root, static_cast<int>(k), shown));
      dj["partitions"].back()["name"] = p.fs() == "Deleted" ? std::string() : name;
      if (o.json || !shown) continue;
      std::cout << "    " << k << "  " << driveTreePartitionLabel(p, root);
      if (!name.empty() && p.fs() != "Deleted") std::cout << "  \"" << name << "\"";
      std::cout << "\n";
      if (o.properties)
        for (const std::string& line : partitionPropertiesTexts(p)) std::cout << "          " << line << "\n";
    }
    disks.push_back(std::move(dj));
  }
  if (o.json) std::cout << nlohmann::json{{"disks", disks}}.dump(2) << "\n";
  return 0;
}

}  // namespace

void addDisksCommand(CLI::App& app, SetRun setRun) {
  auto opts = std::make_shared<DisksOptions>();
  CLI::App* cmd = app.add_subcommand("disks", "List disks, partitions and unallocated regions");
  addDriveOptions(*cmd, opts->drives, false);
  cmd->add_option("--mode", opts->mode, "Filter as the drive page does: deleted, formatted, raw or rescue")
      ->check(CLI::IsMember({"deleted", "formatted", "raw", "rescue"}));
  cmd->add_flag("--json", opts->json, "Print JSON");
  cmd->add_flag("--properties", opts->properties, "Print the properties panel texts");
  cmd->callback([opts, setRun] { setRun([opts] { return runDisks(*opts); }); });
}

}  // namespace brenix::cli
