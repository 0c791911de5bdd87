#include "gui/filter_dialog.h"

#include <QComboBox>
#include <QDateEdit>
#include <QDoubleValidator>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "gui/skin.h"
#include "results/filter_options.h"

namespace brenix::gui {

FilterDialog::FilterDialog(const ResultFilter& start, QWidget* parent) : QDialog(parent), start_(start) {
  setWindowTitle(QStringLiteral("Set Filter Options..."));
  setFont(skin::uiFont());
  auto* grid = new QGridLayout(this);
  ext_ = new QComboBox(this);
  for (int i = 0; i < 4; ++i) ext_->addItem(QString::fromLatin1(extensionChoiceCaption(i).data(), qsizetype(extensionChoiceCaption(i).size())));
  ext_->setCurrentIndex(std::clamp(start.extensionChoice, 0, 3));
  grid->addWidget(new QLabel(QStringLiteral("Show Files Extention :"), this), 0, 0);
  grid->addWidget(ext_, 0, 1, 1, 2);

  dateMode_ = new QComboBox(this);
  dateMode_->addItems({QStringLiteral("Ignore"), QStringLiteral("Before"), QStringLiteral("After"), QStringLiteral("On")});
  dateMode_->setCurrentIndex(int(start.dateMode));
  date_ = new QDateEdit(this);
  date_->setCalendarPopup(true);
  date_->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
  if (start.date) date_->setDate(QDate(1980 + (start.date >> 9), (start.date >> 5) & 15, start.date & 31));
  else date_->setDate(QDate::currentDate());
  grid->addWidget(new QLabel(QStringLiteral("Show Files With Date :"), this), 1, 0);
  grid->addWidget(dateMode_, 1, 1);
  grid->addWidget(date_, 1, 2, Qt::AlignLeft);

  sizeMode_ = new QComboBox(this);
  sizeMode_->addItems({QStringLiteral("Ignore"), QStringLiteral("Equal"), QStringLiteral("Smaller"),
                       QStringLiteral("Larger"), QStringLiteral("Between")});
  sizeMode_->setCurrentIndex(int(start.sizeMode));
  size1_ = new QLineEdit(start.sizeKb1 ? QString::number(start.sizeKb1) : QString(), this);
  size2_ = new QLineEdit(start.sizeKb2 ? QString::number(start.sizeKb2) : QString(), this);
  for (QLineEdit* f : {size1_, size2_}) {
    auto* v = new QDoubleValidator(0, 1e12, 2, f);
    v->setNotation(QDoubleValidator::StandardNotation);
    v->setLocale(QLocale::c());
    f->setValidator(v);
    f->setFixedWidth(80);
  }
  dash_ = new QLabel(QStringLiteral(" -"), this);
  grid->addWidget(new QLabel(QStringLiteral("Show Files With Size(KB) :"), this), 2, 0);
  grid->addWidget(sizeMode_, 2, 1);
  auto* sizes = new QHBoxLayout();
  sizes->addWidget(size1_);
  sizes->addWidget(dash_);
  sizes->addWidget(size2_);
  sizes->addStretch();
  grid->addLayout(sizes, 2, 2);

  name_ = new QLineEdit(QString::fromStdString(start.name), this);
  grid->addWidget(new QLabel(QStringLiteral("Show Files With Name :"), this), 3, 0);
  grid->addWidget(name_, 3, 1, 1, 2);

  auto* row = new QHBoxLayout();
  row->addStretch();
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  row->addWidget(ok);
  row->addWidget(cancel);
  grid->addLayout(row, 4, 0, 1, 3);
  grid->setColumnStretch(2, 1);
  setMinimumWidth(560);

  connect(dateMode_, &QComboBox::currentIndexChanged, this, &FilterDialog::updateVisibility);
  connect(sizeMode_, &QComboBox::currentIndexChanged, this, [this](int mode) {
    if (mode == 0) {
      size1_->clear();
      size2_->clear();
    }
    updateVisibility();
  });
  updateVisibility();
}

void FilterDialog::updateVisibility() {
  date_->setVisible(dateMode_->currentIndex() != 0);
  const int s = sizeMode_->currentIndex();
  size1_->setVisible(s != 0);
  size2_->setVisible(s == 4);
  dash_->setVisible(s == 4);
}

ResultFilter FilterDialog::filter() const {
  ResultFilter f = start_;
  f.extensionChoice = ext_->currentIndex();
  f.dateMode = static_cast<DateFilterMode>(dateMode_->currentIndex());
  const QDate d = date_->date();
  f.date = dosDate(d.year(), d.month(), d.day());
  f.sizeMode = static_cast<SizeFilterMode>(sizeMode_->currentIndex());
  f.sizeKb1 = parseSizeKb(size1_->text().trimmed().toStdString()).value_or(0);
  f.sizeKb2 = parseSizeKb(size2_->text().trimmed().toStdString()).value_or(0);
  f.name = name_->text().toStdString();
  return f;
}

}  // namespace brenix::gui
