// The writer's front: the chosen layout's items, row by row, into chunks for the device.
#include "padswriter.h"

#include "geometry/layers.h"
#include "itemtext.h"

namespace kcore {

QString pitchTooLargeMessage()
{
    return QStringLiteral("The line width is too large for this picture: its coordinates would "
                          "not fit in a PADS file.");
}

PadsWriter::PadsWriter(const QSize &bw, const PadsSettings &settings, QIODevice *out)
    : m_out(std::make_unique<ChunkBuffer>(out)),
      m_format(settings.format == PadsFormat::V94 ? makeV94Writer(bw, settings)
                                                  : makeV20Writer(bw, settings))
{
    m_format->begin(*m_out);
}

PadsWriter::~PadsWriter() = default;

bool PadsWriter::writeRow(const quint32 *row, int y, const EdgeRow *edges)
{
    if (m_out->failed())
        return false;
    m_format->row(*m_out, row, y, edges);
    return !m_out->failed();
}

PadsResult PadsWriter::finish()
{
    if (!m_out->failed())
        m_format->end(*m_out);
    if (!m_out->flush()) {
        PadsResult r = failure(m_out->errorString());
        r.items = m_format->items();
        return r;
    }
    PadsResult r;
    r.items = m_format->items();
    r.bytes = m_out->written();
    return r;
}

namespace {

PadsResult writeImage(const QImage &bw, const PadsSettings &settings, QIODevice *out,
                      const QImage &edgeGrey, const RowProgress &progress = {})
{
    const QImage words = pixelWords(bw);
    PadsWriter writer(words.size(), settings, out);
    for (int y = 0; y < words.height(); ++y) {
        if (progress && y % 64 == 0 && !progress(y))
            return failure(cancelledMessage());
        const std::optional<EdgeRow> edges = edgeRow(edgeGrey, words.size(), y, settings);
        if (!writer.writeRow(reinterpret_cast<const quint32 *>(words.constScanLine(y)), y,
                             edges ? &*edges : nullptr))
            break;
    }
    return writer.finish();
}

} // namespace

QString cancelledMessage()
{
    return QStringLiteral("Cancelled.");
}

PadsResult writePads(const QImage &bw, const PadsSettings &settings, QIODevice *out,
                     const QImage &edgeGrey, const RowProgress &progress)
{
    if (!bw.isNull() && !padsFits(bw.size(), settings))
        return failure(pitchTooLargeMessage());
    const QString layer = layerProblem(settings);
    if (!layer.isEmpty())
        return failure(layer);
    return writeImage(bw, settings, out, edgeGrey, progress);
}

PadsBudget countPads(const QImage &bw, const PadsSettings &settings, const QImage &edgeGrey)
{
    // Formatting every item without a device: the count is the file's by construction, in
    // every layout.
    const bool fits = bw.isNull() || padsFits(bw.size(), settings);
    const PadsResult r = writeImage(fits ? bw : QImage(), settings, nullptr, edgeGrey);
    return {r.items, r.bytes};
}

} // namespace kcore
