// Texts of the fab check, shared by the window's status bar and kestrel-convert's summary.
#include "fabcheck.h"

#include "geometry/layers.h"
#include "geometry/linegeometry.h"
#include "geometry/units.h"

#include <QLocale>

namespace kcore {

FabCheck fabCheck(const PadsBudget &budget, const PadsSettings &settings, double minLineMils)
{
    const LineGeometry g(settings);
    FabCheck c;
    c.items = budget.items;
    c.bytes = budget.bytes;
    c.lineMils = g.mils(g.width());
    c.pixelsPerInch = settings.pitch > 0 ? 1000 / settings.pitch : 0;
    c.minLineMils = minLineMils;
    c.kind = effectiveKind(settings);
    c.layer = settings.layer;
    return c;
}

QString fabSummary(const FabCheck &c)
{
    QLocale grouped = QLocale::c(); // digit groups with commas, whatever the user's locale
    grouped.setNumberOptions({});
    // The layer first: where the artwork goes matters most, and a narrow status bar cuts the end.
    return QStringLiteral("%1, layer %2: %3 items, %4 bytes, line %5 mil (%6 mm), %7 ppi")
            .arg(kindName(c.kind))
            .arg(c.layer)
            .arg(grouped.toString(c.items), grouped.toString(c.bytes), milsText(c.lineMils))
            .arg(QString::number(c.lineMils * mmPerMil, 'f', 3))
            .arg(qRound(c.pixelsPerInch));
}

QString fabWarning(const FabCheck &c)
{
    if (!c.belowMinimum())
        return QString();
    const QString limit = QStringLiteral("the %1 mil (%2 mm) the board maker can make")
                                  .arg(milsText(c.minLineMils))
                                  .arg(QString::number(c.minLineMils * mmPerMil, 'f', 3));
    if (c.inkJudged)
        return QStringLiteral("%1 of ink %2 finer than %3")
                .arg(c.thinInk == 1 ? QStringLiteral("1 pixel")
                                    : QStringLiteral("%1 pixels").arg(c.thinInk),
                     c.thinInk == 1 ? QStringLiteral("is") : QStringLiteral("are"), limit);
    return QStringLiteral("finer than ") + limit;
}

} // namespace kcore
