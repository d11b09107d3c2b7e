// Tests of documents written by other programs, drawn onto the grid against the reference
// renderers' drawings of the same pages at the same pixel size (rsvg-convert, pdftoppm: run as
// programs, never linked).
#include "image/greyimage.h"
#include "image/vectordocument.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

// 0.1 mm, the pitch every page is drawn at, in mils: rsvg-convert's 96 and pdftoppm's 254 pixels
// to the inch.
static constexpr double pitch = 100 / 25.4;

// How a page drawn by kestrel differs from a reference renderer's drawing of it.
struct Difference
{
    bool sizeMatches = false;
    qint64 differing = 0; // away from the reference's edges
    qint64 ink = 0; // the reference's
};

// Both drawings black and white, grey below inkBelow inked. A pixel counts as differing only where
// the reference's 3 x 3 neighbourhood around it is all ink or all paper: along an edge, the two
// renderers' anti-aliasing may fall either side of the threshold, which says nothing; away from
// any edge, a page drawn off by even a fraction of a pixel over its size, or a shape missing, shows.
static Difference compareDrawings(const QImage &ours, const QImage &reference, int inkBelow)
{
    Difference d;
    d.sizeMatches = std::abs(ours.width() - reference.width()) <= 1
            && std::abs(ours.height() - reference.height()) <= 1;
    const QImage a = ours.convertToFormat(QImage::Format_Grayscale8);
    const QImage b = reference.convertToFormat(QImage::Format_Grayscale8);
    const auto inked = [inkBelow](const QImage &img, int x, int y) {
        return img.constScanLine(y)[x] < inkBelow;
    };
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
    void initTestCase();
    void svgMatchesRsvg_data();
    void svgMatchesRsvg();
    void pdfMatchesPdftoppm_data();
    void pdfMatchesPdftoppm();

private:
    QTemporaryDir m_dir;
};

void TestDocuments::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // A4 from Qt's PDF writer: outlines, a thin line and text.
    QPdfWriter writer(m_dir.filePath(QStringLiteral("a4.pdf")));
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    writer.setResolution(720);
    QPainter painter(&writer);
    painter.scale(10, 10); // points
    painter.setPen(QPen(Qt::black, 6));
    painter.drawEllipse(QPointF(297.6, 300.3), 180.7, 120.2);
    painter.setPen(QPen(Qt::black, 0.5));
    painter.drawLine(QPointF(40.3, 700.1), QPointF(560.2, 640.7));
    painter.setFont(QFont(QStringLiteral("Sans"), 40));
    painter.drawText(QPointF(60.5, 560.5), QStringLiteral("Kestrel 0.1 mm"));
    painter.end();
    // The logo as cairo saves it, on a page of 113.386 x 45.354 points.
    QVERIFY(testsupport::writeFile(m_dir.filePath(QStringLiteral("logo.svg")),
                                   testsupport::logoSvg()));
    QString why;
    QVERIFY2(run(QStringLiteral("rsvg-convert"),
                 {QStringLiteral("-f"), QStringLiteral("pdf"), QStringLiteral("-o"),
                  m_dir.filePath(QStringLiteral("logo.pdf")),
                  m_dir.filePath(QStringLiteral("logo.svg"))},
                 &why),
             qPrintable(why));
    // A histogram of semi-transparent bars that touch, as matplotlib draws one (Debian's
    // python3-matplotlib, for Debian's own python3).
    const QString histogram = QStringLiteral(
            "import matplotlib\nmatplotlib.use('pdf')\nimport matplotlib.pyplot as plt\n"
            "import numpy\nvalues = numpy.random.default_rng(1).normal(size=2000)\n"
            "figure, axes = plt.subplots(figsize=(6.4, 4.8))\n"
            "axes.hist(values, bins=30, alpha=0.7)\nfigure.savefig('%1')\n")
                                      .arg(m_dir.filePath(QStringLiteral("histogram.pdf")));
    QVERIFY2(run(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), histogram}, &why),
             qPrintable(why));
}

void TestDocuments::svgMatchesRsvg_data()
{
    // A file installed by a Debian package, a graph laid out by Graphviz's dot, its header
    // then changed as edit says ("width only", "height only" drop the other side), or an SVG
    // written here; drawn at a pitch (0.1 mm unless the row says), grey below inkBelow inked.
    QTest::addColumn<QString>("document");
    QTest::addColumn<QString>("edit");
    QTest::addColumn<double>("pitchMm");
    QTest::addColumn<int>("inkBelow");
    const auto row = [](const char *name, const QString &document, const QString &edit = QString(),
                        double pitchMm = 0.1, int inkBelow = 224) {
        QTest::newRow(name) << document << edit << pitchMm << inkBelow;
    };
    const QString icons = QStringLiteral("/usr/share/icons/Adwaita/scalable/");
    for (const char *icon :
         {"legacy/preferences-system-parental-controls-symbolic.svg",
          "mimetypes/package-x-generic-symbolic.svg",
          "legacy/preferences-desktop-wallpaper-symbolic.svg",
          "actions/selection-mode-symbolic.svg", "status/weather-fog-symbolic.svg",
          "status/semi-starred-symbolic.svg", "categories/applications-science-symbolic.svg"})
        row(icon, icons + QLatin1String(icon));
    // A logo of layers, 44 of them with their own opacity (vim-common); a Dia diagram with a
    // viewBox starting at 40, 80, centred labels in boxes over a layer (postgresql-common), and
    // at 0.0833 mm its black alone, where its arrowheads' mitred corners show.
    row("gvim.svg", QStringLiteral("/usr/share/icons/hicolor/scalable/apps/gvim.svg"));
    const QString dia = QStringLiteral("/usr/share/doc/postgresql-common/dependencies.svg");
    row("dependencies.svg", dia);
    row("dependencies.svg, arrowheads, 0.0833 mm", dia, QString(), 0.0833, 129);
    const QString layouts = QStringLiteral("/usr/share/libwacom/layouts/");
    for (const char *layout : {"cintiq-22hd.svg", "ek-remote.svg", "cintiq-12wx.svg",
                               "mobilestudio-pro-16.svg", "bamboo-16fg-m-pt.svg"})
        row(layout, layouts + QLatin1String(layout));
    const QString pipeline = QStringLiteral(
            "digraph { rankdir=LR; node [shape=box]; load -> grey -> clip -> runs -> file; "
            "grey -> \"smooth edges\" -> file }");
    const QString tree = QStringLiteral(
            "digraph { node [shape=ellipse]; core -> {image geometry board export}; "
            "app -> core; cli -> core; label=\"kestrel's layers\" }");
    const QString records = QStringLiteral(
            "digraph { node [shape=record]; a [label=\"{SVG|librsvg}\"]; b [label=\"{PDF|Qt "
            "PDF}\"]; c [label=\"grid|rows|bands\"]; a -> c; b -> c }");
    row("dot, pipeline", pipeline, QStringLiteral("dot"));
    row("dot, tree, width only", tree, QStringLiteral("dot, width only"));
    row("dot, pipeline, height only", pipeline, QStringLiteral("dot, height only"));
    row("dot, records", records, QStringLiteral("dot"));
    row("blurred illustration, 208.6 x 219.4 mm", QString::fromUtf8(testsupport::blurredIllustration()),
        QStringLiteral("written"));
}

void TestDocuments::svgMatchesRsvg()
{
    QFETCH(QString, document);
    QFETCH(QString, edit);
    QFETCH(double, pitchMm);
    QFETCH(int, inkBelow);
    if (!kcore::vectorSupport())
        QSKIP("this build reads no vector documents");
    QVERIFY(m_dir.isValid());
    const QString tag = QString::fromLatin1(QTest::currentDataTag())
                                .replace(QRegularExpression(QStringLiteral("[^a-z0-9]+")),
                                         QStringLiteral("-"));
    QString why;
    QString path = document;
    if (edit == QLatin1String("written")) {
        path = m_dir.filePath(tag + QStringLiteral(".svg"));
        QVERIFY(testsupport::writeFile(path, document.toUtf8()));
    } else if (edit.startsWith(QLatin1String("dot"))) {
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
    // 96 pixels to the inch to the grid's, 254 pixels to the inch at 0.1 mm.
    QVERIFY2(run(QStringLiteral("rsvg-convert"),
                 {QStringLiteral("-z"), QString::number(25.4 / pitchMm / 96, 'g', 9),
                  QStringLiteral("-b"), QStringLiteral("white"), path, QStringLiteral("-o"), png},
                 &why),
             qPrintable(why));
    // Grey as kestrel makes it from a picture: the weights of colours are not the question.
    const QImage reference = kcore::makeGrey(QImage(png).convertToFormat(QImage::Format_RGB32));
    QVERIFY(!reference.isNull());

    const auto vector = kcore::VectorDocument::open(path, 0, &why);
    QVERIFY2(vector, qPrintable(why));
    const double mils = pitchMm / 0.0254;
    const QSize grid = kcore::vectorGrid(vector->pageMils(), 100, mils);
    const QImage grey = kcore::makeGrey(kcore::renderVectorPage(*vector, grid, 100, mils));
    QVERIFY(!grey.isNull());
    // All but the lightest grey is ink, so that thin grey lines count, unless the row says.
    const Difference d = compareDrawings(grey, reference, inkBelow);
    qInfo("%s: %d x %d pixels (reference %d x %d), %lld differ away from edges, of %lld inked",
          QTest::currentDataTag(), grey.width(), grey.height(), reference.width(),
          reference.height(), d.differing, d.ink);
    QVERIFY(d.sizeMatches);
    QVERIFY(d.ink > 0);
    QVERIFY(d.differing <= 0.0005 * d.ink);
}

void TestDocuments::pdfMatchesPdftoppm_data()
{
    // A file name alone is made in initTestCase(); pages count from 1.
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("page");
    // The one PDF shared-mime-info ships: its manual.
    const QString mimeDocs = QStringLiteral("/usr/share/doc/shared-mime-info/");
    const QStringList mimePdf = QDir(mimeDocs).entryList({QStringLiteral("*.pdf")});
    const QString mime = mimeDocs + mimePdf.value(0, QStringLiteral("missing.pdf"));
    const QString tasn = QStringLiteral("/usr/share/doc/libtasn1-doc/libtasn1.pdf");
    // pdfTeX, 609.714 x 789.041 points.
    QTest::newRow("shared-mime-info, title page") << mime << 1;
    QTest::newRow("shared-mime-info, page 4") << mime << 4;
    QTest::newRow("shared-mime-info, page 11") << mime << 11;
    // pdfTeX, US letter.
    QTest::newRow("libtasn1, title page") << tasn << 1;
    QTest::newRow("libtasn1, page 6") << tasn << 6;
    QTest::newRow("libtasn1, page 14") << tasn << 14;
    QTest::newRow("libtasn1, page 21") << tasn << 21;
    QTest::newRow("libtasn1, page 25") << tasn << 25;
    QTest::newRow("cairo, logo") << "logo.pdf" << 1;
    QTest::newRow("Qt's PDF writer, A4") << "a4.pdf" << 1;
    // matplotlib, semi-transparent bars that touch.
    QTest::newRow("matplotlib, histogram of alpha 0.7") << "histogram.pdf" << 1;
}

void TestDocuments::pdfMatchesPdftoppm()
{
    QFETCH(QString, file);
    QFETCH(int, page);
    if (!kcore::vectorSupport())
        QSKIP("this build reads no vector documents");
    const QString path = file.startsWith('/') ? file : m_dir.filePath(file);
    QVERIFY2(QFile::exists(path), qPrintable(path));

    QString why;
    const auto document = kcore::VectorDocument::open(path, page - 1, &why);
    QVERIFY2(document, qPrintable(why));
    const QSize grid = kcore::vectorGrid(document->pageMils(), 100, pitch);
    const QImage ours = kcore::makeGrey(kcore::renderVectorPage(*document, grid, 100, pitch));
    QVERIFY(!ours.isNull());

    const QString out = m_dir.filePath(QStringLiteral("reference"));
    QVERIFY2(run(QStringLiteral("pdftoppm"),
                 {QStringLiteral("-r"), QStringLiteral("254"), QStringLiteral("-gray"),
                  QStringLiteral("-f"), QString::number(page), QStringLiteral("-l"),
                  QString::number(page), QStringLiteral("-singlefile"), path, out},
                 &why),
             qPrintable(why));
    const QImage reference(out + QStringLiteral(".pgm"));
    QVERIFY(!reference.isNull());
    // Clipped at the default threshold: grey above 128 is white.
    const Difference d = compareDrawings(ours, reference, 129);
    qInfo("%s: %d x %d pixels (reference %d x %d), %lld differ away from edges, of %lld inked "
          "(%.3f %%)",
          QTest::currentDataTag(), ours.width(), ours.height(), reference.width(),
          reference.height(), d.differing, d.ink,
          100.0 * double(d.differing) / double(qMax<qint64>(1, d.ink)));
    QVERIFY(d.sizeMatches);
    QVERIFY(d.ink > 1000);
    // Fonts are anti-aliased and hinted differently by the two; shapes are not.
    QVERIFY(d.differing <= d.ink / 100);
}

QTEST_MAIN(TestDocuments)
#include "tst_documents.moc"
