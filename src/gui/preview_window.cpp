#include "gui/preview_window.h"

#include <QPainter>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace brenix::gui {

ImageCanvas::ImageCanvas(const QImage& image, QWidget* parent) : QWidget(parent), image_(image) {
  setObjectName(QStringLiteral("Image Preview Canvas"));
}

void ImageCanvas::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), Qt::white);
  p.setRenderHint(QPainter::SmoothPixmapTransform);
  if (!image_.isNull()) p.drawImage(rect(), image_);
}

QRect canvasRect(QSize image, QSize client) {
  const int w = std::min(image.width(), client.width());
  const int h = std::min(image.height(), client.height());
  return {(client.width() - w) / 2, (client.height() - h) / 2, std::max(w, 0), std::max(h, 0)};
}

PreviewWindow::PreviewWindow(const QImage& image, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("View Image File..."));
  setAttribute(Qt::WA_DeleteOnClose);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QColor(0x2a, 0x30, 0x38));
  setPalette(pal);
  setAutoFillBackground(true);
  canvas_ = new ImageCanvas(image, this);
  resize(std::clamp(image.width(), 320, 1000), std::clamp(image.height(), 240, 720));
}

void PreviewWindow::resizeEvent(QResizeEvent* e) {
  QDialog::resizeEvent(e);
  canvas_->setGeometry(canvasRect(canvas_->image().isNull() ? QSize(0, 0) : canvas_->image().size(), size()));
}

DumpWindow::DumpWindow(const QString& dump, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("View File Information..."));
  setAttribute(Qt::WA_DeleteOnClose);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  edit_ = new QPlainTextEdit(this);
  edit_->setReadOnly(true);
  edit_->setLineWrapMode(QPlainTextEdit::NoWrap);
  QFont mono(QStringLiteral("DejaVu Sans Mono"));
  mono.setStyleHint(QFont::Monospace);
  mono.setPointSize(9);
  edit_->setFont(mono);
  edit_->setPlainText(dump);
  layout->addWidget(edit_);
  resize(640, 420);
}

QString DumpWindow::text() const { return edit_->toPlainText(); }

}  // namespace brenix::gui
