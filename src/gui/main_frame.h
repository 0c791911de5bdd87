#pragma once
// The one window of the program: 750 x 490, no system caption, our own
// 31-pixel caption strip with Minimize and Close, draggable everywhere.
#include <QPoint>
#include <QWidget>

#include "gui/app_context.h"

namespace brenix::gui {

class HomeView;
class SkinButton;

class MainFrame : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kWidth = 750;
  static constexpr int kHeight = 490;
  static constexpr int kCaptionHeight = 31;

  explicit MainFrame(AppContext& app, QWidget* parent = nullptr);

  HomeView* homeView() const { return home_; }
  SkinButton* minimizeButton() const { return minimize_; }
  SkinButton* closeButton() const { return close_; }
  SkinButton* toolsButton() const { return tools_; }
  // Centres the window on the screen's work area.
  void centre();

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseMoveEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;

 private:
  void showToolsMenu();

  HomeView* home_ = nullptr;
  SkinButton* minimize_ = nullptr;
  SkinButton* close_ = nullptr;
  SkinButton* tools_ = nullptr;
  bool dragging_ = false;
  QPoint dragOffset_;
};

}  // namespace brenix::gui
