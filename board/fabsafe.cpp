// Fab-safe line art: rounds of the width rule and the space rule over the rows changed last,
// each finding mended by the change that moves the fewest pixels without joining or splitting
// shapes, until a round changes nothing.
#include "fabsafe.h"

#include "board/inkwidth.h"
#include "board/lineitems.h"
#include "board/spacecheck.h"
#include "geometry/linegeometry.h"

#include <QLocale>
#include <QRect>

#include <algorithm>
#include <cmath>
#include <memory>
#include <unordered_map>

namespace kcore {

namespace {

struct Pixel
{
    int x, y;
};
using Pixels = std::vector<Pixel>;

// A run of white pixels [s, e) of row y.
struct Run
{
    int y, s, e;
    bool empty() const { return s >= e; }
};

// A change that mends a finding: pixels to turn white (fill) or black.
struct Change
{
    Pixels pixels;
    bool white = false;
};

// Marks over a window, for one question at a time.
class Mask
{
public:
    void reset(const QRect &rect)
    {
        m_left = rect.left();
        m_top = rect.top();
        m_width = rect.width();
        m_height = rect.height();
        m_stride = (m_width + 63) / 64;
        m_bits.assign(size_t(m_stride) * size_t(std::max(0, m_height)), 0);
    }
    bool inside(int x, int y) const
    {
        return unsigned(x - m_left) < unsigned(m_width) && unsigned(y - m_top) < unsigned(m_height);
    }
    bool test(int x, int y) const
    {
        if (!inside(x, y))
            return false;
        const int i = x - m_left;
        return m_bits[size_t(y - m_top) * m_stride + size_t(i >> 6)] >> (i & 63) & 1;
    }
    // Marks (x, y), inside; false when it was marked already.
    bool mark(int x, int y)
    {
        const int i = x - m_left;
        quint64 &word = m_bits[size_t(y - m_top) * m_stride + size_t(i >> 6)];
        const quint64 bit = quint64(1) << (i & 63);
        const bool was = word & bit;
        word |= bit;
        return !was;
    }

private:
    int m_left = 0, m_top = 0, m_width = 0, m_height = 0, m_stride = 0;
    std::vector<quint64> m_bits;
};

// Calls f(s, e) for every run of white pixels of words [from, to) of a row of bits, in order; a
// run reaching past them ends at their edge.
template<typename F>
void forEachBitRun(const quint64 *row, int from, int to, F &&f)
{
    quint64 before = from > 0 ? row[from - 1] >> 63 : 0;
    int start = before ? from * 64 : -1;
    for (int i = from; i < to; ++i) {
        const quint64 w = row[i];
        quint64 edges = w ^ (w << 1 | before);
        before = w >> 63;
        while (edges) {
            const int x = i * 64 + __builtin_ctzll(edges);
            edges &= edges - 1;
            if (start < 0) {
                start = x;
            } else {
                f(start, x);
                start = -1;
            }
        }
    }
    if (start >= 0)
        f(start, to * 64);
}

// Calls f(s, e) for every run of white pixels of a row of bits, in order.
template<typename F>
void forEachBitRun(const quint64 *row, int words, F &&f)
{
    forEachBitRun(row, 0, words, f);
}

// Past this many rounds of both rules, changes only take ink away: a mended space can leave thin
// ink and widened ink a narrow space, and taking away always comes to an end.
constexpr int mendingRounds = 16;
// A bound never met in practice: every round past those takes ink away where any is left to.
constexpr int lastRound = 400;

// The shapes of the picture as it was given: a label for each run of white pixels, the same for
// runs that touch, corners included. Kept only while it takes no more than two bits a pixel (or
// 8 MB): a picture of more runs is noise, whose pieces are judged near each change instead.
class Shapes
{
public:
    bool build(const BitImage &image);
    // The label of white pixel (x, y) of the image as given (image ^ changed), or of ink
    // added since (told with added()); -1 when it is not known.
    int labelOf(const BitImage &image, const BitImage &changed, int x, int y) const;
    void added(int x, int y, int label) { m_added[qint64(y) << 32 | quint32(x)] = label; }
    bool known() const { return m_known; }
    // The label of run i of row y, from the left.
    int label(int y, int i) const { return m_label[size_t(m_rowStart[size_t(y)] + i)]; }

private:
    bool m_known = false;
    std::vector<qint64> m_rowStart;
    std::vector<int> m_label;
    std::vector<int> m_start; // of each run
    std::unordered_map<qint64, int> m_added;
};

bool Shapes::build(const BitImage &image)
{
    const int h = image.height(), words = image.stride();
    m_rowStart.assign(size_t(h) + 1, 0);
    qint64 runs = 0;
    for (int y = 0; y < h; ++y) {
        m_rowStart[size_t(y)] = runs;
        forEachBitRun(image.row(y), words, [&](int, int) { ++runs; });
    }
    m_rowStart[size_t(h)] = runs;
    // A label and a start of 32 bits each: two bits a pixel, or 8 MB for a small picture of
    // many runs.
    m_known = runs <= std::max(qint64(image.width()) * h / 32, qint64(1) << 20);
    if (!m_known)
        return false;
    std::vector<int> &parent = m_label;
    parent.resize(size_t(runs));
    m_start.resize(size_t(runs));
    const auto root = [&](int i) {
        while (parent[size_t(i)] != i)
            i = parent[size_t(i)] = parent[size_t(parent[size_t(i)])];
        return i;
    };
    std::vector<std::pair<int, int>> above, now;
    for (int y = 0; y < h; ++y) {
        now.clear();
        int i = int(m_rowStart[size_t(y)]);
        forEachBitRun(image.row(y), words, [&](int s, int e) {
            parent[size_t(i)] = i;
            m_start[size_t(i)] = s;
            now.emplace_back(s, e);
            ++i;
        });
        // Runs of the rows above and below that overlap or meet at a corner are one shape.
        size_t j = 0;
        for (size_t k = 0; k < now.size(); ++k) {
            while (j < above.size() && above[j].second < now[k].first)
                ++j;
            for (size_t m = j; m < above.size() && above[m].first <= now[k].second; ++m) {
                const int a = root(int(m_rowStart[size_t(y) - 1] + qint64(m)));
                const int b = root(int(m_rowStart[size_t(y)] + qint64(k)));
                parent[size_t(std::max(a, b))] = std::min(a, b);
            }
        }
        above.swap(now);
    }
    for (size_t r = 0; r < parent.size(); ++r)
        parent[r] = root(int(r));
    return true;
}

int Shapes::labelOf(const BitImage &image, const BitImage &changed, int x, int y) const
{
    if (!m_known)
        return -1;
    const quint64 *now = image.row(y), *flipped = changed.row(y);
    const int word = x >> 6;
    if (!((now[word] ^ flipped[word]) >> (x & 63) & 1)) {
        const auto it = m_added.find(qint64(y) << 32 | quint32(x));
        return it == m_added.end() ? -1 : it->second;
    }
    // The run of the picture as given that holds x: the last to start at or before it.
    const auto first = m_start.begin() + m_rowStart[size_t(y)];
    const auto last = m_start.begin() + m_rowStart[size_t(y) + 1];
    return m_label[size_t(std::upper_bound(first, last, x) - m_start.begin() - 1)];
}

class Cleaner
{
public:
    Cleaner(BitImage &image, const PadsSettings &settings, double minLine, double minSpace,
            const QImage &levels);
    bool run();
    FabSafeReport report;

private:
    // The rules, as the file draws the runs.
    void strokesOf(int y, std::vector<SpaceCheck::Stroke> *strokes) const;
    void centreLine(int y, int s, int e, double *x0, double *x1) const;
    bool tooClose(const Run &a, const Run &b) const;
    Pixels trimOf(const Run &x, const Run &other) const;
    std::vector<Change> changesFor(const Run &a, const Run &b) const;
    Pixels fillBetween(const Run &a, const Run &b) const;
    Pixels sightLine(const Run &left, const Run &right) const;
    Pixels widening(const Pixels &piece);
    int missingAround(int x, int y, Pixels *block) const;

    void widthPass(int y0, int y1);
    void gapPass(int y0, int y1);
    void mendThin(Pixels piece);
    void mendPair(const SpacePair &pair);
    bool keepsShapes(const Change &change, bool *whole);
    struct Problems
    {
        int findings = 0, thin = 0;
    };
    Problems problemsNear(const QRect &core);
    const Change *choose(const std::vector<Change> &changes, const Change *fallback, bool *whole);
    void apply(const Change &change);

    bool runIs(const Run &r) const;
    bool undoes(const Change &change) const;
    bool touchedAround(const Run &a, const Run &b) const;
    Pixels blackIn(int y, int x0, int x1) const;
    Pixels whiteAround(const Pixels &pixels);
    bool oneShape(const Pixels &seeds, QRect window);
    void floodFrom(const Pixel &from, const QRect &window);
    int labelOf(const Pixels &seeds) const;
    bool reaches(const Pixels &sought, const QRect &window, bool *cut);
    std::vector<std::pair<int, int>> rangesOf(const std::vector<char> &rows, int reach) const;
    void recountShapes();

    BitImage &m_image;
    QImage m_levels; // the grey levels smooth ends follow, when they are at hand
    BitImage m_changed; // flipped an odd number of times
    PadsSettings m_settings;
    LineGeometry m_g;
    InkWidth m_ink;
    double m_minSpaceMils;
    double m_minSpace, m_width, m_reach; // quanta
    double m_smoothSlack = 0; // how far past its pixels a smooth end may reach, quanta
    int m_reachRows = 1;
    int m_margin = 8; // how far round a change it is judged whether pieces of ink are one
    int m_near = 4; // how far either rule reaches, in pixels
    bool m_removalOnly = false;
    int m_splits = 0; // the shapes the change keepsShapes() judged last would split
    std::vector<char> m_rowChanged;
    // Rows of findings left for the rounds that only take ink away.
    std::vector<char> m_rowDeferred;
    BitImage m_thin;
    // Pixels the mends of the gap rule's block of rows have changed, from row m_touchedTop.
    BitImage m_touched;
    int m_touchedTop = 0;
    Mask m_among, m_seen;
    Shapes m_shapes;
    // What problemsNear() works with, kept from one call to the next.
    std::unique_ptr<SpaceCheck> m_nearCheck;
    std::vector<SpacePair> m_nearPairs;
    std::vector<SpaceCheck::Stroke> m_nearStrokes;
    BitImage m_local, m_localThin;
};

Cleaner::Cleaner(BitImage &image, const PadsSettings &settings, double minLine, double minSpace,
                 const QImage &levels)
    : m_image(image), m_levels(levels), m_settings(settings), m_g(settings),
      m_ink(settings, minLine), m_minSpaceMils(minSpace)
{
    const double qpm = m_g.quantaPerMil();
    m_minSpace = minSpace * qpm;
    m_width = double(m_g.width());
    m_reach = m_width + m_minSpace;
    const double pitch = settings.pitch * qpm;
    if (settings.smoothEdges)
        m_smoothSlack = 0.5 * qpm + 0.5;
    // As the space check reaches: rows d apart lie at least d pitches less a mil apart.
    m_reachRows = std::max(1, int(std::floor((m_reach + qpm) / pitch)));
    const int across = int(std::ceil((m_reach + 2 * m_smoothSlack) / pitch)) + 1;
    m_near = std::max({m_reachRows, across, m_ink.span()}) + 1;
    m_margin = m_near + 6;
    m_nearCheck = std::make_unique<SpaceCheck>(image.size(), settings, minSpace);
    m_nearCheck->setPairSink(&m_nearPairs);
}

void Cleaner::centreLine(int y, int s, int e, double *x0, double *x1) const
{
    if (m_settings.smoothEdges) {
        if (const std::optional<EdgeRow> edges = edgeRow(m_levels, m_image.size(), y, m_settings)) {
            qint64 x, length;
            m_g.between(edges->left(s), edges->right(e), &x, &length);
            *x0 = double(x);
            *x1 = double(x + length);
            return;
        }
        // Without the grey levels: smooth ends lie between pixel centres wherever the grey
        // picture puts them, and a short run's piece is centred between them, never more than
        // half a mil and a quantum of rounding past the run's own pixels.
        const double pitch = m_g.pitchQuanta();
        *x0 = s * pitch - m_smoothSlack;
        *x1 = e * pitch + m_smoothSlack;
        return;
    }
    const qint64 x = m_g.x(s);
    *x0 = double(x);
    *x1 = double(x + m_g.length(e - s));
}

void Cleaner::strokesOf(int y, std::vector<SpaceCheck::Stroke> *strokes) const
{
    strokes->clear();
    forEachBitRun(m_image.row(y), m_image.stride(), [&](int s, int e) {
        SpaceCheck::Stroke st{s, e, 0, 0};
        centreLine(y, s, e, &st.x0, &st.x1);
        strokes->push_back(st);
    });
}

bool Cleaner::tooClose(const Run &a, const Run &b) const
{
    if (a.empty() || b.empty())
        return false;
    double a0, a1, b0, b1;
    centreLine(a.y, a.s, a.e, &a0, &a1);
    centreLine(b.y, b.s, b.e, &b0, &b1);
    // The space check's own arithmetic, so that what it finds is what is mended.
    if (a.y == b.y)
        return std::max(0.0, a.s < b.s ? b0 - a1 : a0 - b1) - m_width < m_minSpace;
    const double dx = std::max(0.0, std::max(a0, b0) - std::min(a1, b1));
    const double dy = double(m_g.y(a.y, m_image.height()) - m_g.y(b.y, m_image.height()));
    return dx * dx + dy * dy < m_reach * m_reach;
}

// The columns of x to take away so that what is left of it is far enough from other: the longest
// part from x's start that is, and the longest from its end.
Pixels Cleaner::trimOf(const Run &x, const Run &other) const
{
    const auto ok = [&](int s, int e) { return !tooClose({x.y, s, e}, other); };
    int lo = x.s, hi = x.e;
    while (lo < hi) {
        const int mid = (lo + hi + 1) / 2;
        if (ok(x.s, mid))
            lo = mid;
        else
            hi = mid - 1;
    }
    const int c0 = lo;
    hi = x.e;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (ok(mid, x.e))
            hi = mid;
        else
            lo = mid + 1;
    }
    Pixels p;
    for (int c = c0; c < lo; ++c)
        p.push_back({c, x.y});
    return p;
}

Pixels Cleaner::blackIn(int y, int x0, int x1) const
{
    Pixels p;
    for (int x = std::max(0, x0); x < std::min(m_image.width(), x1); ++x)
        if (!m_image.at(x, y))
            p.push_back({x, y});
    return p;
}

// The pixels a straight line from the centre of left's last pixel to the centre of right's first
// passes through, as the space check follows it: filled, they stand between the two runs.
Pixels Cleaner::sightLine(const Run &left, const Run &right) const
{
    const int endL = left.e, startR = right.s;
    const int d = std::abs(left.y - right.y);
    const int n = startR - endL + 1;
    const auto at = [&](int twiceT) { return qint64(n) * twiceT - d; };
    const auto down = [d](qint64 a) { return int(floorDiv(a, 2 * d)); };
    Pixels p = blackIn(left.y, endL, endL + down(at(1) - 1) + 1);
    const int step = left.y < right.y ? 1 : -1;
    for (int j = 1; j < d; ++j) {
        const Pixels row = blackIn(left.y + step * j, endL + down(at(2 * j - 1)),
                                   endL + down(at(2 * j + 1) - 1) + 1);
        p.insert(p.end(), row.begin(), row.end());
    }
    const Pixels last = blackIn(right.y, endL + down(at(2 * d - 1)), startR);
    p.insert(p.end(), last.begin(), last.end());
    return p;
}

// The background between two runs the picture keeps apart, filled: then they are one.
Pixels Cleaner::fillBetween(const Run &a, const Run &b) const
{
    const Run &left = a.s < b.s ? a : b;
    const Run &right = a.s < b.s ? b : a;
    const int lo = std::max(a.s, b.s), hi = std::min(a.e, b.e);
    if (a.y == b.y || std::abs(a.y - b.y) == 1)
        return blackIn(left.y, left.e, right.s);
    if (lo < hi) {
        Pixels p;
        for (int y = std::min(a.y, b.y) + 1; y < std::max(a.y, b.y); ++y) {
            const Pixels row = blackIn(y, lo, hi);
            p.insert(p.end(), row.begin(), row.end());
        }
        return p;
    }
    return sightLine(left, right);
}

std::vector<Change> Cleaner::changesFor(const Run &a, const Run &b) const
{
    std::vector<Change> changes;
    if (!m_removalOnly) {
        changes.push_back({fillBetween(a, b), true});
        // Next rows meet at a corner once either reaches over.
        if (std::abs(a.y - b.y) == 1) {
            const Run &left = a.s < b.s ? a : b;
            const Run &right = a.s < b.s ? b : a;
            changes.push_back({blackIn(right.y, left.e, right.s), true});
        }
    }
    const Pixels trimA = trimOf(a, b), trimB = trimOf(b, a);
    if (a.y == b.y) {
        // Both ends pulled back by half each: the space opens around its middle.
        const Run &left = a.s < b.s ? a : b;
        const Run &right = a.s < b.s ? b : a;
        const size_t most = std::min(trimA.size(), trimB.size());
        for (int t = 1; size_t(t) <= most; ++t) {
            const int kl = (t + 1) / 2, kr = t / 2;
            if (kl > left.e - left.s || kr > right.e - right.s)
                break;
            if (!tooClose({left.y, left.s, left.e - kl}, {right.y, right.s + kr, right.e})) {
                Change c;
                for (int x = left.e - kl; x < left.e; ++x)
                    c.pixels.push_back({x, left.y});
                for (int x = right.s; x < right.s + kr; ++x)
                    c.pixels.push_back({x, right.y});
                changes.push_back(c);
                break;
            }
        }
    }
    changes.push_back({trimA, false});
    changes.push_back({trimB, false});
    std::stable_sort(changes.begin(), changes.end(), [](const Change &x, const Change &y) {
        return x.pixels.size() < y.pixels.size();
    });
    return changes;
}

// Whether the change turns back a pixel an earlier one changed: then the two would take turns
// for ever. Only taking ink away, which always comes to an end, may.
bool Cleaner::undoes(const Change &change) const
{
    if (m_removalOnly && !change.white)
        return false;
    return std::any_of(change.pixels.begin(), change.pixels.end(),
                       [&](const Pixel &p) { return m_changed.at(p.x, p.y); });
}

bool Cleaner::runIs(const Run &r) const
{
    if (r.s < 0 || r.e > m_image.width() || r.empty() || m_image.at(r.s - 1, r.y)
        || m_image.at(r.e, r.y))
        return false;
    for (int x = r.s; x < r.e; ++x)
        if (!m_image.at(x, r.y))
            return false;
    return true;
}

bool Cleaner::touchedAround(const Run &a, const Run &b) const
{
    const int x0 = std::max(0, std::min(a.s, b.s) - 1);
    const int x1 = std::min(m_image.width() - 1, std::max(a.e, b.e));
    for (int y = b.y; y <= a.y; ++y) {
        const int r = y - m_touchedTop;
        if (r < 0 || r >= m_touched.height())
            continue;
        for (int x = x0; x <= x1; ++x)
            if (m_touched.at(x, r))
                return true;
    }
    return false;
}

void Cleaner::mendPair(const SpacePair &pair)
{
    const Run a{pair.rowA, pair.sA, pair.eA}, b{pair.rowB, pair.sB, pair.eB};
    // Changed by another mend since the check found it, the space between them included: the
    // next round looks again.
    if (!runIs(a) || !runIs(b) || touchedAround(a, b))
        return;
    const std::vector<Change> changes = changesFor(a, b);
    // Every change joins or splits: the space the picture has is kept.
    const auto trim = std::find_if(changes.begin(), changes.end(),
                                   [](const Change &c) { return !c.white && !c.pixels.empty(); });
    bool whole = false;
    const Change *chosen = choose(changes, trim == changes.end() ? nullptr : &*trim, &whole);
    if (!chosen) {
        // Nothing but undoing an earlier change would do: a later round takes ink away.
        for (int y = b.y; y <= a.y; ++y)
            m_rowDeferred[size_t(y)] = 1;
        return;
    }
    apply(*chosen);
    ++(chosen->white ? report.gapsClosed : report.gapsOpened);
    report.specks += whole;
}

// The number of findings of either rule around core as the image is now: pairs with a run in
// it, and thin pixels in it. The image is cut at core's margin, which no rule reaches across.
Cleaner::Problems Cleaner::problemsNear(const QRect &core)
{
    const QRect window
            = core.adjusted(-m_near, -m_near, m_near, m_near) & QRect(QPoint(0, 0), m_image.size());
    Problems found;
    SpaceCheck &check = *m_nearCheck;
    check.forgetRows();
    std::vector<SpacePair> &pairs = m_nearPairs;
    pairs.clear();
    std::vector<SpaceCheck::Stroke> &strokes = m_nearStrokes;
    for (int y = window.top(); y <= window.bottom(); ++y) {
        strokes.clear();
        forEachBitRun(m_image.row(y), window.left() >> 6, (window.right() >> 6) + 1,
                      [&](int s, int e) {
                          s = std::max(s, window.left());
                          e = std::min(e, window.right() + 1);
                          if (s >= e)
                              return;
                          SpaceCheck::Stroke st{s, e, 0, 0};
                          centreLine(y, s, e, &st.x0, &st.x1);
                          strokes.push_back(st);
                      });
        check.addStrokes(y, &strokes);
    }
    const auto in = [&](int y, int s, int e) {
        return y >= core.top() && y <= core.bottom() && s <= core.right() && e > core.left();
    };
    for (const SpacePair &p : pairs)
        found.findings += in(p.rowA, p.sA, p.eA) || in(p.rowB, p.sB, p.eB);
    if (!m_ink.active())
        return found;
    if (m_local.size() != window.size()) {
        m_local = BitImage::blank(window.size());
        m_localThin = BitImage::blank(window.size());
    }
    BitImage &local = m_local, &thin = m_localThin;
    if (local.isNull() || thin.isNull())
        return found;
    for (int y = window.top(); y <= window.bottom(); ++y) {
        quint64 *to = local.row(y - window.top());
        std::fill(to, to + local.stride(), 0);
        for (int x = window.left(); x <= window.right(); ++x)
            if (m_image.at(x, y))
                local.set(x - window.left(), y - window.top(), true);
    }
    findThinInk(local, m_ink, 0, local.height(), &thin);
    for (int y = core.top(); y <= core.bottom(); ++y)
        for (int x = core.left(); x <= core.right(); ++x)
            found.thin += thin.at(x - window.left(), y - window.top());
    return found;
}

// Of changes, cheapest first, the first that keeps the shapes and leaves fewer findings of the
// rule it mends around it (thin: the width rule's) and no more of the other; else the first
// that keeps the shapes; else fallback. whole tells whether it takes a shape away entirely.
const Change *Cleaner::choose(const std::vector<Change> &changes, const Change *fallback,
                              bool *whole)
{
    const Change *keeping = nullptr;
    bool keepingWhole = false;
    for (const Change &c : changes) {
        bool w = false;
        if (c.pixels.empty() || undoes(c) || !keepsShapes(c, &w))
            continue;
        if (!keeping) {
            keeping = &c;
            keepingWhole = w;
        }
        if (m_removalOnly)
            break;
        // Taking a shape away whole never brings ink nearer, nor leaves any thin.
        if (!c.white && w) {
            *whole = true;
            return &c;
        }
        // The change and the pixels next to it: a space filled lies between two runs.
        QRect core;
        for (const Pixel &p : c.pixels)
            core |= QRect(p.x - 1, p.y - 1, 3, 3);
        const Problems before = problemsNear(core);
        for (const Pixel &p : c.pixels)
            m_image.set(p.x, p.y, c.white);
        const Problems after = problemsNear(core);
        for (const Pixel &p : c.pixels)
            m_image.set(p.x, p.y, !c.white);
        const bool better = after.findings + after.thin < before.findings + before.thin;
        if (better) {
            *whole = w;
            return &c;
        }
    }
    if (keeping) {
        *whole = keepingWhole;
        return keeping;
    }
    if (!fallback || undoes(*fallback))
        return nullptr;
    keepsShapes(*fallback, whole);
    report.splits += m_splits;
    return fallback;
}

void Cleaner::gapPass(int y0, int y1)
{
    // A block of rows at a time, each checked afresh from the rows above as they are now.
    constexpr int block = 64;
    std::vector<SpaceCheck::Stroke> strokes;
    std::vector<SpacePair> pairs;
    for (int b0 = y0; b0 < y1; b0 += block) {
        const int b1 = std::min(y1, b0 + block);
        SpaceCheck check(m_image.size(), m_settings, m_minSpaceMils);
        pairs.clear();
        // What the mends of this block change, in the rows they can reach.
        m_touchedTop = b0 - m_reachRows - 1;
        for (int r = 0; r < m_touched.height(); ++r)
            std::fill(m_touched.row(r), m_touched.row(r) + m_touched.stride(), 0);
        check.setPairSink(&pairs);
        for (int y = std::max(0, b0 - m_reachRows); y < b1; ++y) {
            strokesOf(y, &strokes);
            check.addStrokes(y, &strokes);
        }
        for (const SpacePair &p : pairs)
            if (p.rowA >= b0)
                mendPair(p);
    }
}

int Cleaner::missingAround(int x, int y, Pixels *block) const
{
    int best = -1;
    for (const InkBlock &b : m_ink.blocks())
        for (const InkBlock::Row &at : b.rows)
            for (int t = at.from; t <= at.to; ++t) {
                // Anchored so that pixel (x, y) is its pixel t of row at.dy.
                const int ax = x - t, ay = y - at.dy;
                if (ax < 0 || ay < 0 || ay + b.height() > m_image.height())
                    continue;
                int missing = 0;
                bool fits = true;
                for (const InkBlock::Row &r : b.rows) {
                    if (ax + r.to >= m_image.width())
                        fits = false;
                    for (int c = ax + r.from; fits && c <= ax + r.to; ++c)
                        if (!m_image.at(c, ay + r.dy)) {
                            ++missing;
                            // Ink taken away before is not put back.
                            fits = !m_changed.at(c, ay + r.dy);
                        }
                }
                if (!fits || (best >= 0 && missing >= best))
                    continue;
                best = missing;
                if (block) {
                    block->clear();
                    for (const InkBlock::Row &r : b.rows)
                        for (int c = ax + r.from; c <= ax + r.to; ++c)
                            if (!m_image.at(c, ay + r.dy))
                                block->push_back({c, ay + r.dy});
                }
                if (best == 0)
                    return 0;
            }
    return best;
}

// The pixels that make every pixel of piece part of a block: for each in turn, the block around
// it that needs the fewest. Worked out on the image itself and taken back.
Pixels Cleaner::widening(const Pixels &piece)
{
    Pixels added, block;
    bool possible = true;
    for (const Pixel &p : piece) {
        const int missing = missingAround(p.x, p.y, &block);
        // No block fits around it within the picture: it cannot be widened.
        possible = possible && missing >= 0;
        if (missing <= 0)
            continue;
        for (const Pixel &q : block)
            m_image.set(q.x, q.y, true);
        added.insert(added.end(), block.begin(), block.end());
    }
    for (const Pixel &q : added)
        m_image.set(q.x, q.y, false);
    return possible ? added : Pixels();
}

void Cleaner::mendThin(Pixels piece)
{
    // Ink a piece before it was widened may already lie in a block.
    piece.erase(
            std::remove_if(piece.begin(), piece.end(),
                           [&](const Pixel &p) { return missingAround(p.x, p.y, nullptr) == 0; }),
            piece.end());
    if (piece.empty())
        return;
    std::vector<Change> changes{{piece, false}};
    if (!m_removalOnly) {
        // Widened when that moves no more pixels than taking the piece away.
        Change widen{widening(piece), true};
        if (!widen.pixels.empty())
            changes.insert(widen.pixels.size() <= piece.size() ? changes.begin() : changes.end(),
                           std::move(widen));
    }
    // Either way a shape is joined or split: thin ink the board maker cannot make goes.
    const Change removal{piece, false};
    bool whole = false;
    const Change *chosen = choose(changes, &removal, &whole);
    if (!chosen) {
        m_rowDeferred[size_t(piece.front().y)] = 1;
        return;
    }
    apply(*chosen);
    report.widened += chosen->white;
    report.specks += whole;
}

void Cleaner::widthPass(int y0, int y1)
{
    constexpr int band = 64;
    const int words = m_thin.stride();
    for (int b0 = y0; b0 < y1; b0 += band) {
        const int b1 = std::min(y1, b0 + band);
        findThinInk(m_image, m_ink, b0, b1, &m_thin);
        for (int r = 0; r < b1 - b0; ++r)
            for (int w = 0; w < words; ++w)
                while (quint64 bits = m_thin.row(r)[w]) {
                    // The piece of thin ink this pixel is in, within the band.
                    Pixels piece{{w * 64 + __builtin_ctzll(bits), r}};
                    m_thin.set(piece[0].x, r, false);
                    for (size_t i = 0; i < piece.size(); ++i)
                        for (int dy = -1; dy <= 1; ++dy)
                            for (int dx = -1; dx <= 1; ++dx) {
                                const int x = piece[i].x + dx, y = piece[i].y + dy;
                                if (y >= 0 && y < b1 - b0 && m_thin.at(x, y)) {
                                    m_thin.set(x, y, false);
                                    piece.push_back({x, y});
                                }
                            }
                    for (Pixel &p : piece)
                        p.y += b0;
                    mendThin(piece);
                }
    }
}

// The white pixels next to any of pixels (corners included) that are not among them.
Pixels Cleaner::whiteAround(const Pixels &pixels)
{
    QRect box;
    for (const Pixel &p : pixels)
        box |= QRect(p.x, p.y, 1, 1);
    box.adjust(-1, -1, 1, 1);
    m_among.reset(box);
    m_seen.reset(box);
    for (const Pixel &p : pixels)
        m_among.mark(p.x, p.y);
    Pixels around;
    for (const Pixel &p : pixels)
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const int x = p.x + dx, y = p.y + dy;
                if (m_image.at(x, y) && !m_among.test(x, y) && m_seen.mark(x, y))
                    around.push_back({x, y});
            }
    return around;
}

// Whether the change leaves the shapes as they are: the ink around what it fills was one shape
// already, or the ink around what it takes away is still one. whole is set when it takes away
// a shape entirely. Judged within a margin around the change, beyond which pieces count as
// apart.
bool Cleaner::keepsShapes(const Change &change, bool *whole)
{
    QRect box;
    for (const Pixel &p : change.pixels)
        box |= QRect(p.x, p.y, 1, 1);
    const QRect window = box.adjusted(-m_margin, -m_margin, m_margin, m_margin)
            & QRect(QPoint(0, 0), m_image.size());
    const Pixels seeds = whiteAround(change.pixels);
    *whole = !change.white && seeds.empty();
    // Ink added joins nothing when all it touches was one shape of the picture, however far
    // round.
    if (change.white) {
        const int label = labelOf(seeds);
        return label >= 0 || (label == -1 && oneShape(seeds, window));
    }
    // Ink taken away splits nothing when the ink around it of each shape it touches stays one
    // near the change, where it would cut: the shapes told by their labels, or where they are
    // not known, by what is one near the change beforehand.
    std::vector<int> group(seeds.size(), -1);
    int groups = 0;
    for (size_t i = 0; i < seeds.size(); ++i) {
        if (group[i] >= 0)
            continue;
        const int label = m_shapes.labelOf(m_image, m_changed, seeds[i].x, seeds[i].y);
        if (label < 0)
            floodFrom(seeds[i], window);
        for (size_t j = i; j < seeds.size(); ++j)
            if (group[j] < 0
                && (label >= 0
                            ? m_shapes.labelOf(m_image, m_changed, seeds[j].x, seeds[j].y) == label
                            : m_seen.test(seeds[j].x, seeds[j].y)))
                group[j] = groups;
        ++groups;
    }
    for (const Pixel &p : change.pixels)
        m_image.set(p.x, p.y, false);
    // The pieces each group falls into: one more than there were is a shape split.
    m_splits = 0;
    for (int g = 0; g < groups; ++g) {
        Pixels together;
        for (size_t i = 0; i < seeds.size(); ++i)
            if (group[i] == g)
                together.push_back(seeds[i]);
        while (!oneShape(together, window)) {
            ++m_splits;
            floodFrom(together.front(), window);
            together.erase(std::remove_if(together.begin(), together.end(),
                                          [&](const Pixel &p) { return m_seen.test(p.x, p.y); }),
                           together.end());
        }
    }
    for (const Pixel &p : change.pixels)
        m_image.set(p.x, p.y, true);
    return m_splits == 0;
}

// Marks in m_seen the ink within window that is one piece with from.
void Cleaner::floodFrom(const Pixel &from, const QRect &window)
{
    m_seen.reset(window);
    Pixels stack{from};
    m_seen.mark(from.x, from.y);
    while (!stack.empty()) {
        const Pixel p = stack.back();
        stack.pop_back();
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const int x = p.x + dx, y = p.y + dy;
                if (m_seen.inside(x, y) && m_image.at(x, y) && m_seen.mark(x, y))
                    stack.push_back({x, y});
            }
    }
}

// The one label of the picture's shapes all the seeds have; -1 when one is not known, -3 when
// they have two.
int Cleaner::labelOf(const Pixels &seeds) const
{
    int label = -1;
    for (const Pixel &p : seeds) {
        const int l = m_shapes.labelOf(m_image, m_changed, p.x, p.y);
        if (l < 0)
            return -1;
        if (label >= 0 && l != label)
            return -3;
        label = l;
    }
    return label;
}

bool Cleaner::oneShape(const Pixels &seeds, QRect window)
{
    // Seeds next to one another are one shape already: only the first of each cluster is sought.
    QRect box;
    for (const Pixel &p : seeds)
        box |= QRect(p.x, p.y, 1, 1);
    m_seen.reset(box.adjusted(-1, -1, 1, 1));
    Pixels sought;
    for (const Pixel &p : seeds) {
        bool near = false;
        for (int dy = -1; dy <= 1 && !near; ++dy)
            for (int dx = -1; dx <= 1 && !near; ++dx)
                near = m_seen.test(p.x + dx, p.y + dy);
        m_seen.mark(p.x, p.y);
        if (!near)
            sought.push_back(p);
    }
    if (sought.size() <= 1)
        return true;
    bool cut = false;
    return reaches(sought, window, &cut);
}

// Whether a flood from the first of sought within window reaches all the others; cut is set
// when it met the window's edge.
bool Cleaner::reaches(const Pixels &sought, const QRect &window, bool *cut)
{
    const QRect image(QPoint(0, 0), m_image.size());
    m_seen.reset(window);
    m_among.reset(window);
    for (size_t i = 1; i < sought.size(); ++i)
        m_among.mark(sought[i].x, sought[i].y);
    Pixels stack{sought[0]};
    m_seen.mark(sought[0].x, sought[0].y);
    size_t found = 1;
    while (!stack.empty()) {
        const Pixel p = stack.back();
        stack.pop_back();
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const int x = p.x + dx, y = p.y + dy;
                if (!m_image.at(x, y))
                    continue;
                if (!m_seen.inside(x, y)) {
                    *cut = *cut || image.contains(x, y);
                    continue;
                }
                if (!m_seen.mark(x, y))
                    continue;
                stack.push_back({x, y});
                found += m_among.test(x, y);
                if (found == sought.size())
                    return true;
            }
    }
    return false;
}

void Cleaner::apply(const Change &change)
{
    // Ink added is part of the shape it was added to.
    if (change.white)
        if (const int label = labelOf(whiteAround(change.pixels)); label >= 0)
            for (const Pixel &p : change.pixels)
                m_shapes.added(p.x, p.y, label);
    for (const Pixel &p : change.pixels) {
        if (m_image.at(p.x, p.y) == change.white)
            continue;
        m_image.set(p.x, p.y, change.white);
        m_changed.set(p.x, p.y, !m_changed.at(p.x, p.y));
        m_rowChanged[size_t(p.y)] = 1;
        const int r = p.y - m_touchedTop;
        if (r >= 0 && r < m_touched.height())
            m_touched.set(p.x, r, true);
    }
}

// The rows flagged, reach rows around each, as ranges [from, to).
std::vector<std::pair<int, int>> Cleaner::rangesOf(const std::vector<char> &rows, int reach) const
{
    std::vector<std::pair<int, int>> ranges;
    const int h = int(rows.size());
    for (int y = 0; y < h; ++y) {
        if (!rows[size_t(y)])
            continue;
        const int from = std::max(0, y - reach), to = std::min(h, y + reach + 1);
        if (!ranges.empty() && from <= ranges.back().second)
            ranges.back().second = std::max(ranges.back().second, to);
        else
            ranges.emplace_back(from, to);
    }
    return ranges;
}

bool Cleaner::run()
{
    const int h = m_image.height();
    m_changed = BitImage::blank(m_image.size());
    m_thin = BitImage::blank(QSize(m_image.width(), 64));
    m_touched = BitImage::blank(QSize(m_image.width(), 64 + 2 * m_reachRows + 2));
    if (m_changed.isNull() || m_thin.isNull() || m_touched.isNull())
        return false;
    m_shapes.build(m_image);
    // Each round looks again only around the rows the last one changed. Findings that only
    // undoing an earlier change would mend wait for the rounds that take ink away, which start
    // once nothing else changes, or after enough rounds.
    std::vector<char> pending(size_t(h), 1);
    m_rowDeferred.assign(size_t(h), 0);
    const auto any = [](const std::vector<char> &rows) {
        return std::find(rows.begin(), rows.end(), 1) != rows.end();
    };
    for (int round = 0; round < lastRound; ++round) {
        if (!m_removalOnly && (round >= mendingRounds || !any(pending))) {
            m_removalOnly = true;
            for (int y = 0; y < h; ++y)
                pending[size_t(y)] |= m_rowDeferred[size_t(y)];
        }
        if (!any(pending))
            break;
        m_rowChanged.assign(size_t(h), 0);
        if (m_ink.active())
            for (const auto &[from, to] : rangesOf(pending, m_ink.span()))
                widthPass(from, to);
        // The space rule also where the width rule has just changed rows.
        for (int y = 0; y < h; ++y)
            pending[size_t(y)] |= m_rowChanged[size_t(y)];
        for (const auto &[from, to] : rangesOf(pending, m_reachRows))
            gapPass(from, to);
        pending = m_rowChanged;
    }
    for (int y = 0; y < h; ++y)
        for (int w = 0; w < m_image.stride(); ++w) {
            const quint64 flipped = m_changed.row(y)[w];
            report.added += __builtin_popcountll(flipped & m_image.row(y)[w]);
            report.removed += __builtin_popcountll(flipped & ~m_image.row(y)[w]);
        }
    recountShapes();
    return true;
}

// The shapes dropped whole and those split, counted once more over the whole picture: each
// change judged them only near itself. Each shape of the picture is followed into the shapes of
// the art made safe that hold what is left of it.
void Cleaner::recountShapes()
{
    Shapes after;
    if (!m_shapes.known() || !after.build(m_image))
        return;
    std::vector<std::pair<int, int>> pairs; // a shape of the picture, one of the art made safe
    std::vector<int> given; // every shape of the picture
    std::vector<quint64> row(size_t(m_image.stride()));
    std::vector<std::pair<int, int>> was, now;
    for (int y = 0; y < m_image.height(); ++y) {
        for (int w = 0; w < m_image.stride(); ++w)
            row[size_t(w)] = m_image.row(y)[w] ^ m_changed.row(y)[w];
        was.clear();
        now.clear();
        forEachBitRun(row.data(), m_image.stride(), [&](int s, int e) { was.emplace_back(s, e); });
        forEachBitRun(m_image.row(y), m_image.stride(),
                      [&](int s, int e) { now.emplace_back(s, e); });
        for (size_t i = 0; i < was.size(); ++i)
            given.push_back(m_shapes.label(y, int(i)));
        // Runs overlapping in the row share pixels white before and after.
        for (size_t i = 0, j = 0; i < was.size() && j < now.size();) {
            if (std::max(was[i].first, now[j].first) < std::min(was[i].second, now[j].second))
                pairs.emplace_back(m_shapes.label(y, int(i)), after.label(y, int(j)));
            (was[i].second < now[j].second ? i : j)++;
        }
    }
    std::sort(given.begin(), given.end());
    given.erase(std::unique(given.begin(), given.end()), given.end());
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    report.specks = qint64(given.size());
    report.splits = 0;
    for (size_t i = 0; i < pairs.size(); ++i) {
        const bool first = i == 0 || pairs[i - 1].first != pairs[i].first;
        report.specks -= first;
        report.splits += !first;
    }
}

} // namespace

FabSafeReport makeFabSafe(BitImage &image, const PadsSettings &settings, double minLineMils,
                          double minSpaceMils, const QImage &edgeGrey)
{
    if (image.isNull() || !(settings.pitch > 0))
        return {};
    Cleaner cleaner(image, settings, minLineMils, minSpaceMils, edgeGrey);
    if (!cleaner.run()) {
        FabSafeReport failed;
        failed.ok = false;
        return failed;
    }
    return cleaner.report;
}

QString fabSafeSummary(const FabSafeReport &r)
{
    QLocale grouped = QLocale::c();
    grouped.setNumberOptions({});
    const auto count = [&](qint64 n, const QString &one, const QString &many) {
        return grouped.toString(n) + QLatin1Char(' ') + (n == 1 ? one : many);
    };
    QStringList parts{
            count(r.removed, QStringLiteral("pixel removed"), QStringLiteral("pixels removed")),
            grouped.toString(r.added) + QStringLiteral(" added")};
    if (r.specks)
        parts << count(r.specks, QStringLiteral("speck dropped"), QStringLiteral("specks dropped"));
    if (r.gapsOpened)
        parts << count(r.gapsOpened, QStringLiteral("gap opened"), QStringLiteral("gaps opened"));
    if (r.gapsClosed)
        parts << count(r.gapsClosed, QStringLiteral("gap closed"), QStringLiteral("gaps closed"));
    if (r.widened)
        parts << count(r.widened, QStringLiteral("thin line widened"),
                       QStringLiteral("thin lines widened"));
    if (r.splits)
        parts << count(r.splits, QStringLiteral("shape split"), QStringLiteral("shapes split"));
    return QStringLiteral("fab-safe: ") + parts.join(QStringLiteral(", "));
}

} // namespace kcore
