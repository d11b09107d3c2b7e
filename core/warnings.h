// What a written file may hide from someone who only sees that it was written: no item at all,
// the whole artwork covered, colours the palette does not know. The window says it before
// writing, kestrel-convert as warnings after.
#pragma once

#include "board/fabcheck.h"
#include "core/conversion.h"
#include "export/artworkwriter.h"
#include "image/finishes.h"
#include "image/greyimage.h"

#include <QSize>
#include <QString>

namespace kcore {

// Why a single layer's file holds no item or covers all of its image, with the likely cause
// (Invert, the threshold, a flat picture, the scale); greys are the artwork's grey levels when
// known. Empty for Coverage::Part.
QString coverageWarning(Coverage coverage, const ConversionSettings &settings,
                        const GreyRange &greys = {});

// The same for a stack of grid's size: no item on any layer, or a layer covering every pixel,
// with the palette colour most of the picture is nearest and what it reads as. Empty otherwise.
QString stackCoverageWarning(const StackBudget &budget, const QSize &grid, const Palette &palette);

// "4.1 % of the pixels lie far from every palette colour (most like #E11D2A) and read as the
// finish nearest them", or empty when none do.
QString unmatchedWarning(const PaletteTally &tally);
// The unmatched pixels' share as that says it: "4.1 %", "under 0.1 %"; empty when none are.
QString unmatchedShare(const PaletteTally &tally);

} // namespace kcore
