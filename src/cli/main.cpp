// brenix: the command-line face of Brenix Photo Recovery.
#include <CLI/CLI.hpp>
#include <iostream>

#include "cli/commands.h"
#include "cli/image_commands.h"
#include "common/file_io.h"
#include "common/version.h"

int main(int argc, char** argv) {
  CLI::App app{std::string(brenix::kProductName) + " " + brenix::kVersion + " - find and recover deleted files"};
  app.set_version_flag("--version", std::string(brenix::kProductName) + " " + brenix::versionText(),
                       "Show the program's version and exit");
  app.require_subcommand(1);
  std::function<int()> run;
  auto setRun = [&run](std::function<int()> f) { run = std::move(f); };
  brenix::cli::addDisksCommand(app, setRun);
  brenix::cli::addDemoCommand(app, setRun);
  brenix::cli::addRpdatCommand(app, setRun);
  brenix::cli::addScanCommand(app, setRun);
  brenix::cli::addRecoverCommand(app, setRun);
  brenix::cli::addMailCommand(app, setRun);
  brenix::cli::addRescueCommand(app, setRun);
  brenix::cli::addImageCommand(app, setRun);
  brenix::cli::addVerifyCommand(app, setRun);
  std::vector<std::string>& words = brenix::startProgram(argc, argv);
  std::vector<const char*> args;
  for (const std::string& w : words) args.push_back(w.c_str());
  CLI11_PARSE(app, static_cast<int>(args.size()), args.data());
  return run ? run() : 0;
}
