// Files read back by a real board program: pcb-rnd loads each 9.4 file kestrel writes and saves
// its own board file, which says on which kind of layer every line landed and where.
#include "geometry/layers.h"
#include "export/padswriter.h"
#include "testsupport.h"

#include <QBuffer>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using testsupport::bwFromRows;

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

} // namespace

class TestReaders : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void pcbRndPlacesEveryKind_data();
    void pcbRndPlacesEveryKind();

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

    QProcess pcbRnd;
    pcbRnd.start(QStringLiteral("pcb-rnd"), {QStringLiteral("--gui"), QStringLiteral("batch")});
    pcbRnd.write(QStringLiteral("LoadFrom(Layout, \"%1\")\nSaveTo(LayoutAs, \"%2\", lihata)\n")
                         .arg(asc, lht)
                         .toUtf8());
    pcbRnd.closeWriteChannel();
    QVERIFY(pcbRnd.waitForFinished(60000));
    const QByteArray said = pcbRnd.readAllStandardOutput();
    QVERIFY2(!said.contains("IO error during load"), said.constData());
    QFile saved(lht);
    QVERIFY2(saved.open(QIODevice::ReadOnly), said.constData());
    const QList<BoardLine> lines = boardLines(QString::fromUtf8(saved.readAll()));

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
    QCOMPARE(lines.size(), expected.size());
    const auto byPlace = [](const BoardLine &a, const BoardLine &b) {
        return std::tie(a.y1, a.x1) > std::tie(b.y1, b.x1);
    };
    std::sort(expected.begin(), expected.end(), byPlace);
    QList<BoardLine> found = lines;
    std::sort(found.begin(), found.end(), byPlace);
    for (qsizetype i = 0; i < found.size(); ++i) {
        const BoardLine &f = found[i], &e = expected[i];
        QCOMPARE(f.group, e.group);
        // The reader rounds the item's origin and each corner to nanometres on its own.
        for (const auto &[got, want] : {std::pair{f.x1, e.x1},
                                        {f.y1, e.y1},
                                        {f.x2, e.x2},
                                        {f.y2, e.y2},
                                        {f.thickness, e.thickness}})
            QVERIFY2(qAbs(got - want) <= 1,
                     qPrintable(QStringLiteral("line %1: pcb-rnd read %2 nm, the file meant %3 nm")
                                        .arg(i)
                                        .arg(got)
                                        .arg(want)));
    }
}

QTEST_GUILESS_MAIN(TestReaders)
#include "tst_readers.moc"
