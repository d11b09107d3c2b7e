// Outlines traced a band at a time. Every polygon still open is a few chains of corners, each
// with two open ends at the sides of the last band's spans; a new band extends, joins and splits
// them, and a chain whose ends meet is a closed polygon. Spans are linked to those of the band
// above they overlap (and, to keep polygons from touching themselves, to those they meet at a
// corner); a link that would close a loop cuts what is open of that shape along the boundary.
#include "outlines.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <numeric>

namespace kcore {

namespace {

constexpr qint32 none = -1;

// A corner of an open chain. Chains run from their front to their back: down the left side of
// a span, along the bottom, up the right side and along the top, as the polygon goes round. Only
// the two ends of a chain know each other (partner).
struct Node
{
    qint32 x, y;
    qint32 next;
    qint32 partner;
};

// A span of the band: the chain end going down its left side (a back) and up its right side (a
// front), and its class: spans linked across bands, directly or not.
struct OpenSpan
{
    qint32 left, right;
    qint32 leftEnd = none, rightEnd = none;
    qint32 cls = 0;
};

// Corners are kept in blocks of this many, each block growing one chain end: the corners of a
// side lie together in memory, and a long polygon is read back a block at a time, not a cache
// miss a corner.
constexpr qint32 blockNodes = 8;

// Who may add corners to a block: the chain end whose corner is its last one taken, if any (the
// next corner is the one after it); and how many of its corners are still held.
struct Block
{
    qint32 owner = none;
    qint32 live = 0;
};

} // namespace

struct OutlineTracer::State
{
    Ring ring;
    size_t budget;
    std::vector<Node> nodes;
    std::vector<Block> blocks;
    std::vector<qint32> freeBlocks;
    size_t held = 0;
    std::vector<OpenSpan> open, next;
    qint32 bottom = 0;
    qint32 classes = 0;
    // For one band: classes and the new spans, united by their links; the spans below each open
    // one overlaps; whether a new span goes on from one above.
    std::vector<qint32> parent;
    std::vector<char> loop;
    std::vector<qint32> first, last;
    std::vector<char> linked;
    std::vector<char> ends; // whether an open span ends at the boundary
    std::vector<qint32> renumbered;
    std::unique_ptr<OutlinePoint[]> points; // a closed polygon's corners
    size_t pointRoom = 0;

    // A corner for the chain end at end (none: a chain's first), in end's block while it has
    // room; the new corner is the end now.
    qint32 node(qint32 end, qint32 x, qint32 y)
    {
        ++held;
        qint32 i;
        Block *block = end == none ? nullptr : &blocks[size_t(end) / blockNodes];
        if (block && block->owner == end && (end + 1) % blockNodes != 0) {
            i = end + 1;
        } else {
            if (block && block->owner == end)
                block->owner = none;
            qint32 b;
            if (!freeBlocks.empty()) {
                b = freeBlocks.back();
                freeBlocks.pop_back();
            } else {
                b = qint32(blocks.size());
                blocks.emplace_back();
                nodes.resize(nodes.size() + blockNodes);
            }
            block = &blocks[size_t(b)];
            *block = Block();
            i = b * blockNodes;
        }
        ++block->live;
        block->owner = i;
        nodes[size_t(i)] = {x, y, none, none};
        return i;
    }
    // The corner at i is no chain's end any more.
    void settle(qint32 i)
    {
        Block &block = blocks[size_t(i / blockNodes)];
        if (block.owner == i)
            block.owner = none;
    }
    Node &at(qint32 i) { return nodes[size_t(i)]; }

    // A corner after the back end, which moves to it.
    void appendBack(qint32 &end, qint32 x, qint32 y)
    {
        const qint32 n = node(end, x, y);
        const qint32 partner = at(end).partner;
        at(end).next = n;
        at(n).partner = partner;
        at(partner).partner = n;
        end = n;
    }
    // A corner before the front end, which moves to it.
    void prependFront(qint32 &end, qint32 x, qint32 y)
    {
        const qint32 n = node(end, x, y);
        const qint32 partner = at(end).partner;
        at(n).next = end;
        at(n).partner = partner;
        at(partner).partner = n;
        end = n;
    }
    // A new chain from (fromX, y) to (toX, y), its ends given back.
    void chain(qint32 fromX, qint32 toX, qint32 y, qint32 *front, qint32 *back)
    {
        *front = node(none, fromX, y);
        *back = node(none, toX, y);
        at(*front).next = *back;
        at(*front).partner = *back;
        at(*back).partner = *front;
    }
    // Goes on from a back end to a front end: the two chains become one, or a chain's own ends
    // meet and its polygon is complete.
    void join(qint32 back, qint32 front)
    {
        settle(back);
        settle(front);
        at(back).next = front;
        if (at(back).partner == front) {
            closeRing(front);
            return;
        }
        const qint32 head = at(back).partner, tail = at(front).partner;
        at(head).partner = tail;
        at(tail).partner = head;
    }
    // The chain from start round to start again is a polygon: its corners go out and their
    // blocks are given back a run at a time, a chain's corners lying together in them.
    void closeRing(qint32 start)
    {
        // At most every corner held, and a corner more to catch a chain that never closes.
        const size_t most = nodes.size() + 1;
        if (pointRoom < most) {
            points.reset(new OutlinePoint[most]);
            pointRoom = most;
        }
        OutlinePoint *out = points.get();
        const OutlinePoint *const end = out + most;
        qint32 i = start;
        do {
            const qint32 b = i / blockNodes;
            qint32 run = 0;
            do {
                const Node &n = at(i);
                *out++ = {n.x, n.y};
                ++run;
                i = n.next;
            } while (i != start && i != none && out < end && i / blockNodes == b);
            Block &block = blocks[size_t(b)];
            held -= size_t(run);
            if ((block.live -= run) == 0 && block.owner == none)
                freeBlocks.push_back(b);
        } while (i != start && i != none && out < end);
        ring(points.get(), size_t(out - points.get()));
    }

    // The span ends at y: its bottom joins its two sides.
    void close(const OpenSpan &s, qint32 y)
    {
        qint32 back = s.leftEnd, front = s.rightEnd;
        appendBack(back, s.left, y);
        prependFront(front, s.right, y);
        join(back, front);
    }
    // A span that goes on from none above: its top, a chain of its own.
    void begin(OpenSpan &s, qint32 y) { chain(s.right, s.left, y, &s.rightEnd, &s.leftEnd); }
    void closeAll(qint32 y)
    {
        for (const OpenSpan &s : open)
            close(s, y);
        open.clear();
        classes = 0;
    }

    qint32 find(qint32 a)
    {
        while (parent[size_t(a)] != a) {
            parent[size_t(a)] = parent[size_t(parent[size_t(a)])];
            a = parent[size_t(a)];
        }
        return a;
    }
    // Unites b's class with the class whose root is root, which stays the root.
    void unite(qint32 root, qint32 b)
    {
        b = find(b);
        if (root == b) {
            loop[size_t(root)] = 1;
            return;
        }
        parent[size_t(b)] = root;
        loop[size_t(root)] |= loop[size_t(b)];
    }
    bool cut(size_t i) { return loop[size_t(find(open[i].cls))]; }

    void link(bool cutAll);
    void connect(qint32 y);
    void group(size_t i0, size_t i1, size_t j0, size_t j1, qint32 y);
    void renumber();
};

// Links every open span to the new spans it overlaps or meets at a corner; a class linked twice
// to one root closes a loop, and is cut.
void OutlineTracer::State::link(bool cutAll)
{
    const size_t m = open.size(), n = next.size();
    parent.resize(size_t(classes) + n);
    std::iota(parent.begin(), parent.end(), 0);
    loop.assign(parent.size(), cutAll ? 1 : 0);
    first.resize(m);
    last.resize(m);
    size_t from = 0;
    for (size_t i = 0; i < m; ++i) {
        const OpenSpan &p = open[i];
        while (from < n && next[from].right < p.left)
            ++from;
        const qint32 root = find(p.cls);
        qint32 f = none, l = none;
        for (size_t j = from; j < n && next[j].left <= p.right; ++j) {
            unite(root, qint32(size_t(classes) + j));
            if (next[j].right > p.left && next[j].left < p.right) {
                if (f == none)
                    f = qint32(j);
                l = qint32(j);
            }
        }
        first[i] = f;
        last[i] = l;
    }
}

// The chains of the open spans carried into the new ones, at the boundary y.
void OutlineTracer::State::connect(qint32 y)
{
    const size_t m = open.size(), n = next.size();
    linked.assign(n, 0);
    ends.resize(m);
    for (size_t i = 0; i < m; ++i) {
        ends[i] = cut(i) || first[i] == none;
        if (ends[i]) {
            close(open[i], y);
            continue;
        }
        for (qint32 j = first[i]; j <= last[i]; ++j)
            linked[size_t(j)] = 1;
    }
    for (size_t j = 0; j < n; ++j)
        if (!linked[j])
            begin(next[j], y);
    // Overlapping spans of the two bands fall into groups that follow each other from left to
    // right.
    for (size_t i = 0; i < m;) {
        if (ends[i]) {
            ++i;
            continue;
        }
        size_t i1 = i, j1 = size_t(last[i]);
        while (i1 + 1 < m && first[i1 + 1] != none && size_t(first[i1 + 1]) <= j1) {
            ++i1;
            j1 = std::max(j1, size_t(last[i1]));
        }
        group(i, i1, size_t(first[i]), j1, y);
        i = i1 + 1;
    }
}

// Open spans i0..i1 go on as new spans j0..j1: the left side of the first and the right side of
// the last carry on; between them, from left to right, two open spans over one new span merge
// (their chains join) and two new spans under one open span split (a chain begins).
void OutlineTracer::State::group(size_t i0, size_t i1, size_t j0, size_t j1, qint32 y)
{
    qint32 left = open[i0].leftEnd;
    if (open[i0].left != next[j0].left) {
        appendBack(left, open[i0].left, y);
        appendBack(left, next[j0].left, y);
    }
    next[j0].leftEnd = left;
    size_t a = i0, b = j0;
    while (a < i1 || b < j1) {
        if (a < i1 && (b >= j1 || open[a].right < next[b].right)) {
            qint32 back = open[a + 1].leftEnd;
            appendBack(back, open[a + 1].left, y);
            appendBack(back, open[a].right, y);
            join(back, open[a].rightEnd);
            ++a;
        } else {
            chain(next[b].right, next[b + 1].left, y, &next[b].rightEnd, &next[b + 1].leftEnd);
            ++b;
        }
    }
    qint32 right = open[i1].rightEnd;
    if (open[i1].right != next[j1].right) {
        prependFront(right, open[i1].right, y);
        prependFront(right, next[j1].right, y);
    }
    next[j1].rightEnd = right;
}

// The new spans' classes, numbered from 0: those linked share their root's, those cut or
// unlinked begin one each.
void OutlineTracer::State::renumber()
{
    renumbered.assign(parent.size(), none);
    qint32 count = 0;
    for (size_t j = 0; j < next.size(); ++j) {
        const qint32 root = find(qint32(size_t(classes) + j));
        if (loop[size_t(root)]) {
            next[j].cls = count++;
        } else {
            if (renumbered[size_t(root)] == none)
                renumbered[size_t(root)] = count++;
            next[j].cls = renumbered[size_t(root)];
        }
    }
    classes = count;
}

OutlineTracer::OutlineTracer(Ring ring, size_t budget) : m(std::make_unique<State>())
{
    m->ring = std::move(ring);
    m->budget = budget;
}

OutlineTracer::~OutlineTracer() = default;

void OutlineTracer::addBand(qint32 top, qint32 bottom, const Span *spans, size_t count)
{
    m->next.clear();
    for (size_t k = 0; k < count; ++k) {
        const Span &s = spans[k];
        if (s.right <= s.left)
            continue;
        if (!m->next.empty() && s.left <= m->next.back().right)
            m->next.back().right = std::max(m->next.back().right, s.right);
        else
            m->next.push_back({s.left, s.right});
    }
    if (!m->open.empty() && top != m->bottom)
        m->closeAll(m->bottom);
    m->link(m->held > m->budget);
    m->connect(top);
    m->renumber();
    std::swap(m->open, m->next);
    m->bottom = bottom;
}

void OutlineTracer::finish()
{
    m->closeAll(m->bottom);
}

size_t OutlineTracer::heldCorners() const
{
    return m->held;
}

struct LayerBands::State
{
    OutlineTracer *tracer;
    double pitch;
    qint32 reach; // the expansion's size
    bool grows;
    struct Row
    {
        int y;
        std::vector<Span> drawn, grown;
    };
    std::deque<Row> rows;
    qint64 done = 0; // bands are passed down to here
    bool started = false;
    std::vector<Span> band, scratch;

    qint64 top(qint64 k) const { return std::llround(double(k) * pitch); }
    const Row *row(qint64 y) const
    {
        for (const Row &r : rows)
            if (r.y == y)
                return &r;
        return nullptr;
    }
    // The first band edge below t: a row's top, or one reach above or below it.
    qint64 nextEdge(qint64 t) const
    {
        qint64 best = INT64_MAX;
        for (const qint64 offset : {-qint64(reach), qint64(0), qint64(reach)}) {
            qint64 k = qint64(std::floor(double(t - offset) / pitch)) - 1;
            while (top(k) + offset <= t)
                ++k;
            best = std::min(best, top(k) + offset);
        }
        return best;
    }
    void emitUpTo(qint64 end);
    void grownSpans(double middle);
};

// The grown part of a band around middle: the union of every row within reach, each grown
// across; shrunk, the part every row within reach has.
void LayerBands::State::grownSpans(double middle)
{
    scratch.clear();
    const qint64 low = qint64(std::floor((middle - reach) / pitch)) - 1;
    const qint64 high = qint64(std::floor((middle + reach) / pitch)) + 1;
    bool first = true;
    for (qint64 k = low; k <= high; ++k) {
        if (!(double(top(k)) < middle + reach && double(top(k + 1)) > middle - reach))
            continue;
        const Row *r = row(k);
        if (grows) {
            if (r)
                scratch.insert(scratch.end(), r->grown.begin(), r->grown.end());
            continue;
        }
        if (!r) {
            scratch.clear();
            return;
        }
        if (first) {
            scratch = r->grown;
            first = false;
            continue;
        }
        std::vector<Span> both;
        for (size_t a = 0, b = 0; a < scratch.size() && b < r->grown.size();) {
            const qint32 left = std::max(scratch[a].left, r->grown[b].left);
            const qint32 right = std::min(scratch[a].right, r->grown[b].right);
            if (left < right)
                both.push_back({left, right});
            (scratch[a].right < r->grown[b].right ? a : b)++;
        }
        scratch.swap(both);
    }
}

void LayerBands::State::emitUpTo(qint64 end)
{
    while (done < end) {
        const qint64 to = std::min(end, nextEdge(done));
        const double middle = (double(done) + double(to)) / 2;
        grownSpans(middle);
        band = scratch;
        const qint64 k = qint64(std::floor(middle / pitch)) + 1;
        for (qint64 j = k - 2; j <= k; ++j)
            if (double(top(j)) <= middle && middle < double(top(j + 1)))
                if (const Row *r = row(j))
                    band.insert(band.end(), r->drawn.begin(), r->drawn.end());
        std::sort(band.begin(), band.end(),
                  [](const Span &a, const Span &b) { return a.left < b.left; });
        tracer->addBand(qint32(done), qint32(to), band.data(), band.size());
        done = to;
        while (!rows.empty() && top(rows.front().y + 1) <= done - reach)
            rows.pop_front();
    }
}

LayerBands::LayerBands(OutlineTracer &tracer, double pitch, qint32 expansion)
    : m(std::make_unique<State>())
{
    m->tracer = &tracer;
    m->pitch = pitch;
    m->reach = expansion < 0 ? -expansion : expansion;
    m->grows = expansion > 0;
}

LayerBands::~LayerBands() = default;

qint32 LayerBands::rowTop(qint64 k) const
{
    return qint32(m->top(k));
}

void LayerBands::addRow(int y, const std::vector<Span> &drawn, const std::vector<Span> &grown)
{
    if (m->reach == 0) {
        // Rows are the bands.
        if (grown.empty()) {
            m->tracer->addBand(rowTop(y), rowTop(y + 1), drawn.data(), drawn.size());
            return;
        }
        m->band = drawn;
        m->band.insert(m->band.end(), grown.begin(), grown.end());
        std::sort(m->band.begin(), m->band.end(),
                  [](const Span &a, const Span &b) { return a.left < b.left; });
        m->tracer->addBand(rowTop(y), rowTop(y + 1), m->band.data(), m->band.size());
        return;
    }
    if (!m->started) {
        m->done = m->top(0) - m->reach;
        m->started = true;
    }
    // Across first: each span grown, or shrunk away when too narrow.
    std::vector<Span> across;
    for (const Span &s : grown) {
        const Span g = m->grows ? Span{s.left - m->reach, s.right + m->reach}
                                : Span{s.left + m->reach, s.right - m->reach};
        if (g.left >= g.right)
            continue;
        if (!across.empty() && g.left <= across.back().right)
            across.back().right = std::max(across.back().right, g.right);
        else
            across.push_back(g);
    }
    m->rows.push_back({y, drawn, std::move(across)});
    m->emitUpTo(m->top(y + 1) - m->reach);
}

void LayerBands::finish(int height)
{
    if (m->reach != 0 && m->started)
        m->emitUpTo(m->top(height) + m->reach);
    m->tracer->finish();
}

} // namespace kcore
