#include "jobs/scan_jobs.h"

#include <system_error>

namespace fs = std::filesystem;

namespace brenix {

const char* scanTitle(ScanMode mode) {
  switch (mode) {
    case ScanMode::Deleted: return "Scanning Deleted Files ...";
    case ScanMode::Formatted: return "Scanning Formated Drive ...";
    case ScanMode::Raw: return "Scanning Raw Files ...";
  }
  return "";
}

ScanResult runScanJob(ScanEngine& engine, ScanMode mode, RecoveryContext& ctx, ResultTree& tree,
                      const RunningFlag& running) {
  ctx.progress.setTitle(scanTitle(mode));
  ctx.progress.setStatus({});
  return engine.scan(mode, ctx, tree, running);
}

RecoveryPlan planRecovery(const ResultsModel& model) {
  RecoveryPlan plan;
  const EngineKind kind = model.kind();
  if (kind == EngineKind::Ext)
    plan.steps = gatherRecoverySteps(kind, model.tree(), model.selectedFolder(), &model.rows());
  else if (model.tree().root().checked)  // the root is checked exactly when some file is
    plan.steps = gatherRecoverySteps(kind, model.tree());
  if (countFiles(plan.steps) == 0) {
    plan.steps.clear();
    plan.message = nothingCheckedMessage(kind);
    plan.caption = nothingCheckedCaption(kind);
    return plan;
  }
  plan.ok = true;
  return plan;
}

std::string prepareDestination(const ScannedSource& source, const fs::path& destination, bool allowUnknownTarget) {
  if (destination.empty()) return "No output folder given";
  const TargetCheck check = checkRecoveryTarget(source, destination);
  if (check.verdict == TargetVerdict::OnScannedSource) return kSamePartitionMessage;
  if (check.verdict == TargetVerdict::Unknown && !allowUnknownTarget)
    return std::string(kUnknownTargetMessage) + destination.string() + "' is stored on: " + check.reason +
           ". Recovered files written there could land on the disk being rescued; please select a folder on "
           "another disk.";
  std::error_code ec;
  fs::create_directories(destination, ec);
  if (ec || !fs::is_directory(destination))
    return "Cannot create the output folder '" + destination.string() + "'" + (ec ? ": " + ec.message() : "");
  return {};
}

RecoveryOutcome runRecoveryJob(ScanEngine& engine, const ResultTree& tree, const std::vector<RecoveryStep>& steps,
                               const fs::path& destination, OverwritePrompt& prompt, Progress& progress,
                               RunningFlag& running, const RecoveryOptions& options) {
  progress.setTitle(kRecoveryTitle);
  progress.setStatus({});
  return recoverFiles(engine, tree, steps, destination, prompt, progress, running, options);
}

}  // namespace brenix
