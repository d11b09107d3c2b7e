// The decoders behind PictureStream: each reads a file's rows in the file's order, laid out as
// the image the toolkit's own reader makes of it.
#pragma once

#include <QImage>
#include <QList>
#include <QPoint>
#include <QSize>
#include <QString>

#include <memory>
#include <vector>

class QIODevice;

namespace kcore {

class RowDecoder
{
public:
    virtual ~RowDecoder() = default;
    // The file's next row into row (a row of format); false when the file is damaged.
    virtual bool next(uchar *row) = 0;
    // What the toolkit's reader checks once every row is read: false when that fails.
    virtual bool finish() { return true; }

    QSize size; // as the file stores it, before any orientation
    // The layout of the rows given: the toolkit's own, or for its 16-bit images the 8-bit one
    // that QImage::pixel() gives of them.
    QImage::Format format = QImage::Format_Invalid;
    // The toolkit's image format, to agree with its reader's.
    QImage::Format toolkitFormat = QImage::Format_Invalid;
    QList<QRgb> colours;
    // What the toolkit's reader sets beside the pixels: whether it sets nothing but these (no
    // text, no colour space; told by the JPEG and PNG decoders only), and the resolution and
    // offset it sets.
    bool plain = false;
    int dotsPerMeterX = 0, dotsPerMeterY = 0;
    QPoint offset;
    // Whether the file, read to its end, still carries nothing the toolkit's reader would set.
    virtual bool plainToTheEnd() { return plain; }
};

// Each reads the header from device (at its start) and is null when the file is not streamed:
// fallback then names what is read whole instead, or is left empty for a header that does not
// read at all.
std::unique_ptr<RowDecoder> jpegRows(QIODevice *device, QString *fallback);
std::unique_ptr<RowDecoder> pngRows(QIODevice *device, QString *fallback);
std::unique_ptr<RowDecoder> bmpRows(QIODevice *device, QString *fallback);
std::unique_ptr<RowDecoder> pnmRows(QIODevice *device, QString *fallback);

// QRgba64::toArgb32()'s rounding of a 16-bit channel to 8 bits, which QImage::pixel() gives.
constexpr uint eightBits(uint v)
{
    return ((v + 128u) - ((v + 128u) >> 8)) >> 8;
}

} // namespace kcore
