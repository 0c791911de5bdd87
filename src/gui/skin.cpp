#include "gui/skin.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace brenix::gui::skin {

QFont uiFont(int pointSize, bool bold) {
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setPointSize(pointSize);
  f.setBold(bold);
  f.setStyleHint(QFont::SansSerif);
  return f;
}

QColor fromColorRef(uint32_t c) { return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF)); }

void paintBanner(QPainter& p, const QRect& r, const QString& title, const QString& subtitle) {
  p.save();
  QLinearGradient g(r.topLeft(), r.topRight());
  g.setColorAt(0, QColor(0x23, 0x4a, 0x7a));
  g.setColorAt(1, QColor(0x1f, 0x7a, 0xe0));
  p.fillRect(r, g);
  // A few soft circles give the banner some depth.
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 255, 255, 18));
  p.drawEllipse(QPointF(r.right() - 90, r.top() + 10), 90, 90);
  p.drawEllipse(QPointF(r.right() - 210, r.bottom() + 30), 70, 70);
  paintLogo(p, QRectF(r.left() + 18, r.top() + (r.height() - 48) / 2.0, 48, 48), Qt::white);
  p.setPen(Qt::white);
  p.setFont(uiFont(15, true));
  p.drawText(QRect(r.left() + 80, r.top() + 14, r.width() - 100, 34), Qt::AlignLeft | Qt::AlignVCenter, title);
  p.setPen(QColor(0xdc, 0xe8, 0xf7));
  p.setFont(uiFont(9));
  p.drawText(QRect(r.left() + 80, r.top() + 48, r.width() - 100, 22), Qt::AlignLeft | Qt::AlignVCenter, subtitle);
  p.restore();
}

void paintPanel(QPainter& p, const QRect& r) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(kPanelBorder, 1));
  p.setBrush(kPanel);
  p.drawRoundedRect(QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
  p.restore();
}

void paintLogo(QPainter& p, const QRectF& r, const QColor& colour) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  const double s = r.width() / 48.0;
  p.translate(r.topLeft());
  p.scale(s, s);
  QPen pen(colour, 3);
  pen.setJoinStyle(Qt::RoundJoin);
  p.setPen(pen);
  p.setBrush(Qt::NoBrush);
  QPainterPath body;
  body.addRoundedRect(QRectF(4, 12, 40, 28), 5, 5);
  p.drawPath(body);
  p.drawRect(QRectF(16, 7, 14, 5));
  p.drawEllipse(QPointF(24, 26), 8, 8);
  // The recovery arrow inside the lens.
  p.setPen(QPen(colour, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawArc(QRectF(19.5, 21.5, 9, 9), 90 * 16, 270 * 16);
  p.drawLine(QPointF(24, 21.5), QPointF(26.5, 19.5));
  p.drawLine(QPointF(24, 21.5), QPointF(26.5, 23.5));
  p.restore();
}

}  // namespace brenix::gui::skin
