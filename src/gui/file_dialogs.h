#pragma once
// The file and folder dialogs of the application, behind one function each so
// tests can answer them. Filters are given in the "Text (*.a)|*.a||" form the
// stored texts use; they are turned into Qt's form here.
#include <QString>
#include <QStringList>
#include <functional>

class QWidget;

namespace brenix::gui {

enum class FileDialogKind { OpenFile, OpenFiles, SaveFile, Folder };

struct FileDialogRequest {
  FileDialogKind kind = FileDialogKind::OpenFile;
  QString caption;
  QString startPath;  // folder, or proposed file for SaveFile
  QString filter;     // "Text (*.a)|*.a|Other (*.b;*.c)|*.b;*.c||"
};

// Qt's filter string for a "Text (*.a)|*.a||" filter.
QString qtFilter(const QString& pipeFilter);

// Each returns an empty result when the user cancels.
QString chooseOpenFile(QWidget* parent, const QString& caption, const QString& startPath, const QString& filter);
QStringList chooseOpenFiles(QWidget* parent, const QString& caption, const QString& startPath, const QString& filter);
QString chooseSaveFile(QWidget* parent, const QString& caption, const QString& proposed, const QString& filter);
QString chooseFolder(QWidget* parent, const QString& caption, const QString& startPath);

// Answers the dialogs (tests); an empty function restores them.
void setFileDialogHandlerForTesting(std::function<QStringList(const FileDialogRequest&)> handler);

}  // namespace brenix::gui
