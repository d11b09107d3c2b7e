// What the file draws from a black-and-white image: every run of white pixels of a row as an item
// of the line geometry, its ends on the pixel grid or on the grey picture's edges. The writers,
// the space check and the Board view all take their items from here.
#pragma once

#include "geometry/linegeometry.h"
#include "geometry/padssettings.h"
#include "image/bwimage.h"
#include "image/edgegrey.h"
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

// A black-and-white image already built, with its grey levels for smooth edges (null when they
// are off or do not fit), handed out as a stream of rows.
class ImageRows : public RowStream
{
public:
    ImageRows(const QImage &bw, const QImage &edgeGrey, const PadsSettings &settings);
    QSize size() const override { return m_words.size(); }
    const quint32 *row(int y) override
    {
        return reinterpret_cast<const quint32 *>(m_words.constScanLine(y));
    }
    GreyLevels edgeLevels(int y) override;

private:
    QImage m_words;
    QImage m_edges;
};

// Calls visit(row, y, edges) for every row of rows from the top, with the grey levels of the row
// when smooth edges are on, until visit returns false: the one walk the writers, the space check
// and the converter take. False when a row could not be had (memory ran out for a drawn band, or
// a picture read as it goes turned out damaged: rows.failure() then says so).
template<typename Visit>
bool forEachRow(RowStream &rows, const PadsSettings &settings, Visit &&visit)
{
    const QSize size = rows.size();
    for (int y = 0; y < size.height(); ++y) {
        const quint32 *row = rows.row(y);
        if (!row)
            return false;
        std::optional<EdgeRow> edges;
        if (settings.smoothEdges) {
            const GreyLevels grey = rows.edgeLevels(y);
            if (grey.levels)
                edges.emplace(grey.levels, grey.step, size.width(), settings.threshold);
            else if (!rows.failure().isEmpty())
                return false; // the picture's levels could not be read
        }
        if (!visit(row, y, edges ? &*edges : nullptr))
            break;
    }
    return true;
}

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
