// The GUI tests need a QApplication; they run under the offscreen platform
// unless QT_QPA_PLATFORM says otherwise (xcb under Xvfb for screenshots).
// The scan sessions the results pages keep go to a data folder of the test
// run, emptied before every test, so that no test meets another's session.
#include <gtest/gtest.h>

#include <QApplication>
#include <QStandardPaths>
#include <cstdlib>
#include <filesystem>

namespace {

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
  const int status = RUN_ALL_TESTS();
  std::error_code ec;
  if (data) std::filesystem::remove_all(data, ec);
  return status;
}
