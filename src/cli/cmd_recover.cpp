// brenix recover: scan a partition, select files and write them under an
// output folder with the results pages' layout, overwrite rule and report.
#include <unistd.h>

#include <iostream>
#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "common/file_io.h"
#include "cli/photo_recovery.h"
#include "cli/progress_line.h"
#include "cli/scan_session.h"
#include "common/text.h"
#include "disk/read_errors.h"
#include "jobs/scan_jobs.h"
#include "results/cell_formats.h"

namespace brenix::cli {

namespace {

struct RecoverCliOptions {
  ScanCliOptions scan;
  bool all = false;
  std::vector<std::string> globs;
  std::string folder;
  std::string out;
  std::string overwrite = "ask";
  bool allowUnknownTarget = false;
  bool keepPartial = false;
  PhotoCliOptions photo;
};

bool nameMatches(const std::vector<std::string>& globs, const std::string& name) {
  for (const std::string& g : globs)
    if (globMatchCaseFold(g, name)) return true;
  return false;
}

// Checks the files the options choose: those of the scope that pass the
// filter and match a pattern (or all of them). Returns the number checked.
size_t selectFiles(const RecoverCliOptions& o, ScanSession& s, ResultFolder& scope) {
  ResultsModel& model = *s.model;
  ResultTree& tree = *s.tree;
  for (FoundItem& item : tree.items()) item.checked = false;
  size_t count = 0;
  const auto take = [&](size_t index) {
    FoundItem& item = tree.item(index);
    if (!passesFilter(model.kind(), item, s.filter)) return;
    if (!o.all && !o.globs.empty() && !nameMatches(o.globs, item.name)) return;
    item.checked = true;
    ++count;
  };
  if (model.kind() == EngineKind::Ext) {
    // The EXT page recovers the checked rows of its list: the listed folder's files.
    model.selectFolder(scope);
    model.applyFilter(s.filter);
    for (size_t index : model.rows()) take(index);
  } else {
    forEachFolder(scope, [&](ResultFolder& f) {
      for (size_t index : f.items) take(index);
    });
  }
  model.syncFolderChecks();
  return count;
}

std::unique_ptr<OverwritePrompt> makePrompt(const std::string& mode) {
  if (mode == "all") return std::make_unique<FixedOverwritePrompt>(OverwriteAnswer::YesToAll);
  if (mode == "never") return std::make_unique<FixedOverwritePrompt>(OverwriteAnswer::No);
  if (::isatty(STDIN_FILENO) == 1 && ::isatty(STDERR_FILENO) == 1)
    return std::make_unique<TerminalOverwritePrompt>(STDIN_FILENO, std::cerr);
  return std::make_unique<KeepExistingPrompt>(std::cerr);
}

int runRecoverCommand(RecoverCliOptions& o) {
  if (o.out.empty()) {
    std::cerr << "Choose the output folder with --out DIR\n";
    return kExitUsage;
  }
  if (!o.all && o.globs.empty() && o.folder.empty()) {
    std::cerr << "Choose files with --all, --select GLOB or --folder PATH\n";
    return kExitUsage;
  }
  ScanSession session;
  int status = openSession(o.scan, session, std::cerr);
  if (status != kExitOk) return status;

  // The output folder is settled before anything is scanned.
  const std::string refusal = prepareDestination(session.source, pathFromUtf8(o.out), o.allowUnknownTarget);
  if (!refusal.empty()) {
    std::cerr << refusal << "\n";
    if (refusal.rfind(kUnknownTargetMessage, 0) == 0)
      std::cerr << "(If you know that folder is on another disk, give --allow-unknown-target to write there.)\n";
    return kExitFailed;
  }

  InterruptGuard interrupts;
  preparePhotoScan(o.photo, session);
  o.scan.outputFolder = o.out;
  status = runScan(o.scan, session, std::cerr);
  if (status != kExitOk) return status;

  ResultFolder* scope = &session.tree->root();
  if (!o.folder.empty()) {
    scope = findFolderByPath(*session.tree, o.folder);
    if (!scope) {
      std::cerr << "No folder '" << o.folder << "' in the scan result\n";
      return kExitFailed;
    }
  }
  RecoveryPlan plan;
  if (session.model->kind() == EngineKind::Ext && o.folder.empty()) {
    // The EXT page recovers the list of one folder at a time; named files sit
    // in their own folders and the rest in "Lost files": take every folder's list.
    std::vector<RecoveryStep> steps;
    forEachFolder(*scope, [&](ResultFolder& f) {
      if (f.items.empty()) return;
      selectFiles(o, session, f);
      RecoveryPlan part = planRecovery(*session.model);
      if (part.ok) steps.insert(steps.end(), part.steps.begin(), part.steps.end());
      else if (plan.message.empty()) plan.message = part.message;
    });
    for (const RecoveryStep& st : steps)
      if (st.hasItem) session.tree->item(st.item).checked = true;
    plan.ok = countFiles(steps) != 0;
    plan.steps = std::move(steps);
  } else {
    selectFiles(o, session, *scope);
    plan = planRecovery(*session.model);
  }
  if (!plan.ok) {
    std::cerr << (plan.message.empty() ? std::string("No files selected") : plan.message) << "\n";
    return kExitFailed;
  }

  PhotoCounts photoCounts;
  {
    std::string error;
    if (!applyPhotoChoices(o.photo, session, plan.steps, &photoCounts, &error)) {
      std::cerr << error << "\n";
      return kExitUsage;
    }
  }

  std::unique_ptr<OverwritePrompt> prompt = makePrompt(o.overwrite);
  RecoveryOutcome outcome;
  const bool cancelled = runWithProgress(
      [&](RunningFlag& running) {
        RecoveryOptions options;
        options.keepPartial = o.keepPartial;
        outcome = runRecoveryJob(*session.engine, *session.tree, plan.steps, pathFromUtf8(o.out), *prompt, session.ctx.progress,
                                 running, options);
      },
      session.ctx.progress, progressWanted(o.scan.progress), std::cerr);

  for (const RecoveryFailure& f : outcome.failures)
    std::cerr << "Failed: " << terminalSafe(f.path.string()) << " (" << f.reason << ")\n";
  for (const RecoveryFailure& f : outcome.markedFiles)
    std::cerr << "Written, not verified: " << terminalSafe(f.path.string()) << " (" << f.reason << ")\n";
  if (!outcome.report.empty()) {
    const std::string caption = session.model->kind() == EngineKind::Raw ? "Error" : "Notice";
    std::cerr << caption << ":\n" << terminalSafe(outcome.report, true);
  }
  // Every sector of the scanned device the scan and the recovery could not read.
  const uint64_t unreadable = ReadErrorLog::instance().count(session.source.devicePath);
  if (o.scan.json) {
    nlohmann::json written = nlohmann::json::array();
    for (const auto& p : outcome.writtenPaths) written.push_back(p.string());
    nlohmann::json failed = nlohmann::json::array();
    nlohmann::json marked = nlohmann::json::array();
    for (const auto& f : outcome.markedFiles) {
      marked.push_back({{"name", f.name}, {"path", f.path.string()}, {"condition", f.reason}});
      if (f.unreadableSectors == 0) continue;
      marked.back()["unreadableSectors"] = f.unreadableSectors;
      marked.back()["zeros"] = nlohmann::json::array();
      for (const auto& [at, length] : f.zeroRanges) marked.back()["zeros"].push_back({{"offset", at}, {"length", length}});
    }
    for (const auto& f : outcome.failures) failed.push_back({{"name", f.name}, {"path", f.path.string()}, {"reason", f.reason}});
    std::cout << nlohmann::json{{"written", outcome.written},
                                {"skipped", outcome.skipped},
                                {"failed", outcome.failed},
                                {"marked", marked},
                                {"cancelled", outcome.cancelled || cancelled},
                                {"files", written},
                                {"failures", failed},
                                {"report", outcome.report},
                                {"photos", photoCountsJson(photoCounts)},
                                {"unreadableSectors", unreadable}}
                     .dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
              << "\n";
  } else {
    std::cout << "Recovered " << outcome.written << " of " << countFiles(plan.steps) << " files to " << o.out
              << " (skipped " << outcome.skipped << ", failed " << outcome.failed;
    if (outcome.marked > 0) std::cout << ", written but not verified " << outcome.marked;
    std::cout << ")\n";
    if (photoCounts.broken || photoCounts.tooSmall || photoCounts.fewPixels || photoCounts.duplicates)
      std::cout << "Broken pictures " << photoCounts.broken << " (left out " << photoCounts.brokenLeftOut
                << "), too small " << photoCounts.tooSmall << ", below the pixel size " << photoCounts.fewPixels
                << ", duplicates " << photoCounts.duplicates << "\n";
    if (unreadable > 0) std::cout << format(kUnreadableSectorsFormat, static_cast<unsigned long long>(unreadable)) << "\n";
  }
  if (cancelled || outcome.cancelled) {
    std::cerr << "Cancelled; the files written so far are kept\n";
    return cancelledExitStatus();
  }
  if (outcome.failed > 0 || outcome.marked > 0) return kExitFailed;
  return kExitOk;
}

}  // namespace

void addRecoverCommand(CLI::App& app, SetRun setRun) {
  auto opts = std::make_shared<RecoverCliOptions>();
  CLI::App* cmd = app.add_subcommand("recover", "Scan a partition and write the chosen files to a folder");
  addScanOptions(*cmd, opts->scan);
  cmd->add_flag("--all", opts->all, "Recover every file found (that passes the filters)");
  cmd->add_option("--select", opts->globs, "Recover files whose name matches GLOB (repeatable, any case)");
  cmd->add_option("--folder", opts->folder, "Recover only the files in and below this folder of the result");
  cmd->add_option("--out", opts->out, "Output folder (created when missing; not on the scanned partition)");
  cmd->add_option("--overwrite", opts->overwrite, "When a file exists: ask (on a terminal), all or never")
      ->check(CLI::IsMember({"ask", "all", "never"}));
  cmd->add_flag("--keep-partial", opts->keepPartial,
                "Keep what could be read of a file that failed as NAME.partial (it is removed otherwise)");
  cmd->add_flag("--allow-unknown-target", opts->allowUnknownTarget,
                "Write into a folder even when the disk it is stored on cannot be known");
  addPhotoRecoverOptions(*cmd, opts->photo);
  cmd->callback([opts, setRun] { setRun([opts] { return runRecoverCommand(*opts); }); });
}

}  // namespace brenix::cli
