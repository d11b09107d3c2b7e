// PADS writer: finds the runs of each row and formats the items straight into a chunk buffer.
#include "padswriter.h"

#include "image/greyimage.h"

#include <QIODevice>

#include <charconv>
#include <climits>
#include <cstring>
#include <vector>

namespace kcore {

namespace {

constexpr char header[] = "!PADS-POWERPCB-V2.0-MILS! DESIGN DATABASE ASCII FILE 1.0\r\n"
                          "*LINES* LINES ITEMS\r\n"
                          "\r\n";
constexpr char footer[] = "*END*\r\n";
constexpr qsizetype chunkSize = qsizetype(1) << 20;
// Room for one whole item with every number at its widest, plus the slack of fixed-size copies.
constexpr qsizetype itemRoom = 256;

// Decimal text of an int, as "%d" writes it, into at most 11 bytes; returns its length.
int formatInt(char *out, int v)
{
    return int(std::to_chars(out, out + 11, v).ptr - out);
}

// A number's "%5d" and "%d" texts, kept in fixed 16-byte slots so they copy as one block.
struct NumberText
{
    char text[16];
    int length;
};

NumberText padded5(int v)
{
    NumberText t;
    std::memset(t.text, ' ', sizeof t.text);
    char digits[12];
    const int n = formatInt(digits, v);
    const int pad = n < 5 ? 5 - n : 0;
    std::memcpy(t.text + pad, digits, size_t(n));
    t.length = pad + n;
    return t;
}

NumberText plain(int v)
{
    NumberText t;
    std::memset(t.text, ' ', sizeof t.text);
    t.length = formatInt(t.text, v);
    return t;
}

// Formats into a plain byte buffer and hands it to the device a chunk at a time.
class ChunkWriter
{
public:
    explicit ChunkWriter(QIODevice *out) : m_out(out), m_buf(size_t(chunkSize + itemRoom)) { }

    char *cursor() { return m_buf.data() + m_used; }
    void advance(qsizetype n) { m_used += n; }
    void append(const char *s, qsizetype n)
    {
        std::memcpy(cursor(), s, size_t(n));
        m_used += n;
    }
    bool flushIfFull() { return m_used < chunkSize || flush(); }
    bool flush()
    {
        if (!m_failed && m_used > 0 && m_out->write(m_buf.data(), m_used) != m_used)
            m_failed = true;
        m_used = 0;
        return !m_failed;
    }

private:
    QIODevice *m_out;
    std::vector<char> m_buf;
    qsizetype m_used = 0;
    bool m_failed = false;
};

bool fitsInt(double v)
{
    // Also false for NaN.
    return v > double(INT_MIN) - 1.0 && v < double(INT_MAX) + 1.0;
}

// Each number in a file is round(k * pitch) for a pixel index or count k up to the image's
// size; tables of their texts make an item a handful of block copies. Past this width the
// numbers are formatted as they come, to keep the tables small.
constexpr int maxTableWidth = 1 << 16;

} // namespace

ItemPrefix::ItemPrefix(qint64 first)
{
    char digits[24];
    const auto r = std::to_chars(digits, digits + sizeof(digits), qMax<qint64>(0, first));
    const int n = int(r.ptr - digits);
    m_digits = qMax(8, n);
    std::memset(m_text + 3, '0', size_t(m_digits - n));
    std::memcpy(m_text + 3 + m_digits - n, digits, size_t(n));
    finish();
}

void ItemPrefix::next()
{
    char *p = m_text + 3 + m_digits - 1;
    while (p >= m_text + 3 && *p == '9')
        *p-- = '0';
    if (p >= m_text + 3) {
        ++*p;
        return;
    }
    // 99999999 -> 100000000: one digit more.
    m_text[3] = '1';
    m_text[3 + m_digits] = '0';
    ++m_digits;
    finish();
}

void ItemPrefix::finish()
{
    std::memcpy(m_text, "IMG", 3);
    std::memcpy(m_text + 3 + m_digits, "  LINES ", 8);
    m_size = 3 + m_digits + 8;
}

int roundMils(qint64 k, double pitch)
{
    const double v = k > 0 ? double(k) * pitch + 0.5 : double(k) * pitch - 0.5;
    return int(v);
}

int lineWidthMils(double pitch)
{
    return int(pitch > 0 ? pitch + 0.5 : pitch - 0.5);
}

bool padsFits(const QSize &bw, double pitch)
{
    // Rounded values grow with k, so the widest position, length and row are the extremes.
    const qint64 k = qMax<qint64>(1, qMax(bw.width(), bw.height()));
    return fitsInt(pitch > 0 ? pitch + 0.5 : pitch - 0.5) && fitsInt(double(k) * pitch + 0.5);
}

PadsResult writePads(const QImage &bw, double pitch, int layer, QIODevice *out)
{
    PadsResult result;
    if (!bw.isNull() && !padsFits(bw.size(), pitch)) {
        result.status = PadsResult::PitchTooLarge;
        return result;
    }

    ChunkWriter w(out);
    w.append(header, sizeof(header) - 1);

    const int width = bw.width();
    const int height = bw.height();
    const bool tables = width <= maxTableWidth;
    std::vector<NumberText> positions, lengths;
    if (tables) {
        positions.resize(size_t(width) + 1);
        lengths.resize(size_t(width) + 1);
        for (int k = 0; k <= width; ++k) {
            positions[size_t(k)] = padded5(roundMils(k, pitch));
            lengths[size_t(k)] = plain(roundMils(k, pitch));
        }
    }
    // What follows X on every item line: Y, the constant 1 and the two constant lines after it.
    const QByteArray tailAfterY = " 1\r\nOPEN 2 " + QByteArray::number(lineWidthMils(pitch)) + ' '
            + QByteArray::number(layer) + "\r\n0 0\r\n";
    char rowTail[itemRoom] = {};
    ItemPrefix prefix(0);
    std::vector<QRgb> scratch(static_cast<size_t>(width));
    qint64 items = 0;
    bool failed = false;

    for (int y = 0; y < height && !failed; ++y) {
        const NumberText rowY = padded5(roundMils(height - y, pitch));
        rowTail[0] = ' ';
        std::memcpy(rowTail + 1, rowY.text, size_t(rowY.length));
        std::memcpy(rowTail + 1 + rowY.length, tailAfterY.constData(), size_t(tailAfterY.size()));
        const qsizetype rowTailSize = 1 + rowY.length + tailAfterY.size();

        const QRgb *row = pixelRow(bw, y, scratch.data());
        int x = 0;
        while (x < width) {
            while (x < width && !(row[x] & 0xffu))
                ++x;
            if (x == width)
                break;
            const int s = x;
            while (x < width && (row[x] & 0xffu))
                ++x;

            w.append(prefix.data(), prefix.size());
            const NumberText pos = tables ? positions[size_t(s)] : padded5(roundMils(s, pitch));
            w.append(pos.text, pos.length);
            w.append(rowTail, rowTailSize);
            const NumberText len = tables ? lengths[size_t(x - s)] : plain(roundMils(x - s, pitch));
            w.append(len.text, len.length);
            w.append(" 0\r\n", 4);
            prefix.next();
            ++items;
            if (!w.flushIfFull()) {
                failed = true;
                break;
            }
        }
    }
    w.append(footer, sizeof(footer) - 1);
    result.items = items;
    if (!w.flush()) {
        result.status = PadsResult::WriteFailed;
        result.error = out->errorString();
    }
    return result;
}

} // namespace kcore
