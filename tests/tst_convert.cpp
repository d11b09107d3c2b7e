// Tests of kestrel-convert, run as a separate process: the same bytes and the same fab check as
// the window's Generate, every error with its exit code, and nothing written or touched when it
// fails.
#include "board/spacecheck.h"
#include "dialogs.h"
#include "geometry/layers.h"
#include "image/greyimage.h"
#include "image/vectordocument.h"
#include "kestrel.h"
#include "literal.h"
#include "testsupport.h"

#include <QAction>
#include <QBuffer>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSlider>
#include <QSpinBox>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

struct Run
{
    int code = -1;
    QByteArray out;
    QByteArray err;
};

// Runs the converter with input on its standard input; with a limit, the files it writes may
// grow to that many bytes only, as on a nearly full disk (and the signal the system sends at the
// limit is ignored, so writes fail).
Run convert(const QStringList &args, qint64 fileSizeLimit = -1, const QByteArray &input = {})
{
    QProcess p;
#ifdef Q_OS_UNIX
    if (fileSizeLimit >= 0)
        p.setChildProcessModifier([fileSizeLimit] {
            ::signal(SIGXFSZ, SIG_IGN);
            const struct rlimit limit = {rlim_t(fileSizeLimit), rlim_t(fileSizeLimit)};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        });
#else
    Q_UNUSED(fileSizeLimit);
#endif
    p.start(QStringLiteral(KESTREL_CONVERT), args);
    p.write(input);
    p.closeWriteChannel();
    Run r;
    if (!p.waitForFinished(60000)) {
        // Said in the log, where a code of -1 alone would not tell a hang from a failed start.
        const bool started = p.state() != QProcess::NotRunning;
        qWarning("kestrel-convert %s: %s", qPrintable(args.join(QLatin1Char(' '))),
                 started ? "still running after 60 s, stopped"
                         : qPrintable(QStringLiteral("did not start: ") + p.errorString()));
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
#ifdef Q_OS_WIN
    // Messages go through the console's text mode; the board file on stdout does not.
    r.err.replace("\r\n", "\n");
#endif
    return r;
}

// A copy of file in a new folder that takes new entries but lets none be replaced or removed, as
// a shared folder may (root is bound by it too); empty where no folder can be made so.
QString lockedFile(const QString &file)
{
    const QString dir = QFileInfo(file).path() + "/locked";
    const QString copy = dir + "/" + QFileInfo(file).fileName();
    QDir().mkpath(dir);
    QFile::remove(copy);
    if (!QFile::copy(file, copy) || QProcess::execute("chattr", {"+a", dir}) != 0)
        return QString();
    return copy;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QString budgetText(const QByteArray &file)
{
    QLocale grouped = QLocale::c();
    grouped.setNumberOptions({});
    return QStringLiteral("%1 items, %2 bytes")
            .arg(grouped.toString(file.count("\r\nOPEN ")), grouped.toString(file.size()));
}

// A JPEG whose EXIF orientation tag says: turn 90 degrees clockwise to view (a phone held upright).
QByteArray jpegTurnedOnItsSide(const QImage &stored)
{
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    stored.save(&buffer, "JPEG", 100);
    // APP1: "Exif\0\0", a little-endian TIFF header, one IFD entry: Orientation (0x0112) = 6.
    const QByteArray tiff = QByteArray("II*\0\x08\0\0\0", 8)
            + QByteArray("\x01\0"
                         "\x12\x01\x03\0\x01\0\0\0\x06\0\0\0"
                         "\0\0\0\0",
                         18);
    const QByteArray body = QByteArray("Exif\0\0", 6) + tiff;
    QByteArray app1("\xff\xe1", 2);
    app1.append(char((body.size() + 2) >> 8)).append(char((body.size() + 2) & 0xff)).append(body);
    return jpeg.left(2) + app1 + jpeg.mid(2);
}

QImage photo(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, qRgb((x * 5 + y) % 256, (y * 3) % 256, (x ^ y) % 256));
    return img;
}

} // namespace

class TestConvert : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sameBytesAsWindow_data();
    void sameBytesAsWindow();
    void standardOutput();
    void batch_data();
    void batch();
    void summary();
    void warnings_data();
    void warnings();
    void errors_data();
    void errors();
    void outputIsThePicture_data();
    void outputIsThePicture();
    void helpAndVersion();
    void standardOutputFull();
    void deviceOutputStaysADevice();
    void transparencyIsWhite();
    void orientationTagIsFollowed();

private:
    QTemporaryDir m_dir;
    QString m_picture;
    QString m_gaps; // letters one and two pixels apart, and rows a blank row apart
};

void TestConvert::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_picture = m_dir.filePath(QStringLiteral("photo.png"));
    QVERIFY(photo(61, 29).save(m_picture));
    m_gaps = m_dir.filePath(QStringLiteral("gaps.png"));
    QVERIFY(testsupport::bwFromRows({"##.##..##...#.#.#.#.....", "##.##..##...#.#.#.#.....",
                                     "........................", "#######.#######.#######.",
                                     "#.....#.#.....#.#.......", "#######.#######.#######.",
                                     "........................", "##..##..##..##..##..##..",
                                     "##..##..##..##..##..##.."})
                    .save(m_gaps));
    QVERIFY(testsupport::writeFile(m_dir.filePath(QStringLiteral("logo.svg")),
                                   testsupport::logoSvg()));
    QVERIFY(testsupport::writeFile(m_dir.filePath(QStringLiteral("logo.pdf")),
                                   testsupport::logoPdf()));
    for (const testsupport::BadDocument &d : testsupport::badDocuments())
        QVERIFY(testsupport::writeFile(m_dir.filePath(QLatin1String(d.name)), d.bytes));
    // One item for every other pixel: well over a megabyte of board file.
    QVERIFY(testsupport::checkerboard(200, 200).save(m_dir.filePath(QStringLiteral("board.png"))));
    QImage one(1, 1, QImage::Format_RGB32);
    one.fill(Qt::white);
    QVERIFY(one.save(m_dir.filePath(QStringLiteral("one.pbm"))));
    QVERIFY(QFile::copy(m_picture, m_dir.filePath(QStringLiteral("photo.v1.png"))));
    QVERIFY(QFile::copy(m_gaps, m_dir.filePath(QStringLiteral("photo.v2.png"))));
    // Pictures whose file holds nothing, or all copper, or colours no palette colour is near.
    QImage black(20, 10, QImage::Format_RGB32), green(20, 10, QImage::Format_RGB32);
    black.fill(Qt::black);
    green.fill(qRgb(0x0b, 0x3d, 0x1e));
    QVERIFY(black.save(m_dir.filePath(QStringLiteral("black.png"))));
    QVERIFY(green.save(m_dir.filePath(QStringLiteral("green.png"))));
    QImage darks(20, 10, QImage::Format_RGB32), red(40, 24, QImage::Format_RGB32);
    for (int y = 0; y < darks.height(); ++y)
        for (int x = 0; x < darks.width(); ++x)
            darks.setPixel(x, y, x < 10 ? qRgb(255, 0, 0) : qRgb(0, 0, 255)); // greys 87 and 39
    QVERIFY(darks.save(m_dir.filePath(QStringLiteral("darks.png"))));
    red.fill(qRgb(0x0b, 0x3d, 0x1e));
    for (int y = 8; y < 16; ++y)
        for (int x = 20; x < 30; ++x)
            red.setPixel(x, y, qRgb(0xe0, 0x18, 0x18));
    QVERIFY(red.save(m_dir.filePath(QStringLiteral("red.png"))));
    const QByteArray png = readFile(m_picture);
    QVERIFY(testsupport::writeFile(m_dir.filePath(QStringLiteral("cut.png")),
                                   png.left(png.size() / 2)));
#ifdef Q_OS_UNIX
    // On Windows QFile::link makes a shortcut (.lnk), which is a file of its own, not a link.
    QVERIFY(QFile::link(m_picture, m_dir.filePath(QStringLiteral("symlink.png"))));
    QVERIFY(::link(QFile::encodeName(m_picture).constData(),
                   QFile::encodeName(m_dir.filePath(QStringLiteral("hardlink.png"))).constData())
            == 0);
#endif
}

void TestConvert::sameBytesAsWindow_data()
{
    QTest::addColumn<int>("threshold");
    QTest::addColumn<bool>("invert");
    QTest::addColumn<int>("scale");
    QTest::addColumn<QString>("width");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<int>("layer");
    QTest::addColumn<bool>("exactEnds");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("kind"); // as --layer-kind takes it
    QTest::addColumn<QString>("source"); // "photo", "gaps" (letters close together), a logo
    QTest::addColumn<bool>("smoothEdges");
    QTest::addColumn<bool>("halftone");
    QTest::addColumn<bool>("fabSafe"); // and --strict, which it must pass
    QTest::newRow("defaults") << 128 << false << 100 << "2"
                              << "mils" << 19 << false << "2.0"
                              << "auto" << "photo" << false << false << false;
    QTest::newRow("gaps, defaults") << 128 << false << 100 << "2"
                                    << "mils" << 19 << false << "2.0"
                                    << "auto" << "gaps" << false << false << false;
    QTest::newRow("gaps, 150 %, 3 mil, exact ends") << 128 << false << 150 << "3"
                                                    << "mils" << 19 << true << "2.0"
                                                    << "auto" << "gaps" << false << false << false;
    QTest::newRow("gaps, 9.4, 0.1 mm, 57 %") << 128 << false << 57 << "0.1"
                                             << "mm" << 26 << false << "9.4"
                                             << "auto" << "gaps" << false << false << false;
    QTest::newRow("0.2 mm on layer 26") << 90 << false << 100 << "0.2"
                                        << "mm" << 26 << false << "2.0"
                                        << "auto" << "photo" << false << false << false;
    QTest::newRow("inverted, 57 %, inches") << 200 << true << 57 << "0.005"
                                            << "inch" << 1 << false << "2.0"
                                            << "auto" << "photo" << false << false << false;
    QTest::newRow("blanks around the width, 250 %") << 10 << false << 250 << "  7.5 "
                                                    << "mils" << 250 << false << "2.0"
                                                    << "auto" << "photo" << false << false << false;
    QTest::newRow("exact ends, 0.06 mm, 33 %") << 128 << false << 33 << "0.06"
                                               << "mm" << 3 << true << "2.0"
                                               << "auto" << "photo" << false << false << false;
    QTest::newRow("9.4, 0.0333 mm, bottom copper on 4") << 128 << false << 100 << "0.0333"
                                                        << "mm" << 4 << false << "9.4"
                                                        << "bottom-copper" << "photo" << false << false << false;
    QTest::newRow("9.4, mils, 150 %") << 128 << false << 150 << "3"
                                      << "mils" << 19 << false << "9.4"
                                      << "auto" << "photo" << false << false << false;
    QTest::newRow("9.4, inches, exact ends, top silk") << 100 << true << 80 << "0.0045"
                                                       << "inch" << 26 << true << "9.4"
                                                       << "auto" << "photo" << false << false << false;
    // The converter resamples a row or two of grey at a time, the window the whole image.
    QTest::newRow("smooth edges, 9.4, inverted, 57 %") << 150 << true << 57 << "0.2"
                                                       << "mm" << 1 << false << "9.4"
                                                       << "auto" << "photo" << true << false << false;
    QTest::newRow("smooth edges over exact ends, 250 %") << 100 << false << 250 << "3"
                                                         << "mils" << 19 << true << "2.0"
                                                         << "auto" << "photo" << true << false << false;
    // A logo with a CSS class, a transform, a clip path and a mask, and the same shapes as a PDF:
    // the window draws the whole page, the converter a band at a time.
    QTest::newRow("svg, 9.4, 0.1 mm, smooth edges") << 128 << true << 100 << "0.1"
                                                    << "mm" << 26 << false << "9.4"
                                                    << "auto" << "logo.svg" << true << false << false;
    QTest::newRow("svg, 2.0, 3 mil, 57 %") << 128 << true << 57 << "3"
                                           << "mils" << 19 << true << "2.0"
                                           << "auto" << "logo.svg" << false << false << false;
    QTest::newRow("pdf, 9.4, inches, smooth edges, 163 %") << 90 << true << 163 << "0.004"
                                                           << "inch" << 1 << false << "9.4"
                                                           << "auto" << "logo.pdf" << true << false << false;
    // The window halftones its whole image a band at a time, the converter the rows it streams.
    QTest::newRow("halftone, 9.4, 0.04 mm, smooth edges")
            << 128 << false << 100 << "0.04" << "mm" << 26 << false << "9.4" << "auto" << "photo"
            << true << true << false;
    QTest::newRow("halftone, inverted, 57 %, exact ends")
            << 128 << true << 57 << "1.5" << "mils" << 19 << true << "2.0" << "auto" << "photo"
            << false << true << false;
    // The same fab-safe art, made from the image the window holds and from the converter's rows.
    QTest::newRow("gaps, fab-safe") << 128 << false << 100 << "2"
                                    << "mils" << 19 << false << "2.0"
                                    << "auto" << "gaps" << false << false << true;
    QTest::newRow("photo, 9.4, 0.1 mm, fab-safe") << 128 << false << 100 << "0.1"
                                                  << "mm" << 26 << false << "9.4"
                                                  << "auto" << "photo" << false << false << true;
    QTest::newRow("svg, 9.4, 0.1 mm, smooth edges, fab-safe") << 128 << true << 100 << "0.1"
                                                               << "mm" << 26 << false << "9.4"
                                                               << "auto" << "logo.svg" << true
                                                               << false << true;
    // Polygons are judged as lines whose ends stay inside the pixels: made safe for those.
    QTest::newRow("KiCad footprint, photo, 0.1 mm, fab-safe") << 128 << false << 100 << "0.1"
                                                              << "mm" << 26 << false << "kicad"
                                                              << "auto" << "photo" << false
                                                              << false << true;
    // Polygons, from the same rows: the window's whole images, the converter's streamed ones.
    QTest::newRow("KiCad footprint, svg, 0.1 mm") << 128 << true << 100 << "0.1"
                                                  << "mm" << 26 << false << "kicad"
                                                  << "auto" << "logo.svg" << false << false << false;
    QTest::newRow("KiCad footprint, smooth edges, 57 %") << 150 << true << 57 << "0.2"
                                                         << "mm" << 1 << false << "kicad"
                                                         << "auto" << "photo" << true << false << false;
    QTest::newRow("Gerber, bottom copper, 150 %") << 128 << false << 150 << "3"
                                                  << "mils" << 2 << true << "gerber"
                                                  << "auto" << "gaps" << false << false << false;
}

void TestConvert::sameBytesAsWindow()
{
    QFETCH(int, threshold);
    QFETCH(bool, invert);
    QFETCH(int, scale);
    QFETCH(QString, width);
    QFETCH(QString, unit);
    QFETCH(int, layer);
    QFETCH(bool, exactEnds);
    QFETCH(QString, format);
    QFETCH(QString, kind);
    QFETCH(QString, source);
    if (source.contains('.') && !kcore::vectorSupport())
        QSKIP("this build reads no vector documents");
    const QString picture = source == "photo" ? m_picture
            : source == "gaps"                ? m_gaps
                                              : m_dir.filePath(source);
    QFETCH(bool, smoothEdges);
    QFETCH(bool, halftone);
    QFETCH(bool, fabSafe);

    // A polygon file type is chosen by the name's suffix in the window: "Files (*.*)".
    const QString suffix = format == "kicad" ? "kicad_mod" : format == "gerber" ? "gbr" : "asc";
    for (const QString &old : QDir(m_dir.path()).entryList({"cli*", "window*"}, QDir::Files))
        QFile::remove(m_dir.filePath(old));
    const QString fromCli = m_dir.filePath("cli." + suffix);
    QStringList args = {"-s", QString::number(scale), "-w", width, "-u", unit, "-l",
                        QString::number(layer)};
    // A halftone reads the grey's tones, not the threshold.
    args << (halftone ? QStringList{"--halftone"} : QStringList{"-t", QString::number(threshold)});
    if (invert)
        args << "--invert";
    if (exactEnds)
        args << "--exact-ends";
    if (smoothEdges)
        args << "--smooth-edges";
    if (fabSafe)
        args << "--fab-safe" << "--strict";
    args << "--format" << format << "--layer-kind" << kind;
    const Run r = convert(args << picture << fromCli);
    QCOMPARE(r.code, 0);

    kestrel w;
    w.show();
    Dialogs::setNextFileName(picture);
    w.findChild<QAction *>("actionOpen")->trigger();
    w.findChild<QRadioButton *>("rb_bandw")->click();
    // Before the scale changes, which must bring the edge levels to the new grid.
    w.findChild<QAction *>("actionSmoothEdges")->setChecked(smoothEdges);
    w.findChild<QComboBox *>("cb_tones")->setCurrentIndex(halftone ? 1 : 0);
    w.findChild<QSlider *>("sl_threshold")->setValue(threshold);
    w.findChild<QCheckBox *>("cb_invert")->setChecked(invert);
    w.findChild<QSpinBox *>("sb_scale")->setValue(scale);
    const char *button = unit == "mm" ? "rb_units_mm"
            : unit == "inch"          ? "rb_units_inch"
                                      : "rb_units_mils";
    w.findChild<QRadioButton *>(button)->click();
    w.findChild<QLineEdit *>("le_linewidth")->setText(width);
    // The kind first: choosing one sets its usual layer, which the number typed then replaces
    // (bottom copper on layer 4 of a four-layer board).
    for (QAction *a : w.findChild<QMenu *>("menu_LayerKind")->actions()) {
        kcore::LayerKind k;
        if (a->isCheckable() && kcore::kindFromKey(kind, &k) && a->data().toInt() == int(k))
            a->trigger();
    }
    w.findChild<QSpinBox *>("sb_layer")->setValue(layer);
    w.findChild<QAction *>("actionExactEnds")->setChecked(exactEnds);
    w.findChild<QAction *>(format == "9.4" ? "actionFormat94" : "actionFormat20")->trigger();
    w.findChild<QCheckBox *>("cb_fabsafe")->setChecked(fabSafe);
    // The box is remembered: the rows and tests after this one start without it.
    const auto forget = qScopeGuard([] { QSettings().remove(QStringLiteral("board/fabSafe")); });
    // Counted once the settings rest.
    auto *budget = w.findChild<QLabel *>("lbl_budget");
    QTRY_VERIFY(budget->text().contains(QLatin1String(" items, ")));
    const QString budgetBefore = budget->text();
    const QString fromWindow = m_dir.filePath("window." + suffix);
    Dialogs::setNextFileName(fromWindow);
    w.findChild<QPushButton *>("pb_generate")->click();

    // The same files (a Gerber file of the layer beside the name given), the same bytes but for
    // the name they carry.
    const QStringList cliFiles = QDir(m_dir.path()).entryList({"cli*"}, QDir::Files, QDir::Name);
    const QStringList windowFiles
            = QDir(m_dir.path()).entryList({"window*"}, QDir::Files, QDir::Name);
    QCOMPARE(windowFiles.size(), cliFiles.size());
    for (qsizetype i = 0; i < cliFiles.size(); ++i) {
        QCOMPARE(windowFiles[i].mid(6), cliFiles[i].mid(3));
        QVERIFY2(readFile(m_dir.filePath(cliFiles[i]))
                         == readFile(m_dir.filePath(windowFiles[i])).replace("window", "cli"),
                 qPrintable(cliFiles[i]));
    }
    const QByteArray cliBytes = readFile(m_dir.filePath(cliFiles.value(0)));
    if (suffix != "asc") {
        // Polygons: as many as the converter says, each of the picture's runs in one.
        const int polygons = int(cliBytes.count("(fp_poly") + cliBytes.count("G36*"));
        QVERIFY2(r.err.contains(QStringLiteral(" %1 polygons from ").arg(polygons).toUtf8()),
                 r.err.constData());
        QVERIFY(polygons > 0);
        return;
    }
    QVERIFY(cliBytes.contains("LINES"));
    // Both said beforehand (the window) and afterwards (the converter) what was written.
    QVERIFY2(budgetBefore.contains(budgetText(cliBytes)), qPrintable(budgetBefore));
    QVERIFY2(r.err.contains(budgetText(cliBytes).toUtf8()), r.err.constData());
    // The same space check: gaps and coverage.
    const QRegularExpressionMatch space
            = QRegularExpression(QStringLiteral("(\\d+ closed gaps?, \\d+ narrow gaps?), "
                                                "(coverage [\\d.]+ %)\n"))
                      .match(QString::fromUtf8(r.err));
    QVERIFY2(space.hasMatch(), r.err.constData());
    QVERIFY2(budgetBefore.endsWith(space.captured(2)), qPrintable(budgetBefore));
    const QString windowGaps = w.findChild<QLabel *>("lbl_gaps")->text();
    QVERIFY2(windowGaps.endsWith(space.captured(1)), qPrintable(windowGaps));
    if (source == "photo" || source == "gaps")
        QCOMPARE(space.captured(1) != QLatin1String("0 closed gaps, 0 narrow gaps"),
                 source == "gaps" && !fabSafe);
    // A halftone leaves the fab panel clean, though its line is finer than the limit.
    if (halftone)
        QVERIFY(!w.findChild<QLabel *>("lbl_fabwarning")->isVisible());
    // What fab-safe changed, said alike.
    auto *changed = w.findChild<QLabel *>("lbl_fabsafe");
    QCOMPARE(changed->isVisible(), fabSafe);
    if (fabSafe)
        QVERIFY2(r.err.contains("kestrel-convert: " + changed->text().toUtf8() + "\n"),
                 r.err.constData());
}

void TestConvert::standardOutput()
{
    const QString file = m_dir.filePath(QStringLiteral("file.asc"));
    QCOMPARE(convert({"-q", m_picture, file}).code, 0);
    const Run r = convert({"-q", m_picture, "-"});
    QCOMPARE(r.code, 0);
    QVERIFY(r.out == readFile(file));
    QVERIFY(r.out.endsWith("*END*\r\n"));

    // Standard input: a picture, or a document told by its first bytes.
    for (const char *name : {"photo.png", "logo.svg", "logo.pdf"}) {
        const QString path = m_dir.filePath(QLatin1String(name));
        if (path.endsWith(".png") || kcore::vectorSupport()) {
            const Run in = convert({"-q", "-", "-"}, -1, readFile(path));
            QCOMPARE(in.code, 0);
            QVERIFY2(in.out == convert({"-q", path, "-"}).out, name);
        }
    }
}

void TestConvert::batch_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("inputs");
    QTest::addColumn<int>("code"); // the worst of the inputs'
    QTest::newRow("a picture that cannot be read among good ones")
            << QStringList{} << QStringList{"photo.png", "cut.png", "one.pbm"} << 1;
    QTest::newRow("--strict, a fab failure is worse")
            << QStringList{"--strict", "--min-line", "2", "-w", "2"}
            << QStringList{"gaps.png", "cut.png", "one.pbm", "photo.png"} << 3;
    // Each named by all but its last suffix.
    QTest::newRow("names with dots")
            << QStringList{} << QStringList{"photo.v1.png", "photo.v2.png"} << 0;
    QTest::newRow("KiCad footprints, named by the format")
            << QStringList{"--format", "kicad"} << QStringList{"gaps.png", "photo.png"} << 0;
}

void TestConvert::batch()
{
    // Each input gives the file and the messages it gives alone, each message naming it.
    QFETCH(QStringList, options);
    QFETCH(QStringList, inputs);
    QFETCH(int, code);
    const QString dir = m_dir.filePath(QStringLiteral("batch"));
    QDir(dir).removeRecursively();
    QStringList args = options;
    args << "--output-dir" << dir;
    for (const QString &input : inputs)
        args << m_dir.filePath(input);
    const Run all = convert(args);
    QCOMPARE(all.code, code);
    QCOMPARE(all.out, QByteArray());

    QByteArray err;
    // Each file is also named after its input: a footprint carries the name.
    const QString suffix = options.contains("kicad") ? ".kicad_mod" : ".asc";
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("single")));
    for (const QString &input : inputs) {
        const QString single = m_dir.filePath("single/" + QFileInfo(input).completeBaseName() + suffix);
        QFile::remove(single);
        const QString path = m_dir.filePath(input);
        const Run one = convert(QStringList(options) << path << single);
        const QString written = dir + "/" + QFileInfo(input).completeBaseName() + suffix;
        QCOMPARE(readFile(written), readFile(single));
        const QByteArray prefix = "kestrel-convert: " + QFile::encodeName(path) + ": ";
        for (const QByteArray &line : one.err.split('\n'))
            if (!line.isEmpty())
                err += (line.startsWith(prefix) ? line : prefix + line.mid(17)) + '\n';
    }
    QCOMPARE(all.err, err);
}

void TestConvert::summary()
{
    const QString file = m_dir.filePath(QStringLiteral("summary.asc"));
    const Run r = convert({"-w", "10", "-s", "50", m_picture, file});
    QCOMPARE(r.code, 0);
    const QByteArray bytes = readFile(file);
    const qsizetype items = bytes.count("  LINES ");
    // The labels the window would show for the same settings: the size is the pixels the file
    // draws, not the picture times the scale (61 x 29 at 50 % is 29 x 14 pixels, not 30.5 x 14.5).
    const kcore::SpaceReport spaces
            = kcore::checkSpace(kcore::makeBw(kcore::makeGrey(QImage(m_picture)), 128, false, 50),
                                kcore::PadsSettings{10, 19}, kcore::defaultMinSpaceMils);
    const QByteArray expected = "kestrel-convert: 29x14 pixels, " + QByteArray::number(items)
            + " LINES items, actual size  290x 140 mils,  7.4x 3.6 mm, 0.290x0.140 \"; "
            + "documentation, layer 19: " + budgetText(bytes).toUtf8()
            + ", line 10 mil (0.254 mm), 100 ppi, " + kcore::spaceSummary(spaces).toUtf8() + "\n";
    QCOMPARE(r.err, expected);

    if (!kcore::vectorSupport())
        return;
    // The 40 mm logo fitted into 1245 mils at 2 mil: 622 pixels, 1244 mils, at 78.994 % exactly;
    // 16 mm at that scale are 248.8 pixels, so 249. A page is drawn at the exact scale reached:
    // 79 %, as the window's scale field shows it, would be 623 pixels, wider than asked.
    const Run fit = convert({"-i", "--fit-width", "1245", m_dir.filePath("logo.svg"), file});
    QCOMPARE(fit.code, 0);
    QVERIFY2(fit.err.startsWith("kestrel-convert: fitted to width 1244.0 mils at 78.994 %\n"
                                "kestrel-convert: 622x249 pixels, "),
             fit.err.constData());
    QVERIFY2(fit.err.contains(" actual size 1244x 498 mils, "), fit.err.constData());
}

void TestConvert::warnings_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("warning"); // a line of standard error
    QTest::newRow("no item") << QStringList{"@black.png"}
                             << "kestrel-convert: warning: The file holds no item: every pixel is "
                                "at or below the threshold 128. The picture is one flat grey (0), "
                                "which no threshold divides.";
    QTest::newRow("all copper, inverted")
            << QStringList{"--invert", "@darks.png"}
            << "kestrel-convert: warning: The artwork covers everything: Invert is on and every "
               "pixel is at or below the threshold 128. Its greys run from 39 to 87. Light artwork "
               "on a dark background needs Invert off.";
    QTest::newRow("stack, a colour no palette colour is near")
            << QStringList{"--stack", "@red.png"}
            << "kestrel-convert: warning: 8.3 % of the pixels lie far from every palette colour "
               "(most like #E01818) and read as the finish nearest them; --finish "
               "'#E01818=FINISH' says what it is";
    QTest::newRow("halftone, a line width too coarse for round dots")
            << QStringList{"--halftone", "@photo.png"}
            << "kestrel-convert: warning: the 2 mil line width is too coarse to draw a 4 mil dot "
               "round; a line width of at most 1.333 mil does";
    QTest::newRow("stack, board all over")
            << QStringList{"--stack", "@green.png"}
            << "kestrel-convert: warning: The file holds no item: every pixel reads as board "
               "(most of the picture is nearest #0B3D1E, read as board).";
}

void TestConvert::warnings()
{
    QFETCH(QStringList, args);
    QFETCH(QString, warning);
    for (QString &a : args)
        if (a.startsWith('@'))
            a = m_dir.filePath(a.mid(1));
    const QString out = m_dir.filePath(QStringLiteral("warned.asc"));
    QFile::remove(out);
    const Run r = convert(args << out);
    // Said, and the file written all the same.
    QCOMPARE(r.code, 0);
    QVERIFY2(QString::fromUtf8(r.err).split('\n').contains(warning), r.err.constData());
    QVERIFY(readFile(out).contains("*END*"));
}

void TestConvert::errors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    const QString pic = QStringLiteral("@picture");
    QTest::newRow("unreadable picture")
            << QStringList{"@notapicture", "@out"} << 1
            << "Could not load the file as image. This is not a kind of picture";
    QTest::newRow("missing picture")
            << QStringList{"@missing.png", "@out"} << 1
            << "Could not load the file as image. The file does not exist.";
    QTest::newRow("unknown option") << QStringList{"--colour", pic, "@out"} << 2 << "colour";
    QTest::newRow("missing value") << QStringList{pic, "@out", "-t"} << 2 << "t";
    QTest::newRow("one argument") << QStringList{pic} << 2 << "INPUT and OUTPUT";
    QTest::newRow("threshold too big") << QStringList{"-t", "256", pic, "@out"} << 2
                                       << "--threshold takes a whole number from 0 to 255";
    QTest::newRow("threshold not a number")
            << QStringList{"-t", "x", pic, "@out"} << 2 << "--threshold";
    QTest::newRow("scale zero") << QStringList{"-s", "0", pic, "@out"} << 2
                                << "--scale takes a whole number from 1 to 500";
    QTest::newRow("layer too big") << QStringList{"-l", "251", pic, "@out"} << 2 << "--layer";
    QTest::newRow("cell without a halftone")
            << QStringList{"--cell", "20", pic, "@out"} << 2 << "--cell needs --halftone";
    QTest::newRow("threshold with a halftone")
            << QStringList{"--halftone", "-t", "100", pic, "@out"} << 2
            << "--threshold does not apply with --halftone";
    QTest::newRow("halftone finish without a stack")
            << QStringList{"--halftone", "--halftone-finish", "gold", pic, "@out"} << 2
            << "--halftone-finish needs --stack";
    QTest::newRow("halftone finish not drawn in dots")
            << QStringList{"--stack", "--halftone", "--halftone-finish", "copper", pic, "@out"}
            << 2 << "--halftone-finish takes silk, gold or bare, not \"copper\"";
    QTest::newRow("halftone cell too small for the limits")
            << QStringList{"--halftone", "--cell", "6", pic, "@out"} << 2
            << "--cell: The 4 mil line and 4 mil space limits need a halftone cell of at least";
    QTest::newRow("finish without a stack")
            << QStringList{"--finish", "#FF0000=gold", pic, "@out"} << 2 << "--finish needs --stack";
    QTest::newRow("fab-safe with a stack")
            << QStringList{"--stack", "--fab-safe", pic, "@out"} << 2
            << "--fab-safe cleans the black-and-white art of one layer";
    QTest::newRow("fab-safe with a halftone")
            << QStringList{"--halftone", "--fab-safe", pic, "@out"} << 2
            << "--fab-safe makes thresholded art safe; a halftone keeps the limits itself";
    QTest::newRow("finish not a colour")
            << QStringList{"--stack", "--finish", "red=gold", pic, "@out"} << 2
            << "--finish takes #RRGGBB=FINISH, not \"red=gold\"";
    QTest::newRow("unknown finish")
            << QStringList{"--stack", "--finish", "#FF0000=platinum", pic, "@out"} << 2
            << "\"platinum\" is not a finish: board, copper, gold, bare, silk";
    QTest::newRow("unknown side") << QStringList{"--stack", "--side", "left", pic, "@out"} << 2
                                  << "--side takes top or bottom, not \"left\"";
    QTest::newRow("expansion not a length")
            << QStringList{"--stack", "--mask-expansion", "2x", pic, "@out"} << 2
            << "--mask-expansion takes a length, not \"2x\"";
    QTest::newRow("expansion shrinks by half the line")
            << QStringList{"--stack", "--mask-expansion", "-1", pic, "@out"} << 2
            << "--mask-expansion: A negative mask expansion must shrink the openings by less "
               "than half the line width (1 mil).";
    QTest::newRow("unknown unit") << QStringList{"-u", "cm", pic, "@out"} << 2
                                  << "--unit takes mils, mm or inch";
    const QString smallest = QStringLiteral("smallest line width a board file can carry is 1 mil");
    QTest::newRow("width not a number")
            << QStringList{"-w", "abc", pic, "@out"} << 2 << "\"abc\" is not a number";
    QTest::newRow("width nan") << QStringList{"-w", "nan", pic, "@out"} << 2 << smallest;
    QTest::newRow("width zero") << QStringList{"-w", "0", pic, "@out"} << 2 << "greater than 0";
    QTest::newRow("width negative") << QStringList{"-w", "-2", pic, "@out"} << 2 << smallest;
    QTest::newRow("width below 1 mil")
            << QStringList{"-w", "0.005", "-u", "mm", pic, "@out"} << 2 << "below 1 mil";
    QTest::newRow("finer than --min-line, --strict")
            << QStringList{"--strict", "--min-line", "0.15", "-u", "mm", "-w", "0.1", pic, "@out"}
            << 3 << "the 4 mil line is finer than the 5.906 mil (0.15 mm)";
    QTest::newRow("closed and narrow gaps, --strict")
            << QStringList{"--strict", "--min-line", "2", "@gaps.png", "@out"} << 3
            << "kestrel-convert: 14 closed gaps, "; // two in each row of boxes, four in 0 and 1
    QTest::newRow("--min-space not a width")
            << QStringList{"--min-space", "-1", pic, "@out"} << 2 << "--min-space takes a length";
    QTest::newRow("--min-space beyond 100 mil")
            << QStringList{"--min-space", "3", "-u", "mm", pic, "@out"} << 2
            << "--min-space takes at most 100 mil (2.54 mm), not \"3\"";
    QTest::newRow("--fit-width with --scale")
            << QStringList{"--fit-width", "10", "-s", "50", pic, "@out"} << 2
            << "cannot be used with --scale";
    QTest::newRow("--fit-width and --fit-height")
            << QStringList{"--fit-width", "10", "--fit-height", "10", pic, "@out"} << 2
            << "cannot be used together";
    // 61 x 29 pixels at 2 mil: below 4 % the picture has no row left; at 4 % it is 2 x 1.
    QTest::newRow("--fit-width below the smallest scale")
            << QStringList{"--fit-width", "3", pic, "@out"} << 2
            << "a width of 3.0 mils cannot be reached at 1-500 %; the nearest is 4.0 mils at 4 %";
    QTest::newRow("--fit-height beyond 500 %")
            << QStringList{"--fit-height", "1", "-u", "inch", "-w", "0.002", pic, "@out"} << 2
            << "a height of 1.0000 inch cannot be reached at 1-500 %; the nearest is 0.2900 "
               "inch at 500 %";
    QTest::newRow("--min-line not a width")
            << QStringList{"--min-line", "thin", pic, "@out"} << 2 << "--min-line";
    QTest::newRow("width too large") << QStringList{"-w", "1e6", "-u", "inch", pic, "@out"} << 2
                                     << "line width is too large";
    // The pixel fits the file's integers; the width, rounded up to whole mils, does not.
    QTest::newRow("width too large to write")
            << QStringList{"-w", "2147483647.3", "@one.pbm", "@out"} << 2
            << "line width is too large";
    QTest::newRow("9.4 beyond 2.1 m")
            << QStringList{"--format", "9.4", "-w", "40", "-u", "mm", pic, "@out"} << 2
            << "line width is too large";
    QTest::newRow("9.4 top copper off layer 1")
            << QStringList{"--format", "9.4", "-l", "3", "--layer-kind", "top-copper", pic, "@out"}
            << 2 << "Top copper is layer 1 in a 9.4 file";
    QTest::newRow("9.4 documentation on a copper layer")
            << QStringList{"--format",     "9.4",           "-l", "2",
                           "--layer-kind", "documentation", pic,  "@out"}
            << 2 << "Layers 1 and 2 are the board's top and bottom copper";
    QTest::newRow("9.4 bottom copper on layer 1")
            << QStringList{"--format",     "9.4",           "-l", "1",
                           "--layer-kind", "bottom-copper", pic,  "@out"}
            << 2 << "Layer 1 is top copper in a 9.4 file";
    QTest::newRow("9.4 silkscreen on layer 1")
            << QStringList{"--format", "9.4", "-l", "1", "--layer-kind", "top-silk", pic, "@out"}
            << 2 << "Layers 1 and 2 are the board's top and bottom copper";
    QTest::newRow("unknown format")
            << QStringList{"--format", "5.0", pic, "@out"} << 2 << "--format takes 2.0, 9.4, kicad or gerber";
    QTest::newRow("unknown layer kind") << QStringList{"--layer-kind", "inner", pic, "@out"} << 2
                                        << "--layer-kind takes top-copper, bottom-copper";
    QTest::newRow("unknown origin") << QStringList{"--format", "kicad", "--origin", "middle", pic,
                                                   "@out"}
                                    << 2 << "--origin takes centre or corner, not \"middle\"";
    QTest::newRow("Gerber files of a stack onto standard output")
            << QStringList{"--stack", "--format", "gerber", pic, "-"} << 2
            << "standard output takes one file; this writes 3";
    // Without the vector readers each is refused for that reason instead.
    for (const testsupport::BadDocument &d : testsupport::badDocuments())
        QTest::newRow(d.name) << QStringList{QLatin1Char('@') + QLatin1String(d.name), "@out"}
                              << (kcore::vectorSupport() ? d.exitCode : 1)
                              << (kcore::vectorSupport() ? QString::fromLatin1(d.reason)
                                                         : QStringLiteral("reads no vector"));
    if (kcore::vectorSupport()) {
        QTest::newRow("page beyond the document's")
                << QStringList{"--page", "2", "@logo.pdf", "@out"} << 2
                << "--page: The PDF document has 1 page(s); there is no page 2.";
        QTest::newRow("page beyond an SVG's")
                << QStringList{"--page", "2", "@logo.svg", "@out"} << 2
                << "--page: An SVG document has one page; there is no page 2.";
    }
    // Said once, by kestrel: not by the picture's decoder too.
    QTest::newRow("cut-off picture") << QStringList{"@cut.png", "@out"} << 1
                                     << "cut.png: Could not load the file as image. The picture "
                                        "is damaged or incomplete";
    QTest::newRow("cut-off picture, fab-safe")
            << QStringList{"--fab-safe", "@cut.png", "@out"} << 1
            << "cut.png: Could not load the file as image. The picture is damaged or incomplete";
    QTest::newRow("empty standard input")
            << QStringList{"-", "@out"} << 1 << "kestrel-convert: -: Could not load the file";
    QTest::newRow("--output-dir and standard input")
            << QStringList{"--output-dir", "@batch", pic, "-"} << 2
            << "standard input (-) has no name";
    QTest::newRow("--output-dir, two inputs of one name")
            << QStringList{"--output-dir", "@batch", pic, "@other/photo.jpg"} << 2
            << "photo.jpg would both be written to";
#ifdef Q_OS_UNIX
    // A disk that takes no byte, or only part of what is written: the old file stays as it was,
    // nothing is left beside it, and the reason is the system's. A small file fits in the buffer
    // that only the last flush writes; a large one fails while it is written.
    const QString tooLarge = QStringLiteral("could not write %1: File too large");
    QTest::newRow("full disk, small file, no byte fits")
            << QStringList{"@fsize=0", "-s", "10", pic, "@out"} << 1 << tooLarge.arg("@out");
    QTest::newRow("full disk, small file, part fits")
            << QStringList{"@fsize=1024", "@gaps.png", "@out"} << 1 << tooLarge.arg("@out");
    QTest::newRow("full disk, large file")
            << QStringList{"@fsize=65536", "@board.png", "@out"} << 1 << tooLarge.arg("@out");
    // board.png's file is 1,140,088 bytes: the first 1 MB chunk fits, the last only in part.
    QTest::newRow("full disk, last chunk cut partway")
            << QStringList{"@fsize=1100000", "@board.png", "@out"} << 1 << tooLarge.arg("@out");
    QTest::newRow("full disk, new file") << QStringList{"@fsize=4096", "@board.png", "@new.asc"}
                                         << 1 << tooLarge.arg("@new.asc");
    // A stack's Gerber files are put in place as one: none when one cannot be written.
    QTest::newRow("full disk, one of a set of Gerber files")
            << QStringList{"@fsize=400", "--stack", "--format", "gerber", "@gaps.png", "@set.gbr"}
            << 1 << "set-F_SilkS.gbr: File too large";
#endif
#ifdef Q_OS_LINUX
    QTest::newRow("full device, small file")
            << QStringList{"-s", "10", pic, "/dev/full"} << 1
            << "could not write /dev/full: No space left on device";
    // A folder whose entries may be added but not replaced: the rename at the end fails.
    QTest::newRow("file may not be replaced")
            << QStringList{"-s", "10", pic, "@locked"} << 1 << "Operation not permitted";
    // Nothing can be created in /proc, not even by root.
    QTest::newRow("output cannot be written")
            << QStringList{pic, "/proc/kestrel-convert-test.asc"} << 1
            << "could not write /proc/kestrel-convert-test.asc";
#endif
}

void TestConvert::errors()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, message);

    const QString out = m_dir.filePath(QStringLiteral("existing.asc"));
    const QByteArray old = "an earlier file that must survive\n";
    QFile f(out);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(old);
    f.close();
    const QString notPicture = m_dir.filePath(QStringLiteral("text.png"));
    QFile t(notPicture);
    QVERIFY(t.open(QIODevice::WriteOnly | QIODevice::Truncate));
    t.write("hello");
    t.close();

    // An earlier set of Gerber files that must survive too.
    for (const char *layer : {"F_Cu", "F_Mask", "F_SilkS"}) {
        QFile g(m_dir.filePath(QStringLiteral("set-%1.gbr").arg(layer)));
        QVERIFY(g.open(QIODevice::WriteOnly | QIODevice::Truncate));
        g.write(old);
    }
    qint64 limit = -1;
    QString locked;
    for (QString &a : args) {
        if (a.startsWith("@fsize="))
            limit = a.mid(7).toLongLong();
        else if (a == "@picture")
            a = m_picture;
        else if (a == "@out")
            a = out;
        else if (a == "@notapicture")
            a = notPicture;
        else if (a == "@locked")
            a = locked = lockedFile(out);
        else if (a.startsWith('@'))
            a = m_dir.filePath(a.mid(1));
    }
    args.removeIf([](const QString &a) { return a.startsWith("@fsize="); });
    message.replace("@out", out).replace("@new.asc", m_dir.filePath("new.asc"));
    if (args.contains(QString()))
        QSKIP("no folder here can be made append-only");
    const QStringList before = QDir(m_dir.path()).entryList(QDir::Files);
    QHash<QString, QByteArray> contents;
    for (const QString &name : before)
        contents.insert(name, readFile(m_dir.filePath(name)));
    const Run r = convert(args, limit);
    if (!locked.isEmpty()) {
        QProcess::execute("chattr", {"-a", QFileInfo(locked).path()});
        QCOMPARE(readFile(locked), old);
    }
    QCOMPARE(r.code, code);
    QCOMPARE(r.out, QByteArray());
    QCOMPARE(r.err.count('\n'), 1);
    QVERIFY2(r.err.contains(message.toUtf8()), r.err.constData());
    QCOMPARE(readFile(out), old);
    // Nothing written, removed or changed: the picture and every earlier file as they were.
    QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files), before);
    for (const QString &name : before)
        QVERIFY2(readFile(m_dir.filePath(name)) == contents.value(name), qPrintable(name));
}

void TestConvert::outputIsThePicture_data()
{
    QTest::addColumn<QString>("output");
    QTest::newRow("its own path") << m_picture;
#ifdef Q_OS_UNIX
    QTest::newRow("a symbolic link") << m_dir.filePath(QStringLiteral("symlink.png"));
    QTest::newRow("a hard link") << m_dir.filePath(QStringLiteral("hardlink.png"));
#endif
    QTest::newRow("another path") << m_dir.path() + "/../" + QFileInfo(m_dir.path()).fileName()
                    + "/photo.png";
}

void TestConvert::outputIsThePicture()
{
    // However the picture's own file is named, neither program writes the board file there.
    QFETCH(QString, output);
    const QByteArray picture = readFile(m_picture);
    const Run r = convert({m_picture, output});
    QCOMPARE(r.code, 2);
    QVERIFY2(r.err.contains("is the input picture itself"), r.err.constData());
    QCOMPARE(readFile(m_picture), picture);

    kestrel w;
    w.show();
    Dialogs::setNextFileName(m_picture);
    // Should an earlier row have destroyed the picture, its load error must not wait for a click.
    Dialogs::setNextAnswer(QMessageBox::Ok);
    w.findChild<QAction *>("actionOpen")->trigger();
    Dialogs::reset();
    Dialogs::setNextFileName(output); // even where a hurried user confirmed the replacing
    Dialogs::setNextAnswer(QMessageBox::Ok);
    w.findChild<QPushButton *>("pb_generate")->click();
    QVERIFY2(Dialogs::last().text.contains(QLatin1String("would destroy it")),
             qPrintable(Dialogs::last().text));
    QCOMPARE(readFile(m_picture), picture);
}

void TestConvert::helpAndVersion()
{
    const Run help = convert({"--help"});
    QCOMPARE(help.code, 0);
    QVERIFY(help.out.contains("--line-width"));
    for (const char *code : {"0  written", "1  could not read", "2  bad arguments", "3  --strict"})
        QVERIFY2(help.out.contains(code), code);
    Run version = convert({"--version"});
    QCOMPARE(version.code, 0);
#ifdef Q_OS_WIN
    version.out.replace("\r\n", "\n"); // text, written in the console's text mode
#endif
    QCOMPARE(version.out, QByteArray("kestrel-convert " KESTREL_VERSION "\n"));
}

void TestConvert::standardOutputFull()
{
    // A pipe or a disk that takes nothing: the failure is reported, not success.
#ifndef Q_OS_LINUX
    QSKIP("needs /dev/full");
#endif
    QProcess p;
    p.setStandardOutputFile(QStringLiteral("/dev/full"));
    p.start(QStringLiteral(KESTREL_CONVERT), {m_picture, QStringLiteral("-")});
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), 1);
    QVERIFY(p.readAllStandardError().startsWith("kestrel-convert: could not write -"));
}

void TestConvert::deviceOutputStaysADevice()
{
    // A FIFO, like /dev/null, is written in place: a save through a temporary file renamed over
    // it would replace the device with a regular file.
#ifndef Q_OS_UNIX
    QSKIP("needs mkfifo and cat");
#else
    const QString fifo = m_dir.filePath(QStringLiteral("pipe"));
    QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QProcess reader;
    reader.start(QStringLiteral("cat"), {fifo});
    QVERIFY(reader.waitForStarted());
    QCOMPARE(convert({"-q", m_picture, fifo}).code, 0);
    const bool finished = reader.waitForFinished(10000);
    if (!finished)
        reader.kill();
    QVERIFY(finished);
    QVERIFY(reader.readAllStandardOutput() == convert({"-q", m_picture, "-"}).out);
    QVERIFY(!QFileInfo(fifo).isFile());
    QFile::remove(fifo);
#endif
}

void TestConvert::transparencyIsWhite()
{
    // A black ring on transparency and the same ring on white paper are the same artwork.
    QImage transparent(40, 30, QImage::Format_ARGB32);
    transparent.fill(Qt::transparent);
    QImage onWhite(40, 30, QImage::Format_RGB32);
    onWhite.fill(Qt::white);
    for (QImage *img : {&transparent, &onWhite}) {
        QPainter painter(img);
        painter.setPen(QPen(Qt::black, 5));
        painter.drawEllipse(8, 5, 24, 20);
    }
    const QString a = m_dir.filePath(QStringLiteral("transparent.png"));
    const QString b = m_dir.filePath(QStringLiteral("white.png"));
    QVERIFY(transparent.save(a));
    QVERIFY(onWhite.save(b));
    QCOMPARE(convert({"-q", "--invert", a, m_dir.filePath(QStringLiteral("t.asc"))}).code, 0);
    QCOMPARE(convert({"-q", "--invert", b, m_dir.filePath(QStringLiteral("w.asc"))}).code, 0);
    const QByteArray file = readFile(m_dir.filePath(QStringLiteral("t.asc")));
    QVERIFY(file.count("  LINES ") > 20);
    QCOMPARE(file, readFile(m_dir.filePath(QStringLiteral("w.asc"))));
}

void TestConvert::orientationTagIsFollowed()
{
    // Stored 40 x 20, left half black; shown upright it is 20 x 40 with the top half black.
    QImage stored(40, 20, QImage::Format_RGB32);
    stored.fill(Qt::white);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x)
            stored.setPixel(x, y, qRgb(0, 0, 0));
    const QString jpeg = m_dir.filePath(QStringLiteral("phone.jpg"));
    QVERIFY(testsupport::writeFile(jpeg, jpegTurnedOnItsSide(stored)));
    const QString out = m_dir.filePath(QStringLiteral("phone.asc"));
    const Run r = convert({"-w", "1", jpeg, out});
    QCOMPARE(r.code, 0);
    QVERIFY2(r.err.startsWith("kestrel-convert: 20x40 pixels"), r.err.constData());
    // White (copper) fills the bottom half only: rows 20 to 39 from the top, y = 20 down to 1.
    QImage upright(20, 40, QImage::Format_RGB32);
    upright.fill(0xff000000u);
    for (int y = 20; y < 40; ++y)
        for (int x = 0; x < 20; ++x)
            upright.setPixel(x, y, 0xffffffffu);
    QCOMPARE(readFile(out), literal::padsBytes(upright, 1.0, 19));
}

QTEST_MAIN(TestConvert)
#include "tst_convert.moc"
