// Texts of the fab check, shared by the window's status bar and kestrel-convert's summary.
#include "fabcheck.h"

#include "geometry/layers.h"
#include "geometry/linegeometry.h"
#include "geometry/units.h"

#include <QLocale>

namespace kcore {

FabCheck fabCheck(const FileBudget &budget, const PadsSettings &settings, double minLineMils)
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
    return QStringLiteral("%1, layer %2: %3 %4, %5 bytes, line %6 mil (%7), %8 ppi")
            .arg(kindName(c.kind))
            .arg(c.layer)
            .arg(grouped.toString(c.items), c.noun, grouped.toString(c.bytes), milsText(c.lineMils),
                 lengthText(c.lineMils, UnitMillimetres))
            .arg(qRound(c.pixelsPerInch));
}

namespace {

// "12 pixels of ink are finer than limit".
QString thinInkWarning(const FabCheck &c, const QString &limit)
{
    return QStringLiteral("%1 of ink %2 finer than %3")
            .arg(c.thinInk == 1 ? QStringLiteral("1 pixel")
                                : QStringLiteral("%1 pixels").arg(c.thinInk),
                 c.thinInk == 1 ? QStringLiteral("is") : QStringLiteral("are"), limit);
}

} // namespace

QString fabWarning(const FabCheck &c)
{
    if (!c.belowMinimum())
        return QString();
    const QString limit
            = QStringLiteral("the %1 mil (%2) the board maker can make")
                      .arg(milsText(c.minLineMils), lengthText(c.minLineMils, UnitMillimetres));
    return c.inkJudged ? thinInkWarning(c, limit) : QStringLiteral("finer than ") + limit;
}

QString lineWarning(const FabCheck &c, int unit)
{
    if (!c.belowMinimum())
        return QString();
    const QString limit = QStringLiteral("the %1 the board maker can make")
                                  .arg(lengthText(c.minLineMils, unit));
    if (c.inkJudged)
        return thinInkWarning(c, limit);
    return QStringLiteral("the %1 line is finer than %2").arg(lengthText(c.lineMils, unit), limit);
}

} // namespace kcore
