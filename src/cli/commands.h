#pragma once
// Each command registers itself on the application; its callback hands the
// work to run to `setRun`, which main calls after parsing.
#include <CLI/CLI.hpp>
#include <functional>

namespace brenix::cli {

using SetRun = std::function<void(std::function<int()>)>;

void addDisksCommand(CLI::App& app, SetRun setRun);
void addDemoCommand(CLI::App& app, SetRun setRun);
void addRpdatCommand(CLI::App& app, SetRun setRun);
void addScanCommand(CLI::App& app, SetRun setRun);
void addRecoverCommand(CLI::App& app, SetRun setRun);
void addMailCommand(CLI::App& app, SetRun setRun);
void addRescueCommand(CLI::App& app, SetRun setRun);

}  // namespace brenix::cli
