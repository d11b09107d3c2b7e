// The artwork writer: the black-and-white rows of every layer of an artwork, handed over from the
// top, become a board file or files. One writer for each file type (PADS lines, a KiCad
// footprint, Gerber files) behind one interface; the settings' type chooses it, here and nowhere
// else. And the walks that feed it: an image's or a stream's rows as one layer, a stack's layers.
#pragma once

#include "board/fabcheck.h"
#include "board/lineitems.h"
#include "board/stack.h"
#include "writeresult.h"

#include <QImage>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <memory>
#include <vector>

class QIODevice;

namespace kcore {

// Why the numbers do not fit the file (artworkFits()).
QString pitchTooLargeMessage();

// A layer of an artwork: its number in PADS's numbering, and its kind.
struct ArtworkLayer
{
    int number = 0;
    LayerKind kind = LayerKind::Documentation;
};
// The one layer of a conversion that is not a stack: the settings' number and kind.
ArtworkLayer settingsLayer(const PadsSettings &settings);

// What a writer writes: the picture's size in pixels, the settings (type, layout, pitch, ends),
// the layers, and how far a stack's gold openings reach past their copper.
struct ArtworkPlan
{
    QSize size;
    PadsSettings settings;
    std::vector<ArtworkLayer> layers;
    double maskExpansionMils = 0;
};

// Where an artwork goes: a device for each of its files (artworkFiles()), none to count what
// they would hold; and its name, which a footprint carries.
struct Destination
{
    Destination() = default;
    // A single file, or with null only the count.
    Destination(QIODevice *file) : files{file} { }
    Destination(std::vector<QIODevice *> devices, const QString &artworkName)
        : files(std::move(devices)), name(artworkName)
    { }
    std::vector<QIODevice *> files;
    QString name;
};

// Takes the rows of every layer from the top and writes the file (or files) in 1 MB chunks, so
// memory stays bounded at any size. Rows are words, white where the lowest byte is not zero.
class ArtworkWriter
{
public:
    // The writer of the plan's file type, writing to out.
    static std::unique_ptr<ArtworkWriter> create(const ArtworkPlan &plan, const Destination &out);
    virtual ~ArtworkWriter() = default;

    // Row y of layer (an index into the plan's layers); each layer's rows come in order. With
    // smooth edges, edges places the run ends. False once a write has failed.
    virtual bool writeRow(int layer, const quint32 *row, int y, const EdgeRow *edges) = 0;
    // Row y of a stack's gold on its mask layer: openings that reach past every run by the mask
    // expansion (or stop short of it, when negative). below is the next row's gold, null on the
    // last row. False once a write has failed.
    virtual bool writeGrownRow(int layer, const quint32 *row, int y, const EdgeRow *edges,
                               const quint32 *below)
            = 0;
    // Writes the ends of the files and hands everything to the devices.
    virtual WriteResult finish() = 0;
    // What layer holds so far: complete once finished.
    virtual FileBudget written(int layer) const = 0;
};

// The writer of plan for out, or why out is not what the plan writes (a device for each file).
WriteResult startWriting(const ArtworkPlan &plan, const Destination &out,
                         std::unique_ptr<ArtworkWriter> *writer);

// Whether every number the file would hold for a picture of this size fits it, grown openings
// included.
bool artworkFits(const QSize &bw, const PadsSettings &settings, double maskExpansionMils = 0);
// Why the file type cannot put the artwork on its layer as the kind it has, or empty.
QString artworkLayerProblem(const PadsSettings &settings);

// The files an artwork of these layers is written to, given the output's path: the path itself,
// or for Gerber a file for each layer beside it, the name followed by the layer's
// ("logo.gbr" gives logo-F_Cu.gbr, logo-F_Mask.gbr, ...).
QStringList artworkFiles(const QString &output, const PadsSettings &settings,
                         const std::vector<ArtworkLayer> &layers);

// The name an artwork written to path carries: the file's name without its suffix ("logo" for
// logo.kicad_mod), "artwork" when there is none.
QString artworkName(const QString &path);

// KiCad's name of a layer kind ("F.SilkS"), as footprints and Gerber file names carry it.
QString kicadLayerName(LayerKind kind);

// The file types for the save dialog, in the order it offers them.
QList<FileType> fileTypes();
// "PADS", "KiCad footprint", "Gerber".
QString fileTypeName(FileType type);
// The suffix without its dot: "asc", "kicad_mod", "gbr".
QString fileTypeSuffix(FileType type);
// "KiCad footprint (*.kicad_mod)".
QString fileTypeFilter(FileType type);
// The type a file's name asks for by its suffix; PADS for any other.
FileType fileTypeOfName(const QString &path);
// name for a file of type: a suffix of another type replaced by its own, its own added to a name
// without one; any other name as it is.
QString fileNameFor(const QString &name, FileType type);
// What the file type writes the picture as: "LINES items", "polygons"; briefly "items".
QString itemNoun(FileType type, bool brief = false);
// The settings the fab and space checks judge a file by: its own, or for polygons, which cover
// the pixels themselves, lines a pixel wide whose round ends stay inside the pixels.
PadsSettings checkedAs(const PadsSettings &settings);
// Sets the type (and PADS's layout) --format names: 2.0, 9.4, kicad or gerber; false for
// another.
bool formatFromKey(const QString &key, PadsSettings *settings);
// "2.0, 9.4, kicad or gerber".
QString formatKeys();

// Told every so many rows how many are written; returning false stops the writing.
using RowProgress = std::function<bool(int rows)>;

// The whole file for an image. With smooth edges, edgeGrey holds the grey levels on the image's
// grid (the grey image itself at 100 %); without it, runs end on the pixel grid. Writes nothing
// when the numbers would not fit (see artworkFits()). Stopped by progress, it fails with
// cancelledMessage().
WriteResult writeArtwork(const QImage &bw, const PadsSettings &settings, const Destination &out,
                         const QImage &edgeGrey = QImage(), const RowProgress &progress = {});
QString cancelledMessage();

// Each row as it is written, for work that rides along with the writer on the same rows.
using RowSink = std::function<void(const quint32 *row, int y, const EdgeRow *edges)>;
// The whole file from a stream of rows, as writeArtwork() writes an image, each row also handed
// to alongside. When a row cannot be had (memory for a drawn band), it fails with rowsFailed set.
WriteResult writeRows(RowStream &rows, const PadsSettings &settings, const Destination &out,
                      const RowProgress &progress = {}, const RowSink &alongside = {});
inline WriteResult writeArtwork(const QImage &bw, double pitch, int layer, QIODevice *out)
{
    return writeArtwork(bw, PadsSettings{pitch, layer}, out);
}

// What a stack's file holds, layer by layer (indexed by side, then StackLayer), and the pixels
// of each side.
struct StackBudget
{
    std::array<std::array<FileBudget, 3>, 2> layers{};
    std::array<StackCounts, 2> counts{};
    int sides = 0; // bit 0 top, bit 1 bottom
    PaletteTally palette; // how the colours read; empty for a document's board layers
};

// Why a mask expansion cannot be written at a pitch (both in mils), or empty; the lengths it
// names in unit (a kcore::Unit), the one the user gives them in.
QString stackExpansionProblem(double pitchMils, double maskExpansionMils, int unit = 0);

// The layers a stack of these sides (bit 0 top, bit 1 bottom) writes, side by side in the order
// of StackLayer.
std::vector<ArtworkLayer> stackLayers(int sides);

// The whole file of a stack: each row's copper, mask openings (gold's grown by the expansion,
// then those drawn) and silkscreen on the side's layers. The settings give the type, layout,
// pitch, unit and ends; their layer is not used.
// Each row of a stack once written, for work riding along on every layer's rows.
using StackSink = std::function<void(const StackRows &rows, int side, int y)>;
WriteResult writeStack(StackRows &rows, const PadsSettings &settings, double maskExpansionMils,
                       const Destination &out, const RowProgress &progress = {},
                       StackBudget *budget = nullptr, const StackSink &alongside = {});

// What writeArtwork() would write, counted without writing.
FileBudget countArtwork(const QImage &bw, const PadsSettings &settings,
                        const QImage &edgeGrey = QImage());

} // namespace kcore
