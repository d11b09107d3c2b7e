// Board art as a stack: one artwork's finishes as the rows of each board layer they need
// (copper, solder-mask openings, silkscreen), with the mask openings grown and the silkscreen
// kept off them, streamed a row at a time for the writer.
#pragma once

#include "geometry/padssettings.h"
#include "image/finishes.h"

#include <QImage>
#include <QSize>

#include <array>
#include <memory>
#include <vector>

namespace kcore {

// The layers of one side, in the order the file holds them.
enum class StackLayer { Copper, Mask, Silk };
constexpr int stackLayerCount = 3;

// Artwork of one side as drawn, each plane's coverage out of 255: copper under the mask, copper
// whose mask opening is grown by the expansion (gold), openings as drawn (bare substrate, or a
// mask layer drawn as its openings), silkscreen.
enum Plane { CopperPlane, GoldPlane, OpeningPlane, SilkPlane, planeCount };

struct StackSettings
{
    bool on = false;
    Palette palette = defaultPalette();
    // The side the palette's finishes go on; the bottom's art is mirrored left to right, so that
    // it reads right when the board is turned over.
    bool bottom = false;
    // How far a gold opening reaches past its copper, in mils; may be 0 or negative.
    double maskExpansionMils = 2;
    // With a halftone, the finish its dots are: silkscreen on the mask, or mask openings onto
    // gold or bare board.
    Finish halftoneFinish = Finish::Silk;
};

// Top: 1 copper, 21 solder mask, 26 silkscreen; bottom: 2, 28, 29.
int stackLayerNumber(StackLayer layer, bool bottom);
LayerKind stackLayerKind(StackLayer layer, bool bottom);
// "copper", "mask", "silk".
QString stackLayerKey(StackLayer layer);

// Where the artwork's planes come from, a row at a time from the top.
class PlaneSource
{
public:
    virtual ~PlaneSource() = default;
    virtual QSize size() const = 0;
    // The sides the artwork has: bit 0 top, bit 1 bottom.
    virtual int sides() const = 0;
    // Fills planes[side * planeCount + plane] (each width bytes, zeroed before) for row y; rows
    // come in order. False when the row cannot be had (memory).
    virtual bool row(int y, uchar *const *planes) = 0;
    // How the colours of the rows read so far went through the palette; null when the planes
    // do not come from colours.
    virtual const PaletteTally *tally() const { return nullptr; }
};

// A colour picture, or a page drawn in colour, read through the palette onto one side, picked
// to the grid as QImage::scaled() picks (the picture itself when the grid is its size).
std::unique_ptr<PlaneSource> paletteSource(const QImage &colour, const QSize &grid,
                                           const Palette &palette, bool bottom);
// The same for a vector page drawn onto the grid, a band at a time, over the palette's board
// colour; the document must outlive the source.
class VectorDocument;
std::unique_ptr<PlaneSource> paletteSource(const VectorDocument &document, const QSize &grid,
                                           double pixelsPerMil, const Palette &palette,
                                           bool bottom);

// A layer has art where its coverage passes this level.
constexpr int stackThreshold = 127;

// The side and plane an Inkscape layer's label names, on a stack whose finishes go on the
// bottom when bottom is set: KiCad's layer names (F.Cu, F.Mask, F.SilkS or F.Silkscreen, and B.
// for the bottom), kestrel's kinds (top-copper and the rest) and the finishes. plane is -1 for
// board, which draws nothing; mirrored is set for finishes on the bottom. False for a label that
// names no board layer.
bool planeOfLabel(const QString &label, bool bottom, int *side, int *plane, bool *mirrored);

// One layer of a document drawn alone, as coverage (Format_Grayscale8, the grid's size).
struct DrawnLayer
{
    QImage coverage;
    int side = 0;
    int plane = CopperPlane;
    bool mirrored = false;
};
std::unique_ptr<PlaneSource> layerSource(const std::vector<DrawnLayer> &layers, const QSize &grid);

// A halftone's rows as one finish on one side, the rest board: the finish where the rows are
// white, with their edge levels (made for stackThreshold) as its coverage when edges is set.
class RowStream;
std::unique_ptr<PlaneSource> halftoneSource(std::unique_ptr<RowStream> rows, Finish finish,
                                            bool bottom, bool edges);

// One layer's row as the writer takes it: white words where the layer has art, with its
// coverage as grey levels for smooth ends (threshold 127).
struct LayerRow
{
    const quint32 *bits = nullptr;
    const uchar *levels = nullptr;
};

// The board maker's limits for each layer of a stack, in mils: copper and silkscreen each a
// finest line and narrowest space; the mask the narrowest web left between two openings.
struct StackLimits
{
    double copperLine = 5, copperSpace = 5; // 0.127 mm
    double silkLine = 0.15 / 0.0254, silkSpace = 0.15 / 0.0254;
    double maskWeb = 0.1 / 0.0254;
};

// Counts of a stack's pixels: each plane's, each layer's (by StackLayer: the mask's are its
// openings as drawn), and the silkscreen left off openings.
struct StackCounts
{
    std::array<qint64, planeCount> planes{};
    std::array<qint64, stackLayerCount> layers{};
    qint64 silkCleared = 0;
};

// The rows each layer gets from a plane source, for a pitch and expansion.
class StackRows
{
public:
    StackRows(std::unique_ptr<PlaneSource> source, double pitchMils, double maskExpansionMils);
    ~StackRows();
    QSize size() const { return m_size; }
    int sides() const { return m_sides; }
    // Makes row y of every layer ready; rows come in order. False when it cannot be had.
    bool advance(int y);
    // Row y's copper (copper and gold), silkscreen (off every opening), and the two kinds of mask
    // opening: gold's, to be grown, and the openings as drawn.
    LayerRow copper(int side) const;
    LayerRow gold(int side) const;
    LayerRow opening(int side) const;
    LayerRow silk(int side) const;
    // Every opening of the mask as drawn, gold's and the others (bits only).
    LayerRow openings(int side) const;
    // Gold of the row below, for the mask between two rows an opening that shrinks would leave;
    // null on the last row.
    LayerRow goldBelow(int side) const;
    const StackCounts &counts(int side) const { return m_counts[size_t(side)]; }
    // How the artwork's colours read, once every row is made ready; null for a document's layers.
    const PaletteTally *tally() const { return m_source->tally(); }

private:
    struct Side;
    bool fetch(int y);
    void clearSilk(Side &side, int y, int ring, StackCounts *counts) const;

    std::unique_ptr<PlaneSource> m_source;
    QSize m_size;
    int m_sides;
    // Silkscreen this near to gold (in pixel centres, squared) would reach its grown opening.
    double m_reach2;
    int m_reachRows;
    int m_fetched = -1;
    std::vector<std::unique_ptr<Side>> m_side;
    std::array<StackCounts, 2> m_counts{};
};

} // namespace kcore
