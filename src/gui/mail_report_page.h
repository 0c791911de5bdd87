#pragma once
// Page 109: the mail repair report. 300 ms after it is made the page starts
// the repair worker over the job list the store page left in the application
// context; the worker writes one block per repaired file into the log box.
// The worker runs on its own thread: the window stays live, Cancel stops the
// job, and the overwrite question is asked on the GUI thread.
#include <QString>
#include <atomic>
#include <functional>

#include "gui/page.h"
#include "jobs/job_runner.h"
#include "mail/repair_job.h"
#include "results/recovery_output.h"

class QLabel;
class QPlainTextEdit;
class QTimer;

namespace brenix::gui {

class MailReportPage : public Page {
  Q_OBJECT
 public:
  static constexpr int kStartDelayMs = 300;

  // startedBy: the store page (107 or 108) that Back returns to.
  MailReportPage(HomeView& host, int startedBy, QWidget* parent);
  ~MailReportPage() override;

  bool busy() const override { return working_; }
  bool started() const { return started_; }
  bool finished() const { return finished_; }
  int startedBy() const { return mode(); }
  QPlainTextEdit* logBox() const { return log_; }
  QString logText() const;
  QString statusText() const;
  QTimer* startTimer() const { return startTimer_; }
  SkinButton* button(int id) const;
  const mail::RepairSummary& summary() const { return summary_; }

  // Cancel: the worker stops before the next file (a copy in hand is dropped).
  void cancel();
  // Starts the worker now (the start timer does so after 300 ms).
  void startWorker();

  // The overwrite question, on the GUI thread.
  OverwriteAnswer askOverwrite(const QString& destination);
  // Tests answer the question instead of a person.
  void setOverwriteHandlerForTesting(std::function<OverwriteAnswer(const QString&)> h) {
    overwriteHandler_ = std::move(h);
  }
  // Tests hold the worker: called on the worker thread before the job runs.
  void setWorkerGateForTesting(std::function<void()> gate) { gate_ = std::move(gate); }

 signals:
  void repairFinished();

 protected:
  void paintEvent(QPaintEvent*) override;
  void hideEvent(QHideEvent*) override;

 private:
  void appendBlock(const QString& block);
  void workerDone();
  void updateButtons();
  void showStatus();

  JobRunner runner_;
  std::atomic<bool> closing_{false};
  bool working_ = false;
  bool started_ = false;
  bool stopping_ = false;
  bool finished_ = false;
  mail::RepairSummary summary_;
  QString text_;
  QPlainTextEdit* log_ = nullptr;
  QLabel* status_ = nullptr;
  QTimer* startTimer_ = nullptr;
  QTimer* statusTimer_ = nullptr;
  SkinButton* home_ = nullptr;
  SkinButton* back_ = nullptr;
  SkinButton* next_ = nullptr;
  SkinButton* cancel_ = nullptr;
  std::function<OverwriteAnswer(const QString&)> overwriteHandler_;
  std::function<void()> gate_;
};

}  // namespace brenix::gui
