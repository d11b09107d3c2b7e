// Grey conversion: the first step from a loaded picture towards board artwork.
#pragma once

#include <QImage>
#include <QString>

#include <vector>

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

// A colour with alpha (not premultiplied, as QImage::pixel() gives it) laid over white paper:
// transparent parts of a logo are background, whatever colour they hide.
constexpr QRgb overWhite(QRgb c)
{
    const quint32 a = c >> 24;
    if (a == 255)
        return c;
    const quint32 paper = 255 * (255 - a) + 127;
    const quint32 r = (((c >> 16) & 0xff) * a + paper) / 255;
    const quint32 g = (((c >> 8) & 0xff) * a + paper) / 255;
    const quint32 b = ((c & 0xff) * a + paper) / 255;
    return 0xff000000u | r << 16 | g << 8 | b;
}

// An opaque Format_RGB32 image of the same size whose every pixel is
// greyPixel(greyOf(overWhite(c))) for the colour c that QImage::pixel() gives at that place,
// except that a palette index beyond the colour table is black, as QImage's own conversion to
// Format_RGB32 makes it (pixel() gives transparent black there, which would become white paper).
// Null in, null out; also null when the grey image cannot be made, and why then says so.
QImage makeGrey(const QImage &colour, QString *why = nullptr);

// The darkest and lightest grey level of a picture (a grey image gives its own), as makeGrey()
// makes them; known is false for a null picture.
struct GreyRange
{
    int low = 0;
    int high = 255;
    bool known = false;
};
GreyRange greyRange(const QImage &picture);

// The rows of makeGrey() one at a time, for work that never holds the whole grey image.
class GreyRows
{
public:
    explicit GreyRows(const QImage &colour);
    // Writes grey row y into dst (one pixel per column of the picture). Streaming stores suit
    // destinations far larger than the caches; a scratch row that is read again at once wants
    // ordinary stores.
    void row(int y, quint32 *dst, bool streamingStores = false);

private:
    enum Kind { Direct, Composite, Palette, Mono, Grey8, Rgb888, Pixelwise };
    QImage m_colour;
    Kind m_kind = Pixelwise;
    std::vector<QRgb> m_table; // grey pixel per palette index
    std::vector<QRgb> m_scratch;
};

} // namespace kcore
