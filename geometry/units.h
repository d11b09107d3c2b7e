// Line width and units: the pitch in mils, unit conversion of the width text, actual-size texts,
// and which widths a board file can carry.
#pragma once

#include "padssettings.h"

#include <QSize>
#include <QString>

namespace kcore {

enum Unit { UnitMils = 0, UnitMillimetres = 1, UnitInches = 2 };

// Mils in one unit, indexed by Unit.
constexpr double mils_per_unit[3] = {1.0, 1 / 0.0254, 1000.0};
constexpr double mmPerMil = 0.0254;

// Factor from an old unit to a new one, at old * 3 + new. Each is mils_per_unit[old] /
// mils_per_unit[new], which gives exactly the doubles 0.0254, 25.4, 1 / 25.4 and so on.
constexpr double unit_factor[9] = {
        mils_per_unit[0] / mils_per_unit[0], mils_per_unit[0] / mils_per_unit[1],
        mils_per_unit[0] / mils_per_unit[2], mils_per_unit[1] / mils_per_unit[0],
        mils_per_unit[1] / mils_per_unit[1], mils_per_unit[1] / mils_per_unit[2],
        mils_per_unit[2] / mils_per_unit[0], mils_per_unit[2] / mils_per_unit[1],
        mils_per_unit[2] / mils_per_unit[2],
};

// Reads a line-width text: whatever QString::toDouble accepts (blanks around it allowed), as
// long as it is a finite number. "inf" and "nan" are not widths.
bool parseLineWidth(const QString &text, double *value);

// The pitch in mils for a width text in a unit; 0 when the text is not a number or the unit is
// not one of Unit.
double linePitch(const QString &text, int unit, bool *isNumber = nullptr);

// The width text after a change of unit: "%6.1f" for mils, "%6.4f" otherwise. Empty when either
// unit is not one of Unit.
QString convertLineWidth(double number, int oldUnit, int newUnit);

// Why a line width cannot be written to a board file, naming the smallest one that can; empty
// when it can. A file in mils cannot place rows closer than 1 mil apart: below that, rows fall
// onto the same coordinate and the line width rounds to 0.
QString lineWidthProblem(const QString &text, int unit);

// The extent a black-and-white image of this size has on the board, in mils: its pixel edges,
// as the Actual size labels show it.
QSizeF actualSizeMils(const QSize &bw, const PadsSettings &settings);

// What the three actual-size labels say for a black-and-white image of this size: the extent the
// file gives its pixels, a pitch each, in the file's own rounding. "---" without a usable pitch.
struct SizeTexts
{
    QString mils;
    QString mm;
    QString inch;
};
SizeTexts actualSizeTexts(const QSize &bw, const PadsSettings &settings);

// A length in mils as the fab check and the messages show it: up to three decimals, none when
// whole.
QString milsText(double mils);

// The decimals a length in unit is shown and typed with wherever the window shows one: 3 in mils,
// 4 in millimetres, 5 in inches: a quarter of a micrometre or finer, and the same everywhere.
int lengthDecimals(int unit);
// "mil", "mm", "inch".
QString unitSymbol(int unit);
// A length given in mils, in unit with its symbol: lengthDecimals(unit) decimals, trailing zeros
// dropped ("0.1016 mm", "4 mil", "0.00394 inch").
QString lengthText(double mils, int unit);

// Whether a 9.4 file for a width typed in unit is written in millimetres. Inches are written in
// mils: readers lose short pieces in files whose unit is the inch.
inline bool writesMetric(int unit)
{
    return unit == UnitMillimetres;
}

} // namespace kcore
