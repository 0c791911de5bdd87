#include "gui/mail_pages.h"

#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QTreeWidget>

#include "gui/file_dialogs.h"
#include "gui/help.h"
#include "gui/home_view.h"
#include "gui/mail_report_page.h"
#include "gui/messages.h"
#include "gui/skin.h"
#include "gui/skin_button.h"

namespace brenix::gui {

namespace {

const char* const kNoOutputFolder = "Please choose an existing folder to save the repaired files in.";

QString rowPath(const QTreeWidgetItem* item) {
  return item->text(1) + QLatin1Char('/') + item->text(0);
}

}  // namespace

QString mailFilesFilter(mail::StoreKind kind) {
  return kind == mail::StoreKind::OutlookExpress ? QStringLiteral("Outlook Express files (*.dbx)|*.dbx||")
                                                 : QStringLiteral("Outlook files (*.pst)|*.pst||");
}

MailStorePage::MailStorePage(HomeView& host, int pageId, int mode, QWidget* parent)
    : Page(host, mode, parent),
      pageId_(pageId),
      kind_(pageId == kPageOutlookRepair ? mail::StoreKind::Outlook : mail::StoreKind::OutlookExpress) {
  setObjectName(kind_ == mail::StoreKind::Outlook ? QStringLiteral("OutlookRepairPage")
                                                  : QStringLiteral("OutlookExpressRepairPage"));
  setFixedSize(750, 459);
  const auto top = addTopButtons({kMailHome, kMailProperties, kMailHelp, kMailAbout});
  connect(top[0], &QAbstractButton::clicked, this, [this] { leave(0); });
  connect(top[2], &QAbstractButton::clicked, this, [this] { openHelp(this); });
  connect(top[3], &QAbstractButton::clicked, this, [this] { showAbout(this); });

  list_ = new QTreeWidget(this);
  list_->setObjectName(QStringLiteral("mailFileList"));
  list_->setGeometry(12, 78, 600, 252);
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list_->setHeaderLabels({QStringLiteral("File Name"), QStringLiteral("Folder")});
  list_->setColumnWidth(0, 200);
  list_->header()->setStretchLastSection(true);
  list_->setStyleSheet(QStringLiteral(
      "QTreeView{background:white;border:1px solid #d7dde5;border-radius:5px;outline:0;}"
      "QTreeView::item{padding:2px 0;}"
      "QTreeView::item:selected{background:#d4e5fb;color:#222b36;}"
      "QHeaderView::section{background:#eef1f5;border:0;border-right:1px solid #d7dde5;"
      "border-bottom:1px solid #d7dde5;padding:3px 6px;color:#3b4552;}"));
  connect(list_, &QTreeWidget::itemSelectionChanged, this, &MailStorePage::updateButtons);

  auto* add = new SkinButton(SkinButton::Style::Secondary, QStringLiteral("Add files..."), this, kMailAddFiles);
  add->setGeometry(624, 78, 114, 30);
  remove_ = new SkinButton(SkinButton::Style::Secondary, QStringLiteral("Remove"), this, kMailRemove);
  remove_->setGeometry(624, 116, 114, 30);
  connect(add, &QAbstractButton::clicked, this, &MailStorePage::addFiles);
  connect(remove_, &QAbstractButton::clicked, this, &MailStorePage::removeSelected);

  auto* saveIn = new QLabel(QStringLiteral("Save in:"), this);
  saveIn->setGeometry(14, 348, 70, 28);
  saveIn->setStyleSheet(QStringLiteral("color:#222b36;"));
  folder_ = new QLineEdit(this);
  folder_->setObjectName(QStringLiteral("mailOutputFolder"));
  folder_->setGeometry(84, 348, 528, 28);
  folder_->setPlaceholderText(QStringLiteral("Folder for the repaired copies"));
  auto* browse = new SkinButton(SkinButton::Style::Secondary, QStringLiteral("Browse..."), this, kMailOutputFolder);
  browse->setGeometry(624, 347, 114, 30);
  connect(browse, &QAbstractButton::clicked, this, &MailStorePage::chooseOutputFolder);

  auto* back = new SkinButton(SkinButton::Style::Secondary, QStringLiteral("Back"), this, kMailStoreBack);
  back->setGeometry(556, 414, 84, 30);
  repair_ = new SkinButton(SkinButton::Style::Primary, QStringLiteral("Repair"), this, kMailRepair);
  repair_->setGeometry(646, 414, 92, 30);
  connect(back, &QAbstractButton::clicked, this, [this] { leave(1); });
  connect(repair_, &QAbstractButton::clicked, this, &MailStorePage::repair);

  // Back from the report page: the files of that repair are listed again.
  const mail::RepairJob& job = host.app().mailJob;
  if (mode == kMailReturnFromReport && job.kind == kind_) {
    QStringList sources;
    for (const std::string& s : job.sources) sources << QString::fromStdString(s);
    addPaths(sources);
    folder_->setText(QString::fromStdString(job.outputFolder));
  }
  updateButtons();
}

SkinButton* MailStorePage::button(int id) const {
  for (auto* b : findChildren<SkinButton*>())
    if (b->id() == id) return b;
  return nullptr;
}

QStringList MailStorePage::paths() const {
  QStringList out;
  for (int i = 0; i < list_->topLevelItemCount(); ++i) out << rowPath(list_->topLevelItem(i));
  return out;
}

void MailStorePage::addFiles() {
  QString start;
  if (const int n = list_->topLevelItemCount()) start = list_->topLevelItem(n - 1)->text(1);
  const QStringList chosen = chooseOpenFiles(this, QStringLiteral("Open"), start, mailFilesFilter(kind_));
  addPaths(chosen);
}

void MailStorePage::addPaths(const QStringList& paths) {
  for (const QString& path : paths) {
    // The name after the last separator, and the folder before it.
    const qsizetype cut = path.lastIndexOf(QLatin1Char('/'));
    if (cut < 0 || cut + 1 >= path.size()) continue;  // not a full path to a file
    auto* item = new QTreeWidgetItem(list_, QStringList{path.mid(cut + 1), path.left(cut)});
    item->setToolTip(0, path);
    item->setToolTip(1, path.left(cut));
  }
  updateButtons();
}

void MailStorePage::removeSelected() {
  // The first selected row in list order.
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    if (list_->topLevelItem(i)->isSelected()) {
      delete list_->takeTopLevelItem(i);
      break;
    }
  }
  updateButtons();
}

void MailStorePage::chooseOutputFolder() {
  const QString chosen = chooseFolder(this, QStringLiteral("Save in:"), folder_->text());
  if (!chosen.isEmpty()) folder_->setText(chosen);
}

void MailStorePage::repair() {
  if (list_->topLevelItemCount() == 0) return;
  // An empty or relative folder would put the copies wherever the program
  // happens to run; the copies go only into a folder the user named.
  const QString folder = folder_->text().trimmed();
  if (folder.isEmpty() || QDir::isRelativePath(folder) || !QFileInfo(folder).isDir()) {
    showMessage(this, QStringLiteral("Notice"), QString::fromLatin1(kNoOutputFolder), MessageIcon::Information);
    return;
  }
  mail::RepairJob& job = host().app().mailJob;
  job.clear();
  job.kind = kind_;
  job.outputFolder = folder.toStdString();
  for (const QString& p : paths()) job.sources.push_back(p.toStdString());
  navigate(kPageMailReport, pageId_);
}

void MailStorePage::leave(int mode) {
  host().app().mailJob.clear();
  navigate(kPageHome, mode);
}

void MailStorePage::updateButtons() {
  const bool any = list_->topLevelItemCount() > 0;
  repair_->setEnabled(any);
  remove_->setEnabled(any);
}

void MailStorePage::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const bool express = kind_ == mail::StoreKind::OutlookExpress;
  paintHeader(p, express ? QStringLiteral("Outlook Express Repair") : QStringLiteral("Outlook Repair"),
              express ? QStringLiteral(".dbx folder files") : QStringLiteral(".pst personal folders"));
  p.setPen(skin::kMutedText);
  p.setFont(skin::uiFont(8, true));
  p.drawText(QRect(14, 54, 400, 20), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("FILES TO REPAIR"));
  p.setFont(skin::uiFont(8));
  p.drawText(QRect(14, 380, 724, 26), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap,
             QStringLiteral("The listed files are only read: each repaired copy is written into the folder above."));
}

QWidget* makeMailPage(HomeView& host, int pageId, int mode) {
  switch (pageId) {
    case kPageOutlookRepair:
    case kPageOutlookExpressRepair: return new MailStorePage(host, pageId, mode, &host);
    case kPageMailReport: return new MailReportPage(host, mode, &host);
    default: return nullptr;
  }
}

}  // namespace brenix::gui
