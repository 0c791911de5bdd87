#include "gui/main_frame.h"

#include <QGuiApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>

#include "gui/home_view.h"
#include "gui/skin.h"
#include "gui/skin_button.h"

namespace brenix::gui {

MainFrame::MainFrame(AppContext& app, QWidget* parent) : QWidget(parent, Qt::Window | Qt::FramelessWindowHint) {
  setObjectName(QStringLiteral("CMainFrame"));
  setWindowTitle(QString::fromLatin1(kWindowTitle));
  setFixedSize(kWidth, kHeight);
  setFont(skin::uiFont());

  minimize_ = new SkinButton(SkinButton::Style::Minimize, QString(), this, 1001);
  minimize_->setGeometry(kWidth - 83, 8, 24, 22);
  minimize_->setToolTip(QStringLiteral("Minimize"));
  close_ = new SkinButton(SkinButton::Style::Close, QString(), this, 1002);
  close_->setGeometry(kWidth - 40, 8, 24, 22);
  close_->setToolTip(QStringLiteral("Close"));
  tools_ = new SkinButton(SkinButton::Style::Menu, QString(), this);
  tools_->setGeometry(kWidth - 126, 8, 24, 22);
  tools_->setToolTip(QStringLiteral("More tools"));
  connect(minimize_, &QAbstractButton::clicked, this, &QWidget::showMinimized);
  connect(close_, &QAbstractButton::clicked, this, &QWidget::close);
  connect(tools_, &QAbstractButton::clicked, this, &MainFrame::showToolsMenu);

  home_ = new HomeView(app, this);
  home_->move(0, kCaptionHeight);
  centre();
}

void MainFrame::centre() {
  if (const QScreen* s = QGuiApplication::primaryScreen()) {
    const QRect g = s->geometry();
    move(g.left() + (g.width() - kWidth) / 2, g.top() + (g.height() - kHeight) / 2);
  }
}

void MainFrame::showToolsMenu() {
  QMenu menu(this);
  menu.addAction(QStringLiteral("Raw Signature Scan..."), this, [this] { home_->navigate(kPageDrive, kModeRaw); });
  menu.addAction(QStringLiteral("Partition Rescue..."), this, [this] { home_->navigate(kPageTask, kModeRescue); });
  menu.addSeparator();
  menu.addAction(QStringLiteral("Outlook Mail Repair..."), this,
                 [this] { home_->navigate(kPageOutlookRepair, 0); });
  menu.addAction(QStringLiteral("Outlook Express Mail Repair..."), this,
                 [this] { home_->navigate(kPageOutlookExpressRepair, 0); });
  menu.exec(mapToGlobal(QPoint(tools_->x(), tools_->geometry().bottom() + 2)));
}

void MainFrame::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(QRect(0, 0, kWidth, kCaptionHeight), skin::kCaption);
  skin::paintLogo(p, QRectF(9, 6, 19, 19), skin::kCaptionText);
  p.setPen(skin::kCaptionText);
  p.setFont(skin::uiFont(9, true));
  p.drawText(QRect(36, 0, 400, kCaptionHeight), Qt::AlignLeft | Qt::AlignVCenter, windowTitle());
  p.fillRect(QRect(0, kCaptionHeight, kWidth, kHeight - kCaptionHeight), skin::kPage);
}

// The whole window drags: presses that no control takes reach the frame.
void MainFrame::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return;
  if (windowHandle() && windowHandle()->startSystemMove()) return;
  dragging_ = true;
  dragOffset_ = e->globalPosition().toPoint() - frameGeometry().topLeft();
}

void MainFrame::mouseMoveEvent(QMouseEvent* e) {
  if (dragging_ && (e->buttons() & Qt::LeftButton)) move(e->globalPosition().toPoint() - dragOffset_);
}

void MainFrame::mouseReleaseEvent(QMouseEvent*) { dragging_ = false; }

}  // namespace brenix::gui
