#pragma once
// The mail store repair pages: the Outlook (107) and Outlook Express (108)
// store pages, where the user lists damaged store files and picks the output
// folder, and the report page (109, mail_report_page.h) that repairs them.
// The pages only gather paths; reading and writing the stores is the mail
// core's work.
#include <QString>
#include <QStringList>

#include "gui/page.h"
#include "mail/repair_job.h"

class QLineEdit;
class QTreeWidget;

namespace brenix::gui {

// Command ids of the mail pages.
enum MailCommand : int {
  kMailHome = 10700,
  kMailProperties = 10701,
  kMailHelp = 10702,
  kMailAbout = 10703,
  kMailAddFiles = 10705,
  kMailRemove = 10706,
  kMailOutputFolder = 10707,
  kMailStoreBack = 10709,
  kMailReportBack = 10710,
  kMailRepair = 10711,
  kMailCancel = 10712,
  kMailNext = 10713,
  kMailLog = 10715,
};

// The navigation mode a store page is opened with when the report page's
// Back returns to it: the page shows the files of the last repair again.
inline constexpr int kMailReturnFromReport = 1;

// The open-file dialog's filter of a store kind.
QString mailFilesFilter(mail::StoreKind kind);

class MailStorePage : public Page {
  Q_OBJECT
 public:
  // pageId: kPageOutlookRepair or kPageOutlookExpressRepair.
  MailStorePage(HomeView& host, int pageId, int mode, QWidget* parent);

  int pageId() const { return pageId_; }
  mail::StoreKind kind() const { return kind_; }
  QTreeWidget* fileList() const { return list_; }
  QLineEdit* outputFolderBox() const { return folder_; }
  SkinButton* button(int id) const;
  // The listed files as full paths, in row order.
  QStringList paths() const;

  // Add files: the multi-select open dialog; each chosen path becomes a row.
  void addFiles();
  void addPaths(const QStringList& paths);
  // Remove: deletes the first selected row.
  void removeSelected();
  // The folder browser ("Save in:") into the output-folder box.
  void chooseOutputFolder();
  // Repair: the job list from the rows, then the report page.
  void repair();

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  // Home (mode 0) and Back (mode 1): the job list is emptied first.
  void leave(int mode);
  void updateButtons();

  int pageId_;
  mail::StoreKind kind_;
  QTreeWidget* list_ = nullptr;
  QLineEdit* folder_ = nullptr;
  SkinButton* remove_ = nullptr;
  SkinButton* repair_ = nullptr;
};

// Makes the mail page of a page id (107, 108 or 109); null for other ids.
QWidget* makeMailPage(HomeView& host, int pageId, int mode);

}  // namespace brenix::gui
