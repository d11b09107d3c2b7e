// A stack's rows into the writer: every layer's row of the artwork, row by row, each layer's
// figures counted.
#include "artworkwriter.h"

#include "board/stack.h"
#include "geometry/units.h"

#include <cmath>
#include <optional>

namespace kcore {

QString stackExpansionProblem(double pitchMils, double maskExpansionMils, int unit)
{
    if (!std::isfinite(maskExpansionMils))
        return QStringLiteral("The mask expansion is not a number.");
    if (maskExpansionMils <= -pitchMils / 2)
        return QStringLiteral("A negative mask expansion must shrink the openings by less than "
                              "half the line width (%1).")
                .arg(lengthText(pitchMils / 2, unit));
    if (std::abs(maskExpansionMils) > 1000)
        return QStringLiteral("The mask expansion must stay within %1.")
                .arg(lengthText(1000, unit));
    return QString();
}

std::vector<ArtworkLayer> stackLayers(int sides)
{
    std::vector<ArtworkLayer> layers;
    for (int side = 0; side < 2; ++side)
        if (sides >> side & 1)
            for (int l = 0; l < stackLayerCount; ++l)
                layers.push_back({stackLayerNumber(StackLayer(l), side),
                                  stackLayerKind(StackLayer(l), side)});
    return layers;
}

namespace {

// A layer's row with its levels for smooth ends, when they are on.
std::optional<EdgeRow> edgesOf(const LayerRow &row, int width, bool smooth)
{
    if (!smooth || !row.levels)
        return std::nullopt;
    return EdgeRow(row.levels, 1, width, stackThreshold);
}

} // namespace

WriteResult writeStack(StackRows &rows, const PadsSettings &settings, double maskExpansionMils,
                       const Destination &out, const RowProgress &progress, StackBudget *budget,
                       const StackSink &alongside)
{
    const QSize size = rows.size();
    if (!artworkFits(size, settings, maskExpansionMils))
        return failure(pitchTooLargeMessage());
    const QString expansion = stackExpansionProblem(settings.pitch, maskExpansionMils);
    if (!expansion.isEmpty())
        return failure(expansion);
    const std::vector<ArtworkLayer> layers = stackLayers(rows.sides());
    std::unique_ptr<ArtworkWriter> writer;
    const WriteResult started
            = startWriting({size, settings, layers, maskExpansionMils}, out, &writer);
    if (!started.ok)
        return started;
    const int w = size.width(), h = size.height();
    const bool smooth = settings.smoothEdges;
    bool cancelled = false;
    bool ok = true;
    for (int y = 0; y < h && ok; ++y) {
        if (progress && y % 64 == 0 && !progress(y)) {
            cancelled = true;
            break;
        }
        if (!rows.advance(y)) {
            WriteResult r = failure(QStringLiteral("there is not enough memory to draw the %1 x "
                                                   "%2 pixel page")
                                            .arg(w)
                                            .arg(h));
            r.rowsFailed = true;
            return r;
        }
        // The side's layers follow each other in the writer's list.
        int first = 0;
        for (int side = 0; side < 2; ++side) {
            if (!(rows.sides() >> side & 1))
                continue;
            const auto plain = [&](StackLayer l, const LayerRow &row) {
                const std::optional<EdgeRow> e = edgesOf(row, w, smooth);
                ok = writer->writeRow(first + int(l), row.bits, y, e ? &*e : nullptr) && ok;
            };
            plain(StackLayer::Copper, rows.copper(side));
            const std::optional<EdgeRow> gold = edgesOf(rows.gold(side), w, smooth);
            ok = writer->writeGrownRow(first + int(StackLayer::Mask), rows.gold(side).bits, y,
                                       gold ? &*gold : nullptr, rows.goldBelow(side).bits)
                    && ok;
            plain(StackLayer::Mask, rows.opening(side));
            plain(StackLayer::Silk, rows.silk(side));
            if (alongside)
                alongside(rows, side, y);
            first += stackLayerCount;
        }
    }
    if (cancelled)
        return failure(cancelledMessage());
    const WriteResult r = writer->finish();
    if (!r.ok)
        return r;
    StackBudget counted;
    int first = 0;
    for (int side = 0; side < 2; ++side) {
        if (!(rows.sides() >> side & 1))
            continue;
        for (int l = 0; l < stackLayerCount; ++l)
            counted.layers[size_t(side)][size_t(l)] = writer->written(first + l);
        counted.counts[size_t(side)] = rows.counts(side);
        first += stackLayerCount;
    }
    counted.sides = rows.sides();
    if (const PaletteTally *tally = rows.tally())
        counted.palette = *tally;
    if (budget)
        *budget = counted;
    return r;
}

} // namespace kcore
