// Line width and units: the pitch in mils, unit conversion of the width text, actual-size texts.
#pragma once

#include <QSize>
#include <QString>

namespace kcore {

enum Unit { UnitMils = 0, UnitMillimetres = 1, UnitInches = 2 };

// Mils in one unit, indexed by Unit.
extern const double mils_per_unit[3];
// Factor from an old unit to a new one, at old * 3 + new.
extern const double unit_factor[9];

// Reads a line-width text: whatever QString::toDouble accepts (blanks around it allowed), as
// long as it is a finite number. "inf" and "nan" are not widths.
bool parseLineWidth(const QString &text, double *value);

// The pitch in mils for a width text in a unit; 0 when the text is not a number.
double linePitch(const QString &text, int unit, bool *isNumber = nullptr);

// The width text after a change of unit: "%6.1f" for mils, "%6.4f" otherwise.
QString convertLineWidth(double number, int oldUnit, int newUnit);

// What the three actual-size labels say for a picture, a scale and a pitch in mils.
struct SizeTexts
{
    QString mils;
    QString mm;
    QString inch;
};
SizeTexts actualSizeTexts(const QSize &picture, int scalePercent, double pitch);

} // namespace kcore
