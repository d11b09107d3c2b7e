// Gerber X2 files, one for each layer: every outline a region of its own in dark polarity, in
// millimetres with six decimals, each file saying what it is. A mask file draws the openings.
#include "polygonwriter.h"
#include "writers.h"

#include <cctype>
#include <charconv>

namespace kcore {

namespace {

// The file's function and polarity, as X2 names them: a mask is drawn as its openings, the
// absence of mask.
QByteArray fileAttributes(LayerKind kind)
{
    const char *function = "OtherDrawing,Documentation";
    switch (kind) {
    case LayerKind::TopCopper:
        function = "Copper,L1,Top";
        break;
    case LayerKind::BottomCopper:
        function = "Copper,L2,Bot";
        break;
    case LayerKind::TopMask:
        function = "Soldermask,Top";
        break;
    case LayerKind::BottomMask:
        function = "Soldermask,Bot";
        break;
    case LayerKind::TopSilk:
        function = "Legend,Top";
        break;
    case LayerKind::BottomSilk:
        function = "Legend,Bot";
        break;
    default:
        break;
    }
    const bool mask = kind == LayerKind::TopMask || kind == LayerKind::BottomMask;
    return QByteArray("%TF.FileFunction,") + function + "*%\n%TF.FilePolarity,"
            + (mask ? "Negative" : "Positive") + "*%\n";
}

// An attribute's field: characters every reader takes.
QByteArray field(const QString &text)
{
    QByteArray out = text.toUtf8();
    for (char &c : out)
        if (!(std::isalnum(uchar(c)) || c == '_' || c == '-' || c == '.'))
            c = '_';
    return out.isEmpty() ? QByteArray("artwork") : out;
}

// A coordinate with the letter of its axis.
char *coordinateX(char *out, qint32 v)
{
    *out = 'X';
    return std::to_chars(out + 1, out + 13, v).ptr;
}

char *coordinateY(char *out, qint32 v)
{
    *out = 'Y';
    return std::to_chars(out + 1, out + 13, v).ptr;
}

class GerberWriter : public PolygonWriter
{
public:
    GerberWriter(const ArtworkPlan &plan, const Destination &out)
        : PolygonWriter(plan), m_x(columnText(false, coordinateX)), m_y(rowText(true, coordinateY))
    {
        const QByteArray head = "%TF.GenerationSoftware,Marrowby,kestrel," KESTREL_VERSION "*%\n"
                                "%TF.SameCoordinates,"
                + field(out.name) + "*%\n";
        for (size_t l = 0; l < layers().size(); ++l) {
            m_buffers.push_back(
                    std::make_unique<ChunkBuffer>(l < out.files.size() ? out.files[l] : nullptr));
            const QByteArray text = head + fileAttributes(layers()[l].kind)
                    + "%FSLAX46Y46*%\n%MOMM*%\n%LPD*%\nG01*\n";
            m_buffers.back()->append(text.constData(), text.size());
        }
    }

protected:
    void polygon(int layer, const OutlinePoint *points, size_t count) override
    {
        ChunkBuffer &out = *m_buffers[size_t(layer)];
        const GridText::Table x = m_x.table(), y = m_y.table();
        // Up the page: y grows upwards in the file.
        char *cursor = out.cursor();
        std::memcpy(cursor, "G36*\n", 5);
        cursor = x.write(cursor + 5, points[0].x);
        cursor = y.write(cursor, points[0].y);
        std::memcpy(cursor, "D02*\n", 5);
        cursor += 5;
        // Coordinates are modal: each side of an outline changes one of them. Sixteen corners
        // at a time are well within the buffer's slack.
        for (size_t i = 1; i <= count; ++i) {
            const OutlinePoint &p = points[i < count ? i : 0], &q = points[i - 1];
            if (i % 16 == 0) {
                out.commit(cursor);
                cursor = out.cursor();
            }
            if (p.x != q.x)
                cursor = x.write(cursor, p.x);
            if (p.y != q.y)
                cursor = y.write(cursor, p.y);
            std::memcpy(cursor, "D01*\n", 5);
            cursor += 5;
        }
        out.commit(cursor);
        out.append("G37*\n", 5);
    }

    const ChunkBuffer &bufferOf(int layer) const override { return *m_buffers[size_t(layer)]; }
    bool failed() const override
    {
        for (const auto &b : m_buffers)
            if (b->failed())
                return true;
        return false;
    }

    WriteResult finishFiles(qint64 polygons) override
    {
        WriteResult r;
        r.items = polygons;
        for (const auto &b : m_buffers) {
            b->append("M02*\n", 5);
            if (!b->flush() && r.ok) {
                r = failure(b->errorString());
                r.items = polygons;
            }
            r.bytes += b->written();
        }
        return r;
    }

private:
    GridText m_x, m_y;
    std::vector<std::unique_ptr<ChunkBuffer>> m_buffers;
};

} // namespace

std::unique_ptr<ArtworkWriter> makeGerberWriter(const ArtworkPlan &plan, const Destination &out)
{
    return std::make_unique<GerberWriter>(plan, out);
}

} // namespace kcore
