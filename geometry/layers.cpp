// Layer kinds and their names.
#include "layers.h"

namespace kcore {

namespace {

struct KindName
{
    LayerKind kind;
    const char *key;
    const char *name;
};

constexpr KindName kindNames[] = {
        {LayerKind::Auto, "auto", "by layer number"},
        {LayerKind::TopCopper, "top-copper", "top copper"},
        {LayerKind::BottomCopper, "bottom-copper", "bottom copper"},
        {LayerKind::TopSilk, "top-silk", "top silkscreen"},
        {LayerKind::BottomSilk, "bottom-silk", "bottom silkscreen"},
        {LayerKind::TopMask, "top-mask", "top solder mask"},
        {LayerKind::BottomMask, "bottom-mask", "bottom solder mask"},
        {LayerKind::Documentation, "documentation", "documentation"},
};

const KindName &entry(LayerKind kind)
{
    for (const KindName &k : kindNames)
        if (k.kind == kind)
            return k;
    return kindNames[0];
}

} // namespace

namespace {

// PADS's usual numbering, which a layer's kind follows when the user does not choose one.
struct NumberedLayer
{
    int layer;
    LayerKind kind;
};

constexpr NumberedLayer numberedLayers[] = {
        {1, LayerKind::TopCopper}, {2, LayerKind::BottomCopper}, {21, LayerKind::TopMask},
        {26, LayerKind::TopSilk},  {28, LayerKind::BottomMask},  {29, LayerKind::BottomSilk},
};

} // namespace

LayerKind kindOfLayer(int layer)
{
    for (const NumberedLayer &n : numberedLayers)
        if (n.layer == layer)
            return n.kind;
    return LayerKind::Documentation;
}

int layerForKind(LayerKind kind, int layer)
{
    if (kind == LayerKind::Auto || kindOfLayer(layer) == kind)
        return layer;
    if (kind == LayerKind::Documentation)
        return defaultLayer;
    for (const NumberedLayer &n : numberedLayers)
        if (n.kind == kind)
            return n.layer;
    return layer;
}

LayerKind kindForLayer(int layer, LayerKind chosen)
{
    if (chosen == LayerKind::Auto)
        return chosen;
    const LayerKind numbered = kindOfLayer(layer);
    // Inner layers lie between the top (1) and the bottom, which is the highest routing layer.
    if (numbered == LayerKind::Documentation && chosen == LayerKind::BottomCopper && layer >= 3)
        return chosen;
    return numbered;
}

int lowestLayer(PadsFormat format)
{
    // Layer 0 is every layer in PADS; a 9.4 file's layer table has no row for it.
    return format == PadsFormat::V94 ? 1 : 0;
}

QString layerNumbering()
{
    QStringList parts;
    for (const NumberedLayer &n : numberedLayers)
        parts << QStringLiteral("%1 %2").arg(n.layer).arg(kindName(n.kind));
    return parts.join(QStringLiteral(", ")) + QStringLiteral(", any other number ")
            + kindName(LayerKind::Documentation);
}

LayerKind effectiveKind(const PadsSettings &settings)
{
    return settings.kind == LayerKind::Auto ? kindOfLayer(settings.layer) : settings.kind;
}

QString kindName(LayerKind kind)
{
    return QString::fromLatin1(entry(kind).name);
}

QString kindKey(LayerKind kind)
{
    return QString::fromLatin1(entry(kind).key);
}

bool kindFromKey(const QString &key, LayerKind *kind)
{
    for (const KindName &k : kindNames) {
        if (key == QLatin1String(k.key)) {
            *kind = k.kind;
            return true;
        }
    }
    return false;
}

QList<LayerKind> layerKinds()
{
    QList<LayerKind> kinds;
    for (const KindName &k : kindNames)
        if (k.kind != LayerKind::Auto)
            kinds.append(k.kind);
    return kinds;
}

QString layerProblem(const PadsSettings &s)
{
    if (s.format != PadsFormat::V94)
        return QString();
    const LayerKind kind = effectiveKind(s);
    if (s.layer < 1)
        return QStringLiteral("Layer %1 stands for every layer in PADS; a 9.4 file needs a layer "
                              "from 1 to 250.")
                .arg(s.layer);
    if (kind == LayerKind::TopCopper && s.layer != 1)
        return QStringLiteral("Top copper is layer 1 in a 9.4 file; board programs read layer %1 "
                              "as inner or bottom copper.")
                .arg(s.layer);
    if (kind == LayerKind::BottomCopper && s.layer == 1)
        return QStringLiteral("Layer 1 is top copper in a 9.4 file; bottom copper needs layer 2 "
                              "or higher.");
    if (!isCopper(kind) && s.layer <= 2)
        return QStringLiteral("Layers 1 and 2 are the board's top and bottom copper in a 9.4 "
                              "file; %1 needs another layer number.")
                .arg(kindName(kind));
    return QString();
}

bool isCopper(LayerKind kind)
{
    return kind == LayerKind::TopCopper || kind == LayerKind::BottomCopper;
}

bool isTop(LayerKind kind)
{
    return kind == LayerKind::TopCopper || kind == LayerKind::TopSilk || kind == LayerKind::TopMask;
}

} // namespace kcore
