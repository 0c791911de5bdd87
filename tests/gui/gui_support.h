#pragma once
// Helpers of the GUI tests: an event-loop wait, the message recorder, and an
// engine that serves a made-up folder tree from memory.
#include <QImage>
#include <QWidget>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <QAbstractItemView>

#include "gui/messages.h"
#include "results/scan_engine.h"

#include <ostream>

// Readable QStrings in test failures.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace brenix::test {

// Turns the event loop until pred() holds or timeoutMs passes.
bool waitUntil(const std::function<bool()>& pred, int timeoutMs = 5000);

// Records every message box instead of showing it, while alive.
class MessageRecorder {
 public:
  MessageRecorder();
  ~MessageRecorder();
  std::vector<gui::MessageRequest> messages;
  QStringList texts() const;
};

QByteArray encodeImage(int width, int height, const char* format, QColor colour);

// Grabs the widget; with BRENIX_SCREENSHOT_DIR set, saves it there as NAME.png.
QImage screenshot(QWidget* w, const char* name);
// How many distinct colours a picture has (every third pixel): a page that
// drew nothing has one or two.
int distinctColours(const QImage& img);
// Both: the screenshot's distinct colours.
inline int shoot(QWidget* w, const char* name) { return distinctColours(screenshot(w, name)); }

// A results page's file list, read and ticked through its model.
int listRows(const QAbstractItemView* view);
QString listCell(const QAbstractItemView* view, int row, int column = 0);
Qt::CheckState listCheck(const QAbstractItemView* view, int row);
void setListCheck(QAbstractItemView* view, int row, Qt::CheckState state);

// An engine over a fixed tree:
//   root: readme.txt (20 bytes)
//   DCIM: IMG_0001.JPG (40 x 30 JPEG), IMG_0002.png (1600 x 1200 PNG)
//   DCIM/Broken: bad.jpg (1024 bytes that do not decode)
//   Empty
// With slow set, the scan waits until it is cancelled (at most 20 s).
class MemoryEngine : public ScanEngine {
 public:
  explicit MemoryEngine(EngineKind kind = EngineKind::Fat, bool slow = false);
  EngineKind kind() const override { return kind_; }
  ScanResult scan(ScanMode mode, RecoveryContext& ctx, ResultTree& tree, const RunningFlag& running) override;
  bool readItem(const FoundItem& item, std::vector<uint8_t>& out, uint64_t maxBytes) override;
  WriteStatus writeItem(const FoundItem& item, ByteSink& sink, const RunningFlag& running) override;

  // The bytes of each file by name.
  static const std::map<std::string, std::vector<uint8_t>>& files();
  std::atomic<bool> scanStarted{false};

 private:
  EngineKind kind_;
  bool slow_;
};

}  // namespace brenix::test
