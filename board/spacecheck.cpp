// The space check and the copper's coverage, a row at a time over a window of recent rows.
#include "spacecheck.h"

#include "geometry/units.h"
#include "image/edgegrey.h"

#include <QLocale>

#include <algorithm>
#include <cmath>
#include <limits>

namespace kcore {

namespace {

constexpr double pi = 3.14159265358979323846;

// The area two stadiums of radius r on one line share when their centre lines end g apart:
// the integral over the height of the overlap of their cross-sections, 2 sqrt(r^2 - u^2) - g.
double sameLineOverlap(double r, double g)
{
    if (g >= 2 * r)
        return 0;
    const double u0 = g <= 0 ? r : std::sqrt(r * r - g * g / 4);
    return 2 * (u0 * std::sqrt(std::max(0.0, r * r - u0 * u0)) + r * r * std::asin(u0 / r))
            - 2 * u0 * g;
}

// The union of a row's cross-sections at one height: the strokes widened by h each side.
template<typename Strokes>
void mergeWidened(const Strokes &strokes, double h, std::vector<std::pair<double, double>> *out)
{
    out->clear();
    for (const auto &s : strokes) {
        const double a = s.x0 - h, b = s.x1 + h;
        if (!out->empty() && a <= out->back().second)
            out->back().second = std::max(out->back().second, b);
        else
            out->emplace_back(a, b);
    }
}

} // namespace

SpaceCheck::SpaceCheck(const QSize &bw, const PadsSettings &settings, double minSpaceMils)
    : m_g(settings), m_size(bw), m_pitch(settings.pitch * m_g.quantaPerMil()),
      m_width(double(m_g.width())), m_radius(m_width / 2),
      m_minSpace(minSpaceMils * m_g.quantaPerMil()), m_reach(m_width + m_minSpace)
{
    m_report.minSpaceMils = minSpaceMils;
    // Rows d apart lie at least d pitches less a mil of rounding apart; beyond the reach no
    // copper gap can be below the minimum.
    const double rows = m_pitch > 0 ? std::floor((m_reach + m_g.quantaPerMil()) / m_pitch) : 1;
    const int reachRows = int(qBound(1.0, rows, double(qMax(1, bw.height()))));
    m_rows.resize(size_t(reachRows) + 1);
}

const SpaceCheck::Row *SpaceCheck::rowAt(int y) const
{
    if (y < 0)
        return nullptr;
    const Row &r = m_rows[size_t(y % int(m_rows.size()))];
    return r.index == y ? &r : nullptr;
}

void SpaceCheck::strokesOf(const quint32 *row, const EdgeRow *edges,
                           std::vector<Stroke> *strokes) const
{
    strokes->clear();
    forEachItem(m_g, row, 0, m_size.width(), edges, [&](int s, int n, qint64 x, qint64 length) {
        strokes->push_back({s, s + n, double(x), double(x + length)});
    });
}

void SpaceCheck::addRow(const quint32 *row, int y, const EdgeRow *edges)
{
    strokesOf(row, edges, &m_spare);
    addStrokes(y, &m_spare);
}

void SpaceCheck::addStrokes(int y, std::vector<Stroke> *strokes)
{
    Row &now = slot(y);
    now.index = y;
    now.y = double(m_g.y(y, m_size.height()));
    now.hint = 0;
    now.strokes.swap(*strokes);
    if (now.strokes.empty())
        return;
    for (const Stroke &s : now.strokes)
        m_right = std::max(m_right, s.x1);
    m_left = std::min(m_left, now.strokes.front().x0);
    m_top = std::max(m_top, now.y);
    m_bottom = std::min(m_bottom, now.y);

    // Work that wants the pairs alone has no use for the coverage.
    if (!m_pairs) {
        m_area += rowArea(now);
        if (const Row *above = rowAt(y - 1); above && !above->strokes.empty())
            m_area -= crossArea(*above, now);
    }

    // In one row only neighbours face each other; the pixels between them are background.
    for (size_t i = 0; i + 1 < now.strokes.size(); ++i) {
        const Stroke &a = now.strokes[i], &b = now.strokes[i + 1];
        const double gap = std::max(0.0, b.x0 - a.x1) - m_width;
        if (gap < m_minSpace)
            addFinding((a.x1 + b.x0) / 2, now.y, gap, now, a, now, b);
    }
    // The rows above within reach, each walked once alongside this one: both are in x order.
    const int reachRows = int(m_rows.size()) - 1;
    for (int d = 1; d <= reachRows; ++d) {
        const Row *before = rowAt(y - d);
        if (before && !before->strokes.empty() && before->y - now.y < m_reach)
            pairRows(now, *before);
    }
}

void SpaceCheck::pairNextRows(const Row &now, const Row &above, double across)
{
    // Next rows: a stroke of the row above is apart only if it ends left of this one's first
    // column or starts right of its last, a column or more away (meeting at a corner touches).
    // The line between their nearest pixels crosses from one row to the other halfway, so only
    // each one's neighbour in its own row can stand in the way.
    const double dy = above.y - now.y;
    const double reach2 = m_reach * m_reach;
    const std::vector<Stroke> &up = above.strokes, &row = now.strokes;
    const double y = (now.y + above.y) / 2;
    size_t first = 0;
    for (size_t i = 0; i < row.size(); ++i) {
        const Stroke &a = row[i];
        while (first < up.size() && up[first].x1 < a.x0 - across)
            ++first;
        size_t j = first;
        for (; j < up.size() && up[j].e < a.s; ++j) {
            const Stroke &b = up[j];
            const double dx = std::max(0.0, a.x0 - b.x1);
            const double dist2 = dx * dx + dy * dy;
            const int mid = b.e + a.s;
            if (dist2 >= reach2 || (j + 1 < up.size() && up[j + 1].s <= (mid - 1) >> 1)
                || (i > 0 && row[i - 1].e > mid >> 1))
                continue;
            addFinding((std::min(b.x1, a.x0) + std::max(b.x1, a.x0)) / 2, y,
                       std::sqrt(dist2) - m_width, now, a, above, b);
        }
        while (j < up.size() && up[j].s <= a.e)
            ++j;
        for (; j < up.size() && up[j].x0 < a.x1 + across; ++j) {
            const Stroke &b = up[j];
            const double dx = std::max(0.0, b.x0 - a.x1);
            const double dist2 = dx * dx + dy * dy;
            const int mid = a.e + b.s;
            if (dist2 >= reach2 || (i + 1 < row.size() && row[i + 1].s <= (mid - 1) >> 1)
                || (j > 0 && up[j - 1].e > mid >> 1))
                continue;
            addFinding((std::min(a.x1, b.x0) + std::max(a.x1, b.x0)) / 2, y,
                       std::sqrt(dist2) - m_width, now, a, above, b);
        }
    }
}

void SpaceCheck::pairRows(const Row &now, const Row &before)
{
    const double dy = before.y - now.y;
    const double reach2 = m_reach * m_reach;
    const int d = now.index - before.index;
    const std::vector<Stroke> &strokes = before.strokes;
    m_between.clear();
    for (int k = before.index + 1; k < now.index; ++k)
        m_between.push_back(rowAt(k));
    // Strokes of that row further apart sideways than this are beyond reach.
    const double across = std::sqrt(std::max(0.0, reach2 - dy * dy));
    size_t first = 0;
    if (d == 1) {
        pairNextRows(now, before, across);
        return;
    }
    for (const Stroke &a : now.strokes) {
        while (first < strokes.size() && strokes[first].x1 < a.x0 - across)
            ++first;
        const size_t i = size_t(&a - now.strokes.data());
        for (size_t j = first; j < strokes.size() && strokes[j].x0 < a.x1 + across; ++j) {
            const Stroke &b = strokes[j];
            const int lo = std::max(a.s, b.s), hi = std::min(a.e, b.e);
            const double dx = std::max(0.0, std::max(a.x0, b.x0) - std::min(a.x1, b.x1));
            const double dist2 = dx * dx + dy * dy;
            if (dist2 >= reach2)
                continue;
            double x;
            if (lo < hi) {
                // Above one another: the picture keeps them apart only where a column between
                // them is background all the way; otherwise they are one shape.
                int column;
                if (!clearColumn(lo, hi, &column))
                    continue;
                x = (column + 0.5) * m_pitch;
            } else {
                const bool aLeft = a.e <= b.s;
                const Stroke &left = aLeft ? a : b;
                const Stroke &right = aLeft ? b : a;
                if (aLeft ? sightBlocked(now, i, before, j) : sightBlocked(before, j, now, i))
                    continue;
                x = (std::min(left.x1, right.x0) + std::max(left.x1, right.x0)) / 2;
            }
            addFinding(x, (now.y + before.y) / 2, std::sqrt(dist2) - m_width, now, a, before, b);
        }
    }
}

size_t SpaceCheck::Row::runFrom(int x) const
{
    // Queries come in nearly rising order: walking from the last answer beats a binary search.
    size_t i = std::min(hint, strokes.size());
    while (i > 0 && strokes[i - 1].e > x)
        --i;
    while (i < strokes.size() && strokes[i].e <= x)
        ++i;
    hint = i;
    return i;
}

bool SpaceCheck::Row::anyIn(int c0, int c1) const
{
    if (c1 < c0)
        return false;
    const size_t i = runFrom(c0);
    return i < strokes.size() && strokes[i].s <= c1;
}

bool SpaceCheck::clearColumn(int lo, int hi, int *column) const
{
    int x = lo;
    for (;;) {
        bool moved = false;
        for (const Row *r : m_between) {
            const size_t i = r->runFrom(x);
            if (i < r->strokes.size() && r->strokes[i].s <= x) {
                x = r->strokes[i].e;
                moved = true;
                if (x >= hi)
                    return false;
            }
        }
        if (!moved) {
            *column = x;
            return true;
        }
    }
}

bool SpaceCheck::sightBlocked(const Row &rowL, size_t left, const Row &rowR, size_t right) const
{
    // The straight line from the centre of the left run's last pixel to the centre of the right
    // run's first pixel; any other copper pixel it passes through stands between the two. At t
    // rows from the left run's row it lies at column endL - 1/2 + n t / d: exact in integers.
    // Passing a pixel's corner does not enter it.
    const int endL = rowL.strokes[left].e, startR = rowR.strokes[right].s;
    const int d = std::abs(rowL.index - rowR.index);
    const int n = startR - endL + 1;
    const auto at = [&](int twiceT) { return n * twiceT - d; }; // 2d (x - endL) at t = twiceT/2
    // In the two runs' own rows only their neighbours can stand in the way.
    // Rows two apart, the usual case here, divide by 4: a shift, which rounds down (C++20 and
    // every compiler kestrel builds with shift negative numbers arithmetically).
    const auto down = [d](int a) { return d == 2 ? a >> 2 : int(floorDiv(a, 2 * d)); };
    const int lastL = endL + down(at(1) - 1);
    if (left + 1 < rowL.strokes.size() && rowL.strokes[left + 1].s <= lastL)
        return true;
    const int firstR = endL + down(at(2 * d - 1));
    if (right > 0 && rowR.strokes[right - 1].e > firstR)
        return true;
    const bool leftOnTop = rowL.index < rowR.index;
    for (int j = 1; j < d; ++j) {
        const Row *r = m_between[size_t(leftOnTop ? j - 1 : d - 1 - j)];
        if (r->anyIn(endL + down(at(2 * j - 1)), endL + down(at(2 * j + 1) - 1)))
            return true;
    }
    return false;
}

void SpaceCheck::addFinding(double x, double y, double gapQuanta, const Row &rowA, const Stroke &a,
                            const Row &rowB, const Stroke &b)
{
    if (m_pairs) {
        m_pairs->push_back({rowA.index, a.s, a.e, rowB.index, b.s, b.e});
        return;
    }
    // A hair of slack: strokes that just touch, exactly as drawn, have closed the space.
    const bool closed = gapQuanta <= 1e-9 * std::max(1.0, m_width);
    ++(closed ? m_report.closedGaps : m_report.narrowGaps);
    if (m_report.findings.size() < size_t(maxFindings))
        m_report.findings.push_back({QPointF(x / m_g.quantaPerMil(), y / m_g.quantaPerMil()),
                                     gapQuanta / m_g.quantaPerMil(), closed});
}

double SpaceCheck::rowArea(const Row &row) const
{
    // Each stroke is a rectangle and a disc; neighbours in the row overlap where their round
    // ends reach each other, which is exact in closed form.
    const double r = m_radius;
    double area = 0;
    for (size_t i = 0; i < row.strokes.size(); ++i) {
        const Stroke &s = row.strokes[i];
        area += (s.x1 - s.x0) * m_width + pi * r * r;
        if (i + 1 < row.strokes.size())
            area -= sameLineOverlap(r, row.strokes[i + 1].x0 - s.x1);
    }
    return area;
}

double SpaceCheck::crossArea(const Row &above, const Row &below) const
{
    // Two rows' copper overlaps only in the band both reach, u below the upper row's centre line
    // from D - r to r: at most W - D high, where the file rounds the width up. The overlap's
    // length there is integrated at cosine-spaced heights, which follow the round ends' square
    // roots at the band's edges. Rows two apart never overlap: 2 pitches exceed any width.
    const double r = m_radius;
    const double d = above.y - below.y;
    const double lo = std::max(0.0, d - r), hi = std::min(d, r);
    if (hi - lo <= 1e-4 * r)
        return 0;
    constexpr int samples = 8;
    double area = 0;
    for (int i = 0; i < samples; ++i) {
        const double t = (i + 0.5) / samples;
        const double u = lo + (hi - lo) * (1 - std::cos(pi * t)) / 2;
        const double weight = (hi - lo) * pi / 2 * std::sin(pi * t) / samples;
        mergeWidened(above.strokes, std::sqrt(std::max(0.0, r * r - u * u)), &m_mergedA);
        mergeWidened(below.strokes, std::sqrt(std::max(0.0, r * r - (d - u) * (d - u))),
                     &m_mergedB);
        double common = 0;
        size_t ia = 0, ib = 0;
        while (ia < m_mergedA.size() && ib < m_mergedB.size()) {
            const auto &p = m_mergedA[ia];
            const auto &q = m_mergedB[ib];
            common += std::max(0.0, std::min(p.second, q.second) - std::max(p.first, q.first));
            if (p.second < q.second)
                ++ia;
            else
                ++ib;
        }
        area += weight * common;
    }
    return area;
}

SpaceReport SpaceCheck::finish()
{
    // The artwork's rectangle: the one around all its copper, round ends included.
    const double qpm = m_g.quantaPerMil();
    const double rectangle
            = (m_right - m_left + m_width) / qpm * ((m_top - m_bottom + m_width) / qpm);
    m_report.coveragePercent
            = m_area > 0 && rectangle > 0 ? 100 * m_area / (qpm * qpm) / rectangle : 0;
    return m_report;
}

SpaceCheckBeside::SpaceCheckBeside(const QSize &bw, const PadsSettings &settings,
                                   double minSpaceMils)
    : m_check(bw, settings, minSpaceMils)
{ }

SpaceCheckBeside::~SpaceCheckBeside()
{
    if (m_pairing.valid())
        m_pairing.wait();
}

void SpaceCheckBeside::addRow(const quint32 *row, const EdgeRow *edges)
{
    m_check.strokesOf(row, edges, &m_blocks[size_t(m_filling)][size_t(m_filled)]);
    if (++m_filled == blockRows)
        handOver();
}

SpaceReport SpaceCheckBeside::finish()
{
    handOver();
    if (m_pairing.valid())
        m_pairing.get();
    return m_check.finish();
}

void SpaceCheckBeside::handOver()
{
    if (m_pairing.valid())
        m_pairing.get(); // the other block is free again
    if (m_filled == 0)
        return;
    m_pairing = std::async(
            std::launch::async,
            [this, block = &m_blocks[size_t(m_filling)], first = m_next, rows = m_filled] {
                for (int i = 0; i < rows; ++i)
                    m_check.addStrokes(first + i, &(*block)[size_t(i)]);
            });
    m_next += m_filled;
    m_filled = 0;
    m_filling ^= 1;
}

SpaceReport checkSpace(RowStream &rows, const PadsSettings &settings, double minSpaceMils,
                       const std::atomic<bool> *cancel, bool *complete)
{
    SpaceCheck check(rows.size(), settings, minSpaceMils);
    const bool all = forEachRow(rows, settings, [&](const quint32 *row, int y, const EdgeRow *e) {
        if ((y & 63) == 0 && cancel && cancel->load(std::memory_order_relaxed))
            return false;
        check.addRow(row, y, e);
        return true;
    });
    if (complete)
        *complete = all;
    return check.finish();
}

SpaceReport checkSpace(const QImage &bw, const PadsSettings &settings, double minSpaceMils,
                       const QImage &edgeGrey, const std::atomic<bool> *cancel)
{
    if (bw.isNull() || !(settings.pitch > 0) || !padsFits(bw.size(), settings))
        return SpaceCheck(QSize(), settings, minSpaceMils).finish();
    ImageRows rows(bw, edgeGrey, settings);
    return checkSpace(rows, settings, minSpaceMils, cancel);
}

QString gapSummary(const SpaceReport &report)
{
    QLocale grouped = QLocale::c();
    grouped.setNumberOptions({});
    const auto count = [&](qint64 n, const char *what) {
        return QStringLiteral("%1 %2 gap%3")
                .arg(grouped.toString(n), QLatin1String(what),
                     n == 1 ? QString() : QStringLiteral("s"));
    };
    return count(report.closedGaps, "closed") + QStringLiteral(", ")
            + count(report.narrowGaps, "narrow");
}

QString coverageSummary(const SpaceReport &report)
{
    return QStringLiteral("coverage %1 %").arg(report.coveragePercent, 0, 'f', 1);
}

QString spaceSummary(const SpaceReport &report)
{
    return gapSummary(report) + QStringLiteral(", ") + coverageSummary(report);
}

QString findingText(const SpaceFinding &f, const QString &material, int unit)
{
    return QStringLiteral("%1 gap, %2 of %3 space")
            .arg(f.closed ? QStringLiteral("closed") : QStringLiteral("narrow"),
                 lengthText(std::max(0.0, f.gapMils), unit), material);
}

QString webFindingText(const SpaceFinding &f, double grownMils, int unit)
{
    // The check measured between the openings as drawn; each grows toward the other.
    const double web = f.gapMils - 2 * grownMils;
    return web <= 0 || f.closed
            ? QStringLiteral("openings meet, no mask between them")
            : QStringLiteral("narrow web, %1 of mask between openings").arg(lengthText(web, unit));
}

} // namespace kcore
