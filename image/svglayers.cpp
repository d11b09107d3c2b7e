// Inkscape layers read from an SVG document's text, and one of them drawn alone.
#include "svglayers.h"

#include <QXmlStreamReader>
#include <QXmlStreamWriter>

namespace kcore {

namespace {

const QString inkscape = QStringLiteral("http://www.inkscape.org/namespaces/inkscape");
const QString svgNamespace = QStringLiteral("http://www.w3.org/2000/svg");

bool isLayer(const QXmlStreamReader &reader)
{
    return reader.name() == QLatin1String("g")
            && reader.attributes().value(inkscape, QStringLiteral("groupmode"))
            == QLatin1String("layer");
}

// Paints that draw: every value but none (and inherit, which takes a parent's, made black too).
bool paints(QStringView value)
{
    const QStringView v = value.trimmed();
    return !v.isEmpty() && v.compare(QLatin1String("none"), Qt::CaseInsensitive) != 0;
}

bool isPaintProperty(QStringView name)
{
    return name == QLatin1String("fill") || name == QLatin1String("stroke");
}

// A style attribute's declarations with paint made black; display dropped where hide.
QString restyled(QStringView style, bool black, bool hide)
{
    QStringList kept;
    for (QStringView declaration : style.split(';')) {
        const qsizetype colon = declaration.indexOf(':');
        if (colon < 0)
            continue;
        const QStringView name = declaration.left(colon).trimmed();
        const QStringView value = declaration.mid(colon + 1);
        if (hide && name == QLatin1String("display"))
            continue;
        if (black && isPaintProperty(name) && paints(value))
            kept << name.toString() + QStringLiteral(":#000000");
        else
            kept << declaration.trimmed().toString();
    }
    if (hide)
        kept << QStringLiteral("display:none");
    return kept.join(';');
}

} // namespace

QList<SvgLayer> svgLayerLabels(const QByteArray &svg)
{
    QList<SvgLayer> layers;
    QXmlStreamReader reader(svg);
    int depth = 0, index = 0;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement:
            if (depth == 1 && isLayer(reader))
                layers << SvgLayer{
                        reader.attributes().value(inkscape, QStringLiteral("label")).toString(),
                        index++};
            ++depth;
            break;
        case QXmlStreamReader::EndElement:
            --depth;
            break;
        default:
            break;
        }
    }
    if (reader.hasError())
        return {};
    return layers;
}

QByteArray svgLayerAlone(const QByteArray &svg, int index)
{
    QByteArray out;
    QXmlStreamReader reader(svg);
    QXmlStreamWriter writer(&out);
    int depth = 0, layer = -1;
    int insideAt = -1; // the depth of the layer drawn, while inside it
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::DTD)
            continue; // entities are expanded as read
        if (token != QXmlStreamReader::StartElement) {
            if (token == QXmlStreamReader::EndElement && --depth == insideAt)
                insideAt = -1;
            writer.writeCurrentToken(reader);
            continue;
        }
        bool hide = false;
        if (depth == 1) {
            const bool isDrawn = isLayer(reader) && ++layer == index;
            const QStringView name = reader.name();
            const bool keeps = name == QLatin1String("defs") || name == QLatin1String("style")
                    || reader.namespaceUri() != svgNamespace;
            hide = !isDrawn && !keeps;
            if (isDrawn)
                insideAt = depth;
        }
        const bool black = insideAt >= 0;
        writer.writeStartElement(reader.namespaceUri().toString(), reader.name().toString());
        for (const QXmlStreamNamespaceDeclaration &declaration : reader.namespaceDeclarations())
            writer.writeNamespace(declaration.namespaceUri().toString(),
                                  declaration.prefix().toString());
        bool styled = false;
        for (const QXmlStreamAttribute &attribute : reader.attributes()) {
            const QStringView name = attribute.qualifiedName();
            QString value = attribute.value().toString();
            if (attribute.namespaceUri().isEmpty() && name == QLatin1String("style")) {
                value = restyled(value, black, hide);
                styled = true;
            } else if (black && attribute.namespaceUri().isEmpty() && isPaintProperty(name)
                       && paints(value)) {
                value = QStringLiteral("#000000");
            }
            writer.writeAttribute(attribute.namespaceUri().toString(), attribute.name().toString(),
                                  value);
        }
        if (hide && !styled)
            writer.writeAttribute(QStringLiteral("style"), QStringLiteral("display:none"));
        ++depth;
    }
    if (reader.hasError())
        return {};
    return out;
}

} // namespace kcore
