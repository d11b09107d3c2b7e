// The writer of a stack: every layer's items of a row, row by row, into one file with a layer
// table naming them all.
#include "padswriter.h"

#include "board/stack.h"
#include "geometry/units.h"
#include "itemtext.h"
#include "smoothrow.h"

#include <cmath>

namespace kcore {

namespace {

// The rows' items of one layer, placed: with smooth edges from the layer's own coverage.
class Placed
{
public:
    void place(const LineGeometry &g, const LayerRow &row, int width, bool smooth)
    {
        m_x.clear();
        m_length.clear();
        if (smooth && row.levels) {
            m_smooth.place(g, row.bits, 0, width, EdgeRow(row.levels, 1, width, stackThreshold));
            for (size_t i = 0; i < m_smooth.count(); ++i)
                add(m_smooth.x(i), m_smooth.length(i));
            return;
        }
        forEachItem(g, row.bits, 0, width, nullptr,
                    [&](int, int, qint64 x, qint64 length) { add(x, length); });
    }
    void add(qint64 x, qint64 length)
    {
        m_x.push_back(x);
        m_length.push_back(length);
    }
    void clear()
    {
        m_x.clear();
        m_length.clear();
    }
    size_t count() const { return m_x.size(); }
    const qint64 *x() const { return m_x.data(); }
    const qint64 *length() const { return m_length.data(); }

private:
    SmoothRow m_smooth;
    std::vector<qint64> m_x, m_length;
};

} // namespace

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

PadsResult writeStack(StackRows &rows, const PadsSettings &settings, double maskExpansionMils,
                      QIODevice *out, const RowProgress &progress, StackBudget *budget,
                      const StackSink &alongside)
{
    const QSize size = rows.size();
    if (!padsFits(size, settings))
        return failure(pitchTooLargeMessage());
    const QString expansion = stackExpansionProblem(settings.pitch, maskExpansionMils);
    if (!expansion.isEmpty())
        return failure(expansion);
    std::vector<TableLayer> table;
    for (int side = 0; side < 2; ++side)
        if (rows.sides() >> side & 1)
            for (int l = 0; l < stackLayerCount; ++l)
                table.push_back({stackLayerNumber(StackLayer(l), side),
                                 stackLayerKind(StackLayer(l), side)});
    PadsSettings s = settings;
    s.layer = table.front().number;
    ChunkBuffer buffer(out);
    std::unique_ptr<FormatWriter> format
            = s.format == PadsFormat::V94 ? makeV94Writer(size, s, table) : makeV20Writer(size, s);
    format->begin(buffer);

    const LineGeometry g(s);
    const bool v94 = s.format == PadsFormat::V94;
    // Widths in the file's quanta: V20's whole mils never below the width asked, as every V20
    // width; a line one expansion wider on each side grows every item by exactly the expansion.
    const auto width = [&](double mils) {
        return v94 ? std::llround(mils * g.quantaPerMil()) : qint64(lineWidthMils(mils));
    };
    const qint64 lineWidth = g.width();
    const qint64 maskWidth = width(s.pitch + 2 * maskExpansionMils);
    const bool shrinks = maskExpansionMils < 0;
    // An opening that shrinks leaves a strip 2 |expansion| tall between two rows of it: a line
    // that tall along the boundary fills it.
    const qint64 fillWidth = shrinks ? width(-2 * maskExpansionMils) + (v94 ? 1 : 0) : 0;
    const int w = size.width(), h = size.height();

    StackBudget counted;
    Placed placed, below;
    const auto layer = [&](int side, StackLayer l, auto &&write) {
        const qint64 items = format->items(), bytes = buffer.total();
        write(stackLayerNumber(l, side));
        PadsBudget &b = counted.layers[size_t(side)][size_t(l)];
        b.items += format->items() - items;
        b.bytes += buffer.total() - bytes;
    };
    const auto edges = [&](const LayerRow &row) {
        return std::optional<EdgeRow>(
                s.smoothEdges ? std::optional<EdgeRow>(EdgeRow(row.levels, 1, w, stackThreshold))
                              : std::nullopt);
    };
    bool cancelled = false;
    for (int y = 0; y < h && !buffer.failed(); ++y) {
        if (progress && y % 64 == 0 && !progress(y)) {
            cancelled = true;
            break;
        }
        if (!rows.advance(y)) {
            PadsResult r = failure(QStringLiteral("there is not enough memory to draw the %1 x "
                                                  "%2 pixel page")
                                           .arg(w)
                                           .arg(h));
            r.rowsFailed = true;
            return r;
        }
        const qint64 rowY = g.y(y, h);
        for (int side = 0; side < 2; ++side) {
            if (!(rows.sides() >> side & 1))
                continue;
            // A layer's row of one pitch wide lines.
            const auto plain = [&](int number, const LayerRow &row) {
                const std::optional<EdgeRow> e = edges(row);
                format->setStyle(number, lineWidth);
                format->row(buffer, row.bits, y, e ? &*e : nullptr);
            };
            layer(side, StackLayer::Copper, [&](int number) { plain(number, rows.copper(side)); });
            layer(side, StackLayer::Mask, [&](int number) {
                // Gold's openings on its copper's own centre lines, one expansion wider each side.
                placed.place(g, rows.gold(side), w, s.smoothEdges);
                format->setStyle(number, maskWidth);
                format->items(buffer, rowY, placed.x(), placed.length(), placed.count());
                if (shrinks && rows.goldBelow(side).bits) {
                    // Where this row's gold and the next row's overlap, the strip between them.
                    const quint32 *here = rows.gold(side).bits, *next = rows.goldBelow(side).bits;
                    below.clear();
                    for (int x = 0; x < w;) {
                        if (!(here[x] & next[x] & 0xff)) {
                            ++x;
                            continue;
                        }
                        int end = x;
                        while (end < w && (here[end] & next[end] & 0xff))
                            ++end;
                        below.add(g.x(x), g.length(end - x));
                        x = end;
                    }
                    const qint64 between = v94
                            ? std::llround((double(h - y) - 0.5) * g.pitchQuanta())
                            : qint64(std::floor((double(h - y) - 0.5) * s.pitch + 0.5));
                    format->setStyle(number, fillWidth);
                    format->items(buffer, between, below.x(), below.length(), below.count());
                }
                plain(number, rows.opening(side));
            });
            layer(side, StackLayer::Silk, [&](int number) { plain(number, rows.silk(side)); });
            if (alongside)
                alongside(rows, side, y);
        }
    }
    if (cancelled)
        return failure(cancelledMessage());
    if (!buffer.failed())
        format->end(buffer);
    PadsResult r;
    r.items = format->items();
    if (!buffer.flush()) {
        PadsResult f = failure(buffer.errorString());
        f.items = r.items;
        return f;
    }
    r.bytes = buffer.written();
    for (int side = 0; side < 2; ++side)
        counted.counts[size_t(side)] = rows.counts(side);
    counted.sides = rows.sides();
    if (const PaletteTally *tally = rows.tally())
        counted.palette = *tally;
    if (budget)
        *budget = counted;
    return r;
}

} // namespace kcore
