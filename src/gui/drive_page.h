#pragma once
// Page 102: the "My Computer" tree of disks and the partitions the mode can
// work on, a properties panel with a chart, and the way on to the scan.
#include <QDialog>
#include <QPointer>
#include <QString>
#include <string>
#include <array>

#include "disk/disk_catalog.h"
#include "gui/page.h"

class QLabel;
class QTreeWidget;
class QTreeWidgetItem;

namespace brenix::gui {

class PieChart;

class DrivePage : public Page {
  Q_OBJECT
 public:
  enum ItemKind { kRootItem = 0, kDiskItem = 1, kPartitionItem = 2 };
  static constexpr int kKindRole = Qt::UserRole;
  static constexpr int kIndexRole = Qt::UserRole + 1;

  DrivePage(HomeView& host, int mode, QWidget* parent);

  QTreeWidget* tree() const { return tree_; }
  SkinButton* button(const QString& text) const;
  // The properties panel's lines as shown.
  QStringList propertiesLines() const;
  PieChart* chart() const { return chart_; }
  // Attaches a disk image as a drive and refills the tree; false (with the
  // message shown) when it cannot be opened.
  bool addImage(const QString& path);
  // Re-reads the disks and refills the tree.
  void refill();
  // The device of the selected disk (or of the selected partition's disk), empty when none.
  std::string selectedDiskPath() const;
  // "Image this disk first...": opens the imaging dialog for the selected disk;
  // the finished image is added as a drive.
  void imageSelectedDisk();
  QDialog* imageDialog() const { return imageDialog_; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  void selectionChanged();
  void showProperties(QTreeWidgetItem* item);
  void openOptions();
  void checkRights();

  DiskCatalog catalog_;
  QTreeWidget* tree_ = nullptr;
  QLabel* propsTitle_ = nullptr;
  QLabel* props_ = nullptr;
  PieChart* chart_ = nullptr;
  std::array<SkinButton*, 4> top_{};
  SkinButton* back_ = nullptr;
  SkinButton* option_ = nullptr;
  SkinButton* next_ = nullptr;
  SkinButton* addImage_ = nullptr;
  SkinButton* imageDisk_ = nullptr;
  QPointer<QDialog> imageDialog_;
};

}  // namespace brenix::gui
