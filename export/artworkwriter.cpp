// The one table of file types (each one's writer, files, names and limits), and the walk of a
// single layer's rows into the writer.
#include "artworkwriter.h"

#include "geometry/layers.h"
#include "itemtext.h"
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

std::unique_ptr<ArtworkWriter> ArtworkWriter::create(const ArtworkSpec &spec,
                                                     const Destination &out)
{
    return makePadsWriter(spec, out);
}

bool artworkFits(const QSize &bw, const PadsSettings &settings, double maskExpansionMils)
{
    Q_UNUSED(maskExpansionMils);
    return padsFits(bw, settings);
}

QString artworkLayerProblem(const PadsSettings &settings)
{
    return layerProblem(settings);
}

QStringList artworkFiles(const QString &output, const PadsSettings &settings,
                         const std::vector<ArtworkLayer> &layers)
{
    Q_UNUSED(settings);
    Q_UNUSED(layers);
    return {output};
}

QString artworkName(const QString &path)
{
    const QString name = QFileInfo(path).completeBaseName();
    return name.isEmpty() || path == QLatin1String("-") ? QStringLiteral("artwork") : name;
}

QList<FileType> fileTypes()
{
    return {FileType::Pads};
}

QString fileTypeName(FileType)
{
    return QStringLiteral("PADS");
}

QString fileTypeSuffix(FileType)
{
    return QStringLiteral("asc");
}

QString fileTypeFilter(FileType type)
{
    return QStringLiteral("%1 (*.%2)").arg(fileTypeName(type), fileTypeSuffix(type));
}

FileType fileTypeOfName(const QString &)
{
    return FileType::Pads;
}

QString itemNoun(FileType)
{
    return QStringLiteral("LINES items");
}

bool formatFromKey(const QString &key, PadsSettings *settings)
{
    if (key == QLatin1String("2.0") || key == QLatin1String("9.4")) {
        settings->type = FileType::Pads;
        settings->format = key == QLatin1String("9.4") ? PadsFormat::V94 : PadsFormat::V20;
        return true;
    }
    return false;
}

QString formatKeys()
{
    return QStringLiteral("2.0 or 9.4");
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
    const std::unique_ptr<ArtworkWriter> writer
            = ArtworkWriter::create({rows.size(), settings, {settingsLayer(settings)}}, out);
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
