// The board a file draws, measured independently of kestrel's own geometry: its items drawn as
// round-ended lines onto a fine raster, then exact Euclidean distance transforms, labels of the
// pieces of ink and of space, and an opening and a closing by discs of the two limits.
#include "boardcheck.h"

#include <QList>

#include <algorithm>
#include <cmath>
#include <limits>
#include <queue>

namespace boardcheck {

std::vector<Stroke> readStrokes(const QByteArray &file)
{
    std::vector<Stroke> strokes;
    const double unit = file.startsWith("!PADS-POWERPCB-V9.4-METRIC!") ? 1 / 0.0254 : 1;
    const QList<QByteArray> lines = file.split('\n');
    for (qsizetype i = 0; i + 3 < lines.size(); ++i) {
        const QList<QByteArray> head = lines[i].simplified().split(' ');
        if (head.size() < 4 || head[1] != "LINES" || head[0].startsWith('*'))
            continue;
        const QList<QByteArray> piece = lines[i + 1].simplified().split(' ');
        const QList<QByteArray> a = lines[i + 2].simplified().split(' ');
        const QList<QByteArray> b = lines[i + 3].simplified().split(' ');
        const double x = head[2].toDouble(), y = head[3].toDouble();
        strokes.push_back({(x + a[0].toDouble()) * unit, (y + a[1].toDouble()) * unit,
                           (x + b[0].toDouble()) * unit, (y + b[1].toDouble()) * unit,
                           piece[2].toDouble() * unit, piece.last().toInt()});
        i += 3;
    }
    return strokes;
}

Raster rasterize(const std::vector<Stroke> &strokes, double step, const QRectF &bounds)
{
    Raster r;
    r.step = step;
    r.left = bounds.left();
    r.top = bounds.bottom(); // y up: the largest y is the raster's top row
    r.width = int(std::ceil(bounds.width() / step));
    r.height = int(std::ceil(bounds.height() / step));
    r.ink.assign(size_t(r.width) * size_t(r.height), 0);
    for (const Stroke &s : strokes) {
        const double radius = s.width / 2, dx = s.x1 - s.x0, dy = s.y1 - s.y0;
        const double length2 = dx * dx + dy * dy;
        const int x0 = std::max(0, int((std::min(s.x0, s.x1) - radius - r.left) / step));
        const int x1 = std::min(r.width - 1, int((std::max(s.x0, s.x1) + radius - r.left) / step));
        const int y0 = std::max(0, int((r.top - std::max(s.y0, s.y1) - radius) / step));
        const int y1 = std::min(r.height - 1, int((r.top - std::min(s.y0, s.y1) + radius) / step));
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) {
                const QPointF p = r.centre(x, y);
                const double t = length2 > 0
                        ? std::clamp(((p.x() - s.x0) * dx + (p.y() - s.y0) * dy) / length2, 0.0,
                                     1.0)
                        : 0.0;
                const double ex = p.x() - (s.x0 + t * dx), ey = p.y() - (s.y0 + t * dy);
                if (ex * ex + ey * ey <= radius * radius)
                    r.ink[size_t(y) * size_t(r.width) + size_t(x)] = 1;
            }
    }
    return r;
}

namespace {

constexpr float far = 1e20f;

// The squared distance from every sample to the nearest sample where feature is set, and which
// one that is (its index), by Felzenszwalb and Huttenlocher's lower envelope of parabolas, a
// column at a time and then a row at a time.
struct DistanceField
{
    std::vector<float> d2;
    std::vector<int> nearest;
};

void envelope(const float *f, int n, float *d, int *arg, std::vector<int> &v, std::vector<float> &z)
{
    int k = -1;
    for (int q = 0; q < n; ++q) {
        if (f[q] >= far)
            continue;
        float s = -far;
        while (k >= 0) {
            s = ((f[q] + float(q) * float(q))
                 - (f[v[size_t(k)]] + float(v[size_t(k)]) * float(v[size_t(k)])))
                    / (2.0f * float(q - v[size_t(k)]));
            if (s > z[size_t(k)])
                break;
            --k;
        }
        ++k;
        v[size_t(k)] = q;
        z[size_t(k)] = k == 0 ? -far : s;
        z[size_t(k) + 1] = far;
    }
    if (k < 0) {
        std::fill(d, d + n, far);
        std::fill(arg, arg + n, -1);
        return;
    }
    k = 0;
    for (int q = 0; q < n; ++q) {
        while (z[size_t(k) + 1] < float(q))
            ++k;
        const float dq = float(q - v[size_t(k)]);
        d[q] = dq * dq + f[v[size_t(k)]];
        arg[q] = v[size_t(k)];
    }
}

DistanceField distances(const Raster &r, const std::function<bool(size_t)> &feature)
{
    const int w = r.width, h = r.height, n = std::max(w, h);
    DistanceField out;
    out.d2.assign(size_t(w) * size_t(h), far);
    out.nearest.assign(out.d2.size(), -1);
    std::vector<int> v(static_cast<size_t>(n) + 1), rowOf(out.d2.size());
    std::vector<float> z(static_cast<size_t>(n) + 2), f(static_cast<size_t>(n)),
            d(static_cast<size_t>(n));
    std::vector<int> arg(static_cast<size_t>(n));
    for (int x = 0; x < w; ++x) {
        for (int y = 0; y < h; ++y)
            f[size_t(y)] = feature(size_t(y) * size_t(w) + size_t(x)) ? 0.0f : far;
        envelope(f.data(), h, d.data(), arg.data(), v, z);
        for (int y = 0; y < h; ++y) {
            out.d2[size_t(y) * size_t(w) + size_t(x)] = d[size_t(y)];
            rowOf[size_t(y) * size_t(w) + size_t(x)] = arg[size_t(y)];
        }
    }
    for (int y = 0; y < h; ++y) {
        float *line = out.d2.data() + size_t(y) * size_t(w);
        std::copy(line, line + w, f.begin());
        envelope(f.data(), w, d.data(), arg.data(), v, z);
        for (int x = 0; x < w; ++x) {
            line[x] = d[size_t(x)];
            const int fx = arg[size_t(x)];
            if (fx >= 0) {
                const int fy = rowOf[size_t(y) * size_t(w) + size_t(fx)];
                out.nearest[size_t(y) * size_t(w) + size_t(x)] = fy * w + fx;
            }
        }
    }
    return out;
}

// The pieces of the samples where inside is set, four-connected: a label each (-1 elsewhere).
std::vector<int> label(const Raster &r, const std::function<bool(size_t)> &inside, int *count)
{
    const int w = r.width, h = r.height;
    std::vector<int> labels(size_t(w) * size_t(h), -1);
    *count = 0;
    std::vector<int> stack;
    for (size_t start = 0; start < labels.size(); ++start) {
        if (labels[start] >= 0 || !inside(start))
            continue;
        labels[start] = *count;
        stack.push_back(int(start));
        while (!stack.empty()) {
            const int i = stack.back();
            stack.pop_back();
            const int x = i % w, y = i / w;
            const int next[4][2] = {{x - 1, y}, {x + 1, y}, {x, y - 1}, {x, y + 1}};
            for (const auto &[nx, ny] : next) {
                if (nx < 0 || ny < 0 || nx >= w || ny >= h)
                    continue;
                const size_t j = size_t(ny) * size_t(w) + size_t(nx);
                if (labels[j] < 0 && inside(j)) {
                    labels[j] = *count;
                    stack.push_back(int(j));
                }
            }
        }
        ++*count;
    }
    return labels;
}

// How many pieces of each label the opened set leaves: 0 where it removed a piece whole, more
// than 1 where it split one.
std::vector<int> piecesLeft(const Raster &r, const std::vector<int> &labels, int count,
                            const std::vector<unsigned char> &opened)
{
    int openedCount = 0;
    const std::vector<int> openedLabels = label(
            r, [&](size_t i) { return opened[i] != 0; }, &openedCount);
    std::vector<int> pieces(size_t(count), 0);
    std::vector<char> seen(size_t(openedCount), 0);
    for (size_t i = 0; i < labels.size(); ++i) {
        const int o = openedLabels[i];
        if (o >= 0 && labels[i] >= 0 && !seen[size_t(o)]) {
            seen[size_t(o)] = 1;
            ++pieces[size_t(labels[i])];
        }
    }
    return pieces;
}

// The opening of the samples where inside is set by a disc of the given radius (mils): the
// union of the discs that fit inside. dist2 is the squared distance of each sample to the
// nearest sample outside (in steps).
std::vector<unsigned char> opening(const Raster &r, const std::function<bool(size_t)> &inside,
                                   const DistanceField &outside, double radius)
{
    const double steps = radius / r.step;
    // A disc fits where the nearest outside sample's centre lies half a step beyond its edge.
    const float fits = float((steps + 0.5) * (steps + 0.5));
    const DistanceField core
            = distances(r, [&](size_t i) { return inside(i) && outside.d2[i] >= fits; });
    std::vector<unsigned char> opened(outside.d2.size(), 0);
    const float reach = float(steps * steps);
    for (size_t i = 0; i < opened.size(); ++i)
        opened[i] = inside(i) && core.d2[i] <= reach;
    return opened;
}

} // namespace

Measures measure(const Raster &r, double lineLimit, double spaceLimit, double tolerance)
{
    Measures m;
    const auto ink = [&](size_t i) { return r.ink[i] != 0; };
    const auto space = [&](size_t i) { return r.ink[i] == 0; };
    const DistanceField toSpace = distances(r, space), toInk = distances(r, ink);
    int spaces = 0;
    const std::vector<int> inkLabels = label(r, ink, &m.inkShapes);
    const std::vector<int> spaceLabels = label(r, space, &spaces);
    const int w = r.width, h = r.height;
    // A piece's largest disc: twice its sample furthest from the other kind, less half a step.
    std::vector<float> inkDeepest(size_t(m.inkShapes), 0), spaceDeepest(size_t(spaces), 0);
    std::vector<char> touchesBorder(size_t(spaces), 0);
    for (size_t i = 0; i < r.ink.size(); ++i) {
        if (inkLabels[i] >= 0)
            inkDeepest[size_t(inkLabels[i])]
                    = std::max(inkDeepest[size_t(inkLabels[i])], toSpace.d2[i]);
        if (spaceLabels[i] >= 0) {
            spaceDeepest[size_t(spaceLabels[i])]
                    = std::max(spaceDeepest[size_t(spaceLabels[i])], toInk.d2[i]);
            const int x = int(i % size_t(w)), y = int(i / size_t(w));
            if (x == 0 || y == 0 || x == w - 1 || y == h - 1)
                touchesBorder[size_t(spaceLabels[i])] = 1;
        }
    }
    const auto across = [&](float d2) { return 2 * (std::sqrt(double(d2)) - 0.5) * r.step; };
    m.smallestInk = m.smallestHole = std::numeric_limits<double>::infinity();
    for (size_t p = 0; p < inkDeepest.size(); ++p)
        if (across(inkDeepest[p]) < m.smallestInk) {
            m.smallestInk = across(inkDeepest[p]);
            for (size_t i = 0; i < r.ink.size(); ++i)
                if (inkLabels[i] == int(p)) {
                    m.smallestInkAt = r.centre(int(i % size_t(w)), int(i / size_t(w)));
                    break;
                }
        }
    for (int s = 0; s < spaces; ++s) {
        if (touchesBorder[size_t(s)])
            continue;
        ++m.holes;
        m.smallestHole = std::min(m.smallestHole, across(spaceDeepest[size_t(s)]));
    }
    // The nearest two pieces of one kind come where the other kind's samples beside each other
    // lie nearest to different pieces: the distance between those two nearest samples, less a
    // step for the half a step each reaches.
    m.smallestGap = m.narrowestWeb = std::numeric_limits<double>::infinity();
    const auto between
            = [&](size_t i, size_t j, const DistanceField &f, const std::vector<int> &labels) {
                  const int a = f.nearest[i], b = f.nearest[j];
                  if (a < 0 || b < 0 || labels[size_t(a)] == labels[size_t(b)])
                      return std::numeric_limits<double>::infinity();
                  const double dx = a % w - b % w, dy = a / w - b / w;
                  return (std::sqrt(dx * dx + dy * dy) - 1) * r.step;
              };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y) * size_t(w) + size_t(x);
            for (const size_t j : {i + 1, i + size_t(w)}) {
                if ((j == i + 1 && x + 1 >= w) || (j == i + size_t(w) && y + 1 >= h))
                    continue;
                if (!r.ink[i] && !r.ink[j]) {
                    const double g = between(i, j, toInk, inkLabels);
                    if (g < m.smallestGap) {
                        m.smallestGap = g;
                        m.smallestGapAt = r.centre(x, y);
                    }
                }
                if (r.ink[i] && r.ink[j]) {
                    const double g = between(i, j, toSpace, spaceLabels);
                    if (g < m.narrowestWeb) {
                        m.narrowestWeb = g;
                        m.narrowestWebAt = r.centre(x, y);
                    }
                }
            }
        }
    // The opening by the line limit keeps every piece of ink whole and in one; the closing by the
    // space limit (the opening of the spaces) every hole and channel.
    const std::vector<int> inkPieces = piecesLeft(
            r, inkLabels, m.inkShapes, opening(r, ink, toSpace, (lineLimit - tolerance) / 2));
    for (int p : inkPieces)
        m.splitInk += p != 1;
    const std::vector<int> spacePieces = piecesLeft(
            r, spaceLabels, spaces, opening(r, space, toInk, (spaceLimit - tolerance) / 2));
    for (int s = 0; s < spaces; ++s)
        m.narrowSpaces += spacePieces[size_t(s)] != 1;
    return m;
}

double coverage(const Raster &r, const QRectF &rect)
{
    const int x0 = std::max(0, int(std::lround((rect.left() - r.left) / r.step)));
    const int x1 = std::min(r.width, int(std::lround((rect.right() - r.left) / r.step)));
    const int y0 = std::max(0, int(std::lround((r.top - rect.bottom()) / r.step)));
    const int y1 = std::min(r.height, int(std::lround((r.top - rect.top()) / r.step)));
    qint64 inked = 0, all = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            inked += r.at(x, y);
            ++all;
        }
    return all ? double(inked) / double(all) : 0;
}

} // namespace boardcheck
