#include "gui/progress_dialog.h"

#include <QFile>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QTimer>

#include "common/clock.h"
#include "common/text.h"
#include "results/time_estimate.h"
#include "gui/skin.h"
#include "gui/skin_button.h"

namespace brenix::gui {

namespace {
// Bytes this process has read since it started (every thread, the job's
// worker among them); 0 where the system does not say.
uint64_t bytesReadByProcess() {
  QFile io(QStringLiteral("/proc/self/io"));
  if (!io.open(QIODevice::ReadOnly)) return 0;
  for (const QByteArray& line : io.readAll().split('\n'))
    if (line.startsWith("rchar:")) return line.mid(6).trimmed().toULongLong();
  return 0;
}
}  // namespace

ProgressDialog::ProgressDialog(Progress& progress, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint), progress_(progress) {
  setObjectName(QStringLiteral("ProgressDialog"));
  setFixedSize(420, 176);
  setModal(true);
  setFont(skin::uiFont());
  title_ = new QLabel(this);
  title_->setGeometry(15, 8, 390, 26);
  title_->setFont(skin::uiFont(10, true));
  title_->setStyleSheet(QStringLiteral("color:#222b36;"));
  status_ = new QLabel(this);
  status_->setGeometry(15, 46, 390, 20);
  status_->setStyleSheet(QStringLiteral("color:#3b4552;"));
  bar_ = new QProgressBar(this);
  bar_->setGeometry(15, 72, 390, 18);
  bar_->setTextVisible(false);
  bar_->setRange(0, 100);
  bar_->setValue(0);
  bar_->setStyleSheet(QStringLiteral(
      "QProgressBar{border:1px solid #d7dde5;border-radius:4px;background:#eef1f5;}"
      "QProgressBar::chunk{background:#1f7ae0;border-radius:3px;}"));
  elapsed_ = new QLabel(QStringLiteral("Elapsed Time:99:99:99"), this);
  elapsed_->setGeometry(15, 98, 200, 20);
  remaining_ = new QLabel(QStringLiteral("Remaining Time:99:99:99"), this);
  remaining_->setGeometry(215, 98, 190, 20);
  remaining_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  rate_ = new QLabel(this);
  rate_->setGeometry(15, 138, 300, 20);
  for (QLabel* l : {elapsed_, remaining_, rate_}) l->setStyleSheet(QStringLiteral("color:#5f6b7a;"));
  cancel_ = new SkinButton(SkinButton::Style::Secondary, QStringLiteral("Cancel"), this);
  cancel_->setGeometry(321, 134, 84, 28);
  connect(cancel_, &QAbstractButton::clicked, this, &ProgressDialog::reject);

  barTimer_ = new QTimer(this);
  barTimer_->setInterval(300);
  connect(barTimer_, &QTimer::timeout, this, &ProgressDialog::tickBar);
  secondTimer_ = new QTimer(this);
  secondTimer_->setInterval(1000);
  connect(secondTimer_, &QTimer::timeout, this, &ProgressDialog::tickSecond);
}

void ProgressDialog::start(const QString& title) {
  title_->setText(title);
  progress_.reset();
  startTime_ = nowSeconds();
  lastDone_ = 0;
  readAtStart_ = bytesReadByProcess();
  status_->clear();
  rate_->clear();
  bar_->setRange(0, 100);
  bar_->setValue(0);
  elapsed_->setText(QStringLiteral("Elapsed Time:99:99:99"));
  remaining_->setText(QStringLiteral("Remaining Time:99:99:99"));
  cancel_->setEnabled(true);
  barTimer_->start();
  secondTimer_->start();
  if (parentWidget()) {
    const QWidget* w = parentWidget()->window();
    move(w->geometry().center() - QPoint(width() / 2, height() / 2));
  }
  open();
}

void ProgressDialog::finish() {
  barTimer_->stop();
  secondTimer_->stop();
  done(QDialog::Accepted);
}

QString ProgressDialog::title() const { return title_->text(); }
QString ProgressDialog::statusText() const { return status_->text(); }
QString ProgressDialog::elapsedLine() const { return elapsed_->text(); }
QString ProgressDialog::remainingLine() const { return remaining_->text(); }
QString ProgressDialog::rateLine() const { return rate_->text(); }

void ProgressDialog::tickBar() {
  const int32_t total = progress_.total();
  if (total != 0) {
    bar_->setRange(0, std::max(total, 0));
    bar_->setValue(std::clamp(progress_.done(), 0, std::max(total, 0)));
  }
}

void ProgressDialog::tickSecond() {
  const int64_t e = nowSeconds() - startTime_;
  const int32_t total = progress_.total();
  const int32_t done = progress_.done();
  elapsed_->setText(QString::fromStdString(elapsedTimeText(e)));
  const uint64_t bytesTotal = progress_.bytesTotal();
  const int64_t left = bytesTotal > 0 ? remainingSecondsFromBytes(e, bytesTotal, progress_.bytesDone())
                                      : remainingSeconds(e, total, done);
  remaining_->setText(QString::fromStdString(remainingTimeText(left)));
  status_->setText(QString::fromStdString(progress_.status()));
  const uint64_t now = bytesReadByProcess();
  const uint64_t read = now > readAtStart_ ? now - readAtStart_ : 0;
  std::string rate = format("%.1f MB/s", double(read) / (1024.0 * 1024.0) / double(std::max<int64_t>(e, 1)));
  if (progress_.found() >= 0) rate += format(", %lld files found", static_cast<long long>(progress_.found()));
  rate_->setText(QString::fromStdString(rate));
  lastDone_ = done;
}

void ProgressDialog::reject() {
  emit cancelRequested();
  // Show where the job stands now; the worker's own figures keep the real
  // position until it stops.
  tickBar();
  tickSecond();
}

void ProgressDialog::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), QColor(0xf7, 0xf9, 0xfb));
  p.setPen(skin::kPanelBorder);
  p.drawRect(rect().adjusted(0, 0, -1, -1));
  p.fillRect(QRect(1, 1, width() - 2, 3), skin::kAccent);
  // The etched separator under the title.
  p.setPen(QColor(0x80, 0x80, 0x80));
  p.drawLine(15, 36, width() - 15, 36);
  p.setPen(Qt::white);
  p.drawLine(15, 37, width() - 15, 37);
}

}  // namespace brenix::gui
