// Files read back by real board programs: pcb-rnd loads each 9.4 file kestrel writes and saves
// its own board file, which says on which kind of layer every line landed and where; gerbv draws
// each Gerber file, and KiCad 10 (from a Debian unstable chroot, when there is one) reads and
// draws each layer of a footprint, which must be the layer's pixels.
#include "core/conversion.h"
#include "export/artworkwriter.h"
#include "export/savefile.h"
#include "geometry/layers.h"
#include "testsupport.h"

#include <QBuffer>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

using testsupport::bwFromRows;
using testsupport::finishPicture;

namespace {

// A line as pcb-rnd holds it, in nanometres, y back in the file's orientation (up).
struct BoardLine
{
    QString group; // the layer group's type words, sorted: "copper top", "doc", "bottom silk"
    qint64 x1, y1, x2, y2, thickness;
};

qint64 nanometres(const QString &text)
{
    static const QRegularExpression number(
            QStringLiteral("^(-?\\d+(?:\\.\\d+)?)(mil|mm|um|nm|cm|m|in)?$"));
    const QRegularExpressionMatch m = number.match(text.trimmed());
    if (!m.hasMatch())
        qFatal("pcb-rnd wrote a coordinate kestrel's test cannot read: %s", qPrintable(text));
    const QString unit = m.captured(2);
    const double factor = unit == "mil" ? 25400
            : unit == "mm"              ? 1e6
            : unit == "um"              ? 1e3
            : unit == "cm"              ? 1e7
            : unit == "m"               ? 1e9
            : unit == "in"              ? 25400000
                                        : 1;
    return qRound64(m.captured(1).toDouble() * factor);
}

// The lines of a pcb-rnd board file (lihata), with the type of the layer group each is on.
QList<BoardLine> boardLines(const QString &lht)
{
    const qsizetype dataAt = lht.indexOf(QLatin1String("\n ha:data {"));
    const qsizetype fontAt = lht.indexOf(QLatin1String("\n ha:font {"));
    const qsizetype stackAt = lht.indexOf(QLatin1String("\n ha:layer_stack {"));
    if (dataAt < 0 || fontAt < dataAt || stackAt < 0)
        return {};
    const QRegularExpression sizeY(QStringLiteral("ha:size \\{[^}]*?\\n\\s*y = (\\S+)"));
    const qint64 height = nanometres(sizeY.match(lht).captured(1));

    QHash<int, QString> groupTypes;
    const QRegularExpression group(
            QStringLiteral("ha:(\\d+) \\{\\s*name = [^\\n]*\\n\\s*ha:type \\{([^}]*)\\}"));
    const QRegularExpression word(QStringLiteral("(\\w+)=1"));
    for (const auto &g : group.globalMatch(lht.mid(stackAt))) {
        QStringList words;
        for (const auto &w : word.globalMatch(g.captured(2)))
            words << w.captured(1);
        words.sort();
        groupTypes.insert(g.captured(1).toInt(), words.join(' '));
    }

    QList<BoardLine> lines;
    const QRegularExpression groupLine(QStringLiteral("^\\s*group=(\\d+)\\s*$"));
    const QRegularExpression line(QStringLiteral(
            "^\\s*x1=([^;]+); y1=([^;]+); x2=([^;]+); y2=([^;]+); thickness=([^;]+);"));
    QString current;
    for (const QString &text : lht.mid(dataAt, fontAt - dataAt).split('\n')) {
        if (const auto m = groupLine.match(text); m.hasMatch()) {
            current = groupTypes.value(m.captured(1).toInt());
        } else if (const auto m = line.match(text); m.hasMatch()) {
            lines.append({current, nanometres(m.captured(1)), height - nanometres(m.captured(2)),
                          nanometres(m.captured(3)), height - nanometres(m.captured(4)),
                          nanometres(m.captured(5))});
        }
    }
    return lines;
}

// pcb-rnd's reading of a file: it loads the file and saves it as lihata, whose lines are read.
QList<BoardLine> readBack(const QString &asc, const QString &lht)
{
    QFile::remove(lht);
    QProcess pcbRnd;
    pcbRnd.start(QStringLiteral("pcb-rnd"), {QStringLiteral("--gui"), QStringLiteral("batch")});
    pcbRnd.write(QStringLiteral("LoadFrom(Layout, \"%1\")\nSaveTo(LayoutAs, \"%2\", lihata)\n")
                         .arg(asc, lht)
                         .toUtf8());
    pcbRnd.closeWriteChannel();
    if (!pcbRnd.waitForFinished(60000))
        return {};
    const QByteArray said = pcbRnd.readAllStandardOutput();
    QFile saved(lht);
    if (said.contains("IO error during load") || !saved.open(QIODevice::ReadOnly)) {
        qWarning("%s", said.constData());
        return {};
    }
    return boardLines(QString::fromUtf8(saved.readAll()));
}

// The lines found against those meant, in any order, each end and width to a nanometre: the
// reader rounds the item's origin and each corner to nanometres on its own.
void compareLines(QList<BoardLine> found, QList<BoardLine> expected)
{
    QCOMPARE(found.size(), expected.size());
    const auto byPlace = [](const BoardLine &a, const BoardLine &b) {
        return std::tie(a.group, a.y1, a.x1) > std::tie(b.group, b.y1, b.x1);
    };
    std::sort(expected.begin(), expected.end(), byPlace);
    std::sort(found.begin(), found.end(), byPlace);
    for (qsizetype i = 0; i < found.size(); ++i) {
        const BoardLine &f = found[i], &e = expected[i];
        QCOMPARE(f.group, e.group);
        for (const auto &[got, want] : {std::pair{f.x1, e.x1},
                                        {f.y1, e.y1},
                                        {f.x2, e.x2},
                                        {f.y2, e.y2},
                                        {f.thickness, e.thickness}})
            QVERIFY2(qAbs(got - want) <= 1,
                     qPrintable(QStringLiteral("line %1 (%2): pcb-rnd read %3 nm, the file meant "
                                               "%4 nm")
                                        .arg(i)
                                        .arg(f.group)
                                        .arg(got)
                                        .arg(want)));
    }
}


// The polygon files are drawn at 100 dpi, a pixel of the picture a pixel of the drawing, with
// this many pixels around the picture: a stack's mask openings reach past it.
constexpr double polygonPitch = 10; // mils
constexpr int margin = 2;

// A picture's artwork as polygon files: a single layer of the kind given, or a stack of the
// finishes (mask openings over gold grown by a whole pixel), on the side given.
struct PolygonCase
{
    QStringList rows;
    bool stack = false;
    kcore::LayerKind kind = kcore::LayerKind::TopCopper;
    bool corner = false;
    bool bottom = false;
};

kcore::Conversion polygonConversion(const PolygonCase &c, kcore::FileType type)
{
    kcore::Conversion conversion;
    conversion.setSource(kcore::Source::fromPicture(c.stack ? finishPicture(c.rows)
                                                            : bwFromRows(c.rows)));
    kcore::ConversionSettings s;
    s.pads.pitch = polygonPitch;
    s.pads.kind = c.kind;
    s.pads.type = type;
    s.pads.originCorner = c.corner;
    s.stack.on = c.stack;
    s.stack.bottom = c.bottom;
    s.stack.maskExpansionMils = polygonPitch;
    conversion.setSettings(s);
    return conversion;
}

// Writes the case's files as kestrel-convert and the window do; returns them.
QStringList writePolygons(const kcore::Conversion &conversion, const QString &path)
{
    const QStringList files = conversion.files(path);
    const kcore::WriteResult r = kcore::saveFiles(
            files, kcore::artworkName(path), [&](const kcore::Destination &out) {
                return conversion.settings().stack.on ? conversion.writeStack(out)
                                                      : conversion.write(out);
            });
    return r.ok ? files : QStringList();
}

// Each layer's pixels as the files must draw them, the margin around: the picture's white, or a
// stack's finishes, gold's openings one pixel wider all round; the bottom seen through the board.
QList<QPair<kcore::LayerKind, QImage>> expectedLayers(const PolygonCase &c)
{
    const int h = int(c.rows.size()), w = int(c.rows.first().size());
    const auto at = [&](int x, int y) {
        if (x < 0 || y < 0 || x >= w || y >= h)
            return QChar('.');
        return c.rows[y][c.bottom ? w - 1 - x : x];
    };
    const auto layer = [&](const std::function<bool(int, int)> &set) {
        QImage image(w + 2 * margin, h + 2 * margin, QImage::Format_Grayscale8);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                image.setPixel(x, y, set(x - margin, y - margin) ? qRgb(255, 255, 255) : 0);
        return image;
    };
    if (!c.stack)
        return {{c.kind, layer([&](int x, int y) { return at(x, y) == '#'; })}};
    const auto nearGold = [&](int x, int y) {
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                if (at(x + dx, y + dy) == 'g')
                    return true;
        return false;
    };
    using K = kcore::LayerKind;
    return {{c.bottom ? K::BottomCopper : K::TopCopper,
             layer([&](int x, int y) { return at(x, y) == 'c' || at(x, y) == 'g'; })},
            {c.bottom ? K::BottomMask : K::TopMask,
             layer([&](int x, int y) { return at(x, y) == 'b' || nearGold(x, y); })},
            {c.bottom ? K::BottomSilk : K::TopSilk,
             layer([&](int x, int y) { return at(x, y) == 's'; })}};
}

// KiCad's names of the layers, as the board programs spell them.
QString kicadName(kcore::LayerKind kind)
{
    using K = kcore::LayerKind;
    const QHash<K, QString> names = {{K::TopCopper, "F.Cu"},   {K::BottomCopper, "B.Cu"},
                                     {K::TopSilk, "F.SilkS"},  {K::BottomSilk, "B.SilkS"},
                                     {K::TopMask, "F.Mask"},   {K::BottomMask, "B.Mask"},
                                     {K::Documentation, "Dwgs.User"}};
    return names.value(kind);
}

// The first pixel where drawn differs from expected (both white above 127), or empty.
QString firstDifference(const QImage &drawn, const QImage &expected, QPoint offset = {})
{
    if (drawn.size() != expected.size())
        return QStringLiteral("drawn %1 x %2, should be %3 x %4")
                .arg(drawn.width())
                .arg(drawn.height())
                .arg(expected.width())
                .arg(expected.height());
    for (int y = 0; y < drawn.height(); ++y)
        for (int x = 0; x < drawn.width(); ++x)
            if ((qGray(drawn.pixel(x, y)) > 127) != (qGray(expected.pixel(x, y)) > 127))
                return QStringLiteral("pixel %1,%2 of the picture is %3")
                        .arg(x - margin + offset.x())
                        .arg(y - margin + offset.y())
                        .arg(qGray(expected.pixel(x, y)) > 127 ? "missing" : "drawn over");
    return QString();
}

bool runs(const QString &program, const QStringList &arguments, QByteArray *said = nullptr,
          const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(environment);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, arguments);
    const bool ok = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit
            && p.exitCode() == 0;
    if (said)
        *said = p.readAll();
    return ok;
}

// Where KiCad 10 runs: a Debian unstable chroot (KESTREL_KICAD_CHROOT, by default /srv/sid)
// that root can enter; empty when there is none.
QString kicadChroot()
{
    const QString root = qEnvironmentVariable("KESTREL_KICAD_CHROOT", QStringLiteral("/srv/sid"));
#ifdef Q_OS_UNIX
    if (::geteuid() == 0 && QFileInfo::exists(root + QStringLiteral("/usr/bin/kicad-cli")))
        return root;
#endif
    return QString();
}

// KiCad's drawing of one layer framed by what it draws, as its own frame takes in the whole
// footprint, its hidden texts too; false when it draws nothing. extent: in millimetres.
bool frameDrawing(const QString &svg, QRectF *extent)
{
    QFile file(svg);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QString text = QString::fromUtf8(file.readAll());
    const QRegularExpression path(QStringLiteral("\\sd=\"([^\"]*)\""));
    const QRegularExpression number(QStringLiteral("(-?[\\d.]+),(-?[\\d.]+)"));
    QRectF drawn;
    for (const auto &p : path.globalMatch(text))
        for (const auto &n : number.globalMatch(p.captured(1)))
            drawn |= QRectF(n.captured(1).toDouble(), n.captured(2).toDouble(), 1e-9, 1e-9);
    if (drawn.isNull())
        return false;
    *extent = drawn;
    text.replace(QRegularExpression(QStringLiteral("width=\"[^\"]*\" height=\"[^\"]*\" "
                                                   "viewBox=\"[^\"]*\"")),
                 QStringLiteral("width=\"%1mm\" height=\"%2mm\" viewBox=\"%3 %4 %1 %2\"")
                         .arg(drawn.width())
                         .arg(drawn.height())
                         .arg(drawn.left())
                         .arg(drawn.top()));
    file.close();
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text.toUtf8()) > 0;
}

// The corners of every fp_poly on layer in a footprint as KiCad writes it, in millimetres.
QList<QPointF> footprintCorners(const QByteArray &footprint, const QString &layer)
{
    QList<QPointF> corners;
    const QRegularExpression xy(QStringLiteral("\\(xy (-?[\\d.]+) (-?[\\d.]+)\\)"));
    for (const QString &poly : QString::fromUtf8(footprint).split(QStringLiteral("(fp_poly"))) {
        if (!poly.contains(QStringLiteral("(layer \"%1\")").arg(layer)))
            continue;
        for (const auto &m : xy.globalMatch(poly.left(poly.indexOf(QStringLiteral("(layer")))))
            corners << QPointF(m.captured(1).toDouble(), m.captured(2).toDouble());
    }
    return corners;
}

} // namespace

Q_DECLARE_METATYPE(PolygonCase)

class TestReaders : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void pcbRndPlacesEveryKind_data();
    void pcbRndPlacesEveryKind();
    void pcbRndPlacesAStack_data();
    void pcbRndPlacesAStack();
    void gerbvDrawsEveryLayer_data() { polygonCases(); }
    void gerbvDrawsEveryLayer();
    void kicadDrawsEveryLayer_data() { polygonCases(); }
    void kicadDrawsEveryLayer();

private:
    void polygonCases();
    QTemporaryDir m_dir;
};

void TestReaders::initTestCase()
{
    QVERIFY(m_dir.isValid());
    if (QStandardPaths::findExecutable(QStringLiteral("pcb-rnd")).isEmpty())
        QFAIL("pcb-rnd is not installed; scripts/install-deps installs it");
}

void TestReaders::pcbRndPlacesEveryKind_data()
{
    QTest::addColumn<int>("layer");
    QTest::addColumn<QString>("kind"); // as --layer-kind takes it
    QTest::addColumn<bool>("metric");
    QTest::addColumn<double>("pitch");
    QTest::addColumn<bool>("exactEnds");
    QTest::addColumn<QString>("group"); // where pcb-rnd must put every line
    const double mm = 1 / 0.0254;
    struct Kind
    {
        int layer;
        const char *kind;
        const char *group;
    };
    const Kind kinds[] = {
            {1, "auto", "copper top"},    {2, "auto", "bottom copper"},
            {26, "auto", "silk top"},     {29, "auto", "bottom silk"},
            {21, "auto", "mask top"},     {28, "auto", "bottom mask"},
            {19, "auto", "doc"},          {4, "bottom-copper", "bottom copper"},
            {30, "top-silk", "silk top"}, {31, "bottom-silk", "bottom silk"},
            {5, "top-mask", "mask top"},  {6, "bottom-mask", "bottom mask"},
            {3, "documentation", "doc"},
    };
    for (const Kind &k : kinds) {
        QTest::addRow("layer %d, %s, mm", k.layer, k.kind)
                << k.layer << k.kind << true << 0.0333 * mm << false << k.group;
        QTest::addRow("layer %d, %s, mils, exact ends", k.layer, k.kind)
                << k.layer << k.kind << false << 2.54 << true << k.group;
    }
}

void TestReaders::pcbRndPlacesEveryKind()
{
    QFETCH(int, layer);
    QFETCH(QString, kind);
    QFETCH(bool, metric);
    QFETCH(double, pitch);
    QFETCH(bool, exactEnds);
    QFETCH(QString, group);

    kcore::PadsSettings s;
    s.pitch = pitch;
    s.layer = layer;
    s.exactEnds = exactEnds;
    s.format = kcore::PadsFormat::V94;
    s.metric = metric;
    QVERIFY(kcore::kindFromKey(kind, &s.kind));
    // Runs of several lengths, a single pixel and a full row.
    const QImage bw = bwFromRows({"##.#..###.", "..........", "#.####.#.#", "##########"});
    const QString asc = m_dir.filePath(QStringLiteral("in.asc"));
    const QString lht = m_dir.filePath(QStringLiteral("out.lht"));
    QFile::remove(lht);
    QFile file(asc);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    const kcore::WriteResult written = kcore::writeArtwork(bw, s, &file);
    QVERIFY2(written.ok, qPrintable(written.message));
    file.close();

    const QList<BoardLine> lines = readBack(asc, lht);
    QVERIFY(!lines.isEmpty());

    // Every run is one line on a group of the kind asked for: from s·P, n·P long, at
    // (h - row)·P; with exact ends from (s + ½)·P, (n - 1)·P long but at least 1 mil.
    const double nmPerPixel = pitch * 25400;
    QList<BoardLine> expected;
    for (int y = 0; y < bw.height(); ++y) {
        kcore::forEachRun(reinterpret_cast<const quint32 *>(bw.constScanLine(y)), bw.width(),
                          [&](int s, int n) {
                              const double x = exactEnds ? (s + 0.5) * nmPerPixel : s * nmPerPixel;
                              const double length = exactEnds ? qMax((n - 1) * nmPerPixel, 25400.0)
                                                              : n * nmPerPixel;
                              const qint64 row = qRound64((bw.height() - y) * nmPerPixel);
                              expected.append({group, qRound64(x), row, qRound64(x + length), row,
                                               qRound64(nmPerPixel)});
                          });
    }
    compareLines(lines, expected);
}

void TestReaders::pcbRndPlacesAStack_data()
{
    QTest::addColumn<bool>("bottom");
    QTest::addColumn<bool>("metric");
    QTest::addColumn<double>("expansion"); // mils
    QTest::addColumn<QString>("halftone"); // the finish of a grey picture's dots, or none
    QTest::newRow("top, mm, grown") << false << true << 2.0 << QString();
    QTest::newRow("bottom, mils, mirrored") << true << false << 0.0 << QString();
    QTest::newRow("halftone, silkscreen, mm") << false << true << 2.0 << "silk";
    QTest::newRow("halftone, gold, bottom, mils, grown") << true << false << 2.0 << "gold";
    QTest::newRow("halftone, bare board, mm") << false << true << 0.0 << "bare";
}

void TestReaders::pcbRndPlacesAStack()
{
    QFETCH(bool, bottom);
    QFETCH(bool, metric);
    QFETCH(double, expansion);
    QFETCH(QString, halftone);

    // Copper under the mask, gold, bare substrate and silkscreen, apart enough that no
    // silkscreen is left off an opening.
    QStringList rows = {"gg..cc....ss", "ggb.cccc....", "..b.......ss", "ssss......s."};
    kcore::Conversion conversion;
    conversion.setSource(kcore::Source::fromPicture(finishPicture(rows)));
    kcore::ConversionSettings c;
    c.pads.pitch = metric ? 0.1 / 0.0254 : 3;
    c.pads.format = kcore::PadsFormat::V94;
    c.pads.metric = metric;
    c.stack.on = true;
    c.stack.bottom = bottom;
    c.stack.maskExpansionMils = expansion;
    if (!halftone.isEmpty()) {
        // A grey ramp as dots of one finish, the art being the halftone's own rows.
        QImage ramp(90, 40, QImage::Format_RGB32);
        for (int y = 0; y < ramp.height(); ++y)
            for (int x = 0; x < ramp.width(); ++x)
                ramp.setPixel(x, y, kcore::greyPixel(x * 255 / (ramp.width() - 1)));
        conversion.setSource(kcore::Source::fromPicture(ramp));
        c.pads.pitch = metric ? 0.05 / 0.0254 : 2;
        c.halftone.on = true;
        QVERIFY(kcore::finishFromKey(halftone, &c.stack.halftoneFinish));
        kcore::useStackLimits(&c, kcore::StackLimits());
        conversion.setSettings(c);
        QVERIFY2(conversion.screen(), qPrintable(conversion.screenProblem()));
        const std::unique_ptr<kcore::RowStream> dots
                = conversion.source().rows(conversion.settings(), conversion.screen());
        const QChar finish = halftone == "silk" ? 's' : halftone == "gold" ? 'g' : 'b';
        rows.clear();
        for (int y = 0; y < ramp.height(); ++y) {
            QString row;
            const quint32 *bits = dots->row(y);
            for (int x = 0; x < ramp.width(); ++x)
                row += (bits[x] & 0xff) ? finish : QChar('.');
            rows << row;
        }
        // Each layer within its own limits, the layers without dots holding nothing.
        QVERIFY(!conversion.stackFabCheck(kcore::StackLimits()).hasFindings());
    }
    conversion.setSettings(c);
    const QString asc = m_dir.filePath(QStringLiteral("stack.asc"));
    const QString lht = m_dir.filePath(QStringLiteral("stack.lht"));
    QFile file(asc);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    const kcore::WriteResult written = conversion.writeStack(&file);
    QVERIFY2(written.ok, qPrintable(written.message));
    file.close();

    // Each finish's runs on its layers: copper under copper and gold, gold's openings a line
    // two expansions wider, the bottom's seen through the board.
    const double nm = c.pads.pitch * 25400;
    const qint64 mask = qRound64((c.pads.pitch + 2 * expansion) * 25400);
    const int w = int(rows[0].size());
    QList<BoardLine> expected;
    const auto runs = [&](const QString &chars, const QString &group, qint64 thickness) {
        for (int y = 0; y < rows.size(); ++y) {
            QString row = rows[y];
            if (bottom)
                std::reverse(row.begin(), row.end());
            for (int x = 0; x < w;) {
                int end = x;
                while (end < w && chars.contains(row[end]))
                    ++end;
                const qint64 at = qRound64((rows.size() - y) * nm);
                if (end > x)
                    expected.append({group, qRound64(x * nm), at, qRound64(end * nm), at,
                                     thickness});
                x = std::max(end, x + 1);
            }
        }
    };
    runs(QStringLiteral("cg"), bottom ? "bottom copper" : "copper top", qRound64(nm));
    runs(QStringLiteral("g"), bottom ? "bottom mask" : "mask top", mask);
    runs(QStringLiteral("b"), bottom ? "bottom mask" : "mask top", qRound64(nm));
    runs(QStringLiteral("s"), bottom ? "bottom silk" : "silk top", qRound64(nm));
    compareLines(readBack(asc, lht), expected);
}


// An "O", a "B" and a ring around a dot: shapes with holes, as a single layer of each side and as
// stacks of both sides.
void TestReaders::polygonCases()
{
    QTest::addColumn<PolygonCase>("polygons");
    const QStringList letters = {".###...####...#####..", "#...#..#...#..#...#..",
                                 "#...#..####...#.#.#.#", "#...#..#...#..#...##.",
                                 ".###...####...#####.."};
    const QStringList finishes = {"........................", ".ggg...cccc....bbbbb....",
                                  ".g.g...c..cc...b...b..ss", ".g.g...cccc....b.b.b..s.",
                                  ".g.g...c..cc...b...b..s.", ".ggg...cccc....bbbbb..ss"};
    using K = kcore::LayerKind;
    QTest::newRow("top copper, centred") << PolygonCase{letters, false, K::TopCopper};
    QTest::newRow("bottom silkscreen, corner") << PolygonCase{letters, false, K::BottomSilk, true};
    QTest::newRow("documentation") << PolygonCase{letters, false, K::Documentation};
    QTest::newRow("stack, top, openings grown a pixel") << PolygonCase{finishes, true};
    QTest::newRow("stack, bottom, corner")
            << PolygonCase{finishes, true, K::TopCopper, true, true};
}

void TestReaders::gerbvDrawsEveryLayer()
{
    QFETCH(PolygonCase, polygons);
    if (QStandardPaths::findExecutable(QStringLiteral("gerbv")).isEmpty())
        QFAIL("gerbv is not installed; scripts/install-deps installs it");
    const kcore::Conversion conversion = polygonConversion(polygons, kcore::FileType::Gerber);
    const QStringList files = writePolygons(conversion, m_dir.filePath(QStringLiteral("art.gbr")));
    const QList<QPair<kcore::LayerKind, QImage>> layers = expectedLayers(polygons);
    QCOMPARE(files.size(), layers.size());
    // Every file drawn over the same window, the picture's lower-left corner (in inches) a margin
    // in: the layers in register.
    const QSize grid = conversion.grid();
    const double inch = polygonPitch / 1000;
    const QPointF corner = polygons.corner ? QPointF()
                                           : QPointF(-grid.width() * inch / 2,
                                                     -grid.height() * inch / 2);
    const QString origin = QStringLiteral("%1x%2").arg(corner.x() - margin * inch).arg(
            corner.y() - margin * inch);
    for (qsizetype l = 0; l < files.size(); ++l) {
        const QString png = m_dir.filePath(QStringLiteral("drawn.png"));
        QFile::remove(png);
        QByteArray said;
        QVERIFY2(runs(QStringLiteral("gerbv"),
                      {"-x", "png", "-D", "100", "-B", "0", "-O", origin, "-w",
                       QStringLiteral("%1x%2").arg(layers[l].second.width()).arg(
                               layers[l].second.height()),
                       "-b", "#000000", "-f", "#FFFFFF", "-o", png, files[l]},
                      &said),
                 said.constData());
        QVERIFY2(files[l].endsWith("-" + kicadName(layers[l].first).replace('.', '_') + ".gbr"),
                 qPrintable(files[l]));
        const QString difference = firstDifference(QImage(png), layers[l].second);
        QVERIFY2(difference.isEmpty(), qPrintable(files[l] + ": " + difference));
    }
}

void TestReaders::kicadDrawsEveryLayer()
{
    QFETCH(PolygonCase, polygons);
    const QString root = kicadChroot();
    if (root.isEmpty())
        QSKIP("no KiCad 10 in a Debian unstable chroot to run as root (see README)");
    QTemporaryDir inside(root + QStringLiteral("/tmp/kestrel-XXXXXX"));
    QVERIFY(inside.isValid());
    const QString there = inside.path().mid(root.size()); // as the chroot sees it
    QVERIFY(QDir(inside.path()).mkpath(QStringLiteral("lib.pretty")));
    QVERIFY(QDir(inside.path()).mkpath(QStringLiteral("svg")));
    const kcore::Conversion conversion = polygonConversion(polygons, kcore::FileType::KiCad);
    QCOMPARE(writePolygons(conversion, inside.filePath(QStringLiteral("lib.pretty/art.kicad_mod")))
                     .size(),
             1);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), there);
    const auto kicad = [&](const QStringList &arguments, QByteArray *said) {
        return runs(QStringLiteral("chroot"), QStringList{root, "kicad-cli"} + arguments, said,
                    environment);
    };
    // Read without a word, and written back with every polygon.
    QByteArray said;
    QVERIFY2(kicad({"fp", "upgrade", there + "/lib.pretty", "-o", there + "/up.pretty"}, &said),
             said.constData());
    QVERIFY2(said.trimmed().isEmpty(), said.constData());
    const QByteArray upgraded = [&] {
        QFile f(inside.filePath(QStringLiteral("up.pretty/art.kicad_mod")));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    QVERIFY(upgraded.contains("exclude_from_bom"));
    const QSize grid = conversion.grid();
    const double mm = polygonPitch * 0.0254;
    for (const auto &[kind, expected] : expectedLayers(polygons)) {
        const QString name = kicadName(kind);
        QVERIFY2(kicad({"fp", "export", "svg", "--layers", name, "--fp", "art",
                        "--black-and-white", "-o", there + "/svg", there + "/lib.pretty"},
                       &said),
                 said.constData());
        // The drawing framed by what it draws is the layer's extent, and drawn at the pitch
        // (dark on white) its pixels.
        QRect extent;
        for (int y = 0; y < expected.height(); ++y)
            for (int x = 0; x < expected.width(); ++x)
                if (qGray(expected.pixel(x, y)) > 127)
                    extent |= QRect(x, y, 1, 1);
        const QString svg = inside.filePath(QStringLiteral("svg/art.svg"));
        QRectF framed;
        QVERIFY2(frameDrawing(svg, &framed), qPrintable(name + ": nothing drawn"));
        QCOMPARE(qRound(framed.width() / mm * 1000), extent.width() * 1000);
        QCOMPARE(qRound(framed.height() / mm * 1000), extent.height() * 1000);
        const QString png = inside.filePath(QStringLiteral("drawn.png"));
        QVERIFY2(runs(QStringLiteral("rsvg-convert"),
                      {"-w", QString::number(extent.width()), "-h",
                       QString::number(extent.height()), "-b", "white", "-o", png, svg},
                      &said),
                 said.constData());
        QImage drawn = QImage(png).convertToFormat(QImage::Format_Grayscale8);
        drawn.invertPixels();
        const QString difference
                = firstDifference(drawn, expected.copy(extent), extent.topLeft());
        QVERIFY2(difference.isEmpty(), qPrintable(name + ": " + difference));
        // Where KiCad holds the layer: the extent's corner, from the origin the footprint has.
        const QList<QPointF> corners = footprintCorners(upgraded, name);
        QVERIFY(!corners.isEmpty());
        double left = corners.first().x(), top = corners.first().y();
        for (const QPointF &p : corners) {
            left = std::min(left, p.x());
            top = std::min(top, p.y());
        }
        const QPointF origin = polygons.corner ? QPointF(0, grid.height())
                                               : QPointF(grid.width() / 2.0, grid.height() / 2.0);
        QCOMPARE(qRound((left / mm + origin.x()) * 1000), (extent.left() - margin) * 1000);
        QCOMPARE(qRound((top / mm + origin.y()) * 1000), (extent.top() - margin) * 1000);
    }
}

QTEST_GUILESS_MAIN(TestReaders)
#include "tst_readers.moc"
