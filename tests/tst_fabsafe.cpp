// Fab-safe art: which ink is too thin for the board maker, what each finding is mended with, and
// pictures full of slivers, specks and hairline gaps made safe, judged by the fab check and, on
// their own, by opening and closing a fine raster of the round-ended lines the file draws.
#include "board/fabsafe.h"
#include "board/inkwidth.h"
#include "board/spacecheck.h"
#include "core/conversion.h"
#include "export/artworkwriter.h"
#include "geometry/units.h"
#include "image/bitimage.h"
#include "image/greyimage.h"
#include "testsupport.h"

#include <QBuffer>
#include <QPainter>
#include <QRandomGenerator>
#include <QTest>

#include <cmath>
#include <limits>
#include <map>
#include <set>

using testsupport::bwFromRows;

namespace {

constexpr double mm = 1 / kcore::mmPerMil;

struct Stroke
{
    double x0, x1, y, width; // mils
};

// Every item of a file in either layout, in mils.
std::vector<Stroke> strokesOf(const QByteArray &file)
{
    const double unit = file.startsWith("!PADS-POWERPCB-V9.4-METRIC!") ? mm : 1;
    std::vector<Stroke> strokes;
    const QList<QByteArray> lines = file.split('\n');
    for (qsizetype i = 0; i + 3 < lines.size(); ++i) {
        const QList<QByteArray> head = lines[i].simplified().split(' ');
        if (!head.value(0).startsWith("IMG"))
            continue;
        const QList<QByteArray> open = lines[i + 1].simplified().split(' ');
        const QList<QByteArray> end = lines[i + 3].simplified().split(' ');
        const double x = head[2].toDouble() * unit;
        strokes.push_back({x, x + end[0].toDouble() * unit, head[3].toDouble() * unit,
                           open[2].toDouble() * unit});
    }
    return strokes;
}

// Squared distances, in cells, from each cell of a w x h grid to the nearest cell set in from
// (the exact Euclidean transform, a column then a row at a time).
std::vector<double> distances(const std::vector<char> &from, int w, int h)
{
    // Far beyond any distance on the grid, yet small enough to add squares to exactly.
    const double far = 4.0 * (double(w) + h) * (double(w) + h) + 1;
    const double endless = std::numeric_limits<double>::infinity();
    std::vector<double> d(from.size());
    for (size_t i = 0; i < from.size(); ++i)
        d[i] = from[i] ? 0 : far;
    const size_t most = size_t(std::max(w, h));
    std::vector<double> f(most), out(most), z(most + 1);
    std::vector<int> v(most);
    // The lower envelope of the parabolas rooted at each cell of a line.
    const auto line = [&](int n, auto at) {
        for (int q = 0; q < n; ++q)
            f[size_t(q)] = at(q);
        const auto meet = [&](int q, int p) {
            return ((f[size_t(q)] + double(q) * q) - (f[size_t(p)] + double(p) * p))
                    / (2.0 * q - 2.0 * p);
        };
        int k = 0;
        v[0] = 0;
        z[0] = -endless;
        z[1] = endless;
        for (int q = 1; q < n; ++q) {
            double s = meet(q, v[size_t(k)]);
            while (s <= z[size_t(k)]) {
                --k;
                s = meet(q, v[size_t(k)]);
            }
            ++k;
            v[size_t(k)] = q;
            z[size_t(k)] = s;
            z[size_t(k) + 1] = endless;
        }
        k = 0;
        for (int q = 0; q < n; ++q) {
            while (z[size_t(k) + 1] < q)
                ++k;
            const int p = v[size_t(k)];
            out[size_t(q)] = double(q - p) * (q - p) + f[size_t(p)];
        }
        for (int q = 0; q < n; ++q)
            at(q) = out[size_t(q)];
    };
    for (int x = 0; x < w; ++x)
        line(h, [&](int y) -> double & { return d[size_t(y) * w + x]; });
    for (int y = 0; y < h; ++y)
        line(w, [&](int x) -> double & { return d[size_t(y) * w + x]; });
    return d;
}

// What a fine raster of a file's lines shows: how far (mils) the ink reaches past its opening by
// a disc of the finest line, how far the closing by a disc of the narrowest space fills away from
// the ink, and the number of pieces the ink is in once grown by just under half that space.
struct Raster
{
    double pastOpening = 0;
    double closedAway = 0;
    int pieces = 0;
};

Raster rasterOf(const QByteArray &file, double minLine, double minSpace)
{
    const std::vector<Stroke> strokes = strokesOf(file);
    Raster r;
    if (strokes.empty())
        return r;
    const double width = strokes.front().width;
    const double cell = width / 10;
    double left = 1e300, right = -1e300, bottom = 1e300, top = -1e300;
    for (const Stroke &s : strokes) {
        left = std::min(left, s.x0);
        right = std::max(right, s.x1);
        bottom = std::min(bottom, s.y);
        top = std::max(top, s.y);
    }
    const double margin = width + minSpace + minLine;
    left -= margin;
    bottom -= margin;
    const int w = int((right + margin - left) / cell) + 1;
    const int h = int((top + margin - bottom) / cell) + 1;
    std::vector<char> ink(size_t(w) * h, 0);
    const double r2 = width * width / 4;
    for (const Stroke &s : strokes) {
        const int i0 = int((s.x0 - width / 2 - left) / cell), i1 = int((s.x1 + width / 2 - left) / cell);
        const int j0 = int((s.y - width / 2 - bottom) / cell), j1 = int((s.y + width / 2 - bottom) / cell);
        for (int j = std::max(0, j0); j <= std::min(h - 1, j1 + 1); ++j)
            for (int i = std::max(0, i0); i <= std::min(w - 1, i1 + 1); ++i) {
                const double x = left + (i + 0.5) * cell, y = bottom + (j + 0.5) * cell;
                const double dx = x < s.x0 ? s.x0 - x : x > s.x1 ? x - s.x1 : 0;
                if (dx * dx + (y - s.y) * (y - s.y) <= r2)
                    ink[size_t(j) * w + i] = 1;
            }
    }
    std::vector<char> background(ink.size());
    for (size_t i = 0; i < ink.size(); ++i)
        background[i] = !ink[i];
    // Opening: the centres a disc of the finest line fits around, grown by the disc again; a
    // cell less, the raster's own grain, so that a line exactly as wide as the disc holds it.
    const double line = minLine / 2 / cell - 0.5, space = minSpace / 2 / cell - 0.5;
    const std::vector<double> toBackground = distances(background, w, h);
    std::vector<char> centres(ink.size());
    for (size_t i = 0; i < ink.size(); ++i)
        centres[i] = toBackground[i] > line * line;
    const std::vector<double> toCentre = distances(centres, w, h);
    std::vector<char> opened(ink.size());
    for (size_t i = 0; i < ink.size(); ++i)
        opened[i] = toCentre[i] <= line * line;
    const std::vector<double> toOpened = distances(opened, w, h);
    // Closing: the ink grown by a disc of the narrowest space, shrunk by it again.
    const std::vector<double> toInk = distances(ink, w, h);
    std::vector<char> outside(ink.size());
    for (size_t i = 0; i < ink.size(); ++i)
        outside[i] = toInk[i] > space * space;
    const std::vector<double> toOutside = distances(outside, w, h);
    for (size_t i = 0; i < ink.size(); ++i) {
        if (ink[i] && !opened[i])
            r.pastOpening = std::max(r.pastOpening, std::sqrt(toOpened[i]) * cell);
        if (!ink[i] && toOutside[i] > space * space)
            r.closedAway = std::max(r.closedAway, std::sqrt(toInk[i]) * cell);
    }
    // Pieces: the ink grown by just under half the space, which joins pieces closer than it.
    const double grown = space;
    std::vector<int> label(ink.size(), 0);
    for (size_t start = 0; start < ink.size(); ++start) {
        if (label[start] || toInk[start] > grown * grown)
            continue;
        ++r.pieces;
        std::vector<size_t> stack{start};
        label[start] = r.pieces;
        while (!stack.empty()) {
            const size_t c = stack.back();
            stack.pop_back();
            const int x = int(c % size_t(w)), y = int(c / size_t(w));
            for (const auto &[dx, dy] : {std::pair{1, 0}, {-1, 0}, {0, 1}, {0, -1}}) {
                if (x + dx < 0 || x + dx >= w || y + dy < 0 || y + dy >= h)
                    continue;
                const size_t n = size_t(y + dy) * w + size_t(x + dx);
                if (!label[n] && toInk[n] <= grown * grown) {
                    label[n] = r.pieces;
                    stack.push_back(n);
                }
            }
        }
    }
    return r;
}

// The shapes of a black-and-white image, pieces of white pixels with corners touching: a label
// from 1 for each pixel, 0 for black.
std::vector<int> shapesOf(const QImage &bw, int *count)
{
    const int w = bw.width();
    const kcore::BitImage bits = kcore::bitsOf(bw);
    std::vector<int> label(size_t(w) * bw.height(), 0);
    *count = 0;
    for (int y = 0; y < bw.height(); ++y)
        for (int x = 0; x < w; ++x) {
            if (!bits.at(x, y) || label[size_t(y) * w + x])
                continue;
            label[size_t(y) * w + x] = ++*count;
            std::vector<QPoint> stack{{x, y}};
            while (!stack.empty()) {
                const QPoint p = stack.back();
                stack.pop_back();
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        const int nx = p.x() + dx, ny = p.y() + dy;
                        if (bits.at(nx, ny) && !label[size_t(ny) * w + nx]) {
                            label[size_t(ny) * w + nx] = *count;
                            stack.push_back({nx, ny});
                        }
                    }
            }
        }
    return label;
}

// What became of a picture's shapes: how many are gone, how many more pieces the rest are in,
// and how many shapes now hold what is left of two.
struct Shapes
{
    int given = 0, after = 0;
    int dropped = 0;
    int split = 0;
    int joined = 0;
};

Shapes shapesFrom(const QImage &before, const QImage &after)
{
    Shapes s;
    const std::vector<int> was = shapesOf(before, &s.given), now = shapesOf(after, &s.after);
    std::set<std::pair<int, int>> pairs; // the pixels white in both link a shape to a shape
    for (size_t i = 0; i < was.size(); ++i)
        if (was[i] && now[i])
            pairs.insert({was[i], now[i]});
    std::map<int, int> pieces, sources;
    for (const auto &[from, to] : pairs) {
        ++pieces[from];
        ++sources[to];
    }
    s.dropped = s.given - int(pieces.size());
    for (const auto &[from, n] : pieces)
        s.split += n - 1;
    for (const auto &[to, n] : sources)
        s.joined += n > 1;
    return s;
}

// A picture full of what a board maker refuses, drawn twice as large and shrunk so that its
// edges are grey as a scanned or drawn logo's are: bars a hairline apart, blocks a blank row
// apart, two triangles along a slanted hairline, a ring with a slit, stubs and free lines one
// pixel wide, a comb, specks alone and beside shapes, and a field of noise.
QImage slivers(bool noise = true)
{
    const int w = 160, h = 120;
    QImage big(2 * w, 2 * h, QImage::Format_RGB32);
    big.fill(Qt::black);
    QRandomGenerator rng(7);
    const auto px = [&](int x, int y) {
        if (x >= 0 && y >= 0 && x < w && y < h)
            for (int k = 0; k < 4; ++k)
                big.setPixel(2 * x + (k & 1), 2 * y + (k >> 1), 0xffffffffu);
    };
    const auto rect = [&](int x0, int y0, int x1, int y1) {
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                px(x, y);
    };
    rect(2, 2, 20, 30);
    rect(21, 2, 40, 30);
    rect(44, 2, 70, 14);
    rect(44, 15, 70, 30);
    for (int y = 0; y < 28; ++y) {
        rect(74, y + 2, 74 + y, y + 3);
        rect(76 + y, y + 2, 104, y + 3);
    }
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 30; ++x) {
            const double d = std::hypot(x - 14.5, y - 14.5);
            if (d > 8 && d < 13 && !(x == 14 && y < 10))
                px(108 + x, y + 1);
        }
    rect(2, 36, 30, 56);
    rect(30, 45, 40, 46);
    rect(10, 56, 11, 62);
    rect(44, 40, 80, 41);
    rect(84, 36, 85, 60);
    for (int t = 0; t < 20; ++t)
        px(90 + t, 36 + t);
    rect(112, 36, 140, 40);
    for (int x = 112; x < 140; x += 2)
        rect(x, 40, x + 1, 56);
    for (int i = 0; i < 40; ++i)
        px(2 + int(rng.bounded(w - 4)), 62 + int(rng.bounded(h - 64)));
    px(41, 10);
    px(20, 58);
    px(71, 8);
    for (int y = 70; y < h - 2; ++y)
        for (int x = 40; x < 100; ++x)
            if (rng.bounded(100) < 45 && noise)
                px(x, y);
    for (int i = 0; i < 12; ++i) {
        const int x = 104 + int(rng.bounded(40)), y = 64 + int(rng.bounded(h - 74));
        rect(x, y, x + 2 + int(rng.bounded(6)), y + 2 + int(rng.bounded(6)));
    }
    return big.scaled(w, h, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

QByteArray written(const kcore::Conversion &conversion)
{
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    return conversion.write(&out).ok ? out.data() : QByteArray();
}

QStringList rowsOf(const kcore::BitImage &bits)
{
    QStringList rows;
    for (int y = 0; y < bits.height(); ++y) {
        QString row;
        for (int x = 0; x < bits.width(); ++x)
            row += bits.at(x, y) ? QLatin1Char('#') : QLatin1Char('.');
        rows << row;
    }
    return rows;
}

} // namespace

class TestFabSafe : public QObject
{
    Q_OBJECT

private slots:
    void thinInk_data();
    void thinInk();
    void mends_data();
    void mends();
    void makesSafe_data();
    void makesSafe();
    void cleanArtUnchanged_data();
    void cleanArtUnchanged();
};

void TestFabSafe::thinInk_data()
{
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<double>("pitch");
    QTest::addColumn<QString>("ends"); // "", "exact" or "smooth"
    QTest::addColumn<bool>("v94");
    QTest::addColumn<double>("minLine");
    QTest::addColumn<int>("thin");
    // Two rows of 2 mil, each run 2 mil long with round ends 1 mil past either end: a square
    // of 4 mil with caps, which holds a disc of 4 mil and no more.
    QTest::newRow("2 mil, two by two") << QStringList{"##", "##"} << 2.0 << "" << false << 4.0
                                       << 0;
    QTest::newRow("2 mil, a line one pixel high")
            << QStringList{"#####"} << 2.0 << "" << false << 4.0 << 5;
    // Caps of 1 mil on top of each other: 4 mil across at the rows' centres, 2 mil between.
    QTest::newRow("2 mil, a line one pixel wide")
            << QStringList{"#", "#", "#"} << 2.0 << "" << false << 4.0 << 3;
    QTest::newRow("2 mil, a stub off a block")
            << QStringList{"###", "##."} << 2.0 << "" << false << 4.0 << 1;
    QTest::newRow("2 mil, finer than 4.1 mil")
            << QStringList{"##", "##"} << 2.0 << "" << false << 4.1 << 4;
    QTest::newRow("2 mil, three by three for 4.1 mil")
            << QStringList{"###", "###", "###"} << 2.0 << "" << false << 4.1 << 0;
    QTest::newRow("8 mil, one pixel holds 4 mil")
            << QStringList{"#.#", ".#."} << 8.0 << "" << false << 4.0 << 0;
    // Exact ends run from the first pixel's centre to the last's: two pixels draw 2 mil of
    // line between the caps, too little to hold 4 mil where the rows meet.
    QTest::newRow("2 mil, exact ends, two by two")
            << QStringList{"##", "##"} << 2.0 << "exact" << false << 4.0 << 4;
    QTest::newRow("2 mil, exact ends, three by two")
            << QStringList{"###", "###"} << 2.0 << "exact" << false << 4.0 << 0;
    QTest::newRow("0.1 mm in 9.4, silkscreen 0.15 mm, two by two")
            << QStringList{"##", "##"} << 0.1 * mm << "" << true << 0.15 * mm << 0;
    QTest::newRow("0.1 mm in 9.4, silkscreen 0.15 mm, a line")
            << QStringList{"....", "####", "...."} << 0.1 * mm << "" << true << 0.15 * mm << 4;
    // Rounded to whole mils, 0.05 mm rows lie 1 or 2 mil apart: two rows may draw only 3 mil.
    QTest::newRow("0.05 mm, rows rounded, two by two")
            << QStringList{"##", "##"} << 0.05 * mm << "" << false << 4.0 << 4;
    QTest::newRow("0.05 mm, rows rounded, two by three")
            << QStringList{"##", "##", "##"} << 0.05 * mm << "" << false << 4.0 << 0;
    // Smooth ends may lie half a pixel inside the run: only longer runs are sure of their line.
    QTest::newRow("2 mil, smooth edges, three by two")
            << QStringList{"###", "###"} << 2.0 << "smooth" << false << 4.0 << 6;
}

void TestFabSafe::thinInk()
{
    QFETCH(QStringList, rows);
    QFETCH(double, pitch);
    QFETCH(QString, ends);
    QFETCH(bool, v94);
    QFETCH(double, minLine);
    QFETCH(int, thin);
    kcore::PadsSettings s{pitch, 19, ends == "exact"};
    s.smoothEdges = ends == "smooth";
    s.format = v94 ? kcore::PadsFormat::V94 : kcore::PadsFormat::V20;
    s.metric = v94;
    const kcore::InkWidth width(s, minLine);
    QCOMPARE(kcore::countThinInk(kcore::bitsOf(bwFromRows(rows)), width), qint64(thin));
    // Each block the rule takes for wide enough holds a disc of the finest line in the lines the
    // writer draws for it, wherever on the board it lies.
    s.smoothEdges = false;
    for (const kcore::InkBlock &block : width.blocks())
        for (int at = 0; at < 6; ++at) {
            QImage bw(16, 16, QImage::Format_RGB32);
            bw.fill(0xff000000u);
            for (const kcore::InkBlock::Row &row : block.rows)
                for (int x = row.from; x <= row.to; ++x)
                    bw.setPixel(at + x, at + row.dy, 0xffffffffu);
            QBuffer out;
            out.open(QIODevice::WriteOnly);
            QVERIFY(kcore::writeArtwork(bw, s, &out).ok);
            if (ends != "smooth")
                QVERIFY2(rasterOf(out.data(), minLine, 1).pastOpening < 1e-9 + s.pitch,
                         qPrintable(QStringLiteral("block at %1").arg(at)));
        }
}

void TestFabSafe::mends_data()
{
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<double>("pitch");
    QTest::addColumn<QStringList>("mended");
    QTest::addColumn<QString>("summary");
    // At 8 mil two columns apart leave 8 mil of line's width less 4 mil of space: a one-pixel
    // gap closes. Opening it moves one pixel a row, and the two bars stay two.
    QTest::newRow("8 mil, bars a pixel apart")
            << QStringList{"###.###", "###.###"} << 8.0 << QStringList{"##..###", "##..###"}
            << "fab-safe: 2 pixels removed, 0 added, 2 gaps opened";
    // At 2 mil three columns of space are needed: one pixel off either bar.
    QTest::newRow("2 mil, bars a pixel apart")
            << QStringList{"###.###", "###.###", "###.###"} << 2.0
            << QStringList{"##...##", "##...##", "##...##"}
            << "fab-safe: 6 pixels removed, 0 added, 3 gaps opened";
    // A slit into one shape: filling it moves one pixel a row, opening it three.
    QTest::newRow("8 mil, a slit into one shape")
            << QStringList{"#####", "##.##", "##.##", "#####"} << 8.0
            << QStringList{"#####", "#####", "#####", "#####"}
            << "fab-safe: 0 pixels removed, 2 added, 2 gaps closed";
    // At 2 mil a space needs three columns: filling the slit moves one pixel a row, opening it
    // two.
    QTest::newRow("2 mil, a slit into one shape")
            << QStringList{"########", "########", "###.####", "###.####", "########", "########"}
            << 2.0
            << QStringList{"########", "########", "########", "########", "########", "########"}
            << "fab-safe: 0 pixels removed, 2 added, 2 gaps closed";
    QTest::newRow("2 mil, a speck beside a block")
            << QStringList{"##....", "##..#.", "##...."} << 2.0
            << QStringList{"##....", "##....", "##...."}
            << "fab-safe: 1 pixel removed, 0 added, 1 speck dropped";
    // A line one pixel high: taken away or widened by a row, six pixels either way; widened,
    // the art keeps it.
    QTest::newRow("2 mil, a thin line") << QStringList{"......", "######", "......"} << 2.0
                                        << QStringList{"......", "######", "######"}
                                        << "fab-safe: 0 pixels removed, 6 added, 1 thin line "
                                           "widened";
    // The only link between two blocks: taking it away would split the shape.
    QTest::newRow("2 mil, a thin neck")
            << QStringList{"##.....##", "##.....##", "#########", "##.....##", "##.....##"}
            << 2.0
            << QStringList{"##.....##", "##.....##", "#########", "#########", "##.....##"}
            << "fab-safe: 0 pixels removed, 5 added, 1 thin line widened";
    // Two blocks a blank row apart at 8 mil keep 8 mil of space.
    QTest::newRow("8 mil, blocks a blank row apart, clean")
            << QStringList{"#####", ".....", "#####"} << 8.0
            << QStringList{"#####", ".....", "#####"} << "fab-safe: 0 pixels removed, 0 added";
    // At 2 mil they need two blank rows; what is left of the block a row is taken from is too
    // thin, and goes too: the blocks are never joined.
    QTest::newRow("2 mil, blocks a blank row apart")
            << QStringList{"#####", "#####", ".....", "#####", "#####"} << 2.0
            << QStringList{"#####", "#####", ".....", ".....", "....."}
            << "fab-safe: 10 pixels removed, 0 added, 1 speck dropped, 1 gap opened";
}

void TestFabSafe::mends()
{
    QFETCH(QStringList, rows);
    QFETCH(double, pitch);
    QFETCH(QStringList, mended);
    QFETCH(QString, summary);
    kcore::BitImage bits = kcore::bitsOf(bwFromRows(rows));
    const kcore::FabSafeReport r = kcore::makeFabSafe(bits, kcore::PadsSettings{pitch, 19},
                                                      kcore::defaultMinLineMils,
                                                      kcore::defaultMinSpaceMils);
    QVERIFY(r.ok);
    QCOMPARE(rowsOf(bits), mended);
    QCOMPARE(kcore::fabSafeSummary(r), summary);
}

void TestFabSafe::makesSafe_data()
{
    QTest::addColumn<QString>("width");
    QTest::addColumn<int>("unit");
    QTest::addColumn<bool>("v94");
    QTest::addColumn<QString>("ends");
    QTest::addColumn<double>("minLine"); // mils
    QTest::addColumn<double>("minSpace");
    // In noise a shape may have no way out but to be split: those go with the noise.
    QTest::addColumn<bool>("noise");
    QTest::newRow("2 mil, 4 mil limits, noise")
            << "2" << int(kcore::UnitMils) << false << "" << 4.0 << 4.0 << true;
    QTest::newRow("2 mil, 4 mil limits")
            << "2" << int(kcore::UnitMils) << false << "" << 4.0 << 4.0 << false;
    QTest::newRow("0.1 mm, copper 0.1 mm") << "0.1" << int(kcore::UnitMillimetres) << false << ""
                                           << 0.1 * mm << 0.1 * mm << false;
    QTest::newRow("0.1 mm in 9.4, silkscreen 0.15 mm, noise")
            << "0.1" << int(kcore::UnitMillimetres) << true << "" << 0.15 * mm << 0.15 * mm
            << true;
    QTest::newRow("0.127 mm, 0.127 mm limits, exact ends")
            << "0.127" << int(kcore::UnitMillimetres) << false << "exact" << 0.127 * mm
            << 0.127 * mm << false;
    QTest::newRow("6 mil, 6 mil limits, noise")
            << "6" << int(kcore::UnitMils) << false << "" << 6.0 << 6.0 << true;
    QTest::newRow("0.05 mm, copper 0.127 mm") << "0.05" << int(kcore::UnitMillimetres) << false
                                              << "" << 0.127 * mm << 0.127 * mm << false;
    QTest::newRow("3 mil in 9.4, smooth edges, 5 mil, noise")
            << "3" << int(kcore::UnitMils) << true << "smooth" << 5.0 << 5.0 << true;
    QTest::newRow("8 mil, 0.2 mm space")
            << "8" << int(kcore::UnitMils) << false << "" << 4.0 << 0.2 * mm << false;
}

void TestFabSafe::makesSafe()
{
    QFETCH(QString, width);
    QFETCH(int, unit);
    QFETCH(bool, v94);
    QFETCH(QString, ends);
    QFETCH(double, minLine);
    QFETCH(double, minSpace);
    QFETCH(bool, noise);
    const QImage picture = slivers(noise);
    kcore::ConversionSettings c;
    c.pads.pitch = kcore::linePitch(width, unit);
    c.pads.format = v94 ? kcore::PadsFormat::V94 : kcore::PadsFormat::V20;
    c.pads.metric = kcore::writesMetric(unit);
    c.pads.exactEnds = ends == "exact";
    c.pads.smoothEdges = ends == "smooth";
    c.fabSafe = {false, minLine, minSpace};
    const kcore::Source source = kcore::Source::fromPicture(picture);

    // As the window makes it: the image built, then made safe.
    kcore::Conversion window;
    window.setPicture(source, kcore::makeGrey(picture));
    window.setSettings(c);
    QVERIFY(window.buildBw());
    const QImage plain = window.bw();
    const QByteArray unsafe = written(window);
    QVERIFY(window.fabCheck(minLine, minSpace).spaces.hasFindings());
    c.fabSafe.on = true;
    window.setSettings(c);
    QVERIFY(window.buildBw());
    QVERIFY(window.buildEdges());
    const kcore::FabSafeReport &report = window.fabSafeReport();
    QVERIFY(report.ok && report.removed > 0 && report.specks > 0 && report.gapsOpened > 0);
    // As the converter makes it, from rows: the same file.
    kcore::Conversion converter;
    converter.setSource(source);
    converter.setSettings(c);
    QVERIFY(converter.makeFabSafe());
    const QByteArray file = written(window);
    QVERIFY(!file.isEmpty());
    QVERIFY(file == written(converter));
    QCOMPARE(kcore::fabSafeSummary(converter.fabSafeReport()), kcore::fabSafeSummary(report));

    // The fab check finds nothing: no ink finer than the line, no space closed or narrowed.
    const kcore::FabResult after = window.fabCheck(minLine, minSpace);
    QVERIFY2(!after.fab.belowMinimum(), qPrintable(kcore::fabWarning(after.fab)));
    QVERIFY2(!after.spaces.hasFindings(), qPrintable(kcore::gapSummary(after.spaces)));
    // No two shapes joined; none split but in noise; as many dropped and split as it says.
    const Shapes shapes = shapesFrom(plain, window.bw());
    QCOMPARE(shapes.joined, 0);
    QCOMPARE(shapes.dropped, int(report.specks));
    QCOMPARE(shapes.split, int(report.splits));
    if (!noise)
        QCOMPARE(shapes.split, 0);

    // On a raster of the lines the file draws, as a board maker's check sees them: no ink
    // reaches past its opening by a disc of the line further than the round ends of a block's
    // corners do (smooth ends half a pixel more), nothing but the notches between round ends
    // stacked in a column closes, and no two shapes come closer than the space.
    const kcore::LineGeometry g(c.pads);
    const double pitch = c.pads.pitch, line = g.mils(g.width());
    const double pastOpening
            = 0.75 * std::max(pitch, line) + line / 6 + (c.pads.smoothEdges ? pitch / 2 : 0);
    const double closedAway = line / 2 + line / 6;
    const Raster r = rasterOf(file, minLine, minSpace);
    QVERIFY2(r.pastOpening <= pastOpening,
             qPrintable(QStringLiteral("%1 mil past the opening").arg(r.pastOpening)));
    QVERIFY2(r.closedAway <= closedAway,
             qPrintable(QStringLiteral("closed %1 mil from the ink").arg(r.closedAway)));
    QCOMPARE(r.pieces, shapes.after);
    // And the raster tells a plain conversion's faults.
    const Raster u = rasterOf(unsafe, minLine, minSpace);
    QVERIFY(u.pieces < shapes.given || u.pastOpening > pastOpening || u.closedAway > closedAway);
}

void TestFabSafe::cleanArtUnchanged_data()
{
    QTest::addColumn<QString>("art"); // "logo.svg", "logo.pdf", or a file of the sources
    QTest::addColumn<QString>("width");
    QTest::addColumn<int>("unit");
    QTest::addColumn<bool>("v94");
    QTest::addColumn<QString>("ends");
    QTest::newRow("test logo, SVG, 0.1 mm")
            << "logo.svg" << "0.1" << int(kcore::UnitMillimetres) << false << "";
    QTest::newRow("test logo, PDF, 0.2 mm in 9.4")
            << "logo.pdf" << "0.2" << int(kcore::UnitMillimetres) << true << "";
    QTest::newRow("test logo, SVG, 4 mil in 9.4, smooth edges")
            << "logo.svg" << "4" << int(kcore::UnitMils) << true << "smooth";
    QTest::newRow("the icon, 6 mil, exact ends")
            << "packaging/icons/kestrel-128.png" << "6" << int(kcore::UnitMils) << false
            << "exact";
    // Smooth ends judged where the grey levels put them, not where they might lie.
    QTest::newRow("the icon, 4 mil in 9.4, smooth edges")
            << "packaging/icons/kestrel-128.png" << "4" << int(kcore::UnitMils) << true
            << "smooth";
    QTest::newRow("the icon drawn, 0.15 mm in 9.4")
            << "packaging/icons/kestrel.svg" << "0.15" << int(kcore::UnitMillimetres) << true
            << "";
}

void TestFabSafe::cleanArtUnchanged()
{
    QFETCH(QString, art);
    QFETCH(QString, width);
    QFETCH(int, unit);
    QFETCH(bool, v94);
    QFETCH(QString, ends);
    if (art.contains(QLatin1String(".svg")) || art.endsWith(QLatin1String(".pdf")))
        if (!kcore::vectorSupport())
            QSKIP("this build reads no vector documents");
    QString why;
    const kcore::Source source = art == "logo.svg"
            ? kcore::Source::fromData(testsupport::logoSvg(), 0, &why)
            : art == "logo.pdf"
            ? kcore::Source::fromData(testsupport::logoPdf(), 0, &why)
            : kcore::Source::open(QStringLiteral(KESTREL_SOURCE_DIR "/") + art, 0, &why);
    QVERIFY2(!source.isNull(), qPrintable(why));
    kcore::ConversionSettings c;
    c.invert = true; // dark art on white paper
    c.pads.pitch = kcore::linePitch(width, unit);
    c.pads.format = v94 ? kcore::PadsFormat::V94 : kcore::PadsFormat::V20;
    c.pads.metric = kcore::writesMetric(unit);
    c.pads.exactEnds = ends == "exact";
    c.pads.smoothEdges = ends == "smooth";
    kcore::Conversion plain;
    plain.setSource(source);
    plain.setSettings(c);
    // Clean: nothing for the fab check to find.
    const kcore::FabResult fab
            = plain.fabCheck(kcore::defaultMinLineMils, kcore::defaultMinSpaceMils);
    QVERIFY(!fab.fab.belowMinimum() && !fab.spaces.hasFindings() && fab.fab.items > 100);
    c.fabSafe.on = true;
    kcore::Conversion safe;
    safe.setSource(source);
    safe.setSettings(c);
    QVERIFY(safe.makeFabSafe());
    QVERIFY(written(safe) == written(plain));
    QCOMPARE(kcore::fabSafeSummary(safe.fabSafeReport()),
             QStringLiteral("fab-safe: 0 pixels removed, 0 added"));
}

QTEST_GUILESS_MAIN(TestFabSafe)
#include "tst_fabsafe.moc"
