#pragma once
// "Confirm File Overwrite": Yes, Yes to All, No, Cancel.
#include <QDialog>

#include "results/recovery_output.h"

namespace brenix::gui {

class OverwriteDialog : public QDialog {
  Q_OBJECT
 public:
  OverwriteDialog(const QString& fileName, QWidget* parent);
  OverwriteAnswer answer() const { return answer_; }
  // Shows the dialog and returns the answer (closing it is Cancel).
  static OverwriteAnswer ask(const QString& fileName, QWidget* parent);

 private:
  OverwriteAnswer answer_ = OverwriteAnswer::Cancel;
};

}  // namespace brenix::gui
