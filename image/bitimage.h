// A black-and-white image kept as one bit a pixel, for work that must see the whole picture
// (which pieces of ink are one shape) where the converter otherwise holds a few rows.
#pragma once

#include "bwimage.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <memory>
#include <vector>

namespace kcore {

class BitImage
{
public:
    BitImage() = default;
    // All black; null when memory runs out.
    static BitImage blank(const QSize &size);

    bool isNull() const { return m_words.empty(); }
    QSize size() const { return m_size; }
    int width() const { return m_size.width(); }
    int height() const { return m_size.height(); }
    // Words of 64 pixels a row, pixel x in bit x % 64 of word x / 64; bits past the width are 0.
    int stride() const { return m_stride; }
    quint64 *row(int y) { return m_words.data() + size_t(y) * size_t(m_stride); }
    const quint64 *row(int y) const { return m_words.data() + size_t(y) * size_t(m_stride); }

    // Outside the image every pixel is black.
    bool at(int x, int y) const
    {
        return x >= 0 && y >= 0 && x < m_size.width() && y < m_size.height()
                && (row(y)[x >> 6] >> (x & 63) & 1);
    }
    void set(int x, int y, bool white)
    {
        const quint64 bit = quint64(1) << (x & 63);
        quint64 &word = row(y)[x >> 6];
        word = white ? word | bit : word & ~bit;
    }
    // Row y from 32-bit pixels (white: lowest byte not zero), and back as 0xffffffff / 0xff000000.
    void setRow(int y, const quint32 *pixels);
    void rowPixels(int y, quint32 *pixels) const;

private:
    QSize m_size{0, 0};
    int m_stride = 0;
    std::vector<quint64> m_words;
};

// Every row of a stream; null when memory runs out or a row cannot be had, why then saying so.
// With levels, also the grey levels of every row (Format_Grayscale8), left null when there is
// no memory for them or the stream has none.
BitImage readBits(RowStream &rows, QString *why = nullptr, QImage *levels = nullptr);
// The white pixels of a black-and-white image.
BitImage bitsOf(const QImage &bw);
// Writes bits back into bw, an RGB32 image of the same size (copied first when it is shared);
// false when there is no memory for the copy.
bool writeBits(const BitImage &bits, QImage &bw);

// A bit image handed out as a stream of rows; the grey levels for smooth edges, when wanted,
// come from levels, the stream the bits were read from.
class BitRows : public RowStream
{
public:
    BitRows(std::shared_ptr<const BitImage> bits, std::unique_ptr<RowStream> levels);
    ~BitRows() override;
    QSize size() const override { return m_bits->size(); }
    const quint32 *row(int y) override;
    GreyLevels edgeLevels(int y) override;

private:
    std::shared_ptr<const BitImage> m_bits;
    std::unique_ptr<RowStream> m_levels;
    std::vector<quint32> m_row;
};

} // namespace kcore
