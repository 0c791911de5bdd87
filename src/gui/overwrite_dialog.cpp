#include "gui/overwrite_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QStyle>
#include <QVBoxLayout>

#include "gui/skin.h"
#include "gui/skin_button.h"

namespace brenix::gui {

OverwriteDialog::OverwriteDialog(const QString& fileName, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromLatin1(kOverwriteCaption));
  setFont(skin::uiFont());
  auto* outer = new QVBoxLayout(this);
  auto* top = new QHBoxLayout();
  auto* icon = new QLabel(this);
  icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxQuestion).pixmap(36, 36));
  icon->setAlignment(Qt::AlignTop);
  top->addWidget(icon);
  auto* text = new QLabel(QString::fromStdString(overwriteQuestionText(fileName.toStdString())), this);
  text->setWordWrap(true);
  text->setTextFormat(Qt::PlainText);
  text->setMinimumWidth(340);
  top->addWidget(text, 1);
  outer->addLayout(top);
  auto* row = new QHBoxLayout();
  row->addStretch();
  struct B {
    const char* text;
    OverwriteAnswer answer;
  };
  for (const B& b : {B{"Yes", OverwriteAnswer::Yes}, B{"Yes to All", OverwriteAnswer::YesToAll},
                     B{"No", OverwriteAnswer::No}, B{"Cancel", OverwriteAnswer::Cancel}}) {
    auto* button = new SkinButton(b.answer == OverwriteAnswer::Yes ? SkinButton::Style::Primary
                                                                   : SkinButton::Style::Secondary,
                                  QString::fromLatin1(b.text), this);
    button->setFixedSize(84, 28);
    connect(button, &QAbstractButton::clicked, this, [this, a = b.answer] {
      answer_ = a;
      if (a == OverwriteAnswer::Cancel) QDialog::reject();
      else QDialog::accept();
    });
    row->addWidget(button);
  }
  outer->addLayout(row);
}

OverwriteAnswer OverwriteDialog::ask(const QString& fileName, QWidget* parent) {
  OverwriteDialog dlg(fileName, parent);
  dlg.exec();
  return dlg.answer();
}

}  // namespace brenix::gui
