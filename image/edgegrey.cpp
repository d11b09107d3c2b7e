// Resampling of the grey image onto the black-and-white grid, row by row with a row or two of
// context, for the window's whole image and the converter's stream alike.
#include "edgegrey.h"

#include "imagealloc.h"

#include <algorithm>

namespace kcore {

namespace {

constexpr qint64 one = 1 << 16; // the sum of each pixel's weights

} // namespace

GridResampler::Taps GridResampler::taps(int from, int to)
{
    Taps t;
    if (from == to) {
        t.count = 1;
        for (int j = 0; j < to; ++j) {
            t.index.push_back(j);
            t.weight.push_back(quint32(one));
        }
        return t;
    }
    if (to > from) {
        // Bilinear between the two source centres around (j + 0.5) * from / to, in exact integer
        // arithmetic: that position minus 0.5 is num / den.
        t.count = 2;
        const qint64 den = 2 * qint64(to);
        for (int j = 0; j < to; ++j) {
            const qint64 num = (2 * qint64(j) + 1) * from - to;
            qint64 i0 = floorDiv(num, den);
            qint64 w1 = ((num - i0 * den) * one + den / 2) / den;
            // Beyond the outermost centres the outermost pixel holds.
            if (i0 < 0) {
                i0 = 0;
                w1 = 0;
            } else if (i0 >= from - 1) {
                i0 = from - 1;
                w1 = 0;
            }
            t.index.push_back(int(i0));
            t.index.push_back(int(qMin<qint64>(i0 + 1, from - 1)));
            t.weight.push_back(quint32(one - w1));
            t.weight.push_back(quint32(w1));
        }
        return t;
    }
    // The area average over [j, j + 1) * from / to: in units of 1 / to source pixel, output
    // pixel j spans [j * from, (j + 1) * from) and source pixel i spans [i * to, (i + 1) * to).
    t.count = from / to + 2;
    for (int j = 0; j < to; ++j) {
        const qint64 lo = qint64(j) * from;
        const qint64 hi = lo + from;
        const qint64 first = lo / to;
        const size_t at = t.weight.size();
        qint64 total = 0;
        for (int k = 0; k < t.count; ++k) {
            const qint64 i = first + k;
            const qint64 overlap
                    = i < from ? qMax<qint64>(0, qMin(hi, (i + 1) * to) - qMax(lo, i * to)) : 0;
            const qint64 w = (overlap * one + from / 2) / from;
            t.index.push_back(int(qMin<qint64>(i, from - 1)));
            t.weight.push_back(quint32(w));
            total += w;
        }
        // Rounding must not brighten or darken: the weights sum to exactly one.
        auto largest = std::max_element(t.weight.begin() + qsizetype(at), t.weight.end());
        *largest = quint32(qint64(*largest) + one - total);
    }
    return t;
}

GridResampler::GridResampler(const QSize &source, const QSize &grid)
    : m_width(qMax(0, grid.width())), m_columns(taps(source.width(), m_width)),
      m_rows(taps(source.height(), qMax(0, grid.height())))
{
    m_across[0].resize(size_t(m_width));
    m_across[1].resize(size_t(m_width));
    m_sum.resize(size_t(m_width));
}

const quint32 *GridResampler::across(int i, const SourceRow &source)
{
    for (int s = 0; s < 2; ++s) {
        if (m_acrossRow[s] == i)
            return m_across[s].data();
    }
    // The slot filled last may hold the row the next grid row starts with: the other goes.
    const int s = 1 - m_newest;
    const quint32 *src = source(i);
    quint32 *out = m_across[s].data();
    const int n = m_columns.count;
    const int *index = m_columns.index.data();
    const quint32 *weight = m_columns.weight.data();
    for (int j = 0; j < m_width; ++j, index += n, weight += n) {
        quint32 sum = 0;
        for (int k = 0; k < n; ++k)
            sum += weight[k] * (src[index[k]] & 0xffu);
        out[j] = sum;
    }
    m_acrossRow[s] = i;
    m_newest = s;
    return out;
}

void GridResampler::row(int y, uchar *out, const SourceRow &source)
{
    const int n = m_rows.count;
    const int *index = m_rows.index.data() + qsizetype(y) * n;
    const quint32 *weight = m_rows.weight.data() + qsizetype(y) * n;
    std::fill(m_sum.begin(), m_sum.end(), quint64(0));
    for (int k = 0; k < n; ++k) {
        if (weight[k] == 0)
            continue;
        const quint32 *a = across(index[k], source);
        const quint64 w = weight[k];
        for (int j = 0; j < m_width; ++j)
            m_sum[size_t(j)] += w * a[j];
    }
    // Each level is at most 255 * one * one, so the rounded result stays within 255.
    for (int j = 0; j < m_width; ++j)
        out[j] = uchar((m_sum[size_t(j)] + (quint64(1) << 31)) >> 32);
}

QImage edgeGrey(const QImage &grey, const QSize &bw)
{
    if (grey.isNull() || grey.depth() != 32 || bw.isEmpty())
        return QImage();
    QImage out = allocateImage(bw.width(), bw.height(), QImage::Format_Grayscale8);
    if (out.isNull())
        return QImage();
    if (grey.size() == bw) {
        // The levels themselves, a byte a pixel: the writer reads them at every run end, and a
        // quarter of the memory traffic halves what smooth edges add to an export.
        for (int y = 0; y < bw.height(); ++y) {
            const auto *in = reinterpret_cast<const quint32 *>(grey.constScanLine(y));
            uchar *to = out.scanLine(y);
            for (int x = 0; x < bw.width(); ++x)
                to[x] = uchar(in[x]);
        }
        return out;
    }
    GridResampler resampler(grey.size(), bw);
    const GridResampler::SourceRow source
            = [&grey](int i) { return reinterpret_cast<const quint32 *>(grey.constScanLine(i)); };
    for (int y = 0; y < bw.height(); ++y)
        resampler.row(y, out.scanLine(y), source);
    return out;
}

} // namespace kcore
