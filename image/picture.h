// Reading a picture file into memory, upright and within the size kestrel is prepared to handle.
#pragma once

#include <QImage>
#include <QString>

class QIODevice;

namespace kcore {

// The largest picture, and the largest black-and-white image, kestrel will build: 16384 x 16384
// pixels. Each such image takes 1 GiB in memory.
constexpr qint64 maxImagePixels = qint64(16384) * 16384;

// Whether an image of this size would pass that bound (a side given negative counts by its size).
inline bool beyondPixelBound(qint64 width, qint64 height)
{
    return qAbs(width) * qAbs(height) > maxImagePixels;
}
inline bool beyondPixelBound(const QSize &size)
{
    return beyondPixelBound(size.width(), size.height());
}

// The file-name filter of the open dialog, and the formats kestrel promises to read.
extern const char pictureFilter[];

// Qt's image readers refuse decoded images over 128 MB by default, which would turn an ordinary
// 6000 x 6000 photo into a load failure. Raises that limit to what maxImagePixels needs; a
// process-wide setting, so each program calls this once at start-up.
void allowLargePictures();

// Reads the picture at path, letting the readers recognise the format from the contents and the
// name, and turns it upright by its orientation tag. Returns a null image when the file cannot
// be read as a picture, or would decode to more than maxImagePixels; why then says which, in a
// sentence for the user.
QImage loadPicture(const QString &path, QString *why = nullptr);

// The same for a picture already open on a device; the format is told from the contents alone.
QImage loadPicture(QIODevice *device, QString *why = nullptr);

} // namespace kcore
