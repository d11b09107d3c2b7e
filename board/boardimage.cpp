// Board rendering, row by row of the result: each row of pixels meets only the picture rows whose
// strokes reach its height, and each of those only with the columns in view.
#include "boardimage.h"

#include <algorithm>
#include <cmath>

namespace kcore {

QRectF boardBounds(const QSize &bw, const PadsSettings &settings)
{
    const LineGeometry g(settings);
    const double r = g.mils(g.width()) / 2.0;
    const double right = qMax(g.mils(g.x(bw.width())), 1.0);
    const double top = qMax(g.mils(g.y(0, bw.height())), 1.0);
    // x from the left end of the first pixel's stroke, y from the bottom row's lower edge.
    return QRectF(QPointF(-r, top + r),
                  QPointF(right + r, g.mils(g.y(bw.height() - 1, bw.height())) - r))
            .normalized();
}

QImage renderBoard(const QImage &bw, const PadsSettings &settings, const BoardViewport &viewport,
                   const QSize &size, const QImage &edgeGrey)
{
    if (size.isEmpty())
        return QImage();
    QImage out(size, QImage::Format_RGB32);
    out.fill(boardColour);
    const LineGeometry g(settings);
    if (bw.isNull() || !(settings.pitch > 0) || !padsFits(bw.size(), settings))
        return out;
    const QImage words = pixelWords(bw);
    const int width = words.width();
    const int height = words.height();
    const double pitch = settings.pitch;
    const double r = g.mils(g.width()) / 2.0;
    const double mpp = viewport.milsPerPixel;
    const double viewLeft = viewport.left;
    const double viewRight = viewport.left + size.width() * mpp;
    // Columns whose strokes can reach the view, a pixel of slack each side for rounding.
    const int firstColumn = qBound(0, int(std::floor((viewLeft - r) / pitch)) - 1, width);
    const int lastColumn = qBound(0, int(std::ceil((viewRight + r) / pitch)) + 2, width);

    for (int j = 0; j < size.height(); ++j) {
        const double yc = viewport.top - (j + 0.5) * mpp;
        // Rows whose y lies within r of yc; y = round((height - row) * pitch).
        const int rowFrom = qMax(0, int(std::floor(height - (yc + r) / pitch)) - 1);
        const int rowTo = qMin(height - 1, int(std::ceil(height - (yc - r) / pitch)) + 1);
        QRgb *line = reinterpret_cast<QRgb *>(out.scanLine(j));
        for (int row = rowFrom; row <= rowTo; ++row) {
            const double d = std::abs(g.mils(g.y(row, height)) - yc);
            if (d > r)
                continue;
            const double h = std::sqrt(r * r - d * d); // half the stroke's chord at this height
            const auto *pixels = reinterpret_cast<const quint32 *>(words.constScanLine(row));
            // Whole runs only, even where they cross the edge of the view.
            int from = firstColumn, to = lastColumn;
            while (from > 0 && (pixels[from - 1] & 0xffu))
                --from;
            while (to < width && (pixels[to] & 0xffu))
                ++to;
            const std::optional<EdgeRow> edges = edgeRow(edgeGrey, bw.size(), row, settings);
            forEachItem(g, pixels, from, to, edges ? &*edges : nullptr,
                        [&](int, int, qint64 x, qint64 length) {
                            const double x0 = g.mils(x) - h;
                            const double x1 = g.mils(x + length) + h;
                            const double i0 = std::ceil((x0 - viewLeft) / mpp - 0.5);
                            const double i1 = std::floor((x1 - viewLeft) / mpp - 0.5);
                            if (i1 < 0 || i0 >= size.width() || i0 > i1)
                                return;
                            std::fill(line + int(qMax(0.0, i0)),
                                      line + int(qMin(double(size.width() - 1), i1)) + 1,
                                      copperColour);
                        });
        }
    }
    return out;
}

namespace {

double fittedMilsPerPixel(const QRectF &bounds, const QSize &frame)
{
    if (frame.isEmpty() || bounds.isEmpty())
        return 1;
    return qMax(bounds.width() / frame.width(), bounds.height() / frame.height());
}

} // namespace

QPointF BoardZoom::centreMils(const QRectF &bounds) const
{
    return QPointF(bounds.left() + m_centre.x() * bounds.width(),
                   bounds.top() + m_centre.y() * bounds.height());
}

void BoardZoom::setCentreMils(const QRectF &bounds, const QPointF &mils)
{
    if (bounds.width() > 0 && bounds.height() > 0)
        m_centre = QPointF((mils.x() - bounds.left()) / bounds.width(),
                           (mils.y() - bounds.top()) / bounds.height());
}

BoardViewport BoardZoom::viewport(const QRectF &bounds, const QSize &frame, QSize *imageSize) const
{
    const double fitted = fittedMilsPerPixel(bounds, frame);
    BoardViewport v;
    if (isFitted()) {
        v.milsPerPixel = fitted;
        v.left = bounds.left();
        v.top = bounds.bottom(); // y up: the rectangle's largest y
        *imageSize = QSize(qMin(frame.width(), int(std::ceil(bounds.width() / fitted))),
                           qMin(frame.height(), int(std::ceil(bounds.height() / fitted))));
        return v;
    }
    const QPointF centre = centreMils(bounds);
    v.milsPerPixel = fitted / m_zoom;
    v.left = centre.x() - frame.width() / 2.0 * v.milsPerPixel;
    v.top = centre.y() + frame.height() / 2.0 * v.milsPerPixel;
    *imageSize = frame;
    return v;
}

void BoardZoom::zoomAt(const QRectF &bounds, const QSize &frame, const QPointF &pos, double factor)
{
    QSize image;
    const BoardViewport before = viewport(bounds, frame, &image);
    const QPointF anchor = before.toMils(pos);
    // From the whole board down to the finest (a twentieth of a mil a pixel sees one-mil gaps).
    const double fitted = fittedMilsPerPixel(bounds, frame);
    m_zoom = qBound(1.0, m_zoom * factor, qMax(1.0, fitted / m_finest));
    if (isFitted())
        return;
    const double mpp = fitted / m_zoom;
    setCentreMils(bounds,
                  QPointF(anchor.x() - pos.x() * mpp + frame.width() / 2.0 * mpp,
                          anchor.y() + pos.y() * mpp - frame.height() / 2.0 * mpp));
}

void BoardZoom::panBy(const QRectF &bounds, const QSize &frame, const QPointF &pixels)
{
    if (isFitted())
        return;
    const double mpp = fittedMilsPerPixel(bounds, frame) / m_zoom;
    setCentreMils(bounds, centreMils(bounds) + QPointF(-pixels.x() * mpp, pixels.y() * mpp));
}

void BoardZoom::showAt(const QRectF &bounds, const QSize &frame, const QPointF &mils,
                       double milsPerPixel)
{
    const double fitted = fittedMilsPerPixel(bounds, frame);
    // Always closer than the whole board, so that the point can be in the middle.
    m_zoom = milsPerPixel > 0 ? qBound(2.0, fitted / milsPerPixel, qMax(2.0, fitted / m_finest))
                              : 2;
    setCentreMils(bounds, mils);
}

} // namespace kcore
