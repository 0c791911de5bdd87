#pragma once
// Pictures of found files: the image type code of a name, the 90 x 90
// thumbnail cell, decoding with Qt's image readers, and the hexadecimal dump
// shown for files that are not pictures. All of it is safe off the GUI
// thread (QImage only).
#include <QImage>
#include <QString>
#include <cstdint>
#include <vector>

namespace brenix::gui {

inline constexpr int kThumbSize = 90;

// 1 bmp, 2 gif, 3 jpg/jpeg, 4 png, 5 ico, 6 tif/tiff, 7 tga, 8 pcx, 9 wbmp,
// 10 wmf/emf, 11 j2k/jp2, 12 j2c/jpc, 13 pgx, 14 pnm/pgm/ppm, 15 ras, 0 none;
// by the end of the name, any letter case, wbmp before bmp.
int imageTypeCode(const QString& name);

// Decodes a buffer as the image type; a null image when it does not decode
// (or the type has no reader here).
QImage decodePicture(const std::vector<uint8_t>& bytes, int typeCode);

// Where a picture of this size goes in the cell: each side capped at 90 on
// its own, centred with integer division.
QRect thumbnailPictureRect(QSize pictureSize);
// The file-type icon of a name (drawn in code, 48 x 48) for cells without a picture.
QImage fileTypeIcon(const QString& name);
inline constexpr QPoint kThumbIconOrigin{22, 24};

// The 90 x 90 cell: white, the picture stretched into its rectangle (or the
// icon at (22, 24) when the picture is null), a light grey one-pixel frame.
QImage thumbnailCell(const QImage& picture, const QString& name);

// The dump of a non-picture file: 16 bytes a line, CR LF between lines.
QString hexDump(const uint8_t* data, size_t size);

}  // namespace brenix::gui
