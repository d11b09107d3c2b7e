// Tests of the black-and-white image: the threshold table, scaled sizes, the size bound, and
// the builder that reuses its scaled grey image.
#include "board/lineitems.h"
#include "image/bwimage.h"
#include "image/edgegrey.h"
#include "image/greyimage.h"
#include "image/picturestream.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <QTest>

#include <cstring>

namespace {

QImage greyRamp(int w, int h)
{
    QImage g(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            g.setPixel(x, y, kcore::greyPixel((x + y * w) % 256));
    return g;
}

int countWhite(const QImage &bw)
{
    int n = 0;
    for (int y = 0; y < bw.height(); ++y)
        for (int x = 0; x < bw.width(); ++x) {
            const QRgb p = bw.pixel(x, y);
            if (p == 0xffffffffu)
                ++n;
            else if (p != 0xff000000u)
                return -1;
        }
    return n;
}

} // namespace

class TestBwImage : public QObject
{
    Q_OBJECT

private slots:
    void threshold_data();
    void threshold();
    void scaledSize_data();
    void scaledSize();
    void rowsMatchScaledImage_data();
    void rowsMatchScaledImage();
    void builderFollowsItsInputs();
    void builderRefusesBeyondLimit();
    void largestScale();
};

void TestBwImage::threshold_data()
{
    QTest::addColumn<int>("grey");
    QTest::addColumn<int>("threshold");
    QTest::addColumn<bool>("invert");
    QTest::addColumn<bool>("white");
    QTest::newRow("above") << 129 << 128 << false << true;
    QTest::newRow("equal is black") << 128 << 128 << false << false;
    QTest::newRow("equal inverted is white") << 128 << 128 << true << true;
    QTest::newRow("above inverted") << 200 << 128 << true << false;
    QTest::newRow("threshold 255, white") << 255 << 255 << false << false;
    QTest::newRow("threshold 255, white, inverted") << 255 << 255 << true << true;
    QTest::newRow("threshold 0, grey 0") << 0 << 0 << false << false;
    QTest::newRow("threshold 0, grey 1") << 1 << 0 << false << true;
}

void TestBwImage::threshold()
{
    QFETCH(int, grey);
    QFETCH(int, threshold);
    QFETCH(bool, invert);
    QFETCH(bool, white);
    QImage g(3, 2, QImage::Format_RGB32);
    g.fill(kcore::greyPixel(grey));
    const QImage bw = kcore::makeBw(g, threshold, invert, 100);
    QCOMPARE(bw.format(), QImage::Format_RGB32);
    QCOMPARE(bw.size(), QSize(3, 2));
    QCOMPARE(countWhite(bw), white ? 6 : 0);
}

void TestBwImage::scaledSize_data()
{
    QTest::addColumn<QSize>("grey");
    QTest::addColumn<int>("scale");
    QTest::addColumn<QSize>("bw");
    QTest::newRow("100 %") << QSize(37, 11) << 100 << QSize(37, 11);
    QTest::newRow("57 % of 100") << QSize(100, 100) << 57 << QSize(56, 56);
    QTest::newRow("29 % of 100") << QSize(100, 100) << 29 << QSize(28, 28);
    QTest::newRow("500 %") << QSize(7, 3) << 500 << QSize(35, 15);
    QTest::newRow("1 % of 50 is empty") << QSize(50, 400) << 1 << QSize();
    QTest::newRow("50 % of 200x100") << QSize(200, 100) << 50 << QSize(100, 50);
    QTest::newRow("1 x N") << QSize(1, 300) << 300 << QSize(3, 900);
}

void TestBwImage::scaledSize()
{
    QFETCH(QSize, grey);
    QFETCH(int, scale);
    QFETCH(QSize, bw);
    const QImage img = kcore::makeBw(greyRamp(grey.width(), grey.height()), 100, false, scale);
    if (bw.isValid()) {
        QCOMPARE(img.size(), bw);
    } else {
        QVERIFY(img.isNull());
    }
}

void TestBwImage::rowsMatchScaledImage_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("scale");
    QTest::addColumn<QString>("file"); // empty: the picture held; else read row by row from it
    // Larger than the differential test's pictures, where rounding in Qt's sampling could drift.
    for (const QSize size : {QSize(4001, 3), QSize(3, 3999), QSize(997, 1003)})
        for (int scale : {1, 7, 33, 57, 99, 100, 101, 150, 333, 500})
            QTest::addRow("%dx%d at %d %%", size.width(), size.height(), scale)
                    << size << scale << QString();
    // Bitmaps are read bottom-up, from the end of the file; PNG from its start (where this build
    // reads PNG a row at a time: Windows reads it whole).
    QStringList files = {QStringLiteral("bmp")};
#ifdef KESTREL_ROW_DECODERS
    files << QStringLiteral("png");
#endif
    for (const QString &file : files)
        for (int scale : {7, 57, 100, 101, 333})
            QTest::newRow(qPrintable(
                    QStringLiteral("997x1003 at %1 %, %2 read row by row").arg(scale).arg(file)))
                    << QSize(997, 1003) << scale << file;
}

void TestBwImage::rowsMatchScaledImage()
{
    // The converter's row-at-a-time pipeline picks the rows and columns QImage::scaled() picks,
    // and its edge levels, from a row or two of grey, are the window's from the whole image.
    QFETCH(QSize, size);
    QFETCH(int, scale);
    QFETCH(QString, file);
    QImage colour(size, QImage::Format_RGB32);
    QRandomGenerator rng(uint(size.width() + scale));
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            colour.setPixel(x, y, rng.generate() | 0xff000000u);
    const QImage grey = kcore::makeGrey(colour);
    const QImage whole = kcore::makeBw(grey, 128, false, scale);
    const QImage levels = kcore::edgeGrey(grey, whole.size());
    QCOMPARE(levels.size(), whole.size());
    const int step = levels.depth() / 8;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("picture.") + file);
    QVERIFY(file.isEmpty() || colour.save(path));
    const std::unique_ptr<kcore::BwRows> stream
            = file.isEmpty()
            ? std::make_unique<kcore::BwRows>(colour, 128, false, scale)
            : std::make_unique<kcore::BwRows>(kcore::pictureRows({path, {}}), 128, false, scale);
    kcore::BwRows &rows = *stream;
    QCOMPARE(rows.size(), whole.size());
    for (int y = 0; y < whole.height(); ++y) {
        if (std::memcmp(rows.row(y), whole.constScanLine(y), size_t(whole.width()) * 4) != 0)
            QFAIL(qPrintable(QStringLiteral("row %1 differs").arg(y)));
        const kcore::GreyLevels row = rows.edgeLevels(y);
        const uchar *expected = step == 4 ? kcore::EdgeRow::lowBytes(
                                        reinterpret_cast<const quint32 *>(levels.constScanLine(y)))
                                          : levels.constScanLine(y);
        for (int x = 0; x < whole.width(); ++x) {
            if (row.levels[x * row.step] != expected[x * step])
                QFAIL(qPrintable(QStringLiteral("edge level %1 of row %2 differs").arg(x).arg(y)));
        }
    }
}

void TestBwImage::builderFollowsItsInputs()
{
    kcore::BwBuilder builder;
    QImage bw;
    QImage g = greyRamp(40, 30);
    QVERIFY(builder.build(g, 100, false, 50, bw));
    QCOMPARE(bw, kcore::makeBw(g, 100, false, 50));
    // Threshold and invert only: same scaled grey, new clip.
    QVERIFY(builder.build(g, 30, true, 50, bw));
    QCOMPARE(bw, kcore::makeBw(g, 30, true, 50));
    // Invert off and on again gives the inverted image again, not a stale one.
    QVERIFY(builder.build(g, 30, false, 50, bw));
    QVERIFY(builder.build(g, 30, true, 50, bw));
    QCOMPARE(bw, kcore::makeBw(g, 30, true, 50));
    // A new grey image of the same size must not reuse the old scaled one.
    QImage other(40, 30, QImage::Format_RGB32);
    other.fill(kcore::greyPixel(255));
    QVERIFY(builder.build(other, 30, false, 50, bw));
    QCOMPARE(countWhite(bw), 20 * 15);
    // A scale change rescales.
    QVERIFY(builder.build(other, 30, false, 200, bw));
    QCOMPARE(bw.size(), QSize(80, 60));
    // No picture: no image.
    QVERIFY(builder.build(QImage(), 30, false, 200, bw));
    QVERIFY(bw.isNull());
}

void TestBwImage::builderRefusesBeyondLimit()
{
    // 500 % of 4000 x 4000 is 20000 x 20000: beyond the bound, and nothing may be allocated.
    QImage big(4000, 4000, QImage::Format_RGB32);
    big.fill(kcore::greyPixel(200));
    kcore::BwBuilder builder;
    QImage bw = greyRamp(3, 3);
    const QImage before = bw;
    QVERIFY(!builder.build(big, 128, false, 500, bw));
    QCOMPARE(bw, before);
    QVERIFY(!kcore::scaleWithinLimit(big.size(), 500));
    QVERIFY(kcore::scaleWithinLimit(big.size(), 409));
}

void TestBwImage::largestScale()
{
    QCOMPARE(kcore::largestScaleWithinLimit(QSize(4000, 4000), 500), 409);
    QCOMPARE(kcore::largestScaleWithinLimit(QSize(100, 100), 500), 500);
    QCOMPARE(kcore::largestScaleWithinLimit(QSize(16384, 16384), 500), 100);
}

QTEST_GUILESS_MAIN(TestBwImage)
#include "tst_bwimage.moc"
