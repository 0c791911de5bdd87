#pragma once
// "Set Filter Options...": which found files the list shows.
#include <QDialog>

#include "results/result_filter.h"

class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;

namespace brenix::gui {

class FilterDialog : public QDialog {
  Q_OBJECT
 public:
  FilterDialog(const ResultFilter& start, QWidget* parent);
  // The settings as entered (enabled is kept from the start value).
  ResultFilter filter() const;

  QComboBox* extensionBox() const { return ext_; }
  QComboBox* dateBox() const { return dateMode_; }
  QDateEdit* dateEdit() const { return date_; }
  QComboBox* sizeBox() const { return sizeMode_; }
  QLineEdit* sizeField1() const { return size1_; }
  QLineEdit* sizeField2() const { return size2_; }
  QLabel* sizeDash() const { return dash_; }
  QLineEdit* nameField() const { return name_; }

 private:
  void updateVisibility();

  ResultFilter start_;
  QComboBox* ext_ = nullptr;
  QComboBox* dateMode_ = nullptr;
  QDateEdit* date_ = nullptr;
  QComboBox* sizeMode_ = nullptr;
  QLineEdit* size1_ = nullptr;
  QLineEdit* size2_ = nullptr;
  QLabel* dash_ = nullptr;
  QLineEdit* name_ = nullptr;
};

}  // namespace brenix::gui
