// Tests of the line-width arithmetic: what counts as a number, unit conversion, size texts.
#include "core/fit.h"
#include "geometry/linegeometry.h"
#include "geometry/units.h"

#include <QImage>
#include <QTest>

class TestUnits : public QObject
{
    Q_OBJECT

private slots:
    void pitch_data();
    void pitch();
    void conversionChain_data();
    void conversionChain();
    void sizeTexts_data();
    void sizeTexts();
    void fitToSize_data();
    void fitToSize();
};

void TestUnits::pitch_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("unit");
    QTest::addColumn<bool>("isNumber");
    QTest::addColumn<double>("pitch");
    QTest::addColumn<QString>("problem"); // what lineWidthProblem() says, in part; empty: none
    QTest::newRow("2 mils") << "2" << 0 << true << 2.0 << "";
    QTest::newRow("padded mils text") << "   2.0" << 0 << true << 2.0 << "";
    QTest::newRow("0.2 mm") << "0.2" << 1 << true << 0.2 * 39.37007874015748 << "";
    QTest::newRow("1 inch") << "1" << 2 << true << 1000.0 << "";
    QTest::newRow("zero") << "0" << 0 << true << 0.0 << "greater than 0";
    QTest::newRow("negative") << "-10" << 0 << true << -10.0 << "greater than 0";
    QTest::newRow("exponent") << "1e1" << 0 << true << 10.0 << "";
    QTest::newRow("letters") << "abc" << 0 << false << 0.0 << "not a number";
    QTest::newRow("empty") << "" << 1 << false << 0.0 << "not a number";
    QTest::newRow("comma decimal") << "0,2" << 1 << false << 0.0 << "not a number";
    QTest::newRow("nan") << "nan" << 0 << false << 0.0 << "not a number";
    QTest::newRow("inf") << "inf" << 0 << false << 0.0 << "not a number";
    QTest::newRow("-inf") << "-inf" << 1 << false << 0.0 << "not a number";
    // Just below the smallest width a file can carry.
    QTest::newRow("just below 1 mil") << "0.999" << 0 << true << 0.999 << "below 1 mil";
    QTest::newRow("overflow") << "1e999" << 0 << false << 0.0 << "not a number";
}

void TestUnits::pitch()
{
    QFETCH(QString, text);
    QFETCH(int, unit);
    QFETCH(bool, isNumber);
    QFETCH(double, pitch);
    QFETCH(QString, problem);
    bool ok = !isNumber;
    const double p = kcore::linePitch(text, unit, &ok);
    QCOMPARE(ok, isNumber);
    QCOMPARE(p, pitch);
    const QString said = kcore::lineWidthProblem(text, unit);
    QVERIFY2(problem.isEmpty() ? said.isEmpty() : said.contains(problem), qPrintable(said));
}

void TestUnits::conversionChain_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QList<int>>("units");
    QTest::addColumn<QStringList>("texts");
    QTest::newRow("mils -> mm -> inch -> mils")
            << "2" << QList<int>{0, 1, 2, 0} << QStringList{"0.0508", "0.0020", "   2.0"};
    QTest::newRow("0.1 mm -> mils -> mm")
            << "0.1" << QList<int>{1, 0, 1} << QStringList{"   3.9", "0.0991"};
    QTest::newRow("same unit keeps the value") << "2" << QList<int>{0, 0} << QStringList{"   2.0"};
    QTest::newRow("inch -> mm") << "1" << QList<int>{2, 1} << QStringList{"25.4000"};
    QTest::newRow("negative") << "-2" << QList<int>{0, 1} << QStringList{"-0.0508"};
}

void TestUnits::conversionChain()
{
    QFETCH(QString, start);
    QFETCH(QList<int>, units);
    QFETCH(QStringList, texts);
    QString text = start;
    for (int i = 1; i < units.size(); ++i) {
        double v = 0;
        QVERIFY(kcore::parseLineWidth(text, &v));
        text = kcore::convertLineWidth(v, units[i - 1], units[i]);
        QCOMPARE(text, texts[i - 1]);
    }
}

void TestUnits::sizeTexts_data()
{
    QTest::addColumn<QSize>("bw");
    QTest::addColumn<double>("pitch");
    QTest::addColumn<QStringList>("texts"); // mm, mils, inch
    QTest::addColumn<bool>("exactEnds");
    QTest::newRow("100x50 at 10 mils")
            << QSize(100, 50) << 10.0
            << QStringList{"25.4x12.7 mm", "1000x 500 mils", "1.000x0.500 \""} << false;
    QTest::newRow("no picture") << QSize(0, 0) << 2.0
                                << QStringList{" 0.0x 0.0 mm", "   0x   0 mils", "0.000x0.000 \""}
                                << false;
    QTest::newRow("zero pitch") << QSize(10, 10) << 0.0 << QStringList{"---", "---", "---"}
                                << false;
    // The extent is the pixels' edges, wherever the items' ends lie within them.
    QTest::newRow("80x40 at 1 mil, exact ends")
            << QSize(80, 40) << 1.0
            << QStringList{" 2.0x 1.0 mm", "  80x  40 mils", "0.080x0.040 \""} << true;
}

void TestUnits::sizeTexts()
{
    QFETCH(QSize, bw);
    QFETCH(double, pitch);
    QFETCH(QStringList, texts);
    QFETCH(bool, exactEnds);
    const kcore::SizeTexts t
            = kcore::actualSizeTexts(bw, kcore::PadsSettings{pitch, 19, exactEnds});
    QCOMPARE(t.mm, texts[0]);
    QCOMPARE(t.mils, texts[1]);
    QCOMPARE(t.inch, texts[2]);
}

void TestUnits::fitToSize_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QString>("width"); // the line width, in unit
    QTest::addColumn<int>("unit");
    QTest::addColumn<bool>("v94");
    QTest::addColumn<double>("target"); // in unit
    QTest::addColumn<bool>("height");
    QTest::addColumn<bool>("reachable");
    QTest::newRow("logo to 12 mm wide, 0.2 mm")
            << QSize(64, 20) << "0.2" << 1 << false << 12.0 << false << true;
    QTest::newRow("logo to 12 mm wide, 0.2 mm, 9.4")
            << QSize(64, 20) << "0.2" << 1 << true << 12.0 << false << true;
    QTest::newRow("tall picture to 0.5 inch high")
            << QSize(7, 61) << "0.003" << 2 << false << 0.5 << true << true;
    QTest::newRow("odd sizes to 133 mils wide, 2.36 mil")
            << QSize(23, 13) << "2.36" << 0 << false << 133.0 << false << true;
    // 97 pixels of 0.1 mm are 9.7 mm, though the doubles differ in their last bit.
    QTest::newRow("exactly what 100 % gives, 0.1 mm, 9.4")
            << QSize(97, 10) << "0.1" << 1 << true << 9.7 << false << true;
    QTest::newRow("exactly what 50 % gives")
            << QSize(100, 10) << "2" << 0 << false << 100.0 << false << true;
    QTest::newRow("wider than 500 % gives")
            << QSize(10, 10) << "2" << 0 << false << 101.0 << false << false;
    QTest::newRow("narrower than any pixel")
            << QSize(10, 10) << "2" << 0 << false << 1.9 << false << false;
}

void TestUnits::fitToSize()
{
    QFETCH(QSize, picture);
    QFETCH(QString, width);
    QFETCH(int, unit);
    QFETCH(bool, v94);
    QFETCH(double, target);
    QFETCH(bool, height);
    QFETCH(bool, reachable);
    kcore::PadsSettings pads;
    pads.pitch = kcore::linePitch(width, unit);
    pads.format = v94 ? kcore::PadsFormat::V94 : kcore::PadsFormat::V20;
    pads.metric = unit == kcore::UnitMillimetres;
    const double targetMils = target * kcore::mils_per_unit[unit];
    // Every scale, by scaling a real image as the window does and reading its size back.
    const QImage source(picture, QImage::Format_Grayscale8);
    const auto extent = [&](int scale) {
        const QSize request(int(picture.width() * (scale / 100.0)),
                            int(picture.height() * (scale / 100.0)));
        if (request.isEmpty())
            return -1.0;
        const QSize bw = source.scaled(request, Qt::KeepAspectRatio).size();
        const kcore::LineGeometry g(pads);
        return height ? g.mils(g.y(0, bw.height())) : g.mils(g.x(bw.width()));
    };
    double best = -1, smallest = -1;
    for (int scale = 1; scale <= 500; ++scale) {
        const double e = extent(scale);
        if (e >= 0 && smallest < 0)
            smallest = e;
        if (e >= 0 && e <= targetMils + 1e-9 && e > best)
            best = e;
    }
    const kcore::FitResult fit = kcore::fitScale(picture, pads, targetMils, height);
    QCOMPARE(fit.ok, reachable);
    QCOMPARE(fit.mils, extent(fit.scale));
    if (reachable)
        QCOMPARE(fit.mils, best);
    else
        QCOMPARE(fit.mils, best < 0 ? smallest : extent(500));
}

QTEST_GUILESS_MAIN(TestUnits)
#include "tst_units.moc"
