// The copper's outlines, traced from its runs a band of rows at a time: runs that touch from one
// row to the next are one shape, and every shape comes out as closed polygons without holes,
// which every polygon format can carry. Only the shapes still open are held, never an image.
#pragma once

#include <QtGlobal>

#include <functional>
#include <memory>
#include <vector>

namespace kcore {

// A corner of an outline: x to the right and y down, in whole units (nanometres for the writers).
struct OutlinePoint
{
    qint32 x;
    qint32 y;
};

// Part of a band covered by copper: from left up to right.
struct Span
{
    qint32 left;
    qint32 right;
};

// Traces bands of spans, handed over from the top, into closed outlines. Spans of two bands that
// meet overlap along a line (a corner alone does not join them) make one polygon. A polygon
// never has a hole or touches itself: where a shape would close around a hole (or meet itself
// at a corner), it is cut along the band boundary above, and what lies below goes on as new
// polygons. Polygons of one shape so cut meet along those lines, as the shape's parts do.
class OutlineTracer
{
public:
    // ring gets each polygon as it closes: its corners in order, the last joined to the first.
    using Ring = std::function<void(const OutlinePoint *points, size_t count)>;
    // When the open polygons hold more corners than budget, everything open is cut along the
    // next band boundary, so memory stays bounded whatever the picture.
    explicit OutlineTracer(Ring ring, size_t budget = size_t(1) << 19);
    ~OutlineTracer();
    OutlineTracer(const OutlineTracer &) = delete;
    OutlineTracer &operator=(const OutlineTracer &) = delete;

    // The band from top down to bottom (top < bottom, at or below the last band's bottom) with
    // its spans in order from the left; spans that touch or overlap are taken as one, empty
    // ones dropped.
    void addBand(qint32 top, qint32 bottom, const Span *spans, size_t count);
    // Closes every polygon still open.
    void finish();

    // The corners held by open polygons.
    size_t heldCorners() const;

private:
    struct State;
    std::unique_ptr<State> m;
};

// The bands of one layer for the tracer, from its rows of pixels: each row's spans as drawn,
// united with spans grown by an expansion on every side, as a mask opening over copper reaches
// past it (a negative expansion shrinks them instead, by less than half a row). Row k lies
// from rowTop(k) to rowTop(k + 1).
class LayerBands
{
public:
    // pitch: the rows' height in the tracer's units, row k starting at llround(k * pitch).
    LayerBands(OutlineTracer &tracer, double pitch, qint32 expansion);
    ~LayerBands();
    LayerBands(const LayerBands &) = delete;
    LayerBands &operator=(const LayerBands &) = delete;

    // Row y's spans, in order from the left: drawn as they are, and grown. Rows come in order;
    // a row not given has none.
    void addRow(int y, const std::vector<Span> &drawn, const std::vector<Span> &grown);
    // The bands of every row given, and the tracer finished; rows from height on have none.
    void finish(int height);

    qint32 rowTop(qint64 k) const;

private:
    struct State;
    std::unique_ptr<State> m;
};

} // namespace kcore
