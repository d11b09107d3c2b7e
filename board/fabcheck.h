// The fab check: what Generate will write (items, bytes) and whether the board maker can make it.
#pragma once

#include "geometry/padssettings.h"

#include <QString>

namespace kcore {

// What a file holds, or would hold: the number of items and its size in bytes.
struct PadsBudget
{
    qint64 items = 0;
    qint64 bytes = 0;
};

// The finest line most board makers print: 0.1 mm, taken as 4 mil.
constexpr double defaultMinLineMils = 4;

struct FabCheck
{
    qint64 items = 0;
    qint64 bytes = 0;
    double lineMils = 0; // the width written into every item, also the smallest gap
    double pixelsPerInch = 0;
    double minLineMils = defaultMinLineMils;
    LayerKind kind = LayerKind::Documentation;
    int layer = 0;
    // Fab-safe art is judged by its ink, not by one line: where the line is finer than the
    // minimum, ink is wide enough where it is a block of pixels as wide (see InkWidth).
    bool inkJudged = false;
    qint64 thinInk = 0; // pixels of ink narrower than the minimum, when judged
    // A hair of slack: 0.1 mm typed in mm is 3.937... mil, and a minimum of 0.1 mm must pass it.
    bool belowMinimum() const { return inkJudged ? thinInk > 0 : lineMils < minLineMils - 1e-6; }
};

FabCheck fabCheck(const PadsBudget &budget, const PadsSettings &settings, double minLineMils);

// "top silkscreen, layer 26: 1,234 items, 56,789 bytes, line 8 mil (0.203 mm), 127 ppi".
QString fabSummary(const FabCheck &check);
// "finer than the 4 mil (0.102 mm) the board maker can make" (judged by ink: "12 pixels of ink
// are finer than ..."), or empty.
QString fabWarning(const FabCheck &check);

} // namespace kcore
