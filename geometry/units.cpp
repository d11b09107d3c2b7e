// Unit tables and the texts that show lengths to the user.
#include "units.h"

#include <cmath>

namespace kcore {

const double mils_per_unit[3] = {1.0, 39.37007874015748, 1000.0};

const double unit_factor[9] = {
        1.0,
        0.0254,
        0.001, // from mils
        39.37007874015748,
        1.0,
        0.03937007874015748, // from millimetres
        1000.0,
        25.4,
        1.0, // from inches
};

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
    const double x = number * unit_factor[oldUnit * 3 + newUnit];
    return newUnit == UnitMils ? QString::asprintf("%6.1f", x) : QString::asprintf("%6.4f", x);
}

SizeTexts actualSizeTexts(const QSize &picture, int scalePercent, double pitch)
{
    if (pitch == 0)
        return {QStringLiteral("---"), QStringLiteral("---"), QStringLiteral("---")};
    const double f = scalePercent / 100.0;
    const double wm = picture.width() * f * pitch;
    const double hm = picture.height() * f * pitch;
    return {QString::asprintf("%4.0fx%4.0f mils", wm, hm),
            QString::asprintf("%4.1fx%4.1f mm", wm * 0.0254, hm * 0.0254),
            QString::asprintf("%4.3fx%4.3f \"", wm / 1000, hm / 1000)};
}

} // namespace kcore
