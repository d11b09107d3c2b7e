// Halftones on the board: a real photograph and grey ramps written at the fab limits of copper,
// silkscreen and 6 mil, each file read back as round-ended lines onto a fine raster and measured
// there (no ink finer than the line limit, no space finer than the space limit, the grey's
// coverage over every square millimetre, a ramp's coverage rising with its grey), the fab check
// clean, and the window's whole image and the converter's streamed rows the same file.
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

// A portrait, 512 x 600 pixels, from Debian's matplotlib sample data.
const char photo[] = "/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg";
constexpr double mm = 1 / kcore::mmPerMil; // mils
constexpr int rampSteps = 12;

// Grey steps from black to white side by side, each width x height pixels.
QImage ramp(int width, int height)
{
    QImage img(rampSteps * width, height, QImage::Format_RGB32);
    for (int k = 0; k < rampSteps; ++k) {
        const int g = (k * 255 + (rampSteps - 1) / 2) / (rampSteps - 1);
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
    const kcore::WriteResult r = conversion.write(&buffer);
    return r.ok ? buffer.data() : QByteArray();
}

// The board of a conversion's file, on a raster of the given step (mils). The samples are set off
// the grid of the pixels by an odd fraction of a step: samples exactly where two rows' lines
// meet would be ink or not by the last bit of their arithmetic.
boardcheck::Raster boardOf(const kcore::Conversion &conversion, double step)
{
    const double pitch = conversion.settings().pads.pitch, margin = 2 * pitch + 4.318 * step;
    const QSize grid = conversion.grid();
    return boardcheck::rasterize(boardcheck::readStrokes(written(conversion)), step,
                                 QRectF(-margin, -margin, grid.width() * pitch + 2 * margin,
                                        (grid.height() + 1) * pitch + 2 * margin));
}

// The grey of the grid, light 1, as the screen reads it; and the board area of a rectangle of
// its pixels: pixel (x, y) from x P across, its row's line at (height - y) P, half a pitch up
// and down.
struct Tones
{
    QImage grid;
    bool invert = false;
    double pitch = 1;
    double at(int x, int y) const
    {
        const double g = (grid.pixel(x, y) & 0xff) / 255.0;
        return invert ? 1 - g : g;
    }
    QRectF board(const QRect &pixels) const
    {
        const int h = grid.height();
        return QRectF(pixels.left() * pitch, (h - pixels.bottom() - 0.5) * pitch,
                      pixels.width() * pitch, pixels.height() * pitch);
    }
    double mean(const QRect &pixels) const
    {
        double sum = 0;
        for (int y = pixels.top(); y <= pixels.bottom(); ++y)
            for (int x = pixels.left(); x <= pixels.right(); ++x)
                sum += at(x, y);
        return sum / (double(pixels.width()) * pixels.height());
    }
};

// The mean difference between the ink's share and the grey's over the whole squares of a
// millimetre (as near as whole pixels come) within the grid, from its top-left corner.
double coverageError(const boardcheck::Raster &board, const Tones &tones, int *squares)
{
    const int side = int(std::lround(mm / tones.pitch));
    double error = 0;
    *squares = 0;
    for (int y = 0; y + side <= tones.grid.height(); y += side)
        for (int x = 0; x + side <= tones.grid.width(); x += side) {
            const QRect pixels(x, y, side, side);
            error += std::abs(boardcheck::coverage(board, tones.board(pixels))
                              - tones.mean(pixels));
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
    void dotsLeanToTheirLight_data();
    void dotsLeanToTheirLight();
};

void TestHalftone::boardKeepsLimits_data()
{
    QTest::addColumn<QString>("picture"); // the photograph, or "ramp"
    QTest::addColumn<bool>("invert");
    QTest::addColumn<double>("pitch"); // mils
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("ends");
    QTest::addColumn<double>("line"); // mils
    QTest::addColumn<double>("space");

    // The board makers' limits: copper 0.127 mm, silkscreen 0.15 mm, 6 mil; the line width
    // about a third of the line limit, so that the smallest dot is round.
    const double copper = 0.127 * mm, silk = 0.15 * mm;
    QTest::newRow("photo, copper") << photo << false << 0.042 * mm << "9.4"
                                   << "default" << copper << copper;
    QTest::newRow("photo, silkscreen") << photo << false << 0.05 * mm << "9.4"
                                       << "default" << silk << silk;
    QTest::newRow("photo, 6 mil") << photo << false << 2.0 << "9.4"
                                  << "default" << 6.0 << 6.0;
    QTest::newRow("ramp, copper") << "ramp" << false << 0.042 * mm << "9.4"
                                  << "default" << copper << copper;
    QTest::newRow("ramp, silkscreen, inverted") << "ramp" << true << 0.05 * mm << "9.4"
                                                << "default" << silk << silk;
    QTest::newRow("ramp, 6 mil") << "ramp" << false << 2.0 << "9.4"
                                 << "default" << 6.0 << 6.0;
    // The other run ends and the whole-mil layout, whose rounding the screen allows for.
    QTest::newRow("ramp, 6 mil, exact ends") << "ramp" << false << 2.0 << "9.4"
                                             << "exact" << 6.0 << 6.0;
    QTest::newRow("ramp, 6 mil, smooth edges") << "ramp" << false << 2.0 << "9.4"
                                               << "smooth" << 6.0 << 6.0;
    QTest::newRow("ramp, 6 mil, whole mils") << "ramp" << false << 2.0 << "2.0"
                                             << "default" << 6.0 << 6.0;
    QTest::newRow("ramp, copper, whole mils, smooth edges")
            << "ramp" << false << 0.042 * mm << "2.0"
            << "smooth" << copper << copper;
}

void TestHalftone::boardKeepsLimits()
{
    QFETCH(QString, picture);
    QFETCH(bool, invert);
    QFETCH(double, pitch);
    QFETCH(QString, format);
    QFETCH(QString, ends);
    QFETCH(double, line);
    QFETCH(double, space);

    const bool isRamp = picture == QLatin1String("ramp");
    kcore::ConversionSettings settings;
    settings.invert = invert;
    settings.pads.pitch = pitch;
    settings.pads.format = format == "9.4" ? kcore::PadsFormat::V94 : kcore::PadsFormat::V20;
    settings.pads.metric = format == "9.4";
    settings.pads.exactEnds = ends == "exact";
    settings.pads.smoothEdges = ends == "smooth";
    settings.halftone.on = true;
    settings.halftone.minLineMils = line;
    settings.halftone.minSpaceMils = space;
    QImage whole;
    if (isRamp) {
        // Each step 2.5 x 5 mm.
        whole = ramp(int(2.5 * mm / pitch), int(5 * mm / pitch));
    } else {
        QVERIFY2(QFile::exists(picture), qPrintable(picture));
        whole = kcore::loadPicture(picture);
        // Fitted to 40 mm across, as a portrait on a board would be.
        settings.scalePercent = std::lround(40 * mm / (whole.width() * pitch) * 100);
    }
    kcore::Conversion conversion;
    conversion.setSource(kcore::Source::fromPicture(whole));
    conversion.setSettings(settings);
    QVERIFY2(conversion.screen(), qPrintable(conversion.screenProblem()));

    // The fab check finds nothing.
    const kcore::FabResult fab = conversion.fabCheck(line, space);
    QVERIFY(!fab.fab.belowMinimum());
    QCOMPARE(fab.spaces.closedGaps, 0);
    QCOMPARE(fab.spaces.narrowGaps, 0);

    // The grey's share of every square millimetre, on a raster a third of the line width fine.
    const Tones tones{kcore::scaleGrey(kcore::makeGrey(whole), int(settings.scalePercent)), invert,
                      pitch};
    int squares = 0;
    const double error = coverageError(boardOf(conversion, pitch / 3), tones, &squares);

    // The ink and the spaces, on a raster a sixteenth of the finer limit fine: the photograph's
    // face, where it has the most detail; the whole ramp.
    if (!isRamp) {
        conversion.setSource(kcore::Source::fromPicture(whole.copy(136, 120, 220, 260)));
        conversion.setSettings(settings);
    }
    const double step = std::min(line, space) / 16;
    const boardcheck::Raster board = boardOf(conversion, step);
    // The raster finds an edge within a step either side of a piece: two steps' benefit of the
    // doubt.
    const double tolerance = 2 * step;
    const boardcheck::Measures m = boardcheck::measure(board, line, space, tolerance);
    qInfo("%d pieces of ink, %d holes; smallest ink %.2f mil (limit %.2f), narrowest web %.2f, "
          "smallest hole %.2f, gap %.2f mil (limit %.2f); coverage off by %.1f %% over %d mm2",
          m.inkShapes, m.holes, m.smallestInk, line, m.narrowestWeb, m.smallestHole, m.smallestGap,
          space, error * 100, squares);
    QVERIFY(m.smallestInk >= line - tolerance);
    QVERIFY(m.narrowestWeb >= line - tolerance);
    QVERIFY(m.smallestGap >= space - tolerance);
    QVERIFY(m.holes == 0 || m.smallestHole >= space - tolerance);
    QCOMPARE(m.splitInk, 0);
    QCOMPARE(m.narrowSpaces, 0);
    QVERIFY(error <= 0.05);

    if (isRamp) {
        // Each step's coverage away from its edges, where the next step's cells reach in: never
        // less than the step before's as the tone rises (inverted, as the grey falls).
        const int w = tones.grid.width() / rampSteps, h = tones.grid.height();
        const int margin = int(0.5 * mm / pitch);
        double before = -1;
        for (int n = 0; n < rampSteps; ++n) {
            const int k = invert ? rampSteps - 1 - n : n;
            const QRect inner(k * w + margin, margin, w - 2 * margin, h - 2 * margin);
            const double c = boardcheck::coverage(board, tones.board(inner));
            QVERIFY2(c >= before,
                     qPrintable(QStringLiteral("step %1: %2 after %3").arg(k).arg(c).arg(before)));
            before = c;
        }
    }
}

void TestHalftone::dotsLeanToTheirLight_data()
{
    // Each band of cells grey g above its middle row and h below; light is written, so dots.
    QTest::addColumn<int>("above");
    QTest::addColumn<int>("below");
    QTest::addColumn<int>("lean"); // -1 toward the top of the cell, 0 centred, 1 toward its foot
    QTest::newRow("even grey") << 70 << 70 << 0;
    QTest::newRow("lighter above") << 110 << 30 << -1;
    QTest::newRow("lighter below") << 30 << 110 << 1;
}

// A dot sits where the light of its cell is: centred in an even grey, toward the lighter half
// of a cell that is lighter above or below, measured by the ink's mean row in each band.
void TestHalftone::dotsLeanToTheirLight()
{
    QFETCH(int, above);
    QFETCH(int, below);
    QFETCH(int, lean);
    kcore::PadsSettings pads;
    pads.pitch = 1;
    kcore::HalftoneSettings settings{true, 0, 6, 6};
    const std::shared_ptr<const kcore::HalftoneScreen> screen
            = kcore::HalftoneScreen::make(pads, settings);
    QVERIFY(screen);
    const int cw = screen->cellWidth(), ch = screen->cellHeight(), bands = 12;
    QImage grey(20 * cw, bands * ch, QImage::Format_RGB32);
    for (int y = 0; y < grey.height(); ++y)
        for (int x = 0; x < grey.width(); ++x)
            grey.setPixel(x, y, kcore::greyPixel(2 * (y % ch) < ch ? above : below));
    QImage bw;
    QVERIFY(kcore::halftoneInto(grey, false, screen, bw));
    // The bands inside, away from the picture's edges, where the screen's carry has settled.
    for (int b = 2; b < bands - 2; ++b) {
        double ink = 0, rows = 0;
        for (int j = 0; j < ch; ++j)
            for (int x = 2 * cw; x < grey.width() - 2 * cw; ++x)
                if (bw.pixel(x, b * ch + j) == 0xffffffff) {
                    ink += 1;
                    rows += j;
                }
        QVERIFY2(ink > 0, qPrintable(QStringLiteral("band %1 bare").arg(b)));
        const double offset = rows / ink - (ch - 1) / 2.0; // pixels below the band's middle
        const QString where = QStringLiteral("band %1: ink %2 pixels below the middle of %3 rows")
                                      .arg(b)
                                      .arg(offset)
                                      .arg(ch);
        if (lean == 0)
            QVERIFY2(std::abs(offset) <= 0.5, qPrintable(where));
        else
            QVERIFY2(offset * lean >= 1, qPrintable(where));
    }
}

QTEST_MAIN(TestHalftone)
#include "tst_halftone.moc"
