// Differential test: on many random pictures and settings, the fast pipeline, the converter's
// row-streaming pipeline and the written file equal those of the literal reference (per-pixel
// accessors, column-major loops, fprintf), and the fab check counts what is written.
#include "export/artworkwriter.h"
#include "image/bwimage.h"
#include "image/edgegrey.h"
#include "image/greyimage.h"
#include "literal.h"
#include "testsupport.h"

#include <QBuffer>
#include <QTest>

class TestDifferential : public QObject
{
    Q_OBJECT

private slots:
    void randomPictures_data();
    void randomPictures();
};

void TestDifferential::randomPictures_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed = 1; seed <= 300; ++seed)
        QTest::addRow("seed %u", seed) << seed;
}

void TestDifferential::randomPictures()
{
    QFETCH(quint32, seed);
    QRandomGenerator rng(seed);
    static const QImage::Format formats[] = {
            QImage::Format_RGB32,
            QImage::Format_ARGB32,
            QImage::Format_ARGB32_Premultiplied,
            QImage::Format_Indexed8,
            QImage::Format_Mono,
            QImage::Format_MonoLSB,
            QImage::Format_Grayscale8,
            QImage::Format_Grayscale16,
            QImage::Format_RGB888,
            QImage::Format_RGBA8888,
            QImage::Format_RGB16,
            QImage::Format_RGBA64,
            QImage::Format_RGBA64_Premultiplied,
            QImage::Format_Alpha8,
    };
    const QImage::Format format = formats[rng.bounded(int(std::size(formats)))];
    // Thin strips as often as blocks.
    int w = 1 + int(rng.bounded(120));
    int h = 1 + int(rng.bounded(120));
    switch (rng.bounded(4)) {
    case 0:
        w = 1;
        break;
    case 1:
        h = 1;
        break;
    default:
        break;
    }
    const QImage colour = testsupport::randomImage(rng, QSize(w, h), format);
    const int threshold = int(rng.bounded(256));
    const bool invert = rng.bounded(2);
    const int scale = 1 + int(rng.bounded(500));
    const double pitch = 1 + rng.bounded(20.0); // the widths a file can carry
    const int layer = int(rng.bounded(251));
    kcore::PadsSettings pads{pitch, layer, rng.bounded(2) == 1};
    // Every other picture with smooth edges, which take the ends from the grey levels.
    pads.smoothEdges = rng.bounded(2) == 1;
    pads.threshold = threshold;

    const QImage grey = kcore::makeGrey(colour);
    QCOMPARE(grey, literal::grey(colour));
    const QImage bw = kcore::makeBw(grey, threshold, invert, scale);
    QCOMPARE(bw, literal::bw(grey, threshold, invert, scale));
    const QImage levels = pads.smoothEdges ? kcore::edgeGrey(grey, bw.size()) : QImage();

    QBuffer file;
    file.open(QIODevice::WriteOnly);
    QVERIFY(kcore::writeArtwork(bw, pads, &file, levels).ok);
    const QByteArray expected = literal::padsBytes(bw, pitch, layer, pads.exactEnds,
                                                   pads.smoothEdges ? &levels : nullptr, threshold);
    QVERIFY(file.data() == expected);
    const kcore::FileBudget budget = kcore::countArtwork(bw, pads, levels);
    QCOMPARE(budget.bytes, expected.size());
    QCOMPARE(budget.items, expected.count("  LINES "));

    kcore::BwRows rows(colour, threshold, invert, scale);
    QCOMPARE(rows.size(), bw.size());
    QBuffer streamed;
    streamed.open(QIODevice::WriteOnly);
    const auto writer = kcore::ArtworkWriter::create(
            {rows.size(), pads, {kcore::settingsLayer(pads)}}, &streamed);
    for (int y = 0; y < rows.size().height(); ++y) {
        const quint32 *row = rows.row(y);
        std::optional<kcore::EdgeRow> edges;
        if (pads.smoothEdges) {
            const kcore::GreyLevels grey = rows.edgeLevels(y);
            edges.emplace(grey.levels, grey.step, rows.size().width(), threshold);
        }
        writer->writeRow(0, row, y, edges ? &*edges : nullptr);
    }
    QVERIFY(writer->finish().ok);
    QVERIFY(streamed.data() == expected);
}

QTEST_GUILESS_MAIN(TestDifferential)
#include "tst_differential.moc"
