// Fab-safe line art: the black-and-white image changed, as little as it can be, until the board
// maker can make what the file draws. Ink narrower than the finest line is removed or widened,
// a space narrower than the narrowest is opened or closed, whichever moves fewer pixels, and
// never so that two shapes become one or one becomes two where another change would do.
#pragma once

#include "geometry/padssettings.h"
#include "image/bitimage.h"

#include <QImage>
#include <QString>

namespace kcore {

// The board maker's limits the art is made safe for, in mils.
struct FabSafeSettings
{
    bool on = false;
    double minLineMils = 4;
    double minSpaceMils = 4;
};

struct FabSafeReport
{
    qint64 removed = 0; // pixels white before, black after
    qint64 added = 0; // the other way
    qint64 specks = 0; // shapes dropped whole
    qint64 gapsOpened = 0;
    qint64 gapsClosed = 0;
    qint64 widened = 0; // pieces of thin ink made wide enough
    // Shapes split where every change would have split or joined some: taking the ink away keeps
    // the space the picture has. (None is ever joined.)
    qint64 splits = 0;
    bool ok = true; // false: not enough memory, and nothing was changed
};

// Changes image until neither rule finds anything at the settings (pitch, layout, ends): a
// space as the space check measures it, from the numbers the file holds, and ink as
// findThinInk() finds it. With smooth edges the ends follow edgeGrey, the grey levels on the
// image's grid (as writeArtwork() takes them); without it, the furthest they can reach. It
// works on the whole picture: which pieces of ink are one shape is a question of the whole
// picture.
FabSafeReport makeFabSafe(BitImage &image, const PadsSettings &settings, double minLineMils,
                          double minSpaceMils, const QImage &edgeGrey = QImage());

// "fab-safe: 312 pixels removed, 48 added, 3 specks dropped, 2 gaps opened".
QString fabSafeSummary(const FabSafeReport &report);

} // namespace kcore
