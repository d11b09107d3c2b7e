// The warnings of a result that writes nothing, covers everything, or reads unknown colours.
#include "warnings.h"

#include "geometry/layers.h"

#include <QColor>

#include <algorithm>

namespace kcore {

namespace {

// What a picture's grey levels say about a threshold that leaves it all one colour.
QString greyCause(const GreyRange &greys, const ConversionSettings &s, const QString &advice)
{
    if (!greys.known)
        return advice;
    const int t = s.pads.threshold;
    if (greys.low == greys.high)
        return QStringLiteral("The picture is one flat grey (%1), which no threshold divides.")
                .arg(greys.low);
    const QString range
            = QStringLiteral("Its greys run from %1 to %2").arg(greys.low).arg(greys.high);
    // Both sides of the threshold are in the picture, yet not in the image: the scale left out
    // the pixels that differ.
    if (greys.low <= t && greys.high > t)
        return range
                + QStringLiteral(", but at %1 % the pixels on the other side of the threshold are "
                                 "left out.")
                          .arg(s.scalePercent);
    return range + QStringLiteral(". ") + advice;
}

// The palette colour most of the picture is nearest, and what it reads as.
QString commonestColour(const PaletteTally &tally, const Palette &palette)
{
    int most = -1;
    for (int i = 0; i < palette.size(); ++i)
        if (most < 0 || tally.nearest(i) > tally.nearest(most))
            most = i;
    if (most < 0 || tally.pixels() <= 0)
        return QString();
    return QStringLiteral(" (most of the picture is nearest %1, read as %2)")
            .arg(QColor(palette[most].colour).name().toUpper(), finishKey(palette[most].finish));
}

} // namespace

QString coverageWarning(Coverage coverage, const ConversionSettings &s, const GreyRange &greys)
{
    const int t = s.pads.threshold;
    const QString inverted = s.invert ? QStringLiteral("Invert is on and ") : QString();
    // White is grey above the threshold, swapped by Invert.
    const bool allAbove = (coverage == Coverage::Nothing) == s.invert;
    const QString where = allAbove
            ? QStringLiteral("every pixel is above the threshold %1").arg(t)
            : QStringLiteral("every pixel is at or below the threshold %1").arg(t);
    switch (coverage) {
    case Coverage::Part:
        return QString();
    case Coverage::Nothing:
        return QStringLiteral("The file holds no item: ") + inverted + where + QStringLiteral(". ")
                + greyCause(greys, s,
                            s.invert ? QStringLiteral("Raise the threshold to keep its darkest "
                                                      "parts.")
                                     : QStringLiteral("Lower the threshold to keep its lightest "
                                                      "parts."));
    case Coverage::Everything:
        return QStringLiteral("The artwork covers everything: ") + inverted + where
                + QStringLiteral(". ")
                + greyCause(greys, s,
                            s.invert ? QStringLiteral("Light artwork on a dark background needs "
                                                      "Invert off.")
                                     : QStringLiteral("Dark artwork on a light background needs "
                                                      "Invert."));
    }
    return QString();
}

QString stackCoverageWarning(const StackBudget &budget, const QSize &grid, const Palette &palette)
{
    const qint64 pixels = qint64(grid.width()) * grid.height();
    if (pixels <= 0)
        return QString();
    qint64 items = 0;
    for (const auto &side : budget.layers)
        for (const FileBudget &layer : side)
            items += layer.items;
    const QString cause = commonestColour(budget.palette, palette);
    if (items == 0)
        return budget.palette.pixels() > 0
                ? QStringLiteral("The file holds no item: every pixel reads as board") + cause
                        + QLatin1Char('.')
                : QStringLiteral("The file holds no item: the document's board layers are "
                                 "empty.");
    for (int side = 0; side < 2; ++side) {
        if (!(budget.sides >> side & 1))
            continue;
        for (int l = 0; l < stackLayerCount; ++l)
            if (budget.counts[size_t(side)].layers[size_t(l)] >= pixels)
                return QStringLiteral("The %1 covers the whole artwork")
                               .arg(kindName(stackLayerKind(StackLayer(l), side)))
                        + cause + QLatin1Char('.');
    }
    return QString();
}

QString unmatchedShare(const PaletteTally &tally)
{
    if (tally.unmatched() <= 0 || tally.pixels() <= 0)
        return QString();
    const double percent = 100.0 * double(tally.unmatched()) / double(tally.pixels());
    return percent < 0.05 ? QStringLiteral("under 0.1 %")
                          : QString::number(percent, 'f', 1) + QStringLiteral(" %");
}

QString unmatchedWarning(const PaletteTally &tally)
{
    QString share = unmatchedShare(tally);
    if (share.isEmpty())
        return share;
    share[0] = share[0].toUpper();
    return QStringLiteral("%1 of the pixels lie far from every palette colour (most like %2) and "
                          "read as the finish nearest them")
            .arg(share, QColor(tally.commonUnmatched()).name().toUpper());
}

} // namespace kcore
