#pragma once
// The look of the application, drawn in code so it stays sharp at any scale:
// colours, fonts and the backgrounds shared by the pages.
#include <QColor>
#include <QFont>
#include <QRect>
#include <cstdint>

class QPainter;

namespace brenix::gui::skin {

inline const QColor kCaption{0x1d, 0x2b, 0x3a};
inline const QColor kCaptionText{0xf2, 0xf5, 0xf8};
inline const QColor kAccent{0x1f, 0x7a, 0xe0};
inline const QColor kAccentDark{0x15, 0x5d, 0xb0};
inline const QColor kAccentLight{0x4d, 0x9a, 0xf0};
inline const QColor kPage{0xf4, 0xf6, 0xf9};
inline const QColor kPanel{0xff, 0xff, 0xff};
inline const QColor kPanelBorder{0xd7, 0xdd, 0xe5};
inline const QColor kText{0x22, 0x2b, 0x36};
inline const QColor kMutedText{0x5f, 0x6b, 0x7a};
inline const QColor kDisabled{0xc5, 0xcb, 0xd3};

QFont uiFont(int pointSize = 9, bool bold = false);

// A Windows COLORREF (0x00BBGGRR) as a colour.
QColor fromColorRef(uint32_t colorRef);

// The banner across the top of a page: a gradient with a title and subtitle.
void paintBanner(QPainter& p, const QRect& r, const QString& title, const QString& subtitle);
// A white panel with a thin border and rounded corners.
void paintPanel(QPainter& p, const QRect& r);
// The small camera-and-arrow mark of the product.
void paintLogo(QPainter& p, const QRectF& r, const QColor& colour);

}  // namespace brenix::gui::skin
