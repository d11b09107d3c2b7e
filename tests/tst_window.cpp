// Tests of the kestrel window driven as a user would: start state, wiring, dialogs, the whole
// path from a picture file to the written PADS file, and the preview.
#include "dialogs.h"
#include "kestrel.h"
#include "literal.h"
#include "testsupport.h"

#include "export/boardimage.h"
#include "export/padswriter.h"
#include "image/greyimage.h"
#include "image/imagealloc.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSettings>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
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

void generate(kestrel &w, const QString &name)
{
    Dialogs::setNextFileName(name);
    QTest::mouseClick(child<QPushButton>(&w, "pb_generate"), Qt::LeftButton);
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
    void nothingToWrite_data();
    void nothingToWrite();
    void exportReplacesAndKeepsName();
    void exportFailureIsShown();
    void refusedLineWidths_data();
    void refusedLineWidths();
    void startupArgument_data();
    void startupArgument();
    void boardView();
    void fabWarning_data();
    void fabWarning();
    void fitToSize();

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
    QVERIFY(!QApplication::activeModalWidget());
    Dialogs::reset();
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
    for (const char *bwControl : {"sl_threshold", "sl_threstxt", "cb_invert"})
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

void TestWindow::boardOptionsAreRemembered()
{
    {
        kestrel w;
        child<QAction>(&w, "actionFormat94")->trigger();
        child<QAction>(&w, "actionExactEnds")->trigger();
        child<QAction>(&w, "actionSmoothEdges")->trigger();
        // The silkscreen preset sets both limits: 0.15 mm line, 0.2 mm space.
        const auto watch = onNextModal([](QWidget *d) {
            auto *preset = d->findChild<QComboBox *>("cb_preset");
            QVERIFY(preset);
            preset->setCurrentIndex(1);
            static_cast<QDialog *>(d)->accept();
        });
        child<QAction>(&w, "actionFabLimits")->trigger();
    }
    // The next start has them, and the fab check measures against the remembered minimum.
    kestrel w;
    w.show();
    QVERIFY(child<QAction>(&w, "actionFormat94")->isChecked());
    QVERIFY(child<QAction>(&w, "actionExactEnds")->isChecked());
    QVERIFY(child<QAction>(&w, "actionSmoothEdges")->isChecked());
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
    // Runs until the window's own action or closing ends the loop.
    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(99); });
    QCOMPARE(QApplication::exec(), 0);
}

void TestWindow::helpDialog()
{
    kestrel w;
    w.show();
    QAction *help = helpAction(&w);
    QVERIFY(help);

    for (int round = 0; round < 2; ++round) {
        bool checked = false;
        const auto watch = onNextModal([&](QWidget *modal) {
            auto *dialog = qobject_cast<QDialog *>(modal);
            QVERIFY(dialog);
            QCOMPARE(dialog->parentWidget(), &w);
            QCOMPARE(dialog->windowTitle(), QStringLiteral("Voltmeld Help"));
            auto *about = child<QTextEdit>(dialog, "textEdit");
            auto *body = child<QTextEdit>(dialog, "help_window");
            QVERIFY(about->toPlainText().startsWith(QLatin1String("KESTREL V1.0. ")));
            // A fresh dialog every time: never scrolled, whatever happened to the last one.
            QCOMPARE(body->verticalScrollBar()->value(), 0);
            const QString plain = body->toPlainText();
            QTest::keyClicks(body, QStringLiteral("typed"));
            QCOMPARE(body->toPlainText(), plain);
            body->verticalScrollBar()->setValue(body->verticalScrollBar()->maximum());
            checked = true;
            QTest::keyClick(dialog, Qt::Key_Escape);
        });
        help->trigger();
        QVERIFY(checked);
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
    child<QSlider>(&w, "sl_threshold")->setValue(50); // red (87) white, blue (39) black

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
    const char *controls[] = {"sl_threshold", "sl_threstxt", "cb_invert"};
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
        QTest::mouseClick(child<QRadioButton>(&w, s.button), Qt::LeftButton);
        QCOMPARE(width->text(), QString::fromLatin1(s.text));
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
    QTest::addColumn<bool>("yellow");
    QTest::addColumn<QString>("mils");
    QTest::newRow("letters") << "abc" << true << "---";
    QTest::newRow("empty") << "" << true << "---";
    QTest::newRow("nan") << "nan" << true << "---";
    QTest::newRow("inf") << "inf" << true << "---";
    QTest::newRow("overflow") << "1e999" << true << "---";
    QTest::newRow("zero") << "0" << false << "---";
    QTest::newRow("blanks around") << "  5  " << false << " 500x 250 mils";
    QTest::newRow("negative") << "-1" << false << "---";
}

void TestWindow::notANumber()
{
    QFETCH(QString, typed);
    QFETCH(bool, yellow);
    QFETCH(QString, mils);
    const QString in = writePicture(redBlue(100, 50), QStringLiteral("nan.png"));
    kestrel w;
    w.show();
    open(w, in);
    auto *width = child<QLineEdit>(&w, "le_linewidth");
    width->clear();
    QTest::keyClicks(width, typed);
    QCOMPARE(width->styleSheet(),
             yellow ? QStringLiteral("background-color: yellow")
                    : QStringLiteral("background-color: white"));
    QCOMPARE(text(&w, "lbl_ascsizemils"), mils);
    if (mils == QLatin1String("---"))
        QCOMPARE(text(&w, "lbl_ascsizemm"), mils);
    // A number again turns it white.
    width->selectAll();
    QTest::keyClicks(width, QStringLiteral("2"));
    QCOMPARE(width->styleSheet(), QStringLiteral("background-color: white"));
    QCOMPARE(text(&w, "lbl_ascsizemils"), QStringLiteral(" 200x 100 mils"));
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
    QTest::addColumn<QString>("refusal");
    QTest::newRow("no picture") << false << 100 << qsizetype(0) << QString()
                                << "Open a picture first.";
    QTest::newRow("no memory for the black-and-white image")
            << true << 500 << qsizetype(10000)
            << "There is not enough memory for the black-and-white image (200 x 100 pixels)."
            << "There is no black-and-white image to write.";
    QTest::newRow("no pixels left at 2 %") << true << 2 << qsizetype(0) << QString()
                                           << "There is no black-and-white image to write.";
}

void TestWindow::nothingToWrite()
{
    QFETCH(bool, picture);
    QFETCH(int, scale);
    QFETCH(qsizetype, memory);
    QFETCH(QString, shown);
    QFETCH(QString, refusal);
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

    const QString out = m_dir.filePath(QStringLiteral("kept.asc"));
    QVERIFY(testsupport::writeFile(out, "yesterday's board\n"));
    QCOMPARE(messageOfNextBox([&] { generate(w, out); }), refusal);
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
}

void TestWindow::startupArgument()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);
    writePicture(redBlue(30, 12), QStringLiteral("start.png"));
    QVERIFY(testsupport::writeFile(m_dir.filePath(QStringLiteral("notes.txt")), "hello"));
    kestrel w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QString text, informative;
    const auto watch = onNextModal(
            [&](QWidget *m) {
                auto *box = qobject_cast<QMessageBox *>(m);
                QVERIFY(box);
                // Over the window, with a warning icon, as every message of kestrel's.
                QCOMPARE(box->parentWidget(), &w);
                QCOMPARE(box->icon(), QMessageBox::Warning);
                text = box->text();
                informative = box->informativeText();
                box->accept();
            },
            2000);
    w.open_startup_arguments({QStringLiteral("kestrel"), m_dir.filePath(name)});
    if (reason.isEmpty()) {
        QCOMPARE(::text(&w, "lbl_info"), QStringLiteral("Width=30 Heigth=12"));
        QCOMPARE(text, QString());
    } else {
        QCOMPARE(text, QStringLiteral("Could not load the file as image."));
        QVERIFY2(informative.startsWith(reason), qPrintable(informative));
        QCOMPARE(::text(&w, "lbl_info"), QStringLiteral("info"));
    }
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
    w.show();
    open(w, writePicture(picture, QStringLiteral("gap.png")));
    typeLineWidth(w, QStringLiteral("10"));
    QTest::mouseClick(child<QRadioButton>(&w, "rb_board"), Qt::LeftButton);
    auto *frame = child<QFrame>(&w, "mainframe");
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
    // Dragging carries the board along with the mouse.
    const QImage before = shot();
    const QPoint by(60, 0);
    QMouseEvent press(QEvent::MouseButtonPress, centre, frame->mapToGlobal(centre), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QMouseEvent move(QEvent::MouseMove, centre + by, frame->mapToGlobal(centre + by), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(frame, &press);
    QApplication::sendEvent(frame, &move);
    const QImage after = shot();
    QVERIFY(before != after);
    for (int x = 10; x < frame->width() - 80; x += 7)
        QCOMPARE(pixel(after, QPoint(x + by.x(), centre.y())),
                 pixel(before, QPoint(x, centre.y())));
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

void TestWindow::fabWarning_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("warning"); // the warning's tooltip, empty when there is none
    QTest::newRow("0.06 mm, 3 mil lines")
            << "0.06"
            << "line 3 mil"
            << "The 3 mil line is finer than the 4 mil (0.102 mm) the board maker can make.";
    QTest::newRow("0.1 mm, 4 mil lines") << "0.1"
                                         << "line 4 mil" << QString();
    QTest::newRow("0.2 mm, 8 mil lines") << "0.2"
                                         << "line 8 mil" << QString();
}

void TestWindow::fabWarning()
{
    QFETCH(QString, typed);
    QFETCH(QString, line);
    QFETCH(QString, warning);
    kestrel w;
    w.show();
    open(w, writePicture(redBlue(40, 20), QStringLiteral("fab.png")));
    QTest::mouseClick(child<QRadioButton>(&w, "rb_units_mm"), Qt::LeftButton);
    typeLineWidth(w, typed);
    auto *label = child<QLabel>(&w, "lbl_fabwarning");
    auto *budget = child<QLabel>(&w, "lbl_budget");
    QTRY_VERIFY(budget->text().contains(line));
    QCOMPARE(label->isVisible(), !warning.isEmpty());
    QCOMPARE(label->toolTip(), warning);
    // The count runs in the background: from the moment the settings change, the old result is
    // no longer shown as current, and the newest settings' result follows.
    typeLineWidth(w, QStringLiteral("0.3"));
    QVERIFY2(!budget->text().contains(line), qPrintable(budget->text()));
    QTRY_VERIFY(budget->text().contains(QLatin1String("line 12 mil")));
    QVERIFY(!label->isVisible());
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

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
