// Board art as a stack: finishes read from anti-aliased colours, each layer's items in both
// layouts, mask openings grown and shrunk, silkscreen kept off openings, Inkscape layers.
#include "core/conversion.h"
#include "image/finishes.h"
#include "testsupport.h"

#include <QBuffer>
#include <QPainter>
#include <QTest>

using testsupport::finishPicture;

namespace {

struct Item
{
    int layer;
    double x, y, length, width;
    bool operator<(const Item &o) const
    {
        return std::tie(layer, y, x, length, width) < std::tie(o.layer, o.y, o.x, o.length, o.width);
    }
    bool operator==(const Item &o) const { return !(*this < o) && !(o < *this); }
};

char *toString(const Item &i)
{
    return qstrdup(qPrintable(
            QString::asprintf("layer %d, %g %g, %g long, %g wide", i.layer, i.x, i.y, i.length,
                              i.width)));
}

// The items of a file in either layout.
QList<Item> itemsOf(const QByteArray &file)
{
    QList<Item> items;
    const QList<QByteArray> lines = file.split('\n');
    for (qsizetype i = 0; i + 3 < lines.size(); ++i) {
        const QList<QByteArray> head = lines[i].simplified().split(' ');
        if (!head.value(0).startsWith("IMG"))
            continue;
        const QList<QByteArray> open = lines[i + 1].simplified().split(' ');
        const QList<QByteArray> end = lines[i + 3].simplified().split(' ');
        items.append({open.last().toInt(), head[2].toDouble(), head[3].toDouble(),
                      end[0].toDouble(), open[2].toDouble()});
    }
    std::sort(items.begin(), items.end());
    return items;
}

QByteArray stackFile(const kcore::Source &source, const kcore::ConversionSettings &settings,
                     kcore::StackBudget *budget = nullptr)
{
    kcore::Conversion conversion;
    conversion.setSource(source);
    conversion.setSettings(settings);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    const kcore::WriteResult r = conversion.writeStack(&out, {}, budget);
    return r.ok ? out.data() : QByteArray();
}

} // namespace

class TestStack : public QObject
{
    Q_OBJECT

private slots:
    void edgesAreMixesOfTheirSides_data();
    void edgesAreMixesOfTheirSides();
    void layersOfFinishes_data();
    void layersOfFinishes();
    void inkscapeLayers();
    void documentsAsPictures_data();
    void documentsAsPictures();
    void fabWarningsPerLayer_data();
    void fabWarningsPerLayer();
};

void TestStack::edgesAreMixesOfTheirSides_data()
{
    QTest::addColumn<QRgb>("shape");
    QTest::addColumn<QRgb>("ground");
    QTest::addColumn<int>("finish"); // the shape's
    QTest::addColumn<int>("around"); // the ground's
    // Gold blended into board green lies nearer copper green than either.
    QTest::newRow("gold on board") << 0xffd4af37u << 0xff0b3d1eu << int(kcore::Finish::Gold)
                                   << int(kcore::Finish::Board);
    QTest::newRow("silk on board") << 0xffffffffu << 0xff0b3d1eu << int(kcore::Finish::Silk)
                                   << int(kcore::Finish::Board);
    QTest::newRow("gold on copper") << 0xffd4af37u << 0xff3a8a4au << int(kcore::Finish::Gold)
                                    << int(kcore::Finish::Copper);
    // A flat colour a few levels off its palette colour, as a photographed or compressed
    // picture gives it, is still that colour, not the far end of a line through it.
    QTest::newRow("silk on board 4 levels darker")
            << 0xffffffffu << 0xff07391au << int(kcore::Finish::Silk) << int(kcore::Finish::Board);
    QTest::newRow("silk on black") << 0xffffffffu << 0xff000000u << int(kcore::Finish::Silk)
                                   << int(kcore::Finish::Board);
    QTest::newRow("transparent around bare") << 0xffc8b48cu << 0x00ffffffu
                                             << int(kcore::Finish::Bare)
                                             << int(kcore::Finish::Board);
}

void TestStack::edgesAreMixesOfTheirSides()
{
    QFETCH(QRgb, shape);
    QFETCH(QRgb, ground);
    QFETCH(int, finish);
    QFETCH(int, around);
    // The shape drawn alone tells its true share of every pixel.
    QImage alone(64, 64, QImage::Format_ARGB32);
    alone.fill(Qt::transparent);
    QImage picture(64, 64, QImage::Format_ARGB32);
    picture.fill(QColor::fromRgba(ground));
    for (QImage *image : {&alone, &picture}) {
        QPainter p(image);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor::fromRgba(shape));
        p.drawEllipse(QPointF(32, 32), 20.3, 20.3);
    }
    kcore::FinishReader reader(kcore::defaultPalette());
    int mixed = 0;
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < 64; ++x) {
            const kcore::FinishShares &s = reader.read(picture.pixel(x, y));
            QCOMPARE(s[size_t(finish)] + s[size_t(around)], 255);
            const int share = qAlpha(alone.pixel(x, y));
            mixed += share > 0 && share < 255;
            QVERIFY2(qAbs(s[size_t(finish)] - share) <= 8,
                     qPrintable(QStringLiteral("(%1, %2): %3 where %4")
                                        .arg(x)
                                        .arg(y)
                                        .arg(s[size_t(finish)])
                                        .arg(share)));
        }
    }
    QVERIFY(mixed > 100);

    // Gold on the board: its copper and its opening are one shape, edge pixels and all.
    if (finish != int(kcore::Finish::Gold) || around != int(kcore::Finish::Board))
        return;
    kcore::ConversionSettings c;
    c.pads.format = kcore::PadsFormat::V94;
    c.pads.smoothEdges = true;
    c.stack.on = true;
    c.stack.maskExpansionMils = 0;
    QMap<int, QList<Item>> layers;
    for (Item item : itemsOf(stackFile(kcore::Source::fromPicture(picture), c))) {
        const int layer = std::exchange(item.layer, 0);
        layers[layer].append(item);
    }
    QCOMPARE(layers.keys(), (QList<int>{1, 21}));
    QCOMPARE(layers[1], layers[21]);
}

void TestStack::layersOfFinishes_data()
{
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<bool>("v94");
    QTest::addColumn<bool>("bottom");
    QTest::addColumn<double>("expansion"); // mils, at a 2 mil pitch
    // layer, x, y, length, width of every item, as the file writes them (mils)
    QTest::addColumn<QList<Item>>("items");
    QTest::addColumn<qint64>("silkLeftOff");
    const QStringList gold = {"ggs..s", "gg....", "s....."};
    QTest::newRow("2.0, grown 2 mil: silk beside and below gold left off")
            << gold << false << false << 2.0
            << QList<Item>{{1, 0, 6, 4, 2},  {1, 0, 4, 4, 2},  {21, 0, 6, 4, 6},
                           {21, 0, 4, 4, 6}, {26, 10, 6, 2, 2}}
            << qint64(2);
    QTest::newRow("9.4, no expansion: silk beside gold kept")
            << gold << true << false << 0.0
            << QList<Item>{{1, 0, 6, 4, 2},  {1, 0, 4, 4, 2},  {21, 0, 6, 4, 2}, {21, 0, 4, 4, 2},
                           {26, 4, 6, 2, 2}, {26, 10, 6, 2, 2}, {26, 0, 2, 2, 2}}
            << qint64(0);
    // Centres a pitch apart, nearer than a pitch and the expansion (3 mil): the silk directly
    // below and diagonally below goes, the one two pixels off stays.
    QTest::newRow("2.0, grown 1 mil: silk below gold left off")
            << QStringList{"gg..", "s.ss"} << false << false << 1.0
            << QList<Item>{{1, 0, 4, 4, 2}, {21, 0, 4, 4, 4}, {26, 6, 2, 2, 2}} << qint64(2);
    // Thinner lines on the same centres, and the strip between two rows filled.
    QTest::newRow("9.4, shrunk 0.5 mil")
            << gold << true << false << -0.5
            << QList<Item>{{1, 0, 6, 4, 2},        {1, 0, 4, 4, 2},  {21, 0, 6, 4, 1},
                           {21, 0, 5, 4, 1.00001}, {21, 0, 4, 4, 1}, {26, 4, 6, 2, 2},
                           {26, 10, 6, 2, 2},      {26, 0, 2, 2, 2}}
            << qint64(0);
    // No strip below the last row, whatever gold an earlier row left behind.
    QTest::newRow("9.4, shrunk 0.5 mil, gold in the first and last row")
            << QStringList{"gg", "..", "..", "gg"} << true << false << -0.5
            << QList<Item>{{1, 0, 8, 4, 2}, {1, 0, 2, 4, 2}, {21, 0, 8, 4, 1}, {21, 0, 2, 4, 1}}
            << qint64(0);
    QTest::newRow("bottom, mirrored")
            << QStringList{"cb..s"} << true << true << 0.0
            << QList<Item>{{2, 8, 2, 2, 2}, {28, 6, 2, 2, 2}, {29, 0, 2, 2, 2}} << qint64(0);
}

void TestStack::layersOfFinishes()
{
    QFETCH(QStringList, rows);
    QFETCH(bool, v94);
    QFETCH(bool, bottom);
    QFETCH(double, expansion);
    QFETCH(QList<Item>, items);
    QFETCH(qint64, silkLeftOff);
    kcore::ConversionSettings c;
    c.pads.pitch = 2;
    c.pads.format = v94 ? kcore::PadsFormat::V94 : kcore::PadsFormat::V20;
    c.stack.on = true;
    c.stack.bottom = bottom;
    c.stack.maskExpansionMils = expansion;
    kcore::StackBudget budget;
    const QByteArray file = stackFile(kcore::Source::fromPicture(finishPicture(rows)), c, &budget);
    std::sort(items.begin(), items.end());
    const QList<Item> found = itemsOf(file);
    if (found != items) {
        for (const Item &i : found)
            qWarning("found %d %g %g %g %g", i.layer, i.x, i.y, i.length, i.width);
    }
    QCOMPARE(found, items);
    QCOMPARE(budget.counts[bottom].silkCleared, silkLeftOff);
}

void TestStack::inkscapeLayers()
{
    if (!kcore::vectorSupport())
        QSKIP("this build reads no vector documents");
    // A silkscreen bar across a round mask opening over a copper square: the opening as drawn,
    // the copper whole, the bar cut where it crosses the opening; the page's own colours and a
    // layer of notes are not read.
    const QByteArray svg = R"svg(<svg xmlns="http://www.w3.org/2000/svg"
        xmlns:inkscape="http://www.inkscape.org/namespaces/inkscape" width="40" height="40">
      <rect width="40" height="40" fill="#d4af37"/>
      <g inkscape:groupmode="layer" inkscape:label="F.Cu" style="display:inline">
        <rect x="4" y="4" width="32" height="32" style="fill:#ffff00"/></g>
      <g inkscape:groupmode="layer" inkscape:label="F.Mask">
        <rect x="12" y="12" width="16" height="16" fill="white"/></g>
      <g inkscape:groupmode="layer" inkscape:label="silk">
        <rect x="18" y="0" width="4" height="40" fill="url(#none)" stroke="none"/></g>
      <g inkscape:groupmode="layer" inkscape:label="Notes"><rect width="40" height="2"/></g>
    </svg>)svg";
    const kcore::Source source = kcore::Source::fromData(svg);
    QCOMPARE(source.boardLayers(), (QStringList{"F.Cu", "F.Mask", "silk"}));
    kcore::ConversionSettings c;
    c.pads.pitch = 1000.0 / 96; // a pixel of the page
    c.pads.format = kcore::PadsFormat::V94;
    c.stack.on = true;
    kcore::StackBudget budget;
    const QList<Item> items = itemsOf(stackFile(source, c, &budget));
    QMap<int, int> perLayer;
    for (const Item &i : items)
        ++perLayer[i.layer];
    QCOMPARE(perLayer.value(1), 32); // one item a row
    QCOMPARE(perLayer.value(21), 16);
    QCOMPARE(perLayer.value(26), 40 - 16);
    QCOMPARE(budget.counts[0].silkCleared, 16 * 4);
}

void TestStack::documentsAsPictures_data()
{
    QTest::addColumn<QByteArray>("body"); // of a page of 6 x 2 pixels
    QTest::addColumn<bool>("bottom");
    QTest::addColumn<QStringList>("rows"); // the picture whose stack it is
    const QByteArray layer = R"(<g inkscape:groupmode="layer" inkscape:label=")";
    // White paint: a layer is drawn in black ink whatever its paint, a page's colours as they are.
    const QByteArray ink = R"(" fill="#fff"><rect width="2" height="1"/><rect y="1" width="1"
        height="1"/>)";
    // A finish's layer on the bottom is mirrored, as the colours of a picture are.
    QTest::newRow("bottom, a layer named after a finish")
            << layer + "copper" + ink + "</g>" << true << QStringList{"cc....", "c....."};
    // Where the page is bare, the board is: no silkscreen around the gold.
    QTest::newRow("gold on a transparent page")
            << QByteArray(R"(<rect x="1" y="1" width="2" height="1" fill="#d4af37"/>)") << false
            << QStringList{"......", ".gg..."};
    // Only the page's own layers are board layers: the colours are read.
    QTest::newRow("a board layer's name on a sublayer")
            << layer + "Art" + R"(">)" + layer + "F.SilkS" + ink + "</g></g>" << false
            << QStringList{"ss....", "s....."};
    // The page outside every layer is in none of them.
    QTest::newRow("a black page under the layers")
            << R"(<rect width="6" height="2" fill="#000"/>)" + layer + "F.Cu" + ink + "</g>" << false
            << QStringList{"cc....", "c....."};
}

void TestStack::documentsAsPictures()
{
    if (!kcore::vectorSupport())
        QSKIP("this build reads no vector documents");
    QFETCH(QByteArray, body);
    QFETCH(bool, bottom);
    QFETCH(QStringList, rows);
    const QByteArray svg = R"(<svg xmlns="http://www.w3.org/2000/svg" width="6" height="2"
        xmlns:inkscape="http://www.inkscape.org/namespaces/inkscape">)"
            + body + "</svg>";
    kcore::ConversionSettings c;
    c.pads.pitch = 1000.0 / 96; // a pixel of the page
    c.pads.format = kcore::PadsFormat::V94;
    c.stack.on = true;
    c.stack.bottom = bottom;
    const QList<Item> picture
            = itemsOf(stackFile(kcore::Source::fromPicture(finishPicture(rows)), c));
    QVERIFY(!picture.isEmpty());
    QCOMPARE(itemsOf(stackFile(kcore::Source::fromData(svg), c)), picture);
}

void TestStack::fabWarningsPerLayer_data()
{
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<double>("pitch"); // mils
    QTest::addColumn<QStringList>("findings"); // copper's, the mask's, silkscreen's
    QTest::addColumn<bool>("strict"); // --strict refuses
    const QString none = QStringLiteral("0 closed gaps, 0 narrow gaps");
    // Openings 2 mil apart as drawn close the web; 6 mil apart, each grown by 2 mil, leave 2 mil
    // of it. The first web is found by both of the mask's checks and is one web.
    QTest::newRow("gold a pixel and four pixels apart")
            << QStringList{"gg.gg....gg"} << 2.0
            << QStringList{"too fine, 1 closed gap, 0 narrow gaps", "1 closed gap, 1 narrow gap",
                           none}
            << true;
    // 5 mil is copper's finest line, not silkscreen's.
    QTest::newRow("silkscreen at copper's finest line")
            << QStringList{"ss..cc"} << 5.0 << QStringList{none, none, "too fine, " + none}
            << true;
    QTest::newRow("gold alone at copper's finest line")
            << QStringList{"gg....gg"} << 5.0 << QStringList{none, none, none} << false;
}

void TestStack::fabWarningsPerLayer()
{
    QFETCH(QStringList, rows);
    QFETCH(double, pitch);
    QFETCH(QStringList, findings);
    QFETCH(bool, strict);
    kcore::ConversionSettings c;
    c.pads.pitch = pitch;
    c.stack.on = true;
    kcore::Conversion conversion;
    conversion.setSource(kcore::Source::fromPicture(finishPicture(rows)));
    conversion.setSettings(c);
    const kcore::StackFab fab = conversion.stackFabCheck(kcore::StackLimits());
    QStringList found;
    for (const kcore::StackFab::Layer &layer : fab.layers[0])
        found << (layer.lineTooFine() ? QStringLiteral("too fine, ") : QString())
                        + kcore::gapSummary(layer.spaces);
    QCOMPARE(found, findings);
    QCOMPARE(fab.hasFindings(), strict);
}

QTEST_GUILESS_MAIN(TestStack)
#include "tst_stack.moc"
