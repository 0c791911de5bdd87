#pragma once
// The pages of the tools menu that are not recovery pages: partition rescue
// and mail store repair. registerToolPages() makes them reachable through
// the application's page hook.
namespace brenix::gui {

struct AppContext;

void registerToolPages(AppContext& app);

}  // namespace brenix::gui
