// The window: opening a picture or document, rebuilding the black-and-white image when its
// settings change, and handing the chosen image to the preview frame.
#include "kestrel.h"

#include "dialogs.h"
#include "geometry/units.h"
#include "image/edgegrey.h"
#include "image/greyimage.h"
#include "image/imagealloc.h"
#include "image/picture.h"
#include "image/vectordocument.h"
#include "waitcursor.h"

#include <QActionGroup>
#include <QClipboard>
#include <QDir>
#include <QDropEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QMimeData>
#include <QSettings>
#include <QSignalBlocker>
#include <QStatusBar>

#include <cmath>
#include <cstdio>

void kestrel::file_open()
{
    // "All files" as well: pictures without a suffix load too.
    QString filter = QString::fromLatin1(kcore::pictureFilter);
    if (kcore::vectorSupport())
        filter = QStringLiteral("Pictures and documents (%1 %2);;Pictures (%1);;Vector "
                                "documents (%2)")
                         .arg(filter, QString::fromLatin1(kcore::vectorFilter));
    const QString name = Dialogs::openFileName(
            this, QStringLiteral("Open"), filter + QStringLiteral(";;All files (*)"),
            QSettings().value(QStringLiteral("recent/folder")).toString());
    if (!name.isEmpty())
        open_picture(name);
}

namespace {

// The first local file of a drag that kestrel reads, told by its contents as opening tells it.
QString droppedFile(const QMimeData *mime)
{
    if (!mime || !mime->hasUrls())
        return QString();
    for (const QUrl &url : mime->urls()) {
        const QString path = url.toLocalFile();
        if (!path.isEmpty()
            && (!QImageReader::imageFormat(path).isEmpty() || kcore::isVectorFile(path)))
            return path;
    }
    return QString();
}

} // namespace

void kestrel::dragEnterEvent(QDragEnterEvent *event)
{
    if (!droppedFile(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void kestrel::dropEvent(QDropEvent *event)
{
    const QString path = droppedFile(event->mimeData());
    if (path.isEmpty())
        return;
    event->acceptProposedAction();
    open_picture(path);
}

void kestrel::paste_picture()
{
    // A file manager's copy is the file's address: that file is opened, as if dropped.
    const QMimeData *mime = QGuiApplication::clipboard()->mimeData();
    const QString copied = droppedFile(mime);
    if (!copied.isEmpty()) {
        open_picture(copied);
        return;
    }
    const QImage image = QGuiApplication::clipboard()->image();
    if (image.isNull()) {
        statusBar()->showMessage(QStringLiteral("The clipboard holds no picture"), 4000);
        return;
    }
    Opened o;
    o.path = QStringLiteral("pasted");
    o.remembered = false;
    o.picture = image;
    o.grey = kcore::makeGrey(o.picture, &o.why);
    take_picture(o);
}

void kestrel::open_picture(const QString &path)
{
    if (kcore::isVectorFile(path)) {
        open_document(path);
        return;
    }
    // Built before anything is replaced, so a failure keeps the previous picture whole.
    const auto load = [path](JobControl &) {
        Opened o;
        o.path = path;
        o.picture = kcore::loadPicture(path, &o.why);
        o.grey = kcore::makeGrey(o.picture, &o.why);
        return o;
    };
    // A big picture loads behind a busy dialog, so the window is seen to be at work. One past
    // the bound is refused from its header at once.
    const QSize declared = QImageReader(path).size();
    const qint64 pixels = qint64(declared.width()) * declared.height();
    if (pixels < bigPicturePixels || kcore::beyondPixelBound(declared)) {
        JobControl here;
        WaitCursor wait;
        take_picture(load(here));
        return;
    }
    open_job.start(load);
    show_progress(open_job, QStringLiteral("Opening %1").arg(QFileInfo(path).fileName()), 0);
}

void kestrel::take_picture(const Opened &o)
{
    if (progress)
        progress->close();
    if (o.grey.isNull()) {
        tell_not_loaded(o.path, o.why);
        return;
    }
    telling_terminal = false;
    if (o.remembered)
        remember_file(o.path);
    conversion.setPicture(kcore::Source::fromPicture(o.picture, o.path), o.grey);
    show_title(o.path);
    ui.mainframe->setHint(QString());
    draw_job.abandon(); // a page still being drawn is no longer wanted
    generate_when_drawn = false;
    vector_scale = 0;
    ui.mainframe->fitBoard();
    asc_size_slot();
}

void kestrel::tell_not_loaded(const QString &path, const QString &why)
{
    const QString text = QStringLiteral("Could not load the file as image.");
    const QString detail = QDir::toNativeSeparators(path) + QStringLiteral(": ") + why;
    // Started from a terminal, the reason stays there once the box is closed.
    if (telling_terminal)
        std::fprintf(stderr, "kestrel: %s %s\n", qPrintable(text), qPrintable(detail));
    telling_terminal = false;
    Dialogs::fileWarning(this, path, text, detail);
}

void kestrel::remember_file(const QString &path)
{
    const QFileInfo file(path);
    QSettings settings;
    QStringList files = settings.value(QStringLiteral("recent/files")).toStringList();
    files.removeAll(file.absoluteFilePath());
    files.prepend(file.absoluteFilePath());
    settings.setValue(QStringLiteral("recent/files"), files.mid(0, 8));
    settings.setValue(QStringLiteral("recent/folder"), file.absolutePath());
    fill_recent_menu();
}

void kestrel::fill_recent_menu()
{
    const QStringList files = QSettings().value(QStringLiteral("recent/files")).toStringList();
    ui.menu_OpenRecent->clear();
    for (int i = 0; i < files.size(); ++i) {
        QAction *action = ui.menu_OpenRecent->addAction(
                QStringLiteral("&%1 %2").arg(i + 1).arg(QFileInfo(files[i]).fileName()));
        action->setToolTip(QDir::toNativeSeparators(files[i]));
        connect(action, &QAction::triggered, this, [this, path = files[i]] { open_recent(path); });
    }
    ui.menu_OpenRecent->setEnabled(!files.isEmpty());
}

void kestrel::open_recent(const QString &path)
{
    if (QFileInfo::exists(path)) {
        open_picture(path);
        return;
    }
    QSettings settings;
    QStringList files = settings.value(QStringLiteral("recent/files")).toStringList();
    files.removeAll(path);
    settings.setValue(QStringLiteral("recent/files"), files);
    fill_recent_menu();
    Dialogs::fileWarning(this, path,
                         QStringLiteral("%1 is no longer there; it has been taken off the recent "
                                        "files.")
                                 .arg(QDir::toNativeSeparators(path)));
}

void kestrel::show_title(const QString &path)
{
    // The file's own name, as the desktop's task list shows it, then the program's.
    setWindowTitle(QFileInfo(path).fileName() + QStringLiteral(" \u2013 KESTREL"));
}

void kestrel::show_progress(JobBase &job, const QString &label, qint64 maximum)
{
    // Window-modal, so that nothing the work reads changes under it, and shown at once.
    progress = new QProgressDialog(label, QCoreApplication::translate("kestrel", "Cancel"), 0,
                                   maximum > 0 ? 1000 : 0, this);
    progress->setAttribute(Qt::WA_DeleteOnClose);
    progress->setWindowModality(Qt::WindowModal);
    progress->setAutoClose(false);
    progress->setAutoReset(false);
    progress->setMinimumDuration(0);
    if (maximum <= 0)
        progress->setCancelButton(nullptr);
    connect(progress, &QProgressDialog::canceled, &job, &JobBase::stop);
    connect(&job, &JobBase::progressed, progress, [dialog = progress.data(), maximum](qint64 done) {
        if (maximum > 0)
            dialog->setValue(int(1000 * done / maximum));
    });
    progress->open();
}

void kestrel::open_document(const QString &path)
{
    QString why;
    kcore::Source opened;
    {
        WaitCursor wait;
        opened = kcore::Source::open(path, 0, &why);
    }
    if (!opened.isNull() && opened.vector()->pageCount() > 1) {
        const int page = Dialogs::pageNumber(this, QFileInfo(path).fileName(),
                                             opened.vector()->pageCount());
        if (page < 0) {
            telling_terminal = false;
            return; // the open picture stays
        }
        if (page > 0) {
            WaitCursor wait;
            opened = kcore::Source::open(path, page, &why);
        }
    }
    if (opened.isNull()) {
        tell_not_loaded(path, why);
        return;
    }
    telling_terminal = false;
    remember_file(path);
    conversion.setSource(opened);
    show_title(path);
    ui.mainframe->setHint(QString());
    vector_scale = 0;
    draw_job.abandon();
    generate_when_drawn = false;
    ui.mainframe->fitBoard();
    asc_size_slot();
}

kcore::ConversionSettings kestrel::conversion_settings() const
{
    kcore::ConversionSettings c;
    c.invert = ui.cb_invert->isChecked();
    c.scalePercent = vector_scale > 0 ? vector_scale : ui.sb_scale->value();
    c.pads = pads_settings();
    c.stack.on = stacking();
    c.stack.palette = stack_palette;
    c.stack.bottom = stack_ui.cb_side->currentIndex() == 1;
    c.stack.maskExpansionMils = expansion_mils;
    halftone_settings(&c);
    c.fabSafe = {ui.cb_fabsafe->isChecked(), min_line_mils, min_space_mils};
    return c;
}

void kestrel::take_settings()
{
    conversion.setSettings(conversion_settings());
}

bool kestrel::draw_vector_page()
{
    if (conversion.pageIsCurrent())
        return true;
    const kcore::ConversionSettings c = conversion.settings();
    const QSize grid = conversion.grid();
    const double perMil = kcore::vectorPixelsPerMil(c.scalePercent, c.pads.pitch);
    if (draw_job.isRunning() && grid == pending_grid && perMil == pending_per_mil)
        return false;
    const auto draw = [page = conversion.source(), c](JobControl &) {
        return kcore::Conversion::drawPage(page, c);
    };
    // Nothing to draw at all takes no time; Generate and the status bar say why.
    if (qint64(grid.width()) * grid.height() < bigPicturePixels || grid.isEmpty()
        || kcore::beyondPixelBound(grid)) {
        if (draw_job.isRunning()) {
            draw_job.abandon();
            statusBar()->clearMessage();
        }
        JobControl here;
        WaitCursor wait;
        conversion.takePage(draw(here));
        return true;
    }
    pending_grid = grid;
    pending_per_mil = perMil;
    draw_job.start(draw);
    statusBar()->showMessage(QStringLiteral("Drawing the page at %1 x %2 pixels\u2026")
                                     .arg(grid.width())
                                     .arg(grid.height()));
    return false;
}

void kestrel::show_drawn_page(const kcore::Conversion::Page &page)
{
    conversion.takePage(page);
    statusBar()->clearMessage();
    build_bw_image();
    update_size_labels(); // shows the new image too
    if (generate_when_drawn) {
        generate_when_drawn = false;
        make_asc_slot();
    }
}

void kestrel::build_bw_image()
{
    take_settings();
    const bool vector = conversion.source().isVector();
    // A page is drawn at the pitch: without a width to draw it at, the last drawing stays.
    if (vector && !kcore::lineWidthProblem(typed_width, typed_unit).isEmpty())
        return;
    if (vector && !draw_vector_page())
        return; // shown once drawn
    if (vector && conversion.grey().isNull()) {
        const kcore::ConversionSettings &c = conversion.settings();
        const QSize request = conversion.source().request(c);
        const bool tooMany = kcore::beyondPixelBound(request);
        const QString why = tooMany ? kcore::tooManyPixelsMessage(c.scalePercent, request)
                                    : conversion.problem();
        const bool newProblem = !why.isEmpty() && told_problem != why;
        told_problem = why;
        conversion.setNoImage(why);
        if (newProblem && tooMany)
            Dialogs::warning(this, QStringLiteral("Could not build the black-and-white image."),
                             why);
        return;
    }
    // Fab-safe art of a big picture takes seconds: made off the GUI thread.
    const QSize grid = conversion.grid();
    const bool later = !conversion.fabSafeWanted().isEmpty()
            && qint64(grid.width()) * grid.height() >= bigPicturePixels;
    kcore::BwResult built;
    {
        WaitCursor wait;
        built = conversion.buildBw(!later);
    }
    // Once, when it happens, not at every further step of a threshold drag.
    const bool newProblem = !built && told_problem.isEmpty();
    told_problem = built ? QString() : built.why;
    if (newProblem)
        Dialogs::warning(this, QStringLiteral("Could not build the black-and-white image."),
                         built.why);
    update_edge_grey();
    if (later && built)
        start_fab_safe();
    else
        safe_job.abandon();
}

void kestrel::start_fab_safe()
{
    making_safe = conversion.fabSafeWanted();
    safe_job.start([bw = conversion.bw(), edges = conversion.edges(),
                    settings = conversion.settings()](JobControl &) {
        return kcore::Conversion::makeImageFabSafe(bw, edges, settings);
    });
    statusBar()->showMessage(QStringLiteral("Making the art fab-safe\u2026"));
}

void kestrel::take_fab_safe(const kcore::Conversion::FabSafeImage &made)
{
    statusBar()->clearMessage();
    if (!made.report.ok) {
        generate_when_safe = false;
        conversion.setNoImage(
                kcore::allocationProblem(QStringLiteral("fab-safe art"), conversion.bw().width(),
                                         conversion.bw().height(), QImage::Format_Mono));
        Dialogs::warning(this, QStringLiteral("Could not build the black-and-white image."),
                         conversion.problem());
    } else if (!conversion.takeFabSafe(made)) {
        return; // made for settings that no longer hold; the newest are being made
    }
    update_budget();
    if (generate_when_safe) {
        generate_when_safe = false;
        make_asc_slot();
    }
}

void kestrel::update_edge_grey()
{
    take_settings();
    WaitCursor wait;
    if (!conversion.buildEdges()) {
        // Without the levels the file would silently get pixel-grid ends.
        const QSignalBlocker block(ui.actionSmoothEdges);
        ui.actionSmoothEdges->setChecked(false);
        take_settings();
        Dialogs::warning(this,
                         QStringLiteral("There is not enough memory for Smooth Edges at "
                                        "this scale. It has been turned off."));
    }
}

void kestrel::threshold_slot()
{
    build_bw_image();
    update_budget(); // shows the new image too
}

void kestrel::asc_size_slot()
{
    // 500 % of a big picture is 25 times its pixels: rather than run out of memory, step the
    // scale back to the largest one kestrel builds, and say so once everything agrees again.
    const int asked = ui.sb_scale->value();
    // A scale typed by hand replaces one Fit to Size chose for a page.
    if (vector_scale > 0 && asked != qBound(1, int(std::lround(vector_scale)), 500))
        vector_scale = 0;
    int allowed = asked;
    take_settings();
    const QSize request = conversion.source().request(conversion.settings());
    if (kcore::beyondPixelBound(request)) {
        allowed = conversion.source().largestScale(conversion.settings(), asked);
        vector_scale = 0;
        const QSignalBlocker block(ui.sb_scale);
        ui.sb_scale->setValue(qMax(1, allowed));
    }
    build_bw_image();
    update_size_labels(); // shows the new image too
    if (allowed != asked && allowed > 0)
        Dialogs::warning(
                this,
                kcore::tooManyPixelsMessage(asked, request)
                        + QStringLiteral("\nThe scale has been set to %1 %.").arg(allowed));
}

void kestrel::display_what_slot()
{
    // The board follows the threshold too; a stack reads the colours, not the threshold, and a
    // halftone draws the grey's tones, which a stack's halftone reads too.
    const bool bwView = !ui.rb_img->isChecked() && !ui.rb_grey->isChecked();
    const bool threshold = bwView && !stacking() && !halftone();
    view_mode = ui.rb_img->isChecked() ? ViewMode::Colour
            : ui.rb_grey->isChecked()  ? ViewMode::Grey
            : ui.rb_board->isChecked() ? ViewMode::Board
                                       : ViewMode::BlackAndWhite;
    ui.sl_threshold->setEnabled(threshold);
    ui.sb_threshold->setEnabled(threshold);
    ui.sl_threstxt->setEnabled(threshold);
    ui.cb_invert->setEnabled(bwView && (!stacking() || halftone()));
    // Fab-safe makes thresholded art safe; a halftone keeps the limits itself.
    ui.cb_fabsafe->setEnabled(threshold);
    update_view();
}

kcore::PadsSettings kestrel::pads_settings() const
{
    // Read without line_pitch(), which restyles the field: painting must not change widgets.
    kcore::PadsSettings pads;
    pads.pitch = kcore::linePitch(typed_width, typed_unit);
    pads.layer = ui.sb_layer->value();
    pads.exactEnds = ui.actionExactEnds->isChecked();
    pads.format = ui.actionFormat94->isChecked() ? kcore::PadsFormat::V94 : kcore::PadsFormat::V20;
    pads.metric = kcore::writesMetric(unit_index);
    if (const QAction *kind = kind_group->checkedAction())
        pads.kind = kcore::LayerKind(kind->data().toInt());
    pads.smoothEdges = ui.actionSmoothEdges->isChecked();
    // A halftone's edge levels are made for a threshold of their own.
    pads.threshold = halftone() ? kcore::halftoneThreshold : ui.sl_threshold->value();
    return pads;
}

void kestrel::update_view()
{
    const QImage &shown = view_mode == ViewMode::Colour ? conversion.colour()
            : view_mode == ViewMode::Grey               ? conversion.grey()
                                                        : conversion.bw();
    if (!shown.isNull()) {
        // "Heigth" is the label's established text; tests and users' screenshots carry it.
        ui.lbl_info->setText(
                QString::asprintf("Width=%d Heigth=%d", shown.width(), shown.height()));
    } else if (!conversion.colour().isNull()) {
        // A size left from an earlier image would describe what is no longer there.
        ui.lbl_info->setText(QString());
    }
    if (view_mode == ViewMode::Board && stacking()) {
        show_stack_board();
        return;
    }
    // A width that is no width keeps the last board, and a page the last drawing of it, marked
    // out of date until the width can be used again.
    const QString why = kcore::lineWidthProblem(typed_width, typed_unit);
    if (view_mode != ViewMode::Board) {
        ui.mainframe->setStale(conversion.source().isVector() ? why : QString());
        ui.mainframe->showPicture(&shown);
        return;
    }
    if (why.isEmpty())
        board_pads = pads_settings();
    ui.mainframe->setStale(why);
    ui.mainframe->showBoard(&conversion.bw(), &conversion.edges(), board_pads);
}

void kestrel::next_finding()
{
    step_finding(false);
}

void kestrel::previous_finding()
{
    step_finding(true);
}

void kestrel::step_finding(bool back)
{
    if (shown_generation != budget_generation || ui.mainframe->findingCount() == 0) {
        statusBar()->showMessage(shown_generation == budget_generation && !conversion.bw().isNull()
                                         ? QStringLiteral("No closed or narrow gaps")
                                         : QStringLiteral("No fab check to step through yet"),
                                 4000);
        return;
    }
    if (!ui.rb_board->isChecked())
        ui.rb_board->setChecked(true); // its slot shows the board
    const kcore::SpaceFinding &f
            = back ? *ui.mainframe->previousFinding() : *ui.mainframe->nextFinding();
    if (stacking()) {
        statusBar()->showMessage(QStringLiteral("Finding %1 of %2: %3")
                                         .arg(ui.mainframe->findingIndex() + 1)
                                         .arg(ui.mainframe->findingCount())
                                         .arg(stack_finding_text(ui.mainframe->findingIndex())),
                                 6000);
        return;
    }
    statusBar()->showMessage(
            QStringLiteral("Finding %1 of %2: %3")
                    .arg(ui.mainframe->findingIndex() + 1)
                    .arg(ui.mainframe->findingCount())
                    .arg(kcore::findingText(f, QStringLiteral("copper"), unit_index)),
            6000);
}
