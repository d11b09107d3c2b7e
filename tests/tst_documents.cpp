// Tests of documents written by other programs, drawn onto the grid against the reference
// renderers' drawings of the same pages at the same pixel size.
#include "image/greyimage.h"
#include "image/vectordocument.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

// 0.1 mm, the pitch every page is drawn at, in mils.
static constexpr double pitch = 100 / 25.4;

// How a page drawn by kestrel differs from a reference renderer's drawing of it.
struct Difference
{
    bool sizeMatches = false;
    int differing = 0; // away from the reference's edges
    int ink = 0; // the reference's
};

// Both drawings black and white, all but the lightest grey inked, so that thin grey lines count. A
// pixel counts as differing only where the reference's 3 x 3 neighbourhood around it is all ink or
// all paper: along an edge, the two renderers' anti-aliasing may fall either side of the threshold.
static Difference compareDrawings(const QImage &ours, const QImage &reference)
{
    Difference d;
    d.sizeMatches = std::abs(ours.width() - reference.width()) <= 1
            && std::abs(ours.height() - reference.height()) <= 1;
    const QImage a = ours.convertToFormat(QImage::Format_Grayscale8);
    const QImage b = reference.convertToFormat(QImage::Format_Grayscale8);
    const auto inked
            = [](const QImage &img, int x, int y) { return img.constScanLine(y)[x] < 224; };
    for (int y = 0; y < b.height(); ++y)
        for (int x = 0; x < b.width(); ++x)
            d.ink += inked(b, x, y);
    const int w = qMin(a.width(), b.width()), h = qMin(a.height(), b.height());
    for (int y = 1; y + 1 < h; ++y) {
        for (int x = 1; x + 1 < w; ++x) {
            const bool ref = inked(b, x, y);
            if (inked(a, x, y) == ref)
                continue;
            bool uniform = true;
            for (int dy = -1; dy <= 1 && uniform; ++dy)
                for (int dx = -1; dx <= 1 && uniform; ++dx)
                    uniform = inked(b, x + dx, y + dy) == ref;
            d.differing += uniform;
        }
    }
    return d;
}

// Runs a program, true if it exited with 0; its error output goes to why.
static bool run(const QString &program, const QStringList &arguments, QString *why)
{
    QProcess p;
    p.start(program, arguments);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode()) {
        *why = program + QStringLiteral(": ") + QString::fromLocal8Bit(p.readAllStandardError())
                + p.errorString();
        return false;
    }
    return true;
}

class TestDocuments : public QObject
{
    Q_OBJECT

private slots:
    void svgMatchesRsvg_data();
    void svgMatchesRsvg();

private:
    QTemporaryDir m_dir;
};

void TestDocuments::svgMatchesRsvg_data()
{
    // A file installed by a Debian package, or a graph laid out by Graphviz's dot, its header
    // then changed as edit says: "width only", "height only" drop the other side.
    QTest::addColumn<QString>("document");
    QTest::addColumn<QString>("edit");
    const QString icons = QStringLiteral("/usr/share/icons/Adwaita/scalable/");
    for (const char *icon :
         {"legacy/preferences-system-parental-controls-symbolic.svg",
          "mimetypes/package-x-generic-symbolic.svg",
          "legacy/preferences-desktop-wallpaper-symbolic.svg",
          "actions/selection-mode-symbolic.svg", "status/weather-fog-symbolic.svg",
          "status/semi-starred-symbolic.svg", "categories/applications-science-symbolic.svg"})
        QTest::newRow(icon) << icons + QLatin1String(icon) << QString();
    // A logo of layers, 44 of them with their own opacity (vim-common); a Dia diagram with a
    // viewBox starting at 40, 80, centred labels in boxes over a layer (postgresql-common).
    QTest::newRow("gvim.svg") << QStringLiteral("/usr/share/icons/hicolor/scalable/apps/gvim.svg")
                              << QString();
    QTest::newRow("dependencies.svg")
            << QStringLiteral("/usr/share/doc/postgresql-common/dependencies.svg") << QString();
    const QString layouts = QStringLiteral("/usr/share/libwacom/layouts/");
    for (const char *layout : {"cintiq-22hd.svg", "ek-remote.svg", "cintiq-12wx.svg",
                               "mobilestudio-pro-16.svg", "bamboo-16fg-m-pt.svg"})
        QTest::newRow(layout) << layouts + QLatin1String(layout) << QString();
    const QString pipeline = QStringLiteral(
            "digraph { rankdir=LR; node [shape=box]; load -> grey -> clip -> runs -> file; "
            "grey -> \"smooth edges\" -> file }");
    const QString tree = QStringLiteral(
            "digraph { node [shape=ellipse]; core -> {image geometry board export}; "
            "app -> core; cli -> core; label=\"kestrel's layers\" }");
    const QString records = QStringLiteral(
            "digraph { node [shape=record]; a [label=\"{SVG|librsvg}\"]; b [label=\"{PDF|Qt "
            "PDF}\"]; c [label=\"grid|rows|bands\"]; a -> c; b -> c }");
    QTest::newRow("dot, pipeline") << pipeline << QStringLiteral("dot");
    QTest::newRow("dot, tree, width only") << tree << QStringLiteral("dot, width only");
    QTest::newRow("dot, pipeline, height only") << pipeline << QStringLiteral("dot, height only");
    QTest::newRow("dot, records") << records << QStringLiteral("dot");
}

void TestDocuments::svgMatchesRsvg()
{
    QFETCH(QString, document);
    QFETCH(QString, edit);
    if (!kcore::vectorSupport())
        QSKIP("this build reads no vector documents");
    QVERIFY(m_dir.isValid());
    const QString tag = QString::fromLatin1(QTest::currentDataTag())
                                .replace(QRegularExpression(QStringLiteral("[^a-z0-9]+")),
                                         QStringLiteral("-"));
    QString why;
    QString path = document;
    if (edit.startsWith(QLatin1String("dot"))) {
        const QString graph = m_dir.filePath(tag + QStringLiteral(".gv"));
        path = m_dir.filePath(tag + QStringLiteral(".svg"));
        QVERIFY(testsupport::writeFile(graph, document.toUtf8()));
        QVERIFY2(run(QStringLiteral("dot"),
                     {QStringLiteral("-Tsvg"), graph, QStringLiteral("-o"), path}, &why),
                 qPrintable(why));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QString svg = QString::fromUtf8(file.readAll());
        file.close();
        const QString drop = edit.endsWith(QLatin1String("width only")) ? QStringLiteral("height")
                : edit.endsWith(QLatin1String("height only"))           ? QStringLiteral("width")
                                                                        : QString();
        if (!drop.isEmpty()) {
            const QRegularExpression side(QStringLiteral("<svg([^>]*?)\\s") + drop
                                          + QStringLiteral("=\"[^\"]*\""));
            QVERIFY(svg.contains(side));
            svg.replace(side, QStringLiteral("<svg\\1"));
        }
        QVERIFY(testsupport::writeFile(path, svg.toUtf8()));
    }
    QVERIFY2(QFile::exists(path), qPrintable(path));
    const QString png = m_dir.filePath(tag + QStringLiteral(".png"));
    // 96 pixels to the inch to 254 pixels to the inch, the grid of 0.1 mm.
    QVERIFY2(run(QStringLiteral("rsvg-convert"),
                 {QStringLiteral("-z"), QStringLiteral("2.6458333"), QStringLiteral("-b"),
                  QStringLiteral("white"), path, QStringLiteral("-o"), png},
                 &why),
             qPrintable(why));
    // Grey as kestrel makes it from a picture: the weights of colours are not the question.
    const QImage reference = kcore::makeGrey(QImage(png).convertToFormat(QImage::Format_RGB32));
    QVERIFY(!reference.isNull());

    const auto vector = kcore::VectorDocument::open(path, 0, &why);
    QVERIFY2(vector, qPrintable(why));
    const QSize grid = kcore::vectorGrid(vector->pageMils(), 100, pitch);
    const QImage grey = kcore::makeGrey(kcore::renderVectorPage(*vector, grid, 100, pitch));
    QVERIFY(!grey.isNull());
    const Difference d = compareDrawings(grey, reference);
    qInfo("%s: %d x %d pixels (reference %d x %d), %d differ away from edges, of %d inked",
          QTest::currentDataTag(), grey.width(), grey.height(), reference.width(),
          reference.height(), d.differing, d.ink);
    QVERIFY(d.sizeMatches);
    QVERIFY(d.ink > 0);
    QVERIFY(d.differing <= 0.0005 * d.ink);
}

QTEST_MAIN(TestDocuments)
#include "tst_documents.moc"
