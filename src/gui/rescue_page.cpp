#include "gui/rescue_page.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QListWidget>
#include <QPainter>
#include <QTimer>
#include <QTreeWidget>

#include "disk/device_table.h"
#include "disk/disk_texts.h"
#include "gui/disk_map_view.h"
#include "gui/help.h"
#include "gui/home_view.h"
#include "gui/messages.h"
#include "gui/rescue_icons.h"
#include "gui/rescue_lists.h"
#include "gui/skin.h"
#include "gui/skin_button.h"
#include "rescue/backup_file.h"
#include "rescue/backup_folder.h"
#include "rescue/rescue_texts.h"

namespace brenix::gui {

namespace fs = std::filesystem;

namespace {

enum ButtonId : int {
  kDiskList = 10600,
  kHelp = 10603,
  kHome = 10604,
  kBack = 10605,
  kNext = 10606,
  kRecovery = 10607,
  kBackup = 10608,
  kProperties = 10611,
  kAbout = 10612,
};

QString qs(std::string_view s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

}  // namespace

RescuePage::RescuePage(HomeView& host, int mode, QWidget* parent)
    : Page(host, mode, parent), backupFolder_(rescue::backupFolder()) {
  setObjectName(QStringLiteral("RescuePage"));
  setFixedSize(750, 459);

  top_ = addTopButtons({kHome, kProperties, kHelp, kAbout});
  connect(top_[0], &QAbstractButton::clicked, this, [this] { navigate(kPageHome, 0); });
  connect(top_[2], &QAbstractButton::clicked, this, [this] { openHelp(this); });
  // Properties and About have nothing to do on this page.

  back_ = new SkinButton(SkinButton::Style::Secondary, QStringLiteral("Back"), this, kBack);
  next_ = new SkinButton(SkinButton::Style::Secondary, QStringLiteral("Next"), this, kNext);
  backup_ = new SkinButton(SkinButton::Style::Secondary, QStringLiteral("Backup"), this, kBackup);
  recovery_ = new SkinButton(SkinButton::Style::Primary, QStringLiteral("Recovery"), this, kRecovery);
  backup_->setGeometry(12, 414, 92, 30);
  back_->setGeometry(466, 414, 84, 30);
  next_->setGeometry(556, 414, 84, 30);
  recovery_->setGeometry(646, 414, 92, 30);
  next_->setEnabled(false);
  backup_->setToolTip(QStringLiteral("Save the partition records of the disk to a backup file"));
  recovery_->setToolTip(QStringLiteral("Write the selected partition back into the disk's partition table"));
  connect(back_, &QAbstractButton::clicked, this, [this] { navigate(kPageHome, 1); });
  connect(backup_, &QAbstractButton::clicked, this, &RescuePage::backupDisk);
  connect(recovery_, &QAbstractButton::clicked, this, &RescuePage::recoverSelected);

  disks_ = new DiskComboBox(this);
  disks_->setGeometry(12, 76, 726, DiskComboBox::kFieldHeight);

  const QString viewStyle = QStringLiteral(
      "QListWidget,QTreeWidget{background:white;border:1px solid #d7dde5;border-radius:5px;outline:0;}"
      "QHeaderView::section{background:#eef1f5;border:0;border-right:1px solid #d7dde5;"
      "border-bottom:1px solid #d7dde5;padding:3px 6px;color:#3b4552;}"
      "QTreeWidget::item{padding:2px 0px;}"
      "QTreeWidget::item:selected{background:#1f7ae0;color:white;}");
  partitions_ = new QListWidget(this);
  partitions_->setObjectName(QStringLiteral("partitionList"));  // control 10601
  partitions_->setGeometry(12, 138, 392, 148);
  partitions_->setItemDelegate(makePartitionItemDelegate(partitions_));
  partitions_->setUniformItemSizes(true);
  partitions_->setSelectionMode(QAbstractItemView::SingleSelection);
  partitions_->setStyleSheet(viewStyle);
  connect(partitions_, &QListWidget::currentRowChanged, this, [this] { partitionChanged(); });

  backups_ = new QTreeWidget(this);
  backups_->setObjectName(QStringLiteral("backupList"));  // control 10602
  backups_->setGeometry(412, 138, 326, 148);
  backups_->setRootIsDecorated(false);
  backups_->setUniformRowHeights(true);
  backups_->setSelectionMode(QAbstractItemView::SingleSelection);
  backups_->setSelectionBehavior(QAbstractItemView::SelectRows);
  backups_->setIconSize(QSize(16, 16));
  backups_->setHeaderLabels({QStringLiteral("Date Created"), QStringLiteral("File Path")});
  backups_->setFont(skin::uiFont(8));
  // Wide enough for the whole date text in this font.
  backups_->setColumnWidth(0, 164);
  backups_->setColumnWidth(1, 160);
  backups_->setStyleSheet(viewStyle);
  connect(backups_, &QTreeWidget::itemDoubleClicked, this,
          [this](QTreeWidgetItem* item) { activateBackupRow(backups_->indexOfTopLevelItem(item)); });
  backups_->installEventFilter(this);

  map_ = new DiskMapView(this);
  map_->setGeometry(12, 316, 726, 88);

  // Page creation: the catalog, the disks (the first one selected), the lists.
  catalog_.refresh();
  for (int d = 0; d < catalog_.diskCount(); ++d) disks_->addDisk(catalog_.disk(d));
  shownDisk_ = -1;
  connect(disks_, &QComboBox::currentIndexChanged, this, &RescuePage::diskChanged);
  if (disks_->count() > 0) {
    disks_->setCurrentIndex(0);
    diskChanged(0);
  } else {
    refillBackupList();
    updateMap();
  }
  QTimer::singleShot(0, this, [this] {
    const std::string message = checkAccess();
    if (!message.empty())
      showMessage(this, QString::fromLatin1(kAccessDeniedCaption), QString::fromStdString(message),
                  MessageIcon::Information);
  });
}

SkinButton* RescuePage::button(int id) const {
  for (auto* b : findChildren<SkinButton*>())
    if (b->id() == id) return b;
  return nullptr;
}

std::optional<PartitionInfo> RescuePage::recordOf(const QVariant& data) { return partitionRecordOf(data); }

void RescuePage::setBackupFolder(const fs::path& folder) {
  backupFolder_ = folder;
  refillBackupList();
}

std::optional<PhysicalDisk> RescuePage::selectedDisk() const { return disks_->diskAt(disks_->currentIndex()); }

std::vector<PartitionInfo> RescuePage::recordsOfSelectedDisk() const {
  const std::optional<PhysicalDisk> disk = selectedDisk();
  return disk ? rescue::recordsOfDisk(catalog_, *disk) : std::vector<PartitionInfo>{};
}

void RescuePage::refreshCatalog() {
  catalog_.refresh();
  updateMap();
}

void RescuePage::diskChanged(int index) {
  if (index == shownDisk_) return;
  shownDisk_ = index;
  refillBackupList();
  loaded_.clear();
  partitions_->clear();
  updateMap();
}

void RescuePage::refillBackupList() {
  backups_->clear();
  std::vector<rescue::BackupRow> rows;
  if (const std::optional<PhysicalDisk> disk = selectedDisk()) {
    rows = rescue::listBackups(backupFolder_, *disk);
  } else {
    rows.push_back({std::string(rescue::kAutoScanRow), std::string(rescue::kAutoScanPath), 1});
    rows.push_back({std::string(rescue::kAddBackupRow), std::string(rescue::kAddBackupPath), 2});
  }
  for (const rescue::BackupRow& row : rows) {
    auto* item = new QTreeWidgetItem(backups_, {qs(row.created), QString::fromStdString(row.path)});
    item->setIcon(0, backupRowIcon(row.icon));
    item->setToolTip(0, QString::fromStdString(row.path));
    item->setToolTip(1, QString::fromStdString(row.path));
  }
}

void RescuePage::insertBackupRow(const fs::path& file) {
  const rescue::BackupRow row = rescue::backupRowFor(file);
  auto* item = new QTreeWidgetItem({qs(row.created), QString::fromStdString(row.path)});
  item->setIcon(0, backupRowIcon(row.icon));
  item->setToolTip(0, QString::fromStdString(row.path));
  item->setToolTip(1, QString::fromStdString(row.path));
  backups_->insertTopLevelItem(std::max(0, backups_->topLevelItemCount() - 1), item);
}

void RescuePage::showLoaded() {
  partitions_->clear();
  for (const PartitionInfo& rec : loaded_) {
    auto* item = new QListWidgetItem(partitions_);
    item->setData(kRecordRole, recordBytes(rec));
    const PartitionItemTexts t = partitionListItemTexts(rec, "");
    item->setData(Qt::AccessibleTextRole, qs(t.name + "  " + t.start + "  " + t.end));
  }
  updateMap();
}

void RescuePage::updateMap() {
  const std::optional<PhysicalDisk> disk = selectedDisk();
  map_->setDisk(disk, recordsOfSelectedDisk());
  partitionChanged();
}

void RescuePage::partitionChanged() {
  QListWidgetItem* item = partitions_->currentItem();
  map_->setSelected(item ? recordOf(item->data(kRecordRole)) : std::nullopt);
}

bool RescuePage::eventFilter(QObject* watched, QEvent* event) {
  if (watched == backups_ && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) && backups_->currentItem()) {
      activateBackupRow(backups_->indexOfTopLevelItem(backups_->currentItem()));
      return true;
    }
  }
  return Page::eventFilter(watched, event);
}

void RescuePage::paintEvent(QPaintEvent*) {
  QPainter p(this);
  paintHeader(p, QStringLiteral("Partition Rescue"), QStringLiteral("Backups and lost partitions"));
  p.setPen(skin::kMutedText);
  p.setFont(skin::uiFont(8, true));
  p.drawText(QRect(14, 54, 300, 20), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("DISK"));
  p.drawText(QRect(14, 116, 300, 20), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("PARTITIONS"));
  p.drawText(QRect(414, 116, 300, 20), Qt::AlignLeft | Qt::AlignVCenter,
             QStringLiteral("BACKUPS (DOUBLE-CLICK A ROW)"));
  p.drawText(QRect(14, 294, 300, 20), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("DISK MAP"));
}

}  // namespace brenix::gui
