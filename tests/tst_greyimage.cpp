// Tests of the grey conversion: the formula, and every pixel format a reader may hand over.
#include "image/greyimage.h"

#include <QTest>

class TestGreyImage : public QObject
{
    Q_OBJECT

private slots:
    void formula_data();
    void formula();
    void paletteIndexBeyondTable();
    void nullStaysNull();
    void packedFormulaEverywhere();
};

void TestGreyImage::packedFormulaEverywhere()
{
    // The packed arithmetic of the fast loop against the plain formula, for every colour.
    for (quint32 rgb = 0; rgb < (1u << 24); ++rgb) {
        if (kcore::greyOfPacked(rgb) != quint32(kcore::greyOf(rgb)))
            QFAIL(qPrintable(QString::number(rgb, 16)));
    }
}

void TestGreyImage::formula_data()
{
    QTest::addColumn<QRgb>("colour");
    QTest::addColumn<int>("grey");
    QTest::newRow("red") << qRgb(255, 0, 0) << 87;
    QTest::newRow("green") << qRgb(0, 255, 0) << 127;
    QTest::newRow("blue") << qRgb(0, 0, 255) << 39;
    QTest::newRow("mid grey") << qRgb(128, 128, 128) << 128;
    QTest::newRow("white") << qRgb(255, 255, 255) << 255;
    QTest::newRow("black") << qRgb(0, 0, 0) << 0;
    // Transparency is laid over white paper.
    QTest::newRow("transparent white") << qRgba(255, 255, 255, 0) << 255;
    QTest::newRow("transparent black is paper") << qRgba(0, 0, 0, 0) << 255;
    QTest::newRow("half-transparent black") << qRgba(0, 0, 0, 128) << 127;
    QTest::newRow("half-transparent red") << qRgba(255, 0, 0, 128) << 171;
    QTest::newRow("nearly opaque black") << qRgba(0, 0, 0, 254) << 1;
}

void TestGreyImage::formula()
{
    QFETCH(QRgb, colour);
    QFETCH(int, grey);
    QImage one(1, 1, QImage::Format_ARGB32);
    one.setPixel(0, 0, colour);
    const QImage g = kcore::makeGrey(one);
    QCOMPARE(g.format(), QImage::Format_RGB32);
    QCOMPARE(g.pixel(0, 0), 0xff000000u + uint(grey) * 0x010101u);
}

void TestGreyImage::paletteIndexBeyondTable()
{
    // Indices 3 and 200 have no colour. Qt's own conversion makes them black; pixel() gives
    // transparent black there, which laid over white paper would be white.
    QImage img(4, 1, QImage::Format_Indexed8);
    img.setColorTable({qRgb(255, 255, 255), qRgb(255, 0, 0)});
    img.scanLine(0)[0] = 0;
    img.scanLine(0)[1] = 1;
    img.scanLine(0)[2] = 3;
    img.scanLine(0)[3] = 200;
    const QImage g = kcore::makeGrey(img);
    const QImage qt = img.convertToFormat(QImage::Format_RGB32);
    for (int x = 0; x < img.width(); ++x)
        QCOMPARE(g.pixel(x, 0), kcore::greyPixel(kcore::greyOf(qt.pixel(x, 0))));
}

void TestGreyImage::nullStaysNull()
{
    QVERIFY(kcore::makeGrey(QImage()).isNull());
}

QTEST_GUILESS_MAIN(TestGreyImage)
#include "tst_greyimage.moc"
