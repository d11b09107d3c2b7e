// Tests of real documents: pages drawn onto the grid by kestrel against the same pages drawn by
// a renderer of their own (pdftoppm, a reference only, never linked).
#include "image/greyimage.h"
#include "image/vectordocument.h"
#include "testsupport.h"

#include <QFile>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

struct Difference
{
    qint64 away = 0; // pixels that differ where the reference is one colour all around
    qint64 ink = 0; // the reference's dark pixels
};

// Both pictures clipped at the default threshold (grey above 128 is white), then compared over
// the area they share: a pixel counts when the two differ and its 3 x 3 neighbourhood in the
// reference is all white or all dark. Along an edge the renderers' anti-aliasing puts the clip a
// pixel either way, which says nothing; away from any edge, a page drawn off by even a pixel's
// fraction of its size, or a shape missing, shows.
static Difference compareClipped(const QImage &ours, const QImage &reference)
{
    const auto dark = [](const QImage &img) {
        QImage bits(img.size(), QImage::Format_Grayscale8);
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                bits.scanLine(y)[x] = qGray(img.pixel(x, y)) <= 128;
        return bits;
    };
    const QImage a = dark(ours), b = dark(reference);
    const int w = qMin(a.width(), b.width()), h = qMin(a.height(), b.height());
    Difference d;
    for (int y = 0; y < b.height(); ++y)
        for (int x = 0; x < b.width(); ++x)
            d.ink += b.constScanLine(y)[x];
    for (int y = 1; y + 1 < h; ++y) {
        for (int x = 1; x + 1 < w; ++x) {
            const uchar v = b.constScanLine(y)[x];
            if (a.constScanLine(y)[x] == v)
                continue;
            bool uniform = true;
            for (int j = -1; j <= 1 && uniform; ++j)
                for (int i = -1; i <= 1 && uniform; ++i)
                    uniform = b.constScanLine(y + j)[x + i] == v;
            d.away += uniform;
        }
    }
    return d;
}

// 0.1 mm, pdftoppm's 254 pixels to the inch.
static constexpr double tenthMm = 1000 / 254.0;

class TestDocuments : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
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
    if (!QStandardPaths::findExecutable(QStringLiteral("rsvg-convert")).isEmpty())
        QCOMPARE(
                QProcess::execute(QStringLiteral("rsvg-convert"),
                                  {QStringLiteral("-f"), QStringLiteral("pdf"),
                                   QStringLiteral("-o"), m_dir.filePath(QStringLiteral("logo.pdf")),
                                   m_dir.filePath(QStringLiteral("logo.svg"))}),
                0);
}

void TestDocuments::pdfMatchesPdftoppm_data()
{
    // A file name alone is made in initTestCase(); pages count from 1.
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("page");
    const QString mime
            = QStringLiteral("/usr/share/doc/shared-mime-info/shared-mime-info-spec.pdf");
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
}

void TestDocuments::pdfMatchesPdftoppm()
{
    QFETCH(QString, file);
    QFETCH(int, page);
    if (!kcore::vectorSupport())
        QSKIP("this build reads no vector documents");
    if (QStandardPaths::findExecutable(QStringLiteral("pdftoppm")).isEmpty())
        QSKIP("pdftoppm (poppler-utils) is not installed");
    const QString path = file.startsWith('/') ? file : m_dir.filePath(file);
    if (!QFile::exists(path))
        QSKIP(qPrintable(path + QStringLiteral(" is not installed")));

    QString why;
    const auto document = kcore::VectorDocument::open(path, page - 1, &why);
    QVERIFY2(document, qPrintable(why));
    const QSize grid = kcore::vectorGrid(document->pageMils(), 100, tenthMm);
    const QImage ours = kcore::makeGrey(kcore::renderVectorPage(*document, grid, 100, tenthMm));
    QVERIFY(!ours.isNull());

    const QString out = m_dir.filePath(QStringLiteral("reference"));
    QCOMPARE(
            QProcess::execute(QStringLiteral("pdftoppm"),
                              {QStringLiteral("-r"), QStringLiteral("254"), QStringLiteral("-gray"),
                               QStringLiteral("-f"), QString::number(page), QStringLiteral("-l"),
                               QString::number(page), QStringLiteral("-singlefile"), path, out}),
            0);
    const QImage reference(out + QStringLiteral(".pgm"));
    QVERIFY(!reference.isNull());
    QVERIFY2(std::abs(ours.width() - reference.width()) <= 1
                     && std::abs(ours.height() - reference.height()) <= 1,
             qPrintable(QStringLiteral("%1 x %2 pixels, pdftoppm %3 x %4")
                                .arg(ours.width())
                                .arg(ours.height())
                                .arg(reference.width())
                                .arg(reference.height())));

    const Difference d = compareClipped(ours, reference);
    qInfo("%s: %d x %d pixels, %lld of ink, %lld differ away from edges (%.3f %%)",
          QTest::currentDataTag(), ours.width(), ours.height(), d.ink, d.away,
          100.0 * double(d.away) / double(qMax<qint64>(1, d.ink)));
    QVERIFY(d.ink > 1000);
    // Fonts are anti-aliased and hinted differently by the two; shapes are not.
    QVERIFY(d.away <= d.ink / 100);
}

QTEST_MAIN(TestDocuments)
#include "tst_documents.moc"
