#include "gui/photo_options_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>
#include <QStringList>
#include <QVBoxLayout>

namespace brenix::gui {

PhotoChoices defaultPhotoChoices(FilePreset preset) {
  PhotoChoices c;
  if (preset == FilePreset::Pictures) {
    c.minWidth = 160;
    c.minHeight = 120;
  }
  return c;
}

QString photoCountsText(const PhotoCounts& counts, const PhotoChoices& choices) {
  QStringList lines;
  // "1 picture<what> was <done>." / "2 pictures<what> were <done>."
  auto line = [&lines](uint64_t n, const char* noun, const QString& what, const QString& done) {
    if (n == 0) return;
    lines << QStringLiteral("%1 %2%3%4 %5 %6.")
                 .arg(n)
                 .arg(QString::fromLatin1(noun), QString::fromLatin1(n == 1 ? "" : "s"), what,
                      QString::fromLatin1(n == 1 ? "was" : "were"), done);
  };
  const QString leftOut = QStringLiteral("left out");
  line(counts.broken - counts.brokenLeftOut, "broken picture", QString(),
       QStringLiteral("written into the \"broken\" folder"));
  line(counts.brokenLeftOut, "broken picture", QString(), leftOut);
  line(counts.fewPixels, "picture", QStringLiteral(" smaller than %1 x %2 pixels").arg(choices.minWidth).arg(choices.minHeight),
       leftOut);
  line(counts.tooSmall, "file", QStringLiteral(" of fewer than %1 bytes").arg(choices.minSize), leftOut);
  line(counts.duplicates, "repeated picture", QString(), QStringLiteral("left out (the same content was written once)"));
  return lines.join(QLatin1Char('\n'));
}

PhotoOptionsDialog::PhotoOptionsDialog(const PhotoChoices& start, QWidget* parent) : QDialog(parent), start_(start) {
  setObjectName(QStringLiteral("PhotoOptionsDialog"));
  setWindowTitle(QStringLiteral("Found pictures"));
  auto* layout = new QVBoxLayout(this);
  nameByExif_ = new QCheckBox(QStringLiteral("Name pictures by the date taken and the camera"), this);
  nameByExif_->setChecked(start.nameByExif);
  sortByDate_ = new QCheckBox(QStringLiteral("Sort pictures into folders by date (year, then day)"), this);
  sortByDate_->setChecked(start.sortByDate);
  layout->addWidget(nameByExif_);
  layout->addWidget(sortByDate_);

  auto* brokenRow = new QHBoxLayout;
  brokenRow->addWidget(new QLabel(QStringLiteral("Broken pictures:"), this));
  broken_ = new QComboBox(this);
  broken_->addItems({QStringLiteral("Write them into a \"broken\" folder"), QStringLiteral("Leave them out")});
  broken_->setCurrentIndex(start.keepBroken ? 0 : 1);
  brokenRow->addWidget(broken_, 1);
  layout->addLayout(brokenRow);

  auto* pixelRow = new QHBoxLayout;
  minPixels_ = new QCheckBox(QStringLiteral("Leave out pictures smaller than"), this);
  minPixels_->setChecked(start.minWidth > 0 || start.minHeight > 0);
  minWidth_ = new QSpinBox(this);
  minHeight_ = new QSpinBox(this);
  for (QSpinBox* b : {minWidth_, minHeight_}) b->setRange(1, 100000);
  minWidth_->setValue(start.minWidth > 0 ? int(start.minWidth) : 160);
  minHeight_->setValue(start.minHeight > 0 ? int(start.minHeight) : 120);
  pixelRow->addWidget(minPixels_);
  pixelRow->addWidget(minWidth_);
  pixelRow->addWidget(new QLabel(QStringLiteral("x"), this));
  pixelRow->addWidget(minHeight_);
  pixelRow->addWidget(new QLabel(QStringLiteral("pixels"), this));
  pixelRow->addStretch(1);
  layout->addLayout(pixelRow);
  auto enablePixels = [this](bool on) {
    minWidth_->setEnabled(on);
    minHeight_->setEnabled(on);
  };
  enablePixels(minPixels_->isChecked());
  connect(minPixels_, &QCheckBox::toggled, this, enablePixels);

  dedup_ = new QCheckBox(QStringLiteral("Write identical pictures once"), this);
  dedup_->setChecked(start.dedup);
  layout->addWidget(dedup_);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

PhotoChoices PhotoOptionsDialog::choices() const {
  PhotoChoices c = start_;
  c.nameByExif = nameByExif_->isChecked();
  c.sortByDate = sortByDate_->isChecked();
  c.keepBroken = broken_->currentIndex() == 0;
  c.minWidth = minPixels_->isChecked() ? uint32_t(minWidth_->value()) : 0;
  c.minHeight = minPixels_->isChecked() ? uint32_t(minHeight_->value()) : 0;
  c.dedup = dedup_->isChecked();
  return c;
}

}  // namespace brenix::gui
