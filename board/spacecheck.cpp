// The space check and the copper's coverage, a row at a time over a window of recent rows.
#include "spacecheck.h"

#include "export/padswriter.h"

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
    : m_g(settings), m_settings(settings), m_size(bw), m_pitch(settings.pitch * m_g.quantaPerMil()),
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

void SpaceCheck::addRow(const quint32 *row, int y, const EdgeRow *edges)
{
    Row &now = slot(y);
    now.index = y;
    now.y = double(m_g.y(y, m_size.height()));
    now.strokes.clear();
    forEachItem(m_g, row, 0, m_size.width(), edges, [&](int s, int n, qint64 x, qint64 length) {
        now.strokes.push_back({s, s + n, double(x), double(x + length)});
        m_right = std::max(m_right, double(x + length));
    });
    if (now.strokes.empty())
        return;
    m_left = std::min(m_left, now.strokes.front().x0);
    m_top = std::max(m_top, now.y);
    m_bottom = std::min(m_bottom, now.y);

    m_area += rowArea(now);
    if (const Row *above = rowAt(y - 1); above && !above->strokes.empty())
        m_area -= crossArea(*above, now);

    const int reachRows = int(m_rows.size()) - 1;
    for (size_t i = 0; i < now.strokes.size(); ++i) {
        const Stroke &a = now.strokes[i];
        // In one row only neighbours face each other; the pixels between them are background.
        if (i + 1 < now.strokes.size()) {
            const Stroke &b = now.strokes[i + 1];
            const double gap = std::max(0.0, b.x0 - a.x1) - m_width;
            if (gap < m_minSpace)
                addFinding((a.x1 + b.x0) / 2, now.y, gap);
        }
        for (int d = 1; d <= reachRows; ++d) {
            if (const Row *before = rowAt(y - d); before && !before->strokes.empty())
                pairWith(now, a, *before);
        }
    }
}

void SpaceCheck::pairWith(const Row &now, const Stroke &a, const Row &before)
{
    const double dy = before.y - now.y;
    if (dy - m_width >= m_minSpace)
        return;
    const int d = now.index - before.index;
    const std::vector<Stroke> &strokes = before.strokes;
    auto b = std::lower_bound(strokes.begin(), strokes.end(), a.x0 - m_reach,
                              [](const Stroke &s, double x) { return s.x1 < x; });
    for (; b != strokes.end() && b->x0 <= a.x1 + m_reach; ++b) {
        const double dx = std::max(0.0, std::max(a.x0, b->x0) - std::min(a.x1, b->x1));
        const double gap = std::hypot(dx, dy) - m_width;
        if (gap >= m_minSpace)
            continue;
        const int lo = std::max(a.s, b->s), hi = std::min(a.e, b->e);
        double x;
        if (lo < hi) {
            // Above one another: the picture keeps them apart only where a column between them
            // is background all the way; otherwise they are one shape.
            int column;
            if (d == 1 || !clearColumn(before.index + 1, now.index - 1, lo, hi, &column))
                continue;
            x = (column + 0.5) * m_pitch;
        } else {
            const bool aLeft = a.e <= b->s;
            const Stroke &left = aLeft ? a : *b;
            const Stroke &right = aLeft ? *b : a;
            const Row &leftRow = aLeft ? now : before;
            const Row &rightRow = aLeft ? before : now;
            // Meeting at a corner is touching: a one-pixel diagonal line is one line.
            if (d == 1 && left.e == right.s)
                continue;
            if (sightBlocked(leftRow, left.e, rightRow, right.s))
                continue;
            x = (std::min(left.x1, right.x0) + std::max(left.x1, right.x0)) / 2;
        }
        addFinding(x, (now.y + before.y) / 2, gap);
    }
}

namespace {

// The run of row containing column x, or end.
template<typename Strokes>
auto runAt(const Strokes &strokes, int x)
{
    auto it = std::upper_bound(strokes.begin(), strokes.end(), x,
                               [](int c, const auto &s) { return c < s.s; });
    if (it == strokes.begin())
        return strokes.end();
    --it;
    return it->e > x ? it : strokes.end();
}

// Whether any run of the row has a pixel in columns [c0, c1].
template<typename Strokes>
bool anyRunIn(const Strokes &strokes, int c0, int c1)
{
    if (c1 < c0)
        return false;
    auto it = std::upper_bound(strokes.begin(), strokes.end(), c0,
                               [](int c, const auto &s) { return c < s.e; });
    return it != strokes.end() && it->s <= c1;
}

} // namespace

bool SpaceCheck::clearColumn(int fromRow, int toRow, int lo, int hi, int *column) const
{
    int x = lo;
    for (;;) {
        bool moved = false;
        for (int k = fromRow; k <= toRow; ++k) {
            const Row *r = rowAt(k);
            if (!r)
                continue;
            const auto it = runAt(r->strokes, x);
            if (it != r->strokes.end()) {
                x = it->e;
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

bool SpaceCheck::sightBlocked(const Row &rowL, int endL, const Row &rowR, int startR) const
{
    // The straight line from the centre of the left run's last pixel to the centre of the right
    // run's first pixel; any other copper pixel it passes through stands between the two.
    const double ax = endL - 0.5, ay = rowL.index + 0.5;
    const double bx = startR + 0.5, by = rowR.index + 0.5;
    const int top = std::min(rowL.index, rowR.index), bottom = std::max(rowL.index, rowR.index);
    const double eps = 1e-9; // passing a pixel's corner does not enter it
    for (int k = top; k <= bottom; ++k) {
        const double y0 = std::max(double(k), top + 0.5), y1 = std::min(k + 1.0, bottom + 0.5);
        const double xa = ax + (bx - ax) * (y0 - ay) / (by - ay);
        const double xb = ax + (bx - ax) * (y1 - ay) / (by - ay);
        int c0 = int(std::floor(std::min(xa, xb) + eps));
        int c1 = int(std::floor(std::max(xa, xb) - eps));
        if (k == rowL.index)
            c0 = std::max(c0, endL);
        if (k == rowR.index)
            c1 = std::min(c1, startR - 1);
        const Row *r = k == rowL.index ? &rowL : k == rowR.index ? &rowR : rowAt(k);
        if (r && anyRunIn(r->strokes, c0, c1))
            return true;
    }
    return false;
}

void SpaceCheck::addFinding(double x, double y, double gapQuanta)
{
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

SpaceReport checkSpace(const QImage &bw, const PadsSettings &settings, double minSpaceMils,
                       const QImage &edgeGrey)
{
    if (bw.isNull() || !(settings.pitch > 0) || !padsFits(bw.size(), settings))
        return SpaceCheck(QSize(), settings, minSpaceMils).finish();
    const QImage words = pixelWords(bw);
    SpaceCheck check(words.size(), settings, minSpaceMils);
    for (int y = 0; y < words.height(); ++y) {
        const std::optional<EdgeRow> edges = edgeRow(edgeGrey, words.size(), y, settings);
        check.addRow(reinterpret_cast<const quint32 *>(words.constScanLine(y)), y,
                     edges ? &*edges : nullptr);
    }
    return check.finish();
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

QString spaceSummary(const SpaceReport &report)
{
    return gapSummary(report)
            + QStringLiteral(", coverage %1 %").arg(report.coveragePercent, 0, 'f', 1);
}

} // namespace kcore
