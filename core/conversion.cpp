// The conversion's source, its one check before writing, and its rows.
#include "conversion.h"

#include "export/padswriter.h"
#include "geometry/layers.h"
#include "geometry/units.h"
#include "image/picture.h"

#include <cmath>

namespace kcore {

namespace {

int wholePercent(double scalePercent)
{
    return int(std::lround(qBound(0.0, scalePercent, 1e6)));
}

} // namespace

Source Source::open(const QString &path, int page, QString *why)
{
    Source s;
    if (isVectorFile(path)) {
        std::unique_ptr<VectorDocument> document = VectorDocument::open(path, page, why);
        if (!document)
            return s;
        s.m_vector = std::move(document);
    } else {
        s.m_picture = loadPicture(path, why);
        if (s.m_picture.isNull())
            return s;
    }
    s.m_path = path;
    return s;
}

Source Source::fromPicture(const QImage &picture, const QString &path)
{
    Source s;
    s.m_picture = picture;
    s.m_path = path;
    return s;
}

QSize Source::grid(const ConversionSettings &settings) const
{
    if (m_vector)
        return vectorGrid(m_vector->pageMils(), settings.scalePercent, settings.pads.pitch);
    return bwSize(m_picture.size(), wholePercent(settings.scalePercent));
}

QSize Source::request(const ConversionSettings &settings) const
{
    if (m_vector)
        return grid(settings);
    return scaledRequest(m_picture.size(), wholePercent(settings.scalePercent));
}

int Source::largestScale(const ConversionSettings &settings, int maxPercent) const
{
    if (!m_vector)
        return largestScaleWithinLimit(m_picture.size(), maxPercent);
    ConversionSettings s = settings;
    for (int p = maxPercent; p > 0; --p) {
        s.scalePercent = p;
        if (!beyondPixelBound(grid(s)))
            return p;
    }
    return 0;
}

QImage Source::colour(const ConversionSettings &settings) const
{
    if (!m_vector)
        return m_picture;
    const QSize g = grid(settings);
    if (g.isEmpty() || beyondPixelBound(g))
        return QImage();
    return renderVectorPage(*m_vector, g, settings.scalePercent, settings.pads.pitch);
}

std::unique_ptr<RowStream> Source::rows(const ConversionSettings &settings) const
{
    if (m_vector)
        return std::make_unique<VectorRows>(*m_vector, settings.scalePercent, settings.pads.pitch,
                                            settings.threshold, settings.invert);
    return std::make_unique<BwRows>(m_picture, settings.threshold, settings.invert,
                                    wholePercent(settings.scalePercent));
}

WriteCheck checkWrite(const QString &widthText, int unit, const ConversionSettings &settings,
                      const Source &source, const QString &notBuilt)
{
    const QString width = lineWidthProblem(widthText, unit);
    if (!width.isEmpty())
        return {Refusal::LineWidth, width};
    const QString layer = layerProblem(settings.pads);
    if (!layer.isEmpty())
        return {Refusal::Layer, layer};
    if (source.isNull())
        return {Refusal::NoSource, QString()};
    const QSize request = source.request(settings);
    if (beyondPixelBound(request))
        return {Refusal::TooManyPixels, tooManyPixelsMessage(settings.scalePercent, request)};
    if (!notBuilt.isEmpty())
        return {Refusal::NotBuilt, notBuilt};
    const QSize grid = source.grid(settings);
    if (grid.isEmpty())
        return {Refusal::NoPixels, QString()};
    if (!padsFits(grid, settings.pads))
        return {Refusal::TooLarge, pitchTooLargeMessage()};
    return {};
}

} // namespace kcore
