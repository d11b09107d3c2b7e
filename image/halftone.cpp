// The halftone screen: each tone's drawing measured as the file draws it, and bands of grey rows
// screened into black-and-white rows.
#include "halftone.h"

#include "geometry/linegeometry.h"
#include "imagealloc.h"
#include "rowkernels.h"
#include "runs.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>

namespace kcore {

namespace {

constexpr double hexRatio = 0.86602540378443865; // sqrt(3) / 2: a row of cells to a cell across
constexpr quint32 white = 0xffffffffu, black = 0xff000000u;

// How the file draws a run, in pixels: x from the left edge of column 0 (pixel s spans
// [s, s + 1]), y from the centre line of row 0, rows one apart. A run is a line of width w along
// its segment, with round ends.
struct Ends
{
    enum Mode { Default, Exact, Smooth };
    Mode mode = Default;
    double w = 1;
    double minPiece = 1; // the shortest piece readers keep: 1 mil

    // The segment of the run of columns [s, e) whose copper, with smooth ends, reaches from xl
    // to xr: the same arithmetic as LineGeometry's, before the file's rounding.
    std::pair<double, double> segment(int s, int e, double xl, double xr) const
    {
        if (mode == Default)
            return {s, e};
        if (mode == Exact)
            return {s + 0.5, s + 0.5 + std::max(minPiece, double(e - s - 1))};
        const double a = xl + w / 2, b = xr - w / 2;
        if (b - a >= minPiece)
            return {a, b};
        const double c = (xl + xr) / 2 - minPiece / 2;
        return {c, c + minPiece};
    }
};

struct Segment
{
    double y, x0, x1;
};

double distance(const Segment &s, double x, double y)
{
    const double dx = std::max({s.x0 - x, 0.0, x - s.x1});
    const double dy = y - s.y;
    return std::sqrt(dx * dx + dy * dy);
}

// Whether the lines of radius r along segments cover the whole disc of radius rho at (cx, cy),
// but for hairlines narrower than slack: tried at points on rings out to its edge, finely enough
// for a line a pixel or more wide.
// The points' directions on each ring, made once: a screen's dots ask for thousands of discs.
struct RingPoints
{
    static constexpr int rings = 8;
    std::vector<std::pair<double, double>> at[rings + 1]; // cos and sin

    RingPoints()
    {
        for (int ring = 0; ring <= rings; ++ring) {
            const int points = ring == 0 ? 1 : std::max(8, 8 * ring);
            for (int k = 0; k < points; ++k) {
                const double a = 2 * 3.14159265358979323846 * k / points;
                at[ring].emplace_back(std::cos(a), std::sin(a));
            }
        }
    }
};

bool coversDisc(const std::vector<Segment> &segments, double r, double cx, double cy, double rho,
                double slack)
{
    static const RingPoints ringPoints;
    for (int ring = 0; ring <= RingPoints::rings; ++ring) {
        const double radius = rho * ring / RingPoints::rings;
        for (const auto &[cosA, sinA] : ringPoints.at[ring]) {
            const double x = cx + radius * cosA, y = cy + radius * sinA;
            bool covered = false;
            for (const Segment &s : segments)
                covered = covered || distance(s, x, y) <= r + slack + 1e-9;
            if (!covered)
                return false;
        }
    }
    return true;
}

// The union of the lines' cross-sections at height y, clipped to [0, width]: its length. The
// segments are by row, a row apart from row 0.
double crossSection(const std::vector<std::vector<Segment>> &rows, double r, double y, double width,
                    std::vector<std::pair<double, double>> &cut)
{
    cut.clear();
    const int first = std::max(0, int(std::floor(y - r)));
    const int last = std::min(int(rows.size()) - 1, int(std::ceil(y + r)));
    for (int j = first; j <= last; ++j) {
        for (const Segment &s : rows[size_t(j)]) {
            const double dy = y - s.y;
            if (std::abs(dy) > r)
                continue;
            const double h = std::sqrt(r * r - dy * dy);
            cut.emplace_back(std::max(0.0, s.x0 - h), std::min(width, s.x1 + h));
        }
    }
    std::sort(cut.begin(), cut.end());
    double length = 0, from = 0, to = -1;
    for (const auto &[a, b] : cut) {
        if (a > to) {
            length += std::max(0.0, to - from);
            from = a;
        }
        to = std::max(to, b);
    }
    return length + std::max(0.0, to - from);
}

} // namespace

struct HalftoneScreen::Glyph
{
    enum Kind { Bare, Dot, Hole, Solid };
    // Columns [s, e) of the cell; fl and fr place the copper's ends between the pixel centres
    // around them, as EdgeRow's fractions do (0.5: on the pixel's edge).
    struct Run
    {
        int s, e;
        float fl, fr;
        bool operator==(const Run &o) const
        {
            return s == o.s && e == o.e && fl == o.fl && fr == o.fr;
        }
    };
    Kind kind = Bare;
    double coverage = 0;
    double across = 0; // pixels: a dot's inscribed disc, a hole drawing's narrowest web alone
    std::vector<std::vector<Run>> rows;
    // A dot's pixels, or the hole, as columns [x0, x1) and rows [y0, y1) of the cell; a dot's
    // segments reach from sx0 to sx1.
    int x0 = 0, x1 = 0, y0 = 0, y1 = 0;
    double sx0 = 0, sx1 = 0;
    bool inkToEdge() const { return kind == Hole || kind == Solid; }
};

// The drawings of one cell size, measured.
struct HalftoneScreen::Build
{
    Ends ends;
    int cw, ch;
    double line, space; // pixels, the file's rounding added
    // Pixels: how far the file may draw from the places given it. Rows of a metric file lie a
    // pitch apart in lines rounded to the nanometre, which may leave hairlines between them.
    double slack;
    double cx, cy; // a dot's centre
    // The fewest columns and rows of a web: alone, and as half of one with a neighbour's ink.
    int webColumns = 1, halfWebColumns = 1, webRows = 1, halfWebRows = 1;

    Build(const Ends &e, int width, int height, double lineLimit, double spaceLimit,
          double slackPixels);
    Bounds dotBounds(int sides) const;
    Bounds holeBounds(int sides) const;
    // How wide a web of n columns of stacked runs is where it is narrowest.
    double webWidth(int n) const;

    std::vector<Segment> segments(const Glyph &g) const
    {
        std::vector<Segment> out;
        for (int j = 0; j < int(g.rows.size()); ++j)
            for (const Glyph::Run &r : g.rows[size_t(j)]) {
                const auto [a, b] = ends.segment(r.s, r.e, r.s - 0.5 + r.fl, r.e + 0.5 - r.fr);
                out.push_back({double(j), a, b});
            }
        return out;
    }

    double coverage(const Glyph &g) const
    {
        constexpr int steps = 16; // heights a row
        std::vector<std::vector<Segment>> rows(static_cast<size_t>(ch));
        for (const Segment &s : segments(g))
            rows[size_t(s.y)].push_back(s);
        std::vector<std::pair<double, double>> cut;
        double area = 0;
        for (int k = 0; k < ch * steps; ++k)
            area += crossSection(rows, ends.w / 2, -0.5 + (k + 0.5) / steps, cw, cut);
        return area / steps / (double(cw) * ch);
    }

    bool dotRow(double radius, int j, const Bounds &b, Glyph::Run *run) const;
    Glyph dot(double radius) const;
    std::vector<Glyph> dotsAbout() const;
    std::vector<Glyph> dots() const;
    std::vector<Glyph> holes() const;
};

HalftoneScreen::Build::Build(const Ends &e, int width, int height, double lineLimit,
                             double spaceLimit, double slackPixels)
    : ends(e), cw(width), ch(height), line(lineLimit), space(spaceLimit), slack(slackPixels),
      cx(width / 2.0), cy((height - 1) / 2.0)
{
    const double w = ends.w;
    // A web of n columns on its own: its copper at least a line across where it is narrowest,
    // where two rows meet and their round ends draw in. Half of one: two such halves joined
    // across the cells' edge into one run make a line. Never so few columns that the line would
    // reach into the hole (exact ends' shortest piece, smooth ends' narrow runs).
    const int fewest = ends.mode == Ends::Default ? 1
            : ends.mode == Ends::Exact            ? 2
                                                  : int(std::ceil(w + ends.minPiece + 1e-9));
    const auto columns = [&](int halves) {
        int n = fewest;
        for (; n < cw; ++n)
            if (webWidth(halves * n) >= line - 1e-9)
                break;
        return n;
    };
    webColumns = columns(1);
    halfWebColumns = columns(2);
    // Rows of full runs stack into a band of straight edges: m rows are m - 1 + w high.
    webRows = std::max(1, int(std::ceil(line - w + 1 - 1e-9)));
    halfWebRows = std::max(1, int(std::ceil((line - w + 1) / 2 - 1e-9)));
}

double HalftoneScreen::Build::webWidth(int n) const
{
    // Where two rows a pixel apart meet, each line's round end reaches out only
    // sqrt(r^2 - 1/4) past its segment.
    const auto [a, b] = ends.segment(0, n, 0, n);
    const double r = ends.w / 2;
    return b - a + 2 * std::sqrt(std::max(0.0, r * r - 0.25));
}

// A dot's segments keep the space, and a line's half width, from the copper of a neighbour
// written up to the edge (the sides set), and half the space from the edge elsewhere.
HalftoneScreen::Bounds HalftoneScreen::Build::dotBounds(int sides) const
{
    const double w = ends.w, half = space / 2 + w / 2;
    Bounds b;
    b.x0 = (sides & 1) ? ends.segment(-cw, 0, -cw, 0).second + w + space : half;
    b.x1 = (sides & 2) ? ends.segment(cw, 2 * cw, cw, 2 * cw).first - w - space : cw - half;
    b.y0 = (sides & 4) ? -1 + w + space : -0.5 + half;
    b.y1 = (sides & 8) ? ch - w - space : ch - 0.5 - half;
    if (ends.mode == Ends::Smooth) {
        // Two pixels at least between a dot's run and its neighbour's, so that no pixel's level
        // has to serve two ends.
        b.x0 = std::max(b.x0, 1.5 + w / 2);
        b.x1 = std::min(b.x1, cw - 1.5 - w / 2);
    }
    return b;
}

// The pixels a hole may take: a whole web on the sides set (the neighbour leaves the edge
// bare), half of one elsewhere.
HalftoneScreen::Bounds HalftoneScreen::Build::holeBounds(int sides) const
{
    Bounds b;
    b.x0 = (sides & 1) ? webColumns : halfWebColumns;
    b.x1 = cw - ((sides & 2) ? webColumns : halfWebColumns);
    b.y0 = (sides & 4) ? webRows : halfWebRows;
    b.y1 = ch - ((sides & 8) ? webRows : halfWebRows);
    return b;
}

// Row j of the dot whose segments lie within radius - w/2 of the cell's centre and within the
// bounds; false when the row has none.
bool HalftoneScreen::Build::dotRow(double radius, int j, const Bounds &bounds,
                                   Glyph::Run *run) const
{
    const double inner = radius - ends.w / 2, dy = j - cy;
    if (j < bounds.y0 - 1e-9 || j > bounds.y1 + 1e-9 || inner <= 0 || std::abs(dy) > inner)
        return false;
    const double half = std::sqrt(inner * inner - dy * dy);
    const double lo = std::max(cx - half, bounds.x0), hi = std::min(cx + half, bounds.x1);
    if (hi < lo)
        return false;
    int s, e;
    double xl = 0, xr = 0;
    if (ends.mode == Ends::Default) {
        s = int(std::ceil(lo - 1e-9));
        e = int(std::floor(hi + 1e-9));
    } else if (ends.mode == Ends::Exact) {
        s = int(std::ceil(lo - 0.5 - 1e-9));
        e = int(std::floor(hi - 0.5 + 1e-9)) + 1;
        if (e == s + 1 && s + 0.5 + ends.minPiece > hi + 1e-9)
            return false;
    } else {
        double a = lo, b = hi;
        if (b - a < ends.minPiece) {
            a = (lo + hi - ends.minPiece) / 2;
            b = a + ends.minPiece;
            if (a < bounds.x0 - 1e-9 || b > bounds.x1 + 1e-9)
                return false;
        }
        xl = a - ends.w / 2;
        xr = b + ends.w / 2;
        s = int(std::ceil(xl - 0.5));
        e = int(std::floor(xr - 0.5)) + 1;
    }
    if (e <= s)
        return false;
    const bool smooth = ends.mode == Ends::Smooth;
    *run = {s, e, smooth ? float(xl - (s - 0.5)) : 0.5f, smooth ? float(e + 0.5 - xr) : 0.5f};
    return true;
}

// The dot of a radius among neighbours that are bare or dots.
HalftoneScreen::Glyph HalftoneScreen::Build::dot(double radius) const
{
    Glyph g;
    g.kind = Glyph::Dot;
    g.rows.resize(size_t(ch));
    g.x0 = cw;
    g.y0 = ch;
    g.sx0 = cw;
    g.sx1 = 0;
    const Bounds bounds = dotBounds(0);
    for (int j = 0; j < ch; ++j) {
        Glyph::Run run;
        if (!dotRow(radius, j, bounds, &run))
            continue;
        g.rows[size_t(j)].push_back(run);
        const auto [a, b] = ends.segment(run.s, run.e, run.s - 0.5 + run.fl, run.e + 0.5 - run.fr);
        g.sx0 = std::min(g.sx0, a);
        g.sx1 = std::max(g.sx1, b);
        g.x0 = std::min(g.x0, run.s);
        g.x1 = std::max(g.x1, run.e);
        g.y0 = std::min(g.y0, j);
        g.y1 = j + 1;
    }
    return g;
}

// The dots grown about the centre that gives the smallest of them: on a pixel's centre or edge
// across, on a row or between two down, whichever the line limit fits best. The smallest dot's
// coverage is the lightest tone drawn.
std::vector<HalftoneScreen::Glyph> HalftoneScreen::Build::dots() const
{
    std::vector<Glyph> best;
    for (const double ax : {0.0, 0.5})
        for (const double ay : {0.0, 0.5}) {
            Build about = *this;
            about.cx = std::floor(cw / 2.0) + ax;
            about.cy = std::floor((ch - 1) / 2.0) + ay;
            std::vector<Glyph> d = about.dotsAbout();
            if (!d.empty()
                && (best.empty() || d.front().coverage < best.front().coverage - 1e-9
                    || (d.front().coverage < best.front().coverage + 1e-9
                        && d.size() > best.size())))
                best = std::move(d);
        }
    // Only the smallest dot's coverage decides between the centres; the others' are measured
    // for the one chosen.
    for (size_t i = 1; i < best.size(); ++i)
        best[i].coverage = coverage(best[i]);
    return best;
}

// The dots about (cx, cy) from the smallest at least the line limit across to the largest the
// space to the cells around allows, each a different drawing; only the smallest measured.
std::vector<HalftoneScreen::Glyph> HalftoneScreen::Build::dotsAbout() const
{
    std::vector<Glyph> out;
    const Bounds bounds = dotBounds(0);
    const double r = ends.w / 2;
    const double largest = std::hypot(std::max(cx - bounds.x0, bounds.x1 - cx),
                                      std::max(cy - bounds.y0, bounds.y1 - cy))
            + r;
    // Finely enough to meet every drawing of a small cell; a big one has more than it needs.
    const double step = std::max(0.05, largest / 400);
    for (double radius = std::max(r, line / 2 - 1); radius <= largest + step; radius += step) {
        Glyph g = dot(radius);
        if (g.y1 == 0 || (!out.empty() && g.rows == out.back().rows))
            continue;
        const std::vector<Segment> s = segments(g);
        if (out.empty()) {
            // The smallest dot: the largest disc it holds, a line at least across.
            if (!coversDisc(s, r, cx, cy, line / 2, slack))
                continue;
            double inside = line / 2, outside = largest + 1;
            for (int i = 0; i < 24; ++i) {
                const double mid = (inside + outside) / 2;
                (coversDisc(s, r, cx, cy, mid, slack) ? inside : outside) = mid;
            }
            g.across = 2 * inside;
            g.coverage = coverage(g);
        }
        out.push_back(std::move(g));
    }
    return out;
}

// The cell written whole but for a hole at its centre, among neighbours whose ink joins its
// webs: each hole at least the space limit across and about as tall as it is wide on the board.
std::vector<HalftoneScreen::Glyph> HalftoneScreen::Build::holes() const
{
    std::vector<Glyph> out;
    const double w = ends.w;
    const Bounds bounds = holeBounds(0);
    const int x0 = int(bounds.x0), x1 = int(bounds.x1), y0 = int(bounds.y0), y1 = int(bounds.y1);
    for (int a = 1; a <= x1 - x0; ++a) {
        const int hx0 = x0 + (x1 - x0 - a) / 2, hx1 = hx0 + a;
        const double across
                = ends.segment(hx1, cw, hx1, cw).first - ends.segment(0, hx0, 0, hx0).second - w;
        // As tall as it is wide, within a row.
        const int tall = int(std::lround(across + w - 1));
        for (int b = std::max(1, tall - 1); b <= std::min(y1 - y0, tall + 1); ++b) {
            const int hy0 = y0 + (y1 - y0 - b) / 2, hy1 = hy0 + b;
            const double down = (hy1 - hy0 + 1) - w;
            if (across < space - 1e-9 || down < space - 1e-9 || std::abs(across - down) > 1)
                continue;
            Glyph g;
            g.kind = Glyph::Hole;
            g.x0 = hx0;
            g.x1 = hx1;
            g.y0 = hy0;
            g.y1 = hy1;
            g.rows.resize(size_t(ch));
            for (int j = 0; j < ch; ++j) {
                if (j < hy0 || j >= hy1)
                    g.rows[size_t(j)] = {{0, cw, 0.5f, 0.5f}};
                else
                    g.rows[size_t(j)] = {{0, hx0, 0.5f, 0.5f}, {hx1, cw, 0.5f, 0.5f}};
            }
            g.coverage = coverage(g);
            out.push_back(std::move(g));
        }
    }
    std::sort(out.begin(), out.end(),
              [](const Glyph &p, const Glyph &q) { return p.coverage < q.coverage; });
    return out;
}

HalftoneScreen::HalftoneScreen() = default;
HalftoneScreen::~HalftoneScreen() = default;

int HalftoneScreen::tones() const
{
    return int(m_glyphs.size());
}

double HalftoneScreen::coverage(int tone) const
{
    return m_glyphs[size_t(tone)].coverage;
}

double HalftoneScreen::finestInkMils() const
{
    return std::min(m_smallestDot > 0 ? m_smallestDot : 1e300,
                    m_narrowestWeb > 0 ? m_narrowestWeb : 1e300);
}

// The screen of one cell size: bare, the dots, the holes and solid, by rising coverage. Where the
// largest dots cover more than the largest holes leave, the two meet halfway.
std::shared_ptr<HalftoneScreen> HalftoneScreen::atCell(const Build &b, double pitch)
{
    auto screen = std::shared_ptr<HalftoneScreen>(new HalftoneScreen);
    HalftoneScreen &s = *screen;
    s.m_pitch = pitch;
    s.m_cw = b.cw;
    s.m_ch = b.ch;
    s.m_webColumns = b.webColumns;
    s.m_webRows = b.webRows;
    std::vector<Glyph> dots = b.dots(), holes = b.holes();
    const double most = dots.empty() ? -1 : dots.back().coverage;
    const double least = holes.empty() ? 2 : holes.front().coverage;
    const double meet = least <= most ? (least + most) / 2 : 1.5;
    s.m_glyphs.emplace_back();
    s.m_glyphs.back().rows.resize(size_t(b.ch));
    const auto add = [&s](Glyph &g) {
        // Drawings closer in coverage than this are one tone.
        if (g.coverage > s.m_glyphs.back().coverage + 0.002)
            s.m_glyphs.push_back(std::move(g));
    };
    for (Glyph &g : dots)
        if (g.coverage < meet || meet > 1)
            add(g);
    for (Glyph &g : holes)
        if (g.coverage >= meet || meet > 1)
            add(g);
    if (s.m_glyphs.size() > 1 && s.m_glyphs.back().coverage > 1 - 0.002)
        s.m_glyphs.pop_back();
    Glyph solid;
    solid.kind = Glyph::Solid;
    solid.coverage = 1;
    solid.rows.assign(size_t(b.ch), {{0, b.cw, 0.5f, 0.5f}});
    s.m_glyphs.push_back(std::move(solid));
    for (const Glyph &g : s.m_glyphs) {
        s.m_coverages.push_back(g.coverage);
        if (g.kind == Glyph::Dot && s.m_smallestDot == 0)
            s.m_smallestDot = g.across * pitch;
    }
    // A web on its own, or two halves joined across the edge of two cells.
    const double w = b.ends.w;
    s.m_narrowestWeb = pitch
            * std::min({b.webWidth(b.webColumns), b.webWidth(2 * b.halfWebColumns),
                        b.webRows - 1 + w, 2 * b.halfWebRows - 1 + w});
    for (int sides = 0; sides < 16; ++sides) {
        s.m_dotBounds[size_t(sides)] = b.dotBounds(sides);
        s.m_holeBounds[size_t(sides)] = b.holeBounds(sides);
    }
    const size_t tones = s.m_glyphs.size();
    s.m_placed.resize(tones);
    s.m_ink.resize(tones);
    for (size_t tone = 0; tone < tones; ++tone) {
        for (size_t sides = 0; sides < 16; ++sides)
            s.m_placed[tone][sides] = s.place(int(tone), int(sides), 0, b.cw, b.ch);
        s.m_ink[tone] = s.m_glyphs[tone].inkToEdge();
    }
    s.m_moves.resize(tones);
    for (size_t glyph = 0; glyph < tones; ++glyph)
        for (size_t sides = 0; sides < 16; ++sides)
            s.m_moves[glyph][sides] = s.movesOf(int(glyph), int(sides));
    s.m_wholeCoverages.resize(16 * 16 * tones);
    for (size_t sides = 0; sides < 16 * 16; ++sides)
        for (size_t tone = 0; tone < tones; ++tone) {
            const size_t placedSides = s.m_ink[tone] ? sides % 16 : sides / 16;
            s.m_wholeCoverages[sides * tones + tone] = s.fits(s.m_glyphs[tone], 0, 0, 0, b.cw, b.ch)
                    ? s.m_coverages[size_t(s.m_placed[tone][placedSides].glyph)]
                    : std::numeric_limits<double>::infinity();
        }
    return screen;
}

namespace {

// Enough tones, evenly enough: no step from one to the next, bare to the smallest dot and the
// smallest hole to solid included, larger than an even scale of that many tones would take.
bool enoughTones(const HalftoneScreen &s)
{
    double step = 0;
    for (int i = 1; i < s.tones(); ++i)
        step = std::max(step, s.coverage(i) - s.coverage(i - 1));
    return s.tones() >= halftoneMinTones && step <= 1.0 / (halftoneMinTones - 1);
}

// The screen of the smallest cell up to largest pixels with enough tones, doubling and then
// halving the step; null if none has.
std::shared_ptr<HalftoneScreen>
smallestCell(const std::function<std::shared_ptr<HalftoneScreen>(int)> &atWidth, int largest)
{
    int low = 2, high = 4;
    std::shared_ptr<HalftoneScreen> found = atWidth(high);
    while (!enoughTones(*found)) {
        if (high >= largest)
            return nullptr;
        low = high;
        high = std::min(largest, high * 2);
        found = atWidth(high);
    }
    while (high - low > 1) {
        const int mid = (low + high) / 2;
        std::shared_ptr<HalftoneScreen> s = atWidth(mid);
        (enoughTones(*s) ? high : low) = mid;
        if (high == mid)
            found = s;
    }
    // The count does not always rise with the cell: a few smaller ones may do too.
    for (int cw = high - 1; cw >= std::max(3, high - 4); --cw)
        if (std::shared_ptr<HalftoneScreen> s = atWidth(cw); enoughTones(*s))
            found = s;
    return found;
}

} // namespace

std::shared_ptr<const HalftoneScreen>
HalftoneScreen::make(const PadsSettings &pads, const HalftoneSettings &settings, QString *why)
{
    const double pitch = pads.pitch;
    const auto fail = [why](const QString &reason) {
        if (why)
            *why = reason;
        return nullptr;
    };
    if (!(pitch >= 0.999) || !std::isfinite(pitch) || !(settings.minLineMils > 0)
        || !(settings.minSpaceMils > 0)
        || !std::isfinite(settings.minLineMils + settings.minSpaceMils))
        return fail(QStringLiteral("A halftone needs a line width and fab limits."));
    Ends ends;
    ends.mode = pads.smoothEdges ? Ends::Smooth : pads.exactEnds ? Ends::Exact : Ends::Default;
    const LineGeometry g(pads);
    ends.w = g.mils(g.width()) / pitch;
    ends.minPiece = 1 / pitch;
    // Where a pitch is a whole number of the file's quanta every number is exact. Otherwise the
    // whole-mil layout rounds each start to the mil and each length too (an end may lie a mil
    // and a half from where it was placed, a row half a mil), the decimal layouts to a quantum:
    // ink of the line limit is that give or take a quantum, but a space must not come out a
    // quantum short of its limit.
    const double quanta = pitch * g.quantaPerMil();
    const bool exact = std::abs(quanta - std::round(quanta)) < 1e-6;
    const bool wholeMils = pads.format == PadsFormat::V20;
    const double slack = exact ? 0 : wholeMils ? 1.5 : 2 / g.quantaPerMil();
    const double line = (settings.minLineMils + (wholeMils ? slack : 0)) / pitch;
    const double space = (settings.minSpaceMils + slack) / pitch;
    // The search for the smallest cell asks for some widths more than once.
    std::map<int, std::shared_ptr<HalftoneScreen>> built;
    const auto atWidth = [&](int cw) {
        if (const auto it = built.find(cw); it != built.end())
            return it->second;
        const int ch = std::max(1, int(std::lround(cw * hexRatio)));
        // Rows of a decimal file's lines, each rounded to a quantum, may leave hairlines of a
        // quantum or two between them; the whole-mil layout rounds its width up.
        const double hairline = exact || wholeMils ? 0 : 2 / g.quantaPerMil();
        std::shared_ptr<HalftoneScreen> s
                = atCell(Build(ends, cw, ch, line, space, hairline / pitch), pitch);
        s->m_minLine = settings.minLineMils;
        s->m_minSpace = settings.minSpaceMils;
        built[cw] = s;
        return s;
    };
    constexpr int largestCell = 1024; // pixels
    const auto tooSmall = [&](int cw, const std::function<bool(const HalftoneScreen &)> &good) {
        int enough = cw;
        while (enough < largestCell && !good(*atWidth(enough)))
            enough = std::min(largestCell, enough * 2);
        return QStringLiteral("The %1 mil line and %2 mil space limits need a halftone cell of "
                              "at least %3 mil at a %4 mil line width.")
                .arg(settings.minLineMils)
                .arg(settings.minSpaceMils)
                .arg(enough * pitch)
                .arg(pitch);
    };
    if (settings.cellMils > 0) {
        const double cells = settings.cellMils / pitch;
        if (!(cells <= largestCell))
            return fail(QStringLiteral("A halftone cell may be at most %1 line widths across.")
                                .arg(largestCell));
        const int cw = std::max(2, int(std::lround(cells)));
        std::shared_ptr<HalftoneScreen> s = atWidth(cw);
        const auto drawsTones = [](const HalftoneScreen &x) { return x.tones() >= 3; };
        if (!drawsTones(*s))
            return fail(tooSmall(cw, drawsTones));
        return s;
    }
    std::shared_ptr<HalftoneScreen> found = smallestCell(atWidth, largestCell);
    return found ? found : fail(tooSmall(largestCell, enoughTones));
}

bool HalftoneScreen::fits(const Glyph &g, int dx, int dy, int c0, int c1, int rows) const
{
    // Only a cell the picture's edge cuts is judged here: nothing may be cut off but the whole
    // of a solid cell's ink, and a web beside a cut stands alone.
    switch (g.kind) {
    case Glyph::Bare:
        return true;
    case Glyph::Dot:
        return g.x0 + dx >= c0 && g.x1 + dx <= c1 && g.y1 + dy <= rows;
    case Glyph::Hole:
        return (c0 == 0 || g.x0 + dx - c0 >= m_webColumns)
                && (c1 == m_cw || c1 - (g.x1 + dx) >= m_webColumns)
                && (rows == m_ch || rows - (g.y1 + dy) >= m_webRows);
    default:
        return c1 - c0 >= m_webColumns && rows >= m_webRows;
    }
}

// Where a tone's drawing goes in a cell whose neighbours on the sides set call for the whole
// limit: a dot moved away from them, or a smaller one where it does not fit; a hole moved away
// from them, or a smaller one, or none.
HalftoneScreen::Placed HalftoneScreen::place(int tone, int sides, int c0, int c1, int rows) const
{
    const Glyph &g = m_glyphs[size_t(tone)];
    const int solid = tones() - 1;
    if (g.kind == Glyph::Bare)
        return {tone, 0, 0};
    if (g.kind == Glyph::Dot) {
        const Bounds &b = m_dotBounds[size_t(sides)], &n = m_dotBounds[0];
        const int dx = int(std::lround((b.x0 + b.x1 - n.x0 - n.x1) / 2));
        const int dy = int(std::lround((b.y0 + b.y1 - n.y0 - n.y1) / 2));
        for (int k = tone; m_glyphs[size_t(k)].kind == Glyph::Dot; --k) {
            const Glyph &d = m_glyphs[size_t(k)];
            if (d.sx0 + dx >= b.x0 - 1e-9 && d.sx1 + dx <= b.x1 + 1e-9 && d.y0 + dy >= b.y0 - 1e-9
                && d.y1 - 1 + dy <= b.y1 + 1e-9 && fits(d, dx, dy, c0, c1, rows))
                return {k, dx, dy};
        }
        return {0, 0, 0};
    }
    if (g.kind == Glyph::Hole) {
        const Bounds &b = m_holeBounds[size_t(sides)];
        for (int k = tone; m_glyphs[size_t(k)].kind == Glyph::Hole; ++k) {
            const Glyph &h = m_glyphs[size_t(k)];
            const int dx = int(std::floor((b.x0 + b.x1 - h.x0 - h.x1) / 2));
            const int dy = int(std::floor((b.y0 + b.y1 - h.y0 - h.y1) / 2));
            if (h.x0 + dx >= b.x0 && h.x1 + dx <= b.x1 && h.y0 + dy >= b.y0 && h.y1 + dy <= b.y1
                && fits(h, dx, dy, c0, c1, rows))
                return {k, dx, dy};
        }
    }
    return fits(m_glyphs[size_t(solid)], 0, 0, c0, c1, rows) ? Placed{solid, 0, 0}
                                                             : Placed{0, 0, 0};
}

namespace {

// What a neighbour is to the margins: the picture's edge, bare or a dot, ink up to the edge, or
// not chosen yet (taken to be like the cell itself).
enum Neighbour { Edge = -1, DotLike = 0, Ink = 1, NotYet = -2 };

// The sides (bit 0 left, 1 right, 2 top, 3 bottom) on which a cell's neighbours call for the
// whole limit: ink up to the edge beside a dot, anything but ink beside a hole's web.
int sidesFor(bool dot, const int (&around)[4][2])
{
    int sides = 0;
    for (int side = 0; side < 4; ++side)
        for (const int n : around[side])
            if (n != NotYet && (dot ? n == Ink : n != Ink))
                sides |= 1 << side;
    return sides;
}

} // namespace

inline int HalftoneScreen::neighbour(const std::vector<Tone> *band, int i) const
{
    if (!band || i < 0 || i >= int(band->size()))
        return Edge;
    const int tone = (*band)[size_t(i)].tone;
    return tone < 0 ? NotYet : int(m_ink[size_t(tone)]);
}

// The tone of a cell whose own mean coverage is tone, with wanted that and what its neighbours
// passed on: below the smallest dot bare, beyond the smallest hole solid; between them the
// drawing whose coverage, placed among the neighbours known, comes nearest to wanted (a dot
// beside ink shrinks, a hole beside a dot too). A cell the picture's edge cuts takes one it can
// hold whole. estimate receives that coverage.
int HalftoneScreen::choose(double tone, double wanted, const int (&around)[4][2], int c0, int c1,
                           int rows, double *estimate) const
{
    const int last = tones() - 1;
    int best = 0;
    if (tone >= m_coverages[size_t(last - 1)])
        best = fits(m_glyphs[size_t(last)], 0, 0, c0, c1, rows) ? last : 0;
    if (tone < m_coverages[1] || tone >= m_coverages[size_t(last - 1)]) {
        *estimate = m_coverages[size_t(best)];
        return best;
    }
    const int k = int(std::lower_bound(m_coverages.begin(), m_coverages.end(), wanted)
                      - m_coverages.begin());
    const int dotSides = sidesFor(true, around), inkSides = sidesFor(false, around);
    const bool whole = c0 == 0 && c1 == m_cw && rows == m_ch;
    double error = 2;
    const double *wholeCoverages = whole
            ? m_wholeCoverages.data() + size_t(dotSides * 16 + inkSides) * m_glyphs.size()
            : nullptr;
    for (int i = std::max(1, k - 6); i <= std::min(last, k + 6); ++i) {
        const int sides = m_ink[size_t(i)] ? inkSides : dotSides;
        double c;
        if (whole) {
            c = wholeCoverages[i]; // infinite where it does not fit: never the nearest
        } else {
            if (!fits(m_glyphs[size_t(i)], 0, 0, c0, c1, rows))
                continue;
            c = m_coverages[size_t(place(i, sides, c0, c1, rows).glyph)];
        }
        if (std::abs(wanted - c) < error - 1e-9) {
            error = std::abs(wanted - c);
            best = i;
            *estimate = c;
        }
    }
    if (error > 1)
        *estimate = 0;
    return best;
}

void HalftoneScreen::sumBand(int b, int width, int rows, const quint32 *columns,
                             const quint32 *above, std::vector<CellGrey> &sums) const
{
    const int shift = (b & 1) ? m_cw / 2 : 0;
    const int cells = (width + shift + m_cw - 1) / m_cw;
    sums.assign(size_t(cells), CellGrey());
    int x = 0;
    for (int i = 0; i < cells; ++i) {
        const int x0 = i * m_cw - shift, to = std::min(width, x0 + m_cw);
        quint64 sum = 0, byColumn = 0, sumAbove = 0;
        for (; x < to; ++x) {
            sum += columns[x];
            byColumn += quint64(columns[x]) * quint64(x - x0);
            sumAbove += above[x];
        }
        // Row j's grey is counted in the sums above every row after it: rows - 1 - j times.
        CellGrey &c = sums[size_t(i)];
        c.sum = sum;
        c.byColumn = byColumn;
        c.byRow = quint64(rows - 1) * sum - sumAbove;
    }
}

namespace {

// std::lround of a lean within a cell, without the library call every cell would make: x less
// its whole part is exact, and halves round away from zero.
int roundAway(double x)
{
    int r = int(x);
    const double f = x - r;
    r += (f >= 0.5) - (f <= -0.5);
    return r;
}

} // namespace

// The bands of cells are taken in turn from the left and from the right, and what a cell's
// drawing misses of its tone goes on: 7/16 to the next cell along, 9/16 to the two below it. The
// coverage of any stretch of cells then stays close to the picture's.
void HalftoneScreen::chooseBand(int b, int width, int rows, const std::vector<CellGrey> &sums,
                                bool invert, std::vector<float> &carry,
                                const std::vector<Tone> *above, std::vector<Tone> *tones,
                                std::vector<float> *estimates) const
{
    const int shift = (b & 1) ? m_cw / 2 : 0;
    const int cells = int(sums.size());
    // The bands above and below are shifted the other way: cell i lies against their cells i and
    // i + 1, or i - 1 and i. Index 0 of next is its cell -1.
    const int d = (b & 1) ? -1 : 0;
    carry.resize(size_t(cells), 0.0f);
    std::vector<float> next(size_t(cells) + 3, 0.0f);
    tones->assign(size_t(cells), Tone());
    estimates->assign(size_t(cells), 0.0f);
    const bool forward = (b & 1) == 0;
    float along = 0;
    for (int n = 0; n < cells; ++n) {
        const int i = forward ? n : cells - 1 - n;
        const int x0 = i * m_cw - shift;
        const int from = std::max(0, x0), to = std::min(width, x0 + m_cw);
        const CellGrey &grey = sums[size_t(i)];
        const double pixels = double(to - from) * rows;
        const double mean = grey.sum / (255.0 * pixels);
        const double tone = invert ? 1 - mean : mean;
        const double wanted = tone + carry[size_t(i)] + along;
        const int around[4][2] = {{neighbour(tones, i - 1), NotYet},
                                  {neighbour(tones, i + 1), NotYet},
                                  {neighbour(above, i + d), neighbour(above, i + d + 1)},
                                  {NotYet, NotYet}};
        double estimate = 0;
        Tone &chosen = (*tones)[size_t(i)];
        chosen.tone = choose(tone, wanted, around, from - x0, to - x0, rows, &estimate);
        (*estimates)[size_t(i)] = float(estimate);
        // The light's centre, or the dark's, against the cell's: where the drawing leans.
        const bool dot = !m_glyphs[size_t(chosen.tone)].inkToEdge();
        const double light = invert ? 255 * pixels - grey.sum : double(grey.sum);
        const double weight = dot != invert ? double(grey.sum) : 255 * pixels - grey.sum;
        const double columns = rows * (double(from - x0 + to - x0 - 1) * (to - from) / 2);
        const double rowSum = (to - from) * (double(rows) * (rows - 1) / 2);
        const double byColumn
                = dot != invert ? double(grey.byColumn) : 255 * columns - grey.byColumn;
        const double byRow = dot != invert ? double(grey.byRow) : 255 * rowSum - grey.byRow;
        if (weight > 0 && light >= 0 && from - x0 == 0 && to - x0 == m_cw && rows == m_ch) {
            chosen.dx = roundAway(byColumn / weight - (m_cw - 1) / 2.0);
            chosen.dy = roundAway(byRow / weight - (m_ch - 1) / 2.0);
        }
        // Bare or solid for want of a drawing pass nothing on; nor does more than half a tone.
        const bool drawn = tone >= m_coverages[1] && tone < m_coverages[m_coverages.size() - 2];
        const float error = drawn ? float(std::clamp(wanted - estimate, -0.5, 0.5)) : 0.0f;
        along = error * 7 / 16;
        next[size_t(i + d + 1)] += error * 9 / 32;
        next[size_t(i + d + 2)] += error * 9 / 32;
    }
    carry.assign(next.begin() + 1, next.end());
}

namespace {

// The outside and inside levels whose crossing of threshold + 1/2 lies at each 256th of the way
// from the outside pixel's centre to the inside one's.
using LevelPairs = std::array<std::pair<uchar, uchar>, 257>;

LevelPairs makeLevelPairs(int threshold)
{
    LevelPairs pairs;
    const double m = threshold + 0.5;
    for (int i = 0; i <= 256; ++i) {
        const double f = i / 256.0;
        double best = 2;
        for (int a = 0; a <= threshold; ++a)
            for (int b = threshold + 1; b <= 255; ++b) {
                const double error = std::abs((m - a) / (b - a) - f);
                if (error < best) {
                    best = error;
                    pairs[size_t(i)] = {uchar(a), uchar(b)};
                }
            }
    }
    return pairs;
}

const LevelPairs &levelPairs(int threshold)
{
    static const LevelPairs stack = makeLevelPairs(127), single = makeLevelPairs(128);
    return threshold == 127 ? stack : single;
}

// The levels of a screened row: 255 on its runs, 0 between them, and at each end the pair of
// levels that puts the edge where the drawing has it (fl at a run's first pixel, fr at its
// last). A pixel two ends share keeps the level the first gave it; the second end's other level
// is chosen to suit it.
void screenLevels(const quint32 *bw, const float *fl, const float *fr, int width, int threshold,
                  uchar *out)
{
    for (int x = 0; x < width; ++x)
        out[x] = (bw[x] & 0xffu) ? 255 : 0;
    const LevelPairs &pairs = levelPairs(threshold);
    const double m = threshold + 0.5;
    const auto pairAt = [&pairs](float f) {
        return pairs[size_t(std::lround(std::clamp(double(f), 0.0, 1.0) * 256))];
    };
    int outsideSet = -1;
    forEachRun(bw, width, [&](int s, int n) {
        const int e = s + n;
        if (s > 0) {
            auto [a, b] = pairAt(fl[s]);
            if (outsideSet == s - 1 && fl[s] > 0) {
                a = out[s - 1];
                b = uchar(std::clamp(std::lround(a + (m - a) / fl[s]), long(threshold + 1), 255L));
            }
            out[s - 1] = a;
            out[s] = b;
        }
        if (e < width) {
            auto [a, b] = pairAt(fr[e - 1]);
            if (n == 1 && s > 0 && fr[e - 1] < 1) {
                b = out[s];
                a = uchar(std::clamp(std::lround((m - fr[e - 1] * b) / (1 - fr[e - 1])), 0L,
                                     long(threshold)));
            }
            out[e - 1] = b;
            out[e] = a;
            outsideSet = e;
        }
    });
}

} // namespace

// How far a drawing may move: its segments (a dot) or pixels (a hole) within the sides' bounds.
HalftoneScreen::Moves HalftoneScreen::movesOf(int glyph, int sides) const
{
    const Glyph &g = m_glyphs[size_t(glyph)];
    double x0, x1, y0, y1;
    const Bounds *b;
    if (g.kind == Glyph::Dot) {
        b = &m_dotBounds[size_t(sides)];
        x0 = g.sx0, x1 = g.sx1, y0 = g.y0, y1 = g.y1 - 1;
    } else if (g.kind == Glyph::Hole) {
        b = &m_holeBounds[size_t(sides)];
        x0 = g.x0, x1 = g.x1, y0 = g.y0, y1 = g.y1;
    } else {
        return {false, 0, 0, 0, 0};
    }
    const auto low = [](double v) { return int(std::ceil(v - 1e-9)); };
    const auto high = [](double v) { return int(std::floor(v + 1e-9)); };
    return {true, low(b->x0 - x0), high(b->x1 - x1), low(b->y0 - y0), high(b->y1 - y1)};
}

HalftoneScreen::Placed HalftoneScreen::moved(Placed p, int sides, int dx, int dy) const
{
    const Moves &m = m_moves[size_t(p.glyph)][size_t(sides)];
    if (m.moves) {
        p.dx = std::clamp(p.dx + dx, m.dx0, m.dx1);
        p.dy = std::clamp(p.dy + dy, m.dy0, m.dy1);
    }
    return p;
}

// Each cell's drawing placed among its neighbours': the sides whose neighbour calls for the
// whole limit are those where a dot meets ink written up to the edge, and where a hole's web
// meets no ink (a bare or dot cell, or the picture's edge).
std::vector<HalftoneScreen::Placed> HalftoneScreen::placeBand(int b, int width, int rows,
                                                              const std::vector<Tone> *above,
                                                              const std::vector<Tone> &tones,
                                                              const std::vector<Tone> *below) const
{
    const int shift = (b & 1) ? m_cw / 2 : 0;
    const int d = (b & 1) ? -1 : 0; // the first of the two cells above or below
    std::vector<Placed> placed(tones.size());
    for (int i = 0; i < int(tones.size()); ++i) {
        const int tone = tones[size_t(i)].tone;
        const int around[4][2] = {{neighbour(&tones, i - 1), NotYet},
                                  {neighbour(&tones, i + 1), NotYet},
                                  {neighbour(above, i + d), neighbour(above, i + d + 1)},
                                  {neighbour(below, i + d), neighbour(below, i + d + 1)}};
        const int sides = sidesFor(!m_glyphs[size_t(tone)].inkToEdge(), around);
        const int x0 = i * m_cw - shift;
        const int c0 = std::max(0, -x0), c1 = std::min(m_cw, width - x0);
        placed[size_t(i)] = c0 == 0 && c1 == m_cw && rows == m_ch
                ? moved(m_placed[size_t(tone)][size_t(sides)], sides, tones[size_t(i)].dx,
                        tones[size_t(i)].dy)
                : place(tone, sides, c0, c1, rows);
    }
    return placed;
}

template<typename Stamp>
void HalftoneScreen::runsOf(const Placed &p, int x0, int j0, int j1, Stamp &&stamp) const
{
    const Glyph &g = m_glyphs[size_t(p.glyph)];
    if (g.kind == Glyph::Solid) {
        for (int j = j0; j < j1; ++j)
            stamp(j, x0, 0, m_cw, 0.5f, 0.5f);
    } else if (g.kind == Glyph::Hole) {
        for (int j = j0; j < j1; ++j) {
            const bool inHole = j >= g.y0 + p.dy && j < g.y1 + p.dy;
            stamp(j, x0, 0, inHole ? g.x0 + p.dx : m_cw, 0.5f, 0.5f);
            if (inHole)
                stamp(j, x0, g.x1 + p.dx, m_cw, 0.5f, 0.5f);
        }
    } else if (g.kind == Glyph::Dot) {
        for (int j = std::max(j0, p.dy); j < std::min(j1, p.dy + m_ch); ++j)
            for (const Glyph::Run &r : g.rows[size_t(j - p.dy)])
                stamp(j, x0 + p.dx, r.s, r.e, r.fl, r.fr);
    }
}

void HalftoneScreen::drawBand(int b, int width, int rows, const std::vector<Tone> *above,
                              const std::vector<Tone> &tones, const std::vector<Tone> *below,
                              quint32 *const *bw, uchar *const *levels, int threshold,
                              std::vector<float> *drawn) const
{
    const std::vector<Placed> placed = placeBand(b, width, rows, above, tones, below);
    if (drawn) {
        drawn->resize(placed.size());
        for (size_t i = 0; i < placed.size(); ++i)
            (*drawn)[i] = float(m_coverages[size_t(placed[i].glyph)]);
    }
    const int shift = (b & 1) ? m_cw / 2 : 0;
    for (int j = 0; j < rows; ++j)
        std::fill_n(bw[j], width, black);
    // Runs are a few pixels: whitened in a loop, not by a call to the C library's fill for each
    // (which a plain store of white would become). Black or white, a pixel with the colour bits
    // set is white.
    const auto whiten = [width](quint32 *out, int x0, int s, int e) {
        const int from = std::max(0, x0 + s), to = std::min(width, x0 + e);
        for (int x = from; x < to; ++x)
            out[x] |= white & ~black;
        return std::pair(from, to);
    };
    if (!levels) {
        // A cell at a time, its drawing looked up once for all its rows.
        for (size_t i = 0; i < placed.size(); ++i)
            runsOf(placed[i], int(i) * m_cw - shift, 0, rows,
                   [&](int j, int x, int s, int e, float, float) { whiten(bw[j], x, s, e); });
        return;
    }
    std::vector<float> fl(static_cast<size_t>(width)), fr(fl.size());
    for (int j = 0; j < rows; ++j) {
        for (size_t i = 0; i < placed.size(); ++i)
            runsOf(placed[i], int(i) * m_cw - shift, j, j + 1,
                   [&](int, int x0, int s, int e, float left, float right) {
                       const auto [from, to] = whiten(bw[j], x0, s, e);
                       if (to <= from)
                           return;
                       fl[size_t(from)] = from == x0 + s ? left : 0.5f;
                       fr[size_t(to - 1)] = to == x0 + e ? right : 0.5f;
                   });
        screenLevels(bw[j], fl.data(), fr.data(), width, threshold, levels[j]);
    }
}

HalftoneScreening::HalftoneScreening(std::shared_ptr<const HalftoneScreen> screen,
                                     const QSize &size, bool invert)
    : m_screen(std::move(screen)), m_size(size), m_invert(invert)
{ }

int HalftoneScreening::bands() const
{
    const int ch = m_screen->cellHeight();
    return (std::max(0, m_size.height()) + ch - 1) / ch;
}

namespace {

// Adds a grey row (grey in the low byte) to its columns' sums, and those sums as they were to
// above: a row's grey then weighs as many times in above as there are rows after it, which
// weights the band's grey by row without a multiply per pixel. Both fit 32 bits for any cell.
void addColumnsPortable(const quint32 *grey, int width, quint32 *columns, quint32 *above)
{
    for (int x = 0; x < width; ++x) {
        above[x] += columns[x];
        columns[x] += grey[x] & 0xffu;
    }
}

#if defined(__x86_64__) || defined(__i386__)
// The same loop, which the compiler widens to eight columns at a time.
__attribute__((target("avx2"))) void addColumnsAvx2(const quint32 *grey, int width,
                                                    quint32 *columns, quint32 *above)
{
    for (int x = 0; x < width; ++x) {
        above[x] += columns[x];
        columns[x] += grey[x] & 0xffu;
    }
}
#endif

void addColumns(const quint32 *grey, int width, quint32 *columns, quint32 *above)
{
#if defined(__x86_64__) || defined(__i386__)
    // Where the grey rows are made with AVX2, so are the sums (and neither where the tests ask).
    static const bool avx2 = std::strcmp(greyRowKernel(), "AVX2") == 0;
    if (avx2)
        return addColumnsAvx2(grey, width, columns, above);
#endif
    addColumnsPortable(grey, width, columns, above);
}

} // namespace

void HalftoneScreening::addGreyRow(const quint32 *grey)
{
    const int ch = m_screen->cellHeight(), width = std::max(0, m_size.width());
    const int b = m_rows / ch;
    if (m_rows % ch == 0) {
        m_columns.assign(size_t(width), 0);
        m_above.assign(size_t(width), 0);
    }
    addColumns(grey, width, m_columns.data(), m_above.data());
    ++m_rows;
    const int rows = std::min(ch, m_size.height() - b * ch);
    if (m_rows == b * ch + rows) {
        m_screen->sumBand(b, width, rows, m_columns.data(), m_above.data(), m_sums);
        const std::vector<HalftoneScreen::Tone> *above
                = m_tones.empty() ? nullptr : &m_tones.back().tones;
        Chosen chosen;
        m_screen->chooseBand(b, m_size.width(), rows, m_sums, m_invert, m_carry, above,
                             &chosen.tones, &chosen.estimates);
        m_tones.push_back(std::move(chosen));
        ++m_chosen;
    }
}

void HalftoneScreening::drawBand(int b, quint32 *const *bw, uchar *const *levels, int threshold)
{
    while (m_first < b - 1) {
        m_tones.pop_front();
        ++m_first;
    }
    const auto band = [this](int k) -> const std::vector<HalftoneScreen::Tone> * {
        return k >= m_first && k < m_first + int(m_tones.size())
                ? &m_tones[size_t(k - m_first)].tones
                : nullptr;
    };
    const int ch = m_screen->cellHeight();
    std::vector<float> drawn;
    m_screen->drawBand(b, m_size.width(), std::min(ch, m_size.height() - b * ch), band(b - 1),
                       *band(b), band(b + 1), bw, levels, threshold, &drawn);
    // What the drawing misses of its estimate, the neighbours below being known now, goes to
    // the cells two bands down, right under it, the next to be chosen.
    const std::vector<float> &estimates = m_tones[size_t(b - m_first)].estimates;
    if (m_chosen == b + 2 && m_carry.size() >= drawn.size())
        for (size_t i = 0; i < drawn.size(); ++i)
            m_carry[i] += std::clamp(estimates[i] - drawn[i], -0.5f, 0.5f);
}

BwResult halftoneInto(const QImage &scaledGrey, bool invert,
                      const std::shared_ptr<const HalftoneScreen> &screen, QImage &bw,
                      QImage *levels)
{
    if (scaledGrey.isNull()) {
        bw = QImage();
        if (levels)
            *levels = QImage();
        return {};
    }
    const QSize size = scaledGrey.size();
    if (bw.size() != size || bw.format() != QImage::Format_RGB32)
        bw = allocateImage(size.width(), size.height(), QImage::Format_RGB32);
    if (levels && (levels->size() != size || levels->format() != QImage::Format_Grayscale8))
        *levels = allocateImage(size.width(), size.height(), QImage::Format_Grayscale8);
    if (bw.isNull() || (levels && levels->isNull())) {
        bw = QImage();
        return {false,
                allocationProblem(QStringLiteral("the black-and-white image"), size.width(),
                                  size.height(), QImage::Format_RGB32)};
    }
    HalftoneScreening screening(screen, size, invert);
    const int ch = screen->cellHeight(), bands = screening.bands();
    std::vector<quint32 *> to(static_cast<size_t>(ch));
    std::vector<uchar *> level(static_cast<size_t>(ch));
    int next = 0;
    for (int y = 0; y < size.height(); ++y) {
        screening.addGreyRow(reinterpret_cast<const quint32 *>(scaledGrey.constScanLine(y)));
        for (; next < bands
             && (screening.bandsChosen() > next + 1 || screening.bandsChosen() == bands);
             ++next) {
            for (int j = 0; j < ch && next * ch + j < size.height(); ++j) {
                to[size_t(j)] = reinterpret_cast<quint32 *>(bw.scanLine(next * ch + j));
                if (levels)
                    level[size_t(j)] = levels->scanLine(next * ch + j);
            }
            screening.drawBand(next, to.data(), levels ? level.data() : nullptr);
        }
    }
    return {};
}

HalftoneRows::HalftoneRows(std::unique_ptr<RowStream> grey,
                           std::shared_ptr<const HalftoneScreen> screen, bool invert, bool edges,
                           int threshold)
    : m_grey(std::move(grey)), m_size(m_grey->size()), m_screening(screen, m_size, invert),
      m_edges(edges), m_threshold(threshold)
{
    const size_t n = size_t(std::max(0, m_size.width())) * size_t(screen->cellHeight());
    m_bwRows.resize(n);
    if (edges)
        m_levels.resize(n);
}

HalftoneRows::~HalftoneRows() = default;

const quint32 *HalftoneRows::row(int y)
{
    const int ch = m_screening.screen().cellHeight(), width = m_size.width();
    const int band = y / ch;
    if (band != m_band) {
        // The band below is chosen first: a cell's drawing depends on its neighbours'.
        const int bands = m_screening.bands();
        while (m_screening.bandsChosen() < std::min(bands, band + 2)) {
            const quint32 *grey = m_grey->greyRow(m_greyRows);
            if (!grey)
                return nullptr;
            m_screening.addGreyRow(grey);
            ++m_greyRows;
        }
        std::vector<quint32 *> to(static_cast<size_t>(ch));
        std::vector<uchar *> levels(static_cast<size_t>(ch));
        for (int j = 0; j < ch; ++j) {
            to[size_t(j)] = m_bwRows.data() + size_t(j) * size_t(width);
            if (m_edges)
                levels[size_t(j)] = m_levels.data() + size_t(j) * size_t(width);
        }
        m_screening.drawBand(band, to.data(), m_edges ? levels.data() : nullptr, m_threshold);
        m_band = band;
    }
    return m_bwRows.data() + size_t(y - band * ch) * size_t(width);
}

GreyLevels HalftoneRows::edgeLevels(int y)
{
    if (!m_edges || !row(y))
        return {};
    const int ch = m_screening.screen().cellHeight();
    return {m_levels.data() + size_t(y - m_band * ch) * size_t(m_size.width()), 1};
}

} // namespace kcore
