#include "gui/messages.h"

#include <QApplication>
#include <QMessageBox>

namespace brenix::gui {
namespace {
std::function<void(const MessageRequest&)>& handler() {
  static std::function<void(const MessageRequest&)> h;
  return h;
}
std::function<bool(const MessageRequest&)>& questionHandler() {
  static std::function<bool(const MessageRequest&)> h;
  return h;
}

QMessageBox::Icon boxIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Information: return QMessageBox::Information;
    case MessageIcon::Warning: return QMessageBox::Warning;
    case MessageIcon::Error: return QMessageBox::Critical;
    case MessageIcon::Question: return QMessageBox::Question;
    case MessageIcon::None: break;
  }
  return QMessageBox::NoIcon;
}
}  // namespace

void setQuestionHandlerForTesting(std::function<bool(const MessageRequest&)> h) { questionHandler() = std::move(h); }

bool askYesNo(QWidget* parent, const QString& caption, const QString& text, MessageIcon icon) {
  if (questionHandler()) return questionHandler()(MessageRequest{caption, text, icon, QString()});
  QMessageBox box(parent);
  box.setWindowTitle(caption.isEmpty() ? QApplication::applicationDisplayName() : caption);
  box.setText(text);
  box.setIcon(boxIcon(icon));
  box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

void setMessageHandlerForTesting(std::function<void(const MessageRequest&)> h) { handler() = std::move(h); }

void showMessage(QWidget* parent, const QString& caption, const QString& text, MessageIcon icon,
                 const QString& details) {
  if (handler()) {
    handler()(MessageRequest{caption, text, icon, details});
    return;
  }
  QMessageBox box(parent);
  box.setWindowTitle(caption.isEmpty() ? QApplication::applicationDisplayName() : caption);
  box.setText(text);
  box.setIcon(boxIcon(icon));
  if (!details.isEmpty()) box.setDetailedText(details);
  box.setStandardButtons(QMessageBox::Ok);
  box.exec();
}

}  // namespace brenix::gui
