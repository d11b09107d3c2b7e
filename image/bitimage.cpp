// Black-and-white rows packed into bits and back.
#include "bitimage.h"

#include "imagealloc.h"
#include "runs.h"

#include <new>

namespace kcore {

BitImage BitImage::blank(const QSize &size)
{
    BitImage b;
    if (size.isEmpty())
        return b;
    const int stride = (size.width() + 63) / 64;
    try {
        b.m_words.assign(size_t(stride) * size_t(size.height()), 0);
    } catch (const std::bad_alloc &) {
        return BitImage();
    }
    b.m_size = size;
    b.m_stride = stride;
    return b;
}

void BitImage::setRow(int y, const quint32 *pixels)
{
    quint64 *words = row(y);
    const int w = m_size.width();
    for (int x = 0, i = 0; x < w; x += 64, ++i)
        words[i] = setBits(pixels + x, qMin(64, w - x));
}

void BitImage::rowPixels(int y, quint32 *pixels) const
{
    const quint64 *words = row(y);
    const int w = m_size.width();
    for (int x = 0; x < w; ++x)
        pixels[x] = words[x >> 6] >> (x & 63) & 1 ? 0xffffffffu : 0xff000000u;
}

namespace {

// Row y's grey levels into levels, allocated at the first row; null once they cannot be had.
void copyLevels(RowStream &rows, int y, QImage *levels)
{
    const QSize size = rows.size();
    if (y == 0)
        *levels = allocateImage(size.width(), size.height(), QImage::Format_Grayscale8);
    if (levels->isNull())
        return;
    const GreyLevels grey = rows.edgeLevels(y);
    if (!grey.levels) {
        *levels = QImage();
        return;
    }
    uchar *to = levels->scanLine(y);
    for (int x = 0; x < size.width(); ++x)
        to[x] = grey.levels[qsizetype(x) * grey.step];
}

} // namespace

BitImage readBits(RowStream &rows, QString *why, QImage *levels)
{
    const QSize size = rows.size();
    BitImage bits = BitImage::blank(size);
    const QString memory = QStringLiteral("there is not enough memory to hold the %1 x %2 pixel "
                                          "black-and-white image, a bit a pixel")
                                   .arg(size.width())
                                   .arg(size.height());
    if (bits.isNull()) {
        if (why && !size.isEmpty())
            *why = memory;
        return bits;
    }
    for (int y = 0; y < size.height(); ++y) {
        const quint32 *row = rows.row(y);
        if (!row) {
            if (why)
                *why = QStringLiteral("there is not enough memory to draw the %1 x %2 pixel page")
                               .arg(size.width())
                               .arg(size.height());
            return BitImage();
        }
        bits.setRow(y, row);
        if (levels)
            copyLevels(rows, y, levels);
    }
    return bits;
}

BitImage bitsOf(const QImage &bw)
{
    BitImage bits = BitImage::blank(bw.size());
    if (bits.isNull())
        return bits;
    const QImage words = bw.format() == QImage::Format_RGB32 || bw.format() == QImage::Format_ARGB32
            ? bw
            : bw.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < bw.height(); ++y)
        bits.setRow(y, reinterpret_cast<const quint32 *>(words.constScanLine(y)));
    return bits;
}

bool writeBits(const BitImage &bits, QImage &bw)
{
    for (int y = 0; y < bits.height(); ++y) {
        auto *row = reinterpret_cast<quint32 *>(bw.scanLine(y));
        if (!row)
            return false;
        bits.rowPixels(y, row);
    }
    return true;
}

BitRows::BitRows(std::shared_ptr<const BitImage> bits, std::unique_ptr<RowStream> levels)
    : m_bits(std::move(bits)), m_levels(std::move(levels)), m_row(size_t(m_bits->width()))
{ }

BitRows::~BitRows() = default;

const quint32 *BitRows::row(int y)
{
    m_bits->rowPixels(y, m_row.data());
    return m_row.data();
}

GreyLevels BitRows::edgeLevels(int y)
{
    return m_levels ? m_levels->edgeLevels(y) : GreyLevels();
}

} // namespace kcore
