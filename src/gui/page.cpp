#include "gui/page.h"

#include <QPainter>

#include "gui/home_view.h"
#include "gui/skin.h"
#include "gui/skin_button.h"

namespace brenix::gui {

Page::Page(HomeView& host, int mode, QWidget* parent) : QWidget(parent), host_(host), mode_(mode) {
  setFont(skin::uiFont());
}

void Page::navigate(int pageId, int mode) { host_.navigate(pageId, mode); }

std::array<SkinButton*, 4> Page::addTopButtons(const std::array<int, 4>& ids) {
  static const char* const texts[4] = {"Home", "Properties", "Help", "About"};
  std::array<SkinButton*, 4> out{};
  const int x = 750 - 4 * 84 - 10;
  for (int i = 0; i < 4; ++i) {
    out[size_t(i)] = new SkinButton(SkinButton::Style::Banner, QString::fromLatin1(texts[i]), this, ids[size_t(i)]);
    out[size_t(i)]->setGeometry(x + i * 84, 9, 80, 26);
  }
  return out;
}

void Page::paintHeader(QPainter& p, const QString& title, const QString& subtitle) {
  p.fillRect(rect(), skin::kPage);
  const QRect r(0, 0, width(), 44);
  QLinearGradient g(r.topLeft(), r.topRight());
  g.setColorAt(0, QColor(0x23, 0x4a, 0x7a));
  g.setColorAt(1, QColor(0x1f, 0x7a, 0xe0));
  p.fillRect(r, g);
  skin::paintLogo(p, QRectF(12, 8, 28, 28), Qt::white);
  p.setPen(Qt::white);
  p.setFont(skin::uiFont(11, true));
  const int tw = p.fontMetrics().horizontalAdvance(title);
  p.drawText(QRect(50, 0, tw + 4, 44), Qt::AlignLeft | Qt::AlignVCenter, title);
  p.setPen(QColor(0xdc, 0xe8, 0xf7));
  p.setFont(skin::uiFont(8));
  p.drawText(QRect(50 + tw + 14, 0, 750 - 4 * 84 - 20 - (50 + tw + 14), 44), Qt::AlignLeft | Qt::AlignVCenter,
             subtitle);
}

}  // namespace brenix::gui
