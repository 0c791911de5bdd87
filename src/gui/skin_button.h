#pragma once
// The skinned push button of every page: four looks (normal, pressed, hover,
// disabled) drawn with vector painting, so it is crisp on any screen scale.
#include <QAbstractButton>

namespace brenix::gui {

class SkinButton : public QAbstractButton {
  Q_OBJECT
 public:
  enum class Style {
    Primary,    // filled accent button (Next, Recovery)
    Secondary,  // outlined button (Back, Option, Filter, ...)
    Banner,     // flat text button on a page banner (Home, Properties, Help, About)
    Minimize,   // caption strip glyphs
    Close,
    Menu,
    Tile,       // large entry button of the home page: title, subtitle and a picture glyph
  };
  enum class Look { Normal, Pressed, Hover, Disabled };

  SkinButton(Style style, const QString& text, QWidget* parent = nullptr, int id = 0);

  int id() const { return id_; }
  Style style() const { return style_; }
  void setSubtitle(const QString& s) { subtitle_ = s; update(); }
  QString subtitle() const { return subtitle_; }
  // The look the button has right now.
  Look look() const;

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent*) override;
  void enterEvent(QEnterEvent*) override;
  void leaveEvent(QEvent*) override;

 private:
  Style style_;
  int id_;
  QString subtitle_;
  bool hover_ = false;
};

}  // namespace brenix::gui
