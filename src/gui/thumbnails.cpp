#include "gui/thumbnails.h"

#include <QBuffer>
#include <QImageReader>
#include <QPainter>
#include <cstring>

namespace brenix::gui {

int imageTypeCode(const QString& rawName) {
  const QString name = rawName.toLower();
  auto ends = [&](const char* s) { return name.endsWith(QLatin1String(s)); };
  if (ends("wbmp")) return 9;
  if (ends("bmp")) return 1;
  if (ends("gif")) return 2;
  if (ends("jpg") || ends("jpeg")) return 3;
  if (ends("png")) return 4;
  if (ends("ico")) return 5;
  if (ends("tif") || ends("tiff")) return 6;
  if (ends("tga")) return 7;
  if (ends("pcx")) return 8;
  if (ends("wmf") || ends("emf")) return 10;
  if (ends("j2k") || ends("jp2")) return 11;
  if (ends("j2c") || ends("jpc")) return 12;
  if (ends("pgx")) return 13;
  if (ends("pnm") || ends("pgm") || ends("ppm")) return 14;
  if (ends("ras")) return 15;
  return 0;
}

QImage decodePicture(const std::vector<uint8_t>& bytes, int typeCode) {
  static const char* const formats[16] = {nullptr, "bmp", "gif", "jpeg", "png", "ico", "tiff", "tga",
                                          nullptr, "wbmp", nullptr, nullptr, nullptr, nullptr, "pnm", nullptr};
  if (typeCode <= 0 || typeCode > 15 || bytes.empty() || !formats[typeCode]) return {};
  QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
  QBuffer buffer(&data);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer, formats[typeCode]);
  reader.setDecideFormatFromContent(false);
  // A hostile header must not make us allocate gigabytes.
  const QSize size = reader.size();
  if (size.isValid() && qint64(size.width()) * size.height() > 100'000'000) return {};
  return reader.read();
}

QRect thumbnailPictureRect(QSize s) {
  const int w = std::min(s.width(), kThumbSize);
  const int h = std::min(s.height(), kThumbSize);
  return {(kThumbSize - w) / 2, (kThumbSize - h) / 2, w, h};
}

QImage fileTypeIcon(const QString& name) {
  QImage icon(48, 48, QImage::Format_ARGB32_Premultiplied);
  icon.fill(Qt::transparent);
  QPainter p(&icon);
  p.setRenderHint(QPainter::Antialiasing);
  QPolygonF page;
  page << QPointF(8, 3) << QPointF(31, 3) << QPointF(41, 13) << QPointF(41, 45) << QPointF(8, 45);
  p.setPen(QPen(QColor(0x8a, 0x96, 0xa5), 1.5));
  p.setBrush(Qt::white);
  p.drawPolygon(page);
  p.drawLine(QPointF(31, 3), QPointF(31, 13));
  p.drawLine(QPointF(31, 13), QPointF(41, 13));
  const int dot = name.lastIndexOf(QLatin1Char('.'));
  const QString ext = dot >= 0 ? name.mid(dot + 1).left(4).toUpper() : QString();
  p.setPen(Qt::NoPen);
  p.setBrush(imageTypeCode(name) ? QColor(0x1f, 0x7a, 0xe0) : QColor(0x6b, 0x77, 0x86));
  p.drawRoundedRect(QRectF(4, 26, 30, 13), 2, 2);
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setPixelSize(8);
  f.setBold(true);
  p.setFont(f);
  p.setPen(Qt::white);
  p.drawText(QRectF(4, 26, 30, 13), Qt::AlignCenter, ext.isEmpty() ? QStringLiteral("FILE") : ext);
  return icon;
}

QImage thumbnailCell(const QImage& picture, const QString& name) {
  QImage cell(kThumbSize, kThumbSize, QImage::Format_RGB32);
  cell.fill(Qt::white);
  QPainter p(&cell);
  if (!picture.isNull()) {
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(thumbnailPictureRect(picture.size()), picture);
  } else {
    p.drawImage(kThumbIconOrigin, fileTypeIcon(name));
  }
  p.setPen(QColor(192, 192, 192));
  p.setBrush(Qt::NoBrush);
  p.drawRect(0, 0, kThumbSize - 1, kThumbSize - 1);
  return cell;
}

QString hexDump(const uint8_t* data, size_t size) {
  static const char kShown[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz~!@#$%^&*();_+|}{:?><`1234567890-=\\]['/.,";
  QString out;
  static const char hex[] = "0123456789ABCDEF";
  for (size_t line = 0; line < size; line += 16) {
    if (line) out += QStringLiteral("\r\n");
    out += QStringLiteral("%1  ").arg(qulonglong(line), 8, 16, QLatin1Char('0')).toUpper();
    const size_t n = std::min<size_t>(16, size - line);
    for (size_t i = 0; i < 16; ++i) {
      if (i < n) {
        out += QLatin1Char(hex[data[line + i] >> 4]);
        out += QLatin1Char(hex[data[line + i] & 15]);
        out += QLatin1Char(' ');
      } else {
        out += QStringLiteral("   ");  // a short last line keeps the columns aligned
      }
      if (i % 4 == 3) out += QLatin1Char(' ');
    }
    out += QLatin1Char(' ');
    for (size_t i = 0; i < n; ++i) {
      const char c = char(data[line + i]);
      out += c != 0 && std::strchr(kShown, c) ? QLatin1Char(c) : QLatin1Char('.');
    }
  }
  return out;
}

}  // namespace brenix::gui
