#include "gui_support.h"

#include <QApplication>
#include <QDir>

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <chrono>
#include <set>
#include <thread>

namespace brenix::test {

int listRows(const QAbstractItemView* view) { return view->model()->rowCount(); }

QString listCell(const QAbstractItemView* view, int row, int column) {
  return view->model()->index(row, column).data().toString();
}

Qt::CheckState listCheck(const QAbstractItemView* view, int row) {
  return Qt::CheckState(view->model()->index(row, 0).data(Qt::CheckStateRole).toInt());
}

void setListCheck(QAbstractItemView* view, int row, Qt::CheckState state) {
  view->model()->setData(view->model()->index(row, 0), state, Qt::CheckStateRole);
}


bool waitUntil(const std::function<bool()>& pred, int timeoutMs) {
  QElapsedTimer t;
  t.start();
  while (!pred()) {
    if (t.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
  return true;
}

MessageRecorder::MessageRecorder() {
  gui::setMessageHandlerForTesting([this](const gui::MessageRequest& r) { messages.push_back(r); });
}
MessageRecorder::~MessageRecorder() { gui::setMessageHandlerForTesting({}); }
QStringList MessageRecorder::texts() const {
  QStringList out;
  for (const auto& m : messages) out << m.text;
  return out;
}

QByteArray encodeImage(int width, int height, const char* format, QColor colour) {
  QImage img(width, height, QImage::Format_RGB32);
  img.fill(colour);
  QByteArray bytes;
  QBuffer buf(&bytes);
  buf.open(QIODevice::WriteOnly);
  img.save(&buf, format);
  return bytes;
}

namespace {
std::vector<uint8_t> toVector(const QByteArray& a) { return {a.begin(), a.end()}; }
}  // namespace

const std::map<std::string, std::vector<uint8_t>>& MemoryEngine::files() {
  static const std::map<std::string, std::vector<uint8_t>> f = [] {
    std::map<std::string, std::vector<uint8_t>> m;
    const std::string text = "twenty bytes of text";
    m["readme.txt"] = std::vector<uint8_t>(text.begin(), text.end());
    m["IMG_0001.JPG"] = toVector(encodeImage(40, 30, "JPEG", QColor(200, 40, 40)));
    m["IMG_0002.png"] = toVector(encodeImage(1600, 1200, "PNG", QColor(30, 160, 60)));
    m["bad.jpg"] = std::vector<uint8_t>(1024, 0x5A);
    return m;
  }();
  return f;
}

MemoryEngine::MemoryEngine(EngineKind kind, bool slow) : kind_(kind), slow_(slow) {}

ScanResult MemoryEngine::scan(ScanMode, RecoveryContext& ctx, ResultTree& tree, const RunningFlag& running) {
  scanStarted = true;
  tree.setRootName("FAT32 - Logical Disk (*:)");
  ctx.progress.setTotal(4);
  if (slow_) {
    ctx.progress.setStatus("Found Deleted Files : 0");
    for (int i = 0; i < 2000 && running.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!running.load()) return {};
  }
  auto add = [&](ResultFolder& folder, const std::string& name) {
    FoundItem item;
    item.name = name;
    item.size = files().at(name).size();
    item.attributes = 0x20;
    item.attributeText = "A";
    item.modified = item.created = (uint64_t(((2024 - 1980) << 9) | (5 << 5) | 17) << 16) | (10 << 11);
    item.accessed = uint64_t(((2024 - 1980) << 9) | (5 << 5) | 17) << 16;
    item.deleted = true;
    tree.addItem(folder, item);
  };
  add(tree.root(), "readme.txt");
  ResultFolder& dcim = tree.addFolder(tree.root(), "DCIM");
  add(dcim, "IMG_0001.JPG");
  add(dcim, "IMG_0002.png");
  ResultFolder& broken = tree.addFolder(dcim, "Broken");
  add(broken, "bad.jpg");
  tree.addFolder(tree.root(), "Empty");
  ctx.progress.setDone(4);
  ctx.progress.setStatus("Found Deleted Files : 4");
  return {};
}

bool MemoryEngine::readItem(const FoundItem& item, std::vector<uint8_t>& out, uint64_t maxBytes) {
  auto it = files().find(item.name);
  if (it == files().end()) return false;
  out.assign(it->second.begin(), it->second.begin() + std::ptrdiff_t(std::min<uint64_t>(maxBytes, it->second.size())));
  return true;
}

WriteStatus MemoryEngine::writeItem(const FoundItem& item, ByteSink& sink, const RunningFlag& running) {
  if (!running.load()) return WriteStatus::Cancelled;
  auto it = files().find(item.name);
  if (it == files().end()) return WriteStatus::ReadFailed;
  return sink.write(it->second.data(), it->second.size()) ? WriteStatus::Ok : WriteStatus::WriteFailed;
}

QImage screenshot(QWidget* w, const char* name) {
  QApplication::processEvents();
  const QImage img = w->grab().toImage();
  const QString dir = qEnvironmentVariable("BRENIX_SCREENSHOT_DIR");
  if (!dir.isEmpty()) {
    QDir().mkpath(dir);
    img.save(dir + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png"));
  }
  return img;
}

int distinctColours(const QImage& img) {
  std::set<QRgb> colours;
  for (int y = 0; y < img.height(); y += 3)
    for (int x = 0; x < img.width(); x += 3) colours.insert(img.pixel(x, y));
  return int(colours.size());
}

}  // namespace brenix::test
