// The Board view: the copper a PADS reader draws from the file, every LINES item a stroke of its
// written width with round ends, at its written coordinates.
#pragma once

#include "board/lineitems.h"

#include <QImage>
#include <QPointF>
#include <QRectF>
#include <QSize>

namespace kcore {

constexpr QRgb boardColour = 0xff1d4d2bu; // solder mask green
constexpr QRgb copperColour = 0xffd99a4eu;

// Where an image of the board lies in the file's coordinates (mils, x to the right, y up).
struct BoardViewport
{
    double left = 0; // x of the image's left edge
    double top = 0; // y of the image's top edge
    double milsPerPixel = 1;

    QPointF toMils(const QPointF &pixel) const
    {
        return QPointF(left + pixel.x() * milsPerPixel, top - pixel.y() * milsPerPixel);
    }
};

// The extent of all copper a black-and-white image of this size can give, in mils, y up: the
// rectangle the Board view fits into its frame.
QRectF boardBounds(const QSize &bw, const PadsSettings &settings);

// Draws the board for bw as the file would carry it: pixel (i, j) of the result is copper when
// its centre lies inside an item's stroke. Draws only the items that reach the image, so a view
// zoomed into a big picture costs little. edgeGrey places smooth ends, as for writeArtwork().
QImage renderBoard(const QImage &bw, const PadsSettings &settings, const BoardViewport &viewport,
                   const QSize &size, const QImage &edgeGrey = QImage());

// Zoom and pan of the Board view over a frame; starts fitted to the board, as the other views.
class BoardZoom
{
public:
    // The viewport and the image size for the frame: the whole board fitted (top left, aspect
    // kept) until zoomed, the whole frame after.
    BoardViewport viewport(const QRectF &bounds, const QSize &frame, QSize *imageSize) const;
    bool isFitted() const { return m_zoom <= 1; }
    // Zooms by factor, keeping the board point under pixel pos where it is.
    void zoomAt(const QRectF &bounds, const QSize &frame, const QPointF &pos, double factor);
    void panBy(const QRectF &bounds, const QSize &frame, const QPointF &pixels);
    // Centres the view on a point, a pixel covering milsPerPixel (but at least twice as close as
    // the whole board, and no closer than the wheel zooms).
    void showAt(const QRectF &bounds, const QSize &frame, const QPointF &mils, double milsPerPixel);
    void fit() { m_zoom = 1; }
    // The closest zoom, as units of bounds a pixel: a twentieth of a mil on a board; a picture
    // zoomed over its own pixels goes closer.
    void setFinest(double unitsPerPixel) { m_finest = unitsPerPixel; }

private:
    QPointF centreMils(const QRectF &bounds) const;
    void setCentreMils(const QRectF &bounds, const QPointF &mils);

    double m_zoom = 1; // relative to the fitted view
    double m_finest = 0.05;
    // The point in view while zoomed, as a fraction of the board's extent: a new line width or
    // scale changes the board's size in mils, and the view stays on the same part of the picture.
    QPointF m_centre{0.5, 0.5};
};

} // namespace kcore
