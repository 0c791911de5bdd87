#include "gui/file_dialogs.h"

#include <QFileDialog>

namespace brenix::gui {
namespace {
std::function<QStringList(const FileDialogRequest&)>& handler() {
  static std::function<QStringList(const FileDialogRequest&)> h;
  return h;
}

QStringList ask(const FileDialogRequest& request) { return handler() ? handler()(request) : QStringList(); }
}  // namespace

void setFileDialogHandlerForTesting(std::function<QStringList(const FileDialogRequest&)> h) { handler() = std::move(h); }

QString qtFilter(const QString& pipeFilter) {
  // "Text|pattern|Text|pattern||": the text of each pair is shown; Qt reads
  // the patterns from inside the text's parentheses, so a text without them
  // gets the pattern appended.
  const QStringList parts = pipeFilter.split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QString& text = parts[i];
    if (text.isEmpty()) break;
    QString pattern = parts[i + 1];
    pattern.replace(QLatin1Char(';'), QLatin1Char(' '));
    filters << (text.contains(QLatin1Char('(')) ? text : text + QStringLiteral(" (") + pattern + QLatin1Char(')'));
  }
  return filters.join(QStringLiteral(";;"));
}

QString chooseOpenFile(QWidget* parent, const QString& caption, const QString& startPath, const QString& filter) {
  if (handler()) {
    const QStringList r = ask({FileDialogKind::OpenFile, caption, startPath, filter});
    return r.isEmpty() ? QString() : r.front();
  }
  return QFileDialog::getOpenFileName(parent, caption, startPath, qtFilter(filter));
}

QStringList chooseOpenFiles(QWidget* parent, const QString& caption, const QString& startPath, const QString& filter) {
  if (handler()) return ask({FileDialogKind::OpenFiles, caption, startPath, filter});
  return QFileDialog::getOpenFileNames(parent, caption, startPath, qtFilter(filter));
}

QString chooseSaveFile(QWidget* parent, const QString& caption, const QString& proposed, const QString& filter) {
  if (handler()) {
    const QStringList r = ask({FileDialogKind::SaveFile, caption, proposed, filter});
    return r.isEmpty() ? QString() : r.front();
  }
  return QFileDialog::getSaveFileName(parent, caption, proposed, qtFilter(filter));
}

QString chooseFolder(QWidget* parent, const QString& caption, const QString& startPath) {
  if (handler()) {
    const QStringList r = ask({FileDialogKind::Folder, caption, startPath, QString()});
    return r.isEmpty() ? QString() : r.front();
  }
  return QFileDialog::getExistingDirectory(parent, caption, startPath);
}

}  // namespace brenix::gui
