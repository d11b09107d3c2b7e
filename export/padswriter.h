// The PADS PowerPCB ASCII writer: every horizontal run of white pixels becomes one LINES item,
// in the layout the settings choose (V20 or V94).
#pragma once

#include "board/fabcheck.h"
#include "board/lineitems.h"
#include "board/stack.h"
#include "padsresult.h"

#include <QImage>
#include <QString>

#include <array>
#include <functional>
#include <memory>

class QIODevice;

namespace kcore {

class ChunkBuffer;
class FormatWriter;

// Why the numbers do not fit the file (padsFits()).
QString pitchTooLargeMessage();

// Writes a PADS ASCII file of LINES items for a black-and-white image of a known size, handed
// over row by row from the top (white = lowest byte not zero). Lines end in CR LF. Output goes
// out in 1 MB chunks, so memory stays bounded at any file size. Without a device, it only counts
// what the file would hold.
class PadsWriter
{
public:
    PadsWriter(const QSize &bw, const PadsSettings &settings, QIODevice *out);
    ~PadsWriter();
    PadsWriter(const PadsWriter &) = delete;
    PadsWriter &operator=(const PadsWriter &) = delete;

    // Row y of the image, width() pixels; rows come in order. With smooth edges, edges gives the
    // grey levels of the row. False once a write has failed.
    bool writeRow(const quint32 *row, int y, const EdgeRow *edges = nullptr);
    // Writes the end of the file and hands everything to the device.
    PadsResult finish();

private:
    std::unique_ptr<ChunkBuffer> m_out;
    std::unique_ptr<FormatWriter> m_format;
};

// Told every so many rows how many are written; returning false stops the writing.
using RowProgress = std::function<bool(int rows)>;

// The whole file for an image. With smooth edges, edgeGrey holds the grey levels on the image's
// grid (the grey image itself at 100 %); without it, runs end on the pixel grid. Writes nothing
// when the numbers would not fit (see padsFits()). Stopped by progress, it fails with
// cancelledMessage().
PadsResult writePads(const QImage &bw, const PadsSettings &settings, QIODevice *out,
                     const QImage &edgeGrey = QImage(), const RowProgress &progress = {});
QString cancelledMessage();

// Each row as it is written, for work that rides along with the writer on the same rows.
using RowSink = std::function<void(const quint32 *row, int y, const EdgeRow *edges)>;
// The whole file from a stream of rows, as writePads() writes an image, each row also handed to
// alongside. When a row cannot be had (memory for a drawn band), it fails with rowsFailed set.
PadsResult writeRows(RowStream &rows, const PadsSettings &settings, QIODevice *out,
                     const RowProgress &progress = {}, const RowSink &alongside = {});
inline PadsResult writePads(const QImage &bw, double pitch, int layer, QIODevice *out)
{
    return writePads(bw, PadsSettings{pitch, layer}, out);
}

// What a stack's file holds, layer by layer (indexed by side, then StackLayer), and the pixels
// of each side.
struct StackBudget
{
    std::array<std::array<PadsBudget, 3>, 2> layers{};
    std::array<StackCounts, 2> counts{};
    int sides = 0; // bit 0 top, bit 1 bottom
    PaletteTally palette; // how the colours read; empty for a document's board layers
};

// Why a mask expansion cannot be written at a pitch (both in mils), or empty; the lengths it
// names in unit (a kcore::Unit), the one the user gives them in.
QString stackExpansionProblem(double pitchMils, double maskExpansionMils, int unit = 0);

// The whole file of a stack: each row's copper, mask openings (gold's grown by the expansion,
// then those drawn) and silkscreen on the side's layers, the layer table naming them all. The
// settings give the layout, pitch, unit and ends; their layer is not used.
// Each row of a stack once written, for work riding along on every layer's rows.
using StackSink = std::function<void(const StackRows &rows, int side, int y)>;
PadsResult writeStack(StackRows &rows, const PadsSettings &settings, double maskExpansionMils,
                      QIODevice *out, const RowProgress &progress = {},
                      StackBudget *budget = nullptr, const StackSink &alongside = {});

// What writePads() would write, counted without writing.
PadsBudget countPads(const QImage &bw, const PadsSettings &settings,
                     const QImage &edgeGrey = QImage());

} // namespace kcore
