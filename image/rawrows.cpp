// BMP and PBM/PGM/PPM rows read by hand: the pixels as the toolkit's own readers lay them out,
// read a block of rows at a time, bottom-up files from their end.
#include "rowdecoder.h"

#include <QIODevice>
#include <QRgba64>

#include <cctype>
#include <climits>
#include <cstring>

namespace kcore {

namespace {

// Rows of stride bytes from offset on, a block at a time in either direction.
class Blocks
{
public:
    Blocks(QIODevice *device, qint64 offset, qint64 stride, int rows)
        : m_device(device), m_offset(offset), m_stride(stride), m_rows(rows),
          m_count(int(qBound(qint64(1), (qint64(1) << 20) / qMax(stride, qint64(1)), qint64(rows))))
    { }
    // The file's row r, from the top of the data.
    const uchar *row(int r)
    {
        if (m_first < 0 || r < m_first || r >= m_first + m_count) {
            const bool backwards = m_first >= 0 && r < m_first;
            m_first = backwards ? qMax(0, r - m_count + 1) : r;
            const int n = qMin(m_count, m_rows - m_first);
            m_data.resize(size_t(m_stride) * size_t(m_count));
            const qint64 bytes = m_stride * n;
            if (!m_device->seek(m_offset + m_stride * m_first)
                || m_device->read(reinterpret_cast<char *>(m_data.data()), bytes) != bytes) {
                m_first = -1;
                return nullptr;
            }
        }
        return m_data.data() + size_t(m_stride) * size_t(r - m_first);
    }

private:
    QIODevice *m_device;
    qint64 m_offset, m_stride;
    int m_rows, m_count;
    int m_first = -1;
    std::vector<uchar> m_data;
};

quint32 le32(const uchar *p)
{
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

int shiftOf(quint32 mask)
{
    int shift = 0;
    while (mask && !(mask & 1)) {
        ++shift;
        mask >>= 1;
    }
    return shift;
}

// A channel of a 16-, 24- or 32-bit bitmap: where its bits are and what they are multiplied by.
struct Channel
{
    quint32 mask = 0;
    int shift = 0;
    quint32 scale = 0;
    // False where the reader refuses the mask.
    bool set(quint32 m)
    {
        mask = m;
        shift = shiftOf(m);
        if ((m >> shift) + 1 == 0)
            return false;
        scale = 256 / ((m >> shift) + 1);
        return true;
    }
    quint32 of(quint32 c) const { return ((c & mask) >> shift) * scale; }
};

class BmpRows : public RowDecoder
{
public:
    explicit BmpRows(QIODevice *device) : m_device(device) { }
    bool open(QString *fallback);
    bool next(uchar *row) override;

private:
    bool readHeader(QString *fallback);
    bool readMasks(const uchar *info, quint32 infoSize, QString *fallback);

    QIODevice *m_device;
    std::unique_ptr<Blocks> m_blocks;
    int m_bits = 0, m_compression = 0, m_y = 0;
    bool m_bottomUp = true, m_alpha = false;
    Channel m_red, m_green, m_blue, m_transparency;
    qint64 m_position = 0; // where the colour table or the pixels start
    qint64 m_offset = 0; // the file header's offset of the pixels
};

bool BmpRows::open(QString *fallback)
{
    if (!readHeader(fallback))
        return false;
    const qint64 stride = (qint64(size.width()) * m_bits + 31) / 32 * 4;
    const qint64 start = qMax(m_offset, m_position);
    // A bitmap cut short leaves rows the reader does not write: read whole, as it always was.
    if (m_device->size() - start < stride * size.height()) {
        *fallback = QStringLiteral("BMP cut short");
        return false;
    }
    m_blocks = std::make_unique<Blocks>(m_device, start, stride, size.height());
    return true;
}

// The file and information headers, checked as the toolkit's reader checks them, and the colour
// table or the channels' masks.
bool BmpRows::readHeader(QString *fallback)
{
    uchar head[14 + 124 + 12] = {};
    const qint64 got = m_device->read(reinterpret_cast<char *>(head), sizeof head);
    if (got < 18 || std::memcmp(head, "BM", 2) != 0)
        return false;
    m_offset = qint32(le32(head + 10));
    const quint32 infoSize = le32(head + 14);
    if (infoSize != 40 && infoSize != 108 && infoSize != 124) {
        *fallback = QStringLiteral("BMP of a %1-byte header").arg(infoSize);
        return false;
    }
    if (got < 14 + qint64(infoSize))
        return false;
    const uchar *info = head + 14;
    const qint32 width = qint32(le32(info + 4)), height = qint32(le32(info + 8));
    const int planes = info[12] | info[13] << 8;
    m_bits = info[14] | info[15] << 8;
    m_compression = qint32(le32(info + 16));
    const int comp = m_compression;
    const bool depthKnown = m_bits == 1 || m_bits == 4 || m_bits == 8 || m_bits == 16
            || m_bits == 24 || m_bits == 32;
    if (!depthKnown || planes != 1 || comp > 3
        || !(comp == 0 || (m_bits == 4 && comp == 2) || (m_bits == 8 && comp == 1)
             || ((m_bits == 16 || m_bits == 32) && comp == 3))
        || height == INT_MIN || width <= 0 || height == 0
        || quint64(width) * quint64(qAbs(height)) > quint64(16384) * 16384)
        return false;
    if (comp == 1 || comp == 2) {
        *fallback = QStringLiteral("run-length BMP");
        return false;
    }
    size = QSize(width, qAbs(height));
    m_bottomUp = height > 0;
    m_position = 14 + infoSize;
    return readMasks(info, infoSize, fallback);
}

bool BmpRows::readMasks(const uchar *info, quint32 infoSize, QString *)
{
    const bool bitfields = m_compression == 3;
    quint32 red = 0, green = 0, blue = 0, alpha = 0;
    if (infoSize >= 108) {
        red = le32(info + 40);
        green = le32(info + 44);
        blue = le32(info + 48);
        alpha = le32(info + 52);
    } else if (bitfields) {
        uchar masks[12];
        if (!m_device->seek(m_position)
            || m_device->read(reinterpret_cast<char *>(masks), 12) != 12)
            return false;
        red = le32(masks);
        green = le32(masks + 4);
        blue = le32(masks + 8);
        m_position += 12;
    }
    m_alpha = (bitfields || (m_compression == 0 && m_bits == 32 && alpha == 0xff000000u)) && alpha;
    if (m_bits <= 8) {
        const qint32 used = qint32(le32(info + 32));
        const int count = used ? used : 1 << m_bits;
        if (count < 1 || count > 256)
            return false;
        uchar table[256 * 4];
        if (!m_device->seek(m_position)
            || m_device->read(reinterpret_cast<char *>(table), count * 4) != count * 4)
            return false;
        for (int i = 0; i < count; ++i)
            colours << qRgb(table[i * 4 + 2], table[i * 4 + 1], table[i * 4]);
        m_position += count * 4;
        format = toolkitFormat = m_bits == 1 ? QImage::Format_Mono : QImage::Format_Indexed8;
        return true;
    }
    format = toolkitFormat = m_alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32;
    if (bitfields)
        return m_red.set(red) && m_green.set(green) && m_blue.set(blue)
                && m_transparency.set(alpha);
    if (m_bits == 16) {
        // Five bits a channel, as the reader places them.
        m_red = {0x7c00, 7, 1};
        m_green = {0x03e0, 2, 1};
        m_blue = {0x001f, 0, 8};
        return true;
    }
    m_red = {0xff0000, 16, 1};
    m_green = {0xff00, 8, 1};
    m_blue = {0xff, 0, 1};
    return !m_alpha || m_transparency.set(alpha);
}

bool BmpRows::next(uchar *row)
{
    const uchar *in = m_blocks->row(m_bottomUp ? size.height() - 1 - m_y : m_y);
    if (!in)
        return false;
    ++m_y;
    const int w = size.width();
    switch (m_bits) {
    case 1:
        std::memcpy(row, in, size_t(w + 7) / 8);
        return true;
    case 4:
        for (int x = 0; x < w; ++x)
            row[x] = x & 1 ? in[x / 2] & 0x0f : in[x / 2] >> 4;
        return true;
    case 8:
        std::memcpy(row, in, size_t(w));
        return true;
    default:
        break;
    }
    auto *out = reinterpret_cast<QRgb *>(row);
    if (m_bits == 24 && m_compression == 0) {
        for (int x = 0; x < w; ++x, in += 3)
            out[x] = 0xff000000u | quint32(in[2]) << 16 | quint32(in[1]) << 8 | in[0];
        return true;
    }
    const int bytes = m_bits / 8;
    for (int x = 0; x < w; ++x, in += bytes) {
        quint32 c = quint32(in[0]) | quint32(in[1]) << 8;
        if (bytes > 2)
            c |= quint32(in[2]) << 16;
        if (bytes > 3)
            c |= quint32(in[3]) << 24;
        out[x] = qRgba(int(m_red.of(c)), int(m_green.of(c)), int(m_blue.of(c)),
                       m_alpha ? int(m_transparency.of(c)) : 0xff);
    }
    return true;
}

// A number of a netpbm header as the toolkit's reader reads it: blanks and comments before it,
// and the one character after it (a comment there runs to the end of its line). -1 on overflow.
int headerNumber(QIODevice *d, bool *ok)
{
    const auto skipLine = [d] {
        char c;
        while (d->getChar(&c) && c != '\n') { }
    };
    int value = -1;
    bool overflow = false;
    char c;
    while (d->getChar(&c)) {
        const bool digit = std::isdigit(uchar(c));
        if (value != -1) {
            if (!digit) {
                if (c == '#')
                    skipLine();
                break;
            }
            if (value <= (INT_MAX - (c - '0')) / 10)
                value = 10 * value + (c - '0');
            else
                overflow = true;
            continue;
        }
        if (digit)
            value = c - '0';
        else if (std::isspace(uchar(c)))
            continue;
        else if (c == '#')
            skipLine();
        else
            break;
    }
    if (value < 0)
        *ok = false;
    return overflow ? -1 : value;
}

QRgb scaledColour(quint16 most, quint16 r, quint16 g, quint16 b)
{
    return QRgba64::fromRgba64((r * 0xffffu) / most, (g * 0xffffu) / most, (b * 0xffffu) / most,
                               0xffff)
            .toArgb32();
}

class PnmRows : public RowDecoder
{
public:
    explicit PnmRows(QIODevice *device) : m_device(device) { }
    bool open(QString *fallback);
    bool next(uchar *row) override;

private:
    QIODevice *m_device;
    std::unique_ptr<Blocks> m_blocks;
    char m_type = 0;
    int m_most = 1, m_y = 0;
};

bool PnmRows::open(QString *fallback)
{
    char head[3];
    if (m_device->read(head, 3) != 3 || head[0] != 'P' || head[1] < '1' || head[1] > '6'
        || !std::isspace(uchar(head[2])))
        return false;
    m_type = head[1];
    bool ok = true;
    const int w = headerNumber(m_device, &ok);
    const int h = headerNumber(m_device, &ok);
    m_most = m_type == '1' || m_type == '4' ? 1 : headerNumber(m_device, &ok);
    if (!ok || w <= 0 || w > 32767 || h <= 0 || h > 32767 || m_most <= 0 || m_most > 0xffff)
        return false;
    if (m_type < '4') {
        *fallback = QStringLiteral("plain-text PBM, PGM or PPM");
        return false;
    }
    size = QSize(w, h);
    const int sample = m_most < 256 ? 1 : 2;
    const qint64 stride
            = m_type == '4' ? (w + 7) / 8 : qint64(w) * sample * (m_type == '6' ? 3 : 1);
    const qint64 start = m_device->pos();
    if (m_device->size() - start < stride * h) {
        *fallback = QStringLiteral("PBM, PGM or PPM cut short");
        return false;
    }
    m_blocks = std::make_unique<Blocks>(m_device, start, stride, h);
    if (m_type == '4') {
        format = QImage::Format_Mono;
        colours = {qRgb(255, 255, 255), qRgb(0, 0, 0)};
    } else {
        format = m_type == '5' ? QImage::Format_Grayscale8 : QImage::Format_RGB32;
    }
    toolkitFormat = format;
    return true;
}

bool PnmRows::next(uchar *row)
{
    const uchar *in = m_blocks->row(m_y++);
    if (!in)
        return false;
    const int w = size.width();
    if (m_type == '4') {
        std::memcpy(row, in, size_t(w + 7) / 8);
    } else if (m_type == '5') {
        // Levels scaled to 0..255 as the reader scales them, overflow and all.
        for (int x = 0; x < w; ++x)
            row[x] = m_most > 255  ? uchar((in[2 * x] << 8 | in[2 * x + 1]) * 255 / m_most)
                    : m_most < 255 ? uchar(in[x] * 255 / m_most)
                                   : in[x];
    } else {
        auto *out = reinterpret_cast<QRgb *>(row);
        for (int x = 0; x < w; ++x) {
            if (m_most == 255) {
                out[x] = qRgb(in[0], in[1], in[2]);
                in += 3;
            } else if (m_most < 256) {
                out[x] = scaledColour(quint16(m_most), in[0], in[1], in[2]);
                in += 3;
            } else {
                const auto at = [in](int i) { return quint16(in[2 * i] << 8 | in[2 * i + 1]); };
                out[x] = m_most == 0xffff
                        ? QRgba64::fromRgba64(at(0), at(1), at(2), 0xffff).toArgb32()
                        : scaledColour(quint16(m_most), at(0), at(1), at(2));
                in += 6;
            }
        }
    }
    return true;
}

} // namespace

std::unique_ptr<RowDecoder> bmpRows(QIODevice *device, QString *fallback)
{
    auto rows = std::make_unique<BmpRows>(device);
    if (!rows->open(fallback))
        return nullptr;
    return rows;
}

std::unique_ptr<RowDecoder> pnmRows(QIODevice *device, QString *fallback)
{
    auto rows = std::make_unique<PnmRows>(device);
    if (!rows->open(fallback))
        return nullptr;
    return rows;
}

} // namespace kcore
