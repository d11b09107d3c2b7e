// Grey conversion, row by row over scan lines, with table lookups for palette images and the
// paper-white composite for pictures with transparency.
#include "greyimage.h"

#include "imagealloc.h"
#include "rowkernels.h"

#include <algorithm>

namespace kcore {

namespace {

// An index beyond the colour table is black, as QImage::convertToFormat() makes it.
std::vector<QRgb> paletteGreys(const QImage &image)
{
    std::vector<QRgb> table(256, greyPixel(0));
    const QList<QRgb> colours = image.colorTable();
    for (int i = 0; i < colours.size() && i < 256; ++i)
        table[size_t(i)] = greyPixel(greyOf(overWhite(colours[i])));
    return table;
}

bool rowIsOpaque(const quint32 *row, int w)
{
    quint32 all = 0xff000000u;
    for (int x = 0; x < w; ++x)
        all &= row[x];
    return all == 0xff000000u;
}

} // namespace

GreyRows::GreyRows(const QImage &colour) : m_colour(colour)
{
    switch (colour.format()) {
    case QImage::Format_RGB32:
        m_kind = Direct; // pixel() gives the stored word with alpha forced to 0xff
        break;
    case QImage::Format_ARGB32:
        m_kind = Composite;
        break;
    case QImage::Format_Indexed8:
        m_kind = Palette;
        break;
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
        m_kind = Mono;
        break;
    case QImage::Format_Grayscale8:
        m_kind = Grey8;
        break;
    case QImage::Format_RGB888:
        m_kind = Rgb888;
        break;
    default:
        m_kind = Pixelwise;
        break;
    }
    if (m_kind == Palette || m_kind == Mono)
        m_table = paletteGreys(colour);
    if (m_kind == Composite || m_kind == Pixelwise)
        m_scratch.resize(size_t(qMax(0, colour.width())));
}

void GreyRows::row(int y, quint32 *dst, bool streamingStores)
{
    const int w = m_colour.width();
    const uchar *src = m_colour.constScanLine(y);
    const auto *words = reinterpret_cast<const quint32 *>(src);
    switch (m_kind) {
    case Direct:
        greyRow(words, dst, w, streamingStores);
        return;
    case Composite:
        if (rowIsOpaque(words, w)) {
            greyRow(words, dst, w, streamingStores);
            return;
        }
        for (int x = 0; x < w; ++x)
            m_scratch[size_t(x)] = overWhite(words[x]);
        break;
    case Pixelwise:
        for (int x = 0; x < w; ++x)
            m_scratch[size_t(x)] = overWhite(m_colour.pixel(x, y));
        break;
    case Palette:
        for (int x = 0; x < w; ++x)
            dst[x] = m_table[src[x]];
        return;
    case Mono: {
        const bool msbFirst = m_colour.format() == QImage::Format_Mono;
        for (int x = 0; x < w; ++x) {
            const int bit
                    = msbFirst ? (src[x >> 3] >> (7 - (x & 7))) & 1 : (src[x >> 3] >> (x & 7)) & 1;
            dst[x] = m_table[size_t(bit)];
        }
        return;
    }
    case Grey8:
        // pixel() gives 0xff000000 | v * 0x010101 and the weights sum to 32: grey is v itself.
        for (int x = 0; x < w; ++x)
            dst[x] = greyPixel(src[x]);
        return;
    case Rgb888:
        for (int x = 0; x < w; ++x, src += 3)
            dst[x] = greyPixel((11 * src[0] + 16 * src[1] + 5 * src[2]) >> 5);
        return;
    }
    greyRow(m_scratch.data(), dst, w, streamingStores);
}

QImage makeGrey(const QImage &colour, QString *why)
{
    if (colour.isNull())
        return QImage();
    QImage grey = allocateImage(colour.width(), colour.height(), QImage::Format_RGB32);
    if (grey.isNull()) {
        if (why)
            *why = allocationProblem(QStringLiteral("the grey image"), colour.width(),
                                     colour.height(), QImage::Format_RGB32);
        return QImage();
    }
    GreyRows rows(colour);
    for (int y = 0; y < colour.height(); ++y)
        rows.row(y, reinterpret_cast<quint32 *>(grey.scanLine(y)), true);
    finishRows();
    return grey;
}

GreyRange greyRange(const QImage &picture)
{
    GreyRange range;
    if (picture.isNull())
        return range;
    GreyRows rows(picture);
    std::vector<quint32> row(size_t(picture.width()));
    int low = 255, high = 0;
    // Once both ends are reached nothing further can widen the range.
    for (int y = 0; y < picture.height() && (low > 0 || high < 255); ++y) {
        rows.row(y, row.data());
        for (const quint32 p : row) {
            low = std::min(low, int(p & 0xff));
            high = std::max(high, int(p & 0xff));
        }
    }
    return {low, high, true};
}

} // namespace kcore
