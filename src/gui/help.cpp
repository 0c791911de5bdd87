#include "gui/help.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QUrl>
#include <cstdint>
#include <utility>
#include <vector>

#include "gui/app_context.h"
#include "gui/messages.h"

namespace brenix {
std::vector<std::pair<std::string, std::vector<uint8_t>>> helpFiles();
}

namespace brenix::gui {

QString helpFilePath() {
  QString dir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
  if (dir.isEmpty()) dir = QDir::tempPath() + QStringLiteral("/brenix");
  if (!QDir().mkpath(dir)) return {};
  QString first;
  for (const auto& [name, bytes] : helpFiles()) {
    const QString path = dir + QLatin1Char('/') + QString::fromStdString(name);
    if (first.isEmpty()) first = path;
    const QByteArray content(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
    QFile f(path);
    if (f.open(QIODevice::ReadOnly) && f.readAll() == content) continue;
    f.close();
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(content) != content.size()) return {};
  }
  return first;
}

void openHelp(QWidget* parent) {
  const QString path = helpFilePath();
  if (path.isEmpty() || !QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
    showMessage(parent, QStringLiteral("Information"),
                QStringLiteral("The help document could not be opened. It is kept at: ") + path,
                MessageIcon::Information);
}

void showAbout(QWidget* parent) {
  showMessage(parent, QStringLiteral("About"),
              QString::fromLatin1(kWindowTitle) + QStringLiteral("\nVersion ") +
                  QString::fromStdString(versionText()) +
                  QStringLiteral("\n\nFinds deleted photos and files on FAT, NTFS and EXT partitions, or by their "
                                 "content on any partition, and copies them to a safe folder."),
              MessageIcon::Information);
}

}  // namespace brenix::gui
