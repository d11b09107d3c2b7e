// What the file draws from a black-and-white image: every run of white pixels of a row as an item
// of the line geometry, its ends on the pixel grid or on the grey picture's edges. The writers,
// the space check and the Board view all take their items from here.
#pragma once

#include "geometry/linegeometry.h"
#include "geometry/padssettings.h"
#include "image/edgerow.h"
#include "image/runs.h"

#include <QImage>
#include <QSize>

#include <optional>

namespace kcore {

// The image with rows of the 32-bit words QImage::pixel() gives, whatever its format: shared,
// not copied, for the black-and-white images kestrel builds.
QImage pixelWords(const QImage &bw);

// Whether every number the file would hold for an image of this size fits the file.
bool padsFits(const QSize &bw, const PadsSettings &settings);

// The grey levels of row y of edgeGrey, when smooth edges are on and it fits the image.
std::optional<EdgeRow> edgeRow(const QImage &edgeGrey, const QSize &bw, int y,
                               const PadsSettings &settings);

// Calls item(s, n, x, length) for every run of row[from, to), with the item's position and
// length in quanta of the geometry; with edges, the ends follow the picture's edges.
template<typename Item>
inline void forEachItem(const LineGeometry &g, const quint32 *row, int from, int to,
                        const EdgeRow *edges, Item &&item)
{
    // Two loops rather than a test per item: each keeps its own arithmetic in registers.
    if (edges) {
        forEachRun(row, from, to, [&](int s, int n) {
            qint64 x, length;
            g.between(edges->left(s), edges->right(s + n), &x, &length);
            item(s, n, x, length);
        });
    } else {
        forEachRun(row, from, to, [&](int s, int n) { item(s, n, g.x(s), g.length(n)); });
    }
}

} // namespace kcore
