#pragma once
// The modal progress dialog of every long job. It never touches the worker:
// it polls the Progress figures on two timers (bar every 300 ms, times,
// status and rate every second) and asks its page to stop with
// cancelRequested. The rate is the bytes the process read since the dialog
// opened (the job's disk reads; the GUI thread reads next to nothing);
// a job that walks a byte range has its remaining time estimated from bytes.
#include <QDialog>
#include <cstdint>

#include "results/progress.h"

class QLabel;
class QProgressBar;
class QTimer;

namespace brenix::gui {

class SkinButton;

class ProgressDialog : public QDialog {
  Q_OBJECT
 public:
  ProgressDialog(Progress& progress, QWidget* parent);

  // Sets the title line, resets total and done, takes the start time, starts
  // the timers and shows the dialog modally (without blocking the caller).
  void start(const QString& title);
  // Called when the worker has ended: stops the timers and closes.
  void finish();

  QString title() const;
  QString statusText() const;
  QString elapsedLine() const;
  QString remainingLine() const;
  // Bytes read of the disk a second and the files found: "12.3 MB/s, 57 files found".
  QString rateLine() const;
  QProgressBar* bar() const { return bar_; }
  SkinButton* cancelButton() const { return cancel_; }

  // Runs one tick of each timer at once (tests).
  void tickBar();
  void tickSecond();
  // Escape asks to cancel; only the worker's end closes the dialog.
  void reject() override;

 signals:
  void cancelRequested();

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  Progress& progress_;
  QLabel* title_ = nullptr;
  QLabel* status_ = nullptr;
  QLabel* elapsed_ = nullptr;
  QLabel* remaining_ = nullptr;
  QLabel* rate_ = nullptr;
  QProgressBar* bar_ = nullptr;
  SkinButton* cancel_ = nullptr;
  QTimer* barTimer_ = nullptr;
  QTimer* secondTimer_ = nullptr;
  int64_t startTime_ = 0;
  int32_t lastDone_ = 0;
  uint64_t readAtStart_ = 0;
};

}  // namespace brenix::gui
