// brenix demo: builds a small disk image with a FAT32 partition holding real
// pictures, some of them deleted, recovers the deleted ones into a folder the
// way a user would (scan, check, recover), carves the same partition by
// signatures, does the same on an NTFS volume, and checks every recovered byte.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include "cli/commands.h"
#include "cli/demo_image.h"
#include "cli/demo_ntfs.h"
#include "common/file_io.h"
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

struct Tally {
  size_t found = 0;
  int written = 0;
  int failed = 0;
  int verified = 0;
};

// Scans with `engine`, checks everything found, recovers it into `out` the
// way the recovery page does, and compares every written file with the
// picture of the same name (a carved file, which has no name of its own,
// with any of them). False with the message printed when a step fails.
bool recoverAndVerify(ScanEngine& engine, ScanMode mode, RecoveryContext& ctx, const ScannedSource& source,
                      const fs::path& out, const std::vector<DemoPicture>& pictures, Tally& tally) {
  ResultTree tree;
  RunningFlag running{true};
  ScanResult scanned = runScanJob(engine, mode, ctx, tree, running);
  if (scanned.error != 0) {
    std::cerr << "Scan failed: " << scanned.message << "\n";
    return false;
  }
  ResultsModel model(engine.kind(), tree);
  model.selectFolder(tree.root());
  model.setFolderChecked(tree.root(), true);
  tally.found = tree.itemCount();
  std::cout << "  found " << tree.itemCount() << " files; " << model.selectedLineText() << " checked\n";
  RecoveryPlan plan = planRecovery(model);
  if (!plan.ok) {
    std::cerr << plan.message << "\n";
    return false;
  }
  const std::string refused = prepareDestination(source, out);
  if (!refused.empty()) {
    std::cerr << refused << "\n";
    return false;
  }
  FixedOverwritePrompt overwrite(OverwriteAnswer::YesToAll);
  RecoveryOutcome outcome = runRecoveryJob(engine, tree, plan.steps, out, overwrite, ctx.progress, running);
  tally.written = outcome.written;
  tally.failed = outcome.failed;
  // Short-name extensions come back upper case, so names are compared without case.
  std::map<std::string, const DemoPicture*> byName;
  for (const DemoPicture& p : pictures) byName[toLower(p.name)] = &p;
  for (const fs::path& written : outcome.writtenPaths) {
    const std::vector<uint8_t> bytes = readWhole(written);
    auto it = byName.find(toLower(written.filename().string()));
    bool same = it != byName.end() && bytes == it->second->bytes;
    const DemoPicture* match = same ? it->second : nullptr;
    if (!same && mode == ScanMode::Raw) {
      for (const DemoPicture& p : pictures)
        if (bytes == p.bytes) match = &p;
      same = match != nullptr;
    }
    std::cout << (same ? "  recovered and verified: " : "  recovered, DIFFERENT from the original: ")
              << fs::relative(written, out).string();
    if (same && match && mode == ScanMode::Raw) std::cout << " (= " << match->name << ")";
    std::cout << "\n";
    tally.verified += same ? 1 : 0;
  }
  return true;
}

ScannedSource sourceOf(const std::string& image, const RecoveryContext& ctx) {
  ScannedSource source;
  source.devicePath = image;
  source.isImage = true;
  source.startSector = ctx.partitionStart;
  source.endSector = ctx.partitionEnd;
  return source;
}

// The NTFS part: a volume made by mkntfs, filled by ntfscp, some pictures
// deleted; 0 done and verified, 1 a failure, -1 skipped (tools missing).
int ntfsDemo(const fs::path& image, const std::vector<DemoPicture>& pictures, const fs::path& out) {
  std::string message;
  switch (buildNtfsDemoImage(image, pictures, &message)) {
    case NtfsDemoStatus::Built: break;
    case NtfsDemoStatus::ToolsMissing:
      std::cout << "\nNTFS part skipped: " << message << "\n";
      return -1;
    case NtfsDemoStatus::Failed:
      std::cerr << message << "\n";
      return 1;
  }
  const int deleted = static_cast<int>(std::count_if(pictures.begin(), pictures.end(), [](const DemoPicture& p) { return p.deleted; }));
  std::cout << "\nDeleted-file scan of an NTFS volume image: " << image.string() << " (" << pictures.size() << " pictures, " << deleted
            << " of them deleted)\n";
  DriveSelection sel;
  sel.images = {image.string()};
  sel.imagesOnly = true;
  if (!attachDrives(sel)) return 1;
  DiskCatalog catalog;
  catalog.refresh();
  int ntfsIndex = -1;
  for (int index : catalog.volumesOfDisk(sel.imageDrives.front())) {
    std::cout << "  " << driveTreePartitionLabel(catalog.volume(index), catalog.rootPath(index)) << "\n";
    if (catalog.volume(index).fs() == "NTFS") ntfsIndex = index;
  }
  if (ntfsIndex < 0) {
    std::cerr << "The NTFS demo image was not recognised\n";
    return 1;
  }
  RecoveryContext ctx;
  ctx.selectPartition(catalog.volume(ntfsIndex), catalog.rootPath(ntfsIndex));
  // Every kind of file: the pictures preset compares extensions with their
  // case on NTFS, and a camera's "IMG_0004.JPG" would not pass it.
  ctx.preset = FilePreset::None;
  std::unique_ptr<ScanEngine> engine = createEngine(ctx.partition.fs(), ScanMode::Deleted);
  Tally tally;
  if (!engine || !recoverAndVerify(*engine, ScanMode::Deleted, ctx, sourceOf(image.string(), ctx), out, pictures, tally))
    return 1;
  std::cout << "NTFS: recovered " << tally.written << " of " << deleted << " deleted pictures into " << out.string()
            << "; " << tally.verified << " verified byte for byte.\n";
  return tally.verified == deleted && tally.failed == 0 ? 0 : 1;
}

int runDemo(const DemoOptions& o) {
  // Without a name, the images go into a fresh private folder: a fixed name in
  // the shared temporary folder could be a link someone planted there.
  fs::path image = o.image;
  if (image.empty()) {
    int code = 0;
    const fs::path folder = makePrivateTempFolder("brenix-demo-", &code);
    if (folder.empty()) {
      std::cerr << "Can not make a folder for the demo images: " << std::strerror(code) << "\n";
      return 2;
    }
    image = folder / "brenix-demo.img";
  }
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
  const fs::path out = fs::absolute(o.out);
  int status = 0;

  // 1. Deleted pictures on the FAT32 card, as the home page's photo entry finds them.
  {
    std::cout << "\nDeleted-file scan of the FAT32 partition:\n";
    RecoveryContext ctx;
    ctx.selectPartition(catalog.volume(fatIndex), catalog.rootPath(fatIndex));
    ctx.preset = FilePreset::Pictures;
    std::unique_ptr<ScanEngine> engine = createEngine(ctx.partition.fs(), ScanMode::Deleted);
    Tally tally;
    if (!engine || !recoverAndVerify(*engine, ScanMode::Deleted, ctx, sourceOf(image.string(), ctx), out / "fat32",
                                     info.pictures, tally))
      return 1;
    std::cout << "Recovered " << tally.written << " of " << info.deletedCount << " deleted pictures into "
              << (out / "fat32").string() << "; " << tally.verified << " verified byte for byte.\n";
    if (tally.verified != info.deletedCount || tally.failed != 0) status = 1;
  }

  // 2. The same partition carved by signatures, as if its file system were
  // gone: every picture on it, deleted or not, comes back.
  {
    std::cout << "\nRaw signature scan of the FAT32 partition:\n";
    RecoveryContext ctx;
    ctx.selectPartition(catalog.volume(fatIndex), catalog.rootPath(fatIndex));
    ctx.preset = FilePreset::Pictures;
    std::unique_ptr<ScanEngine> engine = createEngine("RAW", ScanMode::Raw);
    Tally tally;
    if (!engine || !recoverAndVerify(*engine, ScanMode::Raw, ctx, sourceOf(image.string(), ctx), out / "raw",
                                     info.pictures, tally))
      return 1;
    std::cout << "Raw scan: carved " << tally.written << " of " << info.pictures.size() << " pictures into "
              << (out / "raw").string() << "; " << tally.verified << " verified byte for byte.\n";
    if (tally.verified != static_cast<int>(info.pictures.size()) || tally.failed != 0) status = 1;
  }

  // 3. Deleted pictures on an NTFS volume.
  fs::path ntfsImage = image;
  ntfsImage.replace_filename(image.stem().string() + "-ntfs" + image.extension().string());
  if (ntfsDemo(ntfsImage, info.pictures, out / "ntfs") == 1) status = 1;
  return status;
}

}  // namespace

void addDemoCommand(CLI::App& app, SetRun setRun) {
  auto opts = std::make_shared<DemoOptions>();
  CLI::App* cmd = app.add_subcommand("demo", "Build the demo disk image and recover its deleted pictures");
  cmd->add_option("--out", opts->out, "Folder for the recovered pictures");
  cmd->add_option("--image", opts->image,
                  "Where to write the demo image (the NTFS one goes beside it, named ...-ntfs); default: a new "
                  "private folder in the temporary folder");
  cmd->callback([opts, setRun] { setRun([opts] { return runDemo(*opts); }); });
}

}  // namespace brenix::cli
