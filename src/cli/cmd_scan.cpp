// brenix scan: scan a partition and print what was found, as the results
// pages list it (or as JSON / CSV).
#include <iostream>

#include "cli/commands.h"
#include "cli/progress_line.h"
#include "cli/scan_listing.h"

namespace brenix::cli {

namespace {

int runScanCommand(ScanCliOptions& o) {
  ScanSession session;
  int status = openSession(o, session, std::cerr);
  if (status != kExitOk) return status;
  InterruptGuard interrupts;
  status = runScan(o, session, std::cerr);
  if (status != kExitOk) return status;
  if (!printResults(o, session, std::cout)) {
    std::cout << std::flush;
    std::cerr << "\nCancelled\n";
    return cancelledExitStatus();
  }
  return kExitOk;
}

}  // namespace

void addScanCommand(CLI::App& app, SetRun setRun) {
  auto opts = std::make_shared<ScanCliOptions>();
  CLI::App* cmd = app.add_subcommand("scan", "Scan a partition for deleted files and list them");
  addScanOptions(*cmd, *opts);
  cmd->callback([opts, setRun] { setRun([opts] { return runScanCommand(*opts); }); });
}

}  // namespace brenix::cli
