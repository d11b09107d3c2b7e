// The finished board of a stack: its side's layers gathered into one plan on the grid, and drawn
// from it in the colours of mask, plating and silkscreen.
#include "stackboard.h"

#include "core/conversion.h"
#include "export/artworkwriter.h"
#include "image/imagealloc.h"

#include <QColor>

#include <algorithm>
#include <cmath>
#include <cstring>

QStringList StackLook::maskNames()
{
    return {QStringLiteral("Green mask"), QStringLiteral("Black mask"), QStringLiteral("Blue mask"),
            QStringLiteral("Red mask"), QStringLiteral("White mask")};
}

QStringList StackLook::maskKeys()
{
    return {QStringLiteral("green"), QStringLiteral("black"), QStringLiteral("blue"),
            QStringLiteral("red"), QStringLiteral("white")};
}

QStringList StackLook::platingNames()
{
    return {QStringLiteral("ENIG, gold"), QStringLiteral("HASL, silver")};
}

QStringList StackLook::silkNames()
{
    return {QStringLiteral("White silkscreen"), QStringLiteral("Black silkscreen")};
}

namespace {

// Gold in the plan until its openings are grown; not a layer of its own.
constexpr uchar GoldBit = 8;

// Row y of the plan: bit of every pixel whose word is white.
void markRow(uchar *line, const quint32 *words, int width, uchar bit)
{
    for (int x = 0; x < width; ++x)
        if (words[x] & 0xffu)
            line[x] |= bit;
}

// Gold's openings reach past its copper by the expansion: every pixel whose centre lies within
// radius pitches of a gold pixel's square opens too. Shrunk openings keep every centre, as an
// expansion must stay above minus half a pitch.
void growOpenings(QImage &plan, double radius, const std::atomic<bool> *cancel)
{
    const int width = plan.width(), height = plan.height();
    const int reach = radius >= 0.5 ? int(std::floor(radius + 0.5)) : 0;
    for (int y = 0; y < height; ++y) {
        if (cancel && cancel->load(std::memory_order_relaxed))
            return;
        const uchar *row = plan.constScanLine(y);
        for (int x = 0; x < width;) {
            if (!(row[x] & GoldBit)) {
                ++x;
                continue;
            }
            int end = x;
            while (end < width && (row[end] & GoldBit))
                ++end;
            for (int dy = -reach; dy <= reach; ++dy) {
                const int to = y + dy;
                const double beyond = std::max(0.0, std::abs(dy) - 0.5);
                if (to < 0 || to >= height || beyond > radius)
                    continue;
                const int across = reach
                        ? int(std::floor(0.5 + std::sqrt(radius * radius - beyond * beyond)))
                        : 0;
                uchar *line = plan.scanLine(to);
                for (int i = std::max(0, x - across); i < std::min(width, end + across); ++i)
                    line[i] |= OpeningBit;
            }
            x = end;
        }
    }
}

QRgb blend(QRgb a, QRgb b, double t)
{
    const auto mix = [t](int p, int q) { return int(std::lround(p + (q - p) * t)); };
    return qRgb(mix(qRed(a), qRed(b)), mix(qGreen(a), qGreen(b)), mix(qBlue(a), qBlue(b)));
}

} // namespace

StackPlan planStack(const kcore::Conversion &conversion, const std::atomic<bool> *cancel)
{
    StackPlan plan;
    const kcore::ConversionSettings &settings = conversion.settings();
    const kcore::Source &source = conversion.source();
    const QSize grid = conversion.grid();
    const double pitch = settings.pads.pitch;
    const double expansion = settings.stack.maskExpansionMils;
    if (source.isNull() || grid.isEmpty() || !(pitch > 0)
        || !kcore::stackExpansionProblem(pitch, expansion).isEmpty())
        return plan;
    plan.layered = !source.boardLayers().isEmpty();
    std::unique_ptr<kcore::PlaneSource> planes
            = source.planes(settings, QImage(), conversion.screen());
    if (!planes) {
        plan.why = kcore::allocationProblem(QStringLiteral("the stack's planes"), grid.width(),
                                            grid.height(), QImage::Format_RGB32);
        return plan;
    }
    kcore::StackRows rows(std::move(planes), pitch, expansion);
    const bool wanted = settings.stack.bottom;
    plan.side = rows.sides() >> int(wanted) & 1 ? int(wanted) : int(!wanted);
    QImage bits = kcore::allocateImage(grid.width(), grid.height(), QImage::Format_Grayscale8);
    if (bits.isNull()) {
        plan.why = kcore::allocationProblem(QStringLiteral("the stack's board"), grid.width(),
                                            grid.height(), QImage::Format_Grayscale8);
        return plan;
    }
    const int width = grid.width(), height = grid.height();
    for (int y = 0; y < height; ++y) {
        if ((cancel && cancel->load(std::memory_order_relaxed)) || !rows.advance(y))
            return plan;
        uchar *line = bits.scanLine(y);
        std::memset(line, 0, size_t(width));
        markRow(line, rows.copper(plan.side).bits, width, CopperBit);
        markRow(line, rows.openings(plan.side).bits, width, OpeningBit);
        markRow(line, rows.silk(plan.side).bits, width, SilkBit);
        markRow(line, rows.gold(plan.side).bits, width, GoldBit);
    }
    growOpenings(bits, expansion / pitch, cancel);
    plan.counts = rows.counts(plan.side);
    if (const kcore::PaletteTally *tally = rows.tally())
        plan.tally = *tally;
    plan.palette = settings.stack.palette;
    plan.pitch = pitch;
    plan.colourKey = conversion.colour().cacheKey();
    plan.bits = bits;
    return plan;
}

QList<QRgb> stackColours(const StackLook &look)
{
    static constexpr QRgb masks[]
            = {kcore::boardColour, 0xff161616u, 0xff1b3f8fu, 0xffa01920u, 0xffececeau};
    constexpr QRgb gold = 0xffd8b13cu, silver = 0xffc9cdd2u, copper = kcore::copperColour;
    constexpr QRgb substrate = 0xffc8b48cu; // bare FR-4
    const QRgb mask = masks[std::clamp(look.mask, 0, int(std::size(masks)) - 1)];
    // The mask lies thinner over copper and lets it show through: a dark mask lighter, a light
    // one darker, both tinted by the copper.
    const QColor over(mask);
    const QRgb masked
            = blend((over.value() < 128 ? over.lighter(160) : over.darker(110)).rgb(), copper, 0.1);
    const QRgb silk = look.blackSilk ? 0xff161616u : 0xfff4f4f0u;
    QList<QRgb> colours;
    for (int b = 0; b < stackBitCombinations; ++b) {
        const bool hasCopper = look.copper && (b & CopperBit);
        const bool open = !look.maskShown || (b & OpeningBit);
        if (look.silk && (b & SilkBit))
            colours << silk;
        else if (hasCopper && open)
            colours << (!look.maskShown && !(b & OpeningBit) ? copper : look.hasl ? silver : gold);
        else if (open)
            colours << substrate;
        else
            colours << (hasCopper ? masked : mask);
    }
    return colours;
}

QImage renderStack(const QImage &plan, const QList<QRgb> &colours,
                   const kcore::PadsSettings &settings, const kcore::BoardViewport &viewport,
                   const QSize &size, bool mirrored, double mirrorAt)
{
    if (size.isEmpty())
        return QImage();
    QImage out(size, QImage::Format_RGB32);
    const QRgb none = colours.value(0, kcore::boardColour);
    out.fill(none);
    const double pitch = settings.pitch;
    if (plan.isNull() || !(pitch > 0) || colours.size() < stackBitCombinations)
        return out;
    const int width = plan.width(), height = plan.height();
    // Pixel (i, j) of the grid spans x from i to i + 1 pitches and y a pitch around its row's
    // centre line, (height - j) pitches up, as the file places its items.
    std::vector<int> columns(size_t(size.width()));
    for (int i = 0; i < size.width(); ++i) {
        double x = viewport.left + (i + 0.5) * viewport.milsPerPixel;
        if (mirrored)
            x = mirrorAt - x;
        const double column = std::floor(x / pitch);
        columns[size_t(i)] = column >= 0 && column < width ? int(column) : -1;
    }
    for (int j = 0; j < size.height(); ++j) {
        const double y = viewport.top - (j + 0.5) * viewport.milsPerPixel;
        const double row = std::floor(height + 0.5 - y / pitch);
        if (row < 0 || row >= height)
            continue;
        const uchar *from = plan.constScanLine(int(row));
        auto *to = reinterpret_cast<QRgb *>(out.scanLine(j));
        for (int i = 0; i < size.width(); ++i)
            if (columns[size_t(i)] >= 0)
                to[i] = colours[from[columns[size_t(i)]] & (stackBitCombinations - 1)];
    }
    return out;
}
