#pragma once
// One scan of `brenix scan` and `brenix recover`: choosing the partition and
// the engine from the options, and running the scan. Printing the found tree
// is in scan_listing.h.
#include <iosfwd>
#include <memory>
#include <string>

#include "cli/scan_options.h"
#include "results/recovery_context.h"
#include "results/recovery_output.h"
#include "results/result_filter.h"
#include "results/results_model.h"
#include "results/scan_engine.h"

namespace brenix::cli {

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

// The folder at a path below the root ("DCIM/100CANON", '\\' also separates), or null.
ResultFolder* findFolderByPath(ResultTree& tree, const std::string& path);

}  // namespace brenix::cli
