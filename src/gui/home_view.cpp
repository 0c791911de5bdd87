#include "gui/home_view.h"

#include <QListWidget>
#include <QPainter>

#include "disk/fs_kind.h"
#include "gui/drive_page.h"
#include "gui/help.h"
#include "gui/messages.h"
#include "gui/page.h"
#include "gui/skin.h"
#include "gui/skin_button.h"

namespace brenix::gui {

namespace {
const char* const kDriveFailed = "It was failed to create drive view window!!";

struct EntryText {
  const char* title;
  const char* subtitle;
};
// Entries 600..606; the first two are the ones the home page offers.
const EntryText kEntries[HomeView::kEntryCount] = {
    {"Photo Recovery", "Recover photos from a deleted volume"},
    {"Photo Recovery", "Recover photos from a formatted volume"},
    {"Mail Recovery", "Recover mail files from a deleted volume"},
    {"Mail Recovery", "Recover mail files from a formatted volume"},
    {"", ""},
    {"", ""},
    {"", ""},
};
}  // namespace

HomeView::HomeView(AppContext& app, QWidget* parent) : QWidget(parent), app_(app) {
  setObjectName(QStringLiteral("CHomeView"));
  setFixedSize(750, 459);
  setAutoFillBackground(false);

  const char* const tops[4] = {"Home", "Properties", "Help", "About"};
  int x = 750 - 4 * 84 - 10;
  for (int i = 0; i < 4; ++i) {
    auto* b = new SkinButton(SkinButton::Style::Banner, QString::fromLatin1(tops[i]), this, 1011 + i);
    b->setGeometry(x + i * 84, 8, 80, 26);
    topButtons_[size_t(i)] = b;
  }
  connect(topButtons_[0], &QAbstractButton::clicked, this, [this] { navigate(kPageHome, 0); });
  connect(topButtons_[1], &QAbstractButton::clicked, this, [this] { setListState(kNothingChosen); });
  connect(topButtons_[2], &QAbstractButton::clicked, this, [this] { openHelp(this); });
  connect(topButtons_[3], &QAbstractButton::clicked, this, [this] { showAbout(this); });

  taskList_ = new QListWidget(this);
  taskList_->setObjectName(QStringLiteral("taskList"));
  taskList_->setGeometry(10, 128, 150, 315);
  taskList_->setFrameShape(QFrame::NoFrame);
  taskList_->setFont(skin::uiFont(10, true));
  taskList_->setStyleSheet(QStringLiteral(
      "QListWidget{background:transparent;outline:0;}"
      "QListWidget::item{color:#222b36;padding:9px 8px;border-radius:5px;}"
      "QListWidget::item:hover{background:#e3ecf8;}"
      "QListWidget::item:selected{background:#1f7ae0;color:white;}"));
  taskList_->addItem(QStringLiteral("Data Recovery"));
  connect(taskList_, &QListWidget::currentRowChanged, this, [this](int row) {
    // The list-selection notification: -1 when nothing is chosen.
    if (row == 0) setListState(kDataRecoveryChosen);
  });
  connect(taskList_, &QListWidget::itemClicked, this, [this] { setListState(kDataRecoveryChosen); });

  for (int i = 0; i < kEntryCount; ++i) {
    auto* b = new SkinButton(SkinButton::Style::Tile, QString::fromLatin1(kEntries[i].title), this, kFirstEntry + i);
    b->setSubtitle(QString::fromLatin1(kEntries[i].subtitle));
    b->setGeometry(i % 2 == 0 ? 195 : 460, 210, 255, 96);
    b->hide();
    connect(b, &QAbstractButton::clicked, this, [this, id = kFirstEntry + i] { entryChosen(id); });
    entries_[size_t(i)] = b;
  }
  setListState(kNothingChosen);
}

HomeView::~HomeView() { delete page_.data(); }

SkinButton* HomeView::entryButton(int id) const {
  const int i = id - kFirstEntry;
  return i >= 0 && i < kEntryCount ? entries_[size_t(i)] : nullptr;
}

SkinButton* HomeView::homeButton(const QString& text) const {
  for (auto* b : topButtons_)
    if (b->text() == text) return b;
  return nullptr;
}

void HomeView::setListState(int state) {
  listState_ = state;
  const bool chosen = state == kDataRecoveryChosen;
  entries_[0]->setVisible(chosen && pageId_ == kPageHome);
  entries_[1]->setVisible(chosen && pageId_ == kPageHome);
  if (!chosen) {
    taskList_->blockSignals(true);
    taskList_->clearSelection();
    taskList_->setCurrentRow(-1);
    taskList_->blockSignals(false);
  }
  update(QRect(170, 0, 580, 459));
}

void HomeView::entryChosen(int id) {
  if (listState_ != kDataRecoveryChosen) return;
  FilePreset preset = FilePreset::None;
  int mode = 0;
  switch (id) {
    case 600: preset = FilePreset::Pictures, mode = kModeDeleted; break;
    case 601: preset = FilePreset::Pictures, mode = kModeFormatted; break;
    case 602: preset = FilePreset::Mail, mode = kModeDeleted; break;
    case 603: preset = FilePreset::Mail, mode = kModeFormatted; break;
    default: return;
  }
  app_.ctx.preset = FilePreset::None;
  app_.ctx.preset = preset;
  for (auto* b : entries_) b->hide();
  navigate(kPageDrive, mode);
}

void HomeView::showHomeControls(bool show) {
  taskList_->setVisible(show);
  for (auto* b : topButtons_) b->setVisible(show);
  const bool chosen = show && listState_ == kDataRecoveryChosen;
  entries_[0]->setVisible(chosen);
  entries_[1]->setVisible(chosen);
  for (int i = 2; i < kEntryCount; ++i) entries_[size_t(i)]->hide();
}

QWidget* HomeView::createTaskPage(int mode) {
  if (mode == kModeRescue) return app_.externalPages ? app_.externalPages(*this, kPageTask, mode) : nullptr;
  if (makeResultsPage) return makeResultsPage(*this, mode);
  return nullptr;
}

bool HomeView::navigate(int pageId, int mode) {
  if (auto* p = qobject_cast<Page*>(page_.data()); p && p->busy()) return false;
  if (page_) {
    page_->hide();
    page_->deleteLater();
    page_ = nullptr;
  }
  pageId_ = pageId;
  QWidget* next = nullptr;
  const char* failure = nullptr;
  switch (pageId) {
    case kPageHome: break;
    case kPageDrive:
      next = new DrivePage(*this, mode, this);
      failure = kDriveFailed;
      break;
    case kPageTask:
      next = createTaskPage(mode);
      failure = kDriveFailed;
      break;
    case kPageOutlookRepair:
      failure = "It was failed to create Email(OutLook) Repair window!!";
      if (app_.externalPages) next = app_.externalPages(*this, pageId, mode);
      break;
    case kPageOutlookExpressRepair:
      failure = "It was failed to create Email(OutLook Express) Repair window!!";
      if (app_.externalPages) next = app_.externalPages(*this, pageId, mode);
      break;
    case kPageMailReport:
      failure = "It was failed to create Email Report window!!";
      if (app_.externalPages) next = app_.externalPages(*this, pageId, mode);
      break;
    default: break;
  }
  showHomeControls(pageId == kPageHome);
  if (next) {
    next->setParent(this);
    next->setGeometry(rect());
    next->show();
    next->setFocus();
    page_ = next;
  } else if (failure) {
    // A page that could not be made, or a file system no results page serves.
    showMessage(this, QString(), QString::fromLatin1(failure));
  }
  update();
  return next != nullptr || pageId == kPageHome;
}

void HomeView::paintEvent(QPaintEvent*) {
  if (page_) return;
  QPainter p(this);
  p.fillRect(rect(), skin::kPage);
  skin::paintBanner(p, QRect(0, 0, 750, 94), QStringLiteral("Brenix Photo Recovery"),
                    QStringLiteral("Get your lost pictures back - safely, from a copy or straight from the card"));
  // Left panel: the task list.
  p.fillRect(QRect(0, 94, 170, 365), QColor(0xe9, 0xee, 0xf4));
  p.setPen(skin::kMutedText);
  p.setFont(skin::uiFont(8, true));
  p.drawText(QRect(18, 104, 140, 18), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("TASKS"));
  // Right panel: depends on the list state.
  const QRect right(170, 94, 580, 365);
  p.fillRect(right, skin::kPage);
  p.setRenderHint(QPainter::Antialiasing);
  if (listState_ == kNothingChosen) {
    skin::paintLogo(p, QRectF(right.center().x() - 40, right.top() + 70, 80, 80), skin::kDisabled);
    p.setPen(skin::kText);
    p.setFont(skin::uiFont(13, true));
    p.drawText(QRect(right.left(), right.top() + 170, right.width(), 30), Qt::AlignCenter,
               QStringLiteral("Welcome"));
    p.setPen(skin::kMutedText);
    p.setFont(skin::uiFont(9));
    p.drawText(QRect(right.left() + 60, right.top() + 204, right.width() - 120, 60),
               Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap,
               QStringLiteral("Choose \"Data Recovery\" on the left to start. Work on a disk image or another "
                              "copy of the card whenever you can, and never save recovered files to the "
                              "card you recover from."));
  } else {
    p.setPen(skin::kText);
    p.setFont(skin::uiFont(13, true));
    p.drawText(QRect(195, 130, 520, 30), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Data Recovery"));
    p.setPen(skin::kMutedText);
    p.setFont(skin::uiFont(9));
    p.drawText(QRect(195, 160, 520, 40), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
               QStringLiteral("Were the photos deleted, or was the whole card or drive formatted? "
                              "Pick the case that fits."));
    p.drawText(QRect(195, 330, 520, 60), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
               QStringLiteral("Tip: stop using the card or drive now. Every new file written to it can "
                              "overwrite a picture that can still be recovered."));
  }
}

}  // namespace brenix::gui
