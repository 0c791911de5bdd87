#include "gui/unreadable_notice.h"

#include <QTimer>

#include "common/text.h"
#include "disk/read_errors.h"
#include "gui/skin.h"

namespace brenix::gui {

QString unreadableSectorsText(uint64_t sectors) {
  if (sectors == 0) return {};
  return QString::fromStdString(format(kUnreadableSectorsFormat, static_cast<unsigned long long>(sectors)));
}

UnreadableNotice::UnreadableNotice(std::string devicePath, QWidget* parent)
    : QLabel(parent), devicePath_(std::move(devicePath)) {
  setObjectName(QStringLiteral("UnreadableNotice"));
  setFont(skin::uiFont(8, true));
  setStyleSheet(QStringLiteral("color:#b3261e;"));
  setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  hide();
  timer_ = new QTimer(this);
  timer_->setInterval(1000);
  connect(timer_, &QTimer::timeout, this, &UnreadableNotice::refresh);
  timer_->start();
  refresh();
}

void UnreadableNotice::refresh() {
  const uint64_t n = devicePath_.empty() ? 0 : ReadErrorLog::instance().count(devicePath_);
  if (n == sectors_ && (n == 0) == isHidden()) return;
  sectors_ = n;
  setText(unreadableSectorsText(n));
  setToolTip(n ? QStringLiteral("The device did not give these sectors back even when read one by one; "
                                "files over them are written with zeros there and marked.")
               : QString());
  setVisible(n > 0);
}

}  // namespace brenix::gui
