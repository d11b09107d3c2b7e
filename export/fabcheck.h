// The fab check: what Generate will write (items, bytes) and whether the board maker can make it.
#pragma once

#include "padswriter.h"

#include <QString>

namespace kcore {

// The finest line most board makers print: 0.1 mm, taken as 4 mil.
constexpr double defaultMinLineMils = 4;

struct FabCheck
{
    qint64 items = 0;
    qint64 bytes = 0;
    int lineMils = 0; // the width written into every item, also the smallest gap
    double pixelsPerInch = 0;
    double minLineMils = defaultMinLineMils;
    bool belowMinimum() const { return lineMils < minLineMils; }
};

FabCheck fabCheck(const PadsBudget &budget, double pitch, double minLineMils);

// "1,234 items, 56,789 bytes, line 8 mil (0.203 mm), 127 ppi".
QString fabSummary(const FabCheck &check);
// "finer than the 4 mil (0.102 mm) the board maker can make", or empty.
QString fabWarning(const FabCheck &check);

} // namespace kcore
