// The chunk buffer, item names and number texts shared by the writers.
#include "itemtext.h"

#include <QIODevice>

#include <charconv>

namespace kcore {

bool ChunkBuffer::flush()
{
    // A device may take part of a chunk, as the system does at a size limit or on a full disk;
    // the rest is offered again, and only a write that takes nothing is a failure, which then
    // carries the system's reason.
    for (qsizetype done = 0; !m_failed && m_out && done < m_used;) {
        const qint64 n = m_out->write(m_data.data() + done, m_used - done);
        if (n <= 0)
            m_failed = true;
        else
            done += qsizetype(n);
    }
    if (!m_failed)
        m_written += m_used;
    m_used = 0;
    return !m_failed;
}

QString ChunkBuffer::errorString() const
{
    return m_out ? m_out->errorString() : QString();
}

ItemPrefix::ItemPrefix(qint64 first, const char *separator)
{
    std::strncpy(m_separator, separator, sizeof m_separator - 1);
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
    std::memcpy(m_text + m_lastAt, &m_last8, 8);
    char *p = m_text + 3 + m_digits - 1;
    while (p >= m_text + 3 && *p == '9')
        *p-- = '0';
    if (p >= m_text + 3) {
        ++*p;
        std::memcpy(&m_last8, m_text + m_lastAt, 8);
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
    const size_t n = std::strlen(m_separator);
    std::memcpy(m_text + 3 + m_digits, m_separator, n);
    m_size = 3 + m_digits + int(n);
    m_lastAt = 3 + m_digits - 8;
    std::memcpy(&m_last8, m_text + m_lastAt, 8);
}

namespace {

// "00", "01", ... "99": two digits a step.
constexpr char digitPairs[] = "00010203040506070809101112131415161718192021222324252627282930313233"
                              "34353637383940414243444546474849505152535455565758596061626364656667"
                              "6869707172737475767778798081828384858687888990919293949596979899";

// Writes the digits of u backwards, ending before p; returns where they start.
char *digitsBefore(char *p, quint64 u)
{
    while (u >= 100) {
        const quint64 pair = u % 100;
        u /= 100;
        p -= 2;
        std::memcpy(p, digitPairs + 2 * pair, 2);
    }
    if (u >= 10) {
        p -= 2;
        std::memcpy(p, digitPairs + 2 * u, 2);
    } else {
        *--p = char('0' + u);
    }
    return p;
}

// The fraction's places digits (zeros in front kept) written backwards before p.
template<int places>
char *placesBefore(char *p, quint64 fraction)
{
    for (int i = 0; i + 2 <= places; i += 2) {
        p -= 2;
        std::memcpy(p, digitPairs + 2 * (fraction % 100), 2);
        fraction /= 100;
    }
    if (places % 2)
        *--p = char('0' + fraction % 10);
    return p;
}

// The text of u / 10^places before end; returns its start and moves end past the fraction's
// last non-zero digit. A constant divisor is a multiplication, not a division.
template<int places>
char *fixedBefore(char *&end, quint64 u)
{
    constexpr quint64 scale = places == 5 ? 100000 : places == 6 ? 1000000 : 1;
    static_assert(scale != 1, "five or six places");
    const quint64 fraction = u % scale;
    u /= scale;
    char *p = end;
    if (fraction != 0) {
        p = placesBefore<places>(p, fraction) - 1;
        *p = '.';
        while (end[-1] == '0')
            --end;
    }
    return digitsBefore(p, u);
}

} // namespace

int formatFixedSlow(char *out, qint64 v, int decimals)
{
    // Digits go in backwards, then one copy of fixed size: no run-time-length copy per number.
    char text[80];
    char *end = text + 48;
    const quint64 u = v < 0 ? 0 - quint64(v) : quint64(v);
    char *p;
    if (decimals == 5) {
        p = fixedBefore<5>(end, u);
    } else if (decimals == 6) {
        p = fixedBefore<6>(end, u);
    } else {
        quint64 scale = 1;
        for (int i = 0; i < decimals; ++i)
            scale *= 10;
        quint64 fraction = decimals > 0 ? u % scale : 0;
        p = end;
        if (fraction != 0) {
            int places = decimals;
            while (fraction % 10 == 0) {
                fraction /= 10;
                --places;
            }
            for (; places > 0; --places, fraction /= 10)
                *--p = char('0' + fraction % 10);
            *--p = '.';
        }
        p = digitsBefore(p, decimals > 0 ? u / scale : u);
    }
    if (v < 0)
        *--p = '-';
    std::memcpy(out, p, numberSlot);
    return int(end - p);
}

} // namespace kcore
