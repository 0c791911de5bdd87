#include "gui/messages.h"

#include <QApplication>
#include <QMessageBox>

namespace brenix::gui {
namespace {
std::function<void(const MessageRequest&)>& handler() {
  static std::function<void(const MessageRequest&)> h;
  return h;
}
}  // namespace

void setMessageHandlerForTesting(std::function<void(const MessageRequest&)> h) { handler() = std::move(h); }

void showMessage(QWidget* parent, const QString& caption, const QString& text, MessageIcon icon) {
  if (handler()) {
    handler()(MessageRequest{caption, text, icon});
    return;
  }
  QMessageBox box(parent);
  box.setWindowTitle(caption.isEmpty() ? QApplication::applicationDisplayName() : caption);
  box.setText(text);
  switch (icon) {
    case MessageIcon::Information: box.setIcon(QMessageBox::Information); break;
    case MessageIcon::Warning: box.setIcon(QMessageBox::Warning); break;
    case MessageIcon::Error: box.setIcon(QMessageBox::Critical); break;
    case MessageIcon::Question: box.setIcon(QMessageBox::Question); break;
    case MessageIcon::None: break;
  }
  box.setStandardButtons(QMessageBox::Ok);
  box.exec();
}

}  // namespace brenix::gui
