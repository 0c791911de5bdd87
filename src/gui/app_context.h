#pragma once
// What the application owns for the whole run: the shared selection, option
// and progress state, and the hooks through which the pages are made. One
// instance lives in main() (or in a test) and every page holds a reference.
#include <functional>
#include <memory>
#include <string>

#include "common/version.h"
#include "mail/repair_job.h"
#include "results/recovery_context.h"
#include "results/scan_engine.h"

class QWidget;

namespace brenix::gui {

inline constexpr const char* kWindowTitle = "Brenix Photo Recovery " BRENIX_VERSION;
// QSettings organisation/application names (the settings key of the program).
inline constexpr const char* kSettingsOrganisation = "Local AppWizard-Generated Applications";
inline constexpr const char* kSettingsApplication = "Brenix Photo Recovery";

// Page identifiers of the navigation request.
enum PageId : int {
  kPageHome = 101,
  kPageDrive = 102,
  kPageTask = 103,
  kPageOutlookRepair = 107,
  kPageOutlookExpressRepair = 108,
  kPageMailReport = 109,
};

// Modes of the drive page and of the task pages.
enum Mode : int { kModeDeleted = 10000, kModeRescue = 10001, kModeFormatted = 10002, kModeRaw = 10003 };

class HomeView;

// Makes a page that lives outside this folder (partition rescue, mail
// repair): returns null when it cannot be made.
using ExternalPageFactory = std::function<QWidget*(HomeView& host, int pageId, int mode)>;
// Makes the engine for a results page (the default asks createEngine).
using EngineFactory = std::function<std::unique_ptr<ScanEngine>(const std::string& fsName, ScanMode mode)>;

struct AppContext {
  AppContext();
  RecoveryContext ctx;
  ExternalPageFactory externalPages;
  EngineFactory engines;
  mail::RepairJob mailJob;  // the mail repair job list: store kind, sources, output folder
};

// The scan mode of a page mode.
ScanMode scanModeOf(int mode);

}  // namespace brenix::gui
