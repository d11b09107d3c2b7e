// The Board view of a stack: its layers on the grid as one picture of the finished board, in the
// colours of the solder mask, plating and silkscreen the user picks.
#pragma once

#include "board/boardimage.h"
#include "board/stack.h"

#include <QImage>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>

namespace kcore {
class Conversion;
}

// How the finished board is drawn: the colours a board maker offers, and which layers are shown.
struct StackLook
{
    enum Mask { Green, Black, Blue, Red, White };
    int mask = Green;
    bool hasl = false; // exposed copper tinned silver instead of gold (ENIG)
    bool blackSilk = false;
    bool copper = true, maskShown = true, silk = true;

    // The names of the choices, in the order of their values; the masks' also as settings keep
    // them.
    static QStringList maskNames();
    static QStringList maskKeys();
    static QStringList platingNames();
    static QStringList silkNames();
};

// What each grid pixel of a side carries, as bits of the plan's pixels: copper, a mask opening
// (gold's grown by the expansion, and those drawn), silkscreen.
enum StackBit : uchar { CopperBit = 1, OpeningBit = 2, SilkBit = 4 };
constexpr int stackBitCombinations = 8;

// One side of a stack on the grid, as the file's coordinates have it (the bottom's art mirrored).
struct StackPlan
{
    QImage bits; // Format_Grayscale8 of StackBit (higher bits its own); null when there is none
    int side = 0;
    kcore::StackCounts counts; // of that side
    bool layered = false; // the planes come from a document's board layers, not its colours
    QString why; // why there is no plan, when there is a source
    double pitch = 0; // the pitch it was planned at, in mils
    qint64 colourKey = 0; // the cache key of the conversion's colour image it was planned from
    kcore::Palette palette; // the palette it was read through, and how its colours read
    kcore::PaletteTally tally;
};

// The plan of the side the settings put their finishes on (or the one side a document's layers
// have), from the conversion's source at its settings. Openings are grown to the pixels whose
// centres the grown opening covers. Stops early once cancel is set; that plan is thrown away.
StackPlan planStack(const kcore::Conversion &conversion, const std::atomic<bool> *cancel = nullptr);

// The colour each combination of StackBit shows, indexed by the bits.
QList<QRgb> stackColours(const StackLook &look);

// The finished board as the Board view shows it: plan's pixels in colours, in a viewport of the
// file's coordinates at settings' pitch. Mirrored shows the board turned over, as its bottom is
// seen: x mirrored about mirrorAt.
QImage renderStack(const QImage &plan, const QList<QRgb> &colours,
                   const kcore::PadsSettings &settings, const kcore::BoardViewport &viewport,
                   const QSize &size, bool mirrored, double mirrorAt);
