// Files read back by a real board program: pcb-rnd loads each 9.4 file kestrel writes and saves
// its own board file, which says on which kind of layer every line landed and where.
#include "core/conversion.h"
#include "export/padswriter.h"
#include "geometry/layers.h"
#include "testsupport.h"

#include <QBuffer>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

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

} // namespace

class TestReaders : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void pcbRndPlacesEveryKind_data();
    void pcbRndPlacesEveryKind();
    void pcbRndPlacesAStack_data();
    void pcbRndPlacesAStack();

private:
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
    const kcore::PadsResult written = kcore::writePads(bw, s, &file);
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
    const kcore::PadsResult written = conversion.writeStack(&file);
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

QTEST_GUILESS_MAIN(TestReaders)
#include "tst_readers.moc"
