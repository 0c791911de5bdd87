// brenix demo: builds a small disk image with a FAT32 partition holding real
// pictures, some of them deleted, recovers the deleted ones into a folder the
// way a user would (scan, check, recover), and checks every recovered byte.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include "cli/commands.h"
#include "cli/demo_image.h"
#include "common/text.h"
#include "cli/drive_selection.h"
#include "disk/device_table.h"
#include "disk/disk_catalog.h"
#include "disk/disk_texts.h"
#include "jobs/engine_factory.h"
#include "jobs/scan_jobs.h"
#include "results/results_model.h"

namespace brenix::cli {

namespace {

namespace fs = std::filesystem;

struct DemoOptions {
  std::string out = "recovered";
  std::string image;
};

std::vector<uint8_t> readWhole(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

int runDemo(const DemoOptions& o) {
  const fs::path image =
      o.image.empty() ? fs::temp_directory_path() / "brenix-demo.img" : fs::path(o.image);
  std::string error;
  DemoImageInfo info;
  if (!buildDemoImage(image, &info, &error)) {
    std::cerr << error << "\n";
    return 2;
  }
  std::cout << "Demo disk image: " << image.string() << " (" << info.pictures.size() << " pictures in DCIM, "
            << info.deletedCount << " of them deleted)\n";

  DriveSelection sel;
  sel.images = {image.string()};
  sel.imagesOnly = true;
  if (!attachDrives(sel)) return 2;
  DiskCatalog catalog;
  catalog.refresh();
  const int disk = sel.imageDrives.front();
  std::cout << driveTreeDiskLabel(catalog.disk(disk)) << "\n";
  int fatIndex = -1;
  for (int index : catalog.volumesOfDisk(disk)) {
    std::cout << "  " << driveTreePartitionLabel(catalog.volume(index), catalog.rootPath(index)) << "\n";
    if (catalog.volume(index).fs() == "FAT32") fatIndex = index;
  }
  if (fatIndex < 0) {
    std::cerr << "The demo image holds no FAT32 partition\n";
    return 1;
  }

  // Scan the partition for deleted pictures, as the home page's photo entry does.
  RecoveryContext ctx;
  ctx.selectPartition(catalog.volume(fatIndex), catalog.rootPath(fatIndex));
  ctx.preset = FilePreset::Pictures;
  std::unique_ptr<ScanEngine> engine = createEngine(ctx.partition.fs(), ScanMode::Deleted);
  if (!engine) {
    std::cerr << "No engine for file system '" << ctx.partition.fs() << "'\n";
    return 1;
  }
  ResultTree tree;
  RunningFlag running{true};
  ScanResult scanned = runScanJob(*engine, ScanMode::Deleted, ctx, tree, running);
  if (scanned.error != 0) {
    std::cerr << "Scan failed: " << scanned.message << "\n";
    return 1;
  }
  ResultsModel model(engine->kind(), tree);
  model.selectFolder(tree.root());
  model.setFolderChecked(tree.root(), true);
  std::cout << "Found " << tree.itemCount() << " deleted files; " << model.selectedLineText() << " checked\n";

  RecoveryPlan plan = planRecovery(model);
  if (!plan.ok) {
    std::cerr << plan.message << "\n";
    return 1;
  }
  ScannedSource source;
  source.devicePath = image.string();
  source.isImage = true;
  source.startSector = ctx.partitionStart;
  source.endSector = ctx.partitionEnd;
  const fs::path out = fs::absolute(o.out);
  const std::string refused = prepareDestination(source, out);
  if (!refused.empty()) {
    std::cerr << refused << "\n";
    return 1;
  }
  FixedOverwritePrompt overwrite(OverwriteAnswer::YesToAll);
  RecoveryOutcome outcome =
      runRecoveryJob(*engine, tree, plan.steps, out, overwrite, ctx.progress, running);

  // Check every recovered picture against the original bytes built into the program.
  // Short-name extensions come back upper case, so names are compared without case.
  std::map<std::string, const DemoPicture*> originals;
  for (const DemoPicture& p : info.pictures) originals[toLower(p.name)] = &p;
  int verified = 0;
  for (const fs::path& written : outcome.writtenPaths) {
    auto it = originals.find(toLower(written.filename().string()));
    const bool same = it != originals.end() && readWhole(written) == it->second->bytes;
    std::cout << (same ? "  recovered and verified: " : "  recovered, DIFFERENT from the original: ")
              << fs::relative(written, out).string() << "\n";
    verified += same ? 1 : 0;
  }
  std::cout << "Recovered " << outcome.written << " of " << info.deletedCount << " deleted pictures into "
            << out.string() << "; " << verified << " verified byte for byte.\n";
  return (verified == info.deletedCount && outcome.failed == 0) ? 0 : 1;
}

}  // namespace

void addDemoCommand(CLI::App& app, SetRun setRun) {
  auto opts = std::make_shared<DemoOptions>();
  CLI::App* cmd = app.add_subcommand("demo", "Build the demo disk image and recover its deleted pictures");
  cmd->add_option("--out", opts->out, "Folder for the recovered pictures");
  cmd->add_option("--image", opts->image, "Where to write the demo image");
  cmd->callback([opts, setRun] { setRun([opts] { return runDemo(*opts); }); });
}

}  // namespace brenix::cli
