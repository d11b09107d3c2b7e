// Black-and-white image: the grey image scaled, then clipped at a threshold, optionally inverted.
#pragma once

#include <QImage>
#include <QSize>

namespace kcore {

constexpr QRgb bwBlack = 0xff000000u;
constexpr QRgb bwWhite = 0xffffffffu;

// The largest picture, and the largest black-and-white image, kestrel will build: 16384 x 16384
// pixels. Each such image takes 1 GiB in memory.
constexpr qint64 maxImagePixels = qint64(16384) * 16384;

// The size asked of the scaler: each side times percent / 100.0, truncated toward zero.
QSize scaledRequest(const QSize &grey, int scalePercent);

// Whether the black-and-white image for this scale stays within maxImagePixels.
bool scaleWithinLimit(const QSize &grey, int scalePercent);

// The largest percentage up to maxPercent whose image stays within maxImagePixels; 0 if none.
int largestScaleWithinLimit(const QSize &grey, int maxPercent);

// grey fitted into scaledRequest() with its aspect ratio kept, nearest-neighbour; null when the
// request is empty.
QImage scaleGrey(const QImage &grey, int scalePercent);

// Writes into bw (reusing its pixels when it already has the right size and is not shared) the
// clip of the scaled grey image: white where grey > threshold, black elsewhere; swapped by invert.
void clipInto(const QImage &scaledGrey, int threshold, bool invert, QImage &bw);

// scaleGrey() and clipInto() in one call.
QImage makeBw(const QImage &grey, int threshold, bool invert, int scalePercent);

// Rebuilds the black-and-white image, keeping the scaled grey image as long as the grey image
// and the scale stay the same, so a threshold or invert change costs only the clip.
class BwBuilder
{
public:
    // Returns false, leaving bw untouched, when the scale would exceed maxImagePixels.
    bool build(const QImage &grey, int threshold, bool invert, int scalePercent, QImage &bw);
    void clear();

private:
    qint64 m_greyKey = 0;
    int m_scale = -1;
    QImage m_scaled;
};

} // namespace kcore
