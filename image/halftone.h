// Halftone: grey rows turned into dots on a hexagonal screen, every dot, hole, web and gap sized
// on the board to the maker's limits, a band of rows at a time.
#pragma once

#include "bwimage.h"
#include "geometry/padssettings.h"

#include <QSize>
#include <QString>

#include <array>
#include <deque>
#include <memory>
#include <vector>

namespace kcore {

// What the halftone is asked for. The limits are the board maker's for the layer the dots go on.
struct HalftoneSettings
{
    bool on = false;
    double cellMils = 0; // the screen's cell across; 0: the smallest with halftoneMinTones tones
    double minLineMils = 4;
    double minSpaceMils = 4;
    bool operator==(const HalftoneSettings &o) const
    {
        return on == o.on && cellMils == o.cellMils && minLineMils == o.minLineMils
                && minSpaceMils == o.minSpaceMils;
    }
};

// The default cell is the smallest that draws at least this many tones, bare and solid included,
// none further than 1 / (halftoneMinTones - 1) from the next: the lightest dot and the
// smallest hole too, for a tone lighter than the one is bare and darker than the other solid.
constexpr int halftoneMinTones = 16;
// The grey threshold the edge levels of a halftone are made for; the writer reads them at it.
constexpr int halftoneThreshold = 128;
// A dot smaller than this many line widths across is drawn as a blocky run or two, not round.
constexpr double roundDotPitches = 3;

// The screen: a hexagonal lattice of cells (a row of cells every cellHeight() rows, each row
// shifted by half a cell from the one above, so each cell has six neighbours at the same
// distance, sharing an edge with each), and for each tone what a cell writes. Light tones are
// dots at the cell's centre, dark tones the cell written whole but for a hole at its centre.
// Every drawing is measured as the file draws it (round-ended lines of the written width, the
// ends where the settings put them, the file's rounding allowed for): a dot or a web is at least
// the line limit across, a hole the space limit. A dot keeps half the space limit from its
// cell's edge where the neighbour is bare or a dot too, and the whole of it from a neighbour
// written up to the edge; a hole's web is half the line limit where the neighbour's ink joins
// it, the whole of it elsewhere. So neighbours of any tones keep the limits.
class HalftoneScreen
{
public:
    // The screen for files written with pads; null, with why, when no screen keeps the limits
    // (a cell too small for them).
    static std::shared_ptr<const HalftoneScreen>
    make(const PadsSettings &pads, const HalftoneSettings &settings, QString *why = nullptr);
    ~HalftoneScreen();

    int cellWidth() const { return m_cw; } // pixels
    int cellHeight() const { return m_ch; } // pixels: the rows of one band
    double cellMils() const { return m_cw * m_pitch; }
    // The tones drawn, by their coverage from bare (0) to solid (1).
    int tones() const;
    double coverage(int tone) const;
    // The smallest dot and the narrowest web, in mils across as the file draws them.
    double smallestDotMils() const { return m_smallestDot; }
    double narrowestWebMils() const { return m_narrowestWeb; }
    // The finer of the two: the finest ink the screen writes.
    double finestInkMils() const;
    double minLineMils() const { return m_minLine; }
    double minSpaceMils() const { return m_minSpace; }
    // The line width is too coarse to draw the smallest dot round: the line limit is under
    // roundDotPitches line widths.
    bool coarse() const { return m_minLine < roundDotPitches * m_pitch; }

    struct Glyph;
    // What a cell writes: a drawing moved by whole pixels.
    struct Placed
    {
        int glyph = 0;
        int dx = 0, dy = 0;
    };
    // A cell's grey: its sum, and its sums weighted by each pixel's column and row in the cell,
    // which tell where in the cell the light and the dark lie.
    struct CellGrey
    {
        quint64 sum = 0, byColumn = 0, byRow = 0;
    };
    // A cell's tone and, in pixels, how far its drawing should move from the cell's centre
    // toward the light (a dot) or the dark (a hole) within it.
    struct Tone
    {
        int tone = -1;
        int dx = 0, dy = 0;
    };

    // The tone of each cell of band b (rows [b * cellHeight(), + cellHeight()) of an image width
    // pixels wide, rows of it in the band, the last band perhaps fewer) from the sum of its grey
    // (light is 1 where invert is off), what a cell misses of its tone passed on to the cells
    // after it: carry is what the band above left this one, and what this one leaves the next.
    // above is the band above's tones; estimates receives each cell's coverage as placed among
    // the neighbours known.
    void chooseBand(int b, int width, int rows, const std::vector<CellGrey> &sums, bool invert,
                    std::vector<float> &carry, const std::vector<Tone> *above,
                    std::vector<Tone> *tones, std::vector<float> *estimates) const;
    // The sums of the cells of band b, rows of it in the band, from its columns' sums of grey
    // and, for each column, the sum of its sums as they stood before each row.
    void sumBand(int b, int width, int rows, const quint32 *columns, const quint32 *above,
                 std::vector<CellGrey> &sums) const;
    // Draws band b from the tones of the bands around it (null above the first and below the
    // last): bw[j] receives row j (white 0xffffffff, black 0xff000000) and levels[j], when levels
    // is not null, the grey levels that put each run's ends on its drawing's outline for an edge
    // row at threshold (halftoneThreshold, or the stack's). drawn, when not null, receives each
    // cell's coverage as drawn.
    void drawBand(int b, int width, int rows, const std::vector<Tone> *above,
                  const std::vector<Tone> &tones, const std::vector<Tone> *below,
                  quint32 *const *bw, uchar *const *levels = nullptr,
                  int threshold = halftoneThreshold, std::vector<float> *drawn = nullptr) const;

private:
    HalftoneScreen();
    struct Build;
    static std::shared_ptr<HalftoneScreen> atCell(const Build &b, double pitch);
    int neighbour(const std::vector<Tone> *band, int i) const;
    int choose(double tone, double wanted, const int (&around)[4][2], int c0, int c1, int rows,
               double *estimate) const;
    bool fits(const Glyph &g, int dx, int dy, int c0, int c1, int rows) const;
    Placed place(int tone, int sides, int c0, int c1, int rows) const;
    std::vector<Placed> placeBand(int b, int width, int rows, const std::vector<Tone> *above,
                                  const std::vector<Tone> &tones,
                                  const std::vector<Tone> *below) const;
    // How far a drawing may move, in whole pixels, within the bounds of the sides given.
    struct Moves
    {
        bool moves; // bare and solid do not
        int dx0, dx1, dy0, dy1;
    };
    Moves movesOf(int glyph, int sides) const;
    // A placed drawing moved by (dx, dy) more, as far as the sides' bounds let it go.
    Placed moved(Placed p, int sides, int dx, int dy) const;
    // Calls stamp(j, x0, s, e, fl, fr) for each run, columns [x0 + s, x0 + e) of the image,
    // that drawing p writes on rows j in [j0, j1) of its band when its cell starts at column x0:
    // a row's runs in turn, the rows from the top.
    template<typename Stamp>
    void runsOf(const Placed &p, int x0, int j0, int j1, Stamp &&stamp) const;

    double m_pitch = 1;
    int m_cw = 0, m_ch = 0;
    double m_minLine = 0, m_minSpace = 0;
    double m_smallestDot = 0, m_narrowestWeb = 0;
    int m_webColumns = 1, m_webRows = 1; // the fewest pixels a web takes alone
    std::vector<Glyph> m_glyphs; // by rising coverage: bare first, solid last
    std::vector<double> m_coverages; // theirs
    // Each tone's drawing in a whole cell, by the sides whose neighbour calls for the whole
    // limit (bit 0 left, 1 right, 2 top, 3 bottom).
    std::vector<std::array<Placed, 16>> m_placed;
    std::vector<std::array<Moves, 16>> m_moves; // by drawing and sides
    std::vector<char> m_ink; // each tone's drawing is written up to the cell's edge
    // The coverage of each tone's drawing placed in a whole cell, by the sides that call for the
    // whole limit of a dot (times 16) and of ink, the tones in a row; infinite where the tone's
    // drawing does not fit the cell.
    std::vector<double> m_wholeCoverages;
    // Where each drawing may lie, by those sides: a dot's segments (pixels), a hole's pixels.
    struct Bounds
    {
        double x0, x1, y0, y1;
    };
    std::array<Bounds, 16> m_dotBounds, m_holeBounds;
};

// Grey rows in, black-and-white rows out, both from the top: a band is drawn once the tones of
// the band below it are chosen, so the grey is read one band ahead. Holds the tones of three
// bands and the sums of one, never a band of pixels.
class HalftoneScreening
{
public:
    HalftoneScreening(std::shared_ptr<const HalftoneScreen> screen, const QSize &size, bool invert);
    // The bands whose grey rows are all in.
    int bandsChosen() const { return m_chosen; }
    int bands() const;
    // The next grey row, from the top.
    void addGreyRow(const quint32 *grey);
    // Draws band b, which must be chosen and whose next band is chosen too (or is none), as
    // HalftoneScreen::drawBand() does. Bands are drawn in turn.
    void drawBand(int b, quint32 *const *bw, uchar *const *levels = nullptr,
                  int threshold = halftoneThreshold);
    const HalftoneScreen &screen() const { return *m_screen; }

private:
    std::shared_ptr<const HalftoneScreen> m_screen;
    QSize m_size;
    bool m_invert;
    int m_rows = 0; // grey rows in
    int m_chosen = 0;
    std::vector<quint32> m_columns, m_above; // the band's grey by column, as addColumns() sums
    std::vector<HalftoneScreen::CellGrey> m_sums;
    std::vector<float> m_carry;
    struct Chosen
    {
        std::vector<HalftoneScreen::Tone> tones;
        std::vector<float> estimates;
    };
    std::deque<Chosen> m_tones; // from band m_first on
    int m_first = 0;
};

// The halftone of a whole scaled grey image (grey in the low byte of each word) into bw, and
// with levels not null its edge levels (Format_Grayscale8) into that. Fails, leaving bw null,
// when memory runs out.
BwResult halftoneInto(const QImage &scaledGrey, bool invert,
                      const std::shared_ptr<const HalftoneScreen> &screen, QImage &bw,
                      QImage *levels = nullptr);

// The black-and-white rows of another stream's grey rows halftoned, one band held at a time.
class HalftoneRows : public RowStream
{
public:
    // With edges, each row's edge levels are made too, for an edge row at threshold.
    HalftoneRows(std::unique_ptr<RowStream> grey, std::shared_ptr<const HalftoneScreen> screen,
                 bool invert, bool edges, int threshold = halftoneThreshold);
    ~HalftoneRows() override;
    QSize size() const override { return m_size; }
    // Null when a grey row could not be had (memory for a drawn band, a damaged picture).
    const quint32 *row(int y) override;
    GreyLevels edgeLevels(int y) override;
    QString failure() const override { return m_grey->failure(); }

private:
    std::unique_ptr<RowStream> m_grey;
    QSize m_size;
    HalftoneScreening m_screening;
    bool m_edges;
    int m_threshold;
    int m_band = -1;
    int m_greyRows = 0; // read so far
    std::vector<quint32> m_bwRows;
    std::vector<uchar> m_levels;
};

} // namespace kcore
