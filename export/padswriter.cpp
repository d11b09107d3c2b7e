// PADS writer: finds the runs of each row and formats the items straight into a chunk buffer.
// Every item is four copies of fixed size from padded slots, whatever its real length: copies of
// a length known only at run time go through the C library's memcpy, whose speed on short
// lengths differs tenfold from one CPU to the next.
#include "padswriter.h"

#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QSaveFile>

#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace kcore {

namespace {

constexpr char header[] = "!PADS-POWERPCB-V2.0-MILS! DESIGN DATABASE ASCII FILE 1.0\r\n"
                          "*LINES* LINES ITEMS\r\n"
                          "\r\n";
constexpr char footer[] = "*END*\r\n";
constexpr qsizetype chunkSize = qsizetype(1) << 20;

// Slot sizes of the fixed-size copies: the item name, a number, the rest of the item line with
// its two constant lines, and the last line.
constexpr int prefixSlot = 32;
constexpr int numberSlot = 16;
constexpr int tailSlot = 64;
// Room for one whole item with every number at its widest, plus the slack the copies overrun.
constexpr qsizetype itemRoom = prefixSlot + numberSlot + tailSlot + numberSlot;

template<int N>
inline char *put(char *to, const char *from, int length)
{
    std::memcpy(to, from, N); // N is a constant: a few vector moves, no call
    return to + length;
}

// Decimal text of an int, as "%d" writes it, into at most 11 bytes; returns its length.
int formatInt(char *out, int v)
{
    return int(std::to_chars(out, out + 11, v).ptr - out);
}

struct NumberText
{
    char text[numberSlot];
    int length;
};

// The number of characters "%d" writes for v.
int decimalLength(int v)
{
    int n = v < 0 ? 2 : 1;
    for (unsigned u = v < 0 ? 0u - unsigned(v) : unsigned(v); u >= 10; u /= 10)
        ++n;
    return n;
}

// "%5d" of v, formatted in place: wide pictures format numbers item by item, and a copy of a
// length known only at run time would go through the C library.
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

bool fitsInt(double v)
{
    // Also false for NaN.
    return v > double(INT_MIN) - 1.0 && v < double(INT_MAX) + 1.0;
}

// Each number in a file comes from a pixel index or count up to the image's width; tables of
// their texts make an item a handful of block copies. Past this width the numbers are formatted
// as they come, to keep the tables small.
constexpr int maxTableWidth = 1 << 16;

// The texts of the numbers that vary from item to item, and of the rest of each item line.
class ItemTexts
{
public:
    ItemTexts(const LineGeometry &geometry, int width, int layer)
        : m_geometry(geometry), m_tables(width <= maxTableWidth)
    {
        if (m_tables) {
            m_positions.resize(size_t(width) + 1);
            m_lastLines.resize(size_t(width) + 1);
            for (int k = 0; k <= width; ++k) {
                m_positions[size_t(k)] = padded5(geometry.x(k));
                m_lastLines[size_t(k)] = lastLineText(geometry.length(k));
            }
        }
        const QByteArray afterY = " 1\r\nOPEN 2 " + QByteArray::number(geometry.width()) + ' '
                + QByteArray::number(layer) + "\r\n0 0\r\n";
        std::memcpy(m_afterY, afterY.constData(), size_t(afterY.size()));
        m_afterYSize = int(afterY.size());
    }

    NumberText position(int s) const
    {
        return m_tables ? m_positions[size_t(s)] : padded5(m_geometry.x(s));
    }
    NumberText lastLine(int n) const
    {
        return m_tables ? m_lastLines[size_t(n)] : lastLineText(m_geometry.length(n));
    }

    // " Y 1\r\nOPEN 2 W L\r\n0 0\r\n" for a row, in a tailSlot-sized buffer; returns its length.
    int rowTail(int y, int height, char *out) const
    {
        const NumberText rowY = padded5(m_geometry.y(y, height));
        std::memset(out, ' ', tailSlot);
        std::memcpy(out + 1, rowY.text, size_t(rowY.length));
        std::memcpy(out + 1 + rowY.length, m_afterY, size_t(m_afterYSize));
        return 1 + rowY.length + m_afterYSize;
    }

private:
    LineGeometry m_geometry;
    bool m_tables;
    std::vector<NumberText> m_positions, m_lastLines;
    char m_afterY[tailSlot] = {};
    int m_afterYSize = 0;
};

PadsResult failure(const QString &message)
{
    PadsResult r;
    r.ok = false;
    r.message = message.isEmpty() ? QStringLiteral("unknown error") : message;
    return r;
}

PadsResult pitchTooLarge()
{
    return failure(pitchTooLargeMessage());
}

} // namespace

QString pitchTooLargeMessage()
{
    return QStringLiteral("The line width is too large for this picture: its coordinates would "
                          "not fit in a PADS file.");
}

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

void ItemPrefix::carry()
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

QImage pixelWords(const QImage &bw)
{
    if (bw.format() == QImage::Format_RGB32 || bw.format() == QImage::Format_ARGB32)
        return bw;
    return bw.convertToFormat(QImage::Format_ARGB32);
}

bool padsFits(const QSize &bw, double pitch)
{
    // Rounded values grow with k, so the widest position, length and row are the extremes.
    const qint64 k = qMax<qint64>(1, qMax(bw.width(), bw.height()));
    return fitsInt(pitch > 0 ? pitch + 0.5 : pitch - 0.5) && fitsInt(double(k) * pitch + 0.5);
}

struct PadsWriter::Private
{
    Private(const QSize &bw, const PadsSettings &s, QIODevice *device)
        : out(device), texts(LineGeometry(s.pitch, s.exactEnds), bw.width(), s.layer),
          width(bw.width()), height(bw.height()), buffer(size_t(chunkSize + itemRoom))
    { }

    bool flush()
    {
        if (!failed && used > 0) {
            if (out->write(buffer.data(), used) != used)
                failed = true;
            else
                written += used;
        }
        used = 0;
        return !failed;
    }

    QIODevice *out;
    ItemTexts texts;
    ItemPrefix prefix{0};
    int width;
    int height;
    std::vector<char> buffer;
    qsizetype used = 0;
    qint64 written = 0;
    qint64 items = 0;
    bool failed = false;
};

PadsWriter::PadsWriter(const QSize &bw, const PadsSettings &settings, QIODevice *out)
    : d(new Private(bw, settings, out))
{
    std::memcpy(d->buffer.data(), header, sizeof(header) - 1);
    d->used = sizeof(header) - 1;
}

PadsWriter::~PadsWriter() = default;

bool PadsWriter::writeRow(const quint32 *row, int y)
{
    if (d->failed)
        return false;
    char tail[tailSlot];
    const int tailSize = d->texts.rowTail(y, d->height, tail);
    char *const base = d->buffer.data();
    char *cursor = base + d->used;
    bool ok = true;
    forEachRun(row, d->width, [&](int s, int n) {
        if (!ok)
            return;
        cursor = put<prefixSlot>(cursor, d->prefix.data(), d->prefix.size());
        const NumberText position = d->texts.position(s);
        cursor = put<numberSlot>(cursor, position.text, position.length);
        cursor = put<tailSlot>(cursor, tail, tailSize);
        const NumberText last = d->texts.lastLine(n);
        cursor = put<numberSlot>(cursor, last.text, last.length);
        d->prefix.next();
        ++d->items;
        if (cursor - base >= chunkSize) {
            d->used = cursor - base;
            ok = d->flush();
            cursor = base;
        }
    });
    d->used = cursor - base;
    return ok;
}

PadsResult PadsWriter::finish()
{
    std::memcpy(d->buffer.data() + d->used, footer, sizeof(footer) - 1);
    d->used += sizeof(footer) - 1;
    if (!d->flush()) {
        PadsResult r = failure(d->out->errorString());
        r.items = d->items;
        return r;
    }
    PadsResult r;
    r.items = d->items;
    r.bytes = d->written;
    return r;
}

PadsResult writePads(const QImage &bw, const PadsSettings &settings, QIODevice *out)
{
    if (!bw.isNull() && !padsFits(bw.size(), settings.pitch))
        return pitchTooLarge();
    const QImage words = pixelWords(bw);
    PadsWriter writer(words.size(), settings, out);
    for (int y = 0; y < words.height(); ++y) {
        if (!writer.writeRow(reinterpret_cast<const quint32 *>(words.constScanLine(y)), y))
            break;
    }
    return writer.finish();
}

PadsBudget countPads(const QImage &bw, const PadsSettings &settings)
{
    PadsBudget budget;
    budget.bytes = qint64(sizeof(header) - 1 + sizeof(footer) - 1);
    if (bw.isNull() || !padsFits(bw.size(), settings.pitch))
        return budget;
    const QImage words = pixelWords(bw);
    const int width = words.width();
    const ItemTexts texts(LineGeometry(settings.pitch, settings.exactEnds), width, settings.layer);
    char tail[tailSlot];
    qint64 bytes = 0;
    for (int y = 0; y < words.height(); ++y) {
        qint64 runs = 0;
        forEachRun(reinterpret_cast<const quint32 *>(words.constScanLine(y)), width,
                   [&](int s, int n) {
                       ++runs;
                       bytes += texts.position(s).length + texts.lastLine(n).length;
                   });
        bytes += runs * texts.rowTail(y, words.height(), tail);
        budget.items += runs;
    }
    // Item names: "IMG" + at least eight digits + "  LINES ".
    const qint64 n = budget.items;
    bytes += n * (3 + 8 + 8);
    for (qint64 tenPower = 100000000; tenPower < n; tenPower *= 10)
        bytes += n - tenPower;
    budget.bytes += bytes;
    return budget;
}

namespace {

// Writes into a file opened already, in place; data the system cannot take is a failure.
PadsResult writeInPlace(QFile &file, const std::function<PadsResult(QIODevice *)> &write)
{
    PadsResult result = write(&file);
    if (result.ok && !file.flush())
        result = failure(file.errorString());
    return result;
}

} // namespace

PadsResult saveFile(const QString &path, const std::function<PadsResult(QIODevice *)> &write)
{
    // A device or a pipe (/dev/null, a FIFO) is written in place: replacing it with a regular
    // file, as a save through a temporary file and a rename does, would destroy it.
    const QFileInfo target(path);
    if (target.exists() && !target.isFile() && !target.isDir()) {
        QFile device(path);
        if (!device.open(QIODevice::WriteOnly))
            return failure(device.errorString());
        return writeInPlace(device, write);
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return failure(file.errorString());
    PadsResult result = write(&file);
    if (result.ok && !file.commit())
        result = failure(file.errorString());
    if (!result.ok)
        file.cancelWriting();
    return result;
}

bool isSameFile(const QString &a, const QString &b)
{
#ifdef Q_OS_UNIX
    struct stat sa, sb;
    if (::stat(QFile::encodeName(a).constData(), &sa) != 0
        || ::stat(QFile::encodeName(b).constData(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
#else
    const QString ca = QFileInfo(a).canonicalFilePath();
    return !ca.isEmpty() && ca == QFileInfo(b).canonicalFilePath();
#endif
}

PadsResult writeStandardOutput(const std::function<PadsResult(QIODevice *)> &write)
{
    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly))
        return failure(out.errorString());
    return writeInPlace(out, write);
}

} // namespace kcore
