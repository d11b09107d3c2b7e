// Literal pipeline: column-major loops over QImage::pixel/setPixel and one fprintf per line.
#include "literal.h"

#include <QTemporaryFile>

#include <algorithm>
#include <cmath>

namespace literal {

QImage grey(const QImage &colour)
{
    if (colour.isNull())
        return QImage();
    QImage out(colour.size(), QImage::Format_RGB32);
    for (int x = 0; x < colour.width(); ++x) {
        for (int y = 0; y < colour.height(); ++y) {
            const QRgb c = colour.pixel(x, y);
            // Laid over white paper by its alpha.
            const int a = qAlpha(c);
            const int r = (qRed(c) * a + 255 * (255 - a) + 127) / 255;
            const int g = (qGreen(c) * a + 255 * (255 - a) + 127) / 255;
            const int b = (qBlue(c) * a + 255 * (255 - a) + 127) / 255;
            const uint v = (11 * r + 16 * g + 5 * b) >> 5;
            out.setPixel(x, y, 0xff000000u | v << 16 | v << 8 | v);
        }
    }
    return out;
}

QImage bw(const QImage &grey, int threshold, bool invert, int scalePercent)
{
    const double f = scalePercent / 100.0;
    const int w = int(grey.width() * f);
    const int h = int(grey.height() * f);
    if (grey.isNull() || w == 0 || h == 0)
        return QImage();
    const QImage s = grey.scaled(w, h, Qt::KeepAspectRatio, Qt::FastTransformation);
    QImage out(s.size(), QImage::Format_RGB32);
    for (int x = 0; x < s.width(); ++x) {
        for (int y = 0; y < s.height(); ++y) {
            const int g = s.pixel(x, y) & 0xff;
            const bool white = invert ? !(g > threshold) : g > threshold;
            out.setPixel(x, y, white ? 0xffffffffu : 0xff000000u);
        }
    }
    return out;
}

static int roundK(int k, double p)
{
    return k > 0 ? int(k * p + 0.5) : int(k * p - 0.5);
}

// Where the grey level, linear between the centres of pixels outside and inside, passes
// threshold + 0.5; clamped to the two centres, halfway where the levels are equal.
static double crossing(const QImage &levels, int y, int outside, int inside, int threshold)
{
    const int o = levels.pixel(outside, y) & 0xff;
    const int i = levels.pixel(inside, y) & 0xff;
    const double f = o == i ? 0.5 : std::clamp((threshold + 0.5 - o) * (1.0 / (i - o)), 0.0, 1.0);
    return outside + 0.5 + f * (inside - outside);
}

struct Smooth
{
    const QImage *levels; // none: the ends stay on the pixel grid
    int threshold;
};

static void writeItem(std::FILE *f, int &item, int s, int n, int Y, int W, int L, double P,
                      bool exact, int y, const Smooth &smooth)
{
    // Exact ends: from the centre of the first pixel to the centre of the last, at least 1 mil.
    int X = exact ? int(std::floor((s + 0.5) * P + 0.5)) : roundK(s, P);
    int length = exact ? std::max(1, int(std::floor((n - 1) * P + 0.5))) : roundK(n, P);
    if (smooth.levels) {
        // The copper from edge to edge, round ends included; a 1-mil piece in the middle of a
        // run narrower than the line.
        const int width = smooth.levels->width();
        const double left = s == 0 ? 0.0 : crossing(*smooth.levels, y, s - 1, s, smooth.threshold);
        const double right = s + n == width
                ? double(width)
                : crossing(*smooth.levels, y, s + n, s + n - 1, smooth.threshold);
        double from = left * P + W / 2.0;
        double to = right * P - W / 2.0;
        if (to - from < 1) {
            from = (left + right) * (P / 2) - 0.5;
            to = from + 1;
        }
        X = int(std::floor(from + 0.5));
        length = std::max(1, int(std::floor(to + 0.5)) - X);
    }
    std::fprintf(f, "IMG%08d  LINES %5d %5d 1\r\n", item++, X, Y);
    std::fprintf(f, "OPEN 2 %d %d\r\n", W, L);
    std::fprintf(f, "0 0\r\n");
    std::fprintf(f, "%d 0\r\n", length);
}

void writePads(const QImage &bw, double P, int L, std::FILE *f, bool exact, const QImage *levels,
               int threshold)
{
    const Smooth smooth{levels, threshold};
    // The smallest whole mil not below the pitch, so that rows a pitch apart touch.
    const int W = P > 0 ? int(std::ceil(P - 0.001)) : int(P - 0.5);
    std::fprintf(f, "!PADS-POWERPCB-V2.0-MILS! DESIGN DATABASE ASCII FILE 1.0\r\n");
    std::fprintf(f, "*LINES* LINES ITEMS\r\n");
    std::fprintf(f, "\r\n");
    int item = 0;
    const int H = bw.height(), Wd = bw.width();
    for (int y = 0; y < H; ++y) {
        const int Y = roundK(H - y, P);
        bool open = false;
        int s = 0, n = 0;
        for (int x = 0; x < Wd; ++x) {
            const bool set = (bw.pixel(x, y) & 0xff) != 0;
            if (set && open) {
                ++n;
            } else if (set) {
                s = x;
                n = 1;
                open = true;
            } else if (open) {
                writeItem(f, item, s, n, Y, W, L, P, exact, y, smooth);
                open = false;
            }
        }
        if (open)
            writeItem(f, item, s, n, Y, W, L, P, exact, y, smooth);
    }
    std::fprintf(f, "*END*\r\n");
}

QByteArray padsBytes(const QImage &bw, double pitch, int layer, bool exactEnds,
                     const QImage *levels, int threshold)
{
    std::FILE *f = std::tmpfile();
    if (!f)
        return QByteArray();
    writePads(bw, pitch, layer, f, exactEnds, levels, threshold);
    QByteArray bytes(std::ftell(f), Qt::Uninitialized);
    std::rewind(f);
    const size_t got = std::fread(bytes.data(), 1, size_t(bytes.size()), f);
    std::fclose(f);
    bytes.truncate(qsizetype(got));
    return bytes;
}

} // namespace literal
