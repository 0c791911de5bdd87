#pragma once
// Tests replace the engine choice with their own engines; the front ends never call this.
#include <functional>
#include <memory>
#include <string>

#include "results/scan_engine.h"

namespace brenix {

using EngineFactoryFunction = std::function<std::unique_ptr<ScanEngine>(const std::string& fsName, ScanMode mode)>;

// While set, createEngine asks this function instead of the built-in engines.
// Pass an empty function to restore them.
void setEngineFactoryForTesting(EngineFactoryFunction factory);
const EngineFactoryFunction& engineFactoryForTesting();

}  // namespace brenix
