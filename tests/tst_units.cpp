// Tests of the line-width arithmetic: what counts as a number, unit conversion, size texts.
#include "geometry/units.h"

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
};

void TestUnits::pitch_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("unit");
    QTest::addColumn<bool>("isNumber");
    QTest::addColumn<double>("pitch");
    QTest::newRow("2 mils") << "2" << 0 << true << 2.0;
    QTest::newRow("padded mils text") << "   2.0" << 0 << true << 2.0;
    QTest::newRow("0.2 mm") << "0.2" << 1 << true << 0.2 * 39.37007874015748;
    QTest::newRow("1 inch") << "1" << 2 << true << 1000.0;
    QTest::newRow("zero") << "0" << 0 << true << 0.0;
    QTest::newRow("negative") << "-10" << 0 << true << -10.0;
    QTest::newRow("exponent") << "1e1" << 0 << true << 10.0;
    QTest::newRow("letters") << "abc" << 0 << false << 0.0;
    QTest::newRow("empty") << "" << 1 << false << 0.0;
    QTest::newRow("comma decimal") << "0,2" << 1 << false << 0.0;
    QTest::newRow("nan") << "nan" << 0 << false << 0.0;
    QTest::newRow("inf") << "inf" << 0 << false << 0.0;
    QTest::newRow("-inf") << "-inf" << 1 << false << 0.0;
    QTest::newRow("overflow") << "1e999" << 0 << false << 0.0;
}

void TestUnits::pitch()
{
    QFETCH(QString, text);
    QFETCH(int, unit);
    QFETCH(bool, isNumber);
    QFETCH(double, pitch);
    bool ok = !isNumber;
    const double p = kcore::linePitch(text, unit, &ok);
    QCOMPARE(ok, isNumber);
    QCOMPARE(p, pitch);
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
    QTest::newRow("100x50 at 10 mils")
            << QSize(100, 50) << 10.0
            << QStringList{"25.4x12.7 mm", "1000x 500 mils", "1.000x0.500 \""};
    QTest::newRow("no picture") << QSize(0, 0) << 2.0
                                << QStringList{" 0.0x 0.0 mm", "   0x   0 mils", "0.000x0.000 \""};
    QTest::newRow("zero pitch") << QSize(10, 10) << 0.0 << QStringList{"---", "---", "---"};
}

void TestUnits::sizeTexts()
{
    QFETCH(QSize, bw);
    QFETCH(double, pitch);
    QFETCH(QStringList, texts);
    const kcore::SizeTexts t = kcore::actualSizeTexts(bw, kcore::PadsSettings{pitch});
    QCOMPARE(t.mm, texts[0]);
    QCOMPARE(t.mils, texts[1]);
    QCOMPARE(t.inch, texts[2]);
}

QTEST_GUILESS_MAIN(TestUnits)
#include "tst_units.moc"
