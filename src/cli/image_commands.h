#pragma once
// brenix image (copy a failing disk to an image file with a bad-sector map)
// and brenix verify (read an image whole and check its stored MD5).
#include "cli/commands.h"

namespace brenix::cli {

void addImageCommand(CLI::App& app, SetRun setRun);
void addVerifyCommand(CLI::App& app, SetRun setRun);

}  // namespace brenix::cli
