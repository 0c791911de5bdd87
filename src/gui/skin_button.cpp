#include "gui/skin_button.h"

#include <QEnterEvent>
#include <QPainter>
#include <QPainterPath>

#include "gui/skin.h"

namespace brenix::gui {

SkinButton::SkinButton(Style style, const QString& text, QWidget* parent, int id)
    : QAbstractButton(parent), style_(style), id_(id) {
  setText(text);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(style == Style::Minimize || style == Style::Close || style == Style::Menu ? Qt::NoFocus
                                                                                           : Qt::StrongFocus);
  setAttribute(Qt::WA_Hover);
  setFont(skin::uiFont(style == Style::Banner ? 9 : 9, style == Style::Primary));
  if (!text.isEmpty()) setAccessibleName(text);
}

SkinButton::Look SkinButton::look() const {
  if (!isEnabled()) return Look::Disabled;
  if (isDown()) return Look::Pressed;
  if (hover_) return Look::Hover;
  return Look::Normal;
}

QSize SkinButton::sizeHint() const {
  switch (style_) {
    case Style::Minimize:
    case Style::Close:
    case Style::Menu: return {24, 22};
    case Style::Tile: return {255, 96};
    default: {
      const int w = fontMetrics().horizontalAdvance(text()) + 28;
      return {std::max(w, 76), 28};
    }
  }
}

void SkinButton::enterEvent(QEnterEvent* e) {
  hover_ = true;
  update();
  QAbstractButton::enterEvent(e);
}

void SkinButton::leaveEvent(QEvent* e) {
  hover_ = false;
  update();
  QAbstractButton::leaveEvent(e);
}

namespace {

void paintGlyph(QPainter& p, SkinButton::Style style, const QRectF& r, const QColor& c) {
  p.setPen(QPen(c, 1.6, Qt::SolidLine, Qt::RoundCap));
  const QPointF m = r.center();
  switch (style) {
    case SkinButton::Style::Minimize: p.drawLine(QPointF(m.x() - 5, m.y() + 3), QPointF(m.x() + 5, m.y() + 3)); break;
    case SkinButton::Style::Close:
      p.drawLine(QPointF(m.x() - 4.5, m.y() - 4.5), QPointF(m.x() + 4.5, m.y() + 4.5));
      p.drawLine(QPointF(m.x() + 4.5, m.y() - 4.5), QPointF(m.x() - 4.5, m.y() + 4.5));
      break;
    case SkinButton::Style::Menu:
      for (int i = -1; i <= 1; ++i) p.drawLine(QPointF(m.x() - 5, m.y() + 4 * i), QPointF(m.x() + 5, m.y() + 4 * i));
      break;
    default: break;
  }
}

// The picture glyph of a home-page tile: a photo with a mountain, with a
// trash can (deleted) or a disk (formatted) beside it.
void paintTileGlyph(QPainter& p, const QRectF& r, const QColor& c, bool formatted) {
  p.save();
  p.setPen(QPen(c, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  const QRectF photo(r.left(), r.top() + 6, 38, 30);
  p.drawRoundedRect(photo, 3, 3);
  QPainterPath hill;
  hill.moveTo(photo.left() + 3, photo.bottom() - 4);
  hill.lineTo(photo.left() + 14, photo.top() + 14);
  hill.lineTo(photo.left() + 22, photo.bottom() - 10);
  hill.lineTo(photo.left() + 27, photo.top() + 18);
  hill.lineTo(photo.right() - 3, photo.bottom() - 4);
  p.drawPath(hill);
  p.drawEllipse(QPointF(photo.right() - 9, photo.top() + 8), 3, 3);
  const QRectF badge(r.left() + 26, r.top() + 24, 22, 22);
  p.setBrush(c);
  p.setPen(Qt::NoPen);
  p.drawEllipse(badge);
  p.setPen(QPen(QColor(0x1f, 0x7a, 0xe0), 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  const QPointF m = badge.center();
  if (formatted) {
    p.drawRoundedRect(QRectF(m.x() - 6, m.y() - 5, 12, 10), 2, 2);
    p.drawLine(QPointF(m.x() - 3, m.y() + 2), QPointF(m.x() + 3, m.y() + 2));
  } else {
    p.drawLine(QPointF(m.x() - 6, m.y() - 5), QPointF(m.x() + 6, m.y() - 5));
    p.drawRect(QRectF(m.x() - 4.5, m.y() - 3, 9, 9));
    p.drawLine(QPointF(m.x() - 2, m.y() - 7), QPointF(m.x() + 2, m.y() - 7));
  }
  p.restore();
}

}  // namespace

void SkinButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  const Look lk = look();
  switch (style_) {
    case Style::Minimize:
    case Style::Close:
    case Style::Menu: {
      QColor bg = Qt::transparent;
      if (lk == Look::Hover) bg = style_ == Style::Close ? QColor(0xd9, 0x3a, 0x3a) : QColor(255, 255, 255, 40);
      if (lk == Look::Pressed) bg = style_ == Style::Close ? QColor(0xa8, 0x25, 0x25) : QColor(255, 255, 255, 70);
      p.setPen(Qt::NoPen);
      p.setBrush(bg);
      p.drawRoundedRect(r, 4, 4);
      paintGlyph(p, style_, r, lk == Look::Disabled ? skin::kMutedText : skin::kCaptionText);
      return;
    }
    case Style::Banner: {
      QColor bg = Qt::transparent;
      if (lk == Look::Hover) bg = QColor(255, 255, 255, 38);
      if (lk == Look::Pressed) bg = QColor(0, 0, 0, 40);
      p.setPen(Qt::NoPen);
      p.setBrush(bg);
      p.drawRoundedRect(r, 4, 4);
      p.setPen(lk == Look::Disabled ? QColor(255, 255, 255, 110) : QColor(Qt::white));
      p.setFont(font());
      p.drawText(rect(), Qt::AlignCenter, text());
      return;
    }
    case Style::Tile: {
      QColor top = skin::kAccentLight, bottom = skin::kAccent;
      if (lk == Look::Hover) top = top.lighter(112), bottom = bottom.lighter(112);
      if (lk == Look::Pressed) top = skin::kAccentDark, bottom = skin::kAccentDark;
      if (lk == Look::Disabled) top = skin::kDisabled, bottom = skin::kDisabled;
      QLinearGradient g(r.topLeft(), r.bottomLeft());
      g.setColorAt(0, top);
      g.setColorAt(1, bottom);
      p.setPen(Qt::NoPen);
      p.setBrush(g);
      p.drawRoundedRect(r.adjusted(0, lk == Look::Pressed ? 1 : 0, 0, 0), 10, 10);
      paintTileGlyph(p, QRectF(16, 22, 50, 50), Qt::white, id_ % 2 == 1);
      p.setPen(Qt::white);
      p.setFont(skin::uiFont(12, true));
      p.drawText(QRect(80, 14, width() - 90, 28), Qt::AlignLeft | Qt::AlignVCenter, text());
      p.setFont(skin::uiFont(9));
      p.setPen(QColor(0xe6, 0xf0, 0xfc));
      p.drawText(QRect(80, 42, width() - 92, 44), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, subtitle_);
      return;
    }
    case Style::Primary:
    case Style::Secondary: {
      const bool primary = style_ == Style::Primary;
      QColor bg = primary ? skin::kAccent : QColor(Qt::white);
      QColor border = primary ? skin::kAccent : skin::kPanelBorder;
      QColor fg = primary ? QColor(Qt::white) : skin::kText;
      if (lk == Look::Hover) {
        bg = primary ? skin::kAccentLight : QColor(0xee, 0xf4, 0xfc);
        border = primary ? skin::kAccentLight : skin::kAccent;
      } else if (lk == Look::Pressed) {
        bg = primary ? skin::kAccentDark : QColor(0xdd, 0xe8, 0xf7);
        border = primary ? skin::kAccentDark : skin::kAccentDark;
      } else if (lk == Look::Disabled) {
        bg = QColor(0xee, 0xf0, 0xf3);
        border = skin::kDisabled;
        fg = QColor(0xa0, 0xa8, 0xb2);
      }
      p.setPen(QPen(border, 1));
      p.setBrush(bg);
      p.drawRoundedRect(r, 5, 5);
      if (hasFocus() && lk != Look::Disabled) {
        p.setPen(QPen(primary ? QColor(255, 255, 255, 160) : skin::kAccentLight, 1, Qt::DotLine));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(r.adjusted(2.5, 2.5, -2.5, -2.5), 3, 3);
      }
      p.setPen(fg);
      p.setFont(font());
      p.drawText(rect().translated(0, lk == Look::Pressed ? 1 : 0), Qt::AlignCenter, text());
      return;
    }
  }
}

}  // namespace brenix::gui
