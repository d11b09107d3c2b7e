// Grey conversion: the first step from a loaded picture towards board artwork.
#pragma once

#include <QImage>

namespace kcore {

// The grey level of a colour; the weights add up to 32, so white stays 255.
constexpr int greyOf(QRgb c)
{
    return (11 * int((c >> 16) & 0xff) + 16 * int((c >> 8) & 0xff) + 5 * int(c & 0xff)) >> 5;
}

constexpr QRgb greyPixel(int g)
{
    return 0xff000000u | QRgb(g) << 16 | QRgb(g) << 8 | QRgb(g);
}

// greyOf() with one multiply for red and blue together, for the vectorised row loops:
// (R << 16 | B) * (5 << 16 | 11) holds 11 R + 5 B in its bits 16 to 27.
constexpr quint32 greyOfPacked(quint32 c)
{
    const quint32 redBlue = (((c & 0x00ff00ffu) * 0x0005000bu) >> 16) & 0xffffu;
    return (redBlue + ((c & 0x0000ff00u) >> 4)) >> 5;
}

// An opaque Format_RGB32 image of the same size whose every pixel is greyPixel(greyOf(c)) for
// the colour c that QImage::pixel() gives at that place (alpha ignored). Null in, null out.
QImage makeGrey(const QImage &colour);

// Hands out one row of any image as the 32-bit values QImage::pixel() would give, reading the
// scan line directly where the format allows and filling scratch (width entries) otherwise.
const QRgb *pixelRow(const QImage &image, int y, QRgb *scratch);

} // namespace kcore
