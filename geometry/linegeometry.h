// The numbers of the LINES item a run of pixels becomes, in the file's own units: positions,
// lengths, the width, and whether a picture's numbers fit the file at all.
#pragma once

#include "padssettings.h"

#include <QSize>
#include <QtGlobal>

#include <climits>
#include <cmath>

namespace kcore {

// v truncated toward zero into an int, saturated at the ends (and 0 for NaN): numbers too large
// for the file are refused (LineGeometry::fits()), but sizes and views still ask for them.
inline int saturatedInt(double v)
{
    if (std::isnan(v))
        return 0;
    return v >= double(INT_MAX) ? INT_MAX : v <= double(INT_MIN) ? INT_MIN : int(v);
}

// A whole number of pixels times the pitch, rounded to whole mils the way the V20 file does it:
// halves away from the pixel grid's origin for k > 0, toward minus for k <= 0. The caller makes
// sure the result fits (padsFits()).
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

    // What between() works with, in quanta: one pitch, and the shortest piece readers keep.
    double pitchQuanta() const { return m_pitchQuanta; }
    qint64 minLength() const { return m_minLength; }

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

} // namespace kcore
