#pragma once
// The help document shipped with the program, opened in the desktop's
// default viewer, and the About box.
#include <QString>

class QWidget;

namespace brenix::gui {

// Writes the help document to the user's data folder (when missing or
// outdated) and returns its path; empty on failure.
QString helpFilePath();
// Opens the help document; says so in a message when it cannot.
void openHelp(QWidget* parent);
void showAbout(QWidget* parent);

}  // namespace brenix::gui
