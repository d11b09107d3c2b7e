// Texts of the fab check, shared by the window's status bar and kestrel-convert's summary.
#include "fabcheck.h"

#include "geometry/units.h"

#include <QLocale>

namespace kcore {

FabCheck fabCheck(const PadsBudget &budget, double pitch, double minLineMils)
{
    FabCheck c;
    c.items = budget.items;
    c.bytes = budget.bytes;
    c.lineMils = lineWidthMils(pitch);
    c.pixelsPerInch = pitch > 0 ? 1000 / pitch : 0;
    c.minLineMils = minLineMils;
    return c;
}

QString fabSummary(const FabCheck &c)
{
    QLocale grouped = QLocale::c(); // digit groups with commas, whatever the user's locale
    grouped.setNumberOptions({});
    return QStringLiteral("%1 items, %2 bytes, line %3 mil (%4 mm), %5 ppi")
            .arg(grouped.toString(c.items), grouped.toString(c.bytes))
            .arg(c.lineMils)
            .arg(QString::number(c.lineMils * mmPerMil, 'f', 3))
            .arg(qRound(c.pixelsPerInch));
}

QString fabWarning(const FabCheck &c)
{
    if (!c.belowMinimum())
        return QString();
    return QStringLiteral("finer than the %1 mil (%2 mm) the board maker can make")
            .arg(QString::number(c.minLineMils, 'g', 4))
            .arg(QString::number(c.minLineMils * mmPerMil, 'f', 3));
}

} // namespace kcore
