#include "jobs/engine_factory_testing.h"

namespace brenix {

namespace {
EngineFactoryFunction& slot() {
  static EngineFactoryFunction f;
  return f;
}
}  // namespace

void setEngineFactoryForTesting(EngineFactoryFunction factory) { slot() = std::move(factory); }
const EngineFactoryFunction& engineFactoryForTesting() { return slot(); }

}  // namespace brenix
