// brenix mail repair: repaired copies of Outlook Express (.dbx) and Outlook
// (.pst) store files, written into an output folder with the repair report on
// stdout. The source files are only read.
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/progress_line.h"
#include "common/text.h"
#include "mail/repair_job.h"
#include "results/progress.h"
#include "results/recovery_output.h"

namespace brenix::cli {

namespace {

struct MailRepairOptions {
  std::string kind;
  std::vector<std::string> files;
  std::string out;
  std::string overwrite = "ask";
  bool progress = false;
};

// --overwrite ask asks on the terminal; without one, existing copies are kept
// (and named on stderr), as the recover command does.
std::unique_ptr<OverwritePrompt> makePrompt(const std::string& mode) {
  if (mode == "all") return std::make_unique<FixedOverwritePrompt>(OverwriteAnswer::YesToAll);
  if (mode == "never") return std::make_unique<FixedOverwritePrompt>(OverwriteAnswer::No);
  if (::isatty(STDIN_FILENO) == 1 && ::isatty(STDERR_FILENO) == 1)
    return std::make_unique<TerminalOverwritePrompt>(std::cin, std::cerr);
  return std::make_unique<KeepExistingPrompt>(std::cerr);
}

int runMailRepair(const MailRepairOptions& o) {
  const auto kind = mail::storeKindFromName(o.kind);
  if (!kind) {
    std::cerr << "Unknown store kind '" << o.kind << "' (use dbx or pst)\n";
    return 2;
  }
  mail::RepairJob job;
  job.kind = *kind;
  job.sources = o.files;
  job.outputFolder = o.out;
  std::error_code ec;
  if (!std::filesystem::is_directory(o.out, ec))
    std::cerr << "Output folder '" << o.out << "' is not a folder; its files cannot be written\n";

  std::unique_ptr<OverwritePrompt> prompt = makePrompt(o.overwrite);
  Progress progress;
  progress.setTitle("Repairing Mail Files ...");
  mail::RepairSummary summary;
  InterruptGuard interrupts;
  // Ctrl-C clears the job's running flag: the copy in hand is abandoned
  // without leaving a file, and the job ends.
  const bool interrupted = runWithProgress(
      [&](RunningFlag& running) {
        summary = mail::runRepairJob(job, progress, running, *prompt, [](const std::string& block) {
          std::lock_guard lock(terminalMutex());
          std::cout << block << std::flush;
        });
      },
      progress, progressWanted(o.progress), std::cerr);
  if (interrupted) summary.cancelled = true;
  std::cerr << format("%d of %d files: %d repaired, %d unsupported, %d failed, %d skipped%s\n", progress.done(),
                      progress.total(), summary.repaired, summary.unsupported, summary.failed, summary.skipped,
                      summary.cancelled ? " (cancelled)" : "");
  return (summary.cancelled || summary.failed > 0 || summary.unsupported > 0) ? 1 : 0;
}

}  // namespace

void addMailCommand(CLI::App& app, SetRun setRun) {
  auto opts = std::make_shared<MailRepairOptions>();
  CLI::App* mailCmd = app.add_subcommand("mail", "Mail store repair");
  mailCmd->require_subcommand(1);
  CLI::App* cmd = mailCmd->add_subcommand(
      "repair", "Write repaired copies of Outlook Express (.dbx) or Outlook (.pst) files into a folder");
  cmd->add_option("--kind", opts->kind, "Store kind: dbx (Outlook Express) or pst (Outlook)")
      ->required()
      ->check(CLI::IsMember({"dbx", "pst"}, CLI::ignore_case));
  cmd->add_option("--out", opts->out, "Output folder for the repaired copies")->required();
  cmd->add_option("--overwrite", opts->overwrite, "When a copy already exists: ask, all (overwrite) or never")
      ->check(CLI::IsMember({"ask", "all", "never"}));
  cmd->add_flag("--progress", opts->progress, "Show the progress line on stderr even when it is not a terminal");
  cmd->add_option("files", opts->files, "Store files to repair (only read)")->required();
  cmd->callback([opts, setRun] { setRun([opts] { return runMailRepair(*opts); }); });
}

}  // namespace brenix::cli
