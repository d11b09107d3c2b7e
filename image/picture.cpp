// Picture loading with a deliberate size bound: big scans load, decompression bombs do not.
#include "picture.h"

#include "bwimage.h"

#include <QImageReader>

namespace kcore {

const char pictureFilter[] = "*.bmp *.gif *.jpg *.jpeg *.png *.pbm *.pgm *.ppm *.tiff *.xbm *.xpm";

namespace {

// Qt refuses decoded images over 128 MB by default, which turns an ordinary 6000 x 6000 photo
// into a load failure. Allow the largest picture we handle at 8 bytes a pixel (16-bit PNG and
// TIFF), and nothing beyond: the reader then refuses a bomb before allocating anything.
constexpr int allocationLimitMB = int(maxImagePixels * 8 / (1024 * 1024)) + 1;

void setFailure(QString *why, const QString &text)
{
    if (why)
        *why = text;
}

} // namespace

namespace {

QImage read(QImageReader &reader, QString *why)
{
    if (QImageReader::allocationLimit() != allocationLimitMB)
        QImageReader::setAllocationLimit(allocationLimitMB);
    // Refuse what the header declares too large before any pixel is allocated.
    const QSize declared = reader.size();
    if (declared.isValid() && qint64(declared.width()) * declared.height() > maxImagePixels) {
        setFailure(why,
                   QStringLiteral("picture of %1 x %2 pixels is larger than the limit")
                           .arg(declared.width())
                           .arg(declared.height()));
        return QImage();
    }
    QImage image = reader.read();
    if (image.isNull()) {
        setFailure(why, reader.errorString());
        return QImage();
    }
    if (qint64(image.width()) * image.height() > maxImagePixels) {
        setFailure(why, QStringLiteral("picture is larger than the limit"));
        return QImage();
    }
    return image;
}

} // namespace

QImage loadPicture(const QString &path, QString *why)
{
    QImageReader reader(path);
    return read(reader, why);
}

QImage loadPicture(QIODevice *device, QString *why)
{
    QImageReader reader(device);
    return read(reader, why);
}

} // namespace kcore
