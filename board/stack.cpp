// The rows of a stack's layers, a few rows of the artwork held at a time.
#include "stack.h"

#include "image/bwimage.h"
#include "image/runs.h"
#include "image/vectordocument.h"

#include <QImage>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kcore {

int stackLayerNumber(StackLayer layer, bool bottom)
{
    static constexpr int numbers[2][stackLayerCount] = {{1, 21, 26}, {2, 28, 29}};
    return numbers[bottom][int(layer)];
}

LayerKind stackLayerKind(StackLayer layer, bool bottom)
{
    switch (layer) {
    case StackLayer::Copper:
        return bottom ? LayerKind::BottomCopper : LayerKind::TopCopper;
    case StackLayer::Mask:
        return bottom ? LayerKind::BottomMask : LayerKind::TopMask;
    default:
        return bottom ? LayerKind::BottomSilk : LayerKind::TopSilk;
    }
}

QString stackLayerKey(StackLayer layer)
{
    static const char *const keys[stackLayerCount] = {"copper", "mask", "silk"};
    return QString::fromLatin1(keys[int(layer)]);
}

namespace {

class HalftonePlanes : public PlaneSource
{
public:
    HalftonePlanes(std::unique_ptr<RowStream> rows, int plane, bool bottom, bool edges)
        : m_rows(std::move(rows)), m_plane(plane), m_bottom(bottom), m_edges(edges)
    { }
    QSize size() const override { return m_rows->size(); }
    int sides() const override { return m_bottom ? 2 : 1; }
    bool row(int y, uchar *const *planes) override
    {
        const quint32 *bits = m_rows->row(y);
        if (!bits)
            return false;
        const GreyLevels levels = m_edges ? m_rows->edgeLevels(y) : GreyLevels();
        const int width = size().width();
        uchar *out = planes[(m_bottom ? planeCount : 0) + m_plane];
        for (int x = 0; x < width; ++x) {
            const uchar v = levels.levels ? levels.levels[qsizetype(x) * levels.step]
                                          : ((bits[x] & 0xffu) ? 255 : 0);
            // The bottom's art mirrored: it is seen through the board.
            out[m_bottom ? width - 1 - x : x] = v;
        }
        return true;
    }

private:
    std::unique_ptr<RowStream> m_rows;
    int m_plane;
    bool m_bottom;
    bool m_edges;
};

} // namespace

std::unique_ptr<PlaneSource> halftoneSource(std::unique_ptr<RowStream> rows, Finish finish,
                                            bool bottom, bool edges)
{
    const int plane = finish == Finish::Copper ? CopperPlane
            : finish == Finish::Gold           ? GoldPlane
            : finish == Finish::Bare           ? OpeningPlane
                                               : SilkPlane;
    return std::make_unique<HalftonePlanes>(std::move(rows), plane, bottom, edges);
}

namespace {

class PaletteSource : public PlaneSource
{
public:
    PaletteSource(const QImage &colour, const QSize &grid, const Palette &palette, bool bottom)
        : m_colour(colour), m_size(grid), m_reader(palette), m_tally(int(palette.size())),
          m_bottom(bottom), m_columns(pickedIndices(colour.width(), grid.width(), true)),
          m_rows(pickedIndices(colour.height(), grid.height(), false)),
          m_line(size_t(colour.width()))
    { }
    QSize size() const override { return m_size; }
    int sides() const override { return m_bottom ? 2 : 1; }
    // A page drawn band by band as renderVectorPage() draws it, over paper of the board's
    // colour: never held whole.
    PaletteSource(const VectorDocument &document, const QSize &grid, double pixelsPerMil,
                  const Palette &palette, bool bottom)
        : m_size(grid), m_reader(palette), m_tally(int(palette.size())), m_bottom(bottom),
          m_document(&document), m_pixelsPerMil(pixelsPerMil), m_paper(paletteBoard(palette))
    { }
    bool row(int y, uchar *const *planes) override
    {
        if (m_document) {
            const int top = y / vectorBandRows * vectorBandRows;
            if (top != m_bandTop) {
                m_band = m_document->renderRows(m_size.width(), top,
                                                std::min(vectorBandRows, m_size.height() - top),
                                                m_pixelsPerMil, m_paper);
                m_bandTop = top;
            }
            if (m_band.isNull())
                return false;
            m_colour = m_band;
            m_rows.assign(1, y - top);
            m_columns.clear();
            return readRow(0, planes);
        }
        return readRow(y, planes);
    }
    const PaletteTally *tally() const override { return &m_tally; }

private:
    bool readRow(int y, uchar *const *planes)
    {
        // ARGB32 and RGB32 read in place; any other format as QImage::pixel() reads it.
        const int from = m_rows[size_t(y)];
        const QImage::Format format = m_colour.format();
        const QRgb *line = reinterpret_cast<const QRgb *>(m_colour.constScanLine(from));
        const QRgb opaque = format == QImage::Format_RGB32 ? 0xff000000u : 0;
        if (format != QImage::Format_ARGB32 && format != QImage::Format_RGB32) {
            const QImage converted = m_colour.copy(0, from, m_colour.width(), 1)
                                             .convertToFormat(QImage::Format_ARGB32);
            if (converted.isNull())
                return false;
            std::copy_n(reinterpret_cast<const QRgb *>(converted.constScanLine(0)), m_line.size(),
                        m_line.begin());
            line = m_line.data();
        }
        uchar *const *side = planes + (m_bottom ? planeCount : 0);
        const int width = m_size.width();
        const bool picked = width != m_colour.width();
        // The bottom's art mirrored: it is seen through the board.
        const int step = m_bottom ? -1 : 1;
        uchar *copper = side[CopperPlane] + (m_bottom ? width - 1 : 0);
        uchar *gold = side[GoldPlane] + (m_bottom ? width - 1 : 0);
        uchar *bare = side[OpeningPlane] + (m_bottom ? width - 1 : 0);
        uchar *silk = side[SilkPlane] + (m_bottom ? width - 1 : 0);
        // Art comes in areas of one colour: a pixel like the last is read as it was, and tallied
        // with it once its run ends.
        QRgb last = ~(line[picked ? m_columns[0] : 0] | opaque);
        FinishShares shares{};
        const FinishReading *reading = nullptr;
        qint64 run = 0;
        for (int x = 0; x < width; ++x) {
            const QRgb pixel = line[picked ? m_columns[size_t(x)] : x] | opaque;
            if (pixel != last) {
                if (run)
                    m_tally.add(*reading, last, run);
                reading = &m_reader.reading(pixel);
                shares = reading->shares;
                last = pixel;
                run = 0;
            }
            ++run;
            const qsizetype at = qsizetype(x) * step;
            copper[at] = shares[int(Finish::Copper)];
            gold[at] = shares[int(Finish::Gold)];
            bare[at] = shares[int(Finish::Bare)];
            silk[at] = shares[int(Finish::Silk)];
        }
        if (run)
            m_tally.add(*reading, last, run);
        return true;
    }

    QImage m_colour;
    QSize m_size;
    FinishReader m_reader;
    PaletteTally m_tally;
    bool m_bottom;
    std::vector<int> m_columns, m_rows;
    std::vector<QRgb> m_line;
    const VectorDocument *m_document = nullptr;
    double m_pixelsPerMil = 0;
    QRgb m_paper = 0;
    QImage m_band;
    int m_bandTop = -1;
};

class LayerSource : public PlaneSource
{
public:
    LayerSource(const std::vector<DrawnLayer> &layers, const QSize &grid)
        : m_layers(layers), m_size(grid)
    {
        for (const DrawnLayer &layer : layers)
            m_sides |= 1 << layer.side;
    }
    QSize size() const override { return m_size; }
    int sides() const override { return m_sides ? m_sides : 1; }
    bool row(int y, uchar *const *planes) override
    {
        const int width = m_size.width();
        for (const DrawnLayer &layer : m_layers) {
            uchar *to = planes[layer.side * planeCount + layer.plane];
            const uchar *from = layer.coverage.constScanLine(y);
            for (int x = 0; x < width; ++x) {
                const uchar c = from[layer.mirrored ? width - 1 - x : x];
                to[x] = std::max(to[x], c);
            }
        }
        return true;
    }

private:
    std::vector<DrawnLayer> m_layers;
    QSize m_size;
    int m_sides = 0;
};

constexpr uchar coveredAbove = stackThreshold;

} // namespace

bool planeOfLabel(const QString &label, bool bottom, int *side, int *plane, bool *mirrored)
{
    const QString l = label.trimmed();
    struct Name
    {
        const char *name;
        int side, plane;
    };
    static constexpr Name names[] = {
            {"F.Cu", 0, CopperPlane},       {"B.Cu", 1, CopperPlane},
            {"F.Mask", 0, OpeningPlane},    {"B.Mask", 1, OpeningPlane},
            {"F.SilkS", 0, SilkPlane},      {"B.SilkS", 1, SilkPlane},
            {"F.Silkscreen", 0, SilkPlane}, {"B.Silkscreen", 1, SilkPlane},
            {"top-copper", 0, CopperPlane}, {"bottom-copper", 1, CopperPlane},
            {"top-mask", 0, OpeningPlane},  {"bottom-mask", 1, OpeningPlane},
            {"top-silk", 0, SilkPlane},     {"bottom-silk", 1, SilkPlane},
    };
    *mirrored = false;
    for (const Name &n : names) {
        if (l.compare(QLatin1String(n.name), Qt::CaseInsensitive) == 0) {
            *side = n.side;
            *plane = n.plane;
            return true;
        }
    }
    Finish finish;
    if (!finishFromKey(l, &finish))
        return false;
    static constexpr int planes[finishCount]
            = {-1, CopperPlane, GoldPlane, OpeningPlane, SilkPlane};
    *side = bottom ? 1 : 0;
    *plane = planes[int(finish)];
    *mirrored = bottom;
    return true;
}

std::unique_ptr<PlaneSource> layerSource(const std::vector<DrawnLayer> &layers, const QSize &grid)
{
    return std::make_unique<LayerSource>(layers, grid);
}

std::unique_ptr<PlaneSource> paletteSource(const VectorDocument &document, const QSize &grid,
                                           double pixelsPerMil, const Palette &palette, bool bottom)
{
    return std::make_unique<PaletteSource>(document, grid, pixelsPerMil, palette, bottom);
}

std::unique_ptr<PlaneSource> paletteSource(const QImage &colour, const QSize &grid,
                                           const Palette &palette, bool bottom)
{
    return std::make_unique<PaletteSource>(colour, grid, palette, bottom);
}

// One side's rows: the planes of the rows around the current one (and their gold as words),
// and the current row's layers.
struct StackRows::Side
{
    explicit Side(int width, int ring)
        : planes(size_t(ring) * planeCount, std::vector<uchar>(size_t(width))),
          goldBits(size_t(ring), std::vector<quint32>(size_t(width))), copperLevels(size_t(width)),
          silkLevels(size_t(width)), blocked(size_t(width)), copperBits(size_t(width)),
          openingBits(size_t(width)), silkBits(size_t(width)), openingsBits(size_t(width))
    { }
    std::vector<uchar> &plane(int slot, int p) { return planes[size_t(slot * planeCount + p)]; }
    std::vector<std::vector<uchar>> planes;
    std::vector<std::vector<quint32>> goldBits;
    std::vector<uchar> copperLevels, silkLevels, blocked;
    std::vector<quint32> copperBits, openingBits, silkBits, openingsBits;
    const uchar *gold = nullptr, *opening = nullptr;
    const quint32 *goldRow = nullptr, *goldBelow = nullptr;
};

namespace {

// White words where the level passes the threshold: a loop the compiler makes vector code of.
inline quint32 word(uchar level)
{
    return level > coveredAbove ? 0xffffffffu : 0xff000000u;
}

} // namespace

StackRows::StackRows(std::unique_ptr<PlaneSource> source, double pitchMils,
                     double maskExpansionMils)
    : m_source(std::move(source)), m_size(m_source->size()), m_sides(m_source->sides())
{
    // Silkscreen and a gold opening, each a line of one pitch around its pixels' centres, overlap
    // when the centres come nearer than a pitch and the expansion. An opening that shrinks keeps
    // the silkscreen off its copper all the same.
    const double reach = std::max(1.0, (pitchMils + maskExpansionMils) / pitchMils);
    m_reach2 = reach * reach;
    m_reachRows = int(std::ceil(reach)) - 1;
    const int ring = 2 * std::max(m_reachRows, 1) + 2;
    for (int s = 0; s < 2; ++s)
        m_side.push_back((m_sides >> s & 1) ? std::make_unique<Side>(m_size.width(), ring)
                                            : nullptr);
}

StackRows::~StackRows() = default;

bool StackRows::fetch(int y)
{
    const int ring = 2 * std::max(m_reachRows, 1) + 2;
    uchar *planes[2 * planeCount] = {};
    for (int s = 0; s < 2; ++s) {
        if (!m_side[size_t(s)])
            continue;
        for (int p = 0; p < planeCount; ++p) {
            std::vector<uchar> &row = m_side[size_t(s)]->plane(y % ring, p);
            std::fill(row.begin(), row.end(), uchar(0));
            planes[s * planeCount + p] = row.data();
        }
    }
    if (!m_source->row(y, planes))
        return false;
    const int width = m_size.width();
    for (int s = 0; s < 2; ++s) {
        if (!m_side[size_t(s)])
            continue;
        const uchar *gold = planes[s * planeCount + GoldPlane];
        quint32 *bits = m_side[size_t(s)]->goldBits[size_t(y % ring)].data();
        for (int x = 0; x < width; ++x)
            bits[x] = word(gold[x]);
    }
    return true;
}

namespace {

// Loops of one thing each, over pointers that share nothing: each becomes vector code.
int coveredIn(const uchar *__restrict levels, int width)
{
    int n = 0;
    for (int x = 0; x < width; ++x)
        n += levels[x] > coveredAbove;
    return n;
}

void toWords(const uchar *__restrict levels, quint32 *__restrict to, int width)
{
    for (int x = 0; x < width; ++x)
        to[x] = word(levels[x]);
}

} // namespace

bool StackRows::advance(int y)
{
    const int height = m_size.height(), width = m_size.width();
    const int ahead = std::max(m_reachRows, 1);
    const int ring = 2 * ahead + 2;
    for (int want = std::min(height - 1, y + ahead); m_fetched < want;)
        if (!fetch(++m_fetched))
            return false;
    for (int s = 0; s < 2; ++s) {
        Side *side = m_side[size_t(s)].get();
        if (!side)
            continue;
        StackCounts &counts = m_counts[size_t(s)];
        const int slot = y % ring;
        const uchar *copper = side->plane(slot, CopperPlane).data();
        const uchar *gold = side->gold = side->plane(slot, GoldPlane).data();
        const uchar *opening = side->opening = side->plane(slot, OpeningPlane).data();
        const uchar *silk = side->plane(slot, SilkPlane).data();
        const quint32 *goldBits = side->goldRow = side->goldBits[size_t(slot)].data();
        side->goldBelow = y + 1 < height ? side->goldBits[size_t((y + 1) % ring)].data() : nullptr;
        uchar *copperLevels = side->copperLevels.data(), *blocked = side->blocked.data();
        quint32 *copperBits = side->copperBits.data(), *openingBits = side->openingBits.data(),
                *openingsBits = side->openingsBits.data();
        const auto covered = [width](const uchar *levels) { return coveredIn(levels, width); };
        const auto words
                = [width](const uchar *levels, quint32 *to) { toWords(levels, to, width); };
        [](const uchar *__restrict a, const uchar *__restrict b, uchar *__restrict sum, int n) {
            for (int x = 0; x < n; ++x)
                sum[x] = uchar(std::min(255, a[x] + b[x]));
        }(copper, gold, copperLevels, width);
        words(copperLevels, copperBits);
        words(opening, openingBits);
        [](const quint32 *__restrict a, const quint32 *__restrict b, quint32 *__restrict both,
           int n) {
            for (int x = 0; x < n; ++x)
                both[x] = a[x] | b[x];
        }(openingBits, goldBits, openingsBits, width);
        [](const uchar *__restrict levels, uchar *__restrict to, int n) {
            for (int x = 0; x < n; ++x)
                to[x] = levels[x] > coveredAbove;
        }(opening, blocked, width);
        int openingsCount = 0;
        for (int x = 0; x < width; ++x)
            openingsCount += openingsBits[x] & 1;
        counts.planes[CopperPlane] += covered(copper);
        counts.planes[GoldPlane] += covered(gold);
        counts.planes[OpeningPlane] += covered(opening);
        counts.planes[SilkPlane] += covered(silk);
        counts.layers[0] += covered(copperLevels);
        counts.layers[1] += openingsCount;

        clearSilk(*side, y, ring, &counts);
    }
    return true;
}

// The silkscreen of row y kept off the openings, counted.
void StackRows::clearSilk(Side &side, int y, int ring, StackCounts *counts) const
{
    const int height = m_size.height(), width = m_size.width();
    uchar *blocked = side.blocked.data();
    const uchar *silk = side.plane(y % ring, SilkPlane).data();
    // Where the silkscreen would touch an opening: gold's grown by the reach, row by row of
    // the rows within it, and the openings as drawn.
    for (int dy = -m_reachRows; dy <= m_reachRows; ++dy) {
        if (y + dy < 0 || y + dy >= height)
            continue;
        const int across = int(std::ceil(std::sqrt(m_reach2 - double(dy) * dy))) - 1;
        forEachRun(side.goldBits[size_t((y + dy) % ring)].data(), width, [&](int x, int n) {
            std::fill(blocked + std::max(0, x - across), blocked + std::min(width, x + n + across),
                      uchar(1));
        });
    }
    uchar *silkLevels = side.silkLevels.data();
    int cleared = 0;
    for (int x = 0; x < width; ++x)
        cleared += blocked[x] & (silk[x] > coveredAbove);
    [](const uchar *__restrict off, const uchar *__restrict levels, uchar *__restrict kept, int n) {
        for (int x = 0; x < n; ++x)
            kept[x] = off[x] ? 0 : levels[x];
    }(blocked, silk, silkLevels, width);
    toWords(silkLevels, side.silkBits.data(), width);
    counts->layers[2] += coveredIn(silkLevels, width);
    counts->silkCleared += cleared;
}

LayerRow StackRows::copper(int side) const
{
    const Side &s = *m_side[size_t(side)];
    return {s.copperBits.data(), s.copperLevels.data()};
}

LayerRow StackRows::gold(int side) const
{
    const Side &s = *m_side[size_t(side)];
    return {s.goldRow, s.gold};
}

LayerRow StackRows::opening(int side) const
{
    const Side &s = *m_side[size_t(side)];
    return {s.openingBits.data(), s.opening};
}

LayerRow StackRows::silk(int side) const
{
    const Side &s = *m_side[size_t(side)];
    return {s.silkBits.data(), s.silkLevels.data()};
}

LayerRow StackRows::openings(int side) const
{
    return {m_side[size_t(side)]->openingsBits.data(), nullptr};
}

LayerRow StackRows::goldBelow(int side) const
{
    return {m_side[size_t(side)]->goldBelow, nullptr};
}

} // namespace kcore
