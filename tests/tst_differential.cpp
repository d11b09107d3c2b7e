// Differential test: on many random pictures and settings, the fast pipeline and written file
// equal those of the literal reference (per-pixel accessors, column-major loops, fprintf).
#include "export/padswriter.h"
#include "image/bwimage.h"
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
    const double pitch = rng.bounded(2) ? 0.5 + rng.bounded(20.0) : -rng.bounded(10.0);
    const int layer = int(rng.bounded(251));

    const QImage grey = kcore::makeGrey(colour);
    QCOMPARE(grey, literal::grey(colour));
    const QImage bw = kcore::makeBw(grey, threshold, invert, scale);
    QCOMPARE(bw, literal::bw(grey, threshold, invert, scale));

    QBuffer file;
    file.open(QIODevice::WriteOnly);
    QCOMPARE(kcore::writePads(bw, pitch, layer, &file).status, kcore::PadsResult::Ok);
    QVERIFY(file.data() == literal::padsBytes(bw, pitch, layer));
}

QTEST_GUILESS_MAIN(TestDifferential)
#include "tst_differential.moc"
