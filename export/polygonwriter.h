// What the polygon writers share, private to export/: each layer's rows become spans in
// nanometres, the spans bands, the bands closed outlines, and each outline goes to the format.
#pragma once

#include "artworkwriter.h"
#include "board/outlines.h"
#include "itemtext.h"

#include <cstring>
#include <memory>
#include <vector>

namespace kcore {

// Coordinates on the pixel grid, formatted once each: nearly every corner lies on it, and each
// of its few thousand numbers comes back hundreds of times. Others are formatted as they come.
class GridText
{
public:
    using Format = char *(*)(char *out, qint32 v);
    // The text of format(v - offset), or with flip format(offset - v), for each of edges, the
    // grid's lines llround(k * pitch) from k = 0.
    GridText(const std::vector<qint32> &edges, double pitch, qint32 offset, bool flip,
             Format format);

    // What a writer's loop reads, copied into it: its own values stay in registers while it
    // writes text, which the compiler must otherwise assume may change them.
    struct Table
    {
        const qint32 *edges;
        const char *text;
        double count, perEdge;
        qint32 offset;
        bool flip;
        Format format;

        // v's text, or null when v is off the grid.
        const char *find(qint32 v) const
        {
            const double at = double(v) * perEdge + 0.5;
            if (at >= 0 && at < count) {
                const size_t k = size_t(at);
                if (edges[k] == v)
                    return text + k * slot;
            }
            return nullptr;
        }
        // Text found for v, or formatted when none was, at out, which has numberSlot bytes of
        // room; returns its end.
        char *write(char *out, const char *found, qint32 v) const
        {
            if (!found)
                return format(out, flip ? offset - v : v - offset);
            std::memcpy(out, found, slot);
            return out + found[slot - 1];
        }
        char *write(char *out, qint32 v) const { return write(out, find(v), v); }
    };
    Table table() const
    {
        return {m_edges.data(), m_text.data(), double(m_edges.size()), m_perEdge, m_offset,
                m_flip,         m_format};
    }

private:
    static constexpr size_t slot = 16; // the text, its length in the last byte
    std::vector<qint32> m_edges;
    std::vector<char> m_text;
    double m_perEdge;
    qint32 m_offset;
    bool m_flip;
    Format m_format;
};

// The corners of the polygons are nanometres from the picture's top-left corner; origin() is
// where the file's origin lies among them, the picture's centre or its lower-left corner.
class PolygonWriter : public ArtworkWriter
{
public:
    bool writeRow(int layer, const quint32 *row, int y, const EdgeRow *edges) override;
    bool writeGrownRow(int layer, const quint32 *row, int y, const EdgeRow *edges,
                       const quint32 *below) override;
    WriteResult finish() override;
    FileBudget written(int layer) const override { return m_budgets[size_t(layer)]; }

    // The largest number of nanometres a corner may lie from the picture's corner.
    static constexpr double maxNanometres = 2147483647.0;

protected:
    PolygonWriter(const ArtworkPlan &plan);
    ~PolygonWriter() override;
    // Every layer's rows given: the writer's own end of its files, and their result.
    virtual WriteResult finishFiles(qint64 polygons) = 0;
    // A closed outline of layer; corners in order, the last joined to the first.
    virtual void polygon(int layer, const OutlinePoint *points, size_t count) = 0;
    // Where a layer's polygons are written, for its figures.
    virtual const ChunkBuffer &bufferOf(int layer) const = 0;

    const std::vector<ArtworkLayer> &layers() const { return m_layers; }
    OutlinePoint origin() const { return m_origin; }
    // The picture's width and height in nanometres.
    OutlinePoint extent() const { return m_extent; }
    // The text of x - origin().x, or with flip origin().x - x, for the format.
    GridText columnText(bool flip, GridText::Format format) const;
    // The same for y.
    GridText rowText(bool flip, GridText::Format format) const;
    // Whether any write failed.
    virtual bool failed() const = 0;

private:
    struct Layer;
    void spans(const quint32 *row, const EdgeRow *edges, std::vector<Span> &out) const;
    Layer &rowOf(int layer, int y);
    void ring(int layer, const OutlinePoint *points, size_t count);

    std::vector<ArtworkLayer> m_layers;
    std::vector<std::unique_ptr<Layer>> m_layerState;
    std::vector<FileBudget> m_budgets;
    // each pixel column's left edge, the width's last, and on to the height: rows' tops alike
    std::vector<qint32> m_columns;
    double m_pitch; // nanometres
    int m_width, m_height;
    OutlinePoint m_origin, m_extent;
    qint64 m_polygons = 0;
    mutable qint64 m_runs = 0;
};

} // namespace kcore
