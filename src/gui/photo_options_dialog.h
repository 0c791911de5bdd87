#pragma once
// The recovery step's choices for carved photos: names from the date taken
// and camera, date folders, what happens to broken pictures, a minimum pixel
// size and writing identical pictures once.
#include <QDialog>

#include "photo/photo_naming.h"
#include "results/recovery_context.h"

class QCheckBox;
class QComboBox;
class QSpinBox;

namespace brenix::gui {

// The choices a raw results page starts with: the pictures preset leaves out
// pictures smaller than 160 x 120 (thumbnails and icons); nothing else is on.
PhotoChoices defaultPhotoChoices(FilePreset preset);

// What the choices did to a recovery, one line each ("1 picture smaller than
// 160 x 120 pixels was left out."); empty when they changed nothing.
QString photoCountsText(const PhotoCounts& counts, const PhotoChoices& choices);

class PhotoOptionsDialog : public QDialog {
  Q_OBJECT
 public:
  PhotoOptionsDialog(const PhotoChoices& start, QWidget* parent);
  // The choices as entered (the minimum file size is kept from the start value).
  PhotoChoices choices() const;

  QCheckBox* nameByExifBox() const { return nameByExif_; }
  QCheckBox* sortByDateBox() const { return sortByDate_; }
  QComboBox* brokenBox() const { return broken_; }
  QCheckBox* minPixelsBox() const { return minPixels_; }
  QSpinBox* minWidthBox() const { return minWidth_; }
  QSpinBox* minHeightBox() const { return minHeight_; }
  QCheckBox* dedupBox() const { return dedup_; }

 private:
  PhotoChoices start_;
  QCheckBox* nameByExif_ = nullptr;
  QCheckBox* sortByDate_ = nullptr;
  QComboBox* broken_ = nullptr;
  QCheckBox* minPixels_ = nullptr;
  QSpinBox* minWidth_ = nullptr;
  QSpinBox* minHeight_ = nullptr;
  QCheckBox* dedup_ = nullptr;
};

}  // namespace brenix::gui
