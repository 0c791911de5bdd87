// Thumbnail cells, image type codes, decoding and the hexadecimal dump.
#include <gtest/gtest.h>

#include "gui/preview_window.h"
#include "gui/thumbnails.h"
#include "gui_support.h"

namespace brenix::test {
namespace {

using namespace brenix::gui;

TEST(Thumbnails, TypeCodesFollowTheNameEnd) {
  EXPECT_EQ(imageTypeCode(QStringLiteral("a.bmp")), 1);
  EXPECT_EQ(imageTypeCode(QStringLiteral("a.wbmp")), 9);
  EXPECT_EQ(imageTypeCode(QStringLiteral("HOLIDAY.JPEG")), 3);
  EXPECT_EQ(imageTypeCode(QStringLiteral("x.Tiff")), 6);
  EXPECT_EQ(imageTypeCode(QStringLiteral("x.emf")), 10);
  EXPECT_EQ(imageTypeCode(QStringLiteral("x.ppm")), 14);
  EXPECT_EQ(imageTypeCode(QStringLiteral("x.ras")), 15);
  EXPECT_EQ(imageTypeCode(QStringLiteral("notes.txt")), 0);
  EXPECT_EQ(imageTypeCode(QStringLiteral("jpg")), 3);  // by the end of the name only
}

TEST(Thumbnails, SmallPictureIsCentredAtItsOwnSize) {
  EXPECT_EQ(thumbnailPictureRect(QSize(40, 30)), QRect(25, 30, 40, 30));
  EXPECT_EQ(thumbnailPictureRect(QSize(1600, 1200)), QRect(0, 0, 90, 90));
  EXPECT_EQ(thumbnailPictureRect(QSize(41, 200)), QRect(24, 0, 41, 90));

  QImage small(40, 30, QImage::Format_RGB32);
  small.fill(QColor(255, 0, 0));
  const QImage cell = thumbnailCell(small, QStringLiteral("a.jpg"));
  ASSERT_EQ(cell.size(), QSize(90, 90));
  EXPECT_EQ(cell.pixelColor(25, 30), QColor(255, 0, 0));
  EXPECT_EQ(cell.pixelColor(64, 59), QColor(255, 0, 0));
  EXPECT_EQ(cell.pixelColor(24, 30), QColor(Qt::white));
  EXPECT_EQ(cell.pixelColor(65, 59), QColor(Qt::white));
  EXPECT_EQ(cell.pixelColor(0, 0), QColor(192, 192, 192));
  EXPECT_EQ(cell.pixelColor(89, 45), QColor(192, 192, 192));
}

TEST(Thumbnails, LargePhotoFillsTheCellAndBrokenDataGetsTheIcon) {
  const QByteArray png = encodeImage(1600, 1200, "PNG", QColor(0, 0, 255));
  const std::vector<uint8_t> bytes(png.begin(), png.end());
  const QImage pic = decodePicture(bytes, imageTypeCode(QStringLiteral("big.png")));
  ASSERT_EQ(pic.size(), QSize(1600, 1200));
  const QImage cell = thumbnailCell(pic, QStringLiteral("big.png"));
  EXPECT_EQ(cell.pixelColor(1, 1), QColor(0, 0, 255));
  EXPECT_EQ(cell.pixelColor(88, 88), QColor(0, 0, 255));

  // Not a JPEG at all: no picture, the type icon drawn from (22, 24).
  const std::vector<uint8_t> junk(2000, 0x33);
  EXPECT_TRUE(decodePicture(junk, 3).isNull());
  EXPECT_TRUE(decodePicture({}, 3).isNull());
  const QImage iconCell = thumbnailCell(QImage(), QStringLiteral("bad.jpg"));
  const QImage icon = fileTypeIcon(QStringLiteral("bad.jpg"));
  int differing = 0;
  for (int y = 0; y < 90; ++y)
    for (int x = 0; x < 90; ++x)
      if (iconCell.pixelColor(x, y) != QColor(Qt::white) && iconCell.pixelColor(x, y) != QColor(192, 192, 192)) {
        ++differing;
        EXPECT_TRUE(QRect(22, 24, icon.width(), icon.height()).contains(x, y)) << x << "," << y;
      }
  EXPECT_GT(differing, 100);
  // A PNG with a truncated body does not decode either.
  const std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + 40);
  EXPECT_TRUE(decodePicture(cut, 4).isNull());
}

TEST(Thumbnails, HexDumpFormat) {
  const std::string text = "Hello, world!\n\tA b 0";  // 20 bytes
  const QString dump = hexDump(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  const QStringList lines = dump.split(QStringLiteral("\r\n"));
  ASSERT_EQ(lines.size(), 2);
  EXPECT_EQ(lines[0], QStringLiteral("00000000  48 65 6C 6C  6F 2C 20 77  6F 72 6C 64  21 0A 09 41   Hello,.world!..A"));
  EXPECT_TRUE(lines[1].startsWith(QStringLiteral("00000010  20 62 20 30  "))) << lines[1].toStdString();
  EXPECT_TRUE(lines[1].endsWith(QStringLiteral(" .b.0"))) << lines[1].toStdString();
  EXPECT_EQ(lines[1].size(), lines[0].size() - 12);  // hex columns kept, 12 characters fewer on the right
  EXPECT_TRUE(hexDump(nullptr, 0).isEmpty());
}

TEST(Thumbnails, PreviewCanvasIsCappedAndCentred) {
  EXPECT_EQ(canvasRect(QSize(40, 30), QSize(400, 300)), QRect(180, 135, 40, 30));
  EXPECT_EQ(canvasRect(QSize(1600, 100), QSize(400, 300)), QRect(0, 100, 400, 100));
  QImage img(40, 30, QImage::Format_RGB32);
  img.fill(Qt::red);
  PreviewWindow w(img, nullptr);
  w.setAttribute(Qt::WA_DeleteOnClose, false);
  w.resize(400, 300);
  w.show();
  EXPECT_EQ(w.windowTitle(), QStringLiteral("View Image File..."));
  EXPECT_EQ(w.canvas()->geometry(), QRect(180, 135, 40, 30));
  EXPECT_EQ(w.canvas()->objectName(), QStringLiteral("Image Preview Canvas"));
}

}  // namespace
}  // namespace brenix::test
