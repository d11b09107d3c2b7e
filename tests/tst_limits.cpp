// Tests of bad and big pictures: a generated corpus of broken files, decompression bombs,
// pictures beyond and at the size bound, and scales that would exceed it.
#include "dialogs.h"
#include "kestrel.h"
#include "testsupport.h"

#include "core/conversion.h"
#include "export/artworkwriter.h"
#include "geometry/units.h"
#include "image/bwimage.h"
#include "image/greyimage.h"
#include "image/imagealloc.h"
#include "image/picture.h"

#include <QAction>
#include <QBuffer>
#include <QCheckBox>
#include <QFile>
#include <QImageWriter>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QSettings>
#include <QSpinBox>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

namespace {

quint32 crc32(const QByteArray &data)
{
    quint32 crc = 0xffffffffu;
    for (char ch : data) {
        crc ^= quint8(ch);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void putBE(QByteArray &out, quint32 v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.append(char((v >> shift) & 0xff));
}

QByteArray pngChunk(const char *type, const QByteArray &data)
{
    QByteArray out;
    putBE(out, quint32(data.size()));
    const QByteArray body = QByteArray(type) + data;
    out.append(body);
    putBE(out, crc32(body));
    return out;
}

// A small PNG whose header claims width x height RGB pixels.
QByteArray pngBomb(quint32 width, quint32 height)
{
    QByteArray ihdr;
    putBE(ihdr, width);
    putBE(ihdr, height);
    ihdr.append("\x08\x02\x00\x00\x00", 5);
    const QByteArray idat = qCompress(QByteArray(4096, '\0')).mid(4); // zlib stream only
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", ihdr) + pngChunk("IDAT", idat)
            + pngChunk("IEND", QByteArray());
}

// A GIF whose screen and image claim 65535 x 65535 pixels, the most the format can say.
QByteArray gifBomb()
{
    QImage one(1, 1, QImage::Format_Indexed8);
    one.setColorTable({qRgb(0, 0, 0)});
    one.fill(0);
    QByteArray gif = testsupport::gifBytes(one);
    for (int at : {6, 8, 13 + 768 + 5, 13 + 768 + 7}) {
        gif[at] = char(0xff);
        gif[at + 1] = char(0xff);
    }
    return gif;
}

// A BMP header claiming 100000 x 100000 pixels at 24 bits, with almost no pixel data.
QByteArray bmpBomb()
{
    QByteArray bmp("BM", 2);
    auto le = [&bmp](quint32 v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            bmp.append(char((v >> (8 * i)) & 0xff));
    };
    le(54 + 64, 4);
    le(0, 4);
    le(54, 4);
    le(40, 4);
    le(100000, 4);
    le(100000, 4);
    le(1, 2);
    le(24, 2);
    le(0, 4);
    le(0, 4);
    le(2835, 4);
    le(2835, 4);
    le(0, 4);
    le(0, 4);
    bmp.append(QByteArray(64, '\x7f'));
    return bmp;
}

QImage testPattern(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, qRgb(x * 255 / w, y * 255 / h, (x * y) % 256));
    return img;
}

struct WindowState
{
    QString info, mils, mm, inch;
    QImage preview;
    bool operator==(const WindowState &o) const
    {
        return info == o.info && mils == o.mils && mm == o.mm && inch == o.inch
                && preview == o.preview;
    }
};

WindowState stateOf(kestrel &w)
{
    return {w.findChild<QLabel *>("lbl_info")->text(),
            w.findChild<QLabel *>("lbl_ascsizemils")->text(),
            w.findChild<QLabel *>("lbl_ascsizemm")->text(),
            w.findChild<QLabel *>("lbl_ascsizeinch")->text(),
            w.findChild<QFrame *>("mainframe")->grab().toImage()};
}

} // namespace

class TestLimits : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void corpusThroughWindow();
    void bombsFailFast_data();
    void bombsFailFast();
    void bigPictureLoadsAndConverts();
    void rowsTooLongForAnImage();
    void scaleBeyondBoundIsSteppedBack();
    void largestScaleIsAccepted_data();
    void largestScaleIsAccepted();
    void fullDiskKeepsTheOldFile_data();
    void fullDiskKeepsTheOldFile();
    void bigPictureShowsProgressAndCancels();
    void bigPictureMadeFabSafeAside();

private:
    QString write(const QString &name, const QByteArray &bytes);
    QTemporaryDir m_dir;
};

void TestLimits::initTestCase()
{
    QVERIFY(m_dir.isValid());
    kcore::allowLargePictures();
}

QString TestLimits::write(const QString &name, const QByteArray &bytes)
{
    const QString path = m_dir.filePath(name);
    if (!testsupport::writeFile(path, bytes))
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void TestLimits::corpusThroughWindow()
{
    // Every listed format, whole and cut short at several points, plus the usual junk.
    QStringList corpus;
    const QImage pattern = testPattern(64, 48);
    for (const char *suffix :
         {"bmp", "gif", "jpg", "png", "pbm", "pgm", "ppm", "tiff", "xbm", "xpm"}) {
        QByteArray bytes;
        if (qstrcmp(suffix, "gif") == 0) {
            bytes = testsupport::gifBytes(pattern);
        } else {
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            QImageWriter writer(&buffer, suffix);
            QVERIFY2(writer.write(pattern), suffix);
        }
        const qsizetype n = bytes.size();
        for (qsizetype cut : {qsizetype(1), qsizetype(10), n / 4, n / 2, n - 1, n})
            corpus << write(QStringLiteral("cut%1.%2").arg(cut).arg(QLatin1String(suffix)),
                            bytes.left(cut));
        // The right contents under the wrong name.
        corpus << write(QStringLiteral("misnamed-%1.png").arg(QLatin1String(suffix)), bytes);
    }
    corpus << write(QStringLiteral("empty.png"), QByteArray())
           << write(QStringLiteral("text.jpg"), "Just some words, not a picture.\n")
           << write(QStringLiteral("bomb.png"), pngBomb(100000, 100000))
           << write(QStringLiteral("bomb.gif"), gifBomb())
           << write(QStringLiteral("bomb.bmp"), bmpBomb());
    // Vector documents that cannot be read; a page beyond the bound opens, and is refused later.
    for (const testsupport::BadDocument &d : testsupport::badDocuments())
        if (d.exitCode == 1)
            corpus << write(QLatin1String(d.name), d.bytes);

    kestrel w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    Dialogs::setNextFileName(write(QStringLiteral("start.png"), [&] {
        QByteArray b;
        QBuffer buf(&b);
        buf.open(QIODevice::WriteOnly);
        testPattern(30, 20).save(&buf, "PNG");
        return b;
    }()));
    w.findChild<QAction *>("actionOpen")->trigger();
    w.findChild<QRadioButton *>("rb_bandw")->click();

    int loaded = 0, refused = 0;
    for (const QString &path : corpus) {
        const WindowState before = stateOf(w);
        Dialogs::reset();
        Dialogs::setNextFileName(path);
        // If the picture cannot be read, a message box says so.
        Dialogs::setNextAnswer(QMessageBox::Ok);
        w.findChild<QAction *>("actionOpen")->trigger();
        const QString message = Dialogs::last().text;
        if (message.isEmpty()) {
            ++loaded;
            QVERIFY2(w.findChild<QLabel *>("lbl_info")->text().startsWith(QLatin1String("Width=")),
                     qPrintable(path));
        } else {
            ++refused;
            QCOMPARE(message, QStringLiteral("Could not load the file as image."));
            QVERIFY2(stateOf(w) == before, qPrintable(path));
        }
    }
    qInfo("corpus: %d files loaded, %d refused", loaded, refused);
    QVERIFY(loaded >= 20); // every whole file and the misnamed ones
    QVERIFY(refused >= 15); // the junk and the bombs at least
}

void TestLimits::bombsFailFast_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("suffix");
    QTest::newRow("PNG 100000 x 100000") << pngBomb(100000, 100000) << "png";
    QTest::newRow("PNG 16385 x 16384") << pngBomb(16385, 16384) << "png";
    QTest::newRow("GIF 65535 x 65535") << gifBomb() << "gif";
    QTest::newRow("BMP 100000 x 100000") << bmpBomb() << "bmp";
}

void TestLimits::bombsFailFast()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, suffix);
    const QString path = write(QStringLiteral("bomb.") + suffix, bytes);
    QString why;
    QVERIFY(kcore::loadPicture(path, &why).isNull());
    // Refused for its size, not because the data ends early: the bound was checked before any
    // pixel was allocated or decoded.
    QVERIFY2(why.contains(QLatin1String("up to 16384 x 16384 pixels")), qPrintable(why));
}

void TestLimits::bigPictureLoadsAndConverts()
{
    // 16384 x 16384, the largest picture kestrel promises, and beyond Qt's default 128 MB limit.
    QImage big(16384, 16384, QImage::Format_Grayscale8);
    big.fill(200);
    for (int y = 0; y < big.height(); y += 64)
        std::memset(big.scanLine(y), 30, size_t(big.width()));
    const QString path = m_dir.filePath(QStringLiteral("big.png"));
    QImageWriter writer(path);
    writer.setCompression(1);
    QVERIFY(writer.write(big));
    big = QImage();

    QString why;
    const QImage loaded = kcore::loadPicture(path, &why);
    QVERIFY2(!loaded.isNull(), qPrintable(why));
    QCOMPARE(loaded.size(), QSize(16384, 16384));
    const QImage grey = kcore::makeGrey(loaded);
    QVERIFY(!grey.isNull());
    kcore::BwBuilder builder;
    QImage bw;
    QVERIFY(builder.build(grey, 128, false, 100, bw));
    QCOMPARE(bw.size(), QSize(16384, 16384));
    QCOMPARE(bw.pixel(5, 0), 0xff000000u);
    QCOMPARE(bw.pixel(5, 1), 0xffffffffu);
    QVERIFY(!builder.build(grey, 128, false, 101, bw));
}

void TestLimits::rowsTooLongForAnImage()
{
    // 100,000,000 x 1 is within the pixel bound, but a row of 32-bit pixels that long is more
    // than an image holds: refused for that reason, with no address space left behind.
#ifndef Q_OS_LINUX
    QSKIP("measures the address space through /proc/self/status");
#endif
    auto vmSizeKB = [] {
        QFile status(QStringLiteral("/proc/self/status"));
        if (status.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : status.readAll().split('\n'))
                if (line.startsWith("VmSize:"))
                    return line.mid(7).trimmed().split(' ').value(0).toLongLong();
        }
        return -1LL;
    };
    const qint64 before = vmSizeKB();
    for (int i = 0; i < 3; ++i)
        QVERIFY(kcore::allocateImage(100000000, 1, QImage::Format_RGB32).isNull());
    const qint64 grown = vmSizeKB() - before;
    QVERIFY2(before > 0 && grown < 100 * 1024, qPrintable(QString::number(grown)));
    QVERIFY(!kcore::allocateImage(67108863, 1, QImage::Format_RGB32).isNull());

    QString why;
    QVERIFY(kcore::makeGrey(QImage(100000000, 1, QImage::Format_Mono), &why).isNull());
    QCOMPARE(why,
             QStringLiteral("A row of the grey image would be 100000000 pixels wide; an image "
                            "holds rows of at most 67108863 pixels."));
}

void TestLimits::scaleBeyondBoundIsSteppedBack()
{
    // At 500 % this picture would be 16500 x 16500 pixels: just past the bound.
    QImage picture(3300, 3300, QImage::Format_Grayscale8);
    picture.fill(180);
    const QString path = m_dir.filePath(QStringLiteral("scale.png"));
    QVERIFY(picture.save(path));

    kestrel w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    Dialogs::setNextFileName(path);
    w.findChild<QAction *>("actionOpen")->trigger(); // 11 megapixels: opened off the GUI thread
    QTRY_COMPARE(w.findChild<QLabel *>("lbl_info")->text(),
                 QStringLiteral("Width=3300 Heigth=3300"));
    w.findChild<QRadioButton *>("rb_bandw")->click();
    auto *scale = w.findChild<QSpinBox *>("sb_scale");
    Dialogs::reset();
    Dialogs::setNextAnswer(QMessageBox::Ok);
    // The step back must not re-enter the scale's own slot: that would build the 268-megapixel
    // image twice and paint it twice.
    testsupport::PaintCounter counter(w.findChild<QFrame *>("mainframe"));
    scale->setValue(500);
    const QString message = Dialogs::last().text;
    QCOMPARE(counter.paints, 1);
    QVERIFY2(message.contains(QLatin1String("16500 x 16500")), qPrintable(message));
    QVERIFY2(message.contains(QLatin1String("496 %")), qPrintable(message));
    // The spin box, the image, its preview label and the size labels agree.
    QCOMPARE(scale->value(), 496);
    QCOMPARE(w.findChild<QLabel *>("lbl_info")->text(), QStringLiteral("Width=16368 Heigth=16368"));
    QCOMPARE(w.findChild<QLabel *>("lbl_ascsizemils")->text(), QStringLiteral("32736x32736 mils"));
}

void TestLimits::largestScaleIsAccepted_data()
{
    QTest::addColumn<QString>("document"); // one of the bad documents; empty: a picture
    QTest::addColumn<int>("asked");
    QTest::addColumn<int>("largest");
    // 400 % of 4096 x 4096 is 16384 x 16384, the bound itself.
    QTest::newRow("4096 x 4096 picture") << QString() << 500 << 400;
    // 14400 pt are 100000 pixels of 2 mil: 16000 x 16000 at 16 %, too many at 17 %.
    QTest::newRow("14400 pt page") << "vast.pdf" << 100 << 16;
}

void TestLimits::largestScaleIsAccepted()
{
    // The scale a refusal advises ("At most N % fits") is accepted when followed, and one more
    // percent is not. Nothing is drawn or built: the check goes by sizes.
    QFETCH(QString, document);
    QFETCH(int, asked);
    QFETCH(int, largest);
    kcore::Source source;
    if (document.isEmpty()) {
        source = kcore::Source::fromPicture(QImage(4096, 4096, QImage::Format_Mono));
    } else {
        if (!kcore::vectorSupport())
            QSKIP("this build reads no vector documents");
        for (const testsupport::BadDocument &d : testsupport::badDocuments())
            if (document == QLatin1String(d.name))
                source = kcore::Source::open(write(document, d.bytes));
    }
    QVERIFY(!source.isNull());
    kcore::ConversionSettings settings;
    settings.scalePercent = asked;
    QCOMPARE(source.largestScale(settings, asked), largest);
    for (const int scale : {largest, largest + 1}) {
        settings.scalePercent = scale;
        const kcore::WriteCheck check = kcore::checkWrite("2", kcore::UnitMils, settings, source);
        QVERIFY2(int(check.refusal)
                         == int(scale == largest ? kcore::Refusal::None
                                                 : kcore::Refusal::TooManyPixels),
                 qPrintable(QStringLiteral("at %1 %: %2").arg(scale).arg(check.why)));
    }
}

void TestLimits::fullDiskKeepsTheOldFile_data()
{
    // A checkerboard: one item per white pixel. A small file stays in the buffer that only the
    // last flush writes; a large one fails while it is written.
    QTest::addColumn<int>("side");
    QTest::addColumn<int>("limit");
    QTest::newRow("small file, no byte fits") << 4 << 0;
    QTest::newRow("small file, part fits") << 20 << 1024;
    QTest::newRow("large file") << 200 << 64 * 1024;
}

void TestLimits::fullDiskKeepsTheOldFile()
{
    QFETCH(int, side);
    QFETCH(int, limit);
    const QString in = m_dir.filePath(QStringLiteral("board.png"));
    QVERIFY(testsupport::checkerboard(side, side).save(in));
    QDir outDir(m_dir.filePath(QStringLiteral("full")));
    QVERIFY(outDir.mkpath(QStringLiteral(".")));
    const QString out = outDir.filePath(QStringLiteral("board.asc"));
    const QByteArray old = "the file from yesterday\n";
    QVERIFY(testsupport::writeFile(out, old));

    kestrel w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    Dialogs::setNextFileName(in);
    w.findChild<QAction *>("actionOpen")->trigger();

#ifndef Q_OS_UNIX
    QSKIP("a full disk is made with RLIMIT_FSIZE");
#else
    // Files may grow to the limit only, as on a nearly full disk; this holds even for root.
    struct rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = rlim_t(limit);
    signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    Dialogs::reset();
    Dialogs::setNextFileName(out);
    Dialogs::setNextAnswer(QMessageBox::Ok);
    QTest::mouseClick(w.findChild<QPushButton *>("pb_generate"), Qt::LeftButton);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &saved), 0);
    const QString message = Dialogs::last().text;

    QVERIFY2(message.startsWith(QStringLiteral("Could not write the file ") + out)
                     && message.contains(QLatin1String("File too large")),
             qPrintable(message));
    QFile f(out);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), old);
    // No half-written file is left beside it either.
    QCOMPARE(outDir.entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("board.asc")});
#endif
}

void TestLimits::bigPictureShowsProgressAndCancels()
{
    // Nine megapixels, one item per white pixel: long enough work to show and to cancel.
    const QString in = m_dir.filePath(QStringLiteral("big.png"));
    QVERIFY(testsupport::checkerboard(3000, 3000).save(in));
    const QString out = m_dir.filePath(QStringLiteral("big.asc"));
    const QByteArray old = "the file from yesterday\n";
    QVERIFY(testsupport::writeFile(out, old));
    const auto isProgress = [](QWidget *m) { return qobject_cast<QProgressDialog *>(m); };

    // The window keeps handling events meanwhile: nothing waits on the GUI thread.
    kestrel w;
    w.show();
    QString opening;
    const auto openWatch = testsupport::onNextModal(
            [&opening](QWidget *m) { opening = static_cast<QProgressDialog *>(m)->labelText(); },
            10000, isProgress);
    Dialogs::setNextFileName(in);
    w.findChild<QAction *>("actionOpen")->trigger();
    QTRY_COMPARE(opening, QStringLiteral("Opening big.png"));
    QTRY_COMPARE(w.findChild<QLabel *>("lbl_info")->text(),
                 QStringLiteral("Width=3000 Heigth=3000"));
    QTRY_VERIFY(!QApplication::activeModalWidget());

    QString writing;
    const auto writeWatch = testsupport::onNextModal(
            [&writing](QWidget *m) {
                auto *progress = static_cast<QProgressDialog *>(m);
                writing = progress->labelText();
                QTest::mouseClick(progress->findChild<QPushButton *>(), Qt::LeftButton);
            },
            10000, isProgress);
    Dialogs::setNextFileName(out);
    QTest::mouseClick(w.findChild<QPushButton *>("pb_generate"), Qt::LeftButton);
    QTRY_COMPARE(writing, QStringLiteral("Writing big.asc"));
    QTRY_VERIFY2(w.statusBar()->currentMessage().startsWith(QLatin1String("Cancelled")),
                 qPrintable(w.statusBar()->currentMessage()));
    QFile f(out);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), old);
    QVERIFY(!QApplication::activeModalWidget());
}

void TestLimits::bigPictureMadeFabSafeAside()
{
    // Nine megapixels of blocks a hairline apart: seconds of fab-safe work, off the GUI thread.
    QImage picture(3000, 3000, QImage::Format_RGB32);
    picture.fill(Qt::black);
    QPainter paint(&picture);
    for (int y = 0; y < 3000; y += 100)
        for (int x = 0; x < 3000; x += 100) {
            paint.fillRect(x, y, 49, 90, Qt::white);
            paint.fillRect(x + 50, y, 40, 90, Qt::white);
        }
    paint.end();
    const QString in = m_dir.filePath(QStringLiteral("hairlines.png"));
    QVERIFY(picture.save(in));
    const QString out = m_dir.filePath(QStringLiteral("hairlines.asc"));
    QFile::remove(out);
    // The box is remembered: the other tests, of this run and the next, start without it.
    const auto forget = qScopeGuard([] { QSettings().remove(QStringLiteral("board/fabSafe")); });

    kestrel w;
    w.show();
    Dialogs::setNextFileName(in);
    w.findChild<QAction *>("actionOpen")->trigger();
    QTRY_COMPARE(w.findChild<QLabel *>("lbl_info")->text(),
                 QStringLiteral("Width=3000 Heigth=3000"));
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QTest::mouseClick(w.findChild<QRadioButton *>("rb_bandw"), Qt::LeftButton);
    QTest::mouseClick(w.findChild<QCheckBox *>("cb_fabsafe"), Qt::LeftButton);
    // Made aside: the window answers meanwhile, and Generate waits for the art.
    QCOMPARE(w.statusBar()->currentMessage(), QStringLiteral("Making the art fab-safe\u2026"));
    Dialogs::setNextFileName(out);
    QTest::mouseClick(w.findChild<QPushButton *>("pb_generate"), Qt::LeftButton);
    QVERIFY(!QFile::exists(out));
    QTRY_VERIFY_WITH_TIMEOUT(w.statusBar()->currentMessage().startsWith(QLatin1String("Wrote")),
                             60000);
    QTRY_COMPARE(w.findChild<QLabel *>("lbl_gaps")->text(),
                 QStringLiteral("0 closed gaps, 0 narrow gaps"));
    // In each of the 900 tiles' 90 rows the hairline opens by a pixel off either block.
    QCOMPARE(w.findChild<QLabel *>("lbl_fabsafe")->text(),
             QStringLiteral("fab-safe: 162,000 pixels removed, 0 added, 81,000 gaps opened"));
    // The file kestrel-convert writes, made from its rows.
    kcore::Conversion rows;
    rows.setSource(kcore::Source::open(in));
    kcore::ConversionSettings c;
    c.fabSafe.on = true;
    rows.setSettings(c);
    QVERIFY(rows.makeFabSafe());
    QBuffer file;
    file.open(QIODevice::WriteOnly);
    QVERIFY(rows.write(&file).ok);
    QFile written(out);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QVERIFY(written.readAll() == file.data());
}

QTEST_MAIN(TestLimits)
#include "tst_limits.moc"
