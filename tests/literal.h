// The pipeline written the plain way, pixel by pixel with QImage's accessors and printf, as the
// yardstick the fast code is checked and timed against.
#pragma once

#include <QByteArray>
#include <QImage>

#include <cstdio>

namespace literal {

QImage grey(const QImage &colour);
QImage bw(const QImage &grey, int threshold, bool invert, int scalePercent);
// Writes the PADS file with fprintf, one call per line. With levels (grey levels on the grid of
// bw), the run ends follow the picture's edges.
void writePads(const QImage &bw, double pitch, int layer, std::FILE *out, bool exactEnds = false,
               const QImage *levels = nullptr, int threshold = 128);
QByteArray padsBytes(const QImage &bw, double pitch, int layer, bool exactEnds = false,
                     const QImage *levels = nullptr, int threshold = 128);

} // namespace literal
