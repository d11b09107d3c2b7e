// Board finishes read from a colour picture: which finish each pixel shows, anti-aliased edges
// read as a mix of the finishes on either side.
#pragma once

#include <QColor>
#include <QImage>
#include <QList>
#include <QPoint>
#include <QString>

#include <algorithm>
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

// How far, in RGB levels, a pixel may lie from every palette colour and from every mix of two
// before it counts as a colour the palette does not know: well beyond a photo's noise and an
// edge's blend, well short of another colour.
constexpr double unmatchedDistance = 64;

// What a pixel reads as: its finishes, the palette colour nearest to it (an index into the
// palette), and whether it lies farther than unmatchedDistance from every palette colour and
// every mix of two.
struct FinishReading
{
    FinishShares shares{};
    int nearest = 0;
    bool unmatched = false;
};

// How the pixels of an artwork read through a palette: how many lie nearest each palette colour,
// and how many the palette does not know, with the colour most of those are like.
class PaletteTally
{
public:
    explicit PaletteTally(int paletteSize = 0) : m_nearest(size_t(std::max(0, paletteSize))) { }
    // count pixels of colour pixel that read as reading.
    void add(const FinishReading &reading, QRgb pixel, qint64 count);
    qint64 pixels() const { return m_pixels; }
    qint64 nearest(int entry) const;
    qint64 unmatched() const { return m_unmatched; }
    // Each palette colour's share of the pixels in tenths of a percent, adding up to exactly 1000
    // (the largest remainders rounded up), so the shares shown to a tenth add up to 100 %. All 0
    // without pixels.
    std::vector<int> tenths() const;
    // The colour most unmatched pixels are like: the first seen of the commonest colours to
    // four bits a channel; 0 when there are none.
    QRgb commonUnmatched() const;

private:
    std::vector<qint64> m_nearest;
    qint64 m_pixels = 0;
    qint64 m_unmatched = 0;
    struct Bin
    {
        qint64 count = 0;
        QRgb first = 0;
    };
    std::vector<Bin> m_bins; // made at the first unmatched pixel
};

// The commonest colour of image within radius pixels of at (alpha dropped): what a click near an
// anti-aliased edge means is the area's colour, not the blend at its edge. 0 off the image.
QRgb commonColour(const QImage &image, const QPoint &at, int radius);

// Reads pixels as finishes. A pixel is the palette colour nearest to it, unless it lies clearly
// nearer the line between two palette colours, as an anti-aliased edge between them does: then it
// is that mix. The blend of gold and board green lies nearer copper green than either, and
// nearest colour alone would ring every gold shape with copper. Transparency mixes in board.
class FinishReader
{
public:
    explicit FinishReader(const Palette &palette);
    // Any QImage pixel as QImage::pixel() gives it (not premultiplied).
    const FinishReading &reading(QRgb pixel)
    {
        const QRgb key = qAlpha(pixel) ? pixel : 0;
        Slot &slot = m_cache[(key * 0x9E3779B1u) >> (32 - cacheBits)];
        if (slot.key != key) {
            slot.key = key;
            slot.reading = classify(key);
        }
        return slot.reading;
    }
    const FinishShares &read(QRgb pixel) { return reading(pixel).shares; }
    FinishShares compute(QRgb pixel) const { return classify(pixel).shares; }
    FinishReading classify(QRgb pixel) const;

private:
    static constexpr int cacheBits = 14;
    struct Slot
    {
        QRgb key;
        FinishReading reading;
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
