// Tests of kestrel-convert, run as a separate process: the same bytes as the window's Generate,
// every error with its exit code, and nothing written or touched when it fails.
#include "kestrel.h"
#include "literal.h"
#include "testsupport.h"

#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

namespace {

struct Run
{
    int code = -1;
    QByteArray out;
    QByteArray err;
};

Run convert(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(KESTREL_CONVERT), args);
    Run r;
    if (!p.waitForFinished(60000))
        return r;
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
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
    void summary();
    void errors_data();
    void errors();
    void helpAndVersion();
    void fullDiskKeepsTheOldFile();

private:
    QTemporaryDir m_dir;
    QString m_picture;
};

void TestConvert::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_picture = m_dir.filePath(QStringLiteral("photo.png"));
    QVERIFY(photo(61, 29).save(m_picture));
}

void TestConvert::sameBytesAsWindow_data()
{
    QTest::addColumn<int>("threshold");
    QTest::addColumn<bool>("invert");
    QTest::addColumn<int>("scale");
    QTest::addColumn<QString>("width");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<int>("layer");
    QTest::newRow("defaults") << 128 << false << 100 << "2"
                              << "mils" << 19;
    QTest::newRow("0.2 mm on layer 26") << 90 << false << 100 << "0.2"
                                        << "mm" << 26;
    QTest::newRow("inverted, 57 %, inches") << 200 << true << 57 << "0.005"
                                            << "inch" << 1;
    QTest::newRow("blanks around the width, 250 %") << 10 << false << 250 << "  7.5 "
                                                    << "mils" << 250;
}

void TestConvert::sameBytesAsWindow()
{
    QFETCH(int, threshold);
    QFETCH(bool, invert);
    QFETCH(int, scale);
    QFETCH(QString, width);
    QFETCH(QString, unit);
    QFETCH(int, layer);

    const QString fromCli = m_dir.filePath(QStringLiteral("cli.asc"));
    QStringList args = {
            "-t", QString::number(threshold), "-s", QString::number(scale), "-w", width, "-u", unit,
            "-l", QString::number(layer),     "-q"};
    if (invert)
        args << "--invert";
    const Run r = convert(args << m_picture << fromCli);
    QCOMPARE(r.code, 0);
    QCOMPARE(r.err, QByteArray());

    kestrel w;
    w.show();
    testsupport::chooseFileInNextDialog(m_picture);
    w.findChild<QAction *>("actionOpen")->trigger();
    w.findChild<QRadioButton *>("rb_bandw")->click();
    w.findChild<QSlider *>("sl_threshold")->setValue(threshold);
    w.findChild<QCheckBox *>("cb_invert")->setChecked(invert);
    w.findChild<QSpinBox *>("sb_scale")->setValue(scale);
    const char *button = unit == "mm" ? "rb_units_mm"
            : unit == "inch"          ? "rb_units_inch"
                                      : "rb_units_mils";
    w.findChild<QRadioButton *>(button)->click();
    w.findChild<QLineEdit *>("le_linewidth")->setText(width);
    w.findChild<QSpinBox *>("sb_layer")->setValue(layer);
    const QString fromWindow = m_dir.filePath(QStringLiteral("window.asc"));
    QFile::remove(fromWindow);
    testsupport::chooseFileInNextDialog(fromWindow);
    w.findChild<QPushButton *>("pb_generate")->click();

    const QByteArray cliBytes = readFile(fromCli);
    QVERIFY(cliBytes.contains("LINES"));
    QVERIFY(cliBytes == readFile(fromWindow));
}

void TestConvert::standardOutput()
{
    const QString file = m_dir.filePath(QStringLiteral("file.asc"));
    QCOMPARE(convert({"-q", m_picture, file}).code, 0);
    const Run r = convert({"-q", m_picture, "-"});
    QCOMPARE(r.code, 0);
    QVERIFY(r.out == readFile(file));
    QVERIFY(r.out.endsWith("*END*\r\n"));
}

void TestConvert::summary()
{
    const QString file = m_dir.filePath(QStringLiteral("summary.asc"));
    const Run r = convert({"-w", "10", "-s", "50", m_picture, file});
    QCOMPARE(r.code, 0);
    const QByteArray bytes = readFile(file);
    const qsizetype items = bytes.count("  LINES ");
    // The labels the window would show for the same settings.
    const QByteArray expected = "kestrel-convert: 29x14 pixels, " + QByteArray::number(items)
            + " LINES items, actual size  305x 145 mils,  7.7x 3.7 mm, 0.305x0.145 \"\n";
    QCOMPARE(r.err, expected);
}

void TestConvert::errors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    const QString pic = QStringLiteral("@picture");
    QTest::newRow("unreadable picture")
            << QStringList{"@notapicture", "@out"} << 1 << "Could not load the file as image.";
    QTest::newRow("missing picture")
            << QStringList{"@missing.png", "@out"} << 1 << "Could not load the file as image.";
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
    QTest::newRow("unknown unit") << QStringList{"-u", "cm", pic, "@out"} << 2
                                  << "--unit takes mils, mm or inch";
    QTest::newRow("width not a number") << QStringList{"-w", "abc", pic, "@out"} << 2
                                        << "--line-width takes a number greater than 0";
    QTest::newRow("width nan") << QStringList{"-w", "nan", pic, "@out"} << 2 << "--line-width";
    QTest::newRow("width zero") << QStringList{"-w", "0", pic, "@out"} << 2 << "--line-width";
    QTest::newRow("width negative") << QStringList{"-w", "-2", pic, "@out"} << 2 << "--line-width";
    QTest::newRow("width too large") << QStringList{"-w", "1e6", "-u", "inch", pic, "@out"} << 2
                                     << "--line-width is too large";
    QTest::newRow("output cannot be written")
            << QStringList{pic, "/proc/kestrel-convert-test.asc"} << 1
            << "could not write /proc/kestrel-convert-test.asc";
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

    for (QString &a : args) {
        if (a == "@picture")
            a = m_picture;
        else if (a == "@out")
            a = out;
        else if (a == "@notapicture")
            a = notPicture;
        else if (a.startsWith('@'))
            a = m_dir.filePath(a.mid(1));
    }
    const QStringList before = QDir(m_dir.path()).entryList(QDir::Files);
    const Run r = convert(args);
    QCOMPARE(r.code, code);
    QCOMPARE(r.out, QByteArray());
    QCOMPARE(r.err.count('\n'), 1);
    QVERIFY2(r.err.contains(message.toUtf8()), r.err.constData());
    QCOMPARE(readFile(out), old);
    QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files), before);
}

void TestConvert::helpAndVersion()
{
    const Run help = convert({"--help"});
    QCOMPARE(help.code, 0);
    QVERIFY(help.out.contains("--line-width"));
    const Run version = convert({"--version"});
    QCOMPARE(version.code, 0);
    QVERIFY(version.out.startsWith("kestrel-convert 1."));
}

void TestConvert::fullDiskKeepsTheOldFile()
{
    const QString in = m_dir.filePath(QStringLiteral("board.png"));
    QVERIFY(testsupport::checkerboard(200, 200).save(in));
    QDir outDir(m_dir.filePath(QStringLiteral("full")));
    QVERIFY(outDir.mkpath(QStringLiteral(".")));
    const QString out = outDir.filePath(QStringLiteral("board.asc"));
    const QByteArray old = "the file from yesterday\n";
    QVERIFY(testsupport::writeFile(out, old));

    // The converter runs as on a nearly full disk: files may not grow past 64 KiB.
    QProcess p;
    p.setChildProcessModifier([] {
        struct rlimit small;
        getrlimit(RLIMIT_FSIZE, &small);
        small.rlim_cur = 64 * 1024;
        setrlimit(RLIMIT_FSIZE, &small);
        signal(SIGXFSZ, SIG_IGN);
    });
    p.start(QStringLiteral(KESTREL_CONVERT), {in, out});
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), 1);
    const QByteArray err = p.readAllStandardError();
    QVERIFY2(err.startsWith("kestrel-convert: could not write " + out.toUtf8()), err.constData());
    QCOMPARE(readFile(out), old);
    QCOMPARE(outDir.entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("board.asc")});
}

QTEST_MAIN(TestConvert)
#include "tst_convert.moc"
