// Scaling and clipping of the grey image into the black-and-white image.
#include "bwimage.h"

#include "imagealloc.h"
#include "rowkernels.h"

namespace kcore {

QSize scaledRequest(const QSize &grey, int scalePercent)
{
    const double f = scalePercent / 100.0;
    // Truncation, not rounding: 57 % of 100 pixels is 56.
    return QSize(int(grey.width() * f), int(grey.height() * f));
}

bool scaleWithinLimit(const QSize &grey, int scalePercent)
{
    const QSize s = scaledRequest(grey, scalePercent);
    return qint64(s.width()) * s.height() <= maxImagePixels;
}

int largestScaleWithinLimit(const QSize &grey, int maxPercent)
{
    for (int p = maxPercent; p > 0; --p) {
        if (scaleWithinLimit(grey, p))
            return p;
    }
    return 0;
}

QImage scaleGrey(const QImage &grey, int scalePercent)
{
    const QSize s = scaledRequest(grey.size(), scalePercent);
    if (grey.isNull() || s.isEmpty())
        return QImage();
    return grey.scaled(s.width(), s.height(), Qt::KeepAspectRatio, Qt::FastTransformation);
}

void clipInto(const QImage &scaledGrey, int threshold, bool invert, QImage &bw)
{
    if (scaledGrey.isNull()) {
        bw = QImage();
        return;
    }
    const int w = scaledGrey.width();
    const int h = scaledGrey.height();
    if (bw.size() != scaledGrey.size() || bw.format() != QImage::Format_RGB32)
        bw = allocateImage(w, h, QImage::Format_RGB32);
    if (bw.isNull())
        return;
    // Light pixels become white; invert flips the colour bits, never the alpha.
    const quint32 flip = invert ? 0x00ffffffu : 0u;
    const quint32 t = quint32(qBound(0, threshold, 255));
    for (int y = 0; y < h; ++y)
        clipRow(reinterpret_cast<const quint32 *>(scaledGrey.constScanLine(y)),
                reinterpret_cast<quint32 *>(bw.scanLine(y)), w, t, flip);
    finishRows();
}

QImage makeBw(const QImage &grey, int threshold, bool invert, int scalePercent)
{
    QImage bw;
    clipInto(scaleGrey(grey, scalePercent), threshold, invert, bw);
    return bw;
}

bool BwBuilder::build(const QImage &grey, int threshold, bool invert, int scalePercent, QImage &bw)
{
    if (!scaleWithinLimit(grey.size(), scalePercent))
        return false;
    if (grey.isNull() || grey.cacheKey() != m_greyKey || scalePercent != m_scale) {
        m_scaled = scaleGrey(grey, scalePercent);
        m_greyKey = grey.cacheKey();
        m_scale = scalePercent;
    }
    clipInto(m_scaled, threshold, invert, bw);
    return true;
}

void BwBuilder::clear()
{
    m_greyKey = 0;
    m_scale = -1;
    m_scaled = QImage();
}

} // namespace kcore
