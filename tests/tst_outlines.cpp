// The copper's outlines: polygons that cover exactly the pixels (the openings grown or shrunk as
// asked), each simple, without a hole, none overlapping another, whatever the shapes.
#include "board/outlines.h"
#include "image/runs.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <set>

using testsupport::bwFromRows;

namespace {

using Polygon = std::vector<kcore::OutlinePoint>;

// An image of random pixels, density out of 100 white.
QImage randomBw(quint32 seed, int width, int height, int density)
{
    QRandomGenerator rng(seed);
    QImage bw(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            bw.setPixel(x, y, int(rng.bounded(100)) < density ? 0xffffffffu : 0xff000000u);
    return bw;
}

qint32 edge(qint64 k, double pitch)
{
    return qint32(std::llround(double(k) * pitch));
}

// The polygons traced from bw's rows, every run given as drawn or as grown.
std::vector<Polygon> trace(const QImage &bw, double pitch, int expansion, size_t budget,
                           bool grown)
{
    std::vector<Polygon> polygons;
    kcore::OutlineTracer tracer(
            [&](const kcore::OutlinePoint *p, size_t n) { polygons.emplace_back(p, p + n); },
            budget);
    kcore::LayerBands bands(tracer, pitch, expansion);
    for (int y = 0; y < bw.height(); ++y) {
        std::vector<kcore::Span> spans;
        kcore::forEachRun(reinterpret_cast<const quint32 *>(bw.constScanLine(y)), bw.width(),
                          [&](int s, int n) { spans.push_back({edge(s, pitch), edge(s + n, pitch)}); });
        bands.addRow(y, grown ? std::vector<kcore::Span>() : spans,
                     grown ? spans : std::vector<kcore::Span>());
    }
    bands.finish(bw.height());
    return polygons;
}

// Why a polygon is not a simple one of sides across and along, or empty: a corner met twice
// (the polygon touching itself), a side neither across nor along, two sides in a line, or two
// sides that are not neighbours meeting.
QString simplicityProblem(const Polygon &p)
{
    const size_t n = p.size();
    if (n < 4 || n % 2)
        return QStringLiteral("%1 corners").arg(n);
    std::set<std::pair<qint32, qint32>> corners;
    for (size_t i = 0; i < n; ++i) {
        const kcore::OutlinePoint &a = p[i], &b = p[(i + 1) % n], &c = p[(i + 2) % n];
        if (!corners.insert({a.x, a.y}).second)
            return QStringLiteral("corner %1,%2 twice").arg(a.x).arg(a.y);
        if ((a.x == b.x) == (a.y == b.y))
            return QStringLiteral("side %1,%2 to %3,%4").arg(a.x).arg(a.y).arg(b.x).arg(b.y);
        if ((a.x == b.x) == (b.x == c.x))
            return QStringLiteral("two sides in a line at %1,%2").arg(b.x).arg(b.y);
    }
    for (size_t i = 0; i < n; ++i) {
        const kcore::OutlinePoint &a = p[i], &b = p[(i + 1) % n];
        for (size_t j = i + 2; j < n; ++j) {
            if (i == 0 && j == n - 1)
                continue;
            const kcore::OutlinePoint &c = p[j], &d = p[(j + 1) % n];
            const bool meet = std::max(std::min(a.x, b.x), std::min(c.x, d.x))
                            <= std::min(std::max(a.x, b.x), std::max(c.x, d.x))
                    && std::max(std::min(a.y, b.y), std::min(c.y, d.y))
                            <= std::min(std::max(a.y, b.y), std::max(c.y, d.y));
            if (meet)
                return QStringLiteral("sides at %1,%2 and %3,%4 meet").arg(a.x).arg(a.y).arg(c.x).arg(
                        c.y);
        }
    }
    return QString();
}

// How many polygons cover each point of a grid of one unit, at the units' centres, over the
// rectangle from `from` (units): each polygon filled even-odd.
std::vector<int> coverage(const std::vector<Polygon> &polygons, QPoint from, QSize size)
{
    std::vector<int> count(size_t(size.width()) * size.height(), 0);
    std::vector<double> crossings;
    for (const Polygon &p : polygons) {
        for (int row = 0; row < size.height(); ++row) {
            const double y = from.y() + row + 0.5;
            crossings.clear();
            for (size_t i = 0; i < p.size(); ++i) {
                const kcore::OutlinePoint &a = p[i], &b = p[(i + 1) % p.size()];
                if (a.x == b.x && (a.y < y) != (b.y < y))
                    crossings.push_back(a.x);
            }
            std::sort(crossings.begin(), crossings.end());
            for (size_t k = 0; k + 1 < crossings.size(); k += 2)
                for (int x = int(crossings[k]) - from.x(); x < int(crossings[k + 1]) - from.x(); ++x)
                    if (x >= 0 && x < size.width())
                        ++count[size_t(row) * size.width() + x];
        }
    }
    return count;
}

// Whether the unit at (x, y) (its centre) is copper: within expansion of a white pixel, or with
// a negative one, its square of that size all on white pixels.
bool copperAt(const QImage &bw, double pitch, int expansion, double x, double y)
{
    const auto white = [&](qint64 c, qint64 r) {
        return c >= 0 && r >= 0 && c < bw.width() && r < bw.height() && (bw.pixel(int(c), int(r)) & 0xff);
    };
    const double d = std::abs(expansion);
    // The pixels a square of half size d around the point reaches.
    const auto column = [&](double v) {
        qint64 k = qint64(std::floor(v / pitch)) - 1;
        while (edge(k + 1, pitch) <= v)
            ++k;
        return k;
    };
    const qint64 c0 = column(x - d), c1 = column(x + d), r0 = column(y - d), r1 = column(y + d);
    bool any = false, all = true;
    for (qint64 r = r0; r <= r1; ++r)
        for (qint64 c = c0; c <= c1; ++c) {
            any = any || white(c, r);
            all = all && white(c, r);
        }
    return expansion >= 0 ? any : all;
}

} // namespace

class TestOutlines : public QObject
{
    Q_OBJECT

private slots:
    void polygonsCoverThePixels_data();
    void polygonsCoverThePixels();
};

void TestOutlines::polygonsCoverThePixels_data()
{
    QTest::addColumn<QImage>("bw");
    QTest::addColumn<double>("pitch"); // units a pixel
    QTest::addColumn<int>("expansion"); // units; the runs given as grown when not 0
    QTest::addColumn<int>("budget"); // corners held before everything is cut
    QTest::addColumn<int>("polygons"); // how many, or -1

    const QImage o = bwFromRows({".####.", "##..##", "#....#", "##..##", ".####."});
    const QImage b = bwFromRows({"####.", "#..##", "####.", "#..##", "####."});
    const QImage nested = bwFromRows({"#########", "#.......#", "#.#####.#", "#.#...#.#",
                                      "#.#.#.#.#", "#.#...#.#", "#.#####.#", "#.......#",
                                      "#########"});
    // A ring that closes only at a corner, and one closed at its bottom by a corner too.
    const QImage pinched = bwFromRows({".###", ".#.#", "#..#", "####"});
    const QImage checker = bwFromRows({"#.#.#", ".#.#.", "#.#.#", ".#.#."});
    const QImage stairs = bwFromRows({"#....", "##...", ".##..", "..##.", "...##"});
    const QImage comb = bwFromRows({"#.#.#.#", "#######", "#.#.#.#", "#######"});
    QTest::newRow("O: split where its hole closes") << o << 10.0 << 0 << 1 << 2;
    QTest::newRow("B") << b << 10.0 << 0 << 1 << 3;
    QTest::newRow("ring around a ring around a dot") << nested << 10.0 << 0 << 1 << 5;
    QTest::newRow("ring closed at a corner") << pinched << 10.0 << 0 << 1 << 3;
    QTest::newRow("checkerboard: corners only") << checker << 10.0 << 0 << 1 << 10;
    QTest::newRow("stairs") << stairs << 10.0 << 0 << 1 << -1;
    QTest::newRow("comb") << comb << 10.0 << 0 << 1 << -1;
    QTest::newRow("B, pitch 7.3") << b << 7.3 << 0 << 1 << 3;
    for (const int seed : {1, 2, 3, 4}) {
        for (const int density : {30, 55, 80})
            QTest::addRow("random %d, %d %% white", seed, density)
                    << randomBw(quint32(seed), 23, 19, density) << 10.0 << 0 << 1 << -1;
        QTest::addRow("random %d, everything cut each band", seed)
                << randomBw(quint32(seed), 23, 19, 60) << 10.0 << 0 << 0 << -1;
        QTest::addRow("random %d, grown by 3", seed)
                << randomBw(quint32(seed), 23, 19, 40) << 10.0 << 3 << 1 << -1;
        QTest::addRow("random %d, grown past half a row", seed)
                << randomBw(quint32(seed), 23, 19, 30) << 10.0 << 7 << 1 << -1;
        QTest::addRow("random %d, grown over three rows", seed)
                << randomBw(quint32(seed), 17, 13, 10) << 10.0 << 26 << 1 << -1;
        QTest::addRow("random %d, shrunk by 4", seed)
                << randomBw(quint32(seed), 23, 19, 70) << 10.0 << -4 << 1 << -1;
        QTest::addRow("random %d, shrunk, pitch 9.7", seed)
                << randomBw(quint32(seed), 23, 19, 70) << 9.7 << -3 << 1 << -1;
    }
}

void TestOutlines::polygonsCoverThePixels()
{
    QFETCH(QImage, bw);
    QFETCH(double, pitch);
    QFETCH(int, expansion);
    QFETCH(int, budget);
    QFETCH(int, polygons);

    const std::vector<Polygon> traced
            = trace(bw, pitch, expansion, budget ? size_t(1) << 20 : 0, expansion != 0);
    for (const Polygon &p : traced) {
        const QString problem = simplicityProblem(p);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }
    if (polygons >= 0)
        QCOMPARE(int(traced.size()), polygons);
    // Every unit of the area around the picture, reached by the expansion, once where it is
    // copper and nowhere else.
    const int margin = std::abs(expansion) + 2;
    const QPoint from(-margin, -margin);
    const QSize size(edge(bw.width(), pitch) + 2 * margin, edge(bw.height(), pitch) + 2 * margin);
    const std::vector<int> count = coverage(traced, from, size);
    for (int row = 0; row < size.height(); ++row)
        for (int x = 0; x < size.width(); ++x) {
            const double ux = from.x() + x + 0.5, uy = from.y() + row + 0.5;
            const int want = copperAt(bw, pitch, expansion, ux, uy) ? 1 : 0;
            const int got = count[size_t(row) * size.width() + x];
            if (got != want)
                QFAIL(qPrintable(QStringLiteral("at %1,%2 (pixel %3,%4): covered %5 times, "
                                                "should be %6")
                                         .arg(ux)
                                         .arg(uy)
                                         .arg(std::floor(ux / pitch))
                                         .arg(std::floor(uy / pitch))
                                         .arg(got)
                                         .arg(want)));
        }
}

QTEST_GUILESS_MAIN(TestOutlines)
#include "tst_outlines.moc"
