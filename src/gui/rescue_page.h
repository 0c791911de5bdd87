#pragma once
// Page 103 in mode 10001: partition rescue. The user picks a disk, backs its
// partition records up to a ".pbf" file, loads such a file or lets the
// lost-partition search look through the disk's unallocated regions, and
// writes a chosen partition back into the disk's partition table. A map of
// the disk shows its records to scale.
//
// Everything on-disk is done by the rescue core; the page asks, shows and
// keeps the loaded records. rescue_page.cpp lays the page out and fills its
// lists, rescue_page_actions.cpp carries out its buttons and backup rows,
// rescue_lists.* and rescue_icons.* draw the lists.
#include <array>
#include <filesystem>
#include <optional>
#include <vector>

#include "disk/disk_catalog.h"
#include "disk/records.h"
#include "gui/page.h"
#include "gui/rescue_lists.h"

class QListWidget;
class QTreeWidget;

namespace brenix::gui {

class DiskMapView;

class RescuePage : public Page {
  Q_OBJECT
 public:
  // Record copies ride in the list items under this role.
  static constexpr int kRecordRole = kRescueRecordRole;

  RescuePage(HomeView& host, int mode, QWidget* parent);

  // Where backups are listed and proposed, and undo files are written
  // (the program's backup folder unless set); setting it refills the list.
  void setBackupFolder(const std::filesystem::path& folder);
  const std::filesystem::path& backupFolder() const { return backupFolder_; }

  DiskComboBox* diskList() const { return disks_; }
  QListWidget* partitionList() const { return partitions_; }
  QTreeWidget* backupList() const { return backups_; }
  DiskMapView* diskMap() const { return map_; }
  SkinButton* button(int id) const;
  const std::vector<PartitionInfo>& loadedRecords() const { return loaded_; }
  const DiskCatalog& catalog() const { return catalog_; }

  // The double-click on a backup list row: 0 searches, the last adds a
  // file, any other loads its file.
  void activateBackupRow(int row);
  // The Backup and Recovery buttons.
  void backupDisk();
  void recoverSelected();

  // The copy of a record an item holds.
  static std::optional<PartitionInfo> recordOf(const QVariant& data);

 protected:
  void paintEvent(QPaintEvent*) override;
  // Enter on a backup list row acts like its double-click.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void refreshCatalog();
  void diskChanged(int index);
  void refillBackupList();
  void insertBackupRow(const std::filesystem::path& file);
  void showLoaded();
  void updateMap();
  void partitionChanged();
  std::optional<PhysicalDisk> selectedDisk() const;
  std::vector<PartitionInfo> recordsOfSelectedDisk() const;

  DiskCatalog catalog_;
  std::vector<PartitionInfo> loaded_;
  std::filesystem::path backupFolder_;
  int shownDisk_ = -1;  // the disk list selection the lists were filled for

  DiskComboBox* disks_ = nullptr;
  QListWidget* partitions_ = nullptr;
  QTreeWidget* backups_ = nullptr;
  DiskMapView* map_ = nullptr;
  std::array<SkinButton*, 4> top_{};
  SkinButton* back_ = nullptr;
  SkinButton* next_ = nullptr;
  SkinButton* recovery_ = nullptr;
  SkinButton* backup_ = nullptr;
};

}  // namespace brenix::gui
