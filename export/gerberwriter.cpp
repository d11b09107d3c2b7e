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

char *coordinate(char *out, char axis, qint32 v)
{
    *out++ = axis;
    return std::to_chars(out, out + 12, v).ptr;
}

class GerberWriter : public PolygonWriter
{
public:
    GerberWriter(const ArtworkPlan &plan, const Destination &out) : PolygonWriter(plan)
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
        const OutlinePoint o = origin();
        // Up the page: y grows upwards in the file.
        const auto x = [&](size_t i) { return points[i % count].x - o.x; };
        const auto y = [&](size_t i) { return o.y - points[i % count].y; };
        char *cursor = out.cursor();
        std::memcpy(cursor, "G36*\n", 5);
        cursor = coordinate(cursor + 5, 'X', x(0));
        cursor = coordinate(cursor, 'Y', y(0));
        std::memcpy(cursor, "D02*\n", 5);
        out.commit(cursor + 5);
        // Coordinates are modal: each side of an outline changes one of them.
        for (size_t i = 1; i <= count; ++i) {
            cursor = out.cursor();
            if (x(i) != x(i - 1))
                cursor = coordinate(cursor, 'X', x(i));
            if (y(i) != y(i - 1))
                cursor = coordinate(cursor, 'Y', y(i));
            std::memcpy(cursor, "D01*\n", 5);
            out.commit(cursor + 5);
        }
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
    std::vector<std::unique_ptr<ChunkBuffer>> m_buffers;
};

} // namespace

std::unique_ptr<ArtworkWriter> makeGerberWriter(const ArtworkPlan &plan, const Destination &out)
{
    return std::make_unique<GerberWriter>(plan, out);
}

} // namespace kcore
