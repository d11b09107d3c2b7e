// The KiCad footprint: every layer's outlines as filled polygons without an outline stroke, in
// the s-expressions KiCad 8 to 10 read, the footprint kept out of the BOM and position files.
#include "polygonwriter.h"
#include "writers.h"

namespace kcore {

namespace {

// A quoted string as KiCad reads one.
QByteArray quoted(const QString &text)
{
    QByteArray out = "\"";
    for (const char c : text.toUtf8()) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + '"';
}

// Millimetres of v nanometres, as few digits as the number needs.
char *millimetres(char *out, qint32 v)
{
    if (v < 0) {
        *out++ = '-';
        v = qint32(-qint64(v));
    }
    return out + formatFixed(out, v, 6);
}

// A corner's x and the space after it; its y and the bracket closing the corner.
char *cornerX(char *out, qint32 v)
{
    out = millimetres(out, v);
    *out = ' ';
    return out + 1;
}

char *cornerY(char *out, qint32 v)
{
    out = millimetres(out, v);
    *out = ')';
    return out + 1;
}

class KiCadWriter : public PolygonWriter
{
public:
    KiCadWriter(const ArtworkPlan &plan, const Destination &out)
        : PolygonWriter(plan), m_buffer(out.files.empty() ? nullptr : out.files.front()),
          m_x(columnText(false, cornerX)), m_y(rowText(false, cornerY))
    {
        const QByteArray name = quoted(out.name.isEmpty() ? QStringLiteral("artwork") : out.name);
        const QByteArray hidden = " (at 0 0 0) (layer \"F.Fab\") (hide yes)\n"
                                  "    (effects (font (size 1 1) (thickness 0.15))))\n";
        const QByteArray head = "(footprint " + name
                + "\n  (version 20240108)\n  (generator \"kestrel\")\n"
                  "  (generator_version \"" KESTREL_VERSION "\")\n"
                  "  (layer \"F.Cu\")\n"
                  "  (descr \"Board art from kestrel\")\n"
                  "  (attr board_only exclude_from_pos_files exclude_from_bom)\n"
                  "  (property \"Reference\" \"G***\""
                + hidden + "  (property \"Value\" " + name + hidden;
        m_buffer.append(head.constData(), head.size());
        for (const ArtworkLayer &layer : layers())
            m_tails.push_back(") (stroke (width 0) (type solid)) (fill solid) (layer \""
                              + kicadLayerName(layer.kind).toLatin1() + "\"))\n");
    }

protected:
    void polygon(int layer, const OutlinePoint *points, size_t count) override
    {
        const GridText::Table x = m_x.table(), y = m_y.table();
        char *cursor = m_buffer.cursor();
        std::memcpy(cursor, "  (fp_poly (pts", 15);
        cursor += 15;
        // An outline's sides run across and down in turn: each corner shares a coordinate with
        // the one before, whose text is looked up once.
        const char *xText = x.find(points[0].x), *yText = y.find(points[0].y);
        for (size_t i = 0; i < count; ++i) {
            // A line of points at a time: KiCad reads a line of at most a million bytes. A
            // line is well within the buffer's slack.
            if (i % 16 == 0 && i > 0) {
                m_buffer.commit(cursor);
                cursor = m_buffer.cursor();
                std::memcpy(cursor, "\n   ", 4);
                cursor += 4;
            }
            std::memcpy(cursor, " (xy ", 5);
            if (i > 0 && points[i].x != points[i - 1].x)
                xText = x.find(points[i].x);
            if (i > 0 && points[i].y != points[i - 1].y)
                yText = y.find(points[i].y);
            cursor = x.write(cursor + 5, xText, points[i].x);
            cursor = y.write(cursor, yText, points[i].y);
        }
        m_buffer.commit(cursor);
        const QByteArray &tail = m_tails[size_t(layer)];
        m_buffer.append(tail.constData(), tail.size());
    }

    const ChunkBuffer &bufferOf(int) const override { return m_buffer; }
    bool failed() const override { return m_buffer.failed(); }

    WriteResult finishFiles(qint64 polygons) override
    {
        m_buffer.append(")\n", 2);
        if (!m_buffer.flush()) {
            WriteResult f = failure(m_buffer.errorString());
            f.items = polygons;
            return f;
        }
        WriteResult r;
        r.items = polygons;
        r.bytes = m_buffer.written();
        return r;
    }

private:
    ChunkBuffer m_buffer;
    GridText m_x, m_y;
    std::vector<QByteArray> m_tails;
};

} // namespace

std::unique_ptr<ArtworkWriter> makeKiCadWriter(const ArtworkPlan &plan, const Destination &out)
{
    return std::make_unique<KiCadWriter>(plan, out);
}

} // namespace kcore
