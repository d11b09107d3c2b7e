// Picture loading with a deliberate size bound: big scans load, decompression bombs do not.
#include "picture.h"

#include "vectordocument.h"

#include <QImageReader>

namespace kcore {

const char pictureFilter[]
        = "*.bmp *.gif *.jpg *.jpeg *.png *.pbm *.pgm *.ppm *.tiff *.tif *.webp *.xbm *.xpm";

void allowLargePictures()
{
    // At 8 bytes a pixel (16-bit PNG and TIFF), and nothing beyond: the reader then refuses a
    // bomb before allocating anything.
    QImageReader::setAllocationLimit(int(maxImagePixels * 8 / (1024 * 1024)) + 1);
}

namespace {

QString tooLarge(qint64 width, qint64 height)
{
    return QStringLiteral("The picture is %1 x %2 pixels; kestrel reads pictures of up to "
                          "16384 x 16384 pixels.")
            .arg(width)
            .arg(height);
}

QString reasonOf(const QImageReader &reader)
{
    // An empty file has no kind at all; saying so beats listing the kinds it is not.
    const QIODevice *device = reader.device();
    if (reader.error() != QImageReader::FileNotFoundError && device && device->size() == 0)
        return QStringLiteral("The file is empty.");
    switch (reader.error()) {
    case QImageReader::FileNotFoundError:
        return QStringLiteral("The file does not exist.");
    case QImageReader::UnsupportedFormatError:
        return QStringLiteral("This is not a kind of picture kestrel can read (BMP, GIF, JPEG, "
                              "PNG, PBM, PGM, PPM, TIFF, WebP, XBM or XPM%1).")
                .arg(vectorSupport() ? QStringLiteral("; or a vector document, SVG or PDF")
                                     : QString());
    case QImageReader::InvalidDataError:
        return QStringLiteral("The picture is damaged or incomplete (%1).")
                .arg(reader.errorString());
    case QImageReader::DeviceError:
        return QStringLiteral("The file could not be read (%1).").arg(reader.errorString());
    default:
        return reader.errorString();
    }
}

// The size a picture's header declares. Qt's BMP reader tells none ahead, so its header is read
// here: a bitmap may claim any size in a few bytes.
QSize declaredSize(QImageReader &reader)
{
    QIODevice *device = reader.device();
    if (device && !device->isOpen())
        device->open(QIODevice::ReadOnly);
    const QByteArray head = device && device->isOpen() ? device->peek(26) : QByteArray();
    if (head.size() < 26 || !head.startsWith("BM"))
        return reader.size();
    auto le32 = [&head](int at) {
        return qint32(quint32(uchar(head[at])) | quint32(uchar(head[at + 1])) << 8
                      | quint32(uchar(head[at + 2])) << 16 | quint32(uchar(head[at + 3])) << 24);
    };
    // The 12-byte header of OS/2 1.x holds 16-bit sizes (read signed, as Qt reads them); the
    // longer headers 32-bit ones.
    if (le32(14) == 12) {
        auto le16 = [&head](int at) {
            return qint16(quint16(uchar(head[at]) | uchar(head[at + 1]) << 8));
        };
        return QSize(le16(18), le16(20));
    }
    return QSize(le32(18), le32(22));
}

QImage read(QImageReader &reader, QString *why)
{
    reader.setAutoTransform(true);
    // Refuse what the header declares too large before any pixel is allocated. A bottom-up
    // bitmap declares a negative height.
    const QSize declared = declaredSize(reader);
    const qint64 width = qAbs(qint64(declared.width()));
    const qint64 height = qAbs(qint64(declared.height()));
    if (beyondPixelBound(width, height)) {
        if (why)
            *why = tooLarge(width, height);
        return QImage();
    }
    QImage image = reader.read();
    if (image.isNull()) {
        if (why)
            *why = reasonOf(reader);
        return QImage();
    }
    // Some readers declare no size ahead.
    if (beyondPixelBound(image.size())) {
        if (why)
            *why = tooLarge(image.width(), image.height());
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
