// brenix mail repair: repaired copies of Outlook Express (.dbx) and Outlook
// (.pst) store files, written into an output folder with the repair report on
// stdout. The source files are only read.
#include <signal.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"
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
};

// Ctrl-C clears the job's running flag; the job stops between copy chunks and
// leaves no partial file behind.
RunningFlag* g_running = nullptr;
void onMailRepairInterrupt(int) {
  if (g_running) g_running->store(false);
}

class InterruptGuard {
 public:
  explicit InterruptGuard(RunningFlag& running) {
    g_running = &running;
    struct sigaction sa {};
    sa.sa_handler = onMailRepairInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: a pending prompt read ends and counts as Cancel
    installed_ = sigaction(SIGINT, &sa, &previous_) == 0;
  }
  ~InterruptGuard() {
    if (installed_) sigaction(SIGINT, &previous_, nullptr);
    g_running = nullptr;
  }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  struct sigaction previous_ {};
  bool installed_ = false;
};

// The overwrite confirmation on the terminal: the dialog's texts on stderr,
// the answer from stdin. End of input or an interrupted read is Cancel.
class TerminalPrompt : public OverwritePrompt {
 public:
  OverwriteAnswer ask(const std::string& destination) override {
    std::cerr << kOverwriteCaption << "\n" << overwriteQuestionText(destination) << "\n";
    for (int tries = 0; tries < 10; ++tries) {
      std::cerr << "[Y]es, Yes to [A]ll, [N]o, [C]ancel: " << std::flush;
      std::string line;
      if (!std::getline(std::cin, line)) {
        std::cerr << "\n";
        return OverwriteAnswer::Cancel;
      }
      const std::string a = toLower(line);
      if (a == "y" || a == "yes") return OverwriteAnswer::Yes;
      if (a == "a" || a == "all" || a == "yes to all") return OverwriteAnswer::YesToAll;
      if (a == "n" || a == "no") return OverwriteAnswer::No;
      if (a == "c" || a == "cancel") return OverwriteAnswer::Cancel;
    }
    return OverwriteAnswer::Cancel;
  }
};

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

  FixedOverwritePrompt overwriteAll(OverwriteAnswer::YesToAll);
  FixedOverwritePrompt overwriteNever(OverwriteAnswer::No);
  TerminalPrompt terminal;
  OverwritePrompt& prompt = o.overwrite == "all" ? static_cast<OverwritePrompt&>(overwriteAll)
                            : o.overwrite == "never" ? static_cast<OverwritePrompt&>(overwriteNever)
                                                     : terminal;

  Progress progress;
  RunningFlag running{true};
  mail::RepairSummary summary;
  {
    InterruptGuard guard(running);
    summary = mail::runRepairJob(job, progress, running, prompt, [](const std::string& block) {
      std::cout << block << std::flush;
    });
  }
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
  cmd->add_option("files", opts->files, "Store files to repair (only read)")->required();
  cmd->callback([opts, setRun] { setRun([opts] { return runMailRepair(*opts); }); });
}

}  // namespace brenix::cli
