// brenix demo: builds a small disk image with a FAT32 partition holding real
// pictures, some deleted, and shows what the tool makes of it.
#include <filesystem>
#include <iostream>

#include "cli/commands.h"
#include "cli/demo_image.h"
#include "cli/drive_selection.h"
#include "disk/disk_catalog.h"
#include "disk/disk_texts.h"

namespace brenix::cli {

namespace {
struct DemoOptions {
  std::string out = "recovered";
  std::string image;
};

int runDemo(const DemoOptions& o) {
  std::filesystem::path image = o.image.empty() ? std::filesystem::temp_directory_path() / "brenix-demo.img"
                                                : std::filesystem::path(o.image);
  std::string error;
  DemoImageInfo info;
  if (!buildDemoImage(image, &info, &error)) {
    std::cerr << error << "\n";
    return 2;
  }
  std::cout << "Demo disk image: " << image.string() << " (" << info.pictures.size() << " pictures, "
            << info.deletedCount << " deleted)\n";
  DriveSelection sel;
  sel.images = {image.string()};
  sel.imagesOnly = true;
  if (!attachDrives(sel)) return 2;
  DiskCatalog catalog;
  catalog.refresh();
  for (int d = 0; d < catalog.diskCount(); ++d) {
    std::cout << driveTreeDiskLabel(catalog.disk(d)) << "\n";
    std::vector<int> parts = catalog.volumesOfDisk(d);
    for (size_t k = 0; k < parts.size(); ++k)
      std::cout << "  " << k << "  " << driveTreePartitionLabel(catalog.volume(parts[k]), catalog.rootPath(parts[k]))
                << "\n";
  }
  return 0;
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
