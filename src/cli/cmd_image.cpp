// brenix image SOURCE IMAGE: copies a disk, partition or image to an image
// file, large reads first, bad areas split and skipped, with a map in GNU
// ddrescue's format. brenix verify IMAGE: the MD5 of an image's data against
// the one it stores.
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli/image_commands.h"
#include "cli/progress_line.h"
#include "disk/disk_texts.h"
#include "disk/image_backend.h"
#include "disk/sector_reader.h"
#include "imaging/disk_imager.h"

namespace brenix::cli {

namespace {

struct ImageOptions {
  std::string source;
  std::string image;
  std::string map;
  bool resume = false;
  int retries = 0;
  unsigned blockKb = 1024;
  bool progress = false;
};

std::string clockText(double seconds) {
  if (seconds < 0) return "--:--:--";
  const auto s = static_cast<long long>(std::llround(seconds));
  char text[32];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", s / 3600, (s / 60) % 60, s % 60);
  return text;
}

std::string progressText(const ImagingProgress& p) {
  const int percent = p.total ? static_cast<int>(p.rescued * 100 / p.total) : 100;
  std::string phase = p.phase == '?' ? "Copying" : p.phase == '-' ? "Retrying" : p.phase == '+' ? "Finished" : "Splitting";
  return phase + "  Rescued: " + formatSize(p.rescued) + " of " + formatSize(p.total) + " (" +
         std::to_string(percent) + "%)  Rate: " + formatSize(static_cast<uint64_t>(p.rate)) +
         "/s  Bad areas: " + std::to_string(p.badAreas) + " (" + formatSize(p.badBytes) +
         ")  Remaining Time : " + clockText(p.remainingSeconds);
}

std::string commandLineOf(const ImageOptions& o) {
  std::string c = "brenix image " + o.source + " " + o.image + " --map " + o.map;
  if (o.resume) c += " --resume";
  if (o.retries) c += " --retries " + std::to_string(o.retries);
  return c;
}

int runImage(ImageOptions& o) {
  if (o.map.empty()) o.map = o.image + ".map";
  SectorReader reader;
  if (!reader.openPath(o.source, OpenMode::Read)) {
    const std::string& why = lastImageOpenMessage();
    std::cerr << (why.empty() ? "Can not open the source '" + o.source + "': " + std::strerror(reader.lastError()) : why)
              << "\n";
    return 1;
  }
  const uint64_t size = reader.sizeBytes();
  if (size == 0) {
    std::cerr << "The source '" << o.source << "' has no size (not a disk, partition or image)\n";
    return 1;
  }
  RescueMap map(size);
  std::error_code ec;
  if (o.resume) {
    std::string error;
    if (!loadRescueMap(o.map, size, &map, &error)) {
      std::cerr << error << "\n";
      return 1;
    }
  } else if (std::filesystem::exists(o.map, ec)) {
    std::cerr << "The map file '" << o.map << "' already exists; use --resume to continue that copy\n";
    return 1;
  }
  std::string error;
  const int fd = openImageOutput(o.image, o.source, o.resume, &error);
  if (fd < 0) {
    std::cerr << error << "\n";
    return 1;
  }
  const bool show = progressWanted(o.progress);
  const bool tty = ::isatty(STDERR_FILENO) != 0;
  InterruptGuard guard;
  ImagingOptions options;
  options.blockSize = static_cast<size_t>(o.blockKb) * 1024;
  options.retries = o.retries;
  options.mapPath = o.map;
  options.commandLine = commandLineOf(o);
  options.keepGoing = [] { return !InterruptGuard::interrupted(); };
  double lastShown = -10;
  options.progress = [&](const ImagingProgress& p) {
    if (!show) return;
    if (!tty && p.elapsedSeconds - lastShown < 1 && p.phase != '+') return;
    lastShown = p.elapsedSeconds;
    std::cerr << (tty ? "\r" : "") << progressText(p) << (tty ? "\033[K" : "\n") << std::flush;
  };
  SectorReaderSource source(reader);
  ImagingResult result = runImaging(source, fd, map, options);
  ::close(fd);
  if (show && tty) std::cerr << "\n";
  const ImagingProgress& p = result.last;
  std::cout << "Rescued " << p.rescued << " of " << p.total << " bytes (" << formatSize(p.rescued) << " of "
            << formatSize(p.total) << "); bad areas: " << p.badAreas << " (" << p.badBytes << " bytes); read "
            << p.readThisRun << " bytes in this run\n";
  std::cout << "Map: " << o.map << "\n";
  if (result.status == ImagingStatus::Failed) {
    std::cerr << result.error << "\n";
    return 1;
  }
  if (result.status == ImagingStatus::Cancelled) {
    std::cout << "Stopped; continue with --resume\n";
    return 130;
  }
  return 0;
}

struct VerifyOptions {
  std::string image;
  bool json = false;
};

int runVerify(const VerifyOptions& o) {
  const ImageVerifyResult r = verifyImage(o.image);
  if (!r.error.empty() && r.computedMd5.empty()) {
    std::cerr << r.error << "\n";
    return 2;
  }
  const bool matches = !r.storedMd5.empty() && r.storedMd5 == r.computedMd5;
  if (o.json) {
    std::cout << nlohmann::json{{"image", o.image},
                                {"bytes", r.bytesRead},
                                {"unreadableBytes", r.unreadableBytes},
                                {"md5", r.computedMd5},
                                {"storedMd5", r.storedMd5.empty() ? nlohmann::json() : nlohmann::json(r.storedMd5)},
                                {"matches", r.storedMd5.empty() ? nlohmann::json() : nlohmann::json(matches)}}
                     .dump(2)
              << "\n";
  } else {
    std::cout << "Image: " << o.image << " (" << r.bytesRead << " bytes)\n";
    std::cout << "MD5 computed: " << r.computedMd5 << "\n";
    std::cout << "MD5 stored:   " << (r.storedMd5.empty() ? "none" : r.storedMd5) << "\n";
    if (r.unreadableBytes) std::cout << r.unreadableBytes / 512 << " sectors could not be read (zeros in the digest)\n";
    if (r.storedMd5.empty())
      std::cout << "The image stores no MD5: nothing to compare\n";
    else
      std::cout << (matches ? "Verified: the data matches the stored MD5\n" : "MISMATCH: the data does not match the stored MD5\n");
  }
  if (r.unreadableBytes) return 1;
  return r.storedMd5.empty() || matches ? 0 : 1;
}

}  // namespace

void addImageCommand(CLI::App& app, SetRun setRun) {
  auto opts = std::make_shared<ImageOptions>();
  CLI::App* cmd = app.add_subcommand(
      "image", "Copy a disk, partition or image to an image file, skipping bad areas (GNU ddrescue map)");
  cmd->add_option("source", opts->source, "The disk, partition or image to copy (opened read-only)")->required();
  cmd->add_option("image", opts->image, "The image file to write")->required();
  cmd->add_option("--map", opts->map, "The map file (GNU ddrescue format); IMAGE.map by default");
  cmd->add_flag("--resume", opts->resume, "Continue the copy the map describes (never re-reads copied areas)");
  cmd->add_option("--retries", opts->retries, "Passes over the bad sectors at the end")->check(CLI::Range(0, 100));
  cmd->add_option("--block-size", opts->blockKb, "Size of the large reads in KB")->check(CLI::Range(1u, 65536u));
  cmd->add_flag("--progress", opts->progress, "Show the progress line even when stderr is not a terminal");
  cmd->callback([opts, setRun] { setRun([opts] { return runImage(*opts); }); });
}

void addVerifyCommand(CLI::App& app, SetRun setRun) {
  auto opts = std::make_shared<VerifyOptions>();
  CLI::App* cmd = app.add_subcommand("verify", "Read an image whole and check it against the MD5 it stores (EWF)");
  cmd->add_option("image", opts->image, "The image (.E01, split .001 or raw)")->required();
  cmd->add_flag("--json", opts->json, "Print JSON");
  cmd->callback([opts, setRun] { setRun([opts] { return runVerify(*opts); }); });
}

}  // namespace brenix::cli
