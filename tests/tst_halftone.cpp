// Halftones on the board: a real photograph and grey ramps written at the fab limits of copper,
// silkscreen and 6 mil, each file read back as round-ended lines onto a fine raster and measured
// there (no ink finer than the line limit, no space finer than the space limit, the grey's
// coverage over every square millimetre), the fab check clean, and the window's whole image and
// the converter's streamed rows the same file.
#include "boardcheck.h"
#include "core/conversion.h"
#include "geometry/units.h"
#include "image/greyimage.h"
#include "image/halftone.h"
#include "image/picture.h"

#include <QBuffer>
#include <QTest>

#include <cmath>

namespace {

const char photo[] = "/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg";
constexpr double mm = 1 / kcore::mmPerMil; // mils

// Grey steps from black to white side by side, each steps wide and tall in pixels.
QImage rampSteps(int count, int width, int height)
{
    QImage img(count * width, height, QImage::Format_RGB32);
    for (int k = 0; k < count; ++k) {
        const int g = (k * 255 + (count - 1) / 2) / (count - 1);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                img.setPixel(k * width + x, y, kcore::greyPixel(g));
    }
    return img;
}

// The file a conversion writes, as the converter streams it.
QByteArray written(const kcore::Conversion &conversion)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    const kcore::PadsResult r = conversion.write(&buffer);
    return r.ok ? buffer.data() : QByteArray();
}

// The grey each pixel of the grid stands for, light 1, as the screen reads it.
struct Tones
{
    QImage grid; // scaled grey, one pixel per line width
    bool invert = false;
    double at(int x, int y) const
    {
        const double g = (grid.pixel(x, y) & 0xff) / 255.0;
        return invert ? 1 - g : g;
    }
};

// The mean difference between the ink's share and the grey's over the whole squares of a
// millimetre within the grid, laid from its top-left corner, and the squares' count.
double coverageError(const boardcheck::Raster &raster, const Tones &tones, double pitch,
                     int *squares)
{
    const int w = tones.grid.width(), h = tones.grid.height();
    const int across = int(w * pitch / mm), down = int(h * pitch / mm);
    double error = 0;
    *squares = 0;
    for (int j = 0; j < down; ++j)
        for (int i = 0; i < across; ++i) {
            // Pixel (x, y) covers x from x P and the row y line, at (h - y) P, half a pitch up
            // and down.
            const QRectF square(i * mm, (h + 0.5) * pitch - (j + 1) * mm, mm, mm);
            double sum = 0;
            int n = 0;
            for (int y = 0; y < h; ++y) {
                const double cy = (h - y) * pitch;
                if (cy < square.top() || cy >= square.bottom())
                    continue;
                for (int x = 0; x < w; ++x) {
                    const double cx = (x + 0.5) * pitch;
                    if (cx >= square.left() && cx < square.right()) {
                        sum += tones.at(x, y);
                        ++n;
                    }
                }
            }
            error += std::abs(boardcheck::coverage(raster, square) - sum / n);
            ++*squares;
        }
    return *squares ? error / *squares : 0;
}

} // namespace

class TestHalftone : public QObject
{
    Q_OBJECT

private slots:
    void boardKeepsLimits_data();
    void boardKeepsLimits();
};

void TestHalftone::boardKeepsLimits_data()
{
    QTest::addColumn<QString>("picture"); // a file, or "ramp"
    QTest::addColumn<bool>("invert");
    QTest::addColumn<double>("pitch"); // mils
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("ends");
    QTest::addColumn<double>("line"); // mils
    QTest::addColumn<double>("space");

    // The board makers' limits: copper 0.127 mm, silkscreen 0.15 mm, 6 mil; the line width a
    // third of the line limit, so that the smallest dot is round.
    const double copper = 0.127 * mm, silk = 0.15 * mm;
    QTest::newRow("photo, copper") << photo << false << copper / 3 << "9.4" << "default"
                                   << copper << copper;
    QTest::newRow("photo, silkscreen, inverted") << photo << true << silk / 3 << "9.4"
                                                 << "default" << silk << silk;
    QTest::newRow("photo, 6 mil") << photo << false << 2.0 << "9.4" << "default" << 6.0
                                  << 6.0;
    QTest::newRow("ramp, copper") << "ramp" << false << copper / 3 << "9.4" << "default"
                                  << copper << copper;
    QTest::newRow("ramp, silkscreen") << "ramp" << false << silk / 3 << "9.4"
                                      << "default" << silk << silk;
    QTest::newRow("ramp, 6 mil") << "ramp" << false << 2.0 << "9.4" << "default" << 6.0
                                 << 6.0;
}

void TestHalftone::boardKeepsLimits()
{
    QFETCH(QString, picture);
    int scale = 100;
    QFETCH(bool, invert);
    QFETCH(double, pitch);
    QFETCH(QString, format);
    QFETCH(QString, ends);
    QFETCH(double, line);
    QFETCH(double, space);

    const bool ramp = picture == QLatin1String("ramp");
    QImage image;
    if (ramp) {
        // Twelve steps, each 2.5 x 5 mm.
        image = rampSteps(12, int(2.5 * mm / pitch), int(5 * mm / pitch));
    } else {
        QVERIFY2(QFile::exists(picture), qPrintable(picture));
        // The face, the photograph fitted to 40 mm across as a board's portrait would be.
        image = kcore::loadPicture(picture).copy(136, 120, 220, 260);
        scale = int(std::lround(40 * mm / (512 * pitch) * 100));
    }
    kcore::ConversionSettings settings;
    settings.invert = invert;
    settings.scalePercent = scale;
    settings.pads.pitch = pitch;
    settings.pads.format = format == "9.4" ? kcore::PadsFormat::V94 : kcore::PadsFormat::V20;
    settings.pads.metric = format == "9.4";
    settings.pads.exactEnds = ends == "exact";
    settings.pads.smoothEdges = ends == "smooth";
    settings.halftone.on = true;
    settings.halftone.minLineMils = line;
    settings.halftone.minSpaceMils = space;
    kcore::Conversion conversion;
    conversion.setSource(kcore::Source::fromPicture(image));
    conversion.setSettings(settings);
    QVERIFY2(conversion.screen(), qPrintable(conversion.screenProblem()));

    // The fab check finds nothing.
    const kcore::FabResult fab = conversion.fabCheck(line, space);
    QVERIFY(!fab.fab.belowMinimum());
    QCOMPARE(fab.spaces.closedGaps, 0);
    QCOMPARE(fab.spaces.narrowGaps, 0);

    // The board the file draws, on a raster a sixteenth of the finer limit fine.
    const QByteArray file = written(conversion);
    QVERIFY(!file.isEmpty());
    const std::vector<boardcheck::Stroke> strokes = boardcheck::readStrokes(file);
    const QSize grid = conversion.grid();
    const double step = std::min(line, space) / 16, margin = 2 * pitch + 4 * step;
    const QRectF bounds(-margin, -margin, grid.width() * pitch + 2 * margin,
                        (grid.height() + 1) * pitch + 2 * margin);
    const boardcheck::Raster raster = boardcheck::rasterize(strokes, step, bounds);
    // The raster finds an edge within a step, either side of a piece: two steps' benefit of the
    // doubt.
    const double tolerance = 2 * step;
    const boardcheck::Measures m = boardcheck::measure(raster, line, space, tolerance);
    Tones tones{kcore::scaleGrey(kcore::makeGrey(image), scale), invert};
    int squares = 0;
    const double error = coverageError(raster, tones, pitch, &squares);
    qInfo("%d pieces of ink, %d holes; smallest ink %.2f mil (limit %.2f), hole %.2f, gap %.2f "
          "mil (limit %.2f), web %.2f; coverage off by %.1f %% over %d squares of 1 mm",
          m.inkShapes, m.holes, m.smallestInk, line, m.smallestHole, m.smallestGap, space,
          m.narrowestWeb, error * 100, squares);
    qInfo("narrowest web at pixel %.1f, %.1f; smallest gap at %.1f, %.1f",
          m.narrowestWebAt.x() / pitch, grid.height() - m.narrowestWebAt.y() / pitch,
          m.smallestGapAt.x() / pitch, grid.height() - m.smallestGapAt.y() / pitch);
    QVERIFY(m.smallestInk >= line - tolerance);
    QVERIFY(m.narrowestWeb >= line - tolerance);
    QVERIFY(m.smallestGap >= space - tolerance);
    QVERIFY(m.holes == 0 || m.smallestHole >= space - tolerance);
    QCOMPARE(m.splitInk, 0);
    QCOMPARE(m.narrowSpaces, 0);
    QVERIFY(error <= 0.05);
}

QTEST_MAIN(TestHalftone)
#include "tst_halftone.moc"
