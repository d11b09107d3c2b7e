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

void CoverageCount::addRow(const quint32 *row, int width)
{
    for (int x = 0; x < width; ++x)
        m_white += (row[x] & 0xffu) != 0;
    m_pixels += width;
}

Coverage CoverageCount::coverage() const
{
    if (m_pixels == 0 || (m_white > 0 && m_white < m_pixels))
        return Coverage::Part;
    return m_white == 0 ? Coverage::Nothing : Coverage::Everything;
}

QString fabSummary(const FabCheck &c)
{
    QLocale grouped = QLocale::c(); // digit groups with commas, whatever the user's locale
    grouped.setNumberOptions({});
    // The layer first: where the artwork goes matters most, and a narrow status bar cuts the end.
    return QStringLiteral("%1, layer %2: %3 items, %4 bytes, line %5 mil (%6), %7 ppi")
            .arg(kindName(c.kind))
            .arg(c.layer)
            .arg(grouped.toString(c.items), grouped.toString(c.bytes), milsText(c.lineMils),
                 lengthText(c.lineMils, UnitMillimetres))
            .arg(qRound(c.pixelsPerInch));
}

QString fabWarning(const FabCheck &c)
{
    if (!c.belowMinimum())
        return QString();
    return QStringLiteral("finer than the %1 mil (%2) the board maker can make")
            .arg(milsText(c.minLineMils), lengthText(c.minLineMils, UnitMillimetres));
}

QString lineWarning(const FabCheck &c, int unit)
{
    if (!c.belowMinimum())
        return QString();
    return QStringLiteral("the %1 line is finer than the %2 the board maker can make")
            .arg(lengthText(c.lineMils, unit), lengthText(c.minLineMils, unit));
}

} // namespace kcore
