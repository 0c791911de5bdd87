#include "gui/drive_page.h"

#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>

#include "disk/device_table.h"
#include "disk/disk_texts.h"
#include "disk/fs_kind.h"
#include "gui/help.h"
#include "gui/home_view.h"
#include "gui/image_disk_dialog.h"
#include "gui/messages.h"
#include "gui/pie_chart.h"
#include "gui/scan_options_dialog.h"
#include "gui/skin.h"
#include "gui/skin_button.h"
#include "raw/raw_engine.h"

namespace brenix::gui {

namespace {

QIcon driveIcon(int kind, const QString& fs) {
  QPixmap pm(32, 32);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  if (kind == DrivePage::kRootItem) {
    p.setPen(QPen(skin::kAccentDark, 2));
    p.setBrush(QColor(0xe3, 0xec, 0xf8));
    p.drawRoundedRect(QRectF(3, 5, 26, 17), 2, 2);
    p.drawLine(QPointF(16, 22), QPointF(16, 27));
    p.drawLine(QPointF(9, 27.5), QPointF(23, 27.5));
  } else if (kind == DrivePage::kDiskItem) {
    p.setPen(QPen(QColor(0x4a, 0x55, 0x63), 2));
    p.setBrush(QColor(0xd9, 0xde, 0xe4));
    p.drawRoundedRect(QRectF(3, 9, 26, 15), 3, 3);
    p.setBrush(QColor(0x3c, 0xc0, 0x5a));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(24, 16.5), 2.2, 2.2);
  } else {
    const QColor c = skin::fromColorRef(fskind::chartColour(fs.toStdString()));
    p.setPen(QPen(c.darker(140), 1.6));
    p.setBrush(c.lighter(115));
    p.drawRoundedRect(QRectF(5, 7, 22, 19), 3, 3);
    p.setPen(QPen(Qt::white, 2));
    p.drawLine(QPointF(10, 21), QPointF(22, 21));
  }
  return QIcon(pm);
}

}  // namespace

DrivePage::DrivePage(HomeView& host, int mode, QWidget* parent) : Page(host, mode, parent) {
  setObjectName(QStringLiteral("DrivePage"));
  setFixedSize(750, 459);
  top_ = addTopButtons({1021, 10211, 1022, 10221});
  connect(top_[0], &QAbstractButton::clicked, this, [this] { navigate(kPageHome, 0); });
  connect(top_[2], &QAbstractButton::clicked, this, [this] { openHelp(this); });
  connect(top_[3], &QAbstractButton::clicked, this, [this] { showAbout(this); });

  tree_ = new QTreeWidget(this);
  tree_->setObjectName(QStringLiteral("diskTree"));  // control 1026
  tree_->setGeometry(12, 78, 380, 318);
  tree_->setHeaderHidden(true);
  tree_->setIconSize(QSize(18, 18));
  tree_->setIndentation(18);
  tree_->setFrameShape(QFrame::NoFrame);
  tree_->setStyleSheet(QStringLiteral(
      "QTreeWidget{background:white;border:1px solid #d7dde5;border-radius:6px;padding:4px;outline:0;}"
      "QTreeWidget::item{padding:3px 2px;}"
      "QTreeWidget::item:selected{background:#1f7ae0;color:white;border-radius:3px;}"));
  connect(tree_, &QTreeWidget::currentItemChanged, this, [this] { selectionChanged(); });

  propsTitle_ = new QLabel(this);
  propsTitle_->setGeometry(418, 86, 310, 22);
  propsTitle_->setFont(skin::uiFont(10, true));
  propsTitle_->setStyleSheet(QStringLiteral("color:#222b36;"));
  props_ = new QLabel(this);
  props_->setGeometry(418, 112, 310, 118);
  props_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  props_->setStyleSheet(QStringLiteral("color:#3b4552; line-height:140%;"));
  props_->setTextFormat(Qt::PlainText);
  chart_ = new PieChart(this);
  chart_->setGeometry(418, 240, 310, 146);

  addImage_ = new SkinButton(SkinButton::Style::Secondary, QStringLiteral("Add disk image..."), this);
  addImage_->setGeometry(12, 414, 130, 30);
  addImage_->setToolTip(QStringLiteral("Attach a disk image file as a drive: recovering from a copy is the safe way"));
  imageDisk_ = new SkinButton(SkinButton::Style::Secondary, QStringLiteral("Image this disk first..."), this);
  imageDisk_->setGeometry(148, 414, 170, 30);
  imageDisk_->setToolTip(QStringLiteral("Copy a failing disk to an image file, skipping bad areas, and scan the copy"));
  connect(imageDisk_, &QAbstractButton::clicked, this, &DrivePage::imageSelectedDisk);
  back_ = new SkinButton(SkinButton::Style::Secondary, QStringLiteral("Back"), this, 1024);
  option_ = new SkinButton(SkinButton::Style::Secondary, QStringLiteral("Option"), this, 1023);
  next_ = new SkinButton(SkinButton::Style::Primary, QStringLiteral("Next"), this, 1025);
  back_->setGeometry(466, 414, 84, 30);
  option_->setGeometry(556, 414, 84, 30);
  next_->setGeometry(646, 414, 92, 30);
  connect(back_, &QAbstractButton::clicked, this, [this] { navigate(kPageHome, 1); });
  connect(next_, &QAbstractButton::clicked, this, [this] { navigate(kPageTask, this->mode()); });
  connect(option_, &QAbstractButton::clicked, this, &DrivePage::openOptions);
  connect(addImage_, &QAbstractButton::clicked, this, [this] {
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Add disk image"), QString(),
                                                      QStringLiteral("Disk images (*.img *.dd *.raw *.bin *.iso *.E01 *.e01 *.001);;All files (*)"));
    if (!path.isEmpty()) addImage(path);
  });

  refill();
  QTimer::singleShot(0, this, &DrivePage::checkRights);
}

SkinButton* DrivePage::button(const QString& text) const {
  for (auto* b : findChildren<SkinButton*>())
    if (b->text() == text) return b;
  return nullptr;
}

QStringList DrivePage::propertiesLines() const { return props_->text().split(QLatin1Char('\n'), Qt::SkipEmptyParts); }

void DrivePage::checkRights() {
  // Raw access to the first drive is what every scan needs.
  const std::string message = checkAccess();
  if (!message.empty())
    showMessage(this, QString::fromLatin1(kAccessDeniedCaption), QString::fromStdString(message),
                MessageIcon::Information);
}

bool DrivePage::addImage(const QString& path) {
  std::string error;
  if (DeviceTable::instance().attachImage(path.toStdString(), &error) < 0) {
    showMessage(this, QStringLiteral("Error"), QString::fromStdString(error), MessageIcon::Error);
    return false;
  }
  refill();
  return true;
}

void DrivePage::refill() {
  catalog_.refresh();
  tree_->clear();
  auto* root = new QTreeWidgetItem(tree_, QStringList(QStringLiteral("My Computer")));
  root->setData(0, kKindRole, kRootItem);
  root->setIcon(0, driveIcon(kRootItem, {}));
  const auto mode = static_cast<DriveMode>(this->mode());
  for (int d = 0; d < catalog_.diskCount(); ++d) {
    const PhysicalDisk& disk = catalog_.disk(d);
    auto* di = new QTreeWidgetItem(root, QStringList(QString::fromStdString(driveTreeDiskLabel(disk))));
    di->setData(0, kKindRole, kDiskItem);
    di->setData(0, kIndexRole, d);
    di->setIcon(0, driveIcon(kDiskItem, {}));
    for (int v : catalog_.volumesOfDisk(int(disk.driveNumber))) {
      const PartitionInfo& p = catalog_.volume(v);
      if (!listedInMode(p.fs(), mode)) continue;
      auto* pi = new QTreeWidgetItem(
          di, QStringList(QString::fromStdString(driveTreePartitionLabel(p, catalog_.rootPath(v)))));
      pi->setData(0, kKindRole, kPartitionItem);
      pi->setData(0, kIndexRole, v);
      pi->setIcon(0, driveIcon(kPartitionItem, QString::fromStdString(p.fs())));
    }
  }
  tree_->expandAll();
  tree_->setCurrentItem(root);
  selectionChanged();
}

void DrivePage::selectionChanged() {
  QTreeWidgetItem* item = tree_->currentItem();
  const bool partition = item && item->data(0, kKindRole).toInt() == kPartitionItem;
  if (partition) {
    const int v = item->data(0, kIndexRole).toInt();
    RecoveryContext& ctx = host().app().ctx;
    ctx.selectPartition(catalog_.volume(v), catalog_.rootPath(v));
    ctx.options.previousFsName.clear();  // chosen again in Option for this partition
  }
  // A raw scan can also take the disk itself, every sector from 0 to its
  // end: a card whose partition table is gone has no partition to pick.
  bool wholeDisk = false;
  if (!partition && item && item->data(0, kKindRole).toInt() == kDiskItem && mode() == kModeRaw) {
    const PhysicalDisk& disk = catalog_.disk(item->data(0, kIndexRole).toInt());
    std::string error;
    wholeDisk = selectWholeDisk(host().app().ctx, int(disk.driveNumber), &error);
  }
  imageDisk_->setEnabled(!selectedDiskPath().empty());
  next_->setEnabled(partition || wholeDisk);
  option_->setEnabled(partition || wholeDisk);
  showProperties(item);
}

void DrivePage::showProperties(QTreeWidgetItem* item) {
  std::vector<std::string> lines;
  std::vector<PieChart::Slice> slices;
  QString title;
  const int kind = item ? item->data(0, kKindRole).toInt() : kRootItem;
  if (!item || kind == kRootItem) {
    title = QStringLiteral("My Computer");
    lines.push_back("Disks : " + std::to_string(catalog_.diskCount()));
    for (int d = 0; d < catalog_.diskCount(); ++d)
      slices.push_back({double(catalog_.disk(d).sizeBytes), QColor::fromHsv((d * 67 + 210) % 360, 140, 225),
                        QString::fromStdString(catalog_.disk(d).model())});
  } else if (kind == kDiskItem) {
    const PhysicalDisk& disk = catalog_.disk(item->data(0, kIndexRole).toInt());
    title = QStringLiteral("Disk");
    lines = diskPropertiesTexts(disk, item->childCount());
    for (int v : catalog_.volumesOfDisk(int(disk.driveNumber))) {
      const PartitionInfo& p = catalog_.volume(v);
      slices.push_back({double(p.totalBytes), skin::fromColorRef(fskind::chartColour(p.fs())),
                        QString::fromStdString(p.fs() + "  " + formatSize(p.totalBytes))});
    }
  } else {
    const PartitionInfo& p = catalog_.volume(item->data(0, kIndexRole).toInt());
    title = QStringLiteral("Partition");
    lines = partitionPropertiesTexts(p);
    const uint64_t freeBytes = std::min(p.freeBytes, p.totalBytes);
    const QColor c = skin::fromColorRef(fskind::chartColour(p.fs()));
    slices.push_back({double(p.totalBytes - freeBytes), c,
                      QStringLiteral("Used : ") + QString::fromStdString(formatSize(p.totalBytes - freeBytes))});
    slices.push_back({double(freeBytes), QColor(0xe4, 0xe8, 0xee),
                      QStringLiteral("Free : ") + QString::fromStdString(formatSize(freeBytes))});
  }
  QStringList text;
  for (const auto& l : lines) text << QString::fromStdString(l);
  propsTitle_->setText(title);
  props_->setText(text.join(QLatin1Char('\n')));
  chart_->setSlices(std::move(slices));
}

std::string DrivePage::selectedDiskPath() const {
  QTreeWidgetItem* item = tree_->currentItem();
  if (!item) return {};
  const int kind = item->data(0, kKindRole).toInt();
  if (kind == kPartitionItem) item = item->parent();
  if (!item || item->data(0, kKindRole).toInt() != kDiskItem) return {};
  const PhysicalDisk& disk = catalog_.disk(item->data(0, kIndexRole).toInt());
  return DeviceTable::instance().pathOf(int(disk.driveNumber));
}

void DrivePage::imageSelectedDisk() {
  const std::string source = selectedDiskPath();
  if (source.empty()) return;
  QTreeWidgetItem* item = tree_->currentItem();
  if (item->data(0, kKindRole).toInt() == kPartitionItem) item = item->parent();
  auto* dlg = new ImageDiskDialog(source, item->text(0), this);
  dlg->setAttribute(Qt::WA_DeleteOnClose);
  connect(dlg, &ImageDiskDialog::imaged, this, [this](const QString& path) {
    std::error_code ec;
    for (const DeviceEntry& d : DeviceTable::instance().devices())
      if (d.isImage && std::filesystem::equivalent(d.path, path.toStdString(), ec)) return;  // already a drive
    addImage(path);
  });
  imageDialog_ = dlg;
  dlg->open();
}

void DrivePage::openOptions() {
  ScanOptionsDialog dlg(host().app(), mode(), this);
  dlg.exec();
}

void DrivePage::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const bool raw = mode() == kModeRaw;
  paintHeader(p, QStringLiteral("Select a drive"),
              raw ? QStringLiteral("Raw scan: every partition can be searched")
                  : QStringLiteral("Pick the partition the pictures were on"));
  p.setPen(skin::kMutedText);
  p.setFont(skin::uiFont(8, true));
  p.drawText(QRect(14, 54, 300, 20), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("DRIVES AND PARTITIONS"));
  p.drawText(QRect(406, 54, 300, 20), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("PROPERTIES"));
  skin::paintPanel(p, QRect(404, 78, 334, 318));
}

}  // namespace brenix::gui
