// Tests of picture loading: every promised format, and the size bound.
#include "image/bwimage.h"
#include "image/greyimage.h"
#include "image/picture.h"
#include "testsupport.h"

#include <QFile>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QTest>

class TestPicture : public QObject
{
    Q_OBJECT

private slots:
    void everyFormatLoads_data();
    void everyFormatLoads();
    void unreadableFails_data();
    void unreadableFails();

private:
    QTemporaryDir m_dir;
};

namespace {

// Black left half, white right half: survives every format, lossy JPEG included.
QImage halves(QImage::Format format)
{
    QImage img(16, 8, QImage::Format_RGB32);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            img.setPixel(x, y, x < 8 ? 0xff000000u : 0xffffffffu);
    return format == QImage::Format_RGB32 ? img : img.convertToFormat(format);
}

// A 24-bit bitmap with the 12-byte header of OS/2 1.x, which Qt reads but does not write.
QByteArray os2Bitmap(const QImage &image)
{
    const int rowBytes = (image.width() * 3 + 3) / 4 * 4;
    QByteArray bmp("BM");
    auto le = [&bmp](quint32 v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            bmp.append(char((v >> (8 * i)) & 0xff));
    };
    le(quint32(26 + rowBytes * image.height()), 4);
    le(0, 4);
    le(26, 4); // where the pixels start
    le(12, 4); // header size
    le(quint32(image.width()), 2);
    le(quint32(image.height()), 2);
    le(1, 2); // planes
    le(24, 2); // bits per pixel
    for (int y = image.height() - 1; y >= 0; --y) {
        QByteArray row(rowBytes, '\0');
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = image.pixel(x, y);
            row[3 * x] = char(qBlue(c));
            row[3 * x + 1] = char(qGreen(c));
            row[3 * x + 2] = char(qRed(c));
        }
        bmp.append(row);
    }
    return bmp;
}

} // namespace

void TestPicture::everyFormatLoads_data()
{
    QTest::addColumn<QString>("suffix");
    for (const char *s :
         {"bmp", "gif", "jpg", "jpeg", "png", "pbm", "pgm", "ppm", "tiff", "xbm", "xpm"})
        QTest::newRow(s) << QString::fromLatin1(s);
    QTest::newRow("bmp with the OS/2 header") << "os2.bmp";
}

void TestPicture::everyFormatLoads()
{
    QFETCH(QString, suffix);
    const QString path = m_dir.filePath(QStringLiteral("picture.") + suffix);
    if (suffix == QLatin1String("gif")) {
        // Qt reads GIF but does not write it.
        QVERIFY(testsupport::writeFile(path, testsupport::gifBytes(halves(QImage::Format_RGB32))));
    } else if (suffix == QLatin1String("os2.bmp")) {
        QVERIFY(testsupport::writeFile(path, os2Bitmap(halves(QImage::Format_RGB32))));
    } else {
        const bool mono = suffix == QLatin1String("pbm") || suffix == QLatin1String("xbm");
        QImageWriter writer(path);
        QVERIFY2(writer.write(halves(mono ? QImage::Format_Mono : QImage::Format_RGB32)),
                 qPrintable(writer.errorString()));
    }
    QString why;
    const QImage img = kcore::loadPicture(path, &why);
    QVERIFY2(!img.isNull(), qPrintable(why));
    QCOMPARE(img.size(), QSize(16, 8));
    const QImage bw = kcore::makeBw(kcore::makeGrey(img), 128, false, 100);
    for (int x = 0; x < 16; ++x)
        QCOMPARE(bw.pixel(x, 4), x < 8 ? 0xff000000u : 0xffffffffu);
}

void TestPicture::unreadableFails_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason"); // how the sentence for the user begins
    QTest::newRow("empty") << QByteArray() << "This is not a kind of picture";
    QTest::newRow("text") << QByteArray("this is not a picture\n")
                          << "This is not a kind of picture";
    QTest::newRow("PNG signature only")
            << QByteArray("\x89PNG\r\n\x1a\n", 8) << "The picture is damaged or incomplete";
    // Found by the fuzzer: a bitmap header claiming -2^31 columns.
    QTest::newRow("BMP of -2147483648 columns")
            << QByteArray::fromBase64(
                       "ZNNCTTIBAAAAAAAAMQAAKAAAAAwAAACAAAAAAQAYAAAAAAD8EgAA////////////"
                       "T09PT09PT0+0UG4A3A==")
                       .mid(2)
            << "The picture is 2147483648 x 16777216 pixels";
}

void TestPicture::unreadableFails()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    const QString path = m_dir.filePath(QStringLiteral("broken.png"));
    QVERIFY(testsupport::writeFile(path, bytes));
    QString why;
    QVERIFY(kcore::loadPicture(path, &why).isNull());
    QVERIFY2(why.startsWith(reason), qPrintable(why));
}

QTEST_GUILESS_MAIN(TestPicture)
#include "tst_picture.moc"
