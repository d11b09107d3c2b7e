// Rows to outlines for the polygon writers: a run of pixels covers its columns' edges exactly, or
// with smooth edges from edge to edge of the grey picture, as the PADS writer's items do; a
// stack's gold openings are grown across and along the rows.
#include "polygonwriter.h"

#include <cmath>

namespace kcore {

namespace {

// A run narrower than this between its smooth edges keeps it, centred between them: the
// shortest piece the PADS writer writes.
constexpr qint32 narrowest = 25400;

} // namespace

struct PolygonWriter::Layer
{
    OutlineTracer tracer;
    LayerBands bands;
    int y = -1; // the row being gathered
    std::vector<Span> drawn, grown;

    Layer(PolygonWriter *writer, int layer, double pitch, qint32 expansion)
        : tracer([writer, layer](const OutlinePoint *points, size_t count) {
              writer->ring(layer, points, count);
          }),
          bands(tracer, pitch, expansion)
    { }
};

QString kicadLayerName(LayerKind kind)
{
    switch (kind) {
    case LayerKind::TopCopper:
        return QStringLiteral("F.Cu");
    case LayerKind::BottomCopper:
        return QStringLiteral("B.Cu");
    case LayerKind::TopSilk:
        return QStringLiteral("F.SilkS");
    case LayerKind::BottomSilk:
        return QStringLiteral("B.SilkS");
    case LayerKind::TopMask:
        return QStringLiteral("F.Mask");
    case LayerKind::BottomMask:
        return QStringLiteral("B.Mask");
    default:
        return QStringLiteral("Dwgs.User");
    }
}

PolygonWriter::PolygonWriter(const ArtworkPlan &plan)
    : m_layers(plan.layers), m_budgets(plan.layers.size()), m_pitch(plan.settings.pitch * 25400),
      m_width(plan.size.width()), m_height(plan.size.height())
{
    m_columns.resize(size_t(std::max(m_width, m_height)) + 1);
    for (size_t k = 0; k < m_columns.size(); ++k)
        m_columns[size_t(k)] = qint32(std::llround(double(k) * m_pitch));
    const qint32 expansion = qint32(std::llround(plan.maskExpansionMils * 25400));
    for (size_t l = 0; l < m_layers.size(); ++l)
        m_layerState.push_back(std::make_unique<Layer>(this, int(l), m_pitch, expansion));
    m_extent = {m_columns[size_t(m_width)], m_layerState.front()->bands.rowTop(m_height)};
    m_origin = plan.settings.originCorner ? OutlinePoint{0, m_extent.y}
                                          : OutlinePoint{m_extent.x / 2, m_extent.y / 2};
}

PolygonWriter::~PolygonWriter() = default;

GridText::GridText(const std::vector<qint32> &edges, double pitch, qint32 offset, bool flip,
                   Format format)
    : m_edges(edges), m_text(edges.size() * slot), m_perEdge(1 / pitch), m_offset(offset),
      m_flip(flip), m_format(format)
{
    for (size_t k = 0; k < edges.size(); ++k) {
        char text[2 * numberSlot];
        const qint32 v = edges[k];
        const int length = int(format(text, flip ? offset - v : v - offset) - text);
        if (length >= int(slot)) {
            // A format too wide to keep: every number formatted as it comes.
            m_edges.clear();
            return;
        }
        std::memcpy(&m_text[k * slot], text, size_t(length));
        m_text[k * slot + slot - 1] = char(length);
    }
}

GridText PolygonWriter::columnText(bool flip, GridText::Format format) const
{
    return GridText(m_columns, m_pitch, m_origin.x, flip, format);
}

GridText PolygonWriter::rowText(bool flip, GridText::Format format) const
{
    return GridText(m_columns, m_pitch, m_origin.y, flip, format);
}

void PolygonWriter::spans(const quint32 *row, const EdgeRow *edges, std::vector<Span> &out) const
{
    const size_t before = out.size();
    if (!edges) {
        forEachRun(row, m_width, [&](int s, int n) {
            out.push_back({m_columns[size_t(s)], m_columns[size_t(s + n)]});
        });
        m_runs += qint64(out.size() - before);
        return;
    }
    forEachRun(row, m_width, [&](int s, int n) {
        qint32 left = qint32(std::llround(edges->left(s) * m_pitch));
        qint32 right = qint32(std::llround(edges->right(s + n) * m_pitch));
        if (right - left < narrowest) {
            left = qint32((qint64(left) + right - narrowest) / 2);
            right = left + narrowest;
        }
        out.push_back({left, right});
    });
    m_runs += qint64(out.size() - before);
}

PolygonWriter::Layer &PolygonWriter::rowOf(int layer, int y)
{
    Layer &l = *m_layerState[size_t(layer)];
    if (l.y != y) {
        if (l.y >= 0)
            l.bands.addRow(l.y, l.drawn, l.grown);
        l.drawn.clear();
        l.grown.clear();
        l.y = y;
    }
    return l;
}

bool PolygonWriter::writeRow(int layer, const quint32 *row, int y, const EdgeRow *edges)
{
    spans(row, edges, rowOf(layer, y).drawn);
    return !failed();
}

bool PolygonWriter::writeGrownRow(int layer, const quint32 *row, int y, const EdgeRow *edges,
                                  const quint32 *)
{
    // The rows within the expansion's reach are the bands' to find: the row below is not needed.
    spans(row, edges, rowOf(layer, y).grown);
    return !failed();
}

void PolygonWriter::ring(int layer, const OutlinePoint *points, size_t count)
{
    const ChunkBuffer &buffer = bufferOf(layer);
    const qint64 before = buffer.total();
    polygon(layer, points, count);
    FileBudget &b = m_budgets[size_t(layer)];
    ++b.items;
    b.bytes += buffer.total() - before;
    ++m_polygons;
}

WriteResult PolygonWriter::finish()
{
    for (const auto &l : m_layerState) {
        if (l->y >= 0)
            l->bands.addRow(l->y, l->drawn, l->grown);
        l->bands.finish(m_height);
    }
    WriteResult r = finishFiles(m_polygons);
    r.runs = m_runs;
    return r;
}

} // namespace kcore
