// The rows an image hands the writers, the space check and the Board view alike.
#include "lineitems.h"

namespace kcore {

QImage pixelWords(const QImage &bw)
{
    if (bw.format() == QImage::Format_RGB32 || bw.format() == QImage::Format_ARGB32)
        return bw;
    return bw.convertToFormat(QImage::Format_ARGB32);
}

bool padsFits(const QSize &bw, const PadsSettings &settings)
{
    return LineGeometry(settings).fits(bw);
}

std::optional<EdgeRow> edgeRow(const QImage &edgeGrey, const QSize &bw, int y,
                               const PadsSettings &settings)
{
    if (!settings.smoothEdges || edgeGrey.size() != bw)
        return std::nullopt;
    if (edgeGrey.format() == QImage::Format_Grayscale8)
        return EdgeRow(edgeGrey.constScanLine(y), 1, bw.width(), settings.threshold);
    if (edgeGrey.format() == QImage::Format_RGB32 || edgeGrey.format() == QImage::Format_ARGB32)
        return EdgeRow(
                EdgeRow::lowBytes(reinterpret_cast<const quint32 *>(edgeGrey.constScanLine(y))), 4,
                bw.width(), settings.threshold);
    return std::nullopt;
}

ImageRows::ImageRows(const QImage &bw, const QImage &edgeGrey, const PadsSettings &settings)
    : m_words(pixelWords(bw))
{
    const bool usable = edgeGrey.format() == QImage::Format_Grayscale8
            || edgeGrey.format() == QImage::Format_RGB32
            || edgeGrey.format() == QImage::Format_ARGB32;
    if (settings.smoothEdges && usable && edgeGrey.size() == bw.size())
        m_edges = edgeGrey;
}

GreyLevels ImageRows::edgeLevels(int y)
{
    if (m_edges.isNull())
        return {};
    if (m_edges.format() == QImage::Format_Grayscale8)
        return {m_edges.constScanLine(y), 1};
    return {EdgeRow::lowBytes(reinterpret_cast<const quint32 *>(m_edges.constScanLine(y))), 4};
}

} // namespace kcore
