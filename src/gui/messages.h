#pragma once
// Every message box of the application goes through here, so tests can read
// (and answer) them instead of a modal box stopping the run.
#include <QString>
#include <functional>

class QWidget;

namespace brenix::gui {

enum class MessageIcon { None, Information, Warning, Error, Question };

struct MessageRequest {
  QString caption;  // empty = the default caption
  QString text;
  MessageIcon icon = MessageIcon::None;
  QString details;  // shown behind the box's "Show Details..." button
};

// Shows a message box with an OK button (and `details` behind a button when given).
void showMessage(QWidget* parent, const QString& caption, const QString& text, MessageIcon icon = MessageIcon::None,
                 const QString& details = QString());

// Replaces the boxes (tests); an empty function restores them.
void setMessageHandlerForTesting(std::function<void(const MessageRequest&)> handler);

// Asks a Yes/No question; true when the answer is Yes. A question the
// application asks before writing anything always goes through here.
bool askYesNo(QWidget* parent, const QString& caption, const QString& text, MessageIcon icon = MessageIcon::Question);

// Answers the questions (tests); an empty function restores the boxes.
void setQuestionHandlerForTesting(std::function<bool(const MessageRequest&)> handler);

}  // namespace brenix::gui
