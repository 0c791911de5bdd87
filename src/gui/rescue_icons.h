#pragma once
// The partition rescue page's drawn icons: disks, partitions and the rows of
// the backup list.
#include <QIcon>
#include <QPixmap>
#include <string>

namespace brenix::gui {

// The fixed-disk or removable-disk icon, `size` pixels square.
QPixmap rescueDiskIcon(bool removable, int size);
// A 16 x 16 partition icon in the colour of its kind.
QPixmap rescuePartitionIcon(const std::string& fsName);
// Backup list row icons: 0 a backup file, 1 the search, 2 add a file.
QIcon backupRowIcon(int kind);

}  // namespace brenix::gui
