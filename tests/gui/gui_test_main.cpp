// The GUI tests need a QApplication; they run under the offscreen platform
// unless QT_QPA_PLATFORM says otherwise (xcb under Xvfb for screenshots).
//
// No test may wait on a person: a modal dialog or menu that runs its own
// event loop (exec) and is still open after kModalLimitMs fails the running
// test and is closed, so the run goes on instead of hanging.
//
// The scan sessions the results pages keep go to a data folder of the test
// run, emptied before every test, so that no test meets another's session.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <cstdlib>
#include <filesystem>

namespace {

constexpr qint64 kModalLimitMs = 15000;

class ModalWatchdog {
 public:
  ModalWatchdog() {
    QObject::connect(&timer_, &QTimer::timeout, [this] { check(); });
    timer_.start(250);
  }

 private:
  void check() {
    // The tests turn the event loop with processEvents (loop level 0); a
    // deeper level is a dialog's or menu's exec() waiting for an answer.
    QWidget* w = QThread::currentThread()->loopLevel() > 0 ? waiting() : nullptr;
    if (w != open_) {
      open_ = w;
      since_.start();
      return;
    }
    if (!w || since_.elapsed() < kModalLimitMs) return;
    ADD_FAILURE() << "a " << w->metaObject()->className() << " (\"" << w->windowTitle().toStdString()
                  << "\") waited for an answer for " << kModalLimitMs / 1000
                  << " s: the test must answer it (a ...ForTesting hook or a timer)";
    if (auto* dlg = qobject_cast<QDialog*>(w)) dlg->reject();
    else w->close();
    open_ = nullptr;
  }
  static QWidget* waiting() {
    if (QWidget* popup = QApplication::activePopupWidget()) return popup;
    return QApplication::activeModalWidget();
  }

  QTimer timer_;
  QPointer<QWidget> open_;
  QElapsedTimer since_;
};

class FreshDataFolder : public ::testing::EmptyTestEventListener {
 public:
  explicit FreshDataFolder(std::filesystem::path dir) : dir_(std::move(dir)) {}
  void OnTestStart(const ::testing::TestInfo&) override {
    std::error_code ec;
    std::filesystem::remove_all(dir_ / "brenix", ec);
  }

 private:
  std::filesystem::path dir_;
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QStandardPaths::setTestModeEnabled(true);  // settings and help file go to a test folder
  char pattern[] = "/tmp/brenix-gui-data-XXXXXX";
  const char* data = mkdtemp(pattern);
  if (data) setenv("XDG_DATA_HOME", data, 1);
  QApplication app(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("Brenix Tests"));
  QApplication::setApplicationName(QStringLiteral("gui_test"));
  ::testing::InitGoogleTest(&argc, argv);
  if (data) ::testing::UnitTest::GetInstance()->listeners().Append(new FreshDataFolder(data));
  ModalWatchdog watchdog;
  const int status = RUN_ALL_TESTS();
  std::error_code ec;
  if (data) std::filesystem::remove_all(data, ec);
  return status;
}
