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

static void writeItem(std::FILE *f, int &item, int s, int n, int Y, int W, int L, double P,
                      bool exact)
{
    // Exact ends: from the centre of the first pixel to the centre of the last, at least 1 mil.
    const int X = exact ? int(std::floor((s + 0.5) * P + 0.5)) : roundK(s, P);
    const int length = exact ? std::max(1, int(std::floor((n - 1) * P + 0.5))) : roundK(n, P);
    std::fprintf(f, "IMG%08d  LINES %5d %5d 1\r\n", item++, X, Y);
    std::fprintf(f, "OPEN 2 %d %d\r\n", W, L);
    std::fprintf(f, "0 0\r\n");
    std::fprintf(f, "%d 0\r\n", length);
}

void writePads(const QImage &bw, double P, int L, std::FILE *f, bool exact)
{
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
                writeItem(f, item, s, n, Y, W, L, P, exact);
                open = false;
            }
        }
        if (open)
            writeItem(f, item, s, n, Y, W, L, P, exact);
    }
    std::fprintf(f, "*END*\r\n");
}

QByteArray padsBytes(const QImage &bw, double pitch, int layer, bool exactEnds)
{
    std::FILE *f = std::tmpfile();
    if (!f)
        return QByteArray();
    writePads(bw, pitch, layer, f, exactEnds);
    QByteArray bytes(std::ftell(f), Qt::Uninitialized);
    std::rewind(f);
    const size_t got = std::fread(bytes.data(), 1, size_t(bytes.size()), f);
    std::fclose(f);
    bytes.truncate(qsizetype(got));
    return bytes;
}

} // namespace literal
