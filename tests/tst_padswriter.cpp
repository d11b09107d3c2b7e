// Tests of the PADS writer: exact bytes, rounding, wide numbers, refusal and write failures.
#include "board/boardimage.h"
#include "board/spacecheck.h"
#include "export/itemtext.h"
#include "export/polygonwriter.h"
#include "geometry/layers.h"
#include "export/artworkwriter.h"
#include "export/savefile.h"
#include "image/bwimage.h"
#include "literal.h"
#include "testsupport.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using testsupport::bwFromRows;

namespace {

const QByteArray head = "!PADS-POWERPCB-V2.0-MILS! DESIGN DATABASE ASCII FILE 1.0\r\n"
                        "*LINES* LINES ITEMS\r\n\r\n";

QByteArray write(const QImage &bw, double pitch, int layer, kcore::WriteResult *result = nullptr,
                 bool exactEnds = false)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    const kcore::WriteResult r
            = kcore::writeArtwork(bw, kcore::PadsSettings{pitch, layer, exactEnds}, &buffer);
    if (result)
        *result = r;
    return buffer.data();
}

// Accepts the first limit bytes, then fails like a full disk; counts the writes it is asked for.
class FullDisk : public QIODevice
{
public:
    explicit FullDisk(qint64 limit) : m_limit(limit) { open(WriteOnly); }
    int writes = 0;

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64 len) override
    {
        ++writes;
        if (m_written + len > m_limit) {
            setErrorString(QStringLiteral("No space left on device"));
            return -1;
        }
        m_written += len;
        return len;
    }

private:
    qint64 m_limit;
    qint64 m_written = 0;
};

// The Y of every item and the width of the first, read back from a file.
QList<int> itemRowsOf(const QByteArray &file, int *width)
{
    QList<int> ys;
    const QList<QByteArray> lines = file.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QList<QByteArray> f = lines[i].simplified().split(' ');
        if (f.size() == 5 && f[1] == "LINES")
            ys.append(f[3].toInt());
        else if (f.size() == 4 && f[0] == "OPEN")
            *width = f[2].toInt();
    }
    return ys;
}

// The copper's share of the rectangle around it by brute force: the centres of a fine grid of
// cells counted inside any item's stroke.
double sampledCoverage(const QImage &bw, const kcore::PadsSettings &settings)
{
    const kcore::LineGeometry g(settings);
    struct Stroke
    {
        double x0, x1, y;
    };
    QList<Stroke> strokes;
    for (int row = 0; row < bw.height(); ++row)
        kcore::forEachItem(
                g, reinterpret_cast<const quint32 *>(bw.constScanLine(row)), 0, bw.width(), nullptr,
                [&](int, int, qint64 x, qint64 length) {
                    strokes.append({g.mils(x), g.mils(x + length), g.mils(g.y(row, bw.height()))});
                });
    const double r = g.mils(g.width()) / 2;
    QRectF bounds;
    for (const Stroke &s : strokes)
        bounds |= QRectF(QPointF(s.x0 - r, s.y - r), QPointF(s.x1 + r, s.y + r));
    const int n = 600;
    qint64 inside = 0;
    for (int j = 0; j < n; ++j) {
        const double y = bounds.top() + (j + 0.5) * bounds.height() / n;
        for (int i = 0; i < n; ++i) {
            const double x = bounds.left() + (i + 0.5) * bounds.width() / n;
            for (const Stroke &s : strokes) {
                const double dx = x < s.x0 ? s.x0 - x : x > s.x1 ? x - s.x1 : 0;
                if (dx * dx + (y - s.y) * (y - s.y) <= r * r) {
                    ++inside;
                    break;
                }
            }
        }
    }
    return 100.0 * double(inside) / (double(n) * n);
}

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
    void numberTexts_data();
    void numberTexts();
    void gridTexts_data();
    void gridTexts();
    void layerTable_data();
    void layerTable();
    void wideImageWithoutTables();
    void rounding_data();
    void rounding();
    void hugePitchIsRefused_data();
    void hugePitchIsRefused();
    void writeFailureIsReported();
    void rowsTouch_data();
    void rowsTouch();
    void boardStrokeIsTheWrittenWidth_data();
    void boardStrokeIsTheWrittenWidth();
    void boardViewDrawsWholeRuns();
    void spaceCheck_data();
    void spaceCheck();
    void smoothEnds_data();
    void smoothEnds();
    void setOfFilesPutInPlaceAsOne_data();
    void setOfFilesPutInPlaceAsOne();
};

void TestPadsWriter::workedExample()
{
    const QImage bw = bwFromRows({"##.#", ".###"});
    kcore::WriteResult r;
    const QByteArray file = write(bw, 10.0, 19, &r);
    const QByteArray expected = head
            + "IMG00000000  LINES     0    20 1\r\nOPEN 2 10 19\r\n0 0\r\n20 0\r\n"
              "IMG00000001  LINES    30    20 1\r\nOPEN 2 10 19\r\n0 0\r\n10 0\r\n"
              "IMG00000002  LINES    10    10 1\r\nOPEN 2 10 19\r\n0 0\r\n30 0\r\n"
              "*END*\r\n";
    QCOMPARE(file, expected);
    QCOMPARE(file.size(), 265);
    QVERIFY(r.ok);
    QCOMPARE(r.items, 3);
    QCOMPARE(r.bytes, 265);
}

void TestPadsWriter::items_data()
{
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<double>("pitch");
    QTest::addColumn<int>("layer");
    QTest::addColumn<QByteArray>("body"); // the items: between the header and what follows them
    QTest::addColumn<bool>("exactEnds");
    QTest::addColumn<QString>("format"); // "2.0", "9.4 mils", "9.4 mm"

    QTest::newRow("no picture") << QStringList() << 10.0 << 19 << QByteArray() << false << "2.0";
    QTest::newRow("nothing set") << QStringList{"....", "...."} << 10.0 << 19 << QByteArray()
                                 << false << "2.0";
    QTest::newRow("0.2 mm")
            << QStringList{"##.#", ".###"} << 7.874015748031496 << 19
            << QByteArray("IMG00000000  LINES     0    16 1\r\nOPEN 2 8 19\r\n0 0\r\n16 0\r\n"
                          "IMG00000001  LINES    24    16 1\r\nOPEN 2 8 19\r\n0 0\r\n8 0\r\n"
                          "IMG00000002  LINES     8     8 1\r\nOPEN 2 8 19\r\n0 0\r\n24 0\r\n")
            << false << "2.0";
    QTest::newRow("full row, single pixel")
            << QStringList{"#####", "..#.."} << 10.0 << 0
            << QByteArray("IMG00000000  LINES     0    20 1\r\nOPEN 2 10 0\r\n0 0\r\n50 0\r\n"
                          "IMG00000001  LINES    20    10 1\r\nOPEN 2 10 0\r\n0 0\r\n10 0\r\n")
            << false << "2.0";
    QTest::newRow("six-digit coordinates widen the field")
            << QStringList{"#..#"} << 41152.0 << 1
            << QByteArray("IMG00000000  LINES     0 41152 1\r\nOPEN 2 41152 1\r\n0 0\r\n"
                          "41152 0\r\n"
                          "IMG00000001  LINES 123456 41152 1\r\nOPEN 2 41152 1\r\n0 0\r\n"
                          "41152 0\r\n")
            << false << "2.0";
    // 2.36 mils: rows 2 or 3 mils apart need 3-mil lines, not 2.
    QTest::newRow("0.06 mm rounds the width up")
            << QStringList{"#", "#"} << 0.06 * 39.37007874015748 << 19
            << QByteArray("IMG00000000  LINES     0     5 1\r\nOPEN 2 3 19\r\n0 0\r\n2 0\r\n"
                          "IMG00000001  LINES     0     2 1\r\nOPEN 2 3 19\r\n0 0\r\n2 0\r\n")
            << false << "2.0";
    // 0.1524 mm is 6 mils and a hair in doubles: still 6, not 7.
    QTest::newRow("0.1524 mm is 6 mil wide")
            << QStringList{"#"} << 0.1524 * 39.37007874015748 << 19
            << QByteArray("IMG00000000  LINES     0     6 1\r\nOPEN 2 6 19\r\n0 0\r\n6 0\r\n")
            << false << "2.0";
    // From the centre of the first pixel to the centre of the last; one pixel is 1 mil long.
    QTest::newRow("exact ends, worked example")
            << QStringList{"##.#", ".###"} << 10.0 << 19
            << QByteArray("IMG00000000  LINES     5    20 1\r\nOPEN 2 10 19\r\n0 0\r\n10 0\r\n"
                          "IMG00000001  LINES    35    20 1\r\nOPEN 2 10 19\r\n0 0\r\n1 0\r\n"
                          "IMG00000002  LINES    15    10 1\r\nOPEN 2 10 19\r\n0 0\r\n20 0\r\n")
            << true << "2.0";
    // Exact decimals: no rounding to mils, no trailing zeros, no exponent; the width is the pitch.
    QTest::newRow("9.4, 0.0333 mm")
            << QStringList{"##.#", ".###"} << 0.0333 / 0.0254 << 26
            << QByteArray("IMG00000000 LINES 0 0.0666 1 0 0\r\nOPEN 2 0.0333 0 26\r\n0 0\r\n"
                          "0.0666 0\r\n"
                          "IMG00000001 LINES 0.0999 0.0666 1 0 0\r\nOPEN 2 0.0333 0 26\r\n0 0\r\n"
                          "0.0333 0\r\n"
                          "IMG00000002 LINES 0.0333 0.0333 1 0 0\r\nOPEN 2 0.0333 0 26\r\n0 0\r\n"
                          "0.0999 0\r\n")
            << false << "9.4 mm";
    QTest::newRow("9.4, 0.2 mm in mils, exact ends")
            << QStringList{"##.#"} << 7.874015748031496 << 19
            << QByteArray("IMG00000000 LINES 3.93701 7.87402 1 0 0\r\nOPEN 2 7.87402 0 19\r\n"
                          "0 0\r\n7.87402 0\r\n"
                          "IMG00000001 LINES 27.55906 7.87402 1 0 0\r\nOPEN 2 7.87402 0 19\r\n"
                          "0 0\r\n1 0\r\n")
            << true << "9.4 mils";
    QTest::newRow("9.4, large coordinates")
            << QStringList{"#..#"} << 20000.0 << 19
            << QByteArray("IMG00000000 LINES 0 20000 1 0 0\r\nOPEN 2 20000 0 19\r\n0 0\r\n"
                          "20000 0\r\n"
                          "IMG00000001 LINES 60000 20000 1 0 0\r\nOPEN 2 20000 0 19\r\n0 0\r\n"
                          "20000 0\r\n")
            << false << "9.4 mils";
    QTest::newRow("exact ends, 0.2 mm, right edge")
            << QStringList{"##.#"} << 7.874015748031496 << 19
            << QByteArray("IMG00000000  LINES     4     8 1\r\nOPEN 2 8 19\r\n0 0\r\n8 0\r\n"
                          "IMG00000001  LINES    28     8 1\r\nOPEN 2 8 19\r\n0 0\r\n1 0\r\n")
            << true << "2.0";
}

void TestPadsWriter::items()
{
    QFETCH(QStringList, rows);
    QFETCH(double, pitch);
    QFETCH(int, layer);
    QFETCH(QByteArray, body);
    QFETCH(bool, exactEnds);
    QFETCH(QString, format);
    const QImage bw = rows.isEmpty() ? QImage() : bwFromRows(rows);
    kcore::PadsSettings s{pitch, layer, exactEnds};
    if (format != QLatin1String("2.0")) {
        s.format = kcore::PadsFormat::V94;
        s.metric = format.endsWith(QLatin1String("mm"));
    }
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(kcore::writeArtwork(bw, s, &buffer).ok);
    const QByteArray file = buffer.data();
    if (s.format == kcore::PadsFormat::V20) {
        QCOMPARE(file, head + body + "*END*\r\n");
    } else {
        const QByteArray lines = "*LINES*      LINES ITEMS\r\n\r\n";
        const qsizetype from = file.indexOf(lines) + lines.size();
        QCOMPARE(file.mid(from, file.indexOf("*MISC*") - from), body);
    }
    // The fab check counts exactly what is written.
    const kcore::FileBudget budget = kcore::countArtwork(bw, s);
    QCOMPARE(budget.items, file.count("\r\nOPEN "));
    QCOMPARE(budget.bytes, file.size());
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
        char text[kcore::numberSlot];
        QCOMPARE(QByteArray(text, int(prefix.writeTo(text) - text)), name.toLatin1());
        prefix.next();
    }
}

void TestPadsWriter::numberTexts_data()
{
    // Numbers the eight-digit path cannot take: below zero (smooth ends at the left border).
    QTest::addColumn<qint64>("value");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("negative, five places") << qint64(-150000) << 5 << QByteArray("-1.5");
    QTest::newRow("negative, six places") << qint64(-2030000) << 6 << QByteArray("-2.03");
}

void TestPadsWriter::numberTexts()
{
    QFETCH(qint64, value);
    QFETCH(int, decimals);
    QFETCH(QByteArray, text);
    char out[kcore::numberSlot];
    QCOMPARE(QByteArray(out, kcore::formatFixed(out, value, decimals)), text);
}

void TestPadsWriter::gridTexts_data()
{
    // The polygon writers keep the text of the pixel grid's coordinates: a number off the grid
    // is written as it is, never as the grid line nearest it.
    QTest::addColumn<qint32>("value");
    QTest::addColumn<bool>("flip");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("on the grid") << qint32(152400) << false << QByteArray("-0.1016");
    QTest::newRow("on the grid, flipped") << qint32(152400) << true << QByteArray("0.1016");
    QTest::newRow("a nanometre past a line") << qint32(152401) << false << QByteArray("-0.101599");
    QTest::newRow("between two lines") << qint32(177800) << false << QByteArray("-0.0762");
    QTest::newRow("left of the grid") << qint32(-1) << false << QByteArray("-0.254001");
    QTest::newRow("past the grid's end") << qint32(558800) << true << QByteArray("-0.3048");
}

void TestPadsWriter::gridTexts()
{
    QFETCH(qint32, value);
    QFETCH(bool, flip);
    QFETCH(QByteArray, text);
    // Eleven lines two mils apart, the origin on the sixth, in millimetres.
    std::vector<qint32> lines;
    for (qint32 k = 0; k <= 10; ++k)
        lines.push_back(k * 50800);
    const kcore::GridText grid(lines, 50800, 254000, flip, [](char *out, qint32 v) {
        return out + kcore::formatFixed(out, v, 6);
    });
    char out[kcore::numberSlot];
    QCOMPARE(QByteArray(out, int(grid.table().write(out, value) - out)), text);
}

void TestPadsWriter::layerTable_data()
{
    // The header's layer count and the layer table of a 9.4 file for each kind, by PADS's usual
    // numbers. Silkscreen and solder mask are named in the copper block of their own side.
    QTest::addColumn<int>("layer");
    QTest::addColumn<QString>("kind"); // as --layer-kind takes it
    QTest::addColumn<QByteArray>("maximum"); // the header's line after UNITS
    QTest::addColumn<QByteArray>("table");
    const auto block = [](int n, const char *name, const char *type, const char *extra = "") {
        return "LAYER " + QByteArray::number(n) + "\r\n{\r\nLAYER_NAME " + name + "\r\nLAYER_TYPE "
                + type + "\r\n" + extra + "}\r\n";
    };
    const QByteArray top = block(1, "Top", "ROUTING"), bottom = block(2, "Bottom", "ROUTING");
    QTest::newRow("top copper, 1") << 1 << "auto" << QByteArray() << top + bottom;
    QTest::newRow("bottom copper, 2") << 2 << "auto" << QByteArray() << top + bottom;
    // Readers take the highest copper layer as the bottom.
    QTest::newRow("bottom copper, 4") << 4 << "bottom-copper" << QByteArray("MAXIMUMLAYER 4\r\n")
                                      << top + block(4, "Bottom", "ROUTING");
    QTest::newRow("top solder mask, 21")
            << 21 << "auto" << QByteArray()
            << block(1, "Top", "ROUTING", "ASSOCIATED_SOLDER_MASK Solder Mask Top\r\n") + bottom
                    + block(21, "Solder Mask Top", "SOLDER_MASK");
    QTest::newRow("top silkscreen, 26")
            << 26 << "auto" << QByteArray()
            << block(1, "Top", "ROUTING", "ASSOCIATED_SILK_SCREEN Silkscreen Top\r\n") + bottom
                    + block(26, "Silkscreen Top", "SILK_SCREEN");
    QTest::newRow("bottom solder mask, 28")
            << 28 << "auto" << QByteArray()
            << top + block(2, "Bottom", "ROUTING", "ASSOCIATED_SOLDER_MASK Solder Mask Bottom\r\n")
                    + block(28, "Solder Mask Bottom", "SOLDER_MASK");
    QTest::newRow("bottom silkscreen, 29")
            << 29 << "auto" << QByteArray()
            << top + block(2, "Bottom", "ROUTING", "ASSOCIATED_SILK_SCREEN Silkscreen Bottom\r\n")
                    + block(29, "Silkscreen Bottom", "SILK_SCREEN");
    QTest::newRow("documentation, 19")
            << 19 << "auto" << QByteArray()
            << top + bottom + block(19, "Documentation", "DOCUMENTATION");
}

void TestPadsWriter::layerTable()
{
    QFETCH(int, layer);
    QFETCH(QString, kind);
    QFETCH(QByteArray, maximum);
    QFETCH(QByteArray, table);
    kcore::PadsSettings s{2, layer};
    s.format = kcore::PadsFormat::V94;
    QVERIFY(kcore::kindFromKey(kind, &s.kind));
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(kcore::writeArtwork(bwFromRows({"#"}), s, &buffer).ok);
    const QByteArray file = buffer.data();
    const qsizetype units = file.indexOf("UNITS");
    QCOMPARE(file.mid(units, file.indexOf("*LINES*") - units), "UNITS        0\r\n" + maximum);
    const QByteArray start = "LAYER DATA\r\n{\r\n", end = "}\r\n*END*\r\n";
    const qsizetype from = file.indexOf(start) + start.size();
    QVERIFY(file.endsWith(end));
    QCOMPARE(file.mid(from, file.size() - end.size() - from), table);
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
    QTest::newRow("width rounds up past the integers") << QSize(1, 1) << 2147483647.3 << false;
    QTest::newRow("pitch alone too large") << QSize(1, 1) << 3e9 << false;
    QTest::newRow("not a number") << QSize(1, 1) << qQNaN() << false;
    QTest::newRow("infinite") << QSize(1, 1) << qInf() << false;
}

void TestPadsWriter::hugePitchIsRefused()
{
    QFETCH(QSize, size);
    QFETCH(double, pitch);
    QFETCH(bool, fits);
    QCOMPARE(kcore::padsFits(size, kcore::PadsSettings{pitch}), fits);
    QImage bw(size, QImage::Format_RGB32);
    bw.fill(0xffffffffu);
    kcore::WriteResult r;
    const QByteArray file = write(bw, pitch, 19, &r);
    QCOMPARE(r.ok, fits);
    if (fits) {
        QVERIFY(file.contains("\r\n2147483646 0\r\n"));
    } else {
        QVERIFY(r.message.contains(QLatin1String("too large")));
        QCOMPARE(file, QByteArray());
    }
}

void TestPadsWriter::writeFailureIsReported()
{
    // Enough items for several chunks; the disk is full from the first. The writer must say so
    // and stop there, not format the rest of the picture into a device that refuses it.
    const QImage bw = testsupport::checkerboard(2000, 1000);
    FullDisk disk(1000);
    const kcore::WriteResult r = kcore::writeArtwork(bw, 2.0, 19, &disk);
    QVERIFY(!r.ok);
    QCOMPARE(r.message, QStringLiteral("No space left on device"));
    QCOMPARE(disk.writes, 1);
}

void TestPadsWriter::rowsTouch_data()
{
    QTest::addColumn<double>("pitch");
    QTest::newRow("0.06 mm") << 0.06 * 39.37007874015748;
    QTest::newRow("0.0333 mm") << 0.0333 * 39.37007874015748;
    QTest::newRow("2.36 mils") << 2.36;
    QTest::newRow("0.2 mm") << 7.874015748031496;
    QTest::newRow("1 mil") << 1.0;
    QTest::newRow("0.0254 mm") << 0.0254 * 39.37007874015748;
}

void TestPadsWriter::rowsTouch()
{
    // A solid column: a reader draws solid copper only if no two neighbouring rows lie further
    // apart than the line is wide.
    QFETCH(double, pitch);
    QImage bw(1, 300, QImage::Format_RGB32);
    bw.fill(0xffffffffu);
    int width = 0;
    const QList<int> ys = itemRowsOf(write(bw, pitch, 19), &width);
    QCOMPARE(ys.size(), 300);
    for (qsizetype i = 1; i < ys.size(); ++i) {
        QVERIFY2(ys[i - 1] - ys[i] >= 1, "two rows on one coordinate");
        QVERIFY2(ys[i - 1] - ys[i] <= width,
                 qPrintable(QStringLiteral("gap of %1 mil at row %2 "
                                           "with %3 mil lines")
                                    .arg(ys[i - 1] - ys[i])
                                    .arg(i)
                                    .arg(width)));
    }
}

void TestPadsWriter::smoothEnds_data()
{
    // One row of grey levels, threshold 128, 10 mil pixels: the ends lie where the levels,
    // linear between pixel centres, pass 128.5.
    QTest::addColumn<QList<int>>("levels");
    QTest::addColumn<bool>("invert");
    QTest::addColumn<bool>("exactEnds");
    QTest::addColumn<bool>("v94");
    QTest::addColumn<QStringList>("items"); // "x length" as written
    QTest::addColumn<int>("flat"); // levels all this grey, whatever the pixels (-1: none)
    // 157 and 100 lie 28.5 either side of 128.5: the edge is halfway, at 2 pixels. The copper
    // spans 0 to 20 mils, round ends included.
    QTest::newRow("halfway") << QList<int>{255, 157, 100, 0} << false << false << true
                             << QStringList{"5 10"} << -1;
    // Inverted, the pixels at or below 128 are copper; the edge is still where 128.5 is passed.
    QTest::newRow("inverted") << QList<int>{0, 100, 157, 255} << true << false << true
                              << QStringList{"5 10"} << -1;
    // From 1.00392 pixels (0 to 255 passes 128.5 at 0.50392 of the way) to the border at 4.
    QTest::newRow("to the border") << QList<int>{0, 255, 255, 255} << false << false << true
                                   << QStringList{"15.03922 19.96078"} << -1;
    QTest::newRow("over exact ends") << QList<int>{0, 255, 255, 255} << false << true << true
                                     << QStringList{"15.03922 19.96078"} << -1;
    // 1.1425 to 1.8575 pixels is narrower than the line: one mil, centred at 1.5 pixels.
    QTest::newRow("narrower than the line")
            << QList<int>{0, 200, 0, 0} << false << false << true << QStringList{"14.5 1"} << -1;
    // 2.73333 to 6.08837 pixels, to the whole mil: copper from 27 to 61 mils.
    QTest::newRow("whole mils") << QList<int>{0, 0, 90, 255, 255, 255, 40} << false << false
                                << false << QStringList{"32 24"} << -1;
    // 10001.00392 to 10500.99608 pixels: a six-digit position and a length of 4990 mils.
    QTest::newRow("far and long, whole mils")
            << QList<int>(10001, 0) + QList<int>(500, 255) + QList<int>{0} << false << false
            << false << QStringList{"100015 4990"} << -1;
    // 1.00392 to 411.6014 pixels (143 passes 128.5 at 0.1014 of the way to 0): from 15 to 4111
    // mils, a length of 4096, the first past the table of length texts.
    QTest::newRow("length 4096, whole mils")
            << QList<int>{0} + QList<int>(410, 255) + QList<int>{143, 0} << false << false << false
            << QStringList{"15 4096"} << -1;
    // Levels that do not pass 128.5 between two centres put the end on the pixels' boundary.
    QTest::newRow("no crossing") << QList<int>{0, 255, 255, 255} << false << false << true
                                 << QStringList{"15 20"} << 200;
}

void TestPadsWriter::smoothEnds()
{
    QFETCH(QList<int>, levels);
    QFETCH(bool, invert);
    QFETCH(bool, exactEnds);
    QFETCH(bool, v94);
    QFETCH(QStringList, items);
    QFETCH(int, flat);
    QImage grey(int(levels.size()), 1, QImage::Format_RGB32);
    for (int x = 0; x < grey.width(); ++x)
        grey.setPixel(x, 0, kcore::greyPixel(levels[x]));
    const QImage bw = kcore::makeBw(grey, 128, invert, 100);
    if (flat >= 0)
        grey.fill(kcore::greyPixel(flat));
    kcore::PadsSettings settings;
    settings.pitch = 10;
    settings.exactEnds = exactEnds;
    settings.format = v94 ? kcore::PadsFormat::V94 : kcore::PadsFormat::V20;
    settings.smoothEdges = true;
    settings.threshold = 128;
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(kcore::writeArtwork(bw, settings, &buffer, grey).ok);
    QStringList written;
    const QList<QByteArray> lines = buffer.data().split('\n');
    // The same layout as without smooth edges: in 2.0, numbers right-aligned in their columns.
    const QList<QByteArray> plain = write(bw, 10, 0, nullptr, false).split('\n');
    for (qsizetype i = 0; i + 3 < lines.size(); ++i) {
        const QList<QByteArray> f = lines[i].simplified().split(' ');
        if (f.size() >= 5 && f[1] == "LINES" && f[0].startsWith("IMG")) {
            written << QString::fromLatin1(f[2] + ' ' + lines[i + 3].simplified().split(' ')[0]);
            if (!v94)
                QCOMPARE(lines[i].size(), plain[i].size());
        }
    }
    QCOMPARE(written, items);
}

void TestPadsWriter::boardStrokeIsTheWrittenWidth_data()
{
    QTest::addColumn<bool>("v94");
    QTest::addColumn<double>("pitch");
    QTest::addColumn<double>("width"); // mils, as written
    QTest::addColumn<double>("milsPerPixel"); // of the view
    QTest::newRow("2.0 rounds 2.36 mil up to 3") << false << 2.36 << 3.0 << 0.01;
    QTest::newRow("9.4 keeps 2.36 mil") << true << 2.36 << 2.36 << 0.01;
    QTest::newRow("9.4, 0.0333 mm") << true << 0.0333 / 0.0254 << 0.0333 / 0.0254 << 0.01;
    // Screen rows sampled at their centres, half a mil either side of the line's centre: two
    // rows of copper, where their top edges would give three.
    QTest::newRow("2.0, 2 mil, a mil a screen pixel") << false << 2.0 << 2.0 << 1.0;
}

void TestPadsWriter::boardStrokeIsTheWrittenWidth()
{
    // The Board view draws a line as thick as the file makes it, not as the pitch.
    QFETCH(bool, v94);
    QFETCH(double, pitch);
    QFETCH(double, width);
    QFETCH(double, milsPerPixel);
    kcore::PadsSettings s{pitch};
    s.format = v94 ? kcore::PadsFormat::V94 : kcore::PadsFormat::V20;
    const QImage bw = bwFromRows({"###"});
    kcore::BoardViewport view;
    view.milsPerPixel = milsPerPixel;
    view.left = kcore::LineGeometry(s).mils(kcore::LineGeometry(s).x(1)); // the middle pixel
    view.top = kcore::LineGeometry(s).mils(kcore::LineGeometry(s).y(0, 1)) + 5;
    const QImage board = kcore::renderBoard(bw, s, view, QSize(1, 1000));
    int copper = 0;
    for (int y = 0; y < board.height(); ++y)
        copper += board.pixel(0, y) == kcore::copperColour;
    QVERIFY2(qAbs(copper * view.milsPerPixel - width) <= 0.011,
             qPrintable(QStringLiteral("%1 mil of copper").arg(copper * view.milsPerPixel)));
}

void TestPadsWriter::boardViewDrawsWholeRuns()
{
    // Seven pixels of 1.3 mil end at 9 mil, each number rounded once as the file has it; the
    // piece from pixel 2 on would end at 3 + 7 = 10. A view starting past the run's start must
    // still draw the whole run's end.
    const QImage bw = bwFromRows({"#######"});
    const kcore::PadsSettings s{1.3};
    kcore::BoardViewport zoomed;
    zoomed.left = 5;
    zoomed.top = 3;
    zoomed.milsPerPixel = 0.125;
    kcore::BoardViewport wide = zoomed;
    wide.left = -3;
    const QImage part = kcore::renderBoard(bw, s, zoomed, QSize(64, 24));
    QCOMPARE(part, kcore::renderBoard(bw, s, wide, QSize(128, 24)).copy(64, 0, 64, 24));
}

void TestPadsWriter::spaceCheck_data()
{
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<double>("pitch");
    QTest::addColumn<bool>("v94");
    QTest::addColumn<bool>("exactEnds");
    QTest::addColumn<int>("closed");
    QTest::addColumn<int>("narrow");
    QTest::addColumn<double>("gap"); // of the first finding, in mils
    const double mm = 39.37007874015748;
    // Round ends reach half a width past each run: a one-pixel gap at 10 mil is bridged.
    QTest::newRow("1-px gap, 10 mil")
            << QStringList{"#.#"} << 10.0 << false << false << 1 << 0 << 0.0;
    QTest::newRow("1-px gap, 10 mil, exact ends")
            << QStringList{"#.#"} << 10.0 << false << true << 0 << 0 << 0.0;
    QTest::newRow("1-px gap, 0.254 mm in 9.4")
            << QStringList{"#.#"} << 0.254 * mm << true << false << 1 << 0 << 0.0;
    QTest::newRow("2-px gap, 2 mil")
            << QStringList{"#..#"} << 2.0 << false << false << 0 << 1 << 2.0;
    QTest::newRow("3-px gap, 2 mil, open")
            << QStringList{"#...#"} << 2.0 << false << false << 0 << 0 << 0.0;
    // Rows a blank row apart: 2P - W of copper gap.
    QTest::newRow("blank row, 2 mil")
            << QStringList{"###", "...", "###"} << 2.0 << false << false << 0 << 1 << 2.0;
    QTest::newRow("blank row, 2.5 mil written 3")
            << QStringList{"###", "...", "###"} << 2.5 << false << false << 0 << 1 << 2.0;
    QTest::newRow("blank row, 0.1 mm in 9.4")
            << QStringList{"###", "...", "###"} << 0.1 * mm << true << true << 0 << 1 << 0.1 * mm;
    QTest::newRow("two blank rows, 2 mil")
            << QStringList{"###", "...", "...", "###"} << 2.0 << false << false << 0 << 0 << 0.0;
    // Pixels meeting at a corner touch: a diagonal line is one line, whatever its reach.
    QTest::newRow("corner, 10 mil")
            << QStringList{"#.", ".#"} << 10.0 << false << false << 0 << 0 << 0.0;
    QTest::newRow("corner the other way, 10 mil")
            << QStringList{".#", "#."} << 10.0 << false << false << 0 << 0 << 0.0;
    // Two rows apart, the line between the ends passes the pixel of the row between that the
    // shape turns its corner on.
    QTest::newRow("step through a corner, 1 mil")
            << QStringList{"#..", "#..", ".#."} << 1.0 << false << false << 0 << 0 << 0.0;
    QTest::newRow("diagonal line, 1 mil")
            << QStringList{"#....", ".#...", "..#..", "...#.", "....#"} << 1.0 << false << false
            << 0 << 0 << 0.0;
    QTest::newRow("solid block, 1 mil") << QStringList{"####", "####", "####", "####"} << 1.0
                                        << false << false << 0 << 0 << 0.0;
    // Dots a step apart: neighbours face each other; the middle dot stands between the outer.
    QTest::newRow("dots in a slant, 1 mil") << QStringList{"#....", "..#..", "....#"} << 1.0
                                            << false << false << 0 << 2 << std::sqrt(2.0) - 1;
    // A run beside either end, in that end's own row, stands between it and the far run.
    QTest::newRow("run beside the upper end, 1 mil")
            << QStringList{"#.#..", "....#"} << 1.0 << false << false << 1 << 1 << 0.0;
    QTest::newRow("run beside the lower end, 1 mil")
            << QStringList{"#....", "..#.#"} << 1.0 << false << false << 1 << 1 << 0.0;
    QTest::newRow("run beside the lower end, far run to the right, 1 mil")
            << QStringList{"....#", "#.#.."} << 1.0 << false << false << 1 << 1 << 0.0;
    QTest::newRow("run beside the upper end, far run to the right, 1 mil")
            << QStringList{"..#.#", "#...."} << 1.0 << false << false << 1 << 1 << 0.0;
    // A slot one pixel wide: closed in each row, narrow across its diagonals, nothing between
    // the bottom bar and the arms it joins.
    QTest::newRow("slot, 2 mil") << QStringList{"#.#", "#.#", "###"} << 2.0 << false << false << 2
                                 << 2 << 0.0;
    // Coverage where the strokes overlap most: a width rounded up from 1.5 mil to 2 overlaps
    // neighbours in the row and the rows above and below (counts not checked: -1).
    QTest::newRow("checkerboard, 1.5 mil written 2")
            << QStringList{"#.#.#.", ".#.#.#", "#.#.#.", ".#.#.#"} << 1.5 << false << false << -1
            << -1 << 0.0;
    QTest::newRow("blob, 1.2 mil written 2")
            << QStringList{"..##..", ".####.", "######", ".####.", "..##.."} << 1.2 << false
            << false << 0 << 0 << 0.0;
    // Across two rows the line from the top dot to the far dot passes beside the near dot, not
    // through it: both face the top dot; the two below close their one-pixel gap.
    QTest::newRow("dots two rows down, 2 mil")
            << QStringList{"#....", ".....", ".#.#."} << 2.0 << false << false << 1 << 2 << 0.0;
    // A notch one row high reaching in from the side: the rows above and below face each other.
    QTest::newRow("notch, 2 mil") << QStringList{"#####", "##...", "#####"} << 2.0 << false << false
                                  << 0 << 1 << 2.0;
}

void TestPadsWriter::spaceCheck()
{
    QFETCH(QStringList, rows);
    QFETCH(double, pitch);
    QFETCH(bool, v94);
    QFETCH(bool, exactEnds);
    QFETCH(int, closed);
    QFETCH(int, narrow);
    QFETCH(double, gap);
    kcore::PadsSettings settings{pitch, 19, exactEnds};
    settings.format = v94 ? kcore::PadsFormat::V94 : kcore::PadsFormat::V20;
    const QImage bw = bwFromRows(rows);
    const kcore::SpaceReport r = kcore::checkSpace(bw, settings, kcore::defaultMinSpaceMils);
    // Cancelled before it starts, a check looks at no row.
    const std::atomic<bool> cancelled{true};
    QCOMPARE(kcore::checkSpace(bw, settings, kcore::defaultMinSpaceMils, {}, &cancelled)
                     .findings.size(),
             size_t(0));
    if (closed >= 0) {
        QCOMPARE(r.closedGaps, closed);
        QCOMPARE(r.narrowGaps, narrow);
        QCOMPARE(qint64(r.findings.size()), qint64(closed + narrow));
    }
    if (closed >= 0 && !r.findings.empty()) {
        QVERIFY2(std::abs(r.findings.front().gapMils - gap) < 1e-4, // 9.4 rounds to 1e-5 mil
                 qPrintable(QString::number(r.findings.front().gapMils)));
        // Each ring sits on the board, between the strokes it concerns.
        const QRectF bounds = kcore::boardBounds(bw.size(), settings);
        for (const kcore::SpaceFinding &f : r.findings)
            QVERIFY(bounds.contains(f.mils));
    }
    const double sampled = sampledCoverage(bw, settings);
    QVERIFY2(std::abs(r.coveragePercent - sampled) < 0.2,
             qPrintable(QStringLiteral("%1 % against %2 % sampled")
                                .arg(r.coveragePercent)
                                .arg(sampled)));
}


void TestPadsWriter::setOfFilesPutInPlaceAsOne_data()
{
    QTest::addColumn<int>("refused"); // the file whose rename fails, or -1
    QTest::newRow("all put in place") << -1;
    QTest::newRow("the first refused") << 0;
    QTest::newRow("the second refused: the first put back") << 1;
    QTest::newRow("the last, a new file, refused: the others put back") << 2;
}

void TestPadsWriter::setOfFilesPutInPlaceAsOne()
{
    QFETCH(int, refused);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QStringList paths = {dir.filePath("art-F_Cu.gbr"), dir.filePath("art-F_Mask.gbr"),
                               dir.filePath("art-F_SilkS.gbr")};
    // An earlier set of two files; the third is new.
    for (int i = 0; i < 2; ++i) {
        QFile old(paths[i]);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old " + QByteArray::number(i));
    }
    kcore::refuseNextRename(refused);
    const kcore::WriteResult r
            = kcore::saveFiles(paths, QStringLiteral("art"), [](const kcore::Destination &out) {
                  for (size_t i = 0; i < out.files.size(); ++i)
                      out.files[i]->write("new " + QByteArray::number(qulonglong(i)));
                  return kcore::WriteResult();
              });
    QCOMPARE(r.ok, refused < 0);
    if (refused >= 0)
        QVERIFY2(r.message.startsWith(paths[refused]), qPrintable(r.message));
    // The old set or the new one, never a mix, and nothing left beside it.
    const QStringList expected = refused < 0
            ? QStringList{"art-F_Cu.gbr", "art-F_Mask.gbr", "art-F_SilkS.gbr"}
            : QStringList{"art-F_Cu.gbr", "art-F_Mask.gbr"};
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files, QDir::Name), expected);
    for (int i = 0; i < expected.size(); ++i) {
        QFile f(paths[i]);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), (refused < 0 ? "new " : "old ") + QByteArray::number(i));
    }
}

QTEST_GUILESS_MAIN(TestPadsWriter)
#include "tst_padswriter.moc"
