#pragma once
// The partition rescue page's lists: the disk drop-down and the way disk and
// partition records ride in list items (as byte copies under one role) and
// are drawn there.
#include <QByteArray>
#include <QComboBox>
#include <QVariant>
#include <optional>

#include "disk/records.h"

class QAbstractItemDelegate;

namespace brenix::gui {

// The item data role that holds a record copy.
inline constexpr int kRescueRecordRole = Qt::UserRole + 1;

template <typename Record>
QByteArray recordBytes(const Record& r) {
  return QByteArray(reinterpret_cast<const char*>(&r), qsizetype(sizeof r));
}

// The copy of a partition record an item holds.
std::optional<PartitionInfo> partitionRecordOf(const QVariant& data);

// Draws a partition list row: its icon, name, start and end.
QAbstractItemDelegate* makePartitionItemDelegate(QObject* parent);

// The disk drop-down (control 10600): each item holds its own copy of a disk
// record and is drawn with the disk's icon and its bus type and size text.
class DiskComboBox : public QComboBox {
  Q_OBJECT
 public:
  static constexpr int kItemHeight = 21;
  static constexpr int kFieldHeight = 34;
  explicit DiskComboBox(QWidget* parent);
  void addDisk(const PhysicalDisk& disk);
  std::optional<PhysicalDisk> diskAt(int index) const;

 protected:
  void paintEvent(QPaintEvent*) override;
};

}  // namespace brenix::gui
