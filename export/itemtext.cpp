// The chunk buffer, item names and number texts shared by the writers.
#include "itemtext.h"

#include <QIODevice>

#include <charconv>

namespace kcore {

bool ChunkBuffer::flush()
{
    if (!m_failed && m_used > 0) {
        if (m_out && m_out->write(m_data.data(), m_used) != m_used)
            m_failed = true;
        else
            m_written += m_used;
    }
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
    const size_t n = std::strlen(m_separator);
    std::memcpy(m_text + 3 + m_digits, m_separator, n);
    m_size = 3 + m_digits + int(n);
}

int formatFixed(char *out, qint64 v, int decimals)
{
    // Digits go in backwards, then one copy of fixed size: no run-time-length copy per number.
    char text[80];
    char *const end = text + 48;
    char *p = end;
    quint64 u = v < 0 ? 0 - quint64(v) : quint64(v);
    if (decimals > 0) {
        quint64 scale = 1;
        for (int i = 0; i < decimals; ++i)
            scale *= 10;
        quint64 fraction = u % scale;
        u /= scale;
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
    }
    do {
        *--p = char('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (v < 0)
        *--p = '-';
    std::memcpy(out, p, numberSlot);
    return int(end - p);
}

} // namespace kcore
