// Tests of picture loading: every promised format, the size bound, and vector pages drawn onto
// the grid.
#include "image/bwimage.h"
#include "image/greyimage.h"
#include "image/picture.h"
#include "image/picturestream.h"
#include "image/vectordocument.h"
#include "testsupport.h"

#include <QColorSpace>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

class TestPicture : public QObject
{
    Q_OBJECT

private slots:
    void everyFormatLoads_data();
    void everyFormatLoads();
    void unreadableFails_data();
    void unreadableFails();
    void streamedAsDecoded_data();
    void streamedAsDecoded();
    void vectorPageOfAnyHeight_data();
    void vectorPageOfAnyHeight();
    void vectorTextEveryDrawing_data();
    void vectorTextEveryDrawing();
    void subpixelsOverPaper_data();
    void subpixelsOverPaper();

private:
    QTemporaryDir m_dir;
    bool m_madeByTools = false;
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

namespace {

// Colours that change from pixel to pixel and between neighbouring rows, so that any other
// upsampling, rounding or orientation shows; odd sizes leave partial blocks at the edges.
QImage colourful(int w, int h, QImage::Format format = QImage::Format_RGB32)
{
    QImage img(w, h, QImage::Format_ARGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y,
                         qRgba((x * 37 + y * 11) % 256, (x * 5 + y * 29) % 256, ((x ^ y) * 7) % 256,
                               format == QImage::Format_ARGB32 ? (x * 23 + y * 3) % 256 : 255));
    return img.convertToFormat(format);
}

// 16-bit channels whose low bytes matter: their rounding to 8 bits shows.
QImage wide(int w, int h)
{
    QImage img(w, h, QImage::Format_RGBA64);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixelColor(
                    x, y,
                    QColor::fromRgba64((x * 977 + y * 131) & 0xffff, (x * 3131 + y * 71) & 0xffff,
                                       (x * 59 + y * 2003) & 0xffff, (x * 4099 + y * 7) & 0xffff));
    return img;
}

// The same picture in the variants other programs write: CMYK, orientation tags, grey, a gamma,
// 16-bit grey, palettes with transparency, 1-bit bitmaps.
const char madeByPil[] = R"(
import struct, sys
from PIL import Image, PngImagePlugin
d, w, h = sys.argv[1], 67, 45
rgb = Image.new('RGB', (w, h))
px = rgb.load()
for y in range(h):
    for x in range(w):
        px[x, y] = ((x * 37 + y * 11) % 256, (x * 5 + y * 29) % 256, ((x ^ y) * 7) % 256)
rgb.convert('CMYK').save(d + '/cmyk.jpg', quality=90)
for o in range(2, 9):
    exif = Image.Exif()
    exif[0x0112] = o
    rgb.save(d + '/exif%d.jpg' % o, quality=90, exif=exif)
rgb.save(d + '/444.jpg', quality=90, subsampling=0)
rgb.save(d + '/422.jpg', quality=90, subsampling=1)
rgb.convert('L').save(d + '/grey.jpg', quality=90)
gamma = PngImagePlugin.PngInfo()
gamma.add(b'gAMA', struct.pack('>I', 45455))
rgb.save(d + '/gamma.png', pnginfo=gamma)
rgb.convert('LA').save(d + '/grey-alpha.png')
rgb.convert('1').save(d + '/mono.png')
rgb.convert('1').save(d + '/mono.bmp')
pal = rgb.quantize(64)
pal.save(d + '/palette-alpha.png', transparency=bytes((i * 4) % 256 for i in range(64)))
rgb.save(d + '/rgb-trns.png', transparency=px[3, 3])
grey = rgb.convert('L')
grey.save(d + '/grey-trns.png', transparency=grey.getpixel((3, 3)))
wide = Image.frombytes('I;16', (w, h), bytes((x * 97 + y) % 256 for y in range(h) for x in range(2 * w)))
wide.save(d + '/grey16-gamma.png', pnginfo=gamma)
wide.convert('I').save(d + '/grey16.pgm')
)";

} // namespace

void TestPicture::streamedAsDecoded_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("fallback"); // empty: streamed
    QTest::addColumn<bool>("whole"); // the window's whole decode made by the same decoder
    const QString dir = m_dir.path();
    const auto qt = [&dir](const char *name, const QImage &image, bool progressive = false,
                           const QString &text = QString()) {
        QImageWriter writer(dir + QLatin1Char('/') + QLatin1String(name));
        writer.setQuality(90);
        writer.setProgressiveScanWrite(progressive);
        if (!text.isEmpty())
            writer.setText(QStringLiteral("Title"), text);
        return writer.write(image);
    };
    QVERIFY(qt("baseline.jpg", colourful(67, 45)));
    QVERIFY(qt("progressive.jpg", colourful(67, 45), true));
    QImage placed = colourful(67, 45);
    placed.setDotsPerMeterX(11811);
    placed.setDotsPerMeterY(5906);
    placed.setOffset(QPoint(12, -5));
    QVERIFY(qt("rgb.png", placed));
    QVERIFY(qt("comment.jpg", colourful(67, 45), false, QStringLiteral("kestrel")));
    QVERIFY(qt("text.png", colourful(67, 45), false, QStringLiteral("kestrel")));
    QVERIFY(qt("rgba.png", colourful(67, 45, QImage::Format_ARGB32)));
    QVERIFY(qt("rgba16.png", wide(67, 45)));
    QVERIFY(qt("grey16.png", colourful(67, 45).convertToFormat(QImage::Format_Grayscale16)));
    QVERIFY(qt("palette.png",
               colourful(67, 45, QImage::Format_ARGB32).convertToFormat(QImage::Format_Indexed8)));
    QVERIFY(qt("24bit.bmp", colourful(67, 45)));
    QVERIFY(qt("8bit.bmp", colourful(67, 45).convertToFormat(QImage::Format_Indexed8)));
    QVERIFY(qt("picture.ppm", colourful(67, 45)));
    QVERIFY(qt("picture.pgm", colourful(67, 45)));
    QVERIFY(qt("picture.pbm", colourful(67, 45).convertToFormat(QImage::Format_Mono)));
    QFile baseline(dir + QStringLiteral("/baseline.jpg"));
    QVERIFY(baseline.open(QIODevice::ReadOnly));
    QVERIFY(testsupport::writeFile(dir + QStringLiteral("/cut.jpg"),
                                   baseline.readAll().chopped(int(baseline.size() / 3))));
    // The text chunk moved after the pixels, where a reader finds it only at the end.
    QFile texted(dir + QStringLiteral("/text.png"));
    QVERIFY(texted.open(QIODevice::ReadOnly));
    QByteArray png = texted.readAll();
    const qsizetype at = png.indexOf("tEXt") - 4;
    QVERIFY(at > 8);
    const qsizetype length = 12 + qFromBigEndian<quint32>(png.constData() + at);
    const QByteArray chunk = png.mid(at, length);
    png.remove(at, length);
    png.insert(png.size() - 12, chunk);
    QVERIFY(testsupport::writeFile(dir + QStringLiteral("/text-at-end.png"), png));
    QVERIFY(QFile::copy(dir + QStringLiteral("/rgb.png"), dir + QStringLiteral("/rgb@2x.png")));
    // 16-bit images, turned ones, those with text or a colour space, those named for a screen's
    // pixel ratio, and bitmaps are decoded for the window by the toolkit's reader.
    const QStringList whole
            = {"baseline.jpg",   "progressive.jpg",   "cut.jpg",      "rgb.png",      "rgba.png",
               "palette.png",    "cmyk.jpg",          "444.jpg",      "422.jpg",      "grey.jpg",
               "grey-alpha.png", "palette-alpha.png", "rgb-trns.png", "grey-trns.png"};
    const auto row = [&](const char *name) {
        const QString file = QLatin1String(name);
#ifdef KESTREL_ROW_DECODERS
        QTest::newRow(name) << dir + QLatin1Char('/') + file << QString() << whole.contains(file);
#else
        // A build without libjpeg and libpng (Windows) reads both whole, for the window too.
        const QString suffix = QFileInfo(file).suffix().toUpper();
        const bool ours = suffix != QLatin1String("JPG") && suffix != QLatin1String("PNG");
        QTest::newRow(name) << dir + QLatin1Char('/') + file
                            << (ours ? QString()
                                     : QStringLiteral("%1 pictures")
                                                .arg(suffix == QLatin1String("JPG")
                                                             ? QStringLiteral("JPEG")
                                                             : suffix))
                            << false;
#endif
    };
    for (const char *name :
         {"baseline.jpg", "progressive.jpg", "cut.jpg", "rgb.png", "rgba.png", "rgba16.png",
          "grey16.png", "palette.png", "24bit.bmp", "8bit.bmp", "picture.ppm", "picture.pgm",
          "picture.pbm", "comment.jpg", "text.png", "text-at-end.png", "rgb@2x.png"})
        row(name);

    // Variants only other programs write, made with them when they are installed.
    m_madeByTools = QProcess::execute(QStringLiteral("/usr/bin/python3"),
                                      {QStringLiteral("-c"), QString::fromLatin1(madeByPil), dir})
                    == 0
            && QProcess::execute(QStringLiteral("cjpeg"),
                                 {QStringLiteral("-arithmetic"), QStringLiteral("-outfile"),
                                  dir + QStringLiteral("/arithmetic.jpg"),
                                  dir + QStringLiteral("/picture.ppm")})
                    == 0;
    if (!m_madeByTools)
        return;
    for (const char *name :
         {"cmyk.jpg",     "exif2.jpg",     "exif3.jpg",        "exif4.jpg", "exif5.jpg",
          "exif6.jpg",    "exif7.jpg",     "exif8.jpg",        "444.jpg",   "422.jpg",
          "grey.jpg",     "gamma.png",     "grey-alpha.png",   "mono.png",  "palette-alpha.png",
          "rgb-trns.png", "grey-trns.png", "grey16-gamma.png", "mono.bmp",  "grey16.pgm"})
        row(name);
#ifdef KESTREL_ROW_DECODERS
    QTest::newRow("arithmetic.jpg")
            << dir + QStringLiteral("/arithmetic.jpg") << "arithmetic-coded JPEG" << false;
#else
    row("arithmetic.jpg");
#endif
}

// Every grey row streamed is the row of the grey image of the toolkit's decode of the whole file;
// what is not streamed says why.
void TestPicture::streamedAsDecoded()
{
    QFETCH(QString, file);
    QFETCH(QString, fallback);
    QFETCH(bool, whole);
    // The window's whole decode: the toolkit's image itself, or none.
    const QImage decoded = kcore::loadPicture(file);
    const QImage made = kcore::PictureStream::decodeWhole({file, {}}, 0);
    QCOMPARE(!made.isNull(), whole);
    if (whole) {
        QCOMPARE(made.format(), decoded.format());
        QCOMPARE(made.colorTable(), decoded.colorTable());
        QCOMPARE(made, decoded);
        QCOMPARE(made.dotsPerMeterX(), decoded.dotsPerMeterX());
        QCOMPARE(made.dotsPerMeterY(), decoded.dotsPerMeterY());
        QCOMPARE(made.offset(), decoded.offset());
        QCOMPARE(made.devicePixelRatio(), decoded.devicePixelRatio());
        QCOMPARE(made.colorSpace(), decoded.colorSpace());
        QCOMPARE(made.textKeys(), decoded.textKeys());
    }
    QString why;
    const std::unique_ptr<kcore::PictureStream> stream
            = kcore::PictureStream::open({file, {}}, &why);
    if (!fallback.isEmpty()) {
        QVERIFY(!stream);
        QCOMPARE(why, fallback);
        return;
    }
    QVERIFY2(stream, qPrintable(why));
    const QImage grey = kcore::makeGrey(decoded);
    QCOMPARE(stream->size(), grey.size());
    std::vector<quint32> row(size_t(grey.width()));
    for (int y = 0; y < grey.height(); ++y) {
        QVERIFY(stream->greyRow(y, row.data()));
        const auto *want = reinterpret_cast<const quint32 *>(grey.constScanLine(y));
        for (int x = 0; x < grey.width(); ++x)
            if (row[size_t(x)] != want[x])
                QFAIL(qPrintable(QStringLiteral("pixel %1, %2: %3, not %4")
                                         .arg(x)
                                         .arg(y)
                                         .arg(row[size_t(x)] & 0xff)
                                         .arg(want[x] & 0xff)));
    }
}

void TestPicture::unreadableFails_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason"); // how the sentence for the user begins
    QTest::newRow("empty") << QByteArray() << "The file is empty.";
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

void TestPicture::vectorPageOfAnyHeight_data()
{
    // The page's ink, all but a band across its middle (40 to 60 % of its height), drawn with
    // or without layers of its own, on pages of 8662 rows: drawn four times as tall they would
    // be more than cairo's largest image. Over 3072 columns a band with layers is drawn in pieces.
    // PDF pages of sizes that are not whole points, rotated or cropped, are drawn at their size
    // to the row; over 32000 columns, in pieces.
    QTest::addColumn<QString>("ink");
    QTest::addColumn<QSizeF>("pageMm");
    QTest::addColumn<QSize>("grid");
    QTest::addColumn<double>("pitch"); // mils
    // How the document is stored: "UTF-16", "gzip" (.svgz), or as UTF-8 text.
    QTest::addColumn<QString>("encoding");
    // The root element around {ink}, sized as the row says; empty: in mm, with a viewBox of mm.
    QTest::addColumn<QString>("root");
    QTest::addColumn<QByteArray>("pdf"); // the page's entries, in points; empty for SVG
    const QString rects = QStringLiteral("<rect width='{w}' height='{top}'/>"
                                         "<rect y='{bottom}' width='{w}' height='{top}'/>");
    const QString mask = QStringLiteral("<mask id='m'><rect width='{w}' height='{h}' fill='white'/>"
                                        "<rect y='{top}' width='{w}' height='{band}' fill='black'/>"
                                        "</mask><rect width='{w}' height='{h}' mask='url(#m)'/>");
    const QString opacity = QStringLiteral("<g opacity='0.9'>") + rects + QStringLiteral("</g>");
    const QString filter = QStringLiteral("<filter id='f'><feGaussianBlur stdDeviation='0.001'/>"
                                          "</filter><g filter='url(#f)'>")
            + rects + QStringLiteral("</g>");
    const QString none;
    const QByteArray nopdf;
    // An offset reaches across bands: the ink a band gets from it lies in another.
    const QString offset = QStringLiteral("<filter id='o' x='0' y='-0.5' width='1' height='2'>"
                                          "<feOffset dy='{r}'/></filter><rect width='{w}' "
                                          "height='{r}'/><g filter='url(#o)'><rect width='{w}' "
                                          "height='{near}'/><rect y='{mid}' width='{w}' "
                                          "height='{top}'/></g>");
    QTest::newRow("no layers, 8662 rows")
            << rects << QSizeF(1, 220) << QSize(40, 8662) << 1.0 << none << none << nopdf;
    QTest::newRow("mask, 8662 rows")
            << mask << QSizeF(1, 220) << QSize(40, 8662) << 1.0 << none << none << nopdf;
    QTest::newRow("group opacity, 8662 rows")
            << opacity << QSizeF(1, 220) << QSize(40, 8662) << 1.0 << none << none << nopdf;
    QTest::newRow("filter, 8662 rows")
            << filter << QSizeF(1, 220) << QSize(40, 8662) << 1.0 << none << none << nopdf;
    QTest::newRow("offset filter, 3938 rows")
            << offset << QSizeF(1, 100) << QSize(40, 3938) << 1.0 << none << none << nopdf;
    // The document's rules for groups and svg elements find only its own: 0.6 once is ink,
    // twice not.
    QTest::newRow("mask, a rule for groups, 1575 columns")
            << QStringLiteral("<style>g { opacity: 0.6 }</style><g>") + mask
                    + QStringLiteral("</g>")
            << QSizeF(40, 16) << QSize(1575, 630) << 1.0 << none << none << nopdf;
    QTest::newRow("mask, a rule for svg, 1575 columns")
            << QStringLiteral("<style>svg { opacity: 0.6 }</style>") + mask << QSizeF(40, 16)
            << QSize(1575, 630) << 1.0 << none << none << nopdf;
    QTest::newRow("mask, 3938 columns")
            << mask << QSizeF(100, 16) << QSize(3938, 630) << 1.0 << none << none << nopdf;
    // Lengths in millimetres, which the DPI would change: each piece moved by a style.
    QTest::newRow("mask in mm, 3938 columns")
            << QString(mask).replace(QLatin1String("}'"), QLatin1String("}mm'")) << QSizeF(100, 16)
            << QSize(3938, 630) << 1.0 << none
            << QStringLiteral("<svg xmlns='http://www.w3.org/2000/svg' width='{w}mm' "
                              "height='{h}mm'>{ink}</svg>")
            << nopdf;
    QTest::newRow("mask, UTF-16, 8662 rows") << mask << QSizeF(1, 220) << QSize(40, 8662) << 1.0
                                             << QStringLiteral("UTF-16") << none << nopdf;
    QTest::newRow("mask, gzipped, 8662 rows") << mask << QSizeF(1, 220) << QSize(40, 8662) << 1.0
                                              << QStringLiteral("gzip") << none << nopdf;
    // A page of whole pitches is that many pixels, its rows where the page's are.
    QTest::newRow("14 x 7 mm at 0.1 mm")
            << rects << QSizeF(14, 7) << QSize(140, 70) << 100 / 25.4 << none << none << nopdf;
    const QString root = QStringLiteral("<svg xmlns='http://www.w3.org/2000/svg' ");
    QTest::newRow("centimetres") << rects << QSizeF(50, 20) << QSize(1969, 788) << 1.0 << none
                                 << root
                    + QStringLiteral("width='5cm' height='2cm' viewBox='0 0 50 20'>{ink}</svg>")
                                 << nopdf;
    QTest::newRow("picas") << rects << QSizeF(25.4, 12.7) << QSize(1000, 500) << 1.0 << none
                           << root
                    + QStringLiteral("width='6pc' height='3pc' viewBox='0 0 25.4 12.7'>{ink}</svg>")
                           << nopdf;
    // A side left out, or a percentage, follows the other by the viewBox's proportions.
    QTest::newRow("width only, mask")
            << mask << QSizeF(40, 16) << QSize(1575, 630) << 1.0 << none
            << root + QStringLiteral("width='40mm' viewBox='0 0 {w} {h}'>{ink}</svg>") << nopdf;
    QTest::newRow("height only") << rects << QSizeF(40, 16) << QSize(1575, 630) << 1.0 << none
                                 << root
                    + QStringLiteral("height='16mm' viewBox='0 0 {w} {h}'>{ink}</svg>")
                                 << nopdf;
    QTest::newRow("width 100 %, points")
            << rects << QSizeF(25.4, 10.16) << QSize(1000, 400) << 1.0 << none
            << root
                    + QStringLiteral(
                            "width='100%' height='28.8pt' viewBox='0 0 {w} {h}'>{ink}</svg>")
            << nopdf;
    QTest::newRow("viewBox origin, mask")
            << mask << QSizeF(40, 16) << QSize(1575, 630) << 1.0 << none
            << root
                    + QStringLiteral("width='40mm' height='16mm' viewBox='-7 12.5 {w} {h}'><g "
                                     "transform='translate(-7 12.5)'>{ink}</g></svg>")
            << nopdf;
    const double mmPerPoint = 25.4 / 72, tenthMm = 3.937007874015748;
    // PDF's y runs up; turned a quarter, the page's top is the unturned page's left edge, so
    // the ink runs across x.
    const QString pdfRects = QStringLiteral("0 0 {w} {top} re 0 {bottom} {w} {top} re f");
    const QString turnedRects = QStringLiteral("0 0 {top} {w} re {bottom} 0 {top} {w} re f");
    QTest::newRow("PDF, A4") << pdfRects << QSizeF(595.276, 841.89) * mmPerPoint
                             << QSize(2101, 2971) << tenthMm << none << none
                             << QByteArray("/MediaBox[0 0 595.276 841.89]");
    QTest::newRow("PDF, crop box, rotated 90")
            << QStringLiteral("1 0 0 1 10.5 20.25 cm ") + turnedRects
            << QSizeF(85.9, 56.9) * mmPerPoint << QSize(304, 201) << tenthMm << none << none
            << QByteArray("/MediaBox[0 0 300 300]/CropBox[10.5 20.25 67.4 106.15]/Rotate 90");
    QTest::newRow("PDF, 50000 columns") << pdfRects << QSizeF(1270, 2) << QSize(50000, 79) << 1.0
                                        << none << none << QByteArray("/MediaBox[0 0 3600 5.6693]");
    QTest::newRow("PDF, rotated 270")
            << turnedRects << QSizeF(85.9, 56.9) * mmPerPoint << QSize(304, 201) << tenthMm << none
            << none << QByteArray("/MediaBox[0 0 56.9 85.9]/Rotate 270");
}

void TestPicture::vectorPageOfAnyHeight()
{
    QFETCH(QString, ink);
    QFETCH(QSizeF, pageMm);
    QFETCH(QSize, grid);
    QFETCH(double, pitch);
    QFETCH(QString, encoding);
    QFETCH(QString, root);
    QFETCH(QByteArray, pdf);
    if (!kcore::vectorSupport())
        QSKIP("this build reads no vector documents");
    const double w = pageMm.width(), h = pageMm.height();
    QString page = !pdf.isEmpty() ? ink
            : root.isEmpty()      ? QStringLiteral("<svg xmlns='http://www.w3.org/2000/svg' "
                                                        "width='{w}mm' height='{h}mm' "
                                                        "viewBox='0 0 {w} {h}'>{ink}</svg>")
                                  : root;
    page.replace(QLatin1String("{ink}"), ink);
    const double unit = pdf.isEmpty() ? 1 : 72 / 25.4; // the document's unit to the mm
    for (const auto &[name, value] : {std::pair{"{w}", w},
                                      {"{h}", h},
                                      {"{top}", 0.4 * h},
                                      {"{bottom}", 0.6 * h},
                                      {"{band}", 0.2 * h},
                                      {"{r}", 0.1 * h},
                                      {"{near}", 0.3 * h},
                                      {"{mid}", 0.5 * h}})
        page.replace(QLatin1String(name), QString::number(value * unit, 'g', 8));
    QByteArray bytes = pdf.isEmpty() ? page.toUtf8() : testsupport::pdfPage(pdf, page.toLatin1());
    if (encoding == QLatin1String("UTF-16")) {
        page.prepend(QStringLiteral("\ufeff<?xml version='1.0' encoding='UTF-16'?>"));
        bytes = QByteArray(reinterpret_cast<const char *>(page.utf16()), page.size() * 2);
    } else if (encoding == QLatin1String("gzip")) {
        QProcess gzip;
        gzip.start(QStringLiteral("gzip"), {QStringLiteral("-c")});
        gzip.write(bytes);
        gzip.closeWriteChannel();
        QVERIFY(gzip.waitForFinished() && gzip.exitCode() == 0);
        bytes = gzip.readAllStandardOutput();
        QVERIFY(bytes.startsWith("\x1f\x8b"));
    }
    QString why;
    const auto document = kcore::VectorDocument::fromData(
            bytes, pdf.isEmpty() ? kcore::VectorDocument::Svg : kcore::VectorDocument::Pdf, 0,
            &why);
    QVERIFY2(document, qPrintable(why));
    QCOMPARE(kcore::vectorGrid(document->pageMils(), 100, pitch), grid);
    const QImage grey = kcore::makeGrey(kcore::renderVectorPage(*document, grid, 100, pitch));
    QVERIFY(!grey.isNull());
    // Rows wholly inside the page's columns and clear of the band's edges by a row: all ink, or
    // none in the band.
    const double rowsPerMm = 1000 / 25.4 / pitch;
    const int columns = int(w * rowsPerMm);
    for (int y = 0; y < int(h * rowsPerMm); ++y) {
        const double top = y / rowsPerMm, bottom = (y + 1) / rowsPerMm;
        const bool clear = top > 0.4 * h + 0.1 && bottom < 0.6 * h - 0.1;
        if (!clear && !(bottom < 0.4 * h - 0.1 || top > 0.6 * h + 0.1))
            continue;
        const auto *row = reinterpret_cast<const QRgb *>(grey.constScanLine(y));
        const int dark
                = int(std::count_if(row, row + columns, [](QRgb v) { return qBlue(v) < 128; }));
        QVERIFY2(dark == (clear ? 0 : columns),
                 qPrintable(QStringLiteral("row %1: %2 of %3 columns inked")
                                    .arg(y)
                                    .arg(dark)
                                    .arg(columns)));
    }
}

void TestPicture::vectorTextEveryDrawing_data()
{
    QTest::addColumn<QString>("text");
    const QString letters = QStringLiteral("<text x='1' y='8' font-size='8'>Kg</text>");
    QTest::newRow("recorded") << letters;
    QTest::newRow("recorded, in a layer")
            << QStringLiteral("<g opacity='0.9'>") + letters + QStringLiteral("</g>");
    const QString masked = QStringLiteral("<mask id='m'><rect width='20' height='10' "
                                          "fill='white'/></mask><g mask='url(#m)'>");
    QTest::newRow("in pieces, masked") << masked + letters + QStringLiteral("</g>");
    // Measured too wide, right-aligned letters would leave the page.
    QTest::newRow("in pieces, masked, right-aligned") << masked
                    + QStringLiteral("<text x='19' y='8' font-size='8' text-anchor='end'>Kg</text>"
                                     "</g>");
}

void TestPicture::vectorTextEveryDrawing()
{
    // Text in a document is drawn each time the page is, as the window draws it again for new
    // settings, and in every band.
    QFETCH(QString, text);
    if (!kcore::vectorSupport())
        QSKIP("this build reads no vector documents");
    const QByteArray svg = (QStringLiteral("<svg xmlns='http://www.w3.org/2000/svg' width='20mm' "
                                           "height='10mm' viewBox='0 0 20 10'>")
                            + text + QStringLiteral("</svg>"))
                                   .toUtf8();
    QString why;
    const auto document = kcore::VectorDocument::fromData(svg, kcore::VectorDocument::Svg, 0, &why);
    QVERIFY2(document, qPrintable(why));
    const auto ink = [&](double pitch) {
        const QSize grid = kcore::vectorGrid(document->pageMils(), 100, pitch);
        const QImage page = kcore::renderVectorPage(*document, grid, 100, pitch);
        double sum = 0;
        for (int y = 0; y < page.height(); ++y)
            for (int x = 0; x < page.width(); ++x)
                sum += 255 - qGray(page.pixel(x, y));
        return sum / 255 * pitch * pitch; // in square mils
    };
    const double first = ink(2);
    QVERIFY2(first > 20000, qPrintable(QString::number(first)));
    QCOMPARE(ink(2), first);
    // Finer, over more bands: the same letters.
    QVERIFY2(std::abs(ink(1) / first - 1) < 0.05, qPrintable(QString::number(ink(1) / first)));
}

void TestPicture::subpixelsOverPaper_data()
{
    // Pixels drawn finer than the grid, averaged over paper: straight alpha as pdfium draws
    // them, k rows by kx columns to a pixel, or premultiplied and turned as cairo draws a page
    // transposed, k x k to a pixel. Sizes that leave pixels beyond the last block of four.
    QTest::addColumn<bool>("turned");
    QTest::addColumn<int>("k");
    QTest::addColumn<int>("kx");
    QTest::addColumn<int>("width");
    QTest::addColumn<uint>("paper");
    const uint white = kcore::whitePaper, blue = 0xff336699u;
    QTest::newRow("PDF's 8 x 2") << false << 8 << 2 << 11 << white;
    QTest::newRow("4 x 2") << false << 4 << 2 << 9 << white;
    QTest::newRow("8 x 1") << false << 8 << 1 << 7 << white;
    QTest::newRow("8 x 2 over coloured paper") << false << 8 << 2 << 6 << blue;
    QTest::newRow("3 x 3") << false << 3 << 3 << 5 << white;
    QTest::newRow("turned, drawn once") << true << 1 << 1 << 11 << white;
    QTest::newRow("turned, twice as fine") << true << 2 << 2 << 9 << white;
    QTest::newRow("turned, twice as fine, coloured paper") << true << 2 << 2 << 6 << blue;
}

void TestPicture::subpixelsOverPaper()
{
    QFETCH(bool, turned);
    QFETCH(int, k);
    QFETCH(int, kx);
    QFETCH(int, width);
    QFETCH(uint, paper);
    // Turned, the band's rows are the drawing's columns from the second on.
    const int rows = 7, first = turned ? 1 : 0;
    const QSize drawn
            = turned ? QSize((first + rows) * k, width * kx) : QSize(width * kx, rows * k);
    QImage fine(drawn, turned ? QImage::Format_ARGB32_Premultiplied : QImage::Format_ARGB32);
    QRandomGenerator rng(k * 16 + kx);
    for (int y = 0; y < fine.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(fine.scanLine(y));
        for (int x = 0; x < fine.width(); ++x) {
            // Transparent, opaque and between; in the first row of the band, four pixels left
            // blank as pdfium leaves what it does not draw, and four drawn in their last
            // subrow only; in the second, black under any alpha or opaque, as text is drawn.
            const int kind = int(rng.bounded(3));
            const int a = kind == 0 ? 0 : kind == 1 ? 255 : 1 + int(rng.bounded(254));
            const int most = turned ? a + 1 : 256;
            line[x] = !turned && x < 8 * kx && y < k - (x < 4 * kx)
                    ? 0
                    : qRgba(int(rng.bounded(most)), int(rng.bounded(most)), int(rng.bounded(most)),
                            a);
            if (!turned && y >= k && y < 2 * k && a < 255)
                line[x] = qRgba(0, 0, 0, a);
            // One among them with colour, which is not premultiplied as it is.
            if (!turned && y == 2 * k - 1 && x == 4 * kx)
                line[x] = qRgba(200, 100, 0, 128);
        }
    }
    QImage band(width, rows, QImage::Format_RGB32);
    if (turned)
        kcore::transposeOverPaper(fine, first, band, paper, k);
    else
        kcore::averageOverPaper(fine, k, kx, band, 0, paper);
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < width; ++x) {
            // Each subpixel premultiplied, rounded; their sum over paper rounded once.
            double sum[4] = {};
            for (int j = 0; j < k; ++j) {
                for (int i = 0; i < kx; ++i) {
                    const QRgb c = turned ? fine.pixel((first + y) * k + i, x * kx + j)
                                          : fine.pixel(x * kx + i, y * k + j);
                    const int a = qAlpha(c);
                    const auto premultiplied
                            = [&](int v) { return turned ? v : std::floor(v * a / 255.0 + 0.5); };
                    sum[0] += premultiplied(qRed(c));
                    sum[1] += premultiplied(qGreen(c));
                    sum[2] += premultiplied(qBlue(c));
                    sum[3] += a;
                }
            }
            const int n = k * kx;
            const auto channel = [&](double s, int p) {
                return int(std::floor((s * 255 + (255.0 * n - sum[3]) * p) / (255.0 * n) + 0.5));
            };
            const QRgb expected = qRgb(channel(sum[0], qRed(paper)), channel(sum[1], qGreen(paper)),
                                       channel(sum[2], qBlue(paper)));
            QCOMPARE(band.pixel(x, y), expected);
        }
    }
}

QTEST_GUILESS_MAIN(TestPicture)
#include "tst_picture.moc"
