// The mail repair pages: the two store pages (file list, Add files, Remove,
// output folder, Repair, Home/Back) and the report page (the worker started
// by its timer, the log, the overwrite question, Cancel, Back and Next).
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

#include "gui/file_dialogs.h"
#include "gui/home_view.h"
#include "gui/mail_pages.h"
#include "gui/mail_report_page.h"
#include "gui/main_frame.h"
#include "gui/overwrite_dialog.h"
#include "gui/skin_button.h"
#include "gui/tool_pages.h"
#include "gui_support.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace brenix::test {
namespace {

using namespace brenix::gui;

QString qs(const fs::path& p) { return QString::fromStdString(p.string()); }

std::vector<uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

// Sorted names in a folder.
std::vector<std::string> namesIn(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

class MailPagesTest : public ::testing::Test {
 protected:
  MailPagesTest() {
    fs::create_directory(src_);
    fs::create_directory(out_);
    registerToolPages(app_);
    frame_ = std::make_unique<MainFrame>(app_);
    frame_->show();
  }
  ~MailPagesTest() override {
    setFileDialogHandlerForTesting({});
    frame_.reset();
  }

  HomeView& home() { return *frame_->homeView(); }

  // A store file of 12 KiB; an Outlook Express one can carry the marker text
  // the repair looks for.
  fs::path store(const std::string& name, bool marker = false) {
    std::vector<uint8_t> bytes(12 * 1024);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7 + name.size());
    if (marker) std::memcpy(bytes.data() + 9409, "LocalStore", 11);
    writeFile(src_ / name, bytes);
    return src_ / name;
  }

  template <class P>
  P* pageAs() {
    return qobject_cast<P*>(home().currentPage());
  }

  // Opens a store page, lists the files through the Add files dialog, picks
  // the output folder through the folder browser and presses Repair.
  MailReportPage* startRepair(int pageId, const std::vector<fs::path>& files) {
    EXPECT_TRUE(home().navigate(pageId, 0));
    auto* page = pageAs<MailStorePage>();
    if (!page) return nullptr;
    setFileDialogHandlerForTesting([&](const FileDialogRequest& r) {
      QStringList answer;
      if (r.kind == FileDialogKind::OpenFiles)
        for (const auto& f : files) answer << qs(f);
      if (r.kind == FileDialogKind::Folder) answer << qs(out_);
      return answer;
    });
    page->button(kMailAddFiles)->click();
    page->button(kMailOutputFolder)->click();
    setFileDialogHandlerForTesting({});
    page->button(kMailRepair)->click();
    return pageAs<MailReportPage>();
  }

  static bool waitFinished(MailReportPage* page) {
    return waitUntil([page] { return page->finished(); }, 10000);
  }

  TempDir tmp_;
  fs::path src_ = tmp_ / "src";
  fs::path out_ = tmp_ / "out";
  AppContext app_;
  std::unique_ptr<MainFrame> frame_;
};

TEST_F(MailPagesTest, StorePagesListFilesAndHandTheJobToTheReportPage) {
  MessageRecorder rec;
  struct Case {
    int pageId;
    mail::StoreKind kind;
    const char* filter;
    const char* ext;
  };
  for (const Case& c : {Case{kPageOutlookExpressRepair, mail::StoreKind::OutlookExpress,
                             "Outlook Express files (*.dbx)|*.dbx||", ".dbx"},
                        Case{kPageOutlookRepair, mail::StoreKind::Outlook, "Outlook files (*.pst)|*.pst||", ".pst"}}) {
    SCOPED_TRACE(c.pageId);
    ASSERT_TRUE(home().navigate(c.pageId, 0));
    auto* page = pageAs<MailStorePage>();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->kind(), c.kind);
    EXPECT_FALSE(page->button(kMailRepair)->isEnabled());

    const fs::path a = store(std::string("a") + c.ext), b = store(std::string("b") + c.ext);
    std::vector<FileDialogRequest> asked;
    setFileDialogHandlerForTesting([&](const FileDialogRequest& r) {
      asked.push_back(r);
      if (r.kind == FileDialogKind::Folder) return QStringList{qs(out_)};
      return asked.size() == 1 ? QStringList{qs(a), qs(b)} : QStringList{qs(a)};
    });
    page->button(kMailAddFiles)->click();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].kind, FileDialogKind::OpenFiles);
    EXPECT_EQ(asked[0].filter, QString::fromLatin1(c.filter));
    QTreeWidget* list = page->fileList();
    ASSERT_EQ(list->topLevelItemCount(), 2);
    EXPECT_EQ(list->topLevelItem(0)->text(0), QString::fromStdString(a.filename().string()));
    EXPECT_EQ(list->topLevelItem(0)->text(1), qs(src_));
    EXPECT_TRUE(page->button(kMailRepair)->isEnabled());

    // Remove takes the first selected row; adding again appends.
    list->topLevelItem(1)->setSelected(true);
    list->topLevelItem(0)->setSelected(true);
    page->button(kMailRemove)->click();
    page->button(kMailAddFiles)->click();
    EXPECT_EQ(page->paths(), (QStringList{qs(b), qs(a)}));

    // No output folder yet: nothing starts.
    page->button(kMailRepair)->click();
    ASSERT_EQ(rec.messages.size(), 1u);
    EXPECT_EQ(rec.messages[0].text, QStringLiteral("Please choose an existing folder to save the repaired files in."));
    EXPECT_EQ(home().currentPage(), page);
    rec.messages.clear();

    page->button(kMailOutputFolder)->click();
    ASSERT_EQ(asked.size(), 3u);
    EXPECT_EQ(asked[2].kind, FileDialogKind::Folder);
    EXPECT_EQ(asked[2].caption, QStringLiteral("Save in:"));
    EXPECT_EQ(page->outputFolderBox()->text(), qs(out_));
    setFileDialogHandlerForTesting({});

    page->button(kMailRepair)->click();
    auto* report = pageAs<MailReportPage>();
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->startedBy(), c.pageId);
    EXPECT_EQ(app_.mailJob.kind, c.kind);
    EXPECT_EQ(app_.mailJob.outputFolder, out_.string());
    EXPECT_EQ(app_.mailJob.sources, (std::vector<std::string>{b.string(), a.string()}));
    EXPECT_EQ(home().currentPageId(), int(kPageMailReport));

    // Back (before the worker started) returns to the store page with the files listed.
    report->button(kMailReportBack)->click();
    auto* again = pageAs<MailStorePage>();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->pageId(), c.pageId);
    EXPECT_EQ(again->paths(), (QStringList{qs(b), qs(a)}));
    EXPECT_EQ(again->outputFolderBox()->text(), qs(out_));
    again->fileList()->topLevelItem(0)->setSelected(true);
    again->button(kMailRemove)->click();
    again->fileList()->topLevelItem(0)->setSelected(true);
    again->button(kMailRemove)->click();
    EXPECT_FALSE(again->button(kMailRepair)->isEnabled());
  }
  EXPECT_TRUE(rec.messages.empty());
  // Nothing was repaired: the worker of a page left before its timer never ran.
  EXPECT_TRUE(namesIn(out_).empty());
}

TEST_F(MailPagesTest, ExistingDestinationAnsweredNoLeavesItAndLogsOneBlock) {
  const fs::path one = store("one.pst"), two = store("two.pst");
  writeFile(out_ / "one.pst", bytesOf("an older copy, kept"));
  MailReportPage* page = startRepair(kPageOutlookRepair, {one, two});
  ASSERT_NE(page, nullptr);
  EXPECT_TRUE(page->startTimer()->isSingleShot());
  EXPECT_EQ(page->startTimer()->interval(), 300);
  EXPECT_FALSE(page->started());
  std::vector<QString> asked;
  page->setOverwriteHandlerForTesting([&](const QString& dest) {
    asked.push_back(dest);
    return OverwriteAnswer::No;
  });
  ASSERT_TRUE(waitFinished(page));

  EXPECT_EQ(asked, std::vector<QString>{qs(out_ / "one.pst")});
  EXPECT_EQ(page->logText(), QStringLiteral("Selected file: ") + qs(two) +
                                 QStringLiteral("\nRepaired\n-------------------------------------------\n"));
  EXPECT_EQ(page->logText().count(QStringLiteral("Selected file: ")), 1);
  EXPECT_EQ(readFile(out_ / "one.pst"), bytesOf("an older copy, kept"));
  std::vector<uint8_t> expected = readFile(two);
  std::memcpy(expected.data(), "!BDN", 4);
  EXPECT_EQ(readFile(out_ / "two.pst"), expected);
  EXPECT_EQ(namesIn(out_), (std::vector<std::string>{"one.pst", "two.pst"}));
  EXPECT_EQ(page->statusText(), QStringLiteral("Finished: 1 repaired, 0 unsupported, 0 failed, 1 skipped"));
  EXPECT_FALSE(page->button(kMailCancel)->isEnabled());

  // Back returns to the Outlook page that started it.
  page->button(kMailReportBack)->click();
  auto* store = pageAs<MailStorePage>();
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->pageId(), int(kPageOutlookRepair));
  EXPECT_EQ(store->paths(), (QStringList{qs(one), qs(two)}));
}

TEST_F(MailPagesTest, EachResultHasItsLineAndNextGoesHome) {
  const fs::path good = store("good.dbx", true), plain = store("plain.dbx"), missing = src_ / "missing.dbx";
  MailReportPage* page = startRepair(kPageOutlookExpressRepair, {good, plain, missing});
  ASSERT_NE(page, nullptr);
  ASSERT_TRUE(waitFinished(page));
  const QString rule = QStringLiteral("-------------------------------------------\n");
  EXPECT_EQ(page->logText(), QStringLiteral("Selected file: ") + qs(good) + QStringLiteral("\nRepaired\n") + rule +
                                 QStringLiteral("Selected file: ") + qs(plain) + QStringLiteral("\nUnsupported format\n") +
                                 rule + QStringLiteral("Selected file: ") + qs(missing) +
                                 QStringLiteral("\nRepair failed\n") + rule);
  EXPECT_EQ(page->logBox()->toPlainText(), page->logText());
  EXPECT_TRUE(page->logBox()->isReadOnly());
  EXPECT_EQ(namesIn(out_), (std::vector<std::string>{"good.dbx", "plain.dbx"}));
  EXPECT_EQ(readFile(out_ / "plain.dbx"), readFile(plain));  // an unsupported copy is kept as read
  // The sources are only read.
  EXPECT_EQ(readFile(good)[0], uint8_t(8));

  page->button(kMailNext)->click();
  EXPECT_EQ(home().currentPageId(), int(kPageHome));
  EXPECT_EQ(home().currentPage(), nullptr);
}

TEST_F(MailPagesTest, HomeAndBackOnAStorePageEmptyTheJobList) {
  for (int pageId : {int(kPageOutlookExpressRepair), int(kPageOutlookRepair)}) {
    for (int buttonId : {int(kMailHome), int(kMailStoreBack)}) {
      SCOPED_TRACE(pageId * 100000 + buttonId);
      app_.mailJob.kind = pageId == kPageOutlookRepair ? mail::StoreKind::Outlook : mail::StoreKind::OutlookExpress;
      app_.mailJob.sources = {(src_ / "x").string(), (src_ / "y").string()};
      app_.mailJob.outputFolder = out_.string();
      ASSERT_TRUE(home().navigate(pageId, kMailReturnFromReport));
      auto* page = pageAs<MailStorePage>();
      ASSERT_NE(page, nullptr);
      EXPECT_EQ(page->fileList()->topLevelItemCount(), 2);
      page->button(buttonId)->click();
      EXPECT_TRUE(app_.mailJob.sources.empty());
      EXPECT_TRUE(app_.mailJob.outputFolder.empty());
      EXPECT_EQ(home().currentPageId(), int(kPageHome));
    }
  }
  // Opened from the tools menu a store page starts empty even with a job pending.
  app_.mailJob.kind = mail::StoreKind::Outlook;
  app_.mailJob.sources = {(src_ / "x").string()};
  ASSERT_TRUE(home().navigate(kPageOutlookRepair, 0));
  EXPECT_EQ(pageAs<MailStorePage>()->fileList()->topLevelItemCount(), 0);
}

TEST_F(MailPagesTest, WorkerRunsOffTheGuiThreadAndCancelStopsIt) {
  const fs::path a = store("a.pst"), b = store("b.pst");
  MailReportPage* page = startRepair(kPageOutlookRepair, {a, b});
  ASSERT_NE(page, nullptr);
  std::atomic<bool> release{false};
  std::atomic<bool> inGate{false};
  std::thread::id workerThread;
  page->setWorkerGateForTesting([&] {
    workerThread = std::this_thread::get_id();
    inGate = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
  ASSERT_TRUE(waitUntil([&] { return inGate.load(); }));

  // The worker is held: the window goes on handling events and input.
  EXPECT_NE(workerThread, std::this_thread::get_id());
  EXPECT_TRUE(page->busy());
  int ticks = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(10);
  EXPECT_TRUE(waitUntil([&] { return ticks >= 5; }, 2000));
  EXPECT_FALSE(page->button(kMailReportBack)->isEnabled());
  EXPECT_FALSE(page->button(kMailNext)->isEnabled());
  EXPECT_FALSE(home().navigate(kPageHome, 0));  // the page is not taken down under its worker
  EXPECT_EQ(home().currentPage(), page);
  ASSERT_TRUE(page->button(kMailCancel)->isEnabled());
  page->button(kMailCancel)->click();
  EXPECT_EQ(page->statusText(), QStringLiteral("Stopping ..."));
  release = true;

  ASSERT_TRUE(waitFinished(page));
  EXPECT_TRUE(page->summary().cancelled);
  EXPECT_TRUE(page->logText().isEmpty());
  EXPECT_TRUE(namesIn(out_).empty());
  EXPECT_TRUE(page->statusText().startsWith(QStringLiteral("Stopped")));
  EXPECT_FALSE(page->button(kMailCancel)->isEnabled());
  EXPECT_TRUE(page->button(kMailNext)->isEnabled());
}

TEST_F(MailPagesTest, OverwriteDialogNamesTheDestinationAndItsCancelEndsTheJob) {
  const fs::path first = store("first.pst"), second = store("second.pst"), third = store("third.pst");
  writeFile(out_ / "second.pst", bytesOf("existing"));
  MailReportPage* page = startRepair(kPageOutlookRepair, {first, second, third});
  ASSERT_NE(page, nullptr);
  // The real dialog: a timer finds it while it is open and presses Cancel.
  QString caption, text;
  QTimer answer;
  QObject::connect(&answer, &QTimer::timeout, [&] {
    auto* dlg = qobject_cast<OverwriteDialog*>(QApplication::activeModalWidget());
    if (!dlg) return;
    caption = dlg->windowTitle();
    for (auto* l : dlg->findChildren<QLabel*>())
      if (!l->text().isEmpty()) text = l->text();
    for (auto* b : dlg->findChildren<SkinButton*>())
      if (b->text() == QStringLiteral("Cancel")) b->click();
  });
  answer.start(20);
  ASSERT_TRUE(waitFinished(page));
  EXPECT_EQ(caption, QStringLiteral("Confirm File Overwrite"));
  EXPECT_TRUE(text.startsWith(QStringLiteral("This folder already contains a file named '") + qs(out_ / "second.pst") +
                              QStringLiteral("'")))
      << text.toStdString();
  EXPECT_EQ(page->logText().count(QStringLiteral("Selected file: ")), 1);
  EXPECT_TRUE(page->logText().startsWith(QStringLiteral("Selected file: ") + qs(first)));
  EXPECT_EQ(readFile(out_ / "second.pst"), bytesOf("existing"));
  EXPECT_EQ(namesIn(out_), (std::vector<std::string>{"first.pst", "second.pst"}));
  EXPECT_TRUE(page->summary().cancelled);
}


TEST(Screenshots, MailPages) {
  TempDir tmp;
  const fs::path mail = tmp / "Mail";
  const fs::path out = tmp / "Repaired";
  fs::create_directories(mail);
  fs::create_directories(out);
  std::vector<uint8_t> dbx(12 * 1024, 0x11);
  std::memcpy(dbx.data() + 9409, "LocalStore", 11);
  for (const char* n : {"Inbox.dbx", "Sent Items.dbx"}) writeFile(mail / n, dbx);
  writeFile(mail / "Deleted Items.dbx", std::vector<uint8_t>(4096, 0x22));
  for (const char* n : {"Outlook.pst", "Archive.pst"}) writeFile(mail / n, std::vector<uint8_t>(8192, 0x33));

  AppContext app;
  registerToolPages(app);
  MainFrame frame(app);
  frame.show();
  HomeView* home = frame.homeView();

  ASSERT_TRUE(home->navigate(kPageOutlookRepair, 0));
  auto* outlook = qobject_cast<MailStorePage*>(home->currentPage());
  ASSERT_NE(outlook, nullptr);
  outlook->addPaths({qs(mail / "Outlook.pst"), qs(mail / "Archive.pst")});
  outlook->outputFolderBox()->setText(qs(out));
  EXPECT_GT(shoot(&frame, "outlook-repair"), 20);

  ASSERT_TRUE(home->navigate(kPageOutlookExpressRepair, 0));
  auto* express = qobject_cast<MailStorePage*>(home->currentPage());
  ASSERT_NE(express, nullptr);
  express->addPaths({qs(mail / "Inbox.dbx"), qs(mail / "Sent Items.dbx"), qs(mail / "Deleted Items.dbx")});
  express->outputFolderBox()->setText(qs(out));
  express->fileList()->topLevelItem(1)->setSelected(true);
  EXPECT_GT(shoot(&frame, "outlook-express-repair"), 20);

  express->button(kMailRepair)->click();
  auto* report = qobject_cast<MailReportPage*>(home->currentPage());
  ASSERT_NE(report, nullptr);
  ASSERT_TRUE(waitUntil([report] { return report->finished(); }, 10000));
  EXPECT_EQ(report->logText().count(QStringLiteral("Selected file: ")), 3);
  EXPECT_GT(shoot(&frame, "mail-report"), 20);
}

}  // namespace
}  // namespace brenix::test
