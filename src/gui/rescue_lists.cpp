#include "gui/rescue_lists.h"

#include <QPainter>
#include <QStyledItemDelegate>
#include <QStylePainter>
#include <cstring>

#include "disk/disk_texts.h"
#include "gui/rescue_icons.h"
#include "gui/skin.h"

namespace brenix::gui {

namespace {

QString qs(std::string_view s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

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
    const QByteArray bytes = index.data(kRescueRecordRole).toByteArray();
    if (bytes.size() != qsizetype(sizeof(PhysicalDisk))) return;
    PhysicalDisk disk = makePhysicalDisk();
    std::memcpy(&disk, bytes.constData(), sizeof disk);
    const bool selected = option.state & QStyle::State_Selected;
    p->save();
    fillItemBackground(p, option, selected);
    const int iconSize = std::min(32, option.rect.height() - 2);
    p->drawPixmap(option.rect.left() + 4, option.rect.top() + (option.rect.height() - iconSize) / 2,
                  rescueDiskIcon(disk.removable != 0, iconSize));
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
    const std::optional<PartitionInfo> rec = partitionRecordOf(index.data(kRescueRecordRole));
    if (!rec) return;
    const bool selected = option.state & QStyle::State_Selected;
    p->save();
    p->fillRect(option.rect, selected ? option.palette.highlight() : option.palette.base());
    const QRect r = option.rect;
    p->drawPixmap(r.left() + 10, r.top() + 5, rescuePartitionIcon(rec->fs()));
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

}  // namespace

std::optional<PartitionInfo> partitionRecordOf(const QVariant& data) {
  const QByteArray bytes = data.toByteArray();
  if (bytes.size() != qsizetype(sizeof(PartitionInfo))) return std::nullopt;
  PartitionInfo rec = makePartitionInfo();
  std::memcpy(&rec, bytes.constData(), sizeof rec);
  return rec;
}

QAbstractItemDelegate* makePartitionItemDelegate(QObject* parent) { return new PartitionItemDelegate(parent); }

DiskComboBox::DiskComboBox(QWidget* parent) : QComboBox(parent) {
  setObjectName(QStringLiteral("diskList"));  // control 10600
  setItemDelegate(new DiskItemDelegate(this));
  setFixedHeight(kFieldHeight);
  setFont(skin::uiFont(8));
}

void DiskComboBox::addDisk(const PhysicalDisk& disk) {
  // The item text stays empty; the delegate and the field draw the record.
  addItem(QString());
  setItemData(count() - 1, recordBytes(disk), kRescueRecordRole);
  setItemData(count() - 1, qs(diskListItemText(disk)), Qt::ToolTipRole);
}

std::optional<PhysicalDisk> DiskComboBox::diskAt(int index) const {
  if (index < 0 || index >= count()) return std::nullopt;
  const QByteArray bytes = itemData(index, kRescueRecordRole).toByteArray();
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
               rescueDiskIcon(disk->removable != 0, iconSize));
  p.setPen(palette().color(QPalette::Text));
  const QRect text = field.adjusted(50, 0, -4, 0);
  p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter,
             fontMetrics().elidedText(qs(diskListItemText(*disk)), Qt::ElideRight, text.width()));
}

}  // namespace brenix::gui
