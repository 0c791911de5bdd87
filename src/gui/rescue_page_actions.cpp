// The partition rescue page's actions, each carried out by the rescue core:
// the lost-partition search and loading a backup (the backup list rows),
// backing the disk's records up, and writing a chosen partition back.
#include <QFileInfo>
#include <QListWidget>
#include <QTreeWidget>

#include "common/clock.h"
#include "disk/disk_texts.h"
#include "gui/file_dialogs.h"
#include "gui/messages.h"
#include "gui/rescue_lists.h"
#include "gui/rescue_page.h"
#include "rescue/backup_file.h"
#include "rescue/backup_folder.h"
#include "rescue/lost_search.h"
#include "rescue/partition_recovery.h"
#include "rescue/rescue_texts.h"

namespace brenix::gui {

namespace fs = std::filesystem;

namespace {

QString qs(std::string_view s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

// What the confirmation before writing says: the partition and the sectors.
QString describePlan(const rescue::RecoveryPlan& plan) {
  const PartitionInfo& w = plan.record;
  QStringList sectors;
  for (size_t i = 0; i < plan.changes.size(); ++i)
    sectors << QStringLiteral("%1 (%2)").arg(plan.changes[i].sector).arg(qs(rescue::describeChange(plan, i)));
  return QStringLiteral(
             "%1 partition %2 will be written into the partition table: from sector %3, %4 sectors (%5).\n"
             "Sectors to be written: %6.\n"
             "Their present contents are saved to an undo file first.\n\nWrite it now?")
      .arg(plan.gpt       ? QStringLiteral("The GPT")
           : plan.logical ? QStringLiteral("The logical")
                          : QStringLiteral("The primary"),
           qs(w.fs()))
      .arg(qulonglong(w.startSector()))
      .arg(qulonglong(w.totalBytes / 512))
      .arg(qs(formatSize(w.totalBytes)), sectors.join(QStringLiteral(", ")));
}

QString undoDetails(const fs::path& undoPath) {
  const QString path = QString::fromStdString(undoPath.string());
  return QStringLiteral("The sectors as they were before are saved in the undo file\n%1\n"
                        "To put them back: brenix rescue undo \"%1\"")
      .arg(path);
}

}  // namespace

void RescuePage::activateBackupRow(int row) {
  const int rows = backups_->topLevelItemCount();
  if (row < 0 || row >= rows) return;
  const std::optional<PhysicalDisk> disk = selectedDisk();
  if (row == 0) {
    if (!disk) return;  // no disk: nothing to search
    std::vector<PartitionInfo> found;
    if (!rescue::searchLostPartitions(catalog_, &*disk, found)) {
      if (!found.empty()) {  // the search got part of the way: what it read stays loaded
        loaded_ = std::move(found);
        partitions_->clear();
        updateMap();
      }
      showMessage(this, QString(), qs(rescue::kLoadFailed));
      return;
    }
    loaded_ = std::move(found);
    showLoaded();
    return;
  }
  if (row == rows - 1) {
    const QString path = chooseOpenFile(this, QStringLiteral("Add backup file"),
                                        QString::fromStdString(backupFolder_.string()), qs(rescue::kBackupFilter));
    if (!path.isEmpty()) insertBackupRow(path.toStdString());
    return;
  }
  const QString path = backups_->topLevelItem(row)->text(1);
  std::vector<PartitionInfo> records = loaded_;
  if (!disk || !rescue::loadBackup(path.toStdString(), *disk, records)) {
    showMessage(this, QString(), qs(rescue::kLoadFailed));
    return;
  }
  loaded_ = std::move(records);
  showLoaded();
}

void RescuePage::backupDisk() {
  const std::optional<PhysicalDisk> disk = selectedDisk();
  if (!disk) {
    showMessage(this, qs(rescue::kCaptionError), qs(rescue::kBackupFailed), MessageIcon::Error);
    return;
  }
  if (!askYesNo(this, qs(rescue::kCaptionConfirm), qs(rescue::kAskBackup), MessageIcon::Question)) return;
  // Proposed in the backup folder under the disk's model text, where the list finds it again.
  std::error_code ec;
  fs::create_directories(backupFolder_, ec);
  const fs::path proposed = backupFolder_ / rescue::proposedBackupName(*disk, nowSeconds());
  QString chosen = chooseSaveFile(this, QStringLiteral("Back up the partition table"),
                                  QString::fromStdString(proposed.string()), qs(rescue::kBackupFilter));
  if (chosen.isEmpty()) return;
  if (QFileInfo(chosen).suffix().isEmpty()) chosen += qs(rescue::kBackupExtension);
  if (!rescue::backupDisk(chosen.toStdString(), catalog_, &*disk)) {
    showMessage(this, qs(rescue::kCaptionError), qs(rescue::kBackupFailed), MessageIcon::Error);
    return;
  }
  showMessage(this, qs(rescue::kCaptionSuccess), qs(rescue::kBackupDone), MessageIcon::Information,
              QStringLiteral("Backup file: %1").arg(chosen));
}

void RescuePage::recoverSelected() {
  if (!askYesNo(this, qs(rescue::kCaptionWarning), qs(rescue::kAskRecover), MessageIcon::Warning)) return;
  const std::optional<PhysicalDisk> disk = selectedDisk();
  QListWidgetItem* item = partitions_->currentItem();
  std::optional<PartitionInfo> record = item ? recordOf(item->data(kRecordRole)) : std::nullopt;
  const auto confirm = [this](const rescue::RecoveryPlan& plan) {
    return askYesNo(this, qs(rescue::kCaptionConfirm), describePlan(plan), MessageIcon::Warning);
  };
  const rescue::RecoveryOutcome out = rescue::recoverPartition(
      catalog_, disk ? &*disk : nullptr, record ? &*record : nullptr, backupFolder_, confirm);
  if (out.cancelled) return;
  if (out.code != rescue::RecoveryCode::Written) {
    QString details = QString::fromStdString(out.detail);
    if (!out.undoPath.empty()) details += (details.isEmpty() ? QString() : QStringLiteral("\n")) + undoDetails(out.undoPath);
    showMessage(this, qs(rescue::kCaptionError), qs(rescue::recoveryMessage(out.code)), MessageIcon::Error, details);
    return;
  }
  // The list item keeps the record as written (a logical partition's record may move).
  if (item && record) {
    const int row = partitions_->row(item);
    item->setData(kRecordRole, recordBytes(*record));
    if (row >= 0 && size_t(row) < loaded_.size()) loaded_[size_t(row)] = *record;
  }
  // The core asked the kernel to re-read the table; only where that failed
  // does the new table wait for a restart.
  const bool needsRestart = out.reread == rescue::Reread::Failed;
  showMessage(this, qs(rescue::kRestartPromptCaption),
              qs(needsRestart ? rescue::kRecoveredRestart : rescue::kRecoveredNow), MessageIcon::Information,
              undoDetails(out.undoPath));
  refreshCatalog();
}

}  // namespace brenix::gui
