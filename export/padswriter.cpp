// The PADS writer: every horizontal run of white pixels of every layer becomes one LINES item, in
// the layout the settings choose (V20 or V94); a stack's gold openings are its copper's items in
// wider (or thinner) lines.
#include "writers.h"

#include "itemtext.h"
#include "smoothrow.h"

#include <cmath>

namespace kcore {

namespace {

// The items of one row, placed: with smooth edges from the layer's own levels.
class Placed
{
public:
    void place(const LineGeometry &g, const quint32 *row, int width, const EdgeRow *edges)
    {
        clear();
        if (edges) {
            m_smooth.place(g, row, 0, width, *edges);
            for (size_t i = 0; i < m_smooth.count(); ++i)
                add(m_smooth.x(i), m_smooth.length(i));
            return;
        }
        forEachItem(g, row, 0, width, nullptr,
                    [&](int, int, qint64 x, qint64 length) { add(x, length); });
    }
    void add(qint64 x, qint64 length)
    {
        m_x.push_back(x);
        m_length.push_back(length);
    }
    void clear()
    {
        m_x.clear();
        m_length.clear();
    }
    size_t count() const { return m_x.size(); }
    const qint64 *x() const { return m_x.data(); }
    const qint64 *length() const { return m_length.data(); }

private:
    SmoothRow m_smooth;
    std::vector<qint64> m_x, m_length;
};

class PadsWriter : public ArtworkWriter
{
public:
    PadsWriter(const ArtworkPlan &plan, QIODevice *out)
        : m_buffer(out), m_geometry(plan.settings), m_layers(plan.layers),
          m_budgets(plan.layers.size()), m_width(plan.size.width()), m_height(plan.size.height()),
          m_pitchMils(plan.settings.pitch), m_v94(plan.settings.format == PadsFormat::V94)
    {
        PadsSettings s = plan.settings;
        s.layer = m_layers.front().number;
        m_format = m_v94 ? makeV94Writer(plan.size, s, m_layers) : makeV20Writer(plan.size, s);
        m_style = {s.layer, m_geometry.width()};
        // Widths in the file's quanta: V20's whole mils never below the width asked, as every
        // V20 width; a line one expansion wider on each side grows every item by exactly the
        // expansion.
        const double expansion = plan.maskExpansionMils;
        m_maskWidth = widthOf(s.pitch + 2 * expansion);
        // An opening that shrinks leaves a strip 2 |expansion| tall between two rows of it: a
        // line that tall along the boundary fills it.
        m_shrinks = expansion < 0;
        m_fillWidth = m_shrinks ? widthOf(-2 * expansion) + (m_v94 ? 1 : 0) : 0;
        m_format->begin(m_buffer);
    }

    bool writeRow(int layer, const quint32 *row, int y, const EdgeRow *edges) override
    {
        counted(layer, [&] {
            style(layer, m_geometry.width());
            m_format->row(m_buffer, row, y, edges);
        });
        return !m_buffer.failed();
    }

    bool writeGrownRow(int layer, const quint32 *row, int y, const EdgeRow *edges,
                       const quint32 *below) override
    {
        counted(layer, [&] {
            // Gold's openings on its copper's own centre lines, one expansion wider each side.
            m_placed.place(m_geometry, row, m_width, edges);
            style(layer, m_maskWidth);
            m_format->items(m_buffer, m_geometry.y(y, m_height), m_placed.x(), m_placed.length(),
                            m_placed.count());
            if (m_shrinks && below)
                fill(layer, row, below, y);
        });
        return !m_buffer.failed();
    }

    WriteResult finish() override
    {
        if (!m_buffer.failed())
            m_format->end(m_buffer);
        WriteResult r;
        r.items = m_format->items();
        if (!m_buffer.flush()) {
            WriteResult f = failure(m_buffer.errorString());
            f.items = r.items;
            return f;
        }
        r.bytes = m_buffer.written();
        return r;
    }

    FileBudget written(int layer) const override { return m_budgets[size_t(layer)]; }

private:
    qint64 widthOf(double mils) const
    {
        return m_v94 ? std::llround(mils * m_geometry.quantaPerMil()) : qint64(lineWidthMils(mils));
    }

    // The layer's number and a width for the items that follow, set only when they change.
    void style(int layer, qint64 width)
    {
        const std::pair<int, qint64> wanted{m_layers[size_t(layer)].number, width};
        if (wanted != m_style)
            m_format->setStyle(wanted.first, wanted.second);
        m_style = wanted;
    }

    // What write adds to the file, counted to the layer.
    template<typename Write>
    void counted(int layer, Write &&write)
    {
        const qint64 items = m_format->items(), bytes = m_buffer.total();
        write();
        FileBudget &b = m_budgets[size_t(layer)];
        b.items += m_format->items() - items;
        b.bytes += m_buffer.total() - bytes;
    }

    // Where this row's gold and the next row's overlap, the strip between them.
    void fill(int layer, const quint32 *here, const quint32 *next, int y)
    {
        m_below.clear();
        for (int x = 0; x < m_width;) {
            if (!(here[x] & next[x] & 0xff)) {
                ++x;
                continue;
            }
            int end = x;
            while (end < m_width && (here[end] & next[end] & 0xff))
                ++end;
            m_below.add(m_geometry.x(x), m_geometry.length(end - x));
            x = end;
        }
        const qint64 between = m_v94
                ? std::llround((double(m_height - y) - 0.5) * m_geometry.pitchQuanta())
                : qint64(std::floor((double(m_height - y) - 0.5) * m_pitchMils + 0.5));
        style(layer, m_fillWidth);
        m_format->items(m_buffer, between, m_below.x(), m_below.length(), m_below.count());
    }

    ChunkBuffer m_buffer;
    LineGeometry m_geometry;
    std::vector<ArtworkLayer> m_layers;
    std::vector<FileBudget> m_budgets;
    std::unique_ptr<FormatWriter> m_format;
    std::pair<int, qint64> m_style;
    qint64 m_maskWidth = 0, m_fillWidth = 0;
    int m_width, m_height;
    double m_pitchMils;
    bool m_v94;
    bool m_shrinks = false;
    Placed m_placed, m_below;
};

} // namespace

std::unique_ptr<ArtworkWriter> makePadsWriter(const ArtworkPlan &plan, const Destination &out)
{
    return std::make_unique<PadsWriter>(plan, out.files.empty() ? nullptr : out.files.front());
}

} // namespace kcore
