#pragma once
// The options `brenix scan` and `brenix recover` share (their filter values
// are read by results/filter_options.h).
#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/drive_selection.h"
#include "results/recovery_context.h"

namespace brenix::cli {

// Exit statuses of scan and recover.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;     // a file failed, nothing to do, refused folder, scan error
inline constexpr int kExitUsage = 2;      // bad option values
inline constexpr int kExitCancelled = 130;

struct ScanCliOptions {
  DriveSelection drives;
  std::string mode = "deleted";
  std::string preset = "none";
  std::string name;
  std::string path;
  uint64_t start = 0;
  uint64_t end = 0;
  bool startGiven = false;
  bool endGiven = false;
  CLI::Option* startOption = nullptr;  // set by addScanOptions; tell whether --start/--end were given
  CLI::Option* endOption = nullptr;
  std::string previousFs;
  uint32_t maxSizeKb = kDefaultRawMaxSizeKb;
  std::string types;
  bool wholeDisk = false;  // raw scan of every sector of the disk or image
  std::string session;     // raw scan: keep a session file to continue from
  std::string resume;      // raw scan: continue the scan of this session file
  bool noTrim = false;
  bool noCarve = false;
  bool json = false;
  bool csv = false;
  bool progress = false;
  int filterExt = 0;
  std::string filterDate;
  std::string filterSize;
  std::string filterName;
};

void addScanOptions(CLI::App& cmd, ScanCliOptions& o);

// `text` cut at every `sep` (empty parts kept).
std::vector<std::string> splitOn(const std::string& text, char sep);

}  // namespace brenix::cli
