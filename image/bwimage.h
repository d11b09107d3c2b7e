// Black-and-white image: the grey image scaled, then clipped at a threshold, optionally inverted.
#pragma once

#include "edgegrey.h"
#include "greyimage.h"
#include "picture.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <memory>
#include <vector>

namespace kcore {

// The size asked of the scaler: each side times percent / 100.0, truncated toward zero.
QSize scaledRequest(const QSize &grey, int scalePercent);

// The size of the black-and-white image for a picture of this size at this scale: the request
// fitted with the aspect ratio kept, as QImage::scaled() gives it; empty when the request is.
QSize bwSize(const QSize &picture, int scalePercent);

// Whether the black-and-white image for this scale stays within maxImagePixels.
bool scaleWithinLimit(const QSize &grey, int scalePercent);

// The largest percentage up to maxPercent whose image stays within maxImagePixels; 0 if none.
int largestScaleWithinLimit(const QSize &grey, int maxPercent);

// Why a scale is refused: "At 500 % the black-and-white image would be 40000 x 20000 pixels,
// more than the 268 megapixels kestrel builds."
QString tooManyPixelsMessage(double scalePercent, const QSize &request);

// grey fitted into scaledRequest() with its aspect ratio kept, nearest-neighbour; null when the
// request is empty.
QImage scaleGrey(const QImage &grey, int scalePercent);

// The outcome of building a black-and-white image: on failure, why says so in a sentence for
// the user.
struct BwResult
{
    bool ok = true;
    QString why;
    explicit operator bool() const { return ok; }
};

// Writes into bw (reusing its pixels when it already has the right size and is not shared) the
// clip of the scaled grey image: white where grey > threshold, black elsewhere; swapped by invert.
// Fails, leaving bw null, when there is no memory for it.
BwResult clipInto(const QImage &scaledGrey, int threshold, bool invert, QImage &bw);

// scaleGrey() and clipInto() in one call.
QImage makeBw(const QImage &grey, int threshold, bool invert, int scalePercent);

// Rebuilds the black-and-white image, keeping the scaled grey image as long as the grey image
// and the scale stay the same, so a threshold or invert change costs only the clip.
class BwBuilder
{
public:
    // Fails, leaving bw untouched, when the scale would exceed maxImagePixels, and leaving bw
    // null when memory runs out.
    BwResult build(const QImage &grey, int threshold, bool invert, int scalePercent, QImage &bw);
    // The grey image scaled as build() scales it, kept for the next call; null, with why in
    // result, when the scale is refused or memory runs out.
    const QImage &scaled(const QImage &grey, int scalePercent, BwResult *result);

private:
    qint64 m_greyKey = 0;
    int m_scale = -1;
    QImage m_scaled;
    QImage m_none;
};

// The source index that each of the to pixels along one axis of QImage::scaled() comes from.
std::vector<int> pickedIndices(int from, int to, bool horizontal);

// The black-and-white image one row at a time, for work that never holds it whole: each row with
// the grey levels on the same grid, for smooth edges.
class RowStream
{
public:
    virtual ~RowStream() = default;
    virtual QSize size() const = 0;
    // Row y of the black-and-white image; valid until the next call.
    virtual const quint32 *row(int y) = 0;
    // The grey levels of row y, rows from the top down; valid until the next call.
    virtual GreyLevels edgeLevels(int y) = 0;
    // Row y of the grey image on the same grid before the threshold and invert (grey in the low
    // byte), for a halftone; null when the stream has none. Rows from the top down; valid until
    // the next call.
    virtual const quint32 *greyRow(int) { return nullptr; }
};

// The black-and-white image of a colour picture one row at a time, equal row for row to
// makeBw(makeGrey(colour), ...), without ever holding the grey or black-and-white image: each
// row is greyed, picked from by the same columns and rows QImage::scaled() picks, and clipped.
// For smooth edges, it also gives the grey levels on the same grid, as edgeGrey() of the grey
// image.
class BwRows : public RowStream
{
public:
    BwRows(const QImage &colour, int threshold, bool invert, int scalePercent);
    ~BwRows() override;
    QSize size() const override { return m_size; }
    const quint32 *row(int y) override;
    // At the picture's own size the levels are the grey row row() made; otherwise they are
    // resampled from a row or two of grey, never the whole grey image.
    GreyLevels edgeLevels(int y) override;
    // The grey row row() picked from.
    const quint32 *greyRow(int y) override;

private:
    GreyRows m_grey;
    QSize m_size{0, 0};
    quint32 m_threshold;
    quint32 m_flip;
    std::vector<int> m_columns; // empty when the scale keeps the width
    std::vector<int> m_rows;
    std::vector<quint32> m_greyRow, m_pickedRow, m_bwRow;
    int m_lastSource = -1;
    // Resampled edge levels, when the grid is not the picture's; made at the first call.
    QSize m_pictureSize;
    std::unique_ptr<GridResampler> m_edges;
    GreyRows m_edgeGrey;
    std::vector<quint32> m_edgeSource;
    std::vector<uchar> m_edgeRow;
};

} // namespace kcore
