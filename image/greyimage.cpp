// Grey conversion, row by row over scan lines, with table lookups for palette images.
#include "greyimage.h"

#include "imagealloc.h"
#include "rowkernels.h"

#include <vector>

namespace kcore {

namespace {

bool rowIsDirect(QImage::Format f)
{
    // For these formats QImage::pixel() hands back the stored word unchanged (RGB32 with
    // 0xff alpha, which the grey formula ignores anyway).
    return f == QImage::Format_RGB32 || f == QImage::Format_ARGB32
            || f == QImage::Format_ARGB32_Premultiplied;
}

// QImage::pixel() yields 0 for an index beyond the colour table; so must we.
std::vector<QRgb> paletteGreys(const QImage &image)
{
    std::vector<QRgb> table(256, greyPixel(0));
    const QList<QRgb> colours = image.colorTable();
    for (int i = 0; i < colours.size() && i < 256; ++i)
        table[i] = greyPixel(greyOf(colours[i]));
    return table;
}

} // namespace

const QRgb *pixelRow(const QImage &image, int y, QRgb *scratch)
{
    if (rowIsDirect(image.format()))
        return reinterpret_cast<const QRgb *>(image.constScanLine(y));
    const int w = image.width();
    for (int x = 0; x < w; ++x)
        scratch[x] = image.pixel(x, y);
    return scratch;
}

QImage makeGrey(const QImage &colour)
{
    if (colour.isNull())
        return QImage();
    const int w = colour.width();
    const int h = colour.height();
    QImage grey = allocateImage(w, h, QImage::Format_RGB32);
    if (grey.isNull())
        return QImage();

    const QImage::Format f = colour.format();
    if (f == QImage::Format_Indexed8) {
        const std::vector<QRgb> table = paletteGreys(colour);
        for (int y = 0; y < h; ++y) {
            const uchar *src = colour.constScanLine(y);
            QRgb *dst = reinterpret_cast<QRgb *>(grey.scanLine(y));
            for (int x = 0; x < w; ++x)
                dst[x] = table[src[x]];
        }
    } else if (f == QImage::Format_Mono || f == QImage::Format_MonoLSB) {
        const std::vector<QRgb> table = paletteGreys(colour);
        const bool msbFirst = f == QImage::Format_Mono;
        for (int y = 0; y < h; ++y) {
            const uchar *src = colour.constScanLine(y);
            QRgb *dst = reinterpret_cast<QRgb *>(grey.scanLine(y));
            for (int x = 0; x < w; ++x) {
                const int bit = msbFirst ? (src[x >> 3] >> (7 - (x & 7))) & 1
                                         : (src[x >> 3] >> (x & 7)) & 1;
                dst[x] = table[bit];
            }
        }
    } else if (f == QImage::Format_Grayscale8) {
        // pixel() gives 0xff000000 | v * 0x010101 and the weights sum to 32: grey is v itself.
        for (int y = 0; y < h; ++y) {
            const uchar *src = colour.constScanLine(y);
            QRgb *dst = reinterpret_cast<QRgb *>(grey.scanLine(y));
            for (int x = 0; x < w; ++x)
                dst[x] = greyPixel(src[x]);
        }
    } else if (f == QImage::Format_RGB888) {
        for (int y = 0; y < h; ++y) {
            const uchar *src = colour.constScanLine(y);
            QRgb *dst = reinterpret_cast<QRgb *>(grey.scanLine(y));
            for (int x = 0; x < w; ++x, src += 3)
                dst[x] = greyPixel((11 * src[0] + 16 * src[1] + 5 * src[2]) >> 5);
        }
    } else {
        std::vector<QRgb> scratch(rowIsDirect(f) ? 0 : w);
        for (int y = 0; y < h; ++y) {
            greyRow(pixelRow(colour, y, scratch.data()),
                    reinterpret_cast<quint32 *>(grey.scanLine(y)), w);
        }
        finishRows();
    }
    return grey;
}

} // namespace kcore
