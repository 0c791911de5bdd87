#pragma once
// The drive page's Option dialogs: quick options of a deleted-file scan (name
// patterns and search folder), of a formatted-drive scan (previous file
// system and sector range) and of a raw scan (maximal size and sector range).
#include <QDialog>
#include <QString>
#include <cstdint>
#include <vector>

#include "gui/app_context.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QLabel;
class QTreeWidget;

namespace brenix::gui {

class ScanOptionsDialog : public QDialog {
  Q_OBJECT
 public:
  ScanOptionsDialog(AppContext& app, int mode, QWidget* parent);

  QLineEdit* startField() const { return start_; }
  QLineEdit* endField() const { return end_; }
  QLineEdit* nameField() const { return name_; }
  QLineEdit* pathField() const { return path_; }
  QComboBox* previousFs() const { return previous_; }
  QCheckBox* carveUnclaimed() const { return carve_; }
  QLineEdit* maxSizeField() const { return maxSize_; }
  QTreeWidget* typeList() const { return types_; }

  void accept() override;

 private:
  AppContext& app_;
  int mode_;
  int64_t first_ = 0, last_ = 0;
  QLineEdit* name_ = nullptr;
  QLineEdit* path_ = nullptr;
  QComboBox* previous_ = nullptr;
  QCheckBox* carve_ = nullptr;
  QLineEdit* start_ = nullptr;
  QLineEdit* end_ = nullptr;
  QLineEdit* maxSize_ = nullptr;
  QTreeWidget* types_ = nullptr;
  std::vector<size_t> typeRows_;  // record index of each type row
};

}  // namespace brenix::gui
