#include "gui/app_context.h"

#include "jobs/engine_factory.h"

namespace brenix::gui {

AppContext::AppContext() {
  ctx.options.rawMaxSizeKb = kDefaultRawMaxSizeKb;
  engines = [](const std::string& fsName, ScanMode mode) { return createEngine(fsName, mode); };
}

ScanMode scanModeOf(int mode) {
  switch (mode) {
    case kModeFormatted: return ScanMode::Formatted;
    case kModeRaw: return ScanMode::Raw;
    default: return ScanMode::Deleted;
  }
}

}  // namespace brenix::gui
