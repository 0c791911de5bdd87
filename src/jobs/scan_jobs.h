#pragma once
// The scan and recovery jobs both front ends run on a JobRunner: titles,
// progress set-up, the checks made before a recovery starts, and the calls
// into the engine and the recovery output.
#include <filesystem>
#include <string>
#include <vector>

#include "results/recovery_context.h"
#include "results/recovery_output.h"
#include "results/results_model.h"
#include "results/scan_engine.h"

namespace brenix {

// "Scanning Deleted Files ...", "Scanning Formated Drive ...", "Scanning Raw Files ...".
const char* scanTitle(ScanMode mode);
inline constexpr const char* kRecoveryTitle = "Recovering Deleted Files ...";

// The scan job: sets the title, resets the progress and runs the engine's scan.
ScanResult runScanJob(ScanEngine& engine, ScanMode mode, RecoveryContext& ctx, ResultTree& tree,
                      const RunningFlag& running);

// Checks made when Recovery is pressed, before any folder is written.
struct RecoveryPlan {
  bool ok = false;
  std::string message;  // why not (may be empty: the EXT page says nothing when nothing is checked)
  std::string caption;
  std::vector<RecoveryStep> steps;
};

// The checked files of the model (for EXT: the checked rows of its list); a
// message when nothing is checked.
RecoveryPlan planRecovery(const ResultsModel& model);

// The destination rules: refused on the scanned partition, and refused when
// the disk it is stored on cannot be known unless allowUnknownTarget; created
// when missing. Returns an empty string when the folder is ready, else the message.
std::string prepareDestination(const ScannedSource& source, const std::filesystem::path& destination,
                               bool allowUnknownTarget = false);
// The start of the message for a folder whose disk cannot be known.
inline constexpr const char* kUnknownTargetMessage = "Cannot tell which disk the folder '";

// The recovery job: sets the title and writes the planned files.
RecoveryOutcome runRecoveryJob(ScanEngine& engine, const ResultTree& tree, const std::vector<RecoveryStep>& steps,
                               const std::filesystem::path& destination, OverwritePrompt& prompt, Progress& progress,
                               RunningFlag& running, const RecoveryOptions& options = {});

}  // namespace brenix
