#include "gui/rescue_page.h"

#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QListWidget>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QStylePainter>
#include <QTimer>
#include <QTreeWidget>
#include <cstring>

#include "common/clock.h"
#include "disk/device_table.h"
#include "disk/disk_texts.h"
#include "disk/fs_kind.h"
#include "gui/disk_map_view.h"
#include "gui/file_dialogs.h"
#include "gui/help.h"
#include "gui/home_view.h"
#include "gui/messages.h"
#include "gui/skin.h"
#include "gui/skin_button.h"
#include "rescue/backup_file.h"
#include "rescue/backup_folder.h"
#include "rescue/lost_search.h"
#include "rescue/partition_recovery.h"
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

template <typename Record>
QByteArray bytesOf(const Record& r) {
  return QByteArray(reinterpret_cast<const char*>(&r), qsizetype(sizeof r));
}

// The fixed-disk or removable-disk icon, `size` pixels square.
QPixmap diskIcon(bool removable, int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 32.0, size / 32.0);
  if (removable) {
    p.setPen(QPen(QColor(0x4a, 0x55, 0x63), 1.8));
    p.setBrush(QColor(0xd9, 0xde, 0xe4));
    p.drawRoundedRect(QRectF(9, 3, 14, 26), 2.5, 2.5);
    p.setBrush(QColor(0x1f, 0x7a, 0xe0));
    p.setPen(Qt::NoPen);
    p.drawRect(QRectF(12, 6, 8, 6));
  } else {
    p.setPen(QPen(QColor(0x4a, 0x55, 0x63), 2));
    p.setBrush(QColor(0xd9, 0xde, 0xe4));
    p.drawRoundedRect(QRectF(3, 9, 26, 15), 3, 3);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x3c, 0xc0, 0x5a));
    p.drawEllipse(QPointF(24, 16.5), 2.2, 2.2);
  }
  return pm;
}

// A 16 x 16 partition icon in the colour of its kind.
QPixmap partitionIcon(const std::string& fsName) {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor c = skin::fromColorRef(fskind::mapColour(fsName));
  p.setPen(QPen(c.darker(150), 1));
  p.setBrush(c.lighter(120));
  p.drawRoundedRect(QRectF(1.5, 3.5, 13, 9), 2, 2);
  p.setPen(QPen(Qt::white, 1.4));
  p.drawLine(QPointF(4, 10), QPointF(12, 10));
  return pm;
}

// Backup list row icons: 0 a backup file, 1 the search, 2 add a file.
QIcon backupRowIcon(int kind) {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  if (kind == 1) {
    p.setPen(QPen(skin::kAccentDark, 1.8));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(6.5, 6.5), 4.2, 4.2);
    p.drawLine(QPointF(9.6, 9.6), QPointF(14, 14));
  } else if (kind == 2) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x3c, 0xa0, 0x5a));
    p.drawEllipse(QRectF(1, 1, 14, 14));
    p.setPen(QPen(Qt::white, 2));
    p.drawLine(QPointF(8, 4.5), QPointF(8, 11.5));
    p.drawLine(QPointF(4.5, 8), QPointF(11.5, 8));
  } else {
    p.setPen(QPen(QColor(0x5f, 0x6b, 0x7a), 1));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(3.5, 1.5, 9, 13));
    p.setPen(QPen(skin::kAccent, 1));
    for (int y = 5; y <= 11; y += 3) p.drawLine(QPointF(5.5, y), QPointF(10.5, y));
  }
  return QIcon(pm);
}

void fillItemBackground(QPainter* p, const QStyleOptionViewItem& option, bool selected) {
  p->fillRect(option.rect, selected ? option.palette.highlight() : QBrush(Qt::white));
}

class DiskItemDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override {
    return QSize(option.rect.width(), DiskComboBox::kItemHeight);
  }
  void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const QByteArray bytes = index.data(RescuePage::kRecordRole).toByteArray();
    if (bytes.size() != qsizetype(sizeof(PhysicalDisk))) return;
    PhysicalDisk disk = makePhysicalDisk();
    std::memcpy(&disk, bytes.constData(), sizeof disk);
    const bool selected = option.state & QStyle::State_Selected;
    p->save();
    fillItemBackground(p, option, selected);
    const int iconSize = std::min(32, option.rect.height() - 2);
    p->drawPixmap(option.rect.left() + 4, option.rect.top() + (option.rect.height() - iconSize) / 2,
                  diskIcon(disk.removable != 0, iconSize));
    p->setPen(selected ? option.palette.highlightedText().color() : QColor(Qt::black));
    p->setFont(skin::uiFont(8));
    const QRect text = option.rect.adjusted(52, 0, -4, 0);
    p->drawText(text, Qt::AlignLeft | Qt::AlignVCenter,
                p->fontMetrics().elidedText(qs(diskListItemText(disk)), Qt::ElideRight, text.width()));
    p->restore();
  }
};

class PartitionItemDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override {
    return QSize(option.rect.width(), 25);
  }
  void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const std::optional<PartitionInfo> rec = RescuePage::recordOf(index.data(RescuePage::kRecordRole));
    if (!rec) return;
    const bool selected = option.state & QStyle::State_Selected;
    p->save();
    p->fillRect(option.rect, selected ? option.palette.highlight() : option.palette.base());
    const QRect r = option.rect;
    p->drawPixmap(r.left() + 10, r.top() + 5, partitionIcon(rec->fs()));
    p->setPen(selected ? option.palette.highlightedText().color() : option.palette.text().color());
    p->setFont(skin::uiFont(8));
    const PartitionItemTexts t = partitionListItemTexts(*rec, "");
    const int h = r.height();
    p->drawText(QRect(r.left() + 30, r.top(), 106, h), Qt::AlignLeft | Qt::AlignVCenter, qs(t.name));
    p->drawText(QRect(r.left() + 140, r.top(), 136, h), Qt::AlignLeft | Qt::AlignVCenter, qs(t.start));
    p->drawText(QRect(r.left() + 280, r.top(), std::max(0, r.width() - 280), h), Qt::AlignLeft | Qt::AlignVCenter,
                qs(t.end));
    p->restore();
  }
};

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
      .arg(w.volumeStart)
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

// ---------------------------------------------------------------------------

DiskComboBox::DiskComboBox(QWidget* parent) : QComboBox(parent) {
  setObjectName(QStringLiteral("diskList"));  // control 10600
  setItemDelegate(new DiskItemDelegate(this));
  setFixedHeight(kFieldHeight);
  setFont(skin::uiFont(8));
}

void DiskComboBox::addDisk(const PhysicalDisk& disk) {
  // The item text stays empty; the delegate and the field draw the record.
  addItem(QString());
  setItemData(count() - 1, bytesOf(disk), RescuePage::kRecordRole);
  setItemData(count() - 1, qs(diskListItemText(disk)), Qt::ToolTipRole);
}

std::optional<PhysicalDisk> DiskComboBox::diskAt(int index) const {
  if (index < 0 || index >= count()) return std::nullopt;
  const QByteArray bytes = itemData(index, RescuePage::kRecordRole).toByteArray();
  if (bytes.size() != qsizetype(sizeof(PhysicalDisk))) return std::nullopt;
  PhysicalDisk disk = makePhysicalDisk();
  std::memcpy(&disk, bytes.constData(), sizeof disk);
  return disk;
}

void DiskComboBox::paintEvent(QPaintEvent*) {
  QStylePainter p(this);
  QStyleOptionComboBox opt;
  initStyleOption(&opt);
  opt.currentText.clear();
  opt.currentIcon = QIcon();
  p.drawComplexControl(QStyle::CC_ComboBox, opt);
  const QRect field = style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, this);
  const std::optional<PhysicalDisk> disk = diskAt(currentIndex());
  if (!disk) return;
  const int iconSize = std::min(32, field.height() - 2);
  p.drawPixmap(field.left() + 4 - 2, field.top() + (field.height() - iconSize) / 2,
               diskIcon(disk->removable != 0, iconSize));
  p.setPen(palette().color(QPalette::Text));
  const QRect text = field.adjusted(50, 0, -4, 0);
  p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter,
             fontMetrics().elidedText(qs(diskListItemText(*disk)), Qt::ElideRight, text.width()));
}

// ---------------------------------------------------------------------------

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
  partitions_->setItemDelegate(new PartitionItemDelegate(partitions_));
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

std::optional<PartitionInfo> RescuePage::recordOf(const QVariant& data) {
  const QByteArray bytes = data.toByteArray();
  if (bytes.size() != qsizetype(sizeof(PartitionInfo))) return std::nullopt;
  PartitionInfo rec = makePartitionInfo();
  std::memcpy(&rec, bytes.constData(), sizeof rec);
  return rec;
}

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
    item->setData(kRecordRole, bytesOf(rec));
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
    item->setData(kRecordRole, bytesOf(*record));
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
