// The space check: where the board will close or narrow a space the picture has, and how much of
// the artwork's rectangle the copper covers, from the numbers the file holds.
#pragma once

#include "board/lineitems.h"

#include <QImage>
#include <QPointF>
#include <QSize>
#include <QString>

#include <array>
#include <atomic>
#include <future>
#include <limits>
#include <vector>

namespace kcore {

// Most board makers' minimum space is their minimum line: 0.1 mm, taken as 4 mil.
constexpr double defaultMinSpaceMils = 4;
// Far beyond any board maker's; the check's work grows with the square of the space.
constexpr double maxMinSpaceMils = 100;

// One pair of strokes the picture keeps apart whose copper comes closer than the minimum space.
struct SpaceFinding
{
    QPointF mils; // between the two strokes, in the file's coordinates (x right, y up)
    double gapMils = 0; // copper to copper; 0 or less when the strokes overlap
    bool closed = false;
};

struct SpaceReport
{
    qint64 closedGaps = 0;
    qint64 narrowGaps = 0;
    double coveragePercent = 0; // of the rectangle around all copper
    double minSpaceMils = 0;
    // In row order, at most SpaceCheck::maxFindings of them; the counts are always complete.
    std::vector<SpaceFinding> findings;
    bool hasFindings() const { return closedGaps + narrowGaps > 0; }
};

// The two strokes of a finding as pixel columns [s, e): a's row is the later (lower) one.
struct SpacePair
{
    int rowA, sA, eA;
    int rowB, sB, eB;
};

// Fed the black-and-white image row by row from the top, as ArtworkWriter is, it keeps only the
// rows a line can reach across (plus one), so it runs beside the converter's streaming writer.
class SpaceCheck
{
public:
    SpaceCheck(const QSize &bw, const PadsSettings &settings, double minSpaceMils);
    // Row y of the image (white = lowest byte not zero); with smooth edges, edges gives the grey
    // levels of the row, as for ArtworkWriter::writeRow().
    void addRow(const quint32 *row, int y, const EdgeRow *edges = nullptr);
    SpaceReport finish();

    // addRow() in two steps, so that a thread of its own can do the second.
    struct Stroke
    {
        int s, e; // pixel columns [s, e)
        double x0, x1; // the centre line, in quanta
    };
    // The strokes of a row; safe to call while another thread runs addStrokes().
    void strokesOf(const quint32 *row, const EdgeRow *edges, std::vector<Stroke> *strokes) const;
    // Takes the strokes of row y, leaving a vector to reuse in their place.
    void addStrokes(int y, std::vector<Stroke> *strokes);

    // Enough for the Board view's rings; a picture with more findings is one blob anyway.
    static constexpr int maxFindings = 20000;
    // While pairs is set, every finding's strokes go there instead, uncapped, and neither the
    // findings nor the coverage are kept.
    void setPairSink(std::vector<SpacePair> *pairs) { m_pairs = pairs; }
    // Forgets the rows it was fed, to be fed others from any row on: for pairs alone.
    void forgetRows()
    {
        for (Row &r : m_rows)
            r.index = -1;
    }

private:
    struct Row
    {
        int index = -1;
        double y = 0; // quanta
        std::vector<Stroke> strokes;
        mutable size_t hint = 0;
        // The first stroke ending after column x.
        size_t runFrom(int x) const;
        bool anyIn(int c0, int c1) const;
    };

    Row &slot(int y) { return m_rows[size_t(y % int(m_rows.size()))]; }
    const Row *rowAt(int y) const;
    void pairRows(const Row &now, const Row &before);
    void pairNextRows(const Row &now, const Row &above, double across);
    bool clearColumn(int lo, int hi, int *column) const;
    bool sightBlocked(const Row &rowL, size_t left, const Row &rowR, size_t right) const;
    void addFinding(double x, double y, double gapQuanta, const Row &rowA, const Stroke &a,
                    const Row &rowB, const Stroke &b);
    double rowArea(const Row &row) const;
    double crossArea(const Row &above, const Row &below) const;

    LineGeometry m_g;
    QSize m_size;
    double m_pitch; // quanta
    double m_width; // quanta
    double m_radius;
    double m_minSpace; // quanta
    double m_reach; // quanta: copper gaps below the minimum lie within this centre distance
    std::vector<Row> m_rows; // ring of the rows within reach
    SpaceReport m_report;
    double m_area = 0; // quanta squared
    // Around the centre lines of all strokes so far, in quanta.
    double m_left = std::numeric_limits<double>::max(), m_right = -m_left;
    double m_top = -m_left, m_bottom = m_left;
    mutable std::vector<std::pair<double, double>> m_mergedA, m_mergedB;
    std::vector<const Row *> m_between; // the rows between the two being paired
    std::vector<Stroke> m_spare;
    std::vector<SpacePair> *m_pairs = nullptr;
};

// The whole check over a stream of rows. complete, if given, is false when a row could not be
// had (memory ran out drawing a band).
SpaceReport checkSpace(RowStream &rows, const PadsSettings &settings, double minSpaceMils,
                       const std::atomic<bool> *cancel = nullptr, bool *complete = nullptr);

// The check beside a writer that streams rows: the writer's thread finds each row's strokes, a
// thread of this check's own pairs them with the rows above. Pairing costs about as much as
// writing, so the two take turns on two cores instead of adding up. Rows go over a block at a
// time: while one block is paired, the next is filled.
class SpaceCheckBeside
{
public:
    SpaceCheckBeside(const QSize &bw, const PadsSettings &settings, double minSpaceMils);
    ~SpaceCheckBeside();
    SpaceCheckBeside(const SpaceCheckBeside &) = delete;
    SpaceCheckBeside &operator=(const SpaceCheckBeside &) = delete;

    // The next row from the top, as SpaceCheck::addRow() takes it.
    void addRow(const quint32 *row, const EdgeRow *edges = nullptr);
    SpaceReport finish();

private:
    static constexpr int blockRows = 32;
    using Block = std::array<std::vector<SpaceCheck::Stroke>, blockRows>;
    void handOver();

    SpaceCheck m_check;
    std::array<Block, 2> m_blocks;
    int m_filling = 0, m_filled = 0, m_next = 0;
    std::future<void> m_pairing;
};

// The whole check for an image, edgeGrey as for writeArtwork(). Once cancel is set it stops within
// a few rows, and what it returns is to be thrown away: the window cancels a check whose
// settings have changed.
SpaceReport checkSpace(const QImage &bw, const PadsSettings &settings, double minSpaceMils,
                       const QImage &edgeGrey = QImage(),
                       const std::atomic<bool> *cancel = nullptr);

// "2 closed gaps, 5 narrow gaps".
QString gapSummary(const SpaceReport &report);
// "coverage 23.4 %", as the window's status bar and the converter's summary show it.
QString coverageSummary(const SpaceReport &report);
// The same and ", coverage 23.4 %".
QString spaceSummary(const SpaceReport &report);
// One finding as the window steps to it, the gap in unit (a kcore::Unit): "closed gap, 0 mm of
// copper space", material naming what the space lies in.
QString findingText(const SpaceFinding &finding, const QString &material, int unit);
// A finding between two mask openings as drawn, each grown by grownMils toward the other:
// "openings meet, no mask between them" or "narrow web, 0.0508 mm of mask between openings".
QString webFindingText(const SpaceFinding &finding, double grownMils, int unit);

} // namespace kcore
