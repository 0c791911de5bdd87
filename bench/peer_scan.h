#pragma once
// The side of a peer comparison that is ours: the bench image attached as a
// disk, and a deleted-file scan of it through the engine a user would get.
#include <cstdio>
#include <string>

#include "disk/device_table.h"
#include "jobs/engine_factory.h"
#include "results/result_tree.h"

namespace brenix::bench {

// The image's drive number, or -1 with the reason printed.
inline int attachBenchImage(const std::string& path) {
  DeviceTable::instance().setIncludeSystemDisks(false);
  std::string error;
  const int drive = DeviceTable::instance().attachImage(path, &error);
  if (drive < 0) std::fprintf(stderr, "cannot attach %s: %s\n", path.c_str(), error.c_str());
  return drive;
}

// Scans the whole image for deleted files as `fs`: the number of items found,
// or -1 when this build has no such engine.
inline long deletedScanItems(int drive, const char* fs) {
  ResultTree tree;
  RecoveryContext ctx;
  RunningFlag running{true};
  ctx.partition.diskNumber = drive;
  ctx.partition.driveLetter = '*';
  auto engine = createEngine(fs, ScanMode::Deleted);
  if (!engine) return -1;
  engine->scan(ScanMode::Deleted, ctx, tree, running);
  return static_cast<long>(tree.itemCount());
}

}  // namespace brenix::bench
