// Building blocks of the writers, private to their sources: the chunk buffer items are formatted
// into, item names counted up in place, and number texts. Every item is a few copies of fixed
// size from padded slots, whatever its real length: copies of a length known only at run time go
// through the C library's memcpy, whose speed on short lengths differs tenfold from one CPU to
// the next.
#pragma once

#include "artworkwriter.h"
#include "board/lineitems.h"

#include <QString>
#include <QtEndian>

#include <cstring>
#include <memory>
#include <vector>

class QIODevice;

namespace kcore {

// Slot sizes of the fixed-size copies: a number, and a line or more of text.
constexpr int numberSlot = 32;
constexpr int textSlot = 64;

template<int N>
inline char *put(char *to, const char *from, int length)
{
    std::memcpy(to, from, N); // N is a constant: a few vector moves, no call
    return to + length;
}

// Output in 1 MB chunks, so memory stays bounded at any file size. Without a device it only
// counts the bytes, so what a file would hold is known exactly without writing it.
class ChunkBuffer
{
public:
    static constexpr qsizetype chunkSize = qsizetype(1) << 20;
    // Room past a chunk for one whole item, every number at its widest, and the slack the
    // fixed-size copies overrun.
    static constexpr qsizetype slack = 4096;

    explicit ChunkBuffer(QIODevice *out) : m_out(out), m_data(size_t(chunkSize + slack)) { }

    char *cursor() { return m_data.data() + m_used; }
    // Everything up to end is written; a full chunk goes to the device. False once a write failed.
    bool commit(char *end)
    {
        m_used = end - m_data.data();
        return m_used < chunkSize ? !m_failed : flush();
    }
    void append(const char *text, qsizetype n)
    {
        std::memcpy(cursor(), text, size_t(n));
        commit(cursor() + n);
    }
    bool flush();
    bool failed() const { return m_failed; }
    qint64 written() const { return m_written; }
    // Everything formatted so far, written or not.
    qint64 total() const { return m_written + m_used; }
    QString errorString() const;

private:
    QIODevice *m_out;
    std::vector<char> m_data;
    qsizetype m_used = 0;
    qint64 m_written = 0;
    bool m_failed = false;
};

// The start of an item line, "IMG" + the item number in at least eight digits + the separator
// given, counted up in place so that numbering costs next to nothing per item.
class ItemPrefix
{
public:
    explicit ItemPrefix(qint64 first, const char *separator = "  LINES ");
    // Writes the text at out, whose numberSlot bytes must be writable; returns its end.
    char *writeTo(char *out) const
    {
        // The number's last eight digits are kept apart and written over the rest: a copy that
        // read them back right after next() had changed one byte would wait for that byte to be
        // stored, every item.
        std::memcpy(out, m_text, numberSlot);
        std::memcpy(out + m_lastAt, &m_last8, 8);
        return out + m_size;
    }
    int size() const { return m_size; }
    void next()
    {
        if ((m_last8 & lastDigit * 0xff) != lastDigit * '9')
            m_last8 += lastDigit; // nine items in ten
        else
            carry();
    }

private:
    // 1 in the byte of the last digit of the eight.
    static constexpr quint64 lastDigit
            = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? quint64(1) << 56 : quint64(1);

    void carry();
    void finish();

    char m_text[64] = {};
    char m_separator[16] = {};
    int m_digits = 8;
    int m_size = 0;
    int m_lastAt = 3;
    quint64 m_last8 = 0;
};

struct NumberText
{
    char text[numberSlot];
    int length;
};

// The eight decimal digits of v < 10^8 as byte values 0 to 9, the most significant first in
// memory: a few multiplications for all eight, where a digit at a time waits on a division each
// and a loop over the length mispredicts as lengths vary.
inline quint64 digits8(quint32 v)
{
    // Two groups of four digits in the two halves, then two of two in each quarter, then one
    // digit a byte; each lane's product stays within its lane.
    const quint64 high = v / 10000, low = v % 10000;
    quint64 x = high | low << 32;
    const quint64 hundreds = ((x * 10486) >> 20) & 0x0000007F0000007FULL;
    x = hundreds | (x - hundreds * 100) << 16;
    const quint64 tens = ((x * 103) >> 10) & 0x000F000F000F000FULL;
    x = tens | (x - tens * 10) << 8;
    return Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? x : qbswap(x);
}

// How many of digits8()'s digits come before the first non-zero one (8 for zero), and after the
// last non-zero one.
inline int leadingZeroDigits(quint64 digits)
{
    if (Q_BYTE_ORDER == Q_LITTLE_ENDIAN)
        return digits ? __builtin_ctzll(digits) / 8 : 8;
    return digits ? __builtin_clzll(digits) / 8 : 8;
}
inline int trailingZeroDigits(quint64 digits)
{
    if (Q_BYTE_ORDER == Q_LITTLE_ENDIAN)
        return digits ? __builtin_clzll(digits) / 8 : 8;
    return digits ? __builtin_ctzll(digits) / 8 : 8;
}

// The text of digits8()'s digits.
inline quint64 digitText(quint64 digits)
{
    return digits + 0x3030303030303030ULL;
}

// Eight bytes of text from byte from on stored at out, the rest of the eight filled with junk.
inline void storeText8(char *out, quint64 text, int from)
{
    const quint64 shifted
            = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? text >> (8 * from) : text << (8 * from);
    std::memcpy(out, &shifted, 8);
}

int formatFixedSlow(char *out, qint64 v, int decimals);

// formatFixed() for a whole part below 10^8, every coordinate a board can have: both parts as
// eight digits at once, and no branch on how many of them are zeros. Returns -1 for other
// numbers.
template<int places>
inline int formatFixedFast(char *out, qint64 v)
{
    static_assert(places == 5 || places == 6, "constant divisors for five or six places");
    constexpr quint64 scale = places == 5 ? 100000 : 1000000;
    if (v < 0 || quint64(v) >= 100000000 * scale)
        return -1;
    const quint64 whole = quint64(v) / scale;
    const quint32 fraction = quint32(quint64(v) - whole * scale);
    const quint64 wholeDigits = digits8(quint32(whole));
    const int from = qMin(leadingZeroDigits(wholeDigits), 7); // "0" keeps its zero
    storeText8(out, digitText(wholeDigits), from);
    const int length = 8 - from;
    if (fraction == 0)
        return length;
    // The places first, then zeros.
    const quint64 fractionDigits = digits8(fraction * (places == 5 ? 1000u : 100u));
    out[length] = '.';
    storeText8(out + length + 1, digitText(fractionDigits), 0);
    return length + 9 - trailingZeroDigits(fractionDigits);
}

// Decimal text of v / 10^decimals, the fraction's trailing zeros left out ("0.0333", "20"),
// never an exponent. Writes up to numberSlot bytes of out and returns the text's length, at most
// 28.
inline int formatFixed(char *out, qint64 v, int decimals)
{
    const int length = decimals == 5 ? formatFixedFast<5>(out, v)
            : decimals == 6          ? formatFixedFast<6>(out, v)
                                     : -1;
    return length >= 0 ? length : formatFixedSlow(out, v, decimals);
}

// One file layout: its header, the items of a row, its end. Formats go straight into the buffer.
class FormatWriter
{
public:
    // separator: what follows the item name on its line.
    explicit FormatWriter(const char *separator) : m_prefix(0, separator) { }
    virtual ~FormatWriter() = default;
    virtual void begin(ChunkBuffer &out) = 0;
    // Row y of the black-and-white image; edges, when given, place the run ends.
    virtual void row(ChunkBuffer &out, const quint32 *row, int y, const EdgeRow *edges) = 0;
    virtual void end(ChunkBuffer &out) = 0;
    // The layer and width (in quanta of the geometry) of the items that follow.
    virtual void setStyle(int layer, qint64 width) = 0;
    // Items placed by the caller, on a line y quanta up, in the current style: slower than row().
    virtual void items(ChunkBuffer &out, qint64 y, const qint64 *x, const qint64 *length, size_t n)
            = 0;
    qint64 items() const { return m_items; }

protected:
    // The end of an item written up to cursor: commits it and moves cursor on. False once a
    // write failed, and the rest of the file is lost with it.
    bool endItem(ChunkBuffer &out, char *&cursor)
    {
        m_prefix.next();
        ++m_items;
        const bool ok = out.commit(cursor);
        cursor = out.cursor();
        return ok;
    }

    ItemPrefix m_prefix;
    qint64 m_items = 0;
};

std::unique_ptr<FormatWriter> makeV20Writer(const QSize &bw, const PadsSettings &settings);
// table: the layers written, which its layer table names.
std::unique_ptr<FormatWriter> makeV94Writer(const QSize &bw, const PadsSettings &settings,
                                            const std::vector<ArtworkLayer> &table);

} // namespace kcore
