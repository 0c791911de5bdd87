#include "gui/scan_options_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "gui/messages.h"
#include "raw/raw_types.h"
#include "results/scan_option_rules.h"
#include "gui/skin.h"

namespace brenix::gui {

namespace {
QLineEdit* numberField(QWidget* parent, int64_t value) {
  auto* f = new QLineEdit(QString::number(value), parent);
  f->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{1,19}")), f));
  return f;
}
}  // namespace

ScanOptionsDialog::ScanOptionsDialog(AppContext& app, int mode, QWidget* parent)
    : QDialog(parent), app_(app), mode_(mode) {
  const RecoveryContext& ctx = app.ctx;
  first_ = int64_t(ctx.partitionStart);
  last_ = ctx.partitionEnd > ctx.partitionStart ? int64_t(ctx.partitionEnd) - 1 : first_;
  setWindowTitle(mode == kModeRaw ? QStringLiteral("SetQuickOptions...") : QStringLiteral("Set Quick Options..."));
  auto* outer = new QVBoxLayout(this);
  auto* heading = new QLabel(QStringLiteral("Search by any or all of the criteria below."), this);
  heading->setFont(skin::uiFont(9, true));
  outer->addWidget(heading);
  auto* form = new QFormLayout();
  outer->addLayout(form);

  if (mode == kModeDeleted) {
    name_ = new QLineEdit(QString::fromStdString(ctx.options.nameFilter), this);
    form->addRow(QStringLiteral("File Name :"), name_);
    auto* row = new QHBoxLayout();
    path_ = new QLineEdit(QString::fromStdString(ctx.options.searchFolder), this);
    auto* browse = new QPushButton(QStringLiteral("..."), this);
    browse->setFixedWidth(32);
    // The folder browser only knows folders of a mounted partition.
    browse->setEnabled(!ctx.rootPath.empty());
    connect(browse, &QPushButton::clicked, this, [this] {
      const QString root = QString::fromStdString(app_.ctx.rootPath);
      QString start = path_->text().isEmpty() ? root : path_->text();
      const QString chosen = QFileDialog::getExistingDirectory(this, QStringLiteral("Folder Browser..."), start,
                                                               QFileDialog::ShowDirsOnly);
      if (chosen.isEmpty()) return;
      if (!chosen.startsWith(root)) {
        showMessage(this, QString(), QStringLiteral("Please select a folder to search"));
        return;
      }
      path_->setText(chosen.endsWith(QLatin1Char('/')) ? chosen : chosen + QLatin1Char('/'));
    });
    row->addWidget(path_);
    row->addWidget(browse);
    form->addRow(QStringLiteral("File Path :"), row);
  } else {
    if (mode == kModeFormatted) {
      previous_ = new QComboBox(this);
      const PreviousFsChoices choices = previousFsChoices(ctx.partition.fs());
      for (const auto& e : choices.entries) previous_->addItem(QString::fromStdString(e));
      previous_->setCurrentIndex(choices.selected);
      form->addRow(QStringLiteral("Previous File System :"), previous_);
      carve_ = new QCheckBox(QStringLiteral("Carve the clusters no found file claims"), this);
      carve_->setChecked(ctx.options.carveUnclaimed);
      form->addRow(QString(), carve_);
    } else {
      maxSize_ = numberField(this, ctx.options.rawMaxSizeKb);
      form->addRow(QStringLiteral("Maximal file size(KB) : "), maxSize_);
    }
    const int64_t start = ctx.options.startSector ? int64_t(ctx.options.startSector) : first_;
    const int64_t end = ctx.options.endSector ? int64_t(ctx.options.endSector) - 1 : last_;
    auto addRange = [&](const QString& label, QLineEdit*& field, int64_t value, const QString& hint) {
      auto* row = new QHBoxLayout();
      field = numberField(this, value);
      row->addWidget(field);
      auto* h = new QLabel(hint, this);
      h->setStyleSheet(QStringLiteral("color:#5f6b7a;"));
      row->addWidget(h);
      form->addRow(label, row);
    };
    addRange(QStringLiteral("Start Sector : "), start_, start, QString::fromStdString(startSectorHint(uint64_t(first_))));
    addRange(mode == kModeRaw ? QStringLiteral("End Sector :  ") : QStringLiteral("End Sector : "), end_, end,
             QString::fromStdString(endSectorHint(uint64_t(last_))));
    form->addRow(QStringLiteral("Total Sectors : "),
                 new QLabel(QString::fromStdString(totalSectorsText(uint64_t(first_), uint64_t(last_))), this));
    if (mode == kModeRaw) {
      if (!app.ctx.rawTypes) app.ctx.rawTypes = std::make_shared<RawTypeList>();
      if (app.ctx.rawTypes->empty()) {
        std::string error;
        if (!loadDefaultRawTypes(*app.ctx.rawTypes, &error))
          showMessage(parent, QStringLiteral("Error"), QString::fromStdString(error), MessageIcon::Error);
      }
      std::vector<std::string> descriptions;
      for (const auto& t : app.ctx.rawTypes->types) descriptions.push_back(t->desc());
      typeRows_ = rawTypeRows(descriptions);
      types_ = new QTreeWidget(this);
      types_->setHeaderLabels({QStringLiteral("Extension"), QStringLiteral("Description")});
      types_->setColumnWidth(0, 80);
      types_->setColumnWidth(1, 250);
      types_->setRootIsDecorated(false);
      types_->setSelectionBehavior(QAbstractItemView::SelectRows);
      types_->setMinimumHeight(200);
      for (size_t r : typeRows_) {
        const RawFileType& t = *app.ctx.rawTypes->types[r];
        auto* item = new QTreeWidgetItem(types_, {QString::fromStdString(t.ext()), QString::fromStdString(t.desc())});
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(0, t.selected ? Qt::Checked : Qt::Unchecked);
      }
      form->addRow(QStringLiteral("File Type :"), types_);
      auto* row = new QHBoxLayout();
      auto* all = new QPushButton(QStringLiteral("Select All"), this);
      auto* none = new QPushButton(QStringLiteral("Deselect All"), this);
      auto setAll = [this](bool on) {
        for (int i = 0; i < types_->topLevelItemCount(); ++i)
          types_->topLevelItem(i)->setCheckState(0, on ? Qt::Checked : Qt::Unchecked);
      };
      connect(all, &QPushButton::clicked, this, [setAll] { setAll(true); });
      connect(none, &QPushButton::clicked, this, [setAll] { setAll(false); });
      row->addWidget(all);
      row->addWidget(none);
      row->addStretch();
      form->addRow(QString(), row);
    }
  }

  auto* buttons = new QHBoxLayout();
  buttons->addStretch();
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &ScanOptionsDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &ScanOptionsDialog::reject);
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  outer->addLayout(buttons);
  setMinimumWidth(420);
}

void ScanOptionsDialog::accept() {
  RecoveryContext& ctx = app_.ctx;
  if (mode_ == kModeDeleted) {
    ctx.options.nameFilter = name_->text().toStdString();
    ctx.options.searchFolder = path_->text().toStdString();
    QDialog::accept();
    return;
  }
  const int64_t start = start_->text().toLongLong();
  const int64_t end = end_->text().toLongLong();
  const RangeCheck c = validateSectorRange(uint64_t(std::max<int64_t>(start, 0)), uint64_t(std::max<int64_t>(end, 0)),
                                            uint64_t(first_), uint64_t(last_));
  if (!c.accepted) {
    showMessage(this, QString(), QString::fromStdString(c.message));
    if (c.reset == RangeField::Start) start_->setText(QString::number(c.resetValue));
    if (c.reset == RangeField::End) end_->setText(QString::number(c.resetValue));
    return;
  }
  ctx.options.startSector = uint64_t(start);
  ctx.options.endSector = uint64_t(end) + 1;  // the context keeps the first sector past the range
  if (previous_ && previous_->currentIndex() >= 0) ctx.options.previousFsName = previous_->currentText().toStdString();
  if (carve_) ctx.options.carveUnclaimed = carve_->isChecked();
  if (maxSize_) {
    const uint64_t kb = maxSize_->text().toULongLong();
    if (kb > 0 && kb <= 0xFFFFFFFFu) ctx.options.rawMaxSizeKb = uint32_t(kb);
  }
  if (types_ && ctx.rawTypes) {
    std::vector<std::string> descriptions;
    std::vector<bool> selected;
    for (const auto& t : ctx.rawTypes->types) {
      descriptions.push_back(t->desc());
      selected.push_back(t->selected != 0);
    }
    std::vector<bool> rowChecked;
    for (int i = 0; i < types_->topLevelItemCount(); ++i)
      rowChecked.push_back(types_->topLevelItem(i)->checkState(0) == Qt::Checked);
    applyRawTypeRowChecks(descriptions, typeRows_, rowChecked, selected);
    for (size_t i = 0; i < selected.size(); ++i) ctx.rawTypes->types[i]->selected = selected[i] ? 1 : 0;
    ctx.options.rawTypesPicked = true;
  }
  QDialog::accept();
}

}  // namespace brenix::gui
