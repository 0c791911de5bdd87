// Results page: the recovery step (the photo choices of a raw page, the
// folder, the checks on it) and the recovery job with its overwrite questions.
#include <QFileDialog>
#include <QSettings>
#include <chrono>
#include <future>

#include "disk/device_table.h"
#include "gui/home_view.h"
#include "gui/messages.h"
#include "gui/overwrite_dialog.h"
#include "gui/photo_options_dialog.h"
#include "gui/results_page.h"
#include "jobs/scan_jobs.h"
#include "raw/raw_engine.h"

namespace brenix::gui {

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

// Asks the GUI thread and waits for the answer, giving up when the page closes.
class GuiOverwritePrompt : public OverwritePrompt {
 public:
  GuiOverwritePrompt(ResultsPage* page, const std::atomic<bool>& closing) : page_(page), closing_(closing) {}
  OverwriteAnswer ask(const std::string& name) override {
    auto promise = std::make_shared<std::promise<OverwriteAnswer>>();
    std::future<OverwriteAnswer> answer = promise->get_future();
    QMetaObject::invokeMethod(
        page_, [page = page_, promise, name] { promise->set_value(page->askOverwrite(QString::fromStdString(name))); },
        Qt::QueuedConnection);
    while (answer.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
      if (closing_.load()) return OverwriteAnswer::Cancel;
    return answer.get();
  }

 private:
  ResultsPage* page_;
  const std::atomic<bool>& closing_;
};

}  // namespace

// ---- recovery ------------------------------------------------------------------

OverwriteAnswer ResultsPage::askOverwrite(const QString& name) {
  if (overwriteHandler_) return overwriteHandler_(name);
  return OverwriteDialog::ask(name, this);
}

void ResultsPage::recover() {
  if (job_ != Job::None) return;
  const RecoveryPlan plan = planRecovery(*model_);
  if (!plan.ok) {
    if (!plan.message.empty())
      showMessage(this, qs(plan.caption), qs(plan.message),
                  kind_ == EngineKind::Fat ? MessageIcon::None : MessageIcon::Information);
    return;
  }
  if (kind_ == EngineKind::Raw) {
    PhotoChoices choices = photoChoices_;
    if (photoChooser_) {
      if (!photoChooser_(choices)) return;
    } else {
      PhotoOptionsDialog dlg(choices, this);
      if (dlg.exec() != QDialog::Accepted) return;
      choices = dlg.choices();
    }
    photoChoices_ = choices;
  }
  QString folder;
  if (folderChooser_) {
    folder = folderChooser_();
  } else {
    QSettings settings;
    const QString last = settings.value(QStringLiteral("recovery/lastFolder")).toString();
    folder = QFileDialog::getExistingDirectory(this, QStringLiteral("Save in:"), last, QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty()) settings.setValue(QStringLiteral("recovery/lastFolder"), folder);
  }
  if (folder.isEmpty()) return;
  recoverTo(folder);
}

void ResultsPage::recoverTo(const QString& folder) {
  if (job_ != Job::None) return;
  const RecoveryContext& ctx = host().app().ctx;
  ScannedSource source;
  source.devicePath = DeviceTable::instance().pathOf(ctx.partition.diskNumber);
  for (const DeviceEntry& d : DeviceTable::instance().devices())
    if (d.driveNumber == ctx.partition.diskNumber) source.isImage = d.isImage;
  source.driveLetter = ctx.partition.driveLetter;
  // A scan range set in Option may reach past the partition: keep the output off all of it.
  source.startSector = std::min<uint64_t>(ctx.partitionStart, ctx.options.startSector);
  source.endSector = std::max<uint64_t>(ctx.partitionEnd, ctx.options.endSector);
  const std::filesystem::path destination = folder.toStdString();
  const std::string problem = prepareDestination(source, destination);
  if (!problem.empty()) {
    const bool same = problem == kSamePartitionMessage;
    showMessage(this, same ? QString() : QStringLiteral("Error"), qs(problem),
                same ? MessageIcon::Warning : MessageIcon::Error);
    return;
  }
  auto steps = std::make_shared<std::vector<RecoveryStep>>(planRecovery(*model_).steps);

  auto outcome = std::make_shared<RecoveryOutcome>();
  auto counts = std::make_shared<PhotoCounts>();
  runJob(
      Job::Recovery, QString::fromLatin1(kRecoveryTitle),
      [this, steps, outcome, counts, destination, choices = photoChoices_](RunningFlag& running) {
        // Carved photos: named, sorted and left out as chosen (the worker
        // reads them for duplicates; names from a file system are kept).
        if (auto* raw = dynamic_cast<RawEngine*>(engine_.get())) raw->placePhotos(tree_, choices, *steps, counts.get());
        GuiOverwritePrompt prompt(this, closing_);
        *outcome = runRecoveryJob(*engine_, tree_, *steps, destination, prompt, host().app().ctx.progress, running);
      },
      [this, outcome, counts, choices = photoChoices_] {
        lastRecovery_ = *outcome;
        const QString photoText = photoCountsText(*counts, choices);
        if (!photoText.isEmpty()) showMessage(this, QStringLiteral("Notice"), photoText, MessageIcon::Information);
        std::string report = lastRecovery_.report;
        if (report.empty() && (!lastRecovery_.failures.empty() || !lastRecovery_.markedFiles.empty())) {
          // The FAT and EXT pages keep no report of their own; a file that
          // could not be written, or was written but is likely not the
          // file's own bytes, must still not pass for a recovered one.
          ErrorReport r;
          for (const auto& f : lastRecovery_.failures) r.add("Can not recovery file '" + f.name + "'.\n");
          for (const auto& f : lastRecovery_.markedFiles) r.add("File '" + f.name + "' is " + f.reason + ".\n");
          report = r.text();
        }
        if (!report.empty())
          showMessage(this, kind_ == EngineKind::Ntfs ? QStringLiteral("Notice") : QStringLiteral("Error"), qs(report),
                      kind_ == EngineKind::Ntfs ? MessageIcon::Information : MessageIcon::Error);
      });
}

}  // namespace brenix::gui
