#include "gui/rescue_icons.h"

#include <QPainter>

#include "disk/fs_kind.h"
#include "gui/skin.h"

namespace brenix::gui {

QPixmap rescueDiskIcon(bool removable, int size) {
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

QPixmap rescuePartitionIcon(const std::string& fsName) {
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

}  // namespace brenix::gui
