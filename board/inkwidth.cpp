// The blocks of pixels whose written lines hold a disc of the finest line, and the ink that lies
// in none of them, found a band of rows at a time with words of 64 pixels.
#include "inkwidth.h"

#include "geometry/linegeometry.h"

#include <algorithm>
#include <cmath>

namespace kcore {

namespace {

constexpr double pi = 3.14159265358979323846;

// The copper a run of pixel columns [a, b] is sure to get: a round-ended line of radius r along
// a centre line from x0 to x1, in mils from column 0's left edge.
class Copper
{
public:
    Copper(const PadsSettings &s) : m_s(s), m_g(s)
    {
        m_p = s.pitch;
        m_r = m_g.mils(m_g.width()) / 2;
        // A quantum of the file's own rounding; whole mils only round at a fractional pitch.
        const bool v20 = s.format == PadsFormat::V20;
        const bool whole = v20 && std::abs(m_p - std::round(m_p)) < 1e-9;
        m_rounded = v20 && !whole;
        m_tolerance = v20 ? 1e-6 : 2 / m_g.quantaPerMil();
        // Smooth ends are rounded to the file's quantum wherever the edges lie.
        m_smoothSlack = v20 ? 0.5 : 0.5 / m_g.quantaPerMil();
    }
    double pitch() const { return m_p; }
    double radius() const { return m_r; }
    bool rounded() const { return m_rounded; }
    double tolerance() const { return m_tolerance; }

    // Without the file's rounding (exact), or as the file rounds the run's numbers.
    bool line(qint64 a, qint64 b, bool exact, double *x0, double *x1) const
    {
        const double p = m_p;
        if (m_s.smoothEdges) {
            // The edges lie at least half a pixel inside the run; a run too short for a piece
            // between them gets one that may lie anywhere and is not counted on.
            const double left = (double(a) + 0.5) * p + m_r + m_smoothSlack;
            const double right = (double(b) + 0.5) * p - m_r - m_smoothSlack;
            *x0 = left;
            *x1 = right;
            return right - left >= 1 - 2 * m_smoothSlack;
        }
        if (exact) {
            *x0 = (m_s.exactEnds ? double(a) + 0.5 : double(a)) * p;
            *x1 = m_s.exactEnds ? std::max(*x0 + 1, (double(b) + 0.5) * p) : double(b + 1) * p;
            return true;
        }
        const qint64 x = m_g.x(a);
        *x0 = m_g.mils(x);
        *x1 = m_g.mils(x + m_g.length(b - a + 1));
        return true;
    }
    // The y of image row k (from the top) of a tall image, in mils, as the file rounds it.
    double rowY(qint64 k, bool exact) const
    {
        constexpr int tall = 1 << 20;
        return exact ? -double(k) * m_p : m_g.mils(m_g.y(int(k), tall)) - tall * m_p;
    }

private:
    PadsSettings m_s;
    LineGeometry m_g;
    double m_p, m_r;
    bool m_rounded;
    double m_tolerance, m_smoothSlack;
};

struct Point
{
    double x, y;
};

// Points of a disc of radius radius around the origin: its rim and rings within.
std::vector<Point> discPoints(double radius)
{
    std::vector<Point> points{{0, 0}};
    for (int ring = 1; ring <= 4; ++ring) {
        const int n = ring == 4 ? 128 : 48;
        for (int i = 0; i < n; ++i) {
            const double t = 2 * pi * (i + 0.5 * (ring & 1)) / n;
            points.push_back({radius * ring / 4 * std::cos(t), radius * ring / 4 * std::sin(t)});
        }
    }
    return points;
}

struct Stroke
{
    double y, x0, x1;
};

bool inside(const Point &p, const std::vector<Stroke> &strokes, double r2)
{
    for (const Stroke &s : strokes) {
        const double dx = p.x < s.x0 ? s.x0 - p.x : p.x > s.x1 ? p.x - s.x1 : 0;
        const double dy = p.y - s.y;
        if (dx * dx + dy * dy <= r2)
            return true;
    }
    return false;
}

// The strokes of block anchored at column ax, row ky, as the file draws them (or exactly).
std::vector<Stroke> strokesOf(const InkBlock &block, const Copper &c, qint64 ax, qint64 ky,
                              bool exact)
{
    std::vector<Stroke> strokes;
    for (const InkBlock::Row &row : block.rows) {
        Stroke s;
        s.y = c.rowY(ky + row.dy, exact);
        if (c.line(ax + row.from, ax + row.to, exact, &s.x0, &s.x1))
            strokes.push_back(s);
    }
    return strokes;
}

// Whether the strokes hold a disc of the points' radius centred near (cx, cy).
bool holdsDisc(const std::vector<Stroke> &strokes, const std::vector<Point> &disc, double cx,
               double cy, double search, double r2)
{
    const int steps = search > 0 ? 3 : 0;
    for (int i = 0; i <= 2 * steps; ++i) {
        for (int j = 0; j <= 2 * steps; ++j) {
            const double ox = steps ? search * (i - steps) / steps : 0;
            const double oy = steps ? search * (j - steps) / steps : 0;
            const bool all = std::all_of(disc.begin(), disc.end(), [&](const Point &p) {
                return inside({p.x + cx + ox, p.y + cy + oy}, strokes, r2);
            });
            if (all)
                return true;
        }
    }
    return false;
}

// The block around a disc of radius radius centred (ox, oy) pixels off column 0's centre and
// row 0's centre line: in each row the shortest run whose line holds the disc's points nearest
// to that row. Empty when a row's line cannot.
InkBlock blockAround(const Copper &c, double radius, double ox, double oy)
{
    const double p = c.pitch(), r = c.radius();
    const double cx = (0.5 + ox) * p, cy = -oy * p;
    const double r2 = (r + c.tolerance()) * (r + c.tolerance());
    std::vector<Point> disc = discPoints(radius);
    for (Point &q : disc)
        q = {q.x + cx, q.y + cy};
    InkBlock block;
    const int top = int(std::floor(-(cy + radius) / p - 0.5)), bottom = -top + 1;
    const int lo = int(std::floor((cx - radius - r) / p)) - 1;
    const int hi = int(std::ceil((cx + radius + r) / p)) + 1;
    for (int k = top; k <= bottom; ++k) {
        std::vector<Point> mine;
        // A point halfway between two rows goes to the one nearer the disc's centre.
        for (const Point &q : disc)
            if (std::lround(-(q.y + (cy - q.y) * 1e-9) / p) == k)
                mine.push_back(q);
        if (mine.empty())
            continue;
        const double y = c.rowY(k, true);
        int best = -1, bestA = 0;
        for (int a = lo; a <= hi; ++a) {
            for (int b = a; b <= hi && (best < 0 || b - a < best); ++b) {
                Stroke s{y, 0, 0};
                if (!c.line(a, b, true, &s.x0, &s.x1))
                    continue;
                const bool all = std::all_of(mine.begin(), mine.end(),
                                             [&](const Point &q) { return inside(q, {s}, r2); });
                if (all) {
                    best = b - a;
                    bestA = a;
                }
            }
        }
        if (best < 0)
            return InkBlock();
        block.rows.push_back({k, bestA, bestA + best});
    }
    return block;
}

// The block moved so that its first row is 0 and its leftmost column 0.
InkBlock normalised(InkBlock block)
{
    if (block.rows.empty())
        return block;
    const int dy = block.rows.front().dy;
    int left = block.rows.front().from;
    for (const InkBlock::Row &row : block.rows)
        left = std::min(left, row.from);
    for (InkBlock::Row &row : block.rows)
        row = {row.dy - dy, row.from - left, row.to - left};
    return block;
}

// Whether the block's lines hold the disc wherever the file's rounding puts them: at every
// column and row of a stretch long enough for the rounding's pattern to come round.
bool holdsEverywhere(const InkBlock &block, const Copper &c, double minLine)
{
    const std::vector<Point> disc = discPoints(minLine / 2);
    const double r2 = (c.radius() + c.tolerance()) * (c.radius() + c.tolerance());
    const int positions = c.rounded() ? 24 : 1;
    double cx = 0, cy = 0;
    {
        const std::vector<Stroke> exact = strokesOf(block, c, 0, 0, true);
        double left = 1e300, right = -1e300, top = -1e300, bottom = 1e300;
        for (const Stroke &s : exact) {
            left = std::min(left, s.x0);
            right = std::max(right, s.x1);
            top = std::max(top, s.y);
            bottom = std::min(bottom, s.y);
        }
        cx = (left + right) / 2;
        cy = (top + bottom) / 2;
    }
    const double search = c.rounded() ? c.pitch() / 2 : 0;
    for (int ax = 0; ax < positions; ++ax)
        for (int ky = 0; ky < positions; ++ky) {
            const std::vector<Stroke> strokes = strokesOf(block, c, ax, ky, false);
            const double x = cx + ax * c.pitch(), y = cy + c.rowY(ky, false) - c.rowY(0, false);
            if (!holdsDisc(strokes, disc, x, y, search, r2))
                return false;
        }
    return true;
}

// Whether every pixel of small lies in big, moved somewhere: big then never fits where small
// does not, and adds nothing.
bool contains(const InkBlock &big, const InkBlock &small)
{
    const int height = big.height() - small.height();
    for (int dy = 0; dy <= height; ++dy)
        for (int dx = -64; dx <= 64; ++dx) {
            const bool all = std::all_of(
                    small.rows.begin(), small.rows.end(), [&](const InkBlock::Row &s) {
                        return std::any_of(big.rows.begin(), big.rows.end(),
                                           [&](const InkBlock::Row &b) {
                                               return b.dy == s.dy + dy && b.from <= s.from + dx
                                                       && b.to >= s.to + dx;
                                           });
                    });
            if (all)
                return true;
        }
    return false;
}

} // namespace

int InkBlock::pixels() const
{
    int n = 0;
    for (const Row &r : rows)
        n += r.to - r.from + 1;
    return n;
}

bool InkBlock::operator==(const InkBlock &o) const
{
    return rows.size() == o.rows.size()
            && std::equal(rows.begin(), rows.end(), o.rows.begin(), [](const Row &a, const Row &b) {
                   return a.dy == b.dy && a.from == b.from && a.to == b.to;
               });
}

InkWidth::InkWidth(const PadsSettings &settings, double minLineMils)
{
    const Copper c(settings);
    // The fab check's own measure: a line as wide as the finest, to a hair, is wide enough.
    if (!(settings.pitch > 0) || 2 * c.radius() >= minLineMils - 1e-6)
        return;
    std::vector<InkBlock> found;
    const double step = c.pitch() / 8;
    for (double ox : {0.0, 0.5})
        for (double oy : {0.0, 0.5}) {
            // Grown a little at a time where the rounding of a fractional pitch needs more.
            for (double radius = minLineMils / 2; radius <= minLineMils / 2 + 2 * c.pitch();
                 radius += step) {
                const InkBlock b = normalised(blockAround(c, radius, ox, oy));
                if (!b.rows.empty() && holdsEverywhere(b, c, minLineMils)) {
                    found.push_back(b);
                    break;
                }
            }
        }
    for (size_t i = 0; i < found.size(); ++i) {
        bool redundant = false;
        for (size_t j = 0; j < found.size() && !redundant; ++j)
            redundant
                    = j != i && contains(found[i], found[j]) && (!(found[i] == found[j]) || j < i);
        if (!redundant)
            m_blocks.push_back(found[i]);
    }
    for (const InkBlock &b : m_blocks) {
        m_span = std::max(m_span, b.height());
        for (const InkBlock::Row &row : b.rows)
            m_span = std::max(m_span, row.to + 1);
    }
}

namespace {

// dst[x] = src[x + k], black beyond the row's width bits.
void shifted(const quint64 *src, int words, int k, quint64 *dst)
{
    const int q = k >= 0 ? k >> 6 : -((-k + 63) >> 6);
    const int b = k - q * 64; // 0..63
    for (int i = 0; i < words; ++i) {
        const int j = i + q;
        const quint64 lo = j >= 0 && j < words ? src[j] : 0;
        const quint64 hi = j + 1 >= 0 && j + 1 < words ? src[j + 1] : 0;
        dst[i] = b ? lo >> b | hi << (64 - b) : lo;
    }
}

// dst[x] = src[x + from] & ... & src[x + to] (erode), or src[x - from] | ... | src[x - to]
// (dilate); dst and the scratch rows differ from src.
void runOf(const quint64 *src, int words, int from, int to, bool erode, quint64 *dst, quint64 *a,
           quint64 *b, quint64 tail)
{
    const int n = to - from + 1;
    const int sign = erode ? 1 : -1;
    std::copy(src, src + words, a);
    int len = 1;
    while (2 * len <= n) {
        shifted(a, words, sign * len, b);
        for (int i = 0; i < words; ++i)
            a[i] = erode ? a[i] & b[i] : a[i] | b[i];
        len *= 2;
    }
    if (len < n) {
        shifted(a, words, sign * (n - len), b);
        for (int i = 0; i < words; ++i)
            a[i] = erode ? a[i] & b[i] : a[i] | b[i];
    }
    shifted(a, words, sign * from, dst);
    if (words > 0)
        dst[words - 1] &= tail;
}

} // namespace

void findThinInk(const BitImage &image, const InkWidth &width, int y0, int y1, BitImage *thin)
{
    const int words = image.stride();
    const int h = image.height();
    const quint64 tail = image.width() % 64 ? (quint64(1) << (image.width() % 64)) - 1 : ~0ull;
    const int span = width.span();
    // Rows [y0 - span, y1) of each block's erosion, and the opening of rows [y0, y1).
    const int band = y1 - y0 + span;
    // Asked for again and again on small windows: the rows' memory is kept between calls.
    thread_local std::vector<quint64> eroded, opened, run, a, b;
    eroded.resize(size_t(band) * words);
    opened.assign(size_t(y1 - y0) * words, 0);
    for (std::vector<quint64> *v : {&run, &a, &b})
        v->resize(size_t(words));
    for (const InkBlock &block : width.blocks()) {
        for (int i = 0; i < band; ++i) {
            quint64 *e = &eroded[size_t(i) * words];
            std::fill(e, e + words, ~0ull);
            const int y = y0 - span + i;
            for (const InkBlock::Row &row : block.rows) {
                const int source = y + row.dy;
                if (source < 0 || source >= h) {
                    std::fill(e, e + words, 0);
                    break;
                }
                runOf(image.row(source), words, row.from, row.to, true, run.data(), a.data(),
                      b.data(), tail);
                for (int w = 0; w < words; ++w)
                    e[w] &= run[w];
            }
        }
        for (int y = y0; y < y1; ++y) {
            quint64 *o = &opened[size_t(y - y0) * words];
            for (const InkBlock::Row &row : block.rows) {
                const int i = y - row.dy - (y0 - span);
                if (i < 0)
                    continue;
                runOf(&eroded[size_t(i) * words], words, row.from, row.to, false, run.data(),
                      a.data(), b.data(), tail);
                for (int w = 0; w < words; ++w)
                    o[w] |= run[w];
            }
        }
    }
    for (int y = y0; y < y1; ++y) {
        const quint64 *ink = image.row(y);
        const quint64 *o = &opened[size_t(y - y0) * words];
        quint64 *t = thin->row(y - y0);
        for (int w = 0; w < words; ++w)
            t[w] = ink[w] & ~o[w];
    }
}

qint64 countThinInk(const BitImage &image, const InkWidth &width)
{
    if (!width.active() || image.isNull())
        return 0;
    constexpr int bandRows = 256;
    BitImage thin = BitImage::blank(QSize(image.width(), bandRows));
    qint64 n = 0;
    for (int y0 = 0; y0 < image.height(); y0 += bandRows) {
        const int y1 = std::min(image.height(), y0 + bandRows);
        findThinInk(image, width, y0, y1, &thin);
        for (int y = 0; y < y1 - y0; ++y)
            for (int w = 0; w < thin.stride(); ++w)
                n += __builtin_popcountll(thin.row(y)[w]);
    }
    return n;
}

} // namespace kcore
