// Unit arithmetic and the texts that show lengths to the user.
#include "units.h"

#include "linegeometry.h"

#include <cmath>

namespace kcore {

namespace {

bool validUnit(int unit)
{
    return unit >= UnitMils && unit <= UnitInches;
}

} // namespace

bool parseLineWidth(const QString &text, double *value)
{
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

double linePitch(const QString &text, int unit, bool *isNumber)
{
    double v = 0;
    const bool ok = parseLineWidth(text, &v) && validUnit(unit);
    if (isNumber)
        *isNumber = ok;
    return ok ? v * mils_per_unit[unit] : 0.0;
}

QString convertLineWidth(double number, int oldUnit, int newUnit)
{
    if (!validUnit(oldUnit) || !validUnit(newUnit))
        return QString();
    const double x = number * unit_factor[oldUnit * 3 + newUnit];
    return newUnit == UnitMils ? QString::asprintf("%6.1f", x) : QString::asprintf("%6.4f", x);
}

QString lineWidthProblem(const QString &text, int unit)
{
    const QString smallest = QStringLiteral(
            "The smallest line width a board file can carry is 1 mil (0.0254 mm, 0.001 inch).");
    bool isNumber = false;
    const double pitch = linePitch(text, unit, &isNumber);
    if (!isNumber)
        return QStringLiteral("The line width \"%1\" is not a number.\n%2")
                .arg(text.trimmed(), smallest);
    if (pitch <= 0)
        return QStringLiteral("The line width must be greater than 0; \"%1\" is not.\n%2")
                .arg(text.trimmed(), smallest);
    // 1e-9 lets 0.0254 mm through whatever its last bit, and still keeps every row of the
    // largest image on a coordinate of its own.
    if (pitch < 1 - 1e-9)
        return QStringLiteral("The line width %1 is below 1 mil: rows would fall onto the "
                              "same coordinate and lines would be 0 mil wide.\n%2")
                .arg(lengthText(pitch, unit), smallest);
    return QString();
}

QSizeF actualSizeMils(const QSize &bw, const PadsSettings &settings)
{
    // Pixel edges, not centres: the extent is the same with or without exact ends.
    PadsSettings edges = settings;
    edges.exactEnds = false;
    const LineGeometry g(edges);
    return QSizeF(g.mils(g.x(bw.width())), g.mils(g.y(0, bw.height())));
}

SizeTexts actualSizeTexts(const QSize &bw, const PadsSettings &settings)
{
    if (!(settings.pitch > 0))
        return {QStringLiteral("---"), QStringLiteral("---"), QStringLiteral("---")};
    const QSizeF size = actualSizeMils(bw, settings);
    const double wm = size.width();
    const double hm = size.height();
    return {QString::asprintf("%4.0fx%4.0f mils", wm, hm),
            QString::asprintf("%4.1fx%4.1f mm", wm * mmPerMil, hm * mmPerMil),
            QString::asprintf("%4.3fx%4.3f \"", wm / 1000, hm / 1000)};
}

namespace {

// A number to decimals places, without the zeros that end it.
QString trimmedNumber(double value, int decimals)
{
    QString t = QString::number(value, 'f', decimals);
    if (t.contains(QLatin1Char('.'))) {
        while (t.endsWith(QLatin1Char('0')))
            t.chop(1);
        if (t.endsWith(QLatin1Char('.')))
            t.chop(1);
    }
    // A tiny negative rounded to nothing is nothing.
    return t == QLatin1String("-0") ? QStringLiteral("0") : t;
}

} // namespace

QString milsText(double mils)
{
    return trimmedNumber(mils, 3);
}

int lengthDecimals(int unit)
{
    return unit == UnitMillimetres ? 4 : unit == UnitInches ? 5 : 3;
}

QString unitSymbol(int unit)
{
    return unit == UnitMillimetres ? QStringLiteral("mm")
            : unit == UnitInches   ? QStringLiteral("inch")
                                   : QStringLiteral("mil");
}

QString lengthText(double mils, int unit)
{
    if (!validUnit(unit))
        unit = UnitMils;
    return trimmedNumber(mils / mils_per_unit[unit], lengthDecimals(unit)) + QLatin1Char(' ')
            + unitSymbol(unit);
}

} // namespace kcore
