#include "gui/mail_report_page.h"

#include <QHideEvent>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <future>
#include <memory>

#include "gui/help.h"
#include "gui/home_view.h"
#include "gui/mail_pages.h"
#include "gui/overwrite_dialog.h"
#include "gui/skin.h"
#include "gui/skin_button.h"

namespace brenix::gui {

namespace {

// Asks the GUI thread and waits for the answer; gives up (Cancel) when the
// page is being destroyed, so the worker never waits for a page that is gone.
class ReportOverwritePrompt : public OverwritePrompt {
 public:
  ReportOverwritePrompt(MailReportPage* page, const std::atomic<bool>& closing) : page_(page), closing_(closing) {}
  OverwriteAnswer ask(const std::string& destination) override {
    auto promise = std::make_shared<std::promise<OverwriteAnswer>>();
    std::future<OverwriteAnswer> answer = promise->get_future();
    QMetaObject::invokeMethod(
        page_,
        [page = page_, promise, destination] {
          promise->set_value(page->askOverwrite(QString::fromStdString(destination)));
        },
        Qt::QueuedConnection);
    while (answer.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
      if (closing_.load()) return OverwriteAnswer::Cancel;
    return answer.get();
  }

 private:
  MailReportPage* page_;
  const std::atomic<bool>& closing_;
};

}  // namespace

MailReportPage::MailReportPage(HomeView& host, int startedBy, QWidget* parent) : Page(host, startedBy, parent) {
  setObjectName(QStringLiteral("MailReportPage"));
  setFixedSize(750, 459);
  const auto top = addTopButtons({kMailHome, 0, kMailHelp, 0});
  home_ = top[0];
  // The report page has no Properties and About: Home and Help take the right-hand places.
  top[1]->hide();
  top[3]->hide();
  home_->setGeometry(top[2]->geometry());
  top[2]->setGeometry(top[3]->geometry());
  connect(home_, &QAbstractButton::clicked, this, [this] { navigate(kPageHome, 0); });
  connect(top[2], &QAbstractButton::clicked, this, [this] { openHelp(this); });

  log_ = new QPlainTextEdit(this);
  log_->setObjectName(QStringLiteral("mailLog"));  // control 10715
  log_->setGeometry(12, 78, 726, 296);
  log_->setReadOnly(true);
  log_->setLineWrapMode(QPlainTextEdit::NoWrap);
  QFont mono(QStringLiteral("DejaVu Sans Mono"));
  mono.setStyleHint(QFont::Monospace);
  mono.setPointSize(9);
  log_->setFont(mono);
  log_->setStyleSheet(QStringLiteral(
      "QPlainTextEdit{background:white;border:1px solid #d7dde5;border-radius:5px;padding:4px;color:#222b36;}"));

  status_ = new QLabel(this);
  status_->setObjectName(QStringLiteral("mailStatus"));
  status_->setGeometry(14, 380, 724, 24);
  status_->setTextFormat(Qt::PlainText);
  status_->setStyleSheet(QStringLiteral("color:#3b4552;"));
  status_->setText(QStringLiteral("Starting the repair ..."));

  cancel_ = new SkinButton(SkinButton::Style::Secondary, QStringLiteral("Cancel"), this, kMailCancel);
  back_ = new SkinButton(SkinButton::Style::Secondary, QStringLiteral("Back"), this, kMailReportBack);
  next_ = new SkinButton(SkinButton::Style::Primary, QStringLiteral("Next"), this, kMailNext);
  cancel_->setGeometry(12, 414, 84, 30);
  back_->setGeometry(556, 414, 84, 30);
  next_->setGeometry(646, 414, 92, 30);
  connect(cancel_, &QAbstractButton::clicked, this, &MailReportPage::cancel);
  connect(back_, &QAbstractButton::clicked, this, [this] {
    const int page = mode() == kPageOutlookRepair || mode() == kPageOutlookExpressRepair ? mode() : int(kPageHome);
    navigate(page, page == kPageHome ? 1 : kMailReturnFromReport);
  });
  connect(next_, &QAbstractButton::clicked, this, [this] { navigate(kPageHome, 0); });

  // The one-shot start timer: the page is on screen before the work begins.
  startTimer_ = new QTimer(this);
  startTimer_->setObjectName(QStringLiteral("startTimer"));
  startTimer_->setSingleShot(true);
  startTimer_->setInterval(kStartDelayMs);
  connect(startTimer_, &QTimer::timeout, this, &MailReportPage::startWorker);
  startTimer_->start();

  statusTimer_ = new QTimer(this);
  statusTimer_->setInterval(200);
  connect(statusTimer_, &QTimer::timeout, this, &MailReportPage::showStatus);
  updateButtons();
}

MailReportPage::~MailReportPage() {
  closing_ = true;
  runner_.cancel();
  runner_.wait();
}

SkinButton* MailReportPage::button(int id) const {
  for (auto* b : findChildren<SkinButton*>())
    if (b->id() == id) return b;
  return nullptr;
}

QString MailReportPage::logText() const { return log_->toPlainText(); }
QString MailReportPage::statusText() const { return status_->text(); }

void MailReportPage::startWorker() {
  startTimer_->stop();
  if (started_) return;
  started_ = true;
  working_ = true;
  // The worker gets its own copy: nothing the pages do can change it under its feet.
  const mail::RepairJob job = host().app().mailJob;
  Progress& progress = host().app().ctx.progress;
  progress.reset();
  progress.setStatus(std::string());
  progress.setTitle("Repairing Mail Files ...");
  auto summary = std::make_shared<mail::RepairSummary>();
  const bool ok = runner_.start([this, job, summary, &progress, gate = gate_](RunningFlag& running) {
    if (gate) gate();
    ReportOverwritePrompt prompt(this, closing_);
    *summary = mail::runRepairJob(job, progress, running, prompt, [this](const std::string& block) {
      QMetaObject::invokeMethod(
          this, [this, text = QString::fromStdString(block)] { appendBlock(text); }, Qt::QueuedConnection);
    });
    QMetaObject::invokeMethod(
        this,
        [this, summary] {
          summary_ = *summary;
          workerDone();
        },
        Qt::QueuedConnection);
  });
  if (!ok) {
    working_ = false;
    finished_ = true;
  }
  statusTimer_->start();
  updateButtons();
  showStatus();
}

void MailReportPage::cancel() {
  if (!working_) return;
  runner_.cancel();
  stopping_ = true;
  status_->setText(QStringLiteral("Stopping ..."));
  updateButtons();
}

OverwriteAnswer MailReportPage::askOverwrite(const QString& destination) {
  if (overwriteHandler_) return overwriteHandler_(destination);
  return OverwriteDialog::ask(destination, this);
}

void MailReportPage::appendBlock(const QString& block) {
  // The box shows the whole report so far after each file.
  text_ += block;
  log_->setPlainText(text_);
  log_->verticalScrollBar()->setValue(log_->verticalScrollBar()->maximum());
}

void MailReportPage::workerDone() {
  runner_.wait();
  working_ = false;
  finished_ = true;
  statusTimer_->stop();
  showStatus();
  updateButtons();
  emit repairFinished();
}

void MailReportPage::showStatus() {
  if (!started_) return;
  if (finished_) {
    status_->setText(QStringLiteral("%1: %2 repaired, %3 unsupported, %4 failed, %5 skipped")
                         .arg(summary_.cancelled ? QStringLiteral("Stopped") : QStringLiteral("Finished"))
                         .arg(summary_.repaired)
                         .arg(summary_.unsupported)
                         .arg(summary_.failed)
                         .arg(summary_.skipped));
    return;
  }
  if (stopping_) return;  // "Stopping ..." stays until the worker ends
  const Progress& progress = host().app().ctx.progress;
  const int total = progress.total();
  const int current = std::min(progress.done() + 1, std::max(total, 1));
  const QString source = QString::fromStdString(progress.status());
  status_->setText(source.isEmpty() ? QStringLiteral("Repairing ...")
                                    : QStringLiteral("Repairing file %1 of %2: %3").arg(current).arg(total).arg(source));
}

void MailReportPage::updateButtons() {
  cancel_->setEnabled(working_ && !stopping_);
  home_->setEnabled(!working_);
  back_->setEnabled(!working_);
  next_->setEnabled(!working_);
}

void MailReportPage::hideEvent(QHideEvent* e) {
  // A page taken down before its timer fired (Back, Home) starts no repair.
  // A minimised window hides its pages too, but only spontaneously.
  if (!e->spontaneous()) startTimer_->stop();
  Page::hideEvent(e);
}

void MailReportPage::paintEvent(QPaintEvent*) {
  QPainter p(this);
  paintHeader(p, QStringLiteral("Repair Report"), QStringLiteral("What became of each file"));
  p.setPen(skin::kMutedText);
  p.setFont(skin::uiFont(8, true));
  p.drawText(QRect(14, 54, 400, 20), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("REPAIR LOG"));
}

}  // namespace brenix::gui
