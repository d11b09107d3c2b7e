// The fab check: what Generate will write (items, bytes) and whether the board maker can make it.
#pragma once

#include "geometry/padssettings.h"

#include <QString>

namespace kcore {

// What a file holds, or would hold: the number of items and its size in bytes.
struct FileBudget
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
    QString noun = QStringLiteral("items"); // what the file writes: items, polygons
    // The finest ink the artwork is drawn with where that is not one line: a halftone's dots and
    // webs, whose lines lie side by side. 0: the line.
    double inkMils = 0;
    // Fab-safe art is judged by its ink, not by one line: where the line is finer than the
    // minimum, ink is wide enough where it is a block of pixels as wide (see InkWidth).
    bool inkJudged = false;
    qint64 thinInk = 0; // pixels of ink narrower than the minimum, when judged
    // A hair of slack: 0.1 mm typed in mm is 3.937... mil, and a minimum of 0.1 mm must pass it.
    bool belowMinimum() const
    {
        if (inkJudged)
            return thinInk > 0;
        return (inkMils > 0 ? inkMils : lineMils) < minLineMils - 1e-6;
    }
};

FabCheck fabCheck(const FileBudget &budget, const PadsSettings &settings, double minLineMils);

// How much of a black-and-white image is white, that is written: part of it, none, or all.
enum class Coverage { Part, Nothing, Everything };

// Counts the white pixels (lowest byte not zero) of black-and-white rows as they go by.
class CoverageCount
{
public:
    void addRow(const quint32 *row, int width);
    // Part while no pixel has been counted.
    Coverage coverage() const;

private:
    qint64 m_white = 0;
    qint64 m_pixels = 0;
};

// "top silkscreen, layer 26: 1,234 items, 56,789 bytes, line 8 mil (0.2032 mm), 127 ppi", the
// items named by the check's noun.
QString fabSummary(const FabCheck &check);
// "finer than the 4 mil (0.1016 mm) the board maker can make" (judged by ink: "12 pixels of ink
// are finer than ..."), or empty.
QString fabWarning(const FabCheck &check);
// The same with both lengths in unit (a kcore::Unit), as the window says it: "the 0.0762 mm line
// is finer than the 0.1016 mm the board maker can make" (judged by ink: "12 pixels of ink are
// finer than ..."), or empty.
QString lineWarning(const FabCheck &check, int unit);

} // namespace kcore
