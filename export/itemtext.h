// Building blocks of the writers: the chunk buffer items are formatted into, item names counted
// up in place, and number texts. Every item is a few copies of fixed size from padded slots,
// whatever its real length: copies of a length known only at run time go through the C library's
// memcpy, whose speed on short lengths differs tenfold from one CPU to the next.
#pragma once

#include "lineitems.h"

#include <QString>

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
    // Always 32 readable bytes, whatever size() is, for fixed-size copies.
    const char *data() const { return m_text; }
    int size() const { return m_size; }
    void next()
    {
        char *last = m_text + 2 + m_digits;
        if (*last != '9')
            ++*last; // nine items in ten
        else
            carry();
    }

private:
    void carry();
    void finish();

    char m_text[64] = {};
    char m_separator[16] = {};
    int m_digits = 8;
    int m_size = 0;
};

struct NumberText
{
    char text[numberSlot];
    int length;
};

// Decimal text of v / 10^decimals, the fraction's trailing zeros left out ("0.0333", "20"),
// never an exponent. Fills numberSlot bytes of out and returns the text's length, at most 28.
int formatFixed(char *out, qint64 v, int decimals);

// One file layout: its header, the items of a row, its end. Formats go straight into the buffer.
class FormatWriter
{
public:
    virtual ~FormatWriter() = default;
    virtual void begin(ChunkBuffer &out) = 0;
    // Row y of the black-and-white image; edges, when given, place the run ends.
    virtual void row(ChunkBuffer &out, const quint32 *row, int y, const EdgeRow *edges) = 0;
    virtual void end(ChunkBuffer &out) = 0;
    qint64 items() const { return m_items; }

protected:
    qint64 m_items = 0;
};

std::unique_ptr<FormatWriter> makeV20Writer(const QSize &bw, const PadsSettings &settings);
std::unique_ptr<FormatWriter> makeV94Writer(const QSize &bw, const PadsSettings &settings);

} // namespace kcore
