// Tests of the kestrel window driven as a user would: start state, wiring, dialogs, the whole
// path from a picture file to the written PADS file, and the preview.
#include "commandline.h"
#include "dialogs.h"
#include "geometry/layers.h"
#include "image/vectordocument.h"
#include "kestrel.h"
#include "literal.h"
#include "settings.h"
#include "testsupport.h"

#include "board/boardimage.h"
#include "export/artworkwriter.h"
#include "image/greyimage.h"
#include "image/imagealloc.h"

#include <QAction>
#include <QBuffer>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QPushButton>
#include <QRegularExpression>
#include <QRadioButton>
#include <QScopeGuard>
#include <QScrollBar>
#include <QSemaphore>
#include <QSettings>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QThreadPool>
#include <QTimer>
#include <QWheelEvent>

#include <optional>

using testsupport::onNextModal;

namespace {

template<typename T>
T *child(QWidget *w, const char *name)
{
    T *c = w->findChild<T *>(QLatin1String(name));
    if (!c)
        qFatal("no child %s", name);
    return c;
}

QString text(QWidget *w, const char *name)
{
    return child<QLabel>(w, name)->text();
}

QAction *helpAction(QMainWindow *w)
{
    for (QAction *a : w->menuBar()->actions())
        if (a->text() == QLatin1String("Help"))
            return a;
    return nullptr;
}

// Left half red, right half blue, as a PNG: grey 87 and 39, so thresholds tell them apart.
QImage redBlue(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, x < w / 2 ? qRgb(255, 0, 0) : qRgb(0, 0, 255));
    return img;
}

// File, Open with this picture, in a window on the screen (the preview paints only there).
void open(kestrel &w, const QString &path)
{
    if (!QTest::qWaitForWindowExposed(&w))
        qFatal("the window is not shown");
    Dialogs::setNextFileName(path);
    child<QAction>(&w, "actionOpen")->trigger();
}

// Types a new line width over the old one, key by key.
void typeLineWidth(kestrel &w, const QString &typed)
{
    auto *width = child<QLineEdit>(&w, "le_linewidth");
    width->selectAll();
    QTest::keyClicks(width, typed);
}

// The text of the message box trigger shows, answered at once; empty if it shows none.
QString messageOfNextBox(const std::function<void()> &trigger)
{
    Dialogs::reset();
    Dialogs::setNextAnswer(QMessageBox::Ok);
    trigger();
    return Dialogs::last().text;
}

// The picture at path in the Board view, at 10 mil lines; the view's frame.
QFrame *showBoard(kestrel &w, const QString &path)
{
    w.show();
    open(w, path);
    typeLineWidth(w, QStringLiteral("10"));
    QTest::mouseClick(child<QRadioButton>(&w, "rb_board"), Qt::LeftButton);
    return child<QFrame>(&w, "mainframe");
}

void generate(kestrel &w, const QString &name)
{
    Dialogs::setNextFileName(name);
    QTest::mouseClick(child<QPushButton>(&w, "pb_generate"), Qt::LeftButton);
}

// Board green with a gold square, copper one pixel right of it, and two silkscreen bars a pixel
// apart below: each layer of a stack has something, and a closed gap.
QImage finishesPicture()
{
    QImage picture(40, 24, QImage::Format_RGB32);
    picture.fill(qRgb(0x0b, 0x3d, 0x1e));
    const auto fill = [&](int x0, int y0, int x1, int y1, QRgb c) {
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x)
                picture.setPixel(x, y, c);
    };
    fill(4, 4, 11, 11, qRgb(0xd4, 0xaf, 0x37));
    fill(13, 4, 22, 11, qRgb(0x3a, 0x8a, 0x4a));
    fill(4, 16, 15, 19, qRgb(255, 255, 255));
    fill(17, 16, 30, 19, qRgb(255, 255, 255));
    return picture;
}

// How many of the frame's pixels inside its border differ from its own background: about none
// while it shows nothing.
int paintedPixels(QFrame *frame)
{
    const QImage shot = frame->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRgb background = frame->palette().color(QPalette::Window).rgb();
    int painted = 0;
    for (int y = 4; y < shot.height() - 4; ++y)
        for (int x = 4; x < shot.width() - 4; ++x)
            painted += shot.pixel(x, y) != background;
    return painted;
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void startState();
    void boardOptionsAreRemembered_data();
    void boardOptionsAreRemembered();
    void layerRunsNothing();
    void quitEndsEventLoop_data();
    void quitEndsEventLoop();
    void helpDialog();
    void pictureToFile();
    void unreadablePictureKeepsState();
    void cancelledOpenKeepsState();
    void previewShowsEachImage();
    void viewButtonsEnableBwControls();
    void unitChangeConvertsOnce();
    void notANumber_data();
    void notANumber();
    void unitFollowsButtonsWhileNotANumber();
    void unitRoundTripKeepsWidth_data();
    void unitRoundTripKeepsWidth();
    void nothingToWrite_data();
    void nothingToWrite();
    void exportReplacesAndKeepsName();
    void exportFailureIsShown();
    void refusedLineWidths_data();
    void refusedLineWidths();
    void startupArgument_data();
    void startupArgument();
    void commandLine_data();
    void commandLine();
    void boardView();
    void boardPanAndZoom_data();
    void boardPanAndZoom();
    void keys_data();
    void keys();
    void dropAndPaste();
    void recentFiles();
    void unnamedSettingsAdopted();
    void fabWarning_data();
    void fabWarning();
    void fabSafe();
    void onlyNewestFabCheckShown();
    void fitToSize();
    void vectorDocument();
    void stackMode_data();
    void stackMode();
    void unusableValueKeepsBoard_data();
    void unusableValueKeepsBoard();
    void layerAndKindAgree_data();
    void layerAndKindAgree();
    void findingsInUnit_data();
    void findingsInUnit();
    void paletteReadsColours_data();
    void paletteReadsColours();
    void blankArtworkWarns_data();
    void blankArtworkWarns();

private:
    QString writePicture(const QImage &img, const QString &name);
    QTemporaryDir m_dir;
};

void TestWindow::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void TestWindow::init()
{
    // Every test starts from the board options of a first run.
    QSettings().clear();
}

void TestWindow::cleanup()
{
    // A dialog left open would swallow the next test's input, an answer left over its dialog.
    const bool leftOpen = testsupport::closeOpenDialogs();
    Dialogs::reset();
    QVERIFY(!leftOpen);
}

QString TestWindow::writePicture(const QImage &img, const QString &name)
{
    const QString path = m_dir.filePath(name);
    if (!img.save(path))
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void TestWindow::startState()
{
    kestrel w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.windowTitle(), QStringLiteral("KESTREL"));
    QCOMPARE(w.windowIcon().availableSizes().size(), 3);
    // The colour view is shown first, so the black-and-white controls wait.
    for (const char *bwControl : {"sl_threshold", "sb_threshold", "sl_threstxt", "cb_invert"})
        QVERIFY(!child<QWidget>(&w, bwControl)->isEnabled());
    // "Help" is a plain entry on the menu bar that acts at once, not a menu.
    QVERIFY(!helpAction(&w)->menu());
    // Board options start as the classic file: whole mils, round ends.
    QVERIFY(child<QAction>(&w, "actionFormat20")->isChecked());
    QVERIFY(!child<QAction>(&w, "actionExactEnds")->isChecked());
    QVERIFY(!child<QAction>(&w, "actionSmoothEdges")->isChecked());

    // The freeware notice sits at the right end of the status bar.
    const QList<QLabel *> labels = w.statusBar()->findChildren<QLabel *>();
    QVERIFY(std::any_of(labels.begin(), labels.end(), [&](QLabel *l) {
        return l->text().contains(QLatin1String("Freeware")) && l->isVisible()
                && l->geometry().right() > w.statusBar()->width() - 40;
    }));

    // The columns keep their shape when the window grows.
    w.resize(900, 800);
    QTRY_COMPARE(child<QFrame>(&w, "frame_2")->width(), 100);
    QVERIFY(child<QFrame>(&w, "frame_3")->height() <= 30);
    QVERIFY(child<QFrame>(&w, "mainframe")->width() > 700);
}

void TestWindow::boardOptionsAreRemembered_data()
{
    QTest::addColumn<bool>("alone"); // PADS 9.4 chosen alone, or after every other option
    QTest::newRow("PADS 9.4 alone") << true;
    QTest::newRow("every option") << false;
}

void TestWindow::boardOptionsAreRemembered()
{
    QFETCH(bool, alone);
    {
        kestrel w;
        w.show();
        open(w, writePicture(redBlue(40, 20), QStringLiteral("remembered.png")));
        QSignalSpy shown(&w, &kestrel::fabCheckShown);
        child<QSlider>(&w, "sl_threshold")->setValue(50); // the red half white
        QVERIFY(shown.wait());
        if (!alone) {
            // The silkscreen preset sets both limits: 0.15 mm line, 0.2 mm space.
            const auto watch = onNextModal([](QWidget *d) {
                child<QComboBox>(d, "cb_preset")->setCurrentIndex(1);
                static_cast<QDialog *>(d)->accept();
            });
            child<QAction>(&w, "actionFabLimits")->trigger();
            child<QAction>(&w, "actionExactEnds")->trigger();
            child<QAction>(&w, "actionSmoothEdges")->trigger();
            child<QComboBox>(&w, "cb_tones")->setCurrentIndex(1);
            child<QLineEdit>(&w, "le_cell")->setText(QStringLiteral("80"));
        }
        child<QAction>(&w, "actionFormat94")->trigger();
        // The status bar counts the bytes Generate now writes.
        QVERIFY(shown.wait());
        generate(w, m_dir.filePath(QStringLiteral("remembered.asc")));
        const auto bytes = [](QString said) {
            return said.remove(QLatin1Char(','))
                    .section(QLatin1String(" bytes"), 0, 0)
                    .section(' ', -1);
        };
        const QString counted = text(&w, "lbl_budget");
        const QString wrote = w.statusBar()->currentMessage();
        QVERIFY2(bytes(counted) == bytes(wrote) && !bytes(wrote).isEmpty(),
                 qPrintable(counted + QLatin1String(" | ") + wrote));
    }
    // The next start has them, and the fab check measures against the remembered minimum.
    kestrel w;
    w.show();
    QVERIFY(child<QAction>(&w, "actionFormat94")->isChecked());
    QCOMPARE(child<QAction>(&w, "actionExactEnds")->isChecked(), !alone);
    QCOMPARE(child<QAction>(&w, "actionSmoothEdges")->isChecked(), !alone);
    // A halftone and its cell too, the threshold not used.
    QCOMPARE(child<QComboBox>(&w, "cb_tones")->currentIndex(), alone ? 0 : 1);
    QCOMPARE(child<QLineEdit>(&w, "le_cell")->text(), alone ? QString() : QStringLiteral("80"));
    QCOMPARE(child<QLineEdit>(&w, "le_cell")->isEnabled(), !alone);
    if (alone)
        return;
    child<QComboBox>(&w, "cb_tones")->setCurrentIndex(0);
    open(w, writePicture(redBlue(40, 20), QStringLiteral("remembered.png")));
    typeLineWidth(w, QStringLiteral("5"));
    QTRY_VERIFY(child<QLabel>(&w, "lbl_fabwarning")->isVisible());
    QCOMPARE(text(&w, "lbl_fabwarning"), QStringLiteral("\u26a0 below 5.906 mil minimum"));
    QVERIFY(child<QLabel>(&w, "lbl_gaps")->toolTip().contains(QLatin1String("7.874 mil minimum")));
}

void TestWindow::layerRunsNothing()
{
    kestrel w;
    w.show();
    child<QSpinBox>(&w, "sb_layer")->setValue(42);
    QCOMPARE(text(&w, "lbl_ascsizemils"), QStringLiteral("-"));
    QVERIFY(child<QLineEdit>(&w, "le_linewidth")->styleSheet().isEmpty());
    // Whereas the scale does run its slot, which fills the labels.
    child<QSpinBox>(&w, "sb_scale")->setValue(50);
    QCOMPARE(text(&w, "lbl_ascsizemils"), QStringLiteral("   0x   0 mils"));
    QCOMPARE(text(&w, "lbl_ascsizemm"), QStringLiteral(" 0.0x 0.0 mm"));
    QCOMPARE(text(&w, "lbl_ascsizeinch"), QStringLiteral("0.000x0.000 \""));
}

void TestWindow::quitEndsEventLoop_data()
{
    QTest::addColumn<bool>("closeWindow");
    QTest::newRow("File, Quit") << false;
    QTest::newRow("close button") << true;
}

void TestWindow::quitEndsEventLoop()
{
    QFETCH(bool, closeWindow);
    kestrel w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTimer::singleShot(0, &w, [&] {
        if (closeWindow)
            w.close();
        else
            child<QAction>(&w, "actionQuit")->trigger();
    });
    // Runs until the window's own action or closing ends the loop. The stop is this test's own:
    // left pending, it would end whatever event loop runs ten seconds on, a later test's dialog.
    QTimer stop;
    stop.setSingleShot(true);
    QObject::connect(&stop, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    stop.start(10000);
    QCOMPARE(QApplication::exec(), 0);
}

void TestWindow::helpDialog()
{
    kestrel w;
    w.show();
    QAction *help = helpAction(&w);
    QVERIFY(help);

    for (int round = 0; round < 2; ++round) {
        // Seen in the dialog, checked once it is closed.
        QWidget *dialog = nullptr, *parent = nullptr;
        QString title, about, before, after;
        int scrolled = -1;
        const auto watch = onNextModal([&](QWidget *modal) {
            dialog = qobject_cast<QDialog *>(modal);
            parent = modal->parentWidget();
            title = modal->windowTitle();
            about = child<QTextEdit>(modal, "textEdit")->toPlainText();
            auto *body = child<QTextEdit>(modal, "help_window");
            scrolled = body->verticalScrollBar()->value();
            before = body->toPlainText();
            QTest::keyClicks(body, QStringLiteral("typed"));
            after = body->toPlainText();
            body->verticalScrollBar()->setValue(body->verticalScrollBar()->maximum());
            QTest::keyClick(modal, Qt::Key_Escape);
        });
        help->trigger();
        QVERIFY(dialog);
        QCOMPARE(parent, &w);
        QCOMPARE(title, QStringLiteral("Voltmeld Help"));
        QVERIFY(about.startsWith(QLatin1String("KESTREL V1.0. ")));
        // A fresh dialog every time: never scrolled, whatever happened to the last one.
        QCOMPARE(scrolled, 0);
        QCOMPARE(after, before);
        QVERIFY(!w.findChild<QDialog *>());
    }
}

void TestWindow::pictureToFile()
{
    // A picture whose grey spans many levels, so the threshold and invert matter.
    QImage picture(37, 23, QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixel(x, y, qRgb((x * 7) % 256, (y * 11) % 256, (x * y) % 256));
    const QString in = writePicture(picture, QStringLiteral("logo.png"));

    kestrel w;
    w.show();
    open(w, in);
    QCOMPARE(w.windowTitle(), QStringLiteral("logo.png \u2013 KESTREL"));
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("Width=37 Heigth=23"));
    QCOMPARE(text(&w, "lbl_ascsizemils"), QStringLiteral("  74x  46 mils"));
    QCOMPARE(text(&w, "lbl_ascsizemm"), QStringLiteral(" 1.9x 1.2 mm"));
    QCOMPARE(text(&w, "lbl_ascsizeinch"), QStringLiteral("0.074x0.046 \""));

    QTest::mouseClick(child<QRadioButton>(&w, "rb_bandw"), Qt::LeftButton);
    auto *threshold = child<QSlider>(&w, "sl_threshold");
    threshold->setFocus();
    QTest::keyClick(threshold, Qt::Key_Down); // 127
    QTest::keyClick(threshold, Qt::Key_Down); // 126
    QCOMPARE(threshold->value(), 126);
    QCOMPARE(child<QSpinBox>(&w, "sb_threshold")->value(), 126);
    QTest::mouseClick(child<QCheckBox>(&w, "cb_invert"), Qt::LeftButton);
    auto *scale = child<QSpinBox>(&w, "sb_scale");
    scale->setValue(57);
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("Width=20 Heigth=13"));
    QTest::mouseClick(child<QRadioButton>(&w, "rb_units_mm"), Qt::LeftButton);
    auto *width = child<QLineEdit>(&w, "le_linewidth");
    width->selectAll();
    QTest::keyClicks(width, QStringLiteral("0.2"));
    child<QSpinBox>(&w, "sb_layer")->setValue(26);
    // The size of the 20 x 13 pixels the file draws, not of the picture times 57 %.
    QCOMPARE(text(&w, "lbl_ascsizemils"), QStringLiteral(" 157x 102 mils"));

    const QString out = m_dir.filePath(QStringLiteral("logo-board.asc"));
    generate(w, out);
    // The picture's name with .asc, beside it, was offered; the name typed was used as typed.
    QCOMPARE(Dialogs::last().suggestion, m_dir.filePath(QStringLiteral("logo.asc")));

    QFile file(out);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QImage bw = literal::bw(literal::grey(picture), 126, true, 57);
    QCOMPARE(bw.size(), QSize(20, 13));
    const QByteArray expected = literal::padsBytes(bw, 0.2 * 39.37007874015748, 26);
    QVERIFY(expected.contains("OPEN 2 8 26\r\n"));
    QCOMPARE(file.readAll(), expected);
    // The status bar says what was written.
    const QString said = w.statusBar()->currentMessage();
    QVERIFY2(said.contains(QStringLiteral("%1 LINES items, %2 bytes")
                                   .arg(expected.count("  LINES "))
                                   .arg(expected.size()))
                     && said.endsWith(QLatin1String("logo-board.asc")),
             qPrintable(said));

    // The save dialog offers the file types after "Files (*.*)"; the one chosen gives the name
    // its suffix, writes its file and is offered first the next time.
    const QStringList filters = Dialogs::last().filters.split(QStringLiteral(";;"));
    QCOMPARE(filters.first(), QStringLiteral("Files (*.*)"));
    // None chosen beforehand: a filter of "*.*" would turn the suggestion into "logo.*".
    QCOMPARE(Dialogs::last().firstFilter, QString());
    const QString kicad = QStringLiteral("KiCad footprint (*.kicad_mod)");
    QVERIFY(filters.contains(kicad));
    Dialogs::setNextFileName(out, kicad);
    QTest::mouseClick(child<QPushButton>(&w, "pb_generate"), Qt::LeftButton);
    QFile footprint(m_dir.filePath(QStringLiteral("logo-board.kicad_mod")));
    QVERIFY(footprint.open(QIODevice::ReadOnly));
    const QByteArray polygons = footprint.readAll();
    QVERIFY(polygons.startsWith("(footprint \"logo-board\""));
    const QString wrote = w.statusBar()->currentMessage();
    QVERIFY2(wrote.contains(QStringLiteral("Wrote %1 polygons, %2 bytes")
                                    .arg(polygons.count("(fp_poly"))
                                    .arg(polygons.size()))
                     && wrote.endsWith(QLatin1String("logo-board.kicad_mod")),
             qPrintable(wrote));
    generate(w, QString()); // cancelled
    QCOMPARE(Dialogs::last().suggestion, m_dir.filePath(QStringLiteral("logo.kicad_mod")));
    QCOMPARE(Dialogs::last().firstFilter, kicad);
    // One layer's Gerber file, named after the layer, and said so.
    Dialogs::setNextFileName(out, QStringLiteral("Gerber (*.gbr)"));
    QTest::mouseClick(child<QPushButton>(&w, "pb_generate"), Qt::LeftButton);
    QVERIFY(QFileInfo::exists(m_dir.filePath(QStringLiteral("logo-board-F_SilkS.gbr"))));
    QVERIFY2(w.statusBar()->currentMessage().endsWith(QLatin1String("logo-board-F_SilkS.gbr")),
             qPrintable(w.statusBar()->currentMessage()));
}

void TestWindow::unreadablePictureKeepsState()
{
    const QString good = writePicture(redBlue(40, 20), QStringLiteral("good.png"));
    const QString bad = m_dir.filePath(QStringLiteral("bad.png"));
    QVERIFY(testsupport::writeFile(bad, "not a picture at all"));

    kestrel w;
    w.show();
    open(w, good);
    for (const char *view : {"rb_img", "rb_grey", "rb_bandw"}) {
        QTest::mouseClick(child<QRadioButton>(&w, view), Qt::LeftButton);
        const QImage before = child<QFrame>(&w, "mainframe")->grab().toImage();
        const QString info = text(&w, "lbl_info");
        const QString mils = text(&w, "lbl_ascsizemils");

        const QString message = messageOfNextBox([&] { open(w, bad); });
        QCOMPARE(message, QStringLiteral("Could not load the file as image."));
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        QCOMPARE(text(&w, "lbl_info"), info);
        QCOMPARE(text(&w, "lbl_ascsizemils"), mils);
        QCOMPARE(child<QFrame>(&w, "mainframe")->grab().toImage(), before);
    }
}

void TestWindow::cancelledOpenKeepsState()
{
    kestrel w;
    w.show();
    open(w, QString()); // the dialog cancelled
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("info"));
    QCOMPARE(text(&w, "lbl_ascsizemils"), QStringLiteral("-"));
}

void TestWindow::previewShowsEachImage()
{
    const QString in = writePicture(redBlue(40, 20), QStringLiteral("redblue.png"));
    kestrel w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto *frame = child<QFrame>(&w, "mainframe");

    // Before any picture the frame shows only itself.
    const QImage empty = frame->grab().toImage();

    open(w, in);
    // Typed beside the slider: red (87) white, blue (39) black.
    QTest::mouseClick(child<QRadioButton>(&w, "rb_bandw"), Qt::LeftButton);
    auto *threshold = child<QSpinBox>(&w, "sb_threshold");
    threshold->selectAll();
    QTest::keyClicks(threshold, QStringLiteral("50"));
    QCOMPARE(child<QSlider>(&w, "sl_threshold")->value(), 50);

    struct View
    {
        const char *button;
        QRgb left, right;
        const char *info;
    };
    const View views[] = {
            {"rb_img", qRgb(255, 0, 0), qRgb(0, 0, 255), "Width=40 Heigth=20"},
            {"rb_grey", kcore::greyPixel(87), kcore::greyPixel(39), "Width=40 Heigth=20"},
            {"rb_bandw", 0xffffffffu, 0xff000000u, "Width=40 Heigth=20"},
    };
    for (const View &v : views) {
        QTest::mouseClick(child<QRadioButton>(&w, v.button), Qt::LeftButton);
        QCOMPARE(text(&w, "lbl_info"), QString::fromLatin1(v.info));
        const QImage shot = frame->grab().toImage().convertToFormat(QImage::Format_RGB32);
        // Fitted to the frame's width, aspect kept: 2:1, from the top-left corner.
        const int fw = frame->width();
        const int fittedHeight = fw / 2;
        QVERIFY(fittedHeight < frame->height());
        QCOMPARE(shot.pixel(fw / 4, fittedHeight / 2), v.left);
        QCOMPARE(shot.pixel(fw * 3 / 4, fittedHeight / 2), v.right);
        QCOMPARE(shot.pixel(fw - 3, fittedHeight - 2), v.right);
        // Below the picture the frame keeps its own background.
        QCOMPARE(shot.pixel(fw / 2, fittedHeight + 10), empty.pixel(fw / 2, fittedHeight + 10));
    }
    // The black-and-white view shows the scaled image's own size.
    child<QSpinBox>(&w, "sb_scale")->setValue(50);
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("Width=20 Heigth=10"));
    QTest::mouseClick(child<QRadioButton>(&w, "rb_grey"), Qt::LeftButton);
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("Width=40 Heigth=20"));

    // A scale that truncates to nothing leaves no image, and no size of an earlier one.
    QTest::mouseClick(child<QRadioButton>(&w, "rb_bandw"), Qt::LeftButton);
    child<QSpinBox>(&w, "sb_scale")->setValue(2);
    QCOMPARE(text(&w, "lbl_info"), QString());
    const QImage blank = frame->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(blank.pixel(frame->width() / 4, 20),
             empty.convertToFormat(QImage::Format_RGB32).pixel(frame->width() / 4, 20));
}

void TestWindow::viewButtonsEnableBwControls()
{
    kestrel w;
    w.show();
    const char *controls[] = {"sl_threshold", "sb_threshold", "sl_threstxt", "cb_invert"};
    for (const char *view : {"rb_bandw", "rb_grey", "rb_board", "rb_img"}) {
        QTest::mouseClick(child<QRadioButton>(&w, view), Qt::LeftButton);
        const bool bw = qstrcmp(view, "rb_bandw") == 0 || qstrcmp(view, "rb_board") == 0;
        for (const char *c : controls)
            QCOMPARE(child<QWidget>(&w, c)->isEnabled(), bw);
        QVERIFY(child<QSpinBox>(&w, "sb_scale")->isEnabled());
    }
    // The unit buttons are a group of their own.
    QTest::mouseClick(child<QRadioButton>(&w, "rb_units_mm"), Qt::LeftButton);
    QVERIFY(child<QRadioButton>(&w, "rb_img")->isChecked());
}

void TestWindow::unitChangeConvertsOnce()
{
    const QString in = writePicture(redBlue(100, 50), QStringLiteral("size.png"));
    kestrel w;
    w.show();
    open(w, in);
    auto *width = child<QLineEdit>(&w, "le_linewidth");
    const QString mm = text(&w, "lbl_ascsizemm");
    const struct
    {
        const char *button;
        const char *text;
    } steps[]
            = {{"rb_units_mm", "0.0508"}, {"rb_units_inch", "0.0020"}, {"rb_units_mils", "   2.0"}};
    for (const auto &s : steps) {
        testsupport::PaintCounter counter(child<QFrame>(&w, "mainframe"));
        QTest::mouseClick(child<QRadioButton>(&w, s.button), Qt::LeftButton);
        QCOMPARE(width->text(), QString::fromLatin1(s.text));
        // Each of the two buttons that toggle shows the new size; the converted text must not
        // show it a third time.
        QVERIFY2(counter.paints <= 2, qPrintable(QString::number(counter.paints)));
        QCOMPARE(text(&w, "lbl_ascsizemm"), mm);
        QCOMPARE(width->styleSheet(), QStringLiteral("background-color: white"));
        // Re-styling the field must not change its font.
        QCOMPARE(width->font().pointSize(), w.font().pointSize());
    }
    // Typing follows every keystroke.
    width->selectAll();
    QTest::keyClicks(width, QStringLiteral("10"));
    QCOMPARE(text(&w, "lbl_ascsizemm"), QStringLiteral("25.4x12.7 mm"));
    QCOMPARE(text(&w, "lbl_ascsizemils"), QStringLiteral("1000x 500 mils"));
    QCOMPARE(text(&w, "lbl_ascsizeinch"), QStringLiteral("1.000x0.500 \""));
}

void TestWindow::notANumber_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("reason"); // in the yellow field's tooltip; empty: a white field
    QTest::addColumn<QString>("mils");
    const QString nan = QStringLiteral("is not a number");
    QTest::newRow("letters") << "abc" << nan << "---";
    QTest::newRow("empty") << "" << nan << "---";
    QTest::newRow("nan") << "nan" << nan << "---";
    QTest::newRow("inf") << "inf" << nan << "---";
    QTest::newRow("overflow") << "1e999" << nan << "---";
    QTest::newRow("zero") << "0" << "greater than 0" << "---";
    QTest::newRow("blanks around") << "  5  " << QString() << " 500x 250 mils";
    QTest::newRow("negative") << "-1" << "greater than 0" << "---";
    QTest::newRow("below 1 mil") << "0.5" << "below 1 mil" << "---";
}

void TestWindow::notANumber()
{
    QFETCH(QString, typed);
    QFETCH(QString, reason);
    QFETCH(QString, mils);
    const QString in = writePicture(redBlue(100, 50), QStringLiteral("nan.png"));
    kestrel w;
    w.show();
    open(w, in);
    auto *width = child<QLineEdit>(&w, "le_linewidth");
    width->clear();
    QTest::keyClicks(width, typed);
    QCOMPARE(width->styleSheet(),
             !reason.isEmpty() ? QStringLiteral("background-color: yellow")
                               : QStringLiteral("background-color: white"));
    QVERIFY2(reason.isEmpty() ? width->toolTip().isEmpty() : width->toolTip().contains(reason),
             qPrintable(width->toolTip()));
    QCOMPARE(text(&w, "lbl_ascsizemils"), mils);
    if (mils == QLatin1String("---"))
        QCOMPARE(text(&w, "lbl_ascsizemm"), mils);
    // A number again turns it white.
    width->selectAll();
    QTest::keyClicks(width, QStringLiteral("2"));
    QCOMPARE(width->styleSheet(), QStringLiteral("background-color: white"));
    QVERIFY(width->toolTip().isEmpty());
    QCOMPARE(text(&w, "lbl_ascsizemils"), QStringLiteral(" 200x 100 mils"));
}

void TestWindow::unitRoundTripKeepsWidth_data()
{
    QTest::addColumn<QString>("through"); // the unit button clicked between two mm
    QTest::addColumn<QString>("typed"); // in mm
    QTest::addColumn<QString>("shown"); // in the unit passed through
    QTest::newRow("mm, inch, mm") << "rb_units_inch" << "0.15" << "0.0059";
    QTest::newRow("mm, mils, mm") << "rb_units_mils" << "0.1" << "   3.9";
}

void TestWindow::unitRoundTripKeepsWidth()
{
    QFETCH(QString, through);
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    // 200 pixels wide: a width off in its fourth decimal moves the run's end by a whole mil.
    const QImage picture = redBlue(200, 4);
    kestrel w;
    w.show();
    open(w, writePicture(picture, QStringLiteral("roundtrip.png")));
    child<QSlider>(&w, "sl_threshold")->setValue(50);
    QTest::mouseClick(child<QRadioButton>(&w, "rb_units_mm"), Qt::LeftButton);
    typeLineWidth(w, typed);
    auto *width = child<QLineEdit>(&w, "le_linewidth");
    QTest::mouseClick(child<QRadioButton>(&w, qPrintable(through)), Qt::LeftButton);
    QCOMPARE(width->text(), shown);
    // Written with the width typed, not the rounded one shown.
    const QString out = m_dir.filePath(QStringLiteral("roundtrip.asc"));
    generate(w, out);
    QFile file(out);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(),
             literal::padsBytes(literal::bw(literal::grey(picture), 50, false, 100),
                                typed.toDouble() * 39.37007874015748, 19));
    QTest::mouseClick(child<QRadioButton>(&w, "rb_units_mm"), Qt::LeftButton);
    QCOMPARE(width->text().toDouble(), typed.toDouble());
}

void TestWindow::unitFollowsButtonsWhileNotANumber()
{
    const QString in = writePicture(redBlue(100, 50), QStringLiteral("unit.png"));
    kestrel w;
    w.show();
    open(w, in);
    auto *width = child<QLineEdit>(&w, "le_linewidth");
    width->selectAll();
    QTest::keyClicks(width, QStringLiteral("abc"));
    QTest::mouseClick(child<QRadioButton>(&w, "rb_units_mm"), Qt::LeftButton);
    QCOMPARE(width->text(), QStringLiteral("abc"));
    QCOMPARE(width->styleSheet(), QStringLiteral("background-color: yellow"));
    // The number typed next is read in the unit the user sees checked.
    width->selectAll();
    QTest::keyClicks(width, QStringLiteral("1"));
    QCOMPARE(text(&w, "lbl_ascsizemm"), QStringLiteral("100.0x50.0 mm"));
}

void TestWindow::nothingToWrite_data()
{
    QTest::addColumn<bool>("picture");
    QTest::addColumn<int>("scale");
    QTest::addColumn<qsizetype>("memory"); // bytes an image may take, 0 for any
    QTest::addColumn<QString>("shown"); // when it happens; empty if nothing is shown then
    QTest::addColumn<QString>("refusal"); // %1 the file chosen
    QTest::addColumn<QString>("chosen");
    QTest::newRow("no picture") << false << 100 << qsizetype(0) << QString()
                                << "Open a picture first."
                                << "kept.asc";
    QTest::newRow("no memory for the black-and-white image")
            << true << 500 << qsizetype(10000)
            << "There is not enough memory for the black-and-white image (200 x 100 pixels)."
            << "There is no black-and-white image to write."
            << "kept.asc";
    QTest::newRow("no pixels left at 2 %") << true << 2 << qsizetype(0) << QString()
                                           << "There is no black-and-white image to write."
                                           << "kept.asc";
    QTest::newRow("the picture itself chosen")
            << true << 100 << qsizetype(0) << QString()
            << "%1 is the picture being converted; writing the board file there would destroy "
               "it.\nNothing was written."
            << "nothing.png";
}

void TestWindow::nothingToWrite()
{
    QFETCH(bool, picture);
    QFETCH(int, scale);
    QFETCH(qsizetype, memory);
    QFETCH(QString, shown);
    QFETCH(QString, refusal);
    QFETCH(QString, chosen);
    kestrel w;
    w.show();
    if (picture)
        open(w, writePicture(redBlue(40, 20), QStringLiteral("nothing.png")));
    kcore::setAllocationLimit(memory);
    Dialogs::reset();
    Dialogs::setNextAnswer(QMessageBox::Ok);
    child<QSpinBox>(&w, "sb_scale")->setValue(scale);
    kcore::setAllocationLimit(0);
    QCOMPARE(Dialogs::last().informative, shown);

    // (A picture is read once it is open, so what its file holds now does not matter.)
    const QString out = m_dir.filePath(chosen);
    QVERIFY(testsupport::writeFile(out, "yesterday's board\n"));
    QCOMPARE(messageOfNextBox([&] { generate(w, out); }),
             refusal.contains(QLatin1String("%1")) ? refusal.arg(QDir::toNativeSeparators(out))
                                                   : refusal);
    QFile file(out);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("yesterday's board\n"));
}

void TestWindow::exportReplacesAndKeepsName()
{
    const QString in = writePicture(redBlue(8, 2), QStringLiteral("small.png"));
    kestrel w;
    w.show();
    open(w, in);
    child<QSlider>(&w, "sl_threshold")->setValue(50);
    // A name outside Latin-1, and no suffix: used exactly as chosen.
    const QString out = m_dir.filePath(QStringLiteral("Łódź-Ω-логотип"));
    QVERIFY(testsupport::writeFile(out, QByteArray(100000, 'x')));
    generate(w, out);
    QFile file(out);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QCOMPARE(
            bytes,
            literal::padsBytes(literal::bw(literal::grey(redBlue(8, 2)), 50, false, 100), 2.0, 19));
    QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral("Łódź*")}).size(), 1);
}

void TestWindow::exportFailureIsShown()
{
    kestrel w;
    w.show();
    open(w, writePicture(redBlue(8, 2), QStringLiteral("unwritable.png")));
#ifdef Q_OS_LINUX
    // Nothing can be created in /proc, not even by root.
    const QString out = QStringLiteral("/proc/kestrel-test.asc");
#else
    // Elsewhere no such place is certain: a folder that does not exist stands in.
    const QString out = m_dir.filePath(QStringLiteral("no-such-folder/kestrel-test.asc"));
#endif
    const QString message = messageOfNextBox([&] { generate(w, out); });
    QVERIFY2(message.startsWith(QStringLiteral("Could not write the file ")
                                + QDir::toNativeSeparators(out)),
             qPrintable(message));
    QVERIFY(!QFile::exists(out));
}

void TestWindow::refusedLineWidths_data()
{
    QTest::addColumn<QString>("unitButton");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("reason");
    QTest::newRow("too large") << "rb_units_inch"
                               << "1e6" << kcore::pitchTooLargeMessage();
    QTest::newRow("not a number") << "rb_units_mils"
                                  << "abc"
                                  << "is not a number";
    QTest::newRow("zero") << "rb_units_mils"
                          << "0"
                          << "greater than 0";
    QTest::newRow("negative") << "rb_units_mm"
                              << "-0.2"
                              << "greater than 0";
    QTest::newRow("below 1 mil") << "rb_units_mm"
                                 << "0.005"
                                 << "below 1 mil";
}

void TestWindow::refusedLineWidths()
{
    QFETCH(QString, unitButton);
    QFETCH(QString, typed);
    QFETCH(QString, reason);
    const QString in = writePicture(redBlue(40, 20), QStringLiteral("refused.png"));
    kestrel w;
    w.show();
    open(w, in);
    QTest::mouseClick(child<QRadioButton>(&w, qPrintable(unitButton)), Qt::LeftButton);
    typeLineWidth(w, typed);
    const QString message = messageOfNextBox(
            [&] { QTest::mouseClick(child<QPushButton>(&w, "pb_generate"), Qt::LeftButton); });
    QVERIFY2(message.contains(reason), qPrintable(message));
    // Refused before any file is asked for.
    QVERIFY(Dialogs::last().suggestion.isEmpty());
    if (reason != kcore::pitchTooLargeMessage())
        QVERIFY2(message.contains(QLatin1String("1 mil (0.0254 mm")), qPrintable(message));
}

void TestWindow::startupArgument_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason"); // empty when the picture opens
    QTest::newRow("a picture") << "start.png" << QString();
    QTest::newRow("missing file") << "missing.png"
                                  << "The file does not exist.";
    QTest::newRow("not a picture") << "notes.txt"
                                   << "This is not a kind of picture";
    QTest::newRow("empty file") << "empty.png"
                                << "The file is empty.";
    QTest::newRow("cut-off picture") << "cut.png"
                                     << "The picture is damaged or incomplete";
}

void TestWindow::startupArgument()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);
    writePicture(redBlue(30, 12), QStringLiteral("start.png"));
    QVERIFY(testsupport::writeFile(m_dir.filePath(QStringLiteral("notes.txt")), "hello"));
    QVERIFY(testsupport::writeFile(m_dir.filePath(QStringLiteral("empty.png")), ""));
    QFile whole(m_dir.filePath(QStringLiteral("start.png")));
    QVERIFY(whole.open(QIODevice::ReadOnly));
    QVERIFY(testsupport::writeFile(m_dir.filePath(QStringLiteral("cut.png")),
                                   whole.readAll().left(60)));
    kestrel w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QString text, informative, title;
    QWidget *parent = nullptr;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    const auto watch = onNextModal(
            [&](QWidget *m) {
                parent = m->parentWidget();
                title = m->windowTitle();
                if (auto *box = qobject_cast<QMessageBox *>(m)) {
                    icon = box->icon();
                    text = box->text();
                    informative = box->informativeText();
                }
                testsupport::closeDialog(m);
            },
            2000);
    w.open_startup_arguments({m_dir.filePath(name)});
    if (!reason.isEmpty()) {
        // Over the window, with a warning icon, as every message of kestrel's; titled with the
        // file that failed, not the one open.
        QCOMPARE(parent, &w);
        QCOMPARE(icon, QMessageBox::Warning);
        QCOMPARE(title, name + QStringLiteral(" \u2013 KESTREL"));
    }
    if (reason.isEmpty()) {
        QCOMPARE(::text(&w, "lbl_info"), QStringLiteral("Width=30 Heigth=12"));
        QCOMPARE(text, QString());
    } else {
        QCOMPARE(text, QStringLiteral("Could not load the file as image."));
        QCOMPARE(informative.section(QLatin1String(": "), 0, 0),
                 QDir::toNativeSeparators(m_dir.filePath(name)));
        QVERIFY2(informative.section(QLatin1String(": "), 1).startsWith(reason),
                 qPrintable(informative));
        QCOMPARE(::text(&w, "lbl_info"), QStringLiteral("info"));
    }
}

void TestWindow::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("stop"); // the help's first line, "version" or the error; or empty
    QTest::addColumn<QStringList>("pictures");
    QTest::newRow("help") << QStringList{"--help"} << "Usage: kestrel [options] [picture]"
                          << QStringList();
    QTest::newRow("version") << QStringList{"-v"} << "version" << QStringList();
    QTest::newRow("unknown option") << QStringList{"--hlep", "logo.png"} << "Unknown option 'hlep'."
                                    << QStringList{"logo.png"};
    QTest::newRow("a picture named like an option")
            << QStringList{"--", "--help.png"} << QString() << QStringList{"--help.png"};
}

void TestWindow::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, stop);
    QFETCH(QStringList, pictures);
    const CommandLine line = CommandLine::read(QStringList{"kestrel"} + arguments);
    const QString stopped = line.help ? line.helpText.section(QLatin1Char('\n'), 0, 0)
            : line.version            ? QStringLiteral("version")
                                      : line.error;
    QCOMPARE(stopped, stop);
    QCOMPARE(line.pictures, pictures);
}

void TestWindow::boardView()
{
    // One white pixel, a one-pixel gap of grey 100, one white pixel; 10 mil lines. As a reader
    // draws the file, the round ends close the gap; with exact ends it stays open.
    QImage picture(3, 1, QImage::Format_RGB32);
    picture.setPixel(0, 0, qRgb(255, 255, 255));
    picture.setPixel(1, 0, qRgb(100, 100, 100));
    picture.setPixel(2, 0, qRgb(255, 255, 255));
    kestrel w;
    QFrame *frame = showBoard(w, writePicture(picture, QStringLiteral("gap.png")));
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("Width=3 Heigth=1"));

    // Drawn in the screen's own pixels (the run under QT_SCALE_FACTOR=2 checks it): on a
    // high-density screen the copper is rendered at that density, not enlarged from a coarser
    // image. Compared inside the frame's border.
    const qreal ratio = frame->devicePixelRatioF();
    auto shot = [&] {
        QImage image = frame->grab().toImage().convertToFormat(QImage::Format_RGB32);
        image.setDevicePixelRatio(1); // compared pixel for pixel
        return image;
    };
    auto pixel = [&](const QImage &image, const QPoint &at) {
        return image.pixel(int(at.x() * ratio), int(at.y() * ratio));
    };
    {
        const kcore::PadsSettings pads{10, 19, false};
        QSize size;
        const kcore::BoardViewport fitted
                = kcore::BoardZoom().viewport(kcore::boardBounds(QSize(3, 1), pads),
                                              (QSizeF(frame->size()) * ratio).toSize(), &size);
        const QRect inside(4, 4, size.width() - 8, size.height() - 8);
        QCOMPARE(shot().copy(inside),
                 kcore::renderBoard(testsupport::bwFromRows({"#.#"}), pads, fitted, size)
                         .copy(inside));
    }

    // Copper spans x = -5 to 35 mils across the whole fitted width; the gap's centre is at 15.
    // The strip is 10 mils high, a quarter of the frame's width; its centre line is y = 10.
    auto at = [&](double mils, double above = 0) {
        const double pixelsPerMil = frame->width() / 40.0;
        return pixel(shot(),
                     QPoint(int((mils + 5) * pixelsPerMil), int((5 - above) * pixelsPerMil)));
    };
    // The two caps meet at x = 15 on the centre line: either side of it is copper.
    QCOMPARE(at(13.5), kcore::copperColour);
    QCOMPARE(at(16.5), kcore::copperColour);
    QCOMPARE(at(-4), kcore::copperColour);
    // The ends are round: 4 mils above the centre line the cap reaches only to x = -3.
    QCOMPARE(at(-4, 4), kcore::boardColour);
    QCOMPARE(at(-2, 4), kcore::copperColour);
    // Exact Line Ends redraws the view at once and recounts what Generate will write.
    std::optional<testsupport::PaintCounter> counter(std::in_place, frame);
    auto *budget = child<QLabel>(&w, "lbl_budget");
    QTRY_VERIFY2(budget->text().contains(QLatin1String(": 2 items, 206 bytes")),
                 qPrintable(budget->text()));
    child<QAction>(&w, "actionExactEnds")->trigger();
    QTRY_VERIFY(counter->paints > 0);
    // Each single pixel is now a 1-mil piece: "1 0" where "10 0" was.
    QTRY_VERIFY2(budget->text().contains(QLatin1String(": 2 items, 204 bytes")),
                 qPrintable(budget->text()));
    counter.reset();
    QCOMPARE(at(13.5), kcore::boardColour);
    QCOMPARE(at(16.5), kcore::boardColour);
    QCOMPARE(at(-3), kcore::boardColour); // nothing overhangs the first pixel any more
    QCOMPARE(at(5), kcore::copperColour);
    // Smooth edges end the copper where the grey crosses the threshold's 128.5, 13.2 and 16.8
    // mils, to the whole mil. (Exact ends off again, so the board keeps its extent.)
    child<QAction>(&w, "actionExactEnds")->trigger();
    child<QAction>(&w, "actionSmoothEdges")->trigger();
    QCOMPARE(at(12.7), kcore::copperColour);
    QCOMPARE(at(13.7), kcore::boardColour);
    QCOMPARE(at(16.3), kcore::boardColour);
    QCOMPARE(at(17.3), kcore::copperColour);
    // Another picture of the same size brings its own levels: a gap of grey 20 is wider, and the
    // pixels either side become one-mil pieces, 0 to 11 and 19 to 30 mils.
    picture.setPixel(1, 0, qRgb(20, 20, 20));
    open(w, writePicture(picture, QStringLiteral("darker gap.png")));
    QCOMPARE(at(10.5), kcore::copperColour);
    QCOMPARE(at(11.5), kcore::boardColour);
    QCOMPARE(at(18.5), kcore::boardColour);
    QCOMPARE(at(19.5), kcore::copperColour);
    child<QAction>(&w, "actionSmoothEdges")->trigger();

    // The wheel zooms into the board until it fills the frame; a double-click fits it again.
    const QPoint centre(frame->width() / 2, frame->width() / 8);
    const QPoint corner(frame->width() - 5, frame->height() - 5);
    const QRgb outside = pixel(shot(), corner);
    QWheelEvent wheel(centre, frame->mapToGlobal(centre), QPoint(), QPoint(0, 600), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(frame, &wheel);
    QCOMPARE(pixel(shot(), corner), kcore::boardColour);
    QTest::mouseDClick(frame, Qt::LeftButton, Qt::NoModifier, centre);
    QCOMPARE(pixel(shot(), corner), outside);

    // With round ends the gap is closed: a red ring marks it, of the same size on screen at any
    // zoom, and Next Finding (F3) zooms in with the finding in the middle.
    QTRY_COMPARE(text(&w, "lbl_gaps"), QStringLiteral("\u26a0 1 closed gap, 0 narrow gaps"));
    const auto ringAround = [&](QPointF c) {
        const QImage image = shot();
        for (int dx = 5; dx <= 9; ++dx) {
            const QRgb p = pixel(image, QPoint(int(c.x()) + dx, int(c.y())));
            if (qRed(p) > 180 && qGreen(p) < 90 && qBlue(p) < 90)
                return true;
        }
        return false;
    };
    const double pixelsPerMil = frame->width() / 40.0;
    QVERIFY(ringAround(QPointF(20 * pixelsPerMil, 5 * pixelsPerMil)));
    QVERIFY(!ringAround(QPointF(5 * pixelsPerMil, 5 * pixelsPerMil))); // copper, no finding
    auto *next = child<QAction>(&w, "actionNextFinding");
    QCOMPARE(next->shortcut(), QKeySequence(Qt::Key_F3));
    next->trigger();
    QCOMPARE(pixel(shot(), corner), kcore::boardColour);
    QVERIFY(ringAround(QPointF(frame->width() / 2.0, frame->height() / 2.0)));
}

void TestWindow::boardPanAndZoom_data()
{
    QTest::addColumn<QString>("view");
    QTest::addColumn<QRgb>("shade"); // the colour the white pixel shows in
    QTest::newRow("board") << "rb_board" << kcore::copperColour;
    QTest::newRow("black and white") << "rb_bandw" << QRgb(0xffffffff);
    QTest::newRow("colour") << "rb_img" << QRgb(0xffffffff);
}

void TestWindow::boardPanAndZoom()
{
    QFETCH(QString, view);
    QFETCH(QRgb, shade);
    // One white pixel right of the middle and near the top: every direction shows.
    QImage picture(10, 6, QImage::Format_RGB32);
    picture.fill(Qt::black);
    picture.setPixel(7, 1, qRgb(255, 255, 255));
    kestrel w;
    QFrame *frame = showBoard(w, writePicture(picture, QStringLiteral("dot.png")));
    QTest::mouseClick(child<QRadioButton>(&w, qPrintable(view)), Qt::LeftButton);
    // The middle of the dot, in the frame's own pixels.
    const auto centreOf = [frame](QRgb colour) {
        const QImage image = frame->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QPointF sum;
        int n = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (image.pixel(x, y) == colour) {
                    sum += QPointF(x + 0.5, y + 0.5);
                    ++n;
                }
        return n ? sum / n / image.devicePixelRatio() : QPointF(-1, -1);
    };
    const auto dot = [&] { return centreOf(shade); };
    // The zoom shows in the status bar.
    auto *zoom = w.findChild<QLabel *>(QStringLiteral("lbl_zoom"));
    QVERIFY(zoom);
    const auto percent = [zoom] { return zoom->text().section(' ', 1, 1).toDouble(); };
    // Empty when the dot is at (about) where it should be.
    const auto misplaced = [](QPointF a, QPointF b) {
        return QLineF(a, b).length() < 1.5
                ? QString()
                : QStringLiteral("at %1,%2, not %3,%4").arg(a.x()).arg(a.y()).arg(b.x()).arg(b.y());
    };
    const QPointF fitted = dot();
    QVERIFY(fitted.x() > frame->width() / 2 && fitted.y() < frame->height() / 3);

    // The wheel zooms by 1.25 a notch, keeping the board point under the mouse where it is.
    const QPoint at(frame->width() * 2 / 5, frame->height() / 4);
    QWheelEvent wheel(at, frame->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    const double fittedPercent = percent();
    QVERIFY2(fittedPercent > 0, qPrintable(zoom->text()));
    QApplication::sendEvent(frame, &wheel);
    const QPointF zoomed = dot();
    QCOMPARE(misplaced(zoomed, QPointF(at) + (fitted - QPointF(at)) * 1.25), QString());
    QVERIFY2(qAbs(percent() - fittedPercent * 1.25) <= 1, qPrintable(zoom->text()));
    // Dragging carries the board along with the mouse.
    const QPoint by(-60, 40);
    QTest::mousePress(frame, Qt::LeftButton, {}, at);
    QMouseEvent move(QEvent::MouseMove, at + by, frame->mapToGlobal(at + by), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(frame, &move);
    QTest::mouseRelease(frame, Qt::LeftButton, {}, at + by);
    QCOMPARE(misplaced(dot(), zoomed + by), QString());
    QTest::mouseDClick(frame, Qt::LeftButton, Qt::NoModifier, at);
    QCOMPARE(misplaced(dot(), fitted), QString());
    // Board, Zoom In is a notch of the wheel at the frame's middle, Zoom Out its reverse; Whole
    // Board fits again.
    const QPoint middle(frame->width() / 2, frame->height() / 2);
    QWheelEvent notch(middle, frame->mapToGlobal(middle), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(frame, &notch);
    const QPointF notched = dot();
    QVERIFY(!misplaced(notched, fitted).isEmpty());
    QTest::mouseDClick(frame, Qt::LeftButton, Qt::NoModifier, at);
    child<QAction>(&w, "actionZoomIn")->trigger();
    QCOMPARE(misplaced(dot(), notched), QString());
    child<QAction>(&w, "actionZoomOut")->trigger();
    QCOMPARE(misplaced(dot(), fitted), QString());
    child<QAction>(&w, "actionZoomIn")->trigger();
    child<QAction>(&w, "actionWholeBoard")->trigger();
    QCOMPARE(misplaced(dot(), fitted), QString());
}

void TestWindow::dropAndPaste()
{
    kestrel w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const auto drop = [&w](const QString &path) {
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(path)});
        QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction, &mime, Qt::LeftButton, {});
        QApplication::sendEvent(&w, &enter);
        if (!enter.isAccepted())
            return false;
        QDropEvent dropped(QPointF(50, 50), Qt::CopyAction, &mime, Qt::LeftButton, {});
        QApplication::sendEvent(&w, &dropped);
        return true;
    };
    // A picture named like nothing kestrel reads is still taken for its contents.
    const QString dat = m_dir.filePath(QStringLiteral("dropped.dat"));
    QVERIFY(QFile::rename(writePicture(redBlue(30, 12), QStringLiteral("dropped.png")), dat));
    QVERIFY(drop(dat));
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("Width=30 Heigth=12"));
    QVERIFY(testsupport::writeFile(m_dir.filePath(QStringLiteral("notes.txt")), "hello"));
    QVERIFY(!drop(m_dir.filePath(QStringLiteral("notes.txt"))));
    if (kcore::vectorSupport()) {
        const QString svg = m_dir.filePath(QStringLiteral("dropped.svg"));
        QVERIFY(testsupport::writeFile(svg, "<svg xmlns='http://www.w3.org/2000/svg' "
                                            "width='2mm' height='1mm'/>"));
        QVERIFY(drop(svg));
        QCOMPARE(w.windowTitle(), QStringLiteral("dropped.svg \u2013 KESTREL"));
    }

    QGuiApplication::clipboard()->setImage(redBlue(16, 6));
    child<QAction>(&w, "actionPaste")->trigger();
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("Width=16 Heigth=6"));
    QCOMPARE(w.windowTitle(), QStringLiteral("pasted \u2013 KESTREL"));
    // Text on the clipboard is no picture: what is open stays.
    QGuiApplication::clipboard()->setText(QStringLiteral("hello"));
    child<QAction>(&w, "actionPaste")->trigger();
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("Width=16 Heigth=6"));
    // A file manager's copy is the files' addresses: the first picture among them opens.
    auto *copied = new QMimeData;
    copied->setUrls({QUrl(QStringLiteral("file:///no/such/notes.txt")), QUrl::fromLocalFile(dat),
                     QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("notes.txt")))});
    QGuiApplication::clipboard()->setMimeData(copied);
    child<QAction>(&w, "actionPaste")->trigger();
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("Width=30 Heigth=12"));
    QCOMPARE(w.windowTitle(), QStringLiteral("dropped.dat \u2013 KESTREL"));
}

void TestWindow::recentFiles()
{
    QTemporaryDir other;
    const QString first = writePicture(redBlue(30, 12), QStringLiteral("first.png"));
    const QString second = QDir(other.path()).filePath(QStringLiteral("second.png"));
    QVERIFY(redBlue(16, 6).save(second));
    {
        kestrel w;
        w.show();
        open(w, first);
        for (int i = 0; i < 9; ++i)
            open(w, second); // once in the list, however often opened
        // The next dialog starts where the last file was.
        open(w, QString());
        QCOMPARE(Dialogs::last().directory, other.path());
    }
    // The next run lists them, newest first, and opens them from the menu.
    kestrel w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const auto recent = [&w] { return child<QMenu>(&w, "menu_OpenRecent")->actions(); };
    QCOMPARE(recent().size(), 2);
    QCOMPARE(recent()[0]->text(), QStringLiteral("&1 second.png"));
    QCOMPARE(recent()[1]->text(), QStringLiteral("&2 first.png"));
    recent()[1]->trigger();
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("Width=30 Heigth=12"));
    QCOMPARE(recent()[0]->text(), QStringLiteral("&1 first.png"));
    // A file gone since is said so and dropped.
    QVERIFY(QFile::remove(second));
    const QString message = messageOfNextBox([&] { recent()[1]->trigger(); });
    QVERIFY2(message.startsWith(QDir::toNativeSeparators(second)), qPrintable(message));
    QCOMPARE(recent().size(), 1);
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("Width=30 Heigth=12"));
}

void TestWindow::unnamedSettingsAdopted()
{
    // This suite's own settings are kept without a maker's name, as an earlier kestrel's were.
    QSettings().setValue(QStringLiteral("board/format"), QStringLiteral("9.4"));
    QCoreApplication::setOrganizationName(QStringLiteral("Marrowby Test"));
    const auto named = qScopeGuard([] {
        QSettings().clear();
        QCoreApplication::setOrganizationName(QString());
    });
    QSettings().clear();
    adoptUnnamedSettings();
    QCOMPARE(QSettings().value(QStringLiteral("board/format")).toString(),
             QStringLiteral("9.4"));
    // Only once: settings made under the name since are not replaced.
    QSettings().setValue(QStringLiteral("board/format"), QStringLiteral("2.0"));
    adoptUnnamedSettings();
    QCOMPARE(QSettings().value(QStringLiteral("board/format")).toString(),
             QStringLiteral("2.0"));
}

void TestWindow::keys_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("target"); // an action, a button clicked or a view button checked
    QTest::newRow("open") << "Ctrl+O" << "actionOpen";
    QTest::newRow("quit") << "Ctrl+Q" << "actionQuit";
    QTest::newRow("paste") << "Ctrl+V" << "actionPaste";
    QTest::newRow("help") << "F1" << "actionHelp";
    QTest::newRow("generate") << "Ctrl+G" << "pb_generate";
    QTest::newRow("generate, in the File menu") << "Ctrl+G" << "actionGenerate";
    QTest::newRow("colour view") << "Ctrl+1" << "rb_img";
    QTest::newRow("grey view") << "Ctrl+2" << "rb_grey";
    QTest::newRow("black-and-white view") << "Ctrl+3" << "rb_bandw";
    QTest::newRow("board view") << "Ctrl+4" << "rb_board";
    QTest::newRow("zoom in") << "Ctrl++" << "actionZoomIn";
    QTest::newRow("zoom in, no shift") << "Ctrl+=" << "actionZoomIn";
    QTest::newRow("zoom out") << "Ctrl+-" << "actionZoomOut";
    QTest::newRow("whole board") << "Ctrl+0" << "actionWholeBoard";
    QTest::newRow("next finding") << "F3" << "actionNextFinding";
    QTest::newRow("previous finding") << "Shift+F3" << "actionPreviousFinding";
}

void TestWindow::keys()
{
    QFETCH(QString, key);
    QFETCH(QString, target);
    kestrel w;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QObject *object = w.findChild<QObject *>(target);
    QVERIFY(object);
    std::optional<QSignalSpy> spy;
    if (auto *action = qobject_cast<QAction *>(object)) {
        // Each is on the menu bar or in one of its menus, where the key is shown.
        bool listed = w.menuBar()->actions().contains(action);
        for (QMenu *menu : w.menuBar()->findChildren<QMenu *>())
            listed = listed || menu->actions().contains(action);
        QVERIFY(listed);
        // Only the key is tested here: what each action does is tested on its own.
        QObject::disconnect(action, &QAction::triggered, nullptr, nullptr);
        spy.emplace(action, &QAction::triggered);
    } else if (target == QLatin1String("pb_generate")) {
        QObject::disconnect(static_cast<QPushButton *>(object), &QPushButton::clicked, nullptr,
                            nullptr);
        spy.emplace(static_cast<QPushButton *>(object), &QPushButton::clicked);
    }
    if (target == QLatin1String("rb_img"))
        child<QRadioButton>(&w, "rb_grey")->setChecked(true);
    QTest::keySequence(&w, QKeySequence(key));
    if (spy)
        QTRY_COMPARE(spy->count(), 1);
    else
        QTRY_VERIFY(static_cast<QRadioButton *>(object)->isChecked());
    // No mnemonic is taken twice within a menu.
    for (QMenu *menu : w.menuBar()->findChildren<QMenu *>()) {
        QSet<QChar> taken;
        for (QAction *a : menu->actions()) {
            const qsizetype at = a->text().indexOf(QLatin1Char('&'));
            if (at < 0 || at + 1 >= a->text().size())
                continue;
            const QChar m = a->text().at(at + 1).toLower();
            QVERIFY2(!taken.contains(m), qPrintable(menu->title() + ": " + a->text()));
            taken.insert(m);
        }
    }
}

void TestWindow::fabWarning_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("warning"); // the warning's tooltip, empty when there is none
    QTest::addColumn<int>("preset"); // of Board, Fab Limits, chosen once the line is counted
    // Said in the window's unit, as Fab Limits shows it: 3 mil is 0.0762 mm.
    QTest::newRow("0.06 mm, 3 mil lines")
            << "0.06"
            << "line 3 mil"
            << "The 0.0762 mm line is finer than the 0.1016 mm the board maker can make." << -1;
    QTest::newRow("0.1 mm, 4 mil lines") << "0.1"
                                         << "line 4 mil" << QString() << -1;
    QTest::newRow("0.2 mm, 8 mil lines") << "0.2"
                                         << "line 8 mil" << QString() << -1;
    QTest::newRow("0.127 mm, 5 mil lines, then the silkscreen preset")
            << "0.127"
            << "line 5 mil"
            << "The 0.127 mm line is finer than the 0.15 mm the board maker can make." << 1;
}

void TestWindow::fabWarning()
{
    QFETCH(QString, typed);
    QFETCH(QString, line);
    QFETCH(QString, warning);
    QFETCH(int, preset);
    kestrel w;
    w.show();
    open(w, writePicture(redBlue(40, 20), QStringLiteral("fab.png")));
    QTest::mouseClick(child<QRadioButton>(&w, "rb_units_mm"), Qt::LeftButton);
    typeLineWidth(w, typed);
    auto *label = child<QLabel>(&w, "lbl_fabwarning");
    auto *budget = child<QLabel>(&w, "lbl_budget");
    QTRY_VERIFY(budget->text().contains(line));
    // Every figure is shown whole, at the smallest size the window takes too.
    w.resize(w.minimumSize());
    QTRY_COMPARE(w.size(), w.minimumSize());
    const QRect needed = budget->fontMetrics().boundingRect(
            QRect(0, 0, budget->width(), 1000), Qt::TextWordWrap, budget->text());
    QVERIFY2(needed.width() <= budget->width() && needed.height() <= budget->height(),
             qPrintable(budget->text()));
    if (preset >= 0) {
        // New limits are checked at once, with nothing else changed.
        QSignalSpy shown(&w, &kestrel::fabCheckShown);
        const auto watch = onNextModal([preset](QWidget *d) {
            child<QComboBox>(d, "cb_preset")->setCurrentIndex(preset);
            static_cast<QDialog *>(d)->accept();
        });
        child<QAction>(&w, "actionFabLimits")->trigger();
        QVERIFY(shown.wait());
    }
    QCOMPARE(label->isVisible(), !warning.isEmpty());
    QCOMPARE(label->toolTip(), warning);
    // The count runs in the background: from the moment the settings change, the old result is
    // no longer shown as current, and the newest settings' result follows.
    typeLineWidth(w, QStringLiteral("0.3"));
    QVERIFY2(!budget->text().contains(line), qPrintable(budget->text()));
    QTRY_VERIFY(budget->text().contains(QLatin1String("line 12 mil")));
    QVERIFY(!label->isVisible());
}

void TestWindow::fabSafe()
{
    // Letters a pixel apart, a hairline through a block, specks and a sliver, at 2 mil lines.
    const QString in = writePicture(
            testsupport::bwFromRows({"##.##..##...#.#.#.#.....", "##.##..##...#.#.#.#.....",
                                     "........................", "#######.#######.#######.",
                                     "#######.#.....#.#.......", "#######.#######.#######.",
                                     "........................", "######.#####..#......#..",
                                     "######.#####...........#"}),
            QStringLiteral("slivers.png"));
    {
        kestrel w;
        w.show();
        open(w, in);
        QTest::mouseClick(child<QRadioButton>(&w, "rb_bandw"), Qt::LeftButton);
        auto *gaps = child<QLabel>(&w, "lbl_gaps");
        auto *changed = child<QLabel>(&w, "lbl_fabsafe");
        QTRY_VERIFY(gaps->text().startsWith(QStringLiteral("\u26a0 ")));
        QVERIFY(child<QLabel>(&w, "lbl_fabwarning")->isVisible());
        QVERIFY(!changed->isVisible());
        const QImage plain = child<QFrame>(&w, "mainframe")->grab().toImage();
        // Ticked, the black-and-white image is made safe and the fab panel reads clean.
        QSignalSpy shown(&w, &kestrel::fabCheckShown);
        QTest::mouseClick(child<QCheckBox>(&w, "cb_fabsafe"), Qt::LeftButton);
        QVERIFY(shown.wait());
        QCOMPARE(gaps->text(), QStringLiteral("0 closed gaps, 0 narrow gaps"));
        QVERIFY(!child<QLabel>(&w, "lbl_fabwarning")->isVisible());
        QVERIFY2(changed->isVisible() && changed->text().startsWith(QLatin1String("fab-safe: ")),
                 qPrintable(changed->text()));
        QVERIFY(child<QFrame>(&w, "mainframe")->grab().toImage() != plain);
        // Stricter limits make it again, for them.
        const QString before = changed->text();
        const auto watch = onNextModal([](QWidget *d) {
            child<QComboBox>(d, "cb_preset")->setCurrentIndex(1); // silkscreen
            static_cast<QDialog *>(d)->accept();
        });
        child<QAction>(&w, "actionFabLimits")->trigger();
        QVERIFY(shown.wait());
        QVERIFY2(changed->text() != before, qPrintable(before));
        QCOMPARE(gaps->text(), QStringLiteral("0 closed gaps, 0 narrow gaps"));
        QVERIFY(!child<QLabel>(&w, "lbl_fabwarning")->isVisible());
        // Neither a stack's layers nor a halftone is made fab-safe: the box waits with the
        // threshold.
        child<QAction>(&w, "actionStack")->trigger();
        QVERIFY(!child<QCheckBox>(&w, "cb_fabsafe")->isEnabled());
        QVERIFY(!changed->isVisible());
        child<QAction>(&w, "actionStack")->trigger();
        Dialogs::setNextAnswer(QMessageBox::Ok);
        child<QComboBox>(&w, "cb_tones")->setCurrentIndex(1);
        QVERIFY(!child<QCheckBox>(&w, "cb_fabsafe")->isEnabled());
        QVERIFY(!changed->isVisible());
        child<QComboBox>(&w, "cb_tones")->setCurrentIndex(0);
        QVERIFY(child<QCheckBox>(&w, "cb_fabsafe")->isEnabled());
    }
    // Remembered with the board options.
    kestrel w;
    QVERIFY(child<QCheckBox>(&w, "cb_fabsafe")->isChecked());
}

void TestWindow::onlyNewestFabCheckShown()
{
    kestrel w;
    w.show();
    open(w, writePicture(redBlue(40, 20), QStringLiteral("newest.png")));
    QSignalSpy shown(&w, &kestrel::fabCheckShown);
    QVERIFY(shown.wait());
    QSignalSpy started(w.findChild<QTimer *>("budget_timer"), &QTimer::timeout);
    {
        // Every thread of the pool held, so the count for 3 mil waits until 7 mil is typed.
        QThreadPool *pool = QThreadPool::globalInstance();
        QSemaphore held, gate;
        for (int i = 0; i < pool->maxThreadCount(); ++i)
            pool->start([&] {
                held.release();
                gate.acquire();
            });
        held.acquire(pool->maxThreadCount());
        typeLineWidth(w, QStringLiteral("3"));
        QVERIFY(started.wait());
        typeLineWidth(w, QStringLiteral("7"));
        gate.release(pool->maxThreadCount());
        // The 3 mil count ends before the 7 mil one can start: that needs the event loop.
        pool->waitForDone();
    }
    QVERIFY(shown.wait());
    const QString said = text(&w, "lbl_budget");
    QVERIFY2(said.contains(QLatin1String("line 7 mil")), qPrintable(said));
}

void TestWindow::fitToSize()
{
    // 40 x 20 pixels at 2 mil, fitted into 1 mm (39.4 mil): 20 pixels would be 40 mil; 45 %
    // gives 18 x 9, and 46-49 % give the same image, kept to 18 x 9 by the aspect ratio.
    kestrel w;
    w.show();
    open(w, writePicture(redBlue(40, 20), QStringLiteral("fit.png")));
    QTest::mouseClick(child<QRadioButton>(&w, "rb_units_mm"), Qt::LeftButton);
    const auto watch = onNextModal([](QWidget *d) {
        d->findChild<QDoubleSpinBox *>("sb_size")->setValue(1.0);
        static_cast<QDialog *>(d)->accept();
    });
    child<QAction>(&w, "actionFitToSize")->trigger();
    QCOMPARE(child<QSpinBox>(&w, "sb_scale")->value(), 45);
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("Width=40 Heigth=20"));
    QCOMPARE(text(&w, "lbl_ascsizemm"), QStringLiteral(" 0.9x 0.5 mm"));
    QCOMPARE(w.statusBar()->currentMessage(), QStringLiteral("Fitted to width 0.914 mm at 45 %"));
    // Too small for 1 %: refused, the scale kept.
    QString refusal;
    const auto box = onNextModal(
            [&refusal](QWidget *d) {
                refusal = static_cast<QMessageBox *>(d)->text();
                static_cast<QDialog *>(d)->accept();
            },
            10000, [](QWidget *d) { return qobject_cast<QMessageBox *>(d) != nullptr; });
    const auto small = onNextModal([](QWidget *d) {
        d->findChild<QDoubleSpinBox *>("sb_size")->setValue(0.01);
        static_cast<QDialog *>(d)->accept();
    });
    child<QAction>(&w, "actionFitToSize")->trigger();
    QVERIFY2(refusal.startsWith(QLatin1String("A width of 0.010 mm cannot be reached")),
             qPrintable(refusal));
    QCOMPARE(child<QSpinBox>(&w, "sb_scale")->value(), 45);
}

void TestWindow::vectorDocument()
{
    if (!kcore::vectorSupport())
        QSKIP("this build reads no vector documents");
    // The 40 x 16 mm logo is drawn onto the grid: at 2 mil, 787.4 x 315 pitches, rounded up.
    const QString svg = m_dir.filePath(QStringLiteral("logo.svg"));
    QVERIFY(testsupport::writeFile(svg, testsupport::logoSvg()));
    kestrel w;
    w.show();
    open(w, svg);
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("Width=788 Heigth=315"));
    // A new pitch draws the page again, as do the unit and the scale.
    QTest::mouseClick(child<QRadioButton>(&w, "rb_units_mm"), Qt::LeftButton);
    typeLineWidth(w, QStringLiteral("0.1"));
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("Width=400 Heigth=160"));
    QCOMPARE(text(&w, "lbl_ascsizemm"), QStringLiteral("40.0x16.0 mm"));
    child<QSpinBox>(&w, "sb_scale")->setValue(50);
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("Width=200 Heigth=80"));
    child<QSpinBox>(&w, "sb_scale")->setValue(100);
    // Exactly 161 x 81 pitches, though 16.1 and 8.1 read as floats are a little more.
    const QString whole = m_dir.filePath(QStringLiteral("whole.svg"));
    QVERIFY(testsupport::writeFile(whole, "<svg xmlns='http://www.w3.org/2000/svg' "
                                          "width='16.1mm' height='8.1mm'/>"));
    open(w, whole);
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("Width=161 Heigth=81"));
    open(w, svg);
    child<QSpinBox>(&w, "sb_scale")->setValue(50);
    // Fit to Size reaches a size no whole percent gives: 77 pitches, at 19.25 %.
    const auto watch = onNextModal([](QWidget *d) {
        d->findChild<QDoubleSpinBox *>("sb_size")->setValue(7.77);
        static_cast<QDialog *>(d)->accept();
    });
    child<QAction>(&w, "actionFitToSize")->trigger();
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("Width=77 Heigth=31"));
    QCOMPARE(child<QSpinBox>(&w, "sb_scale")->value(), 19);

    // A grid this big is drawn off the GUI thread; a change meanwhile wins over that drawing.
    child<QSpinBox>(&w, "sb_scale")->setValue(400);
    typeLineWidth(w, QStringLiteral("0.03")); // 5334 x 2134 pixels
    QVERIFY(w.statusBar()->currentMessage().startsWith(QLatin1String("Drawing the page")));
    typeLineWidth(w, QStringLiteral("0.2"));
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("Width=800 Heigth=320"));
    // Generate writes the small page; it does not wait for the drawing given up.
    const QString drawn = m_dir.filePath(QStringLiteral("drawn.asc"));
    generate(w, drawn);
    QVERIFY(QFile::exists(drawn));
    // So does a picture opened meanwhile. Unlike new settings, it draws no page of its own that
    // would replace the stale one, so that one must be dropped when it is done.
    const QString picture = writePicture(redBlue(40, 20), QStringLiteral("meanwhile.png"));
    typeLineWidth(w, QStringLiteral("0.03"));
    Dialogs::setNextFileName(picture);
    child<QAction>(&w, "actionOpen")->trigger();
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("Width=40 Heigth=20"));
    typeLineWidth(w, QStringLiteral("0.2"));
    child<QSpinBox>(&w, "sb_scale")->setValue(100);
    open(w, svg);

    // A PDF of two pages asks which; cancelling keeps what is open.
    QPdfWriter two(m_dir.filePath(QStringLiteral("two.pdf")));
    two.setPageSize(QPageSize(QSizeF(72, 36), QPageSize::Point));
    two.setPageMargins(QMarginsF(0, 0, 0, 0));
    {
        QPainter painter(&two);
        two.setPageSize(QPageSize(QSizeF(144, 36), QPageSize::Point));
        two.newPage();
    }
    Dialogs::setNextPage(-1);
    open(w, m_dir.filePath(QStringLiteral("two.pdf")));
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("Width=200 Heigth=80"));
    Dialogs::setNextPage(1);
    open(w, m_dir.filePath(QStringLiteral("two.pdf")));
    // Page 2 is 2 x 0.5 inch: 254 x 63.5 pitches of 0.2 mm, the half rounded up.
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("Width=254 Heigth=64"));
}

void TestWindow::stackMode_data()
{
    QTest::addColumn<bool>("bottom");
    QTest::addColumn<QString>("goldAs"); // the gold colour's finish, chosen in the palette table
    QTest::addColumn<QString>("mask"); // the mask colour chosen for the Board view
    QTest::addColumn<int>("maskHue");
    QTest::newRow("top, green mask") << false << "gold" << "Green mask" << 140;
    QTest::newRow("gold read as copper, blue mask") << false << "copper" << "Blue mask" << 220;
    QTest::newRow("bottom, red mask") << true << "gold" << "Red mask" << 0;
}

void TestWindow::stackMode()
{
    QFETCH(bool, bottom);
    QFETCH(QString, goldAs);
    QFETCH(QString, mask);
    QFETCH(int, maskHue);
    const QImage picture = finishesPicture();
    const QString in = writePicture(picture, QStringLiteral("finishes.png"));

    kestrel w;
    QFrame *frame = showBoard(w, in);
    child<QAction>(&w, "actionStack")->trigger();
    for (const char *unused : {"sl_threshold", "cb_invert", "sb_layer", "rb_grey", "rb_bandw"})
        QVERIFY(!child<QWidget>(&w, unused)->isEnabled());
    auto *table = child<QTableWidget>(&w, "tw_palette");
    int goldRow = -1;
    for (int row = 0; row < table->rowCount(); ++row) {
        auto *finish = qobject_cast<QComboBox *>(table->cellWidget(row, 1));
        if (finish->currentText() == QLatin1String("gold")) {
            finish->setCurrentText(goldAs);
            goldRow = row;
        }
    }
    child<QComboBox>(&w, "cb_side")->setCurrentIndex(bottom ? 1 : 0);
    child<QComboBox>(&w, "cb_maskcolour")->setCurrentText(mask);

    // The same conversion run directly.
    kcore::ConversionSettings settings;
    settings.pads.pitch = 10;
    settings.stack.on = true;
    settings.stack.bottom = bottom;
    QString why;
    QVERIFY(kcore::addFinishRule(QStringLiteral("#D4AF37=") + goldAs, &settings.stack.palette,
                                 &why));
    kcore::Conversion direct;
    direct.setSource(kcore::Source::fromPicture(picture, in));
    direct.setSettings(settings);
    QBuffer expected;
    expected.open(QIODevice::WriteOnly);
    kcore::StackBudget budget;
    QVERIFY(direct.writeStack(&expected, {}, &budget).ok);
    // Each colour's share is of the pixels nearest it, whatever it is read as: the gold square's
    // 64 of 960, and the shares add up to 100 %, though two colours are board.
    QCOMPARE(table->item(goldRow, 2)->text(), QStringLiteral("6.7 %"));
    double shares = 0;
    for (int row = 0; row < table->rowCount(); ++row)
        shares += table->item(row, 2)->text().section(' ', 0, 0).toDouble();
    QCOMPARE(shares, 100.0);

    // The finished board, seen from its side (the bottom's art, mirrored in the file, reads as
    // the picture): gold where gold is, silkscreen white, and the mask's colour over the board
    // and, lighter, over the copper.
    const qreal ratio = frame->devicePixelRatioF();
    const QRectF bounds = kcore::boardBounds(picture.size(), settings.pads);
    QSize size;
    const kcore::BoardViewport view = kcore::BoardZoom().viewport(
            bounds, (QSizeF(frame->size()) * ratio).toSize(), &size);
    const QImage shot = frame->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const auto at = [&](int x, int y) {
        return QColor(shot.pixel(int(((x + 0.5) * 10 - view.left) / view.milsPerPixel),
                                 int((view.top - (picture.height() - y) * 10) / view.milsPerPixel)));
    };
    const auto isMask = [maskHue](const QColor &c) {
        const int off = qAbs(c.hsvHue() - maskHue) % 360;
        return qMin(off, 360 - off) < 30 && c.hsvSaturation() > 80;
    };
    const QColor gold = at(7, 7);
    if (goldAs == QLatin1String("gold"))
        QVERIFY2(gold.hsvHue() > 35 && gold.hsvHue() < 60 && gold.hsvSaturation() > 128,
                 qPrintable(gold.name()));
    else
        QVERIFY2(isMask(gold), qPrintable(gold.name()));
    QVERIFY2(isMask(at(35, 22)), qPrintable(at(35, 22).name()));
    QVERIFY2(isMask(at(17, 8)), qPrintable(at(17, 8).name()));
    QVERIFY2(at(8, 17).lightness() > 220, qPrintable(at(8, 17).name()));

    // The fab check names each finding's layer, and F3 steps through every layer's.
    const kcore::StackFab fab = direct.stackFabCheck(kcore::StackLimits());
    int findings = 0;
    for (const auto &side : fab.layers)
        for (const kcore::StackFab::Layer &layer : side)
            findings += int(layer.spaces.findings.size());
    QTRY_VERIFY(child<QLabel>(&w, "lbl_gaps")->isVisible());
    QCOMPARE(w.findChild<BoardView *>("mainframe")->findingCount(), findings);
    QStringList named;
    for (int i = 0; i < findings; ++i) {
        child<QAction>(&w, "actionNextFinding")->trigger();
        named << w.statusBar()->currentMessage().section(QLatin1String(": "), 1, 1);
    }
    named.removeDuplicates();
    named.sort();
    const QString side = bottom ? QStringLiteral("bottom ") : QStringLiteral("top ");
    QCOMPARE(named, QStringList({side + "copper", side + "silkscreen"}));

    // Generate writes the stack the conversion writes, item for item on each layer.
    const QString out = m_dir.filePath(QStringLiteral("finishes.asc"));
    generate(w, out);
    QFile file(out);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    QCOMPARE(written, expected.data());
    // The fab check counted the file whole beforehand.
    QLocale grouped = QLocale::c();
    grouped.setNumberOptions({});
    QVERIFY2(text(&w, "lbl_budget").contains(grouped.toString(written.size()) + " bytes"),
             qPrintable(text(&w, "lbl_budget")));
    QMap<int, qint64> items;
    static const QRegularExpression open(QStringLiteral("\\nOPEN \\d+ \\d+ (\\d+)"));
    for (const QRegularExpressionMatch &m : open.globalMatch(QString::fromLatin1(written)))
        ++items[m.captured(1).toInt()];
    for (int l = 0; l < kcore::stackLayerCount; ++l) {
        const int layer = kcore::stackLayerNumber(kcore::StackLayer(l), bottom);
        QCOMPARE(items.value(layer), budget.layers[bottom][size_t(l)].items);
    }
    QCOMPARE(items.value(kcore::stackLayerNumber(kcore::StackLayer::Copper, !bottom)), 0);
    QCOMPARE(items.value(kcore::stackLayerNumber(kcore::StackLayer::Mask, bottom)) > 0,
             goldAs == QLatin1String("gold"));

    // Gerber: a file for each layer beside the name, which the status bar names together.
    Dialogs::setNextFileName(m_dir.filePath(QStringLiteral("finishes")),
                             QStringLiteral("Gerber (*.gbr)"));
    QTest::mouseClick(child<QPushButton>(&w, "pb_generate"), Qt::LeftButton);
    const QString sideName = bottom ? QStringLiteral("B_") : QStringLiteral("F_");
    qint64 bytes = 0, regions = 0;
    for (const char *layer : {"Cu", "Mask", "SilkS"}) {
        QFile gerber(m_dir.filePath(QStringLiteral("finishes-%1%2.gbr").arg(sideName, layer)));
        QVERIFY2(gerber.open(QIODevice::ReadOnly), qPrintable(gerber.fileName()));
        const QByteArray g = gerber.readAll();
        bytes += g.size();
        regions += g.count("G36*");
    }
    const QString gerbers = w.statusBar()->currentMessage();
    QVERIFY2(gerbers.startsWith(QStringLiteral("Wrote 3 files, %1 polygons, %2 bytes, to ")
                                        .arg(regions)
                                        .arg(bytes))
                     && gerbers.endsWith(QLatin1String("finishes-*.gbr")),
             qPrintable(gerbers));

    // An expansion that would close gold's openings is marked where it is typed, and refused.
    auto *expansion = child<QLineEdit>(&w, "le_expansion");
    expansion->selectAll();
    QTest::keyClicks(expansion, QStringLiteral("-5"));
    QCOMPARE(expansion->toolTip(), kcore::stackExpansionProblem(10, -5));
    QCOMPARE(messageOfNextBox([&] { generate(w, out); }),
             kcore::stackExpansionProblem(10, -5) + QStringLiteral("\nNothing was written."));
}

void TestWindow::unusableValueKeepsBoard_data()
{
    QTest::addColumn<bool>("stack");
    QTest::addColumn<QString>("unitButton");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("reason"); // in the field's tooltip and Generate's refusal
    // 10 mil lines are 0.254 mm: an opening may shrink by less than 0.127 mm.
    QTest::newRow("mask expansion -1 mm") << true << "rb_units_mm"
                                          << "le_expansion"
                                          << "-1"
                                          << "half the line width (0.127 mm)";
    QTest::newRow("mask expansion no number") << true << "rb_units_mils"
                                              << "le_expansion"
                                              << "abc"
                                              << "not a number";
    QTest::newRow("line width no number") << false << "rb_units_mils"
                                          << "le_linewidth"
                                          << "abc"
                                          << "not a number";
}

void TestWindow::unusableValueKeepsBoard()
{
    QFETCH(bool, stack);
    QFETCH(QString, unitButton);
    QFETCH(QString, field);
    QFETCH(QString, typed);
    QFETCH(QString, reason);
    kestrel w;
    QFrame *frame = showBoard(w, writePicture(finishesPicture(), QStringLiteral("kept.png")));
    if (stack)
        child<QAction>(&w, "actionStack")->trigger();
    else
        child<QSlider>(&w, "sl_threshold")->setValue(100); // silkscreen and gold white
    QTest::mouseClick(child<QRadioButton>(&w, qPrintable(unitButton)), Qt::LeftButton);
    auto *edit = child<QLineEdit>(&w, qPrintable(field));
    const QString good = edit->text();
    auto *table = child<QTableWidget>(&w, "tw_palette");
    const auto shares = [table] {
        QStringList texts;
        for (int row = 0; row < table->rowCount(); ++row)
            texts << table->item(row, 2)->text();
        return texts;
    };
    // Once checked: the findings' rings are on the board too.
    QTRY_VERIFY(child<QLabel>(&w, "lbl_gaps")->isVisible());
    const QImage current = frame->grab().toImage();
    const QStringList sharesBefore = shares();
    QVERIFY(paintedPixels(frame) > frame->width() * frame->height() / 4);

    edit->selectAll();
    QTest::keyClicks(edit, typed);
    QVERIFY2(edit->toolTip().contains(reason), qPrintable(edit->toolTip()));
    const QString refusal = messageOfNextBox([&] { generate(w, m_dir.filePath("kept.asc")); });
    QVERIFY2(refusal.contains(reason), qPrintable(refusal));
    // The last board stays, marked as no longer current; so do the shares.
    QVERIFY(paintedPixels(frame) > frame->width() * frame->height() / 4);
    QVERIFY(frame->grab().toImage() != current);
    if (stack)
        QCOMPARE(shares(), sharesBefore);
    // A usable value again shows the board as it was, once checked again.
    edit->selectAll();
    QTest::keyClicks(edit, good);
    QTRY_COMPARE(frame->grab().toImage(), current);
}

void TestWindow::layerAndKindAgree_data()
{
    QTest::addColumn<QString>("kind"); // chosen in Board, Layer Kind
    QTest::addColumn<int>("layer"); // the layer it sets
    QTest::addColumn<int>("typed"); // a layer typed next
    QTest::addColumn<QString>("kindAfter"); // the kind that sets
    QTest::newRow("top copper, then 26") << "top-copper" << 1 << 26 << "top-silk";
    QTest::newRow("bottom silkscreen, then 1") << "bottom-silk" << 29 << 1 << "top-copper";
    QTest::newRow("bottom copper of a four-layer board")
            << "bottom-copper" << 2 << 4 << "bottom-copper";
    QTest::newRow("top solder mask, then 5") << "top-mask" << 21 << 5 << "documentation";
    // A 9.4 file has no layer 0: the box does not go there.
    QTest::newRow("top solder mask, then 0") << "top-mask" << 21 << 0 << "top-copper";
}

void TestWindow::layerAndKindAgree()
{
    QFETCH(QString, kind);
    QFETCH(int, layer);
    QFETCH(int, typed);
    QFETCH(QString, kindAfter);
    kestrel w;
    w.show();
    open(w, writePicture(redBlue(8, 2), QStringLiteral("layer.png")));
    child<QAction>(&w, "actionFormat94")->trigger();
    const auto action = [&w](const QString &key) {
        kcore::LayerKind k = kcore::LayerKind::Auto;
        kcore::kindFromKey(key, &k);
        for (QAction *a : child<QMenu>(&w, "menu_LayerKind")->actions())
            if (a->isCheckable() && a->data().toInt() == int(k))
                return a;
        return static_cast<QAction *>(nullptr);
    };
    auto *spin = child<QSpinBox>(&w, "sb_layer");
    const QString out = m_dir.filePath(QStringLiteral("layer.asc"));
    // Whatever the window offers, Generate writes.
    const auto writes = [&] {
        QFile::remove(out);
        Dialogs::reset();
        Dialogs::setNextAnswer(QMessageBox::Ok);
        generate(w, out);
        return QFile::exists(out) ? QString() : Dialogs::last().text;
    };
    action(kind)->trigger();
    QCOMPARE(spin->value(), layer);
    QCOMPARE(writes(), QString());
    spin->setValue(typed);
    QVERIFY(action(kindAfter)->isChecked());
    QCOMPARE(writes(), QString());
}

void TestWindow::findingsInUnit_data()
{
    QTest::addColumn<QString>("unitButton");
    QTest::addColumn<QString>("finding"); // how the status bar's step to it ends
    QTest::addColumn<QString>("suffix"); // of Fab Limits' boxes
    QTest::addColumn<double>("shown"); // the finest line of 4 mil, in the unit
    QTest::addColumn<double>("typed"); // a finer limit than the line, in the unit
    QTest::addColumn<QString>("warning"); // then shown
    QTest::addColumn<QString>("why"); // on hover
    QTest::newRow("millimetres") << "rb_units_mm"
                                 << "closed gap, 0 mm of copper space"
                                 << " mm" << 0.1016 << 0.3 << "\u26a0 below 0.3 mm minimum"
                                 << "The 0.254 mm line is finer than the 0.3 mm the board maker "
                                    "can make.";
    QTest::newRow("inches") << "rb_units_inch"
                            << "closed gap, 0 inch of copper space"
                            << " inch" << 0.004 << 0.012 << "\u26a0 below 0.012 inch minimum"
                            << "The 0.01 inch line is finer than the 0.012 inch the board maker "
                               "can make.";
}

void TestWindow::findingsInUnit()
{
    QFETCH(QString, unitButton);
    QFETCH(QString, finding);
    QFETCH(QString, suffix);
    QFETCH(double, shown);
    QFETCH(double, typed);
    QFETCH(QString, warning);
    QFETCH(QString, why);
    // Two white pixels a pixel apart at 10 mil: the round ends close the gap.
    QImage picture(3, 1, QImage::Format_RGB32);
    picture.fill(Qt::white);
    picture.setPixel(1, 0, qRgb(0, 0, 0));
    kestrel w;
    showBoard(w, writePicture(picture, QStringLiteral("closed.png")));
    QTest::mouseClick(child<QRadioButton>(&w, qPrintable(unitButton)), Qt::LeftButton);
    QTRY_VERIFY(child<QLabel>(&w, "lbl_gaps")->text().contains(QLatin1String("1 closed gap")));
    child<QAction>(&w, "actionNextFinding")->trigger();
    const QString step = w.statusBar()->currentMessage();
    QVERIFY2(step.endsWith(finding), qPrintable(step));

    QString boxSuffix;
    double boxValue = 0;
    QSignalSpy checked(&w, &kestrel::fabCheckShown);
    const auto watch = onNextModal([&](QWidget *d) {
        auto *line = child<QDoubleSpinBox>(d, "sb_minline");
        boxSuffix = line->suffix();
        boxValue = line->value();
        line->setValue(typed);
        static_cast<QDialog *>(d)->accept();
    });
    child<QAction>(&w, "actionFabLimits")->trigger();
    QCOMPARE(boxSuffix, suffix);
    QCOMPARE(boxValue, shown);
    QVERIFY(checked.wait());
    QCOMPARE(text(&w, "lbl_fabwarning"), warning);
    QCOMPARE(child<QLabel>(&w, "lbl_fabwarning")->toolTip(), why);
}

void TestWindow::paletteReadsColours_data()
{
    QTest::addColumn<bool>("pick"); // the red picked from the preview onto the palette
    QTest::newRow("a red marking no colour is near") << false;
    QTest::newRow("the red picked") << true;
}

void TestWindow::paletteReadsColours()
{
    QFETCH(bool, pick);
    // Board green with a red block of 80 of its 960 pixels: red lies far from every palette
    // colour and every mix of two.
    QImage picture(40, 24, QImage::Format_RGB32);
    picture.fill(qRgb(0x0b, 0x3d, 0x1e));
    for (int y = 8; y < 16; ++y)
        for (int x = 20; x < 30; ++x)
            picture.setPixel(x, y, qRgb(0xe0, 0x18, 0x18));
    kestrel w;
    w.show();
    open(w, writePicture(picture, QStringLiteral("red.png")));
    child<QAction>(&w, "actionStack")->trigger();
    auto *table = child<QTableWidget>(&w, "tw_palette");
    const int colours = table->rowCount();
    auto *unmatched = w.findChild<QLabel *>(QStringLiteral("lbl_unmatched"));
    QVERIFY(unmatched);
    QVERIFY(unmatched->isVisible());
    QCOMPARE(unmatched->text(), QStringLiteral("\u26a0 8.3 % match no colour, most like #E01818"));
    if (!pick)
        return;
    auto *picker = w.findChild<QPushButton *>(QStringLiteral("pb_pickcolour"));
    QVERIFY(picker);
    picker->click();
    // The colour view fits the picture into the frame from its top-left corner: the block's
    // middle.
    auto *frame = child<QFrame>(&w, "mainframe");
    const double scale = qMin(frame->width() / 40.0, frame->height() / 24.0);
    QTest::mouseClick(frame, Qt::LeftButton, {}, QPoint(int(25 * scale), int(12 * scale)));
    QCOMPARE(table->rowCount(), colours + 1);
    QVERIFY(table->item(colours, 0)->toolTip().startsWith(QLatin1String("#E01818")));
    QCOMPARE(table->item(colours, 2)->text(), QStringLiteral("8.3 %"));
    QVERIFY(!unmatched->isVisible());
    QVERIFY(!picker->isChecked());
}

void TestWindow::blankArtworkWarns_data()
{
    QTest::addColumn<QImage>("picture");
    QTest::addColumn<bool>("invert");
    QTest::addColumn<QString>("said");
    QImage black(20, 10, QImage::Format_RGB32), white(20, 10, QImage::Format_RGB32);
    black.fill(Qt::black);
    white.fill(Qt::white);
    QTest::newRow("all black") << black << false
                               << "\u26a0 The file holds no item: every pixel is at or below the "
                                  "threshold 128. The picture is one flat grey (0), which no "
                                  "threshold divides.";
    QTest::newRow("red and blue") << redBlue(20, 10) << false
                                  << "\u26a0 The file holds no item: every pixel is at or below "
                                     "the threshold 128. Its greys run from 39 to 87. Lower the "
                                     "threshold to keep its lightest parts.";
    QTest::newRow("red and blue, inverted")
            << redBlue(20, 10) << true
            << "\u26a0 The artwork covers everything: Invert is on and every pixel is at or "
               "below the threshold 128. Its greys run from 39 to 87. Light artwork on a dark "
               "background needs Invert off.";
    QTest::newRow("white paper, inverted")
            << white << true
            << "\u26a0 The file holds no item: Invert is on and every pixel is above the "
               "threshold 128. The picture is one flat grey (255), which no threshold divides.";
}

void TestWindow::blankArtworkWarns()
{
    QFETCH(QImage, picture);
    QFETCH(bool, invert);
    QFETCH(QString, said);
    kestrel w;
    w.show();
    open(w, writePicture(picture, QStringLiteral("blank.png")));
    child<QCheckBox>(&w, "cb_invert")->setChecked(invert);
    // Said before anything is written, under the preview.
    auto *covered = w.findChild<QLabel *>(QStringLiteral("lbl_covered"));
    QVERIFY(covered);
    QTRY_VERIFY(covered->isVisible());
    QCOMPARE(covered->text(), said);
    // And the file is still written as asked.
    const QString out = m_dir.filePath(QStringLiteral("blank.asc"));
    QFile::remove(out);
    generate(w, out);
    QFile file(out);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().contains("*END*"));
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
