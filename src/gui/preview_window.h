#pragma once
// The preview of a found file: "View Image File..." with its canvas for a
// picture, "View File Information..." with a hexadecimal dump otherwise.
#include <QDialog>
#include <QImage>
#include <QWidget>

class QPlainTextEdit;

namespace brenix::gui {

// The canvas: white, the picture scaled into its own rectangle.
class ImageCanvas : public QWidget {
  Q_OBJECT
 public:
  ImageCanvas(const QImage& image, QWidget* parent);
  const QImage& image() const { return image_; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QImage image_;
};

class PreviewWindow : public QDialog {
  Q_OBJECT
 public:
  PreviewWindow(const QImage& image, QWidget* parent);
  ImageCanvas* canvas() const { return canvas_; }

 protected:
  void resizeEvent(QResizeEvent*) override;

 private:
  ImageCanvas* canvas_;
};

// The canvas rectangle in a client area: each side min(image, client), centred.
QRect canvasRect(QSize image, QSize client);

class DumpWindow : public QDialog {
  Q_OBJECT
 public:
  DumpWindow(const QString& dump, QWidget* parent);
  QString text() const;

 private:
  QPlainTextEdit* edit_;
};

}  // namespace brenix::gui
