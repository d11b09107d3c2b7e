// Inkscape layers of an SVG document: which are named after a board layer, and each drawn alone
// as black ink, whatever its paint, so that its coverage is that layer's artwork.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace kcore {

struct SvgLayer
{
    QString label; // inkscape:label as written
    int index = 0; // among the document's top-level layers, from 0
};

// The top-level layers (<g inkscape:groupmode="layer">) whose label names isBoardLayer accepts,
// in document order; empty for a document that cannot be read.
template<typename Accept>
QList<SvgLayer> svgLayers(const QByteArray &svg, Accept &&isBoardLayer);
QList<SvgLayer> svgLayerLabels(const QByteArray &svg);

// The document with every top-level element hidden but the layer of that index, its every
// paint but none made black; empty when it cannot be read.
QByteArray svgLayerAlone(const QByteArray &svg, int index);

template<typename Accept>
QList<SvgLayer> svgLayers(const QByteArray &svg, Accept &&isBoardLayer)
{
    QList<SvgLayer> layers;
    for (const SvgLayer &layer : svgLayerLabels(svg))
        if (isBoardLayer(layer.label))
            layers << layer;
    return layers;
}

} // namespace kcore
