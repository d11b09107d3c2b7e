// Tests of the kestrel window driven as a user would: start state, wiring, dialogs, the whole
// path from a picture file to the written PADS file, and the preview.
#include "kestrel.h"
#include "literal.h"
#include "testsupport.h"

#include "export/boardimage.h"
#include "image/greyimage.h"

#include <QAction>
#include <QCheckBox>
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

using testsupport::chooseFileInNextDialog;
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

// File, Open with this picture, through the real dialog.
void open(kestrel &w, const QString &path)
{
    chooseFileInNextDialog(path);
    child<QAction>(&w, "actionOpen")->trigger();
}

// Types a new line width over the old one, key by key.
void typeLineWidth(kestrel &w, const QString &typed)
{
    auto *width = child<QLineEdit>(&w, "le_linewidth");
    width->selectAll();
    QTest::keyClicks(width, typed);
}

QString messageOfNextBox(std::function<void()> trigger)
{
    QString seen;
    const auto watch = onNextModal([&seen](QWidget *w) {
        if (auto *box = qobject_cast<QMessageBox *>(w))
            seen = box->text();
        if (auto *d = qobject_cast<QDialog *>(w))
            d->accept();
    });
    trigger();
    return seen;
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
    void exportWithoutPicture();
    void exportReplacesAndKeepsName();
    void exportFailureIsShown();
    void refusedLineWidths_data();
    void refusedLineWidths();
    void pictureIsNeverOverwritten();
    void startupArgument_data();
    void startupArgument();
    void boardView();
    void fabWarning_data();
    void fabWarning();

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
    // A dialog left open would swallow the next test's input.
    QVERIFY(!QApplication::activeModalWidget());
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
    QCOMPARE(w.size(), QSize(589, 542));
    QCOMPARE(w.windowIcon().availableSizes().size(), 3);

    auto *threshold = child<QSlider>(&w, "sl_threshold");
    QCOMPARE(threshold->value(), 128);
    QCOMPARE(threshold->minimum(), 0);
    QCOMPARE(threshold->maximum(), 255);
    QCOMPARE(threshold->orientation(), Qt::Vertical);
    QVERIFY(!threshold->isEnabled());
    QVERIFY(!child<QLabel>(&w, "sl_threstxt")->isEnabled());
    QVERIFY(!child<QCheckBox>(&w, "cb_invert")->isEnabled());
    QVERIFY(!child<QCheckBox>(&w, "cb_invert")->isChecked());
    auto *scale = child<QSpinBox>(&w, "sb_scale");
    QCOMPARE(scale->value(), 100);
    QCOMPARE(scale->minimum(), 1);
    QCOMPARE(scale->maximum(), 500);
    QVERIFY(scale->isEnabled());
    auto *layer = child<QSpinBox>(&w, "sb_layer");
    QCOMPARE(layer->value(), 19);
    QCOMPARE(layer->minimum(), 0);
    QCOMPARE(layer->maximum(), 250);
    auto *width = child<QLineEdit>(&w, "le_linewidth");
    QCOMPARE(width->text(), QStringLiteral("2"));
    QCOMPARE(width->maxLength(), 32);
    QVERIFY(width->inputMask().isEmpty());
    QVERIFY(!width->validator());
    QVERIFY(child<QRadioButton>(&w, "rb_units_mils")->isChecked());
    QVERIFY(!child<QRadioButton>(&w, "rb_units_mm")->isChecked());
    QVERIFY(!child<QRadioButton>(&w, "rb_units_inch")->isChecked());
    QVERIFY(child<QRadioButton>(&w, "rb_img")->isChecked());
    QVERIFY(!child<QRadioButton>(&w, "rb_grey")->isChecked());
    QVERIFY(!child<QRadioButton>(&w, "rb_bandw")->isChecked());

    // Nothing has run yet: the form's texts stand and the field has no colour of its own.
    QCOMPARE(text(&w, "lbl_ascsizemils"), QStringLiteral("-"));
    QCOMPARE(text(&w, "lbl_ascsizemm"), QStringLiteral("-"));
    QCOMPARE(text(&w, "lbl_ascsizeinch"), QStringLiteral("-"));
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("info"));
    QVERIFY(width->styleSheet().isEmpty());

    // Menu bar: "File" (Open, separator, Quit), "Board", then a plain "Help" entry.
    const QList<QAction *> bar = w.menuBar()->actions();
    QCOMPARE(bar.size(), 3);
    QCOMPARE(bar[0]->text(), QStringLiteral("&File"));
    QCOMPARE(bar[1]->text(), QStringLiteral("&Board"));
    QCOMPARE(bar[2]->text(), QStringLiteral("Help"));
    QVERIFY(!bar[2]->menu());
    // Board options start as the classic file: whole mils, round ends.
    QVERIFY(child<QAction>(&w, "actionFormat20")->isChecked());
    QVERIFY(!child<QAction>(&w, "actionExactEnds")->isChecked());
    QVERIFY(!child<QAction>(&w, "actionSmoothEdges")->isChecked());
    const QList<QAction *> file = bar[0]->menu()->actions();
    QCOMPARE(file.size(), 3);
    QCOMPARE(file[0]->text(), QStringLiteral("Open"));
    QVERIFY(file[1]->isSeparator());
    QCOMPARE(file[2]->text(), QStringLiteral("Quit"));

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
        const auto watch = onNextModal([](QWidget *d) {
            auto *spin = d->findChild<QDoubleSpinBox *>();
            QVERIFY(spin);
            spin->setValue(5.91);
            static_cast<QDialog *>(d)->accept();
        });
        child<QAction>(&w, "actionMinLine")->trigger();
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
    QCOMPARE(text(&w, "lbl_fabwarning"), QStringLiteral("\u26a0 below 5.91 mil minimum"));
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
            QCOMPARE(dialog->size(), QSize(430, 456));
            const auto buttons = dialog->findChildren<QAbstractButton *>();
            QVERIFY(buttons.isEmpty());
            auto *about = child<QTextEdit>(dialog, "textEdit");
            auto *body = child<QTextEdit>(dialog, "help_window");
            QVERIFY(about->isReadOnly());
            QVERIFY(body->isReadOnly());
            QVERIFY(about->height() <= 60);
            QVERIFY(!body->document()->isUndoRedoEnabled());
            QVERIFY(about->toPlainText().startsWith(QLatin1String("KESTREL V1.0. ")));
            QVERIFY(about->toPlainText().contains(QLatin1String("Marrowby")));
            // A fresh dialog every time: never scrolled, whatever happened to the last one.
            QCOMPARE(body->verticalScrollBar()->value(), 0);
            const QString plain = body->toPlainText();
            int at = 0;
            for (const char *heading :
                 {"The Problem.", "How it works.", "1/ The image is converted to grey scale.",
                  "    The user can control the clip level and invert it.", "File",
                  "  o Black and white", "Threshold", "Invert", "Scale", "Line width",
                  "Actual size", "Layer", "Generate", "Limitations"}) {
                const int next = int(plain.indexOf(QLatin1String(heading), at));
                QVERIFY2(next >= 0, heading);
                at = next;
            }
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

    const QString out = m_dir.filePath(QStringLiteral("logo-board.asc"));
    QString offered;
    chooseFileInNextDialog(out, &offered);
    QTest::mouseClick(child<QPushButton>(&w, "pb_generate"), Qt::LeftButton);
    // The picture's name with .asc, beside it, was offered; the name typed was used as typed.
    QCOMPARE(offered, m_dir.filePath(QStringLiteral("logo.asc")));

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

        chooseFileInNextDialog(bad);
        const QString message
                = messageOfNextBox([&] { child<QAction>(&w, "actionOpen")->trigger(); });
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
    testsupport::cancelNextDialog();
    child<QAction>(&w, "actionOpen")->trigger();
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

    chooseFileInNextDialog(in);
    child<QAction>(&w, "actionOpen")->trigger();
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

    // A scale that truncates to nothing leaves the label as last painted.
    QTest::mouseClick(child<QRadioButton>(&w, "rb_bandw"), Qt::LeftButton);
    child<QSpinBox>(&w, "sb_scale")->setValue(2);
    QCOMPARE(text(&w, "lbl_info"), QStringLiteral("Width=20 Heigth=10"));
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

void TestWindow::exportWithoutPicture()
{
    kestrel w;
    w.show();
    const QString out = m_dir.filePath(QStringLiteral("empty.asc"));
    chooseFileInNextDialog(out);
    QTest::mouseClick(child<QPushButton>(&w, "pb_generate"), Qt::LeftButton);
    QFile file(out);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(),
             QByteArray("!PADS-POWERPCB-V2.0-MILS! DESIGN DATABASE ASCII FILE "
                        "1.0\r\n*LINES* LINES ITEMS\r\n\r\n*END*\r\n"));
    QCOMPARE(child<QLineEdit>(&w, "le_linewidth")->styleSheet(),
             QStringLiteral("background-color: white"));
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
    chooseFileInNextDialog(out);
    QTest::mouseClick(child<QPushButton>(&w, "pb_generate"), Qt::LeftButton);
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
    // Nothing can be created in /proc, not even by root.
    const QString out = QStringLiteral("/proc/kestrel-test.asc");
    chooseFileInNextDialog(out);
    const QString message = messageOfNextBox(
            [&] { QTest::mouseClick(child<QPushButton>(&w, "pb_generate"), Qt::LeftButton); });
    QVERIFY2(message.startsWith(QStringLiteral("Could not write the file /proc/kestrel-test.asc")),
             qPrintable(message));
    QVERIFY(!QFile::exists(out));
}

void TestWindow::refusedLineWidths_data()
{
    QTest::addColumn<QString>("unitButton");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("reason");
    QTest::newRow("too large") << "rb_units_inch"
                               << "1e6"
                               << "too large";
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
    // Refused before any file is asked for: the next modal is the message, not a dialog.
    const QString message = messageOfNextBox(
            [&] { QTest::mouseClick(child<QPushButton>(&w, "pb_generate"), Qt::LeftButton); });
    QVERIFY2(message.contains(reason), qPrintable(message));
    if (reason != QLatin1String("too large"))
        QVERIFY2(message.contains(QLatin1String("1 mil (0.0254 mm")), qPrintable(message));
}

void TestWindow::pictureIsNeverOverwritten()
{
    const QString in = writePicture(redBlue(40, 20), QStringLiteral("keep.png"));
    const QString link = m_dir.filePath(QStringLiteral("keep-link.png"));
    QFile::remove(link);
    QVERIFY(QFile::link(in, link));
    QFile picture(in);
    QVERIFY(picture.open(QIODevice::ReadOnly));
    const QByteArray bytes = picture.readAll();
    picture.close();

    kestrel w;
    w.show();
    open(w, in);
    QString message;
    {
        const auto watch = onNextModal(
                [&message](QWidget *m) {
                    message = static_cast<QMessageBox *>(m)->text();
                    static_cast<QMessageBox *>(m)->accept();
                },
                10000,
                [](QWidget *m) {
                    auto *box = qobject_cast<QMessageBox *>(m);
                    return box && box->text().contains(QLatin1String("destroy"));
                });
        chooseFileInNextDialog(link); // says yes to replacing it, as a hurried user would
        QTest::mouseClick(child<QPushButton>(&w, "pb_generate"), Qt::LeftButton);
    }
    QVERIFY2(message.contains(QLatin1String("would destroy it")), qPrintable(message));
    QVERIFY(picture.open(QIODevice::ReadOnly));
    QCOMPARE(picture.readAll(), bytes);
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

    // Copper spans x = -5 to 35 mils across the whole fitted width; the gap's centre is at 15.
    // The strip is 10 mils high, a quarter of the frame's width; its centre line is y = 10.
    auto at = [&](double mils, double above = 0) {
        const QImage shot = frame->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const double pixelsPerMil = frame->width() / 40.0;
        return shot.pixel(int((mils + 5) * pixelsPerMil), int((5 - above) * pixelsPerMil));
    };
    // The two caps meet at x = 15 on the centre line: either side of it is copper.
    QCOMPARE(at(13.5), kcore::copperColour);
    QCOMPARE(at(16.5), kcore::copperColour);
    QCOMPARE(at(-4), kcore::copperColour);
    // The ends are round: 4 mils above the centre line the cap reaches only to x = -3.
    QCOMPARE(at(-4, 4), kcore::boardColour);
    QCOMPARE(at(-2, 4), kcore::copperColour);
    child<QAction>(&w, "actionExactEnds")->trigger();
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
    const QRgb outside = frame->grab().toImage().pixel(corner);
    QWheelEvent wheel(centre, frame->mapToGlobal(centre), QPoint(), QPoint(0, 600), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(frame, &wheel);
    QCOMPARE(frame->grab().toImage().pixel(corner), kcore::boardColour);
    // Dragging carries the board along with the mouse.
    const QImage before = frame->grab().toImage();
    const QPoint by(60, 0);
    QMouseEvent press(QEvent::MouseButtonPress, centre, frame->mapToGlobal(centre), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QMouseEvent move(QEvent::MouseMove, centre + by, frame->mapToGlobal(centre + by), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(frame, &press);
    QApplication::sendEvent(frame, &move);
    const QImage after = frame->grab().toImage();
    QVERIFY(before != after);
    for (int x = 10; x < frame->width() - 80; x += 7)
        QCOMPARE(after.pixel(x + by.x(), centre.y()), before.pixel(x, centre.y()));
    QTest::mouseDClick(frame, Qt::LeftButton, Qt::NoModifier, centre);
    QCOMPARE(frame->grab().toImage().pixel(corner), outside);
}

void TestWindow::fabWarning_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("warned");
    QTest::newRow("0.06 mm, 3 mil lines") << "0.06"
                                          << "line 3 mil" << true;
    QTest::newRow("0.1 mm, 4 mil lines") << "0.1"
                                         << "line 4 mil" << false;
    QTest::newRow("0.2 mm, 8 mil lines") << "0.2"
                                         << "line 8 mil" << false;
}

void TestWindow::fabWarning()
{
    QFETCH(QString, typed);
    QFETCH(QString, line);
    QFETCH(bool, warned);
    kestrel w;
    w.show();
    open(w, writePicture(redBlue(40, 20), QStringLiteral("fab.png")));
    QTest::mouseClick(child<QRadioButton>(&w, "rb_units_mm"), Qt::LeftButton);
    typeLineWidth(w, typed);
    auto *warning = child<QLabel>(&w, "lbl_fabwarning");
    QTRY_VERIFY(child<QLabel>(&w, "lbl_budget")->text().contains(line));
    QCOMPARE(warning->isVisible(), warned);
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
