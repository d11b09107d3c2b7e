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
constexpr qsizetype chunkSize = 1 << 20;

// The item counter as decimal text, at least eight digits, counted up in place.
class ItemName
{
public:
    ItemName() { std::memset(m_digits + sizeof(m_digits) - 8, '0', 8); }
    const char *begin() const { return m_digits + sizeof(m_digits) - m_len; }
    int size() const { return m_len; }
    void next()
    {
        char *p = m_digits + sizeof(m_digits) - 1;
        char *const first = m_digits + sizeof(m_digits) - m_len;
        while (p >= first && *p == '9')
            *p-- = '0';
        if (p >= first) {
            ++*p;
        } else {
            *p = '1';
            ++m_len;
        }
    }

private:
    char m_digits[20];
    int m_len = 8;
};

class ChunkWriter
{
public:
    explicit ChunkWriter(QIODevice *out) : m_out(out) { m_buf.reserve(chunkSize + 256); }

    void append(const char *s, qsizetype n) { m_buf.append(s, n); }
    template<qsizetype N>
    void append(const char (&s)[N])
    {
        m_buf.append(s, N - 1);
    }
    void appendInt(int v)
    {
        char tmp[16];
        const auto r = std::to_chars(tmp, tmp + sizeof(tmp), v);
        m_buf.append(tmp, r.ptr - tmp);
    }
    // "%5d": right-aligned in five characters, wider numbers in full.
    void appendInt5(int v)
    {
        char tmp[16];
        const auto r = std::to_chars(tmp, tmp + sizeof(tmp), v);
        const qsizetype n = r.ptr - tmp;
        if (n < 5)
            m_buf.append(5 - n, ' ');
        m_buf.append(tmp, n);
    }
    bool flushIfFull() { return m_buf.size() < chunkSize || flush(); }
    bool flush()
    {
        if (m_failed)
            return false;
        if (!m_buf.isEmpty() && m_out->write(m_buf) != m_buf.size())
            m_failed = true;
        m_buf.clear();
        return !m_failed;
    }

private:
    QIODevice *m_out;
    QByteArray m_buf;
    bool m_failed = false;
};

bool fitsInt(double v)
{
    // Also false for NaN.
    return v > double(INT_MIN) - 1.0 && v < double(INT_MAX) + 1.0;
}

} // namespace

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
    w.append(header);

    const int width = bw.width();
    const int height = bw.height();
    // What follows Y on every item line, and the two constant lines after it.
    QByteArray itemTail = " 1\r\nOPEN 2 " + QByteArray::number(lineWidthMils(pitch)) + ' '
            + QByteArray::number(layer) + "\r\n0 0\r\n";
    ItemName name;
    std::vector<QRgb> scratch(width);
    qint64 items = 0;
    bool failed = false;

    for (int y = 0; y < height && !failed; ++y) {
        const int rowY = roundMils(height - y, pitch);
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
            w.append("IMG");
            w.append(name.begin(), name.size());
            w.append("  LINES ");
            w.appendInt5(roundMils(s, pitch));
            w.append(" ");
            w.appendInt5(rowY);
            w.append(itemTail.constData(), itemTail.size());
            w.appendInt(roundMils(x - s, pitch));
            w.append(" 0\r\n");
            name.next();
            ++items;
            if (!w.flushIfFull()) {
                failed = true;
                break;
            }
        }
    }
    w.append(footer);
    result.items = items;
    if (!w.flush()) {
        result.status = PadsResult::WriteFailed;
        result.error = out->errorString();
    }
    return result;
}

} // namespace kcore
