#pragma once
// Choosing the engine for a partition: by the file-system name (the previous
// one for a formatted-drive scan), or the signature engine for a raw scan.
#include <memory>
#include <string>

#include "results/scan_engine.h"

namespace brenix {

// The engine that serves `fsName` in `mode`, or null when none does.
std::unique_ptr<ScanEngine> createEngine(const std::string& fsName, ScanMode mode);

}  // namespace brenix
