// Board finishes read from a colour picture: which finish each pixel shows, anti-aliased edges
// read as a mix of the finishes on either side.
#pragma once

#include <QColor>
#include <QList>
#include <QString>

#include <array>
#include <vector>

namespace kcore {

// What a spot of a finished board shows, and so the layers it needs: Board none (mask over
// substrate), Copper copper (under the mask), Gold copper and a mask opening, Bare a mask
// opening alone, Silk silkscreen.
enum class Finish { Board, Copper, Gold, Bare, Silk };
constexpr int finishCount = 5;

// "gold", as --finish and the window name it.
QString finishKey(Finish finish);
bool finishFromKey(const QString &key, Finish *finish);
QList<Finish> finishes();

struct PaletteEntry
{
    QRgb colour;
    Finish finish;
    bool operator==(const PaletteEntry &o) const
    {
        return colour == o.colour && finish == o.finish;
    }
};
using Palette = QList<PaletteEntry>;

// Board #0B3D1E and #000000, copper #3A8A4A, gold #D4AF37, bare #C8B48C, silk #FFFFFF.
Palette defaultPalette();
// "#RRGGBB=FINISH" into palette: a new colour is added, a known one takes the finish. False, with
// why, for another text.
bool addFinishRule(const QString &rule, Palette *palette, QString *why);
// The colour transparent pixels are read as: the palette's first board colour.
QRgb paletteBoard(const Palette &palette);

// The share of each finish in a pixel, out of 255, indexed by Finish.
using FinishShares = std::array<uchar, finishCount>;

// Reads pixels as finishes. A pixel is the palette colour nearest to it, unless it lies clearly
// nearer the line between two palette colours, as an anti-aliased edge between them does: then it
// is that mix. The blend of gold and board green lies nearer copper green than either, and
// nearest colour alone would ring every gold shape with copper. Transparency mixes in board.
class FinishReader
{
public:
    explicit FinishReader(const Palette &palette);
    // Any QImage pixel as QImage::pixel() gives it (not premultiplied).
    const FinishShares &read(QRgb pixel)
    {
        const QRgb key = qAlpha(pixel) ? pixel : 0;
        Slot &slot = m_cache[(key * 0x9E3779B1u) >> (32 - cacheBits)];
        if (slot.key != key) {
            slot.key = key;
            slot.shares = compute(key);
        }
        return slot.shares;
    }
    FinishShares compute(QRgb pixel) const;

private:
    static constexpr int cacheBits = 14;
    struct Slot
    {
        QRgb key;
        FinishShares shares;
    };
    struct Colour
    {
        double r, g, b;
        Finish finish;
    };
    // The line between two palette colours: from q along d, 1 / |d|^2.
    struct Pair
    {
        size_t p, q;
        double dr, dg, db, inverse;
    };
    std::vector<Colour> m_colours;
    std::vector<Pair> m_pairs;
    Colour m_board;
    std::vector<Slot> m_cache;
};

} // namespace kcore
