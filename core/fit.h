// Fit to size: the scale whose artwork comes closest to a wanted width or height on the board
// without exceeding it.
#pragma once

#include "geometry/padssettings.h"
#include "geometry/units.h" // actualSizeMils()

#include <QSize>
#include <QString>

namespace kcore {

struct FitResult
{
    bool ok = false; // false: the target lies outside what 1-500 % can give
    int scale = 0; // the scale chosen, or on refusal the one giving the nearest size
    double mils = 0; // the width or height that scale gives
    double exactScale = 0; // a vector page's scale in percent, not whole; 0 for a picture
};

// The scale from 1 % up to the largest the pixel bound allows (at most 500 %) whose image's
// width (or height) on the board is the largest not exceeding targetMils. Refused when even 1 %
// is larger, or when a scale beyond the range would come closer.
FitResult fitScale(const QSize &picture, const PadsSettings &settings, double targetMils,
                   bool height);

// The scale whose page, drawn onto the grid, is the widest (or tallest) whole number of pixels
// not exceeding targetMils on the board: any size, not only whole percents. Refused when not
// even one pixel fits, or the grid would exceed maxImagePixels.
FitResult fitPage(const QSizeF &pageMils, const PadsSettings &settings, double targetMils,
                  bool height);

// A size in mils written in a unit (kcore::Unit) as Fit to Size takes it: "11.989 mm", "472.4
// mils".
QString sizeText(double mils, int unit);
// What a fit reached, "width 11.989 mm at 57 %", or why it cannot be made, naming the nearest
// size: "a width of 1 mm cannot be reached at 1-500 %; the nearest is 2.540 mm at 1 %".
QString fitText(const FitResult &fit, double targetMils, bool height, int unit);

} // namespace kcore
