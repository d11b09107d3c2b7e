// The one table of file types (each one's writer, files, names and limits), and the walk of a
// single layer's rows into the writer.
#include "artworkwriter.h"

#include "geometry/layers.h"
#include "itemtext.h"
#include "polygonwriter.h"
#include "writers.h"

#include <QFileInfo>

#include <climits>
#include <cmath>

namespace kcore {

QString pitchTooLargeMessage()
{
    return QStringLiteral("The line width is too large for this picture: its coordinates would "
                          "not fit in the file.");
}

ArtworkLayer settingsLayer(const PadsSettings &settings)
{
    return {settings.layer, effectiveKind(settings)};
}

std::unique_ptr<ArtworkWriter> ArtworkWriter::create(const ArtworkPlan &plan,
                                                     const Destination &out)
{
    switch (plan.settings.type) {
    case FileType::KiCad:
        return makeKiCadWriter(plan, out);
    case FileType::Gerber:
        return makeGerberWriter(plan, out);
    default:
        return makePadsWriter(plan, out);
    }
}

bool artworkFits(const QSize &bw, const PadsSettings &settings, double maskExpansionMils)
{
    if (settings.type == FileType::Pads)
        return padsFits(bw, settings);
    // Corners in nanometres from the picture's corner, grown openings reaching past it.
    const double most = double(qMax(1, qMax(bw.width(), bw.height()))) * std::abs(settings.pitch)
            + 2 * std::abs(maskExpansionMils);
    return std::isfinite(most) && most * 25400 < PolygonWriter::maxNanometres;
}

QString artworkLayerProblem(const PadsSettings &settings)
{
    // Only PADS numbers its layers; a polygon file goes by the kind alone.
    return settings.type == FileType::Pads ? layerProblem(settings) : QString();
}

QStringList artworkFiles(const QString &output, const PadsSettings &settings,
                         const std::vector<ArtworkLayer> &layers)
{
    if (settings.type != FileType::Gerber)
        return {output};
    QString base = output;
    const QString suffix = QStringLiteral(".gbr");
    if (base.endsWith(suffix, Qt::CaseInsensitive))
        base.chop(suffix.size());
    QStringList files;
    for (const ArtworkLayer &layer : layers)
        files << base + QLatin1Char('-') + kicadLayerName(layer.kind).replace('.', '_') + suffix;
    return files;
}

QString artworkName(const QString &path)
{
    const QString name = QFileInfo(path).completeBaseName();
    return name.isEmpty() || path == QLatin1String("-") ? QStringLiteral("artwork") : name;
}

QList<FileType> fileTypes()
{
    return {FileType::Pads, FileType::KiCad, FileType::Gerber};
}

QString fileTypeName(FileType type)
{
    switch (type) {
    case FileType::KiCad:
        return QStringLiteral("KiCad footprint");
    case FileType::Gerber:
        return QStringLiteral("Gerber");
    default:
        return QStringLiteral("PADS");
    }
}

QString fileTypeSuffix(FileType type)
{
    switch (type) {
    case FileType::KiCad:
        return QStringLiteral("kicad_mod");
    case FileType::Gerber:
        return QStringLiteral("gbr");
    default:
        return QStringLiteral("asc");
    }
}

QString fileTypeFilter(FileType type)
{
    return QStringLiteral("%1 (*.%2)").arg(fileTypeName(type), fileTypeSuffix(type));
}

FileType fileTypeOfName(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix();
    for (const FileType type : fileTypes())
        if (suffix.compare(fileTypeSuffix(type), Qt::CaseInsensitive) == 0)
            return type;
    return FileType::Pads;
}

QString fileNameFor(const QString &name, FileType type)
{
    const QFileInfo file(name);
    const QString suffix = fileTypeSuffix(type);
    if (file.suffix().isEmpty())
        return name + QLatin1Char('.') + suffix;
    for (const FileType other : fileTypes())
        if (file.suffix().compare(fileTypeSuffix(other), Qt::CaseInsensitive) == 0)
            return name.left(name.size() - file.suffix().size()) + suffix;
    return name;
}

QString itemNoun(FileType type, bool brief)
{
    if (type != FileType::Pads)
        return QStringLiteral("polygons");
    return brief ? QStringLiteral("items") : QStringLiteral("LINES items");
}

PadsSettings checkedAs(const PadsSettings &settings)
{
    if (settings.type == FileType::Pads)
        return settings;
    PadsSettings lines = settings;
    lines.format = PadsFormat::V94;
    lines.metric = true;
    lines.exactEnds = true;
    return lines;
}

bool formatFromKey(const QString &key, PadsSettings *settings)
{
    if (key == QLatin1String("2.0") || key == QLatin1String("9.4")) {
        settings->type = FileType::Pads;
        settings->format = key == QLatin1String("9.4") ? PadsFormat::V94 : PadsFormat::V20;
        return true;
    }
    if (key != QLatin1String("kicad") && key != QLatin1String("gerber"))
        return false;
    settings->type = key == QLatin1String("kicad") ? FileType::KiCad : FileType::Gerber;
    return true;
}

QString formatKeys()
{
    return QStringLiteral("2.0, 9.4, kicad or gerber");
}

namespace {

// Why the devices given do not match the files the plan writes, or empty.
QString destinationProblem(const ArtworkPlan &plan, const Destination &out)
{
    const qsizetype files = artworkFiles(QString(), plan.settings, plan.layers).size();
    if (out.files.empty() || qsizetype(out.files.size()) == files)
        return QString();
    return QStringLiteral("%1 files to write, but %2 given").arg(files).arg(out.files.size());
}

} // namespace

WriteResult startWriting(const ArtworkPlan &plan, const Destination &out,
                         std::unique_ptr<ArtworkWriter> *writer)
{
    const QString problem = destinationProblem(plan, out);
    if (!problem.isEmpty())
        return failure(problem);
    *writer = ArtworkWriter::create(plan, out);
    return WriteResult();
}

namespace {

WriteResult writeImage(const QImage &bw, const PadsSettings &settings, const Destination &out,
                       const QImage &edgeGrey, const RowProgress &progress = {})
{
    ImageRows rows(bw, edgeGrey, settings);
    return writeRows(rows, settings, out, progress);
}

} // namespace

WriteResult writeRows(RowStream &rows, const PadsSettings &settings, const Destination &out,
                      const RowProgress &progress, const RowSink &alongside)
{
    std::unique_ptr<ArtworkWriter> writer;
    const WriteResult started
            = startWriting({rows.size(), settings, {settingsLayer(settings)}}, out, &writer);
    if (!started.ok)
        return started;
    bool cancelled = false;
    const bool all = forEachRow(rows, settings, [&](const quint32 *row, int y, const EdgeRow *e) {
        if (progress && y % 64 == 0 && !progress(y)) {
            cancelled = true;
            return false;
        }
        if (!writer->writeRow(0, row, y, e))
            return false;
        if (alongside)
            alongside(row, y, e);
        return true;
    });
    if (cancelled)
        return failure(cancelledMessage());
    if (!all) {
        WriteResult r = failure(QStringLiteral("there is not enough memory to draw the %1 x %2 "
                                               "pixel page")
                                        .arg(rows.size().width())
                                        .arg(rows.size().height()));
        r.rowsFailed = true;
        return r;
    }
    return writer->finish();
}

WriteResult failure(const QString &message)
{
    WriteResult r;
    r.ok = false;
    r.message = message.isEmpty() ? QStringLiteral("unknown error") : message;
    return r;
}

QString cancelledMessage()
{
    return QStringLiteral("Cancelled.");
}

WriteResult writeArtwork(const QImage &bw, const PadsSettings &settings, const Destination &out,
                         const QImage &edgeGrey, const RowProgress &progress)
{
    if (!bw.isNull() && !artworkFits(bw.size(), settings))
        return failure(pitchTooLargeMessage());
    const QString layer = artworkLayerProblem(settings);
    if (!layer.isEmpty())
        return failure(layer);
    return writeImage(bw, settings, out, edgeGrey, progress);
}

FileBudget countArtwork(const QImage &bw, const PadsSettings &settings, const QImage &edgeGrey)
{
    // Formatting every item without a device: the count is the file's by construction, in
    // every layout.
    const bool fits = bw.isNull() || artworkFits(bw.size(), settings);
    const WriteResult r = writeImage(fits ? bw : QImage(), settings, Destination(), edgeGrey);
    return {r.items, r.bytes};
}

} // namespace kcore
