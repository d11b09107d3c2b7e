// What the file draws: the runs of white pixels and the whole-mil numbers of the LINES item each
// run becomes. The writer, the budget and the Board view all take their geometry from here.
#pragma once

#include <QtGlobal>

#include <cmath>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace kcore {

// A whole number of pixels times the pitch, rounded to whole mils the way the file does it:
// halves away from the pixel grid's origin for k > 0, toward minus for k <= 0. The caller makes
// sure the result fits (padsFits()).
inline int roundMils(qint64 k, double pitch)
{
    const double v = k > 0 ? double(k) * pitch + 0.5 : double(k) * pitch - 0.5;
    return int(v);
}

// The line width written into every item: the smallest whole number of mils not below the pitch
// (a thousandth of a mil of slack for floating-point error), so rows a pitch apart always touch.
// Rounding to the nearest mil would leave 1-mil gaps between rows at, say, 2.36 mils.
inline int lineWidthMils(double pitch)
{
    if (pitch > 0)
        return int(std::ceil(pitch - 0.001));
    return int(pitch - 0.5);
}

// The numbers of one item, from the run's first column s and its length n in pixels.
class LineGeometry
{
public:
    // exactEnds: each item runs between the centres of its first and last pixel, so that the
    // round ends readers draw stay inside the run's pixels instead of overhanging by half a width.
    explicit LineGeometry(double pitch, bool exactEnds = false)
        : m_pitch(pitch), m_exact(exactEnds), m_width(lineWidthMils(pitch))
    {
    }

    double pitch() const { return m_pitch; }
    bool exactEnds() const { return m_exact; }
    int width() const { return m_width; }

    int x(qint64 s) const
    {
        return m_exact ? int(std::floor((double(s) + 0.5) * m_pitch + 0.5)) : roundMils(s, m_pitch);
    }
    int length(qint64 n) const
    {
        // Readers drop segments of length 0, which would lose single pixels.
        return m_exact ? qMax(1, int(std::floor(double(n - 1) * m_pitch + 0.5)))
                       : roundMils(n, m_pitch);
    }
    // The y of row y (0 = top) of an image height rows high: the bottom row lies at one pitch.
    int y(int row, int height) const { return roundMils(qint64(height) - row, m_pitch); }

private:
    double m_pitch;
    bool m_exact;
    int m_width;
};

// The first x in [x, to) whose pixel is set (lowest byte not zero) when set is true, or clear
// when it is false; to if there is none. Four pixels at a time: a photo's runs are long enough
// for that to pay, and a pixel-by-pixel loop mispredicts at every irregular edge.
inline int nextEdge(const quint32 *row, int x, int to, bool set)
{
    // Short runs and gaps, as in fine hatching, end within two pixels.
    for (int probe = 0; probe < 2 && x < to; ++probe, ++x) {
        if (bool(row[x] & 0xffu) == set)
            return x;
    }
#ifdef __SSE2__
    const __m128i low = _mm_set1_epi32(0xff);
    const __m128i zero = _mm_setzero_si128();
    for (; x + 4 <= to; x += 4) {
        const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + x));
        const int clear = _mm_movemask_ps(
                _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_and_si128(p, low), zero)));
        const int hit = set ? ~clear & 0xf : clear;
        if (hit)
            return x + __builtin_ctz(unsigned(hit));
    }
#endif
    while (x < to && bool(row[x] & 0xffu) != set)
        ++x;
    return x;
}

// Calls run(s, n) for every run of set pixels (lowest byte not zero) in row[from, to), in order.
template<typename Run>
inline void forEachRun(const quint32 *row, int from, int to, Run &&run)
{
    int x = from;
    while (x < to) {
        const int s = nextEdge(row, x, to, true);
        if (s == to)
            return;
        x = nextEdge(row, s + 1, to, false);
        run(s, x - s);
    }
}

template<typename Run>
inline void forEachRun(const quint32 *row, int width, Run &&run)
{
    forEachRun(row, 0, width, run);
}

} // namespace kcore
