// Tests of the PADS writer: exact bytes, rounding, wide numbers, refusal and write failures.
#include "export/padswriter.h"
#include "literal.h"
#include "testsupport.h"

#include <QBuffer>
#include <QTest>

using testsupport::bwFromRows;

namespace {

const QByteArray head = "!PADS-POWERPCB-V2.0-MILS! DESIGN DATABASE ASCII FILE 1.0\r\n"
                        "*LINES* LINES ITEMS\r\n\r\n";

QByteArray write(const QImage &bw, double pitch, int layer, kcore::PadsResult *result = nullptr)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    const kcore::PadsResult r = kcore::writePads(bw, pitch, layer, &buffer);
    if (result)
        *result = r;
    return buffer.data();
}

// Accepts the first limit bytes, then fails like a full disk.
class FullDisk : public QIODevice
{
public:
    explicit FullDisk(qint64 limit) : m_limit(limit) { open(WriteOnly); }
    qint64 written = 0;

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64 len) override
    {
        if (written + len > m_limit) {
            setErrorString(QStringLiteral("No space left on device"));
            return -1;
        }
        written += len;
        return len;
    }

private:
    qint64 m_limit;
};

} // namespace

class TestPadsWriter : public QObject
{
    Q_OBJECT

private slots:
    void workedExample();
    void items_data();
    void items();
    void itemNames_data();
    void itemNames();
    void wideImageWithoutTables();
    void rounding_data();
    void rounding();
    void hugePitchIsRefused_data();
    void hugePitchIsRefused();
    void writeFailureIsReported();
    void matchesLiteral_data();
    void matchesLiteral();
};

void TestPadsWriter::workedExample()
{
    const QImage bw = bwFromRows({"##.#", ".###"});
    kcore::PadsResult r;
    const QByteArray file = write(bw, 10.0, 19, &r);
    const QByteArray expected = head
            + "IMG00000000  LINES     0    20 1\r\nOPEN 2 10 19\r\n0 0\r\n20 0\r\n"
              "IMG00000001  LINES    30    20 1\r\nOPEN 2 10 19\r\n0 0\r\n10 0\r\n"
              "IMG00000002  LINES    10    10 1\r\nOPEN 2 10 19\r\n0 0\r\n30 0\r\n"
              "*END*\r\n";
    QCOMPARE(file, expected);
    QCOMPARE(file.size(), 265);
    QCOMPARE(r.status, kcore::PadsResult::Ok);
    QCOMPARE(r.items, 3);
}

void TestPadsWriter::items_data()
{
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<double>("pitch");
    QTest::addColumn<int>("layer");
    QTest::addColumn<QByteArray>("body"); // everything between the header and *END*

    QTest::newRow("no picture") << QStringList() << 10.0 << 19 << QByteArray();
    QTest::newRow("nothing set") << QStringList{"....", "...."} << 10.0 << 19 << QByteArray();
    QTest::newRow("0.2 mm")
            << QStringList{"##.#", ".###"} << 7.874015748031496 << 19
            << QByteArray("IMG00000000  LINES     0    16 1\r\nOPEN 2 8 19\r\n0 0\r\n16 0\r\n"
                          "IMG00000001  LINES    24    16 1\r\nOPEN 2 8 19\r\n0 0\r\n8 0\r\n"
                          "IMG00000002  LINES     8     8 1\r\nOPEN 2 8 19\r\n0 0\r\n24 0\r\n");
    QTest::newRow("full row, single pixel")
            << QStringList{"#####", "..#.."} << 10.0 << 0
            << QByteArray("IMG00000000  LINES     0    20 1\r\nOPEN 2 10 0\r\n0 0\r\n50 0\r\n"
                          "IMG00000001  LINES    20    10 1\r\nOPEN 2 10 0\r\n0 0\r\n10 0\r\n");
    QTest::newRow("zero pitch writes zeros")
            << QStringList{"#.#"} << 0.0 << 250
            << QByteArray("IMG00000000  LINES     0     0 1\r\nOPEN 2 0 250\r\n0 0\r\n0 0\r\n"
                          "IMG00000001  LINES     0     0 1\r\nOPEN 2 0 250\r\n0 0\r\n0 0\r\n");
    QTest::newRow("negative pitch")
            << QStringList{"...#"} << -10.0 << 19
            << QByteArray("IMG00000000  LINES   -29    -9 1\r\nOPEN 2 -10 19\r\n0 0\r\n-9 0\r\n");
    QTest::newRow("six-digit coordinates widen the field")
            << QStringList{"#..#"} << 41152.0 << 1
            << QByteArray("IMG00000000  LINES     0 41152 1\r\nOPEN 2 41152 1\r\n0 0\r\n"
                          "41152 0\r\n"
                          "IMG00000001  LINES 123456 41152 1\r\nOPEN 2 41152 1\r\n0 0\r\n"
                          "41152 0\r\n");
}

void TestPadsWriter::items()
{
    QFETCH(QStringList, rows);
    QFETCH(double, pitch);
    QFETCH(int, layer);
    QFETCH(QByteArray, body);
    const QImage bw = rows.isEmpty() ? QImage() : bwFromRows(rows);
    QCOMPARE(write(bw, pitch, layer), head + body + "*END*\r\n");
}

void TestPadsWriter::itemNames_data()
{
    QTest::addColumn<qint64>("first");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("from zero") << qint64(0)
                               << QStringList{"IMG00000000  LINES ", "IMG00000001  LINES "};
    QTest::newRow("item 7") << qint64(7)
                            << QStringList{"IMG00000007  LINES ", "IMG00000008  LINES "};
    QTest::newRow("carry") << qint64(1999)
                           << QStringList{"IMG00001999  LINES ", "IMG00002000  LINES "};
    QTest::newRow("ninth digit") << qint64(99999998)
                                 << QStringList{"IMG99999998  LINES ", "IMG99999999  LINES ",
                                                "IMG100000000  LINES ", "IMG100000001  LINES "};
    QTest::newRow("tenth digit") << qint64(999999999)
                                 << QStringList{"IMG999999999  LINES ", "IMG1000000000  LINES "};
}

void TestPadsWriter::itemNames()
{
    QFETCH(qint64, first);
    QFETCH(QStringList, names);
    kcore::ItemPrefix prefix(first);
    for (const QString &name : names) {
        QCOMPARE(QByteArray(prefix.data(), prefix.size()), name.toLatin1());
        prefix.next();
    }
}

void TestPadsWriter::wideImageWithoutTables()
{
    // Wider than the writer keeps number tables for: the numbers are formatted one by one.
    QImage bw(70001, 2, QImage::Format_RGB32);
    bw.fill(0xff000000u);
    for (int x : {0, 1, 2, 500, 69999, 70000})
        bw.setPixel(x, 0, 0xffffffffu);
    bw.setPixel(65537, 1, 0xffffffffu);
    const QByteArray file = write(bw, 3.3, 7);
    QCOMPARE(file, literal::padsBytes(bw, 3.3, 7));
    QVERIFY(file.contains("LINES 216272     3 1\r\n"));
}

void TestPadsWriter::rounding_data()
{
    QTest::addColumn<qint64>("k");
    QTest::addColumn<double>("pitch");
    QTest::addColumn<int>("mils");
    QTest::newRow("zero") << qint64(0) << 7.9 << 0;
    QTest::newRow("half rounds up") << qint64(1) << 2.5 << 3;
    QTest::newRow("below half") << qint64(3) << 7.874015748031496 << 24;
    QTest::newRow("negative pitch toward plus") << qint64(3) << -10.0 << -29;
    QTest::newRow("zero, negative pitch") << qint64(0) << -10.0 << 0;
}

void TestPadsWriter::rounding()
{
    QFETCH(qint64, k);
    QFETCH(double, pitch);
    QFETCH(int, mils);
    QCOMPARE(kcore::roundMils(k, pitch), mils);
}

void TestPadsWriter::hugePitchIsRefused_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<double>("pitch");
    QTest::addColumn<bool>("fits");
    QTest::newRow("just fits") << QSize(2, 1) << 1073741823.0 << true;
    QTest::newRow("width too far") << QSize(3, 1) << 1073741823.0 << false;
    QTest::newRow("height too far") << QSize(1, 3) << 1073741823.0 << false;
    QTest::newRow("negative too far") << QSize(3, 1) << -1073741823.0 << false;
    QTest::newRow("pitch alone too large") << QSize(1, 1) << 3e9 << false;
    QTest::newRow("not a number") << QSize(1, 1) << qQNaN() << false;
    QTest::newRow("infinite") << QSize(1, 1) << qInf() << false;
}

void TestPadsWriter::hugePitchIsRefused()
{
    QFETCH(QSize, size);
    QFETCH(double, pitch);
    QFETCH(bool, fits);
    QCOMPARE(kcore::padsFits(size, pitch), fits);
    QImage bw(size, QImage::Format_RGB32);
    bw.fill(0xffffffffu);
    kcore::PadsResult r;
    const QByteArray file = write(bw, pitch, 19, &r);
    if (fits) {
        QCOMPARE(r.status, kcore::PadsResult::Ok);
        QVERIFY(file.contains("\r\n2147483646 0\r\n"));
    } else {
        QCOMPARE(r.status, kcore::PadsResult::PitchTooLarge);
        QCOMPARE(file, QByteArray());
    }
}

void TestPadsWriter::writeFailureIsReported()
{
    // Enough items to need several chunks; the disk fills up after the first.
    QImage bw(2000, 1000, QImage::Format_RGB32);
    for (int y = 0; y < bw.height(); ++y)
        for (int x = 0; x < bw.width(); ++x)
            bw.setPixel(x, y, (x + y) % 2 ? 0xffffffffu : 0xff000000u);
    FullDisk disk(3 << 20);
    const kcore::PadsResult r = kcore::writePads(bw, 2.0, 19, &disk);
    QCOMPARE(r.status, kcore::PadsResult::WriteFailed);
    QCOMPARE(r.error, QStringLiteral("No space left on device"));
    QVERIFY(disk.written <= 3 << 20);
}

void TestPadsWriter::matchesLiteral_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<double>("pitch");
    QTest::addColumn<int>("density"); // percent of white pixels
    QTest::newRow("checker-like, 2 mils") << QSize(301, 97) << 2.0 << 50;
    QTest::newRow("sparse, 0.2 mm") << QSize(1000, 40) << 7.874015748031496 << 5;
    QTest::newRow("dense, odd pitch") << QSize(64, 300) << 3.3333 << 95;
    QTest::newRow("1 x N") << QSize(1, 500) << 10.0 << 50;
    QTest::newRow("N x 1") << QSize(5000, 1) << 1.5 << 50;
    QTest::newRow("tiny pitch") << QSize(200, 200) << 0.01 << 50;
}

void TestPadsWriter::matchesLiteral()
{
    QFETCH(QSize, size);
    QFETCH(double, pitch);
    QFETCH(int, density);
    QRandomGenerator rng(uint(size.width() * 31 + size.height()));
    QImage bw(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            bw.setPixel(x, y, int(rng.bounded(100)) < density ? 0xffffffffu : 0xff000000u);
    const QByteArray fast = write(bw, pitch, 26);
    QVERIFY(fast == literal::padsBytes(bw, pitch, 26));
}

QTEST_GUILESS_MAIN(TestPadsWriter)
#include "tst_padswriter.moc"
