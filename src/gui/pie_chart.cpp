#include "gui/pie_chart.h"

#include <QPainter>
#include <cmath>

#include "gui/skin.h"

namespace brenix::gui {

PieChart::PieChart(QWidget* parent) : QWidget(parent) {}

void PieChart::setSlices(std::vector<Slice> slices) {
  slices_ = std::move(slices);
  update();
}

void PieChart::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  double total = 0;
  for (const auto& s : slices_) total += std::max(0.0, s.value);
  const int d = std::min(height() - 4, 120);
  const QRectF pie(2, (height() - d) / 2.0, d, d);
  if (total <= 0) {
    p.setPen(QPen(skin::kPanelBorder, 1.5, Qt::DashLine));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(pie);
  } else {
    int start = 90 * 16;
    int used = 0;
    for (size_t i = 0; i < slices_.size(); ++i) {
      const double v = std::max(0.0, slices_[i].value);
      int span = i + 1 == slices_.size() ? 360 * 16 - used : int(std::lround(v / total * 360 * 16));
      span = std::min(span, 360 * 16 - used);
      p.setPen(QPen(Qt::white, 1.5));
      p.setBrush(slices_[i].colour);
      if (span > 0) p.drawPie(pie, start, -span);
      start -= span;
      used += span;
    }
    // A ring look: white hole in the middle.
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(pie.center(), d * 0.28, d * 0.28);
  }
  // Legend.
  p.setFont(skin::uiFont(8));
  const int lx = int(pie.right()) + 16;
  int y = std::max(4, int(pie.top()) + 6);
  for (const auto& s : slices_) {
    if (y + 16 > height()) break;
    p.setPen(Qt::NoPen);
    p.setBrush(s.colour);
    p.drawRoundedRect(QRectF(lx, y + 3, 10, 10), 2, 2);
    p.setPen(skin::kText);
    p.drawText(QRect(lx + 16, y, width() - lx - 16, 16), Qt::AlignLeft | Qt::AlignVCenter,
               p.fontMetrics().elidedText(s.label, Qt::ElideRight, width() - lx - 16));
    y += 18;
  }
}

}  // namespace brenix::gui
