// The V20 layout: "!PADS-POWERPCB-V2.0-MILS!", whole mils, four-field pieces, no layer table.
// Item numbers come from tables of their texts where the picture is narrow enough.
#include "itemtext.h"
#include "smoothrow.h"

#include <charconv>

namespace kcore {

namespace {

constexpr char header[] = "!PADS-POWERPCB-V2.0-MILS! DESIGN DATABASE ASCII FILE 1.0\r\n"
                          "*LINES* LINES ITEMS\r\n"
                          "\r\n";
constexpr char footer[] = "*END*\r\n";

// Decimal text of an int, as "%d" writes it, into at most 11 bytes; returns its length.
int formatInt(char *out, int v)
{
    return int(std::to_chars(out, out + 11, v).ptr - out);
}

// The number of characters "%d" writes for v.
int decimalLength(int v)
{
    int n = v < 0 ? 2 : 1;
    for (unsigned u = v < 0 ? 0u - unsigned(v) : unsigned(v); u >= 10; u /= 10)
        ++n;
    return n;
}

// "%5d" of v, formatted in place: a copy of a length known only at run time would go through
// the C library.
NumberText padded5(int v)
{
    NumberText t;
    std::memset(t.text, ' ', sizeof t.text);
    const int n = decimalLength(v);
    const int pad = n < 5 ? 5 - n : 0;
    formatInt(t.text + pad, v);
    t.length = pad + n;
    return t;
}

// "%d 0\r\n" of v: the last line of an item.
NumberText lastLineText(int v)
{
    NumberText t;
    std::memset(t.text, ' ', sizeof t.text);
    const int n = formatInt(t.text, v);
    std::memcpy(t.text + n, " 0\r\n", 4);
    t.length = n + 4;
    return t;
}

// padded5() of 0 <= v < 10^8 in eight bytes, eight digits at once: the text is the bytes from
// the first given on.
struct Padded8
{
    quint64 text;
    int from;
};

Padded8 padded8(quint32 v)
{
    const quint64 digits = digits8(v);
    // Zeros in front become spaces, all but the last digit's; three of them are dropped.
    const int zeros = qMin(leadingZeroDigits(digits), 7);
    const quint64 inFront = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? (quint64(1) << (8 * zeros)) - 1
                                                            : ~(~quint64(0) >> (8 * zeros));
    return {(digitText(digits) & ~inFront) | (0x2020202020202020ULL & inFront), qMin(zeros, 3)};
}

// padded5() and lastLineText() written straight into the output; return the end.
char *padded5Into(char *out, int v)
{
    if (v < 0 || v >= 100000000) {
        std::memset(out, ' ', 8);
        const int n = decimalLength(v);
        return out + formatInt(out + (n < 5 ? 5 - n : 0), v) + (n < 5 ? 5 - n : 0);
    }
    const Padded8 p = padded8(quint32(v));
    storeText8(out, p.text, p.from);
    return out + 8 - p.from;
}

char *lastLineInto(char *out, int v)
{
    if (v < 0 || v >= 100000000) {
        out += formatInt(out, v);
    } else {
        const quint64 digits = digits8(quint32(v));
        const int from = qMin(leadingZeroDigits(digits), 7);
        storeText8(out, digitText(digits), from);
        out += 8 - from;
    }
    std::memcpy(out, " 0\r\n", 4);
    return out + 4;
}

// Each number in a file comes from a pixel index or count up to the image's width; tables of
// their texts make an item a handful of block copies. Past this width the numbers are formatted
// as they come, to keep the tables small.
constexpr int maxTableWidth = 1 << 16;
// Smooth items' numbers are whole mils, not pixels: their tables are by the mil, of positions
// across a picture up to this many mils wide, and of lengths up to this many (most are short).
constexpr int maxSmoothPositionMils = 1 << 16;
constexpr int smoothLengthTexts = 1 << 12;

class V20Writer : public FormatWriter
{
public:
    V20Writer(const QSize &bw, const PadsSettings &s)
        : FormatWriter("  LINES "), m_geometry(s), m_tables(bw.width() <= maxTableWidth),
          m_height(bw.height()), m_width(bw.width())
    {
        if (m_tables) {
            m_positions.resize(size_t(m_width) + 1);
            m_lastLines.resize(size_t(m_width) + 1);
            for (int k = 0; k <= m_width; ++k) {
                m_positions[size_t(k)] = padded5(int(m_geometry.x(k)));
                m_lastLines[size_t(k)] = lastLineText(int(m_geometry.length(k)));
            }
        }
        if (s.smoothEdges) {
            m_lengthTexts.resize(smoothLengthTexts);
            for (int v = 0; v < smoothLengthTexts; ++v)
                m_lengthTexts[size_t(v)] = lastLineText(v);
            // Positions reach the picture's width in mils, rounded up; others are formatted.
            const double most = double(bw.width()) * s.pitch + 2;
            if (most < maxSmoothPositionMils) {
                m_positionMils.resize(size_t(most));
                for (size_t v = 0; v < m_positionMils.size(); ++v)
                    m_positionMils[v] = padded8(quint32(v));
            }
        }
        setStyle(s.layer, m_geometry.width());
    }

    void setStyle(int layer, qint64 width) override
    {
        const QByteArray afterY = " 1\r\nOPEN 2 " + QByteArray::number(width) + ' '
                + QByteArray::number(layer) + "\r\n0 0\r\n";
        std::memcpy(m_afterY, afterY.constData(), size_t(afterY.size()));
        m_afterYSize = int(afterY.size());
    }

    void items(ChunkBuffer &out, qint64 y, const qint64 *x, const qint64 *length, size_t n) override
    {
        char tail[textSlot];
        const int tailSize = tailAt(int(y), tail);
        char *cursor = out.cursor();
        bool ok = !out.failed();
        for (size_t i = 0; ok && i < n; ++i) {
            cursor = m_prefix.writeTo(cursor);
            cursor = padded5Into(cursor, int(x[i]));
            cursor = put<textSlot>(cursor, tail, tailSize);
            cursor = lastLineInto(cursor, int(length[i]));
            ok = endItem(out, cursor);
        }
    }

    void begin(ChunkBuffer &out) override { out.append(header, sizeof(header) - 1); }
    void end(ChunkBuffer &out) override { out.append(footer, sizeof(footer) - 1); }

    void row(ChunkBuffer &out, const quint32 *row, int y, const EdgeRow *edges) override
    {
        char tail[textSlot];
        const int tailSize = rowTail(y, tail);
        char *cursor = out.cursor();
        bool ok = !out.failed();
        if (edges) {
            // The numbers' texts from the tables by the mil, or formatted in place: a text built
            // aside and copied would wait for its own bytes to be stored.
            m_smooth.place(m_geometry, row, 0, m_width, *edges);
            for (size_t i = 0; ok && i < m_smooth.count(); ++i) {
                cursor = m_prefix.writeTo(cursor);
                const qint64 x = m_smooth.x(i);
                if (quint64(x) < m_positionMils.size()) {
                    const Padded8 &p = m_positionMils[size_t(x)];
                    storeText8(cursor, p.text, p.from);
                    cursor += 8 - p.from;
                } else {
                    cursor = padded5Into(cursor, int(x));
                }
                cursor = put<textSlot>(cursor, tail, tailSize);
                const qint64 length = m_smooth.length(i);
                if (quint64(length) < m_lengthTexts.size()) {
                    const NumberText &last = m_lengthTexts[size_t(length)];
                    cursor = put<numberSlot>(cursor, last.text, last.length);
                } else {
                    cursor = lastLineInto(cursor, int(length));
                }
                ok = endItem(out, cursor);
            }
            return;
        }
        forEachRun(row, m_width, [&](int s, int n) {
            if (!ok)
                return; // the rest of the file is lost with the failed write
            cursor = m_prefix.writeTo(cursor);
            const NumberText position = this->position(s);
            const NumberText last = lastLine(n);
            cursor = put<numberSlot>(cursor, position.text, position.length);
            cursor = put<textSlot>(cursor, tail, tailSize);
            cursor = put<numberSlot>(cursor, last.text, last.length);
            ok = endItem(out, cursor);
        });
    }

private:
    NumberText position(int s) const
    {
        return m_tables ? m_positions[size_t(s)] : padded5(int(m_geometry.x(s)));
    }
    NumberText lastLine(int n) const
    {
        return m_tables ? m_lastLines[size_t(n)] : lastLineText(int(m_geometry.length(n)));
    }

    // " Y 1\r\nOPEN 2 W L\r\n0 0\r\n" for a row, in a textSlot-sized buffer; returns its length.
    int rowTail(int y, char *out) const { return tailAt(int(m_geometry.y(y, m_height)), out); }
    int tailAt(int y, char *out) const
    {
        const NumberText rowY = padded5(y);
        std::memset(out, ' ', textSlot);
        std::memcpy(out + 1, rowY.text, size_t(rowY.length));
        std::memcpy(out + 1 + rowY.length, m_afterY, size_t(m_afterYSize));
        return 1 + rowY.length + m_afterYSize;
    }

    LineGeometry m_geometry;
    bool m_tables;
    int m_height;
    int m_width;
    std::vector<NumberText> m_positions, m_lastLines, m_lengthTexts;
    std::vector<Padded8> m_positionMils;
    char m_afterY[textSlot] = {};
    int m_afterYSize = 0;
    SmoothRow m_smooth;
};

} // namespace

std::unique_ptr<FormatWriter> makeV20Writer(const QSize &bw, const PadsSettings &settings)
{
    return std::make_unique<V20Writer>(bw, settings);
}

} // namespace kcore
