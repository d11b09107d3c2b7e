// The writer's front: the chosen layout's items, row by row, into chunks for the device.
#include "artworkwriter.h"

#include "geometry/layers.h"
#include "itemtext.h"

namespace kcore {

QString pitchTooLargeMessage()
{
    return QStringLiteral("The line width is too large for this picture: its coordinates would "
                          "not fit in a PADS file.");
}

ArtworkWriter::ArtworkWriter(const QSize &bw, const PadsSettings &settings, QIODevice *out)
    : m_out(std::make_unique<ChunkBuffer>(out)),
      m_format(settings.format == PadsFormat::V94 ? makeV94Writer(bw, settings)
                                                  : makeV20Writer(bw, settings))
{
    m_format->begin(*m_out);
}

ArtworkWriter::~ArtworkWriter() = default;

bool ArtworkWriter::writeRow(const quint32 *row, int y, const EdgeRow *edges)
{
    if (m_out->failed())
        return false;
    m_format->row(*m_out, row, y, edges);
    return !m_out->failed();
}

WriteResult ArtworkWriter::finish()
{
    if (!m_out->failed())
        m_format->end(*m_out);
    if (!m_out->flush()) {
        WriteResult r = failure(m_out->errorString());
        r.items = m_format->items();
        return r;
    }
    WriteResult r;
    r.items = m_format->items();
    r.bytes = m_out->written();
    return r;
}

namespace {

WriteResult writeImage(const QImage &bw, const PadsSettings &settings, QIODevice *out,
                       const QImage &edgeGrey, const RowProgress &progress = {})
{
    ImageRows rows(bw, edgeGrey, settings);
    return writeRows(rows, settings, out, progress);
}

} // namespace

WriteResult writeRows(RowStream &rows, const PadsSettings &settings, QIODevice *out,
                      const RowProgress &progress, const RowSink &alongside)
{
    ArtworkWriter writer(rows.size(), settings, out);
    bool cancelled = false;
    const bool all = forEachRow(rows, settings, [&](const quint32 *row, int y, const EdgeRow *e) {
        if (progress && y % 64 == 0 && !progress(y)) {
            cancelled = true;
            return false;
        }
        if (!writer.writeRow(row, y, e))
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
    return writer.finish();
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

WriteResult writeArtwork(const QImage &bw, const PadsSettings &settings, QIODevice *out,
                         const QImage &edgeGrey, const RowProgress &progress)
{
    if (!bw.isNull() && !padsFits(bw.size(), settings))
        return failure(pitchTooLargeMessage());
    const QString layer = layerProblem(settings);
    if (!layer.isEmpty())
        return failure(layer);
    return writeImage(bw, settings, out, edgeGrey, progress);
}

FileBudget countArtwork(const QImage &bw, const PadsSettings &settings, const QImage &edgeGrey)
{
    // Formatting every item without a device: the count is the file's by construction, in
    // every layout.
    const bool fits = bw.isNull() || padsFits(bw.size(), settings);
    const WriteResult r = writeImage(fits ? bw : QImage(), settings, nullptr, edgeGrey);
    return {r.items, r.bytes};
}

} // namespace kcore
