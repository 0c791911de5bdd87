#include "gui/tool_pages.h"

#include "gui/app_context.h"
#include "gui/home_view.h"
#include "gui/rescue_page.h"
#include "gui/mail_pages.h"

namespace brenix::gui {

void registerToolPages(AppContext& app) {
  app.externalPages = [](HomeView& host, int pageId, int mode) -> QWidget* {
    (void)host;
    (void)mode;
    switch (pageId) {
      // Each tool page adds its case here.
      case kPageTask: return mode == kModeRescue ? new RescuePage(host, mode, &host) : nullptr;
      case kPageOutlookRepair:
      case kPageOutlookExpressRepair:
      case kPageMailReport: return makeMailPage(host, pageId, mode);
      default: return nullptr;
    }
  };
}

}  // namespace brenix::gui
