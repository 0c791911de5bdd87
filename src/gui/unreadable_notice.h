#pragma once
// The line of a results page that says how many sectors of the scanned
// device could not be read ("N sectors could not be read"), the figure the
// command line reports too. Empty and hidden while every read succeeded. It
// follows the read-error log once a second, so a scan or a recovery that
// meets bad sectors shows them as it goes, and once more when a job ends.
#include <QLabel>
#include <string>

class QTimer;

namespace brenix::gui {

class UnreadableNotice : public QLabel {
  Q_OBJECT
 public:
  UnreadableNotice(std::string devicePath, QWidget* parent);
  // Reads the count again now.
  void refresh();
  uint64_t sectors() const { return sectors_; }

 private:
  std::string devicePath_;
  uint64_t sectors_ = 0;
  QTimer* timer_ = nullptr;
};

// "N sectors could not be read", or empty for none.
QString unreadableSectorsText(uint64_t sectors);

}  // namespace brenix::gui
