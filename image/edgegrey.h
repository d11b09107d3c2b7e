// Grey levels on the black-and-white grid, for smooth edges: the grey image resampled onto the
// grid of the black-and-white image so that every edge stays where the picture has it.
#pragma once

#include <QImage>
#include <QSize>

#include <functional>
#include <vector>

namespace kcore {

// floor(a / b) for b > 0, also for negative a: where a grid position falls between two pixels,
// and where the space check's line of sight crosses a row.
inline qint64 floorDiv(qint64 a, qint64 b)
{
    const qint64 q = a / b;
    return q * b > a ? q - 1 : q;
}

// One row of grey levels: the level of pixel i is levels[i * step].
struct GreyLevels
{
    const uchar *levels = nullptr;
    int step = 1;
};

// Resamples a grey image of size source onto a grid of size grid, one row of the grid at a time
// and each axis on its own: bilinear where the grid is finer, the area average where it is
// coarser, the pixels themselves where the two agree. Pixel j of the grid is centred on source
// position (j + 0.5) * source / grid, the centre of the area it stands for, so an edge lands
// where the picture has it at any scale. Integer weights, so every caller gets the same bytes.
class GridResampler
{
public:
    // Grey row i of the source (grey in the low byte of each word); valid until the next call.
    using SourceRow = std::function<const quint32 *(int)>;

    GridResampler(const QSize &source, const QSize &grid);

    // Writes row y of the grid into out (grid width bytes). Rows go from the top down; source is
    // asked for each source row at most once, in order, and at most two are kept.
    void row(int y, uchar *out, const SourceRow &source);

private:
    // For each output pixel j, count source indices and weights summing to 1 << 16.
    struct Taps
    {
        int count = 1;
        std::vector<int> index; // [j * count + k]
        std::vector<quint32> weight;
    };
    static Taps taps(int from, int to);
    // Source row i resampled across, in 1/65536 grey levels.
    const quint32 *across(int i, const SourceRow &source);

    int m_width;
    Taps m_columns, m_rows;
    std::vector<quint32> m_across[2];
    int m_acrossRow[2] = {-1, -1};
    int m_newest = 1; // the slot filled last
    std::vector<quint64> m_sum;
};

// The grey levels of grey (32-bit words, grey in the low byte, as makeGrey() gives it) at every
// pixel of a black-and-white image of size bw, as a Format_Grayscale8 image: grey's own levels
// when the sizes agree, otherwise resampled by GridResampler. Null when grey is null or memory
// runs out.
QImage edgeGrey(const QImage &grey, const QSize &bw);

} // namespace kcore
