// The V94 layout: a "*PCB*" section with the unit, five-field pieces, exact decimal geometry in
// mils or millimetres, and a layer table that tells readers what kind of layer the artwork is on.
#include "geometry/layers.h"
#include "itemtext.h"
#include "smoothrow.h"

namespace kcore {

namespace {

QByteArray headerText(const PadsSettings &s)
{
    QByteArray text
            = QByteArray(s.metric ? "!PADS-POWERPCB-V9.4-METRIC!" : "!PADS-POWERPCB-V9.4-MILS!")
            + " DESIGN DATABASE ASCII FILE 1.0\r\n"
              "*PCB*        GENERAL PARAMETERS OF THE PCB DESIGN\r\n"
              "\r\n"
              "UNITS        "
            + (s.metric ? "1" : "0") + "\r\n";
    // Readers place the highest copper layer on the bottom; bottom copper on layer 4 makes a
    // four-layer board.
    if (effectiveKind(s) == LayerKind::BottomCopper && s.layer > 2)
        text += "MAXIMUMLAYER " + QByteArray::number(s.layer) + "\r\n";
    return text + "*LINES*      LINES ITEMS\r\n\r\n";
}

// One block of the layer table. Readers want the braces alone at the start of their lines and
// no blank line inside.
QByteArray layerBlock(int number, const QByteArray &name, const char *type,
                      const QByteArray &extra = QByteArray())
{
    return "LAYER " + QByteArray::number(number) + "\r\n{\r\nLAYER_NAME " + name + "\r\nLAYER_TYPE "
            + type + "\r\n" + extra + "}\r\n";
}

// The layer table: top and bottom copper always (readers take the first and the last routing
// layer as the board's sides), then the artwork's layers. Silkscreen and solder mask belong to
// a side through a line in that side's copper block naming them; readers that go by the name
// alone look for "Bottom" in it.
QByteArray footerText(const std::vector<ArtworkLayer> &layers)
{
    QByteArray associations[2], blocks;
    int bottom = 2;
    for (const ArtworkLayer &layer : layers) {
        QByteArray name;
        const char *type = nullptr;
        const bool top = isTop(layer.kind);
        switch (layer.kind) {
        case LayerKind::TopSilk:
        case LayerKind::BottomSilk:
            name = top ? "Silkscreen Top" : "Silkscreen Bottom";
            type = "SILK_SCREEN";
            associations[!top] += "ASSOCIATED_SILK_SCREEN " + name + "\r\n";
            break;
        case LayerKind::TopMask:
        case LayerKind::BottomMask:
            name = top ? "Solder Mask Top" : "Solder Mask Bottom";
            type = "SOLDER_MASK";
            associations[!top] += "ASSOCIATED_SOLDER_MASK " + name + "\r\n";
            break;
        case LayerKind::Documentation:
            name = "Documentation";
            type = "DOCUMENTATION";
            break;
        case LayerKind::BottomCopper:
            bottom = layer.number;
            break;
        default:
            break;
        }
        if (type)
            blocks += layerBlock(layer.number, name, type);
    }
    QByteArray table = "*MISC*      MISCELLANEOUS PARAMETERS\r\n\r\nLAYER DATA\r\n{\r\n";
    table += layerBlock(1, "Top", "ROUTING", associations[0]);
    table += layerBlock(bottom, "Bottom", "ROUTING", associations[1]);
    return table + blocks + "}\r\n*END*\r\n";
}

class V94Writer : public FormatWriter
{
public:
    V94Writer(const QSize &bw, const PadsSettings &s, const std::vector<ArtworkLayer> &table)
        : FormatWriter(" LINES "), m_geometry(s), m_height(bw.height()), m_width(bw.width()),
          m_header(headerText(s)), m_footer(footerText(table))
    {
        setStyle(s.layer, m_geometry.width());
    }

    void setStyle(int layer, qint64 width) override
    {
        char text[numberSlot];
        const QByteArray afterY = " 1 0 0\r\nOPEN 2 "
                + QByteArray(text, formatFixed(text, width, m_geometry.decimals())) + " 0 "
                + QByteArray::number(layer) + "\r\n0 0\r\n";
        std::memcpy(m_afterY, afterY.constData(), size_t(afterY.size()));
        m_afterYSize = int(afterY.size());
    }

    void items(ChunkBuffer &out, qint64 y, const qint64 *x, const qint64 *length, size_t n) override
    {
        char tail[textSlot];
        const int tailSize = tailAt(y, tail);
        const int decimals = m_geometry.decimals();
        char *cursor = out.cursor();
        bool ok = !out.failed();
        for (size_t i = 0; ok && i < n; ++i) {
            cursor = m_prefix.writeTo(cursor);
            cursor += formatFixed(cursor, x[i], decimals);
            cursor = put<textSlot>(cursor, tail, tailSize);
            cursor += formatFixed(cursor, length[i], decimals);
            std::memcpy(cursor, " 0\r\n", 4);
            cursor += 4;
            ok = endItem(out, cursor);
        }
    }

    void begin(ChunkBuffer &out) override { out.append(m_header.constData(), m_header.size()); }
    void end(ChunkBuffer &out) override { out.append(m_footer.constData(), m_footer.size()); }

    void row(ChunkBuffer &out, const quint32 *row, int y, const EdgeRow *edges) override
    {
        // " Y 1 0 0\r\nOPEN 2 W 0 L\r\n0 0\r\n": the same for every item of the row.
        char tail[textSlot];
        const int tailSize = tailAt(m_geometry.y(y, m_height), tail);
        const int decimals = m_geometry.decimals();

        char *cursor = out.cursor();
        bool ok = !out.failed();
        auto item = [&](qint64 x, qint64 length) {
            if (!ok)
                return; // the rest of the file is lost with the failed write
            cursor = m_prefix.writeTo(cursor);
            cursor += formatFixed(cursor, x, decimals);
            cursor = put<textSlot>(cursor, tail, tailSize);
            cursor += formatFixed(cursor, length, decimals);
            std::memcpy(cursor, " 0\r\n", 4);
            cursor += 4;
            ok = endItem(out, cursor);
        };
        if (edges) {
            m_smooth.place(m_geometry, row, 0, m_width, *edges);
            for (size_t i = 0; i < m_smooth.count(); ++i)
                item(m_smooth.x(i), m_smooth.length(i));
            return;
        }
        forEachItem(m_geometry, row, 0, m_width, nullptr,
                    [&](int, int, qint64 x, qint64 length) { item(x, length); });
    }

private:
    int tailAt(qint64 y, char *tail) const
    {
        std::memset(tail, ' ', textSlot);
        const int ySize = formatFixed(tail + 1, y, m_geometry.decimals());
        std::memcpy(tail + 1 + ySize, m_afterY, size_t(m_afterYSize));
        return 1 + ySize + m_afterYSize;
    }

    LineGeometry m_geometry;
    int m_height;
    int m_width;
    QByteArray m_header, m_footer;
    char m_afterY[textSlot] = {};
    int m_afterYSize = 0;
    SmoothRow m_smooth;
};

} // namespace

std::unique_ptr<FormatWriter> makeV94Writer(const QSize &bw, const PadsSettings &settings,
                                            const std::vector<ArtworkLayer> &table)
{
    return std::make_unique<V94Writer>(bw, settings, table);
}

} // namespace kcore
