// What the polygon writers share, private to export/: each layer's rows become spans in
// nanometres, the spans bands, the bands closed outlines, and each outline goes to the format.
#pragma once

#include "artworkwriter.h"
#include "board/outlines.h"
#include "itemtext.h"

#include <memory>
#include <vector>

namespace kcore {

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
    std::vector<qint32> m_columns; // each pixel column's left edge, the width's last
    double m_pitch; // nanometres
    int m_width, m_height;
    OutlinePoint m_origin, m_extent;
    qint64 m_polygons = 0;
    mutable qint64 m_runs = 0;
};

} // namespace kcore
