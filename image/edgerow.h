// Where a picture's edge lies between two pixel centres, from the grey levels of a row: the
// arithmetic smooth run ends take their positions from.
#pragma once

#include <QtGlobal>

#include <algorithm>

namespace kcore {

// 1 / d for the differences d of two grey levels, -255 to 255: a multiplication costs a fraction
// of a division, and every smooth item needs two.
struct LevelReciprocals
{
    double of[511];
    constexpr LevelReciprocals() : of()
    {
        for (int d = -255; d <= 255; ++d)
            of[d + 255] = d == 0 ? 0.0 : 1.0 / d;
    }
};
inline constexpr LevelReciprocals levelReciprocals{};

// The grey levels of one row on the black-and-white grid, which tell where between two pixel
// centres the picture's edge lies: the level crosses the threshold there.
class EdgeRow
{
public:
    // levels[i * step] is the grey level of pixel i; the edge lies where the level passes
    // threshold + 0.5, halfway between the last level counted black and the first counted white.
    EdgeRow(const uchar *levels, int step, int width, int threshold)
        : m_levels(levels), m_step(step), m_width(width), m_level(threshold + 0.5)
    { }
    // The grey levels held in the low byte of 32-bit pixels (RGB32 grey images).
    static const uchar *lowBytes(const quint32 *row)
    {
        return reinterpret_cast<const uchar *>(row) + (Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? 0 : 3);
    }

    // The left edge of a run starting at pixel s, between the centres of s - 1 and s; the
    // picture's border for a run starting at 0.
    double left(int s) const { return (double(s) - 0.5) + fraction(level(s - (s > 0)), level(s)); }
    // The right edge of a run ending before pixel end, between the centres of end and end - 1.
    double right(int end) const
    {
        return (double(end) + 0.5) - fraction(level(end - (end >= m_width)), level(end - 1));
    }

    // Asks for the levels from pixel x on ahead of their use.
    void prefetch(int x) const { __builtin_prefetch(m_levels + qsizetype(x) * m_step); }

private:
    int level(int i) const { return m_levels[qsizetype(i) * m_step]; }
    // How far from the centre of the pixel outside the run toward the one inside the level
    // crosses, clamped to the two centres. Levels that do not differ put the edge halfway: on
    // the pixel boundary, or on the border where both are the same pixel.
    double fraction(int outside, int inside) const
    {
        const double f = std::min(
                std::max((m_level - outside) * levelReciprocals.of[inside - outside + 255], 0.0),
                1.0);
        return outside == inside ? 0.5 : f;
    }

    const uchar *m_levels;
    int m_step;
    int m_width;
    double m_level;
};

} // namespace kcore
