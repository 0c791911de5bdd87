#pragma once
// The disk map of the partition rescue page (control 10609): the selected
// disk's records drawn to scale as coloured strips with their names, and a
// bar under the partition selected in the partition list. The geometry comes
// from the rescue core's layout; this widget only draws it.
#include <QWidget>
#include <optional>
#include <vector>

#include "disk/records.h"
#include "rescue/disk_map.h"

namespace brenix::gui {

class DiskMapView : public QWidget {
  Q_OBJECT
 public:
  explicit DiskMapView(QWidget* parent = nullptr);

  // What to draw: `disk` null draws the empty frame; `selected` null draws no bar.
  void setDisk(const std::optional<PhysicalDisk>& disk, std::vector<PartitionInfo> records);
  void setSelected(const std::optional<PartitionInfo>& selected);

  // The layout as last computed for the widget's current size.
  rescue::DiskMap layout() const;
  const std::vector<PartitionInfo>& records() const { return records_; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  std::optional<PhysicalDisk> disk_;
  std::vector<PartitionInfo> records_;
  std::optional<PartitionInfo> selected_;
};

}  // namespace brenix::gui
