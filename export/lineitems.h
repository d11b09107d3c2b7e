// What the file draws: the runs of white pixels and the numbers of the LINES item each run
// becomes, in the file's own units. The writers, the fab check and the Board view all take their
// geometry from here.
#pragma once

#include <QSize>
#include <QtGlobal>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace kcore {

// The file layouts kestrel writes. V20 is the classic whole-mil layout PADS Layout reads; V94
// adds a layer table and exact decimal geometry, which newer readers (KiCad, pcb-rnd) need to put
// the artwork on the right layer.
enum class PadsFormat { V20, V94 };

// What kind of board layer the artwork is meant for; Auto follows PADS's usual numbering.
enum class LayerKind {
    Auto,
    TopCopper,
    BottomCopper,
    TopSilk,
    BottomSilk,
    TopMask,
    BottomMask,
    Documentation,
};

struct PadsSettings
{
    double pitch = 2; // mils; also the line width before rounding
    int layer = 19;
    bool exactEnds = false;
    PadsFormat format = PadsFormat::V20;
    bool metric = false; // V94: millimetres (the width was given in mm), otherwise mils
    LayerKind kind = LayerKind::Auto;
    bool smoothEdges = false; // run ends follow the grey picture's edges
    int threshold = 128; // the black-and-white threshold, for smooth edges
};

// A whole number of pixels times the pitch, rounded to whole mils the way the V20 file does it:
// halves away from the pixel grid's origin for k > 0, toward minus for k <= 0. The caller makes
// sure the result fits (padsFits()).
// v truncated toward zero into an int, saturated at the ends (and 0 for NaN): numbers too large
// for the file are refused (LineGeometry::fits()), but sizes and views still ask for them.
inline int saturatedInt(double v)
{
    if (std::isnan(v))
        return 0;
    return v >= double(INT_MAX) ? INT_MAX : v <= double(INT_MIN) ? INT_MIN : int(v);
}

inline int roundMils(qint64 k, double pitch)
{
    return saturatedInt(k > 0 ? double(k) * pitch + 0.5 : double(k) * pitch - 0.5);
}

// The line width written into every V20 item: the smallest whole number of mils not below the
// pitch (a thousandth of a mil of slack for floating-point error), so rows a pitch apart always
// touch. Rounding to the nearest mil would leave 1-mil gaps between rows at, say, 2.36 mils.
inline int lineWidthMils(double pitch)
{
    return saturatedInt(pitch > 0 ? std::ceil(pitch - 0.001) : pitch - 0.5);
}

// The numbers of one item, in quanta of the file: whole mils in V20; in V94 a hundred-thousandth
// of a mil or a nanometre, so every number is an exact decimal of at most five or six places.
class LineGeometry
{
public:
    explicit LineGeometry(const PadsSettings &s)
        : m_pitch(s.pitch), m_exact(s.exactEnds), m_v94(s.format == PadsFormat::V94),
          m_decimals(!m_v94             ? 0
                             : s.metric ? 6
                                        : 5),
          m_quantaPerMil(!m_v94             ? 1.0
                                 : s.metric ? 25400.0
                                            : 100000.0),
          m_pitchQuanta(m_pitch * m_quantaPerMil),
          m_width(m_v94 ? std::llround(m_pitchQuanta) : lineWidthMils(m_pitch)),
          m_minLength(qint64(m_quantaPerMil))
    { }
    // The V20 geometry.
    explicit LineGeometry(double pitch, bool exactEnds = false)
        : LineGeometry(PadsSettings{pitch, 0, exactEnds})
    { }

    int decimals() const { return m_decimals; }
    double quantaPerMil() const { return m_quantaPerMil; }
    double mils(qint64 quanta) const { return double(quanta) / m_quantaPerMil; }

    // The width written into every item.
    qint64 width() const { return m_width; }

    qint64 x(qint64 s) const
    {
        if (m_v94)
            return std::llround((m_exact ? double(s) + 0.5 : double(s)) * m_pitchQuanta);
        return m_exact ? saturatedInt(std::floor((double(s) + 0.5) * m_pitch + 0.5))
                       : roundMils(s, m_pitch);
    }
    qint64 length(qint64 n) const
    {
        if (m_v94)
            return m_exact ? qMax(m_minLength, std::llround(double(n - 1) * m_pitchQuanta))
                           : std::llround(double(n) * m_pitchQuanta);
        // Readers drop segments of length 0, which would lose single pixels.
        return m_exact ? qMax(1, saturatedInt(std::floor(double(n - 1) * m_pitch + 0.5)))
                       : roundMils(n, m_pitch);
    }
    // The y of row y (0 = top) of an image height rows high: the bottom row lies at one pitch.
    qint64 y(int row, int height) const
    {
        return m_v94 ? std::llround(double(qint64(height) - row) * m_pitchQuanta)
                     : roundMils(qint64(height) - row, m_pitch);
    }

    // An item whose copper runs from the edge at pixel position left to the one at right
    // (fractional columns): the round ends stop at the edges. A run narrower than the line
    // becomes the shortest piece readers keep, centred between its edges.
    void between(double left, double right, qint64 *x, qint64 *length) const
    {
        // Both candidates, then a choice: runs narrower than the line come and go at random in
        // a photograph, a poor bet for a branch.
        const double half = double(m_width) / 2;
        const double minimum = double(m_minLength);
        const double a = left * m_pitchQuanta + half;
        const double b = right * m_pitchQuanta - half;
        const double c = (left + right) * (m_pitchQuanta / 2) - minimum / 2;
        const bool narrow = b - a < minimum;
        *x = nearest(narrow ? c : a);
        *length = qMax(m_minLength, nearest(narrow ? c + minimum : b) - *x);
    }

    // between() for n items at once: the same operations in the same order, with the vector
    // unit, so the numbers are the same either way.
    void between(const double *left, const double *right, qint64 *x, qint64 *length,
                 size_t n) const;

    // Whether every number an image of this size gives fits the file: the V20 file's numbers are
    // 32-bit integers of mils; V94 keeps within what readers that count in 32-bit nanometres hold
    // (about 2.1 m).
    bool fits(const QSize &bw) const
    {
        // Positions, lengths and rows grow with k: the widest of each and the width are the
        // extremes; exact and smooth ends stay within them.
        const double k = qMax(1, qMax(bw.width(), bw.height()));
        const double p = std::abs(m_pitch);
        const double most = qMax(k * p, std::ceil(p));
        if (!std::isfinite(most))
            return false;
        if (m_v94)
            return most <= maxV94Mils;
        return most + 0.5 < double(INT_MAX) + 1.0;
    }

    // About 2.1 m: 2^31 - 1 nanometres.
    static constexpr double maxV94Mils = 2147483647.0 / 25400.0;

private:
    // The nearest whole number, halves up: floor(v + 0.5) from the conversion toward zero, as
    // std::llround would cost a library call for every end. Positions stay far within 64 bits.
    static qint64 nearest(double v)
    {
        const double up = v + 0.5;
        const qint64 t = qint64(up);
        return t - qint64(up < double(t));
    }

    double m_pitch;
    bool m_exact;
    bool m_v94;
    int m_decimals;
    double m_quantaPerMil;
    double m_pitchQuanta;
    qint64 m_width;
    qint64 m_minLength; // 1 mil: readers drop pieces of length 0
};

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
// block(x) is called as the search reaches pixel x, every 64 pixels.
template<typename Run, typename Block>
inline void forEachRun(const quint32 *row, int from, int to, Run &&run, Block &&block)
{
    int start = -1; // of the run still open, if any
    quint64 before = 0; // whether the pixel before the block is set
    for (int x = from; x < to; x += 64) {
        // The pixels four blocks (1 KB) ahead asked for now: the processor's own prefetcher stops
        // at every 4 KB page, and the search would wait there. Asking past the row's end is
        // harmless.
        const std::uintptr_t ahead = reinterpret_cast<std::uintptr_t>(row + x) + 1024;
        for (int line = 0; line < 256; line += 64)
            __builtin_prefetch(reinterpret_cast<const void *>(ahead + line));
        block(x);
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
inline void forEachRun(const quint32 *row, int from, int to, Run &&run)
{
    forEachRun(row, from, to, run, [](int) {});
}

template<typename Run>
inline void forEachRun(const quint32 *row, int width, Run &&run)
{
    forEachRun(row, 0, width, run);
}

// The items of one row whose ends follow the picture's edges, placed all at once: the runs
// first, then every item's ends in a loop of its own. Placed one at a time as the runs turn up,
// each item waits on its grey levels and a long chain of arithmetic, and the next run's search
// waits behind it; in a loop of their own the items' ends are independent of each other.
class SmoothRow
{
public:
    // Finds the runs of row[from, to) and places their items; the buffers grow to the widest row.
    void place(const LineGeometry &g, const quint32 *row, int from, int to, const EdgeRow &edges)
    {
        const size_t most = size_t(to - from) / 2 + 1;
        if (m_starts.size() < most) {
            m_starts.resize(most);
            m_ends.resize(most);
            m_left.resize(most);
            m_right.resize(most);
            m_x.resize(most);
            m_lengths.resize(most);
        }
        // The levels are asked for as the search goes: by the time the ends are placed they are
        // at hand, where fetched one end at a time each would be a wait of its own.
        int *starts = m_starts.data(), *ends = m_ends.data();
        size_t count = 0;
        forEachRun(
                row, from, to,
                [&](int s, int n) {
                    starts[count] = s;
                    ends[count] = s + n;
                    ++count;
                },
                [&](int x) { edges.prefetch(x); });
        double *left = m_left.data(), *right = m_right.data();
        for (size_t i = 0; i < count; ++i) {
            left[i] = edges.left(starts[i]);
            right[i] = edges.right(ends[i]);
        }
        g.between(left, right, m_x.data(), m_lengths.data(), count);
        m_count = count;
    }
    size_t count() const { return m_count; }
    qint64 x(size_t i) const { return m_x[i]; }
    qint64 length(size_t i) const { return m_lengths[i]; }

private:
    std::vector<int> m_starts, m_ends;
    std::vector<double> m_left, m_right;
    std::vector<qint64> m_x, m_lengths;
    size_t m_count = 0;
};

// Calls item(s, n, x, length) for every run of row[from, to), with the item's position and
// length in quanta of the geometry; with edges, the ends follow the picture's edges.
template<typename Item>
inline void forEachItem(const LineGeometry &g, const quint32 *row, int from, int to,
                        const EdgeRow *edges, Item &&item)
{
    // Two loops rather than a test per item: each keeps its own arithmetic in registers.
    if (edges) {
        forEachRun(row, from, to, [&](int s, int n) {
            qint64 x, length;
            g.between(edges->left(s), edges->right(s + n), &x, &length);
            item(s, n, x, length);
        });
    } else {
        forEachRun(row, from, to, [&](int s, int n) { item(s, n, g.x(s), g.length(n)); });
    }
}

} // namespace kcore
