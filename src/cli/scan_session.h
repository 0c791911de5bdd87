#pragma once
// What `brenix scan` and `brenix recover` share: the scan options, choosing
// the partition and the engine, running the scan, the result filter, and
// printing the found tree.
#include <CLI/CLI.hpp>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/drive_selection.h"
#include "results/recovery_context.h"
#include "results/recovery_output.h"
#include "results/result_filter.h"
#include "results/results_model.h"
#include "results/scan_engine.h"

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

// One scan from option parsing to the filled tree.
struct ScanSession {
  RecoveryContext ctx;
  ScanMode mode = ScanMode::Deleted;
  std::string engineFsName;  // the file-system name the engine was chosen by
  std::unique_ptr<ScanEngine> engine;
  std::unique_ptr<ResultTree> tree;
  std::unique_ptr<ResultsModel> model;
  ResultFilter filter;
  ScannedSource source;
};

// Validates the options, attaches the drives, chooses the partition and the
// engine. Returns kExitOk or the exit status after printing the error on err.
int openSession(ScanCliOptions& o, ScanSession& s, std::ostream& err);

// Runs the scan job with the progress line and Ctrl-C; kExitOk, kExitCancelled or kExitFailed.
int runScan(ScanCliOptions& o, ScanSession& s, std::ostream& err);

// Prints the tree with the page's cell formats, or JSON, or CSV. False when a
// stop signal came meanwhile (the listing is cut short).
bool printResults(const ScanCliOptions& o, ScanSession& s, std::ostream& out);

// The folder at a path below the root ("DCIM/100CANON", '\\' also separates), or null.
ResultFolder* findFolderByPath(ResultTree& tree, const std::string& path);

}  // namespace brenix::cli
