// The items of a row with smooth ends placed all at once, two at a time with SSE2: private to
// the writers, which place every item of a row before writing any.
#pragma once

#include "board/lineitems.h"

#include <vector>

namespace kcore {

// LineGeometry::between() for n items at once: the same operations in the same order, with the
// vector unit, so the numbers are the same either way.
void betweenAll(const LineGeometry &g, const double *left, const double *right, qint64 *x,
                qint64 *length, size_t n);

// The items of one row whose ends follow the picture's edges, placed all at once: the runs
// first, then every item's ends in a loop of its own. Placed one at a time as the runs turn up,
// each item waits on its grey levels and a long chain of arithmetic, and the next run's search
// waits behind it; in a loop of their own the items' ends are independent of each other.
class SmoothRow
{
public:
    // Finds the runs of row[from, to) and places their items; the buffers grow to the widest row.
    void place(const LineGeometry &g, const quint32 *row, int from, int to, const EdgeRow &edges)
    {
        const size_t most = size_t(to - from) / 2 + 1;
        if (m_starts.size() < most) {
            m_starts.resize(most);
            m_ends.resize(most);
            m_left.resize(most);
            m_right.resize(most);
            m_x.resize(most);
            m_lengths.resize(most);
        }
        // The levels are asked for as the search goes: by the time the ends are placed they are
        // at hand, where fetched one end at a time each would be a wait of its own.
        int *starts = m_starts.data(), *ends = m_ends.data();
        size_t count = 0;
        forEachRun(
                row, from, to,
                [&](int s, int n) {
                    starts[count] = s;
                    ends[count] = s + n;
                    ++count;
                },
                [&](int x) { edges.prefetch(x); });
        double *left = m_left.data(), *right = m_right.data();
        for (size_t i = 0; i < count; ++i) {
            left[i] = edges.left(starts[i]);
            right[i] = edges.right(ends[i]);
        }
        betweenAll(g, left, right, m_x.data(), m_lengths.data(), count);
        m_count = count;
    }
    size_t count() const { return m_count; }
    qint64 x(size_t i) const { return m_x[i]; }
    qint64 length(size_t i) const { return m_lengths[i]; }

private:
    std::vector<int> m_starts, m_ends;
    std::vector<double> m_left, m_right;
    std::vector<qint64> m_x, m_lengths;
    size_t m_count = 0;
};

} // namespace kcore
