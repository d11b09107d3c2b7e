// What a written file puts on the board, measured on its own: the file read back as round-ended
// lines, drawn onto a fine raster, and its ink and spaces measured by distance transforms and by a
// morphological opening and closing. Shares no code with the writers or the fab check.
#pragma once

#include <QByteArray>
#include <QRectF>

#include <functional>
#include <vector>

namespace boardcheck {

// One LINES item of a file: a line of width from (x0, y0) to (x1, y1), in mils, y up.
struct Stroke
{
    double x0, y0, x1, y1, width;
    int layer;
};

// Every item of a file in either layout, its unit read from the header (mils or millimetres).
std::vector<Stroke> readStrokes(const QByteArray &file);

// The strokes drawn onto a grid of step mils: a sample is ink when its centre lies within half a
// line width of a stroke's segment. Row 0 is the top (largest y).
struct Raster
{
    double step = 1;
    double left = 0, top = 0; // the board position of sample (0, 0)'s corner
    int width = 0, height = 0;
    std::vector<unsigned char> ink;
    bool at(int x, int y) const { return ink[size_t(y) * size_t(width) + size_t(x)]; }
    // The board area of sample (x, y): x from left, y down from top.
    QPointF centre(int x, int y) const { return {left + (x + 0.5) * step, top - (y + 0.5) * step}; }
};
Raster rasterize(const std::vector<Stroke> &strokes, double step, const QRectF &bounds);

// What the board gets, measured against a line limit and a space limit (mils).
struct Measures
{
    int inkShapes = 0; // pieces of ink apart from each other: the dots, and the webs of the holes
    int holes = 0; // spaces that ink encloses
    double smallestInk = 0; // the smallest piece of ink's largest disc across, mils
    double smallestHole = 0; // the same for the smallest hole
    double smallestGap = 0; // the nearest two pieces of ink come
    double narrowestWeb = 0; // the nearest two spaces come: the ink between two holes
    // Pieces of ink the opening by a disc of the line limit splits (a neck narrower than it), and
    // spaces the closing by one of the space limit splits or fills (a hole or channel narrower).
    int splitInk = 0, narrowSpaces = 0;
    QPointF narrowestWebAt, smallestGapAt, smallestInkAt; // where they are, mils
};
// tolerance: how much finer than a limit a measure may come out for the raster's sake (mils).
Measures measure(const Raster &raster, double lineLimit, double spaceLimit, double tolerance);

// The ink's share of the board within rect (mils, y up).
double coverage(const Raster &raster, const QRectF &rect);

} // namespace boardcheck
