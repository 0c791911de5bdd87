// The GUI tests need a QApplication; they run under the offscreen platform
// unless QT_QPA_PLATFORM says otherwise (xcb under Xvfb for screenshots).
#include <gtest/gtest.h>

#include <QApplication>
#include <QStandardPaths>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QStandardPaths::setTestModeEnabled(true);  // settings and help file go to a test folder
  QApplication app(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("Brenix Tests"));
  QApplication::setApplicationName(QStringLiteral("gui_test"));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
