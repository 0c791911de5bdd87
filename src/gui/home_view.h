#pragma once
// The page host and home page. It shows the task list and the entry buttons
// itself (page 101) and creates and destroys the other pages on request.
#include <QPointer>
#include <QWidget>
#include <array>
#include <functional>

#include "gui/app_context.h"

class QListWidget;

namespace brenix::gui {

class SkinButton;

class HomeView : public QWidget {
  Q_OBJECT
 public:
  enum ListState { kNothingChosen = 500, kDataRecoveryChosen = 507 };
  static constexpr int kFirstEntry = 600;
  static constexpr int kEntryCount = 7;

  HomeView(AppContext& app, QWidget* parent);
  ~HomeView() override;

  AppContext& app() { return app_; }

  // The navigation request: page id and mode (for 101, 0 from Home, 1 from Back).
  // Handled at once; the page that asked is hidden now and deleted later.
  bool navigate(int pageId, int mode);

  int currentPageId() const { return pageId_; }
  QWidget* currentPage() const { return page_; }
  int listState() const { return listState_; }

  // Home page controls (tests and the frame).
  QListWidget* taskList() const { return taskList_; }
  SkinButton* entryButton(int id) const;
  SkinButton* homeButton(const QString& text) const;
  // Acts on an entry button (600..606).
  void entryChosen(int id);

  // Makes the results page of a task mode (set by the results pages' module).
  std::function<QWidget*(HomeView&, int mode)> makeResultsPage;

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  void setListState(int state);
  void showHomeControls(bool show);
  QWidget* createTaskPage(int mode);

  AppContext& app_;
  QPointer<QWidget> page_;
  int pageId_ = kPageHome;
  int listState_ = kNothingChosen;
  QListWidget* taskList_ = nullptr;
  std::array<SkinButton*, kEntryCount> entries_{};
  std::array<SkinButton*, 4> topButtons_{};
};

}  // namespace brenix::gui
