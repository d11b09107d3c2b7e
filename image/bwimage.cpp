// Scaling and clipping of the grey image into the black-and-white image.
#include "bwimage.h"

#include "edgerow.h"
#include "imagealloc.h"
#include "picture.h"
#include "rowkernels.h"

namespace kcore {

QSize scaledRequest(const QSize &grey, int scalePercent)
{
    const double f = scalePercent / 100.0;
    // Truncation, not rounding: 57 % of 100 pixels is 56.
    return QSize(int(grey.width() * f), int(grey.height() * f));
}

QSize bwSize(const QSize &picture, int scalePercent)
{
    const QSize request = scaledRequest(picture, scalePercent);
    if (picture.isEmpty() || request.isEmpty())
        return QSize(0, 0);
    return picture.scaled(request, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

bool scaleWithinLimit(const QSize &grey, int scalePercent)
{
    const QSize s = scaledRequest(grey, scalePercent);
    return !beyondPixelBound(s);
}

int largestScaleWithinLimit(const QSize &grey, int maxPercent)
{
    for (int p = maxPercent; p > 0; --p) {
        if (scaleWithinLimit(grey, p))
            return p;
    }
    return 0;
}

QString tooManyPixelsMessage(double scalePercent, const QSize &request)
{
    return QStringLiteral("At %1 % the black-and-white image would be %2 x %3 pixels, more than "
                          "the %4 megapixels kestrel builds.")
            .arg(scalePercent)
            .arg(request.width())
            .arg(request.height())
            .arg(maxImagePixels / 1000000);
}

QImage scaleGrey(const QImage &grey, int scalePercent)
{
    const QSize s = scaledRequest(grey.size(), scalePercent);
    if (grey.isNull() || s.isEmpty())
        return QImage();
    return grey.scaled(s.width(), s.height(), Qt::KeepAspectRatio, Qt::FastTransformation);
}

namespace {

BwResult noMemory(const QSize &size)
{
    return {false,
            allocationProblem(QStringLiteral("the black-and-white image"), size.width(),
                              size.height(), QImage::Format_RGB32)};
}

} // namespace

BwResult clipInto(const QImage &scaledGrey, int threshold, bool invert, QImage &bw)
{
    if (scaledGrey.isNull()) {
        bw = QImage();
        return {};
    }
    const int w = scaledGrey.width();
    const int h = scaledGrey.height();
    if (bw.size() != scaledGrey.size() || bw.format() != QImage::Format_RGB32)
        bw = allocateImage(w, h, QImage::Format_RGB32);
    if (bw.isNull())
        return noMemory(scaledGrey.size());
    // Light pixels become white; invert flips the colour bits, never the alpha.
    const quint32 flip = invert ? 0x00ffffffu : 0u;
    const quint32 t = quint32(qBound(0, threshold, 255));
    for (int y = 0; y < h; ++y)
        clipRow(reinterpret_cast<const quint32 *>(scaledGrey.constScanLine(y)),
                reinterpret_cast<quint32 *>(bw.scanLine(y)), w, t, flip);
    finishRows();
    return {};
}

QImage makeBw(const QImage &grey, int threshold, bool invert, int scalePercent)
{
    QImage bw;
    clipInto(scaleGrey(grey, scalePercent), threshold, invert, bw);
    return bw;
}

const QImage &BwBuilder::scaled(const QImage &grey, int scalePercent, BwResult *result)
{
    *result = {};
    if (!scaleWithinLimit(grey.size(), scalePercent)) {
        *result = {false,
                   tooManyPixelsMessage(scalePercent, scaledRequest(grey.size(), scalePercent))};
        return m_none;
    }
    if (grey.isNull() || grey.cacheKey() != m_greyKey || scalePercent != m_scale) {
        m_scaled = scaleGrey(grey, scalePercent);
        m_greyKey = grey.cacheKey();
        m_scale = scalePercent;
        const QSize request = scaledRequest(grey.size(), scalePercent);
        if (m_scaled.isNull() && !grey.isNull() && !request.isEmpty()) {
            m_scale = -1; // try again next time
            *result = noMemory(grey.size().scaled(request, Qt::KeepAspectRatio));
            return m_none;
        }
    }
    return m_scaled;
}

BwResult BwBuilder::build(const QImage &grey, int threshold, bool invert, int scalePercent,
                          QImage &bw)
{
    BwResult made;
    const QImage &grid = scaled(grey, scalePercent, &made);
    if (!made) {
        // A refused scale leaves the image as it was; no memory leaves none.
        if (scaleWithinLimit(grey.size(), scalePercent))
            bw = QImage();
        return made;
    }
    return clipInto(grid, threshold, invert, bw);
}

// Asked of Qt itself by scaling an image of indices, so the rows and columns picked can never
// drift from those the window's scaled image shows.
std::vector<int> pickedIndices(int from, int to, bool horizontal)
{
    QImage index(horizontal ? from : 1, horizontal ? 1 : from, QImage::Format_RGB32);
    for (int i = 0; i < from; ++i)
        index.setPixel(horizontal ? i : 0, horizontal ? 0 : i, 0xff000000u | quint32(i));
    const QImage picked = index.scaled(horizontal ? to : 1, horizontal ? 1 : to,
                                       Qt::IgnoreAspectRatio, Qt::FastTransformation);
    std::vector<int> map(static_cast<size_t>(to));
    for (int i = 0; i < to; ++i)
        map[size_t(i)] = int(picked.pixel(horizontal ? i : 0, horizontal ? 0 : i) & 0xffffffu);
    return map;
}

BwRows::BwRows(const QImage &colour, int threshold, bool invert, int scalePercent)
    : m_grey(colour), m_threshold(quint32(qBound(0, threshold, 255))),
      m_flip(invert ? 0x00ffffffu : 0u), m_pictureSize(colour.size()), m_edgeGrey(colour)
{
    if (colour.isNull() || scaledRequest(colour.size(), scalePercent).isEmpty())
        return;
    m_size = bwSize(colour.size(), scalePercent);
    if (m_size.width() != colour.width())
        m_columns = pickedIndices(colour.width(), m_size.width(), true);
    if (m_size.height() != colour.height())
        m_rows = pickedIndices(colour.height(), m_size.height(), false);
    m_greyRow.resize(size_t(colour.width()));
    m_pickedRow.resize(m_columns.size());
    m_bwRow.resize(size_t(m_size.width()));
}

BwRows::~BwRows() = default;

const quint32 *BwRows::row(int y)
{
    const int source = m_rows.empty() ? y : m_rows[size_t(y)];
    if (source == m_lastSource)
        return m_bwRow.data(); // enlarging repeats rows
    m_lastSource = source;
    m_grey.row(source, m_greyRow.data());
    const quint32 *grey = m_greyRow.data();
    if (!m_columns.empty()) {
        for (size_t x = 0; x < m_columns.size(); ++x)
            m_pickedRow[x] = grey[m_columns[x]];
        grey = m_pickedRow.data();
    }
    clipRow(grey, m_bwRow.data(), m_size.width(), m_threshold, m_flip, false);
    return m_bwRow.data();
}

const quint32 *BwRows::greyRow(int y)
{
    row(y);
    return m_columns.empty() ? m_greyRow.data() : m_pickedRow.data();
}

GreyLevels BwRows::edgeLevels(int y)
{
    if (m_size == m_pictureSize) {
        // The grid is the picture's: the grey row itself, made once for both.
        if (m_lastSource != y)
            row(y);
        return {EdgeRow::lowBytes(m_greyRow.data()), 4};
    }
    if (!m_edges) {
        m_edges = std::make_unique<GridResampler>(m_pictureSize, m_size);
        m_edgeSource.resize(size_t(m_pictureSize.width()));
        m_edgeRow.resize(size_t(m_size.width()));
    }
    m_edges->row(y, m_edgeRow.data(), [this](int i) {
        m_edgeGrey.row(i, m_edgeSource.data());
        return static_cast<const quint32 *>(m_edgeSource.data());
    });
    return {m_edgeRow.data(), 1};
}

} // namespace kcore
