#include "gui/disk_map_view.h"

#include <QPainter>

#include "gui/skin.h"

namespace brenix::gui {

namespace {
// MapRect holds inclusive-exclusive Windows-style rectangles; QRect wants the last pixel.
QRect toQRect(const rescue::MapRect& r) { return QRect(QPoint(r.left, r.top), QPoint(r.right - 1, r.bottom - 1)); }
// A span's last column is inclusive already.
QRect spanRect(int left, int right, int top, int bottom) {
  return QRect(QPoint(left, top), QPoint(std::max(left, right), bottom - 1));
}
}  // namespace

DiskMapView::DiskMapView(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("diskMap"));  // control 10609
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void DiskMapView::setDisk(const std::optional<PhysicalDisk>& disk, std::vector<PartitionInfo> records) {
  disk_ = disk;
  records_ = std::move(records);
  update();
}

void DiskMapView::setSelected(const std::optional<PartitionInfo>& selected) {
  selected_ = selected;
  update();
}

rescue::DiskMap DiskMapView::layout() const {
  const rescue::MapRect area{0, 0, width(), height()};
  return rescue::layoutDiskMap(area, disk_ ? &*disk_ : nullptr, records_, selected_ ? &*selected_ : nullptr);
}

void DiskMapView::paintEvent(QPaintEvent*) {
  const rescue::DiskMap map = layout();
  QPainter p(this);
  p.fillRect(rect(), skin::fromColorRef(map.frameColour));
  p.fillRect(toQRect(map.fill), skin::fromColorRef(map.fillColour));
  QFont font = skin::uiFont(8);
  p.setFont(font);
  for (const rescue::MapSpan& s : map.spans) {
    const QColor colour = skin::fromColorRef(s.colour);
    p.fillRect(spanRect(s.left, s.right, s.strip.top, s.strip.bottom), colour);
    const QRect box = spanRect(s.whiteBox.left, s.whiteBox.right, s.whiteBox.top, s.whiteBox.bottom);
    p.fillRect(box, Qt::white);
    p.setPen(colour.darker(160));
    p.drawRect(box.adjusted(0, 0, -1, -1));
    p.setPen(skin::kText);
    const QRect textBox(s.textX, s.textY, std::max(0, box.right() - s.textX - 2), box.bottom() - s.textY);
    p.drawText(textBox, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, QString::fromStdString(s.text));
  }
  if (map.selectionBar) {
    const rescue::MapRect& b = *map.selectionBar;
    p.fillRect(spanRect(b.left, b.right, b.top, b.bottom), skin::fromColorRef(map.selectionColour));
  }
}

}  // namespace brenix::gui
