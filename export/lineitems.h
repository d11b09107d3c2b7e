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
    { }

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

// Bit i set when pixel i of the n (at most 64) pixels at row is set (lowest byte not zero).
inline quint64 setBits(const quint32 *row, int n)
{
    quint64 bits = 0;
    int i = 0;
#ifdef __SSE2__
    const __m128i low = _mm_set1_epi32(0xff);
    const __m128i zero = _mm_setzero_si128();
    auto clear4 = [&](int at) {
        const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + at));
        return _mm_cmpeq_epi32(_mm_and_si128(p, low), zero);
    };
    for (; i + 16 <= n; i += 16) {
        const __m128i clear = _mm_packs_epi16(_mm_packs_epi32(clear4(i), clear4(i + 4)),
                                              _mm_packs_epi32(clear4(i + 8), clear4(i + 12)));
        bits |= quint64(~unsigned(_mm_movemask_epi8(clear)) & 0xffffu) << i;
    }
#endif
    for (; i < n; ++i)
        bits |= quint64((row[i] & 0xffu) != 0) << i;
    return bits;
}

// Calls run(s, n) for every run of set pixels (lowest byte not zero) in row[from, to), in order.
// Sixty-four pixels become one word of bits, and the word of their edges (where a pixel differs
// from the one before) is walked a set bit at a time: long runs and gaps cost next to nothing,
// and irregular edges cause no mispredicted branch per pixel.
template<typename Run>
inline void forEachRun(const quint32 *row, int from, int to, Run &&run)
{
    int start = -1; // of the run still open, if any
    quint64 before = 0; // whether the pixel before the block is set
    for (int x = from; x < to; x += 64) {
        const int n = qMin(64, to - x);
        const quint64 set = setBits(row + x, n);
        const quint64 valid = n == 64 ? ~quint64(0) : (quint64(1) << n) - 1;
        quint64 edges = (set ^ (set << 1 | before)) & valid;
        before = set >> (n - 1) & 1;
        while (edges) {
            const int i = __builtin_ctzll(edges);
            edges &= edges - 1;
            if (start < 0) {
                start = x + i;
            } else {
                run(start, x + i - start);
                start = -1;
            }
        }
    }
    if (start >= 0)
        run(start, to - start);
}

template<typename Run>
inline void forEachRun(const quint32 *row, int width, Run &&run)
{
    forEachRun(row, 0, width, run);
}

} // namespace kcore
