#pragma once
// Base of every page the home view hosts: it knows its host and its mode.
#include <QWidget>

class QPainter;
#include <array>

namespace brenix::gui {

class HomeView;
class SkinButton;

class Page : public QWidget {
  Q_OBJECT
 public:
  Page(HomeView& host, int mode, QWidget* parent);
  int mode() const { return mode_; }
  HomeView& host() const { return host_; }
  // True while a worker of the page runs; the host does not switch away then.
  virtual bool busy() const { return false; }

 protected:
  // Asks the host for another page (the navigation request).
  void navigate(int pageId, int mode);
  // Home, Properties, Help and About along the top, with these command ids.
  std::array<SkinButton*, 4> addTopButtons(const std::array<int, 4>& ids);
  // The page's header strip with its title.
  void paintHeader(QPainter& p, const QString& title, const QString& subtitle);

 private:
  HomeView& host_;
  int mode_;
};

}  // namespace brenix::gui
