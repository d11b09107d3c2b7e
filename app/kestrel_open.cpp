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
#include "offthread.h"
#include "waitcursor.h"

#include <QActionGroup>
#include <QFileInfo>
#include <QImageReader>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QtConcurrent/QtConcurrentRun>

#include <cmath>

void kestrel::file_open()
{
    // "All files" as well: pictures named .tif or without a suffix load too.
    QString filter = QString::fromLatin1(kcore::pictureFilter);
    if (kcore::vectorSupport())
        filter = QStringLiteral("Pictures and documents (%1 %2);;Pictures (%1);;Vector "
                                "documents (%2)")
                         .arg(filter, QString::fromLatin1(kcore::vectorFilter));
    const QString name = Dialogs::openFileName(this, QStringLiteral("Open"),
                                               filter + QStringLiteral(";;All files (*)"));
    if (!name.isEmpty())
        open_picture(name);
}

void kestrel::open_picture(const QString &path)
{
    if (kcore::isVectorFile(path)) {
        open_document(path);
        return;
    }
    QImage loaded;
    QImage grey;
    QString why;
    {
        WaitCursor wait;
        // Built before anything is replaced, so a failure keeps the previous picture whole.
        const auto load = [&] {
            loaded = kcore::loadPicture(path, &why);
            grey = kcore::makeGrey(loaded, &why);
            return true;
        };
        // A big picture loads behind a busy dialog, so the window is seen to be at work. One past
        // the bound is refused from its header at once.
        const QSize declared = QImageReader(path).size();
        const qint64 pixels = qint64(declared.width()) * declared.height();
        if (pixels < bigPicturePixels || kcore::beyondPixelBound(declared))
            load();
        else
            runOffGuiThread<bool>(this,
                                  QStringLiteral("Opening %1").arg(QFileInfo(path).fileName()), 0,
                                  false, [&](WorkProgress &) { return load(); });
    }
    if (grey.isNull()) {
        Dialogs::warning(this, QStringLiteral("Could not load the file as image."), why);
        return;
    }
    img_colour = loaded;
    img_width = img_colour.width();
    img_height = img_colour.height();
    img_grey = grey;
    picture_path = path;
    source = kcore::Source::fromPicture(loaded, path);
    ++draw_generation; // a page still being drawn is no longer wanted
    vector_scale = 0;
    ui.mainframe->fitBoard();
    asc_size_slot();
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
        if (page < 0)
            return; // the open picture stays
        if (page > 0) {
            WaitCursor wait;
            opened = kcore::Source::open(path, page, &why);
        }
    }
    if (opened.isNull()) {
        Dialogs::warning(this, QStringLiteral("Could not load the file as image."), why);
        return;
    }
    source = opened;
    picture_path = path;
    vector_scale = 0;
    ++draw_generation;
    drawn_grid = pending_grid = QSize();
    img_colour = img_grey = QImage();
    ui.mainframe->fitBoard();
    asc_size_slot();
}

kcore::ConversionSettings kestrel::conversion_settings() const
{
    kcore::ConversionSettings c;
    c.threshold = ui.sl_threshold->value();
    c.invert = ui.cb_invert->isChecked();
    c.scalePercent = vector_scale > 0 ? vector_scale : ui.sb_scale->value();
    c.pads = pads_settings();
    return c;
}

bool kestrel::draw_vector_page()
{
    const kcore::ConversionSettings c = conversion_settings();
    const QSize grid = source.grid(c);
    const double perMil = kcore::vectorPixelsPerMil(c.scalePercent, c.pads.pitch);
    if (grid == drawn_grid && perMil == drawn_per_mil)
        return true;
    if (draw_watcher.isRunning() && grid == pending_grid && perMil == pending_per_mil)
        return false;
    ++draw_generation;
    const qint64 pixels = qint64(grid.width()) * grid.height();
    if (grid.isEmpty() || kcore::beyondPixelBound(grid)) {
        // Nothing to draw at these settings; Generate and the status bar say why.
        img_colour = img_grey = QImage();
        drawn_grid = grid;
        drawn_per_mil = perMil;
        return true;
    }
    const auto draw = [page = source, c, grid, perMil, generation = draw_generation] {
        DrawnPage d;
        d.generation = generation;
        d.grid = grid;
        d.perMil = perMil;
        d.colour = page.colour(c);
        d.grey = kcore::makeGrey(d.colour, &d.why);
        if (d.colour.isNull())
            d.why = kcore::allocationProblem(QStringLiteral("the drawn page"),
                                             grid.width(), grid.height(),
                                             QImage::Format_RGB32);
        return d;
    };
    if (pixels < bigPicturePixels) {
        WaitCursor wait;
        const DrawnPage d = draw();
        take_page(d);
        return true;
    }
    pending_grid = grid;
    pending_per_mil = perMil;
    draw_watcher.setFuture(QtConcurrent::run(draw));
    statusBar()->showMessage(
            QStringLiteral("Drawing the page at %1 x %2 pixels\u2026").arg(grid.width()).arg(grid.height()));
    return false;
}

void kestrel::take_page(const DrawnPage &d)
{
    img_colour = d.colour;
    img_grey = d.grey;
    bw_problem = d.why;
    drawn_grid = d.grid;
    drawn_per_mil = d.perMil;
}

void kestrel::show_drawn_page()
{
    const DrawnPage d = draw_watcher.result();
    if (d.generation != draw_generation)
        return; // settings changed meanwhile; a newer drawing is on its way
    take_page(d);
    statusBar()->clearMessage();
    build_bw_image();
    update_size_labels(); // shows the new image too
}

void kestrel::build_bw_image()
{
    const int threshold = ui.sl_threshold->value();
    const bool invert = ui.cb_invert->isChecked();
    // A page is drawn onto the grid itself, so it is clipped as it is.
    const bool vector = source.isVector();
    if (vector && !draw_vector_page())
        return; // shown once drawn
    const int scale = vector ? 100 : ui.sb_scale->value();
    if (vector && img_grey.isNull()) {
        const kcore::ConversionSettings c = conversion_settings();
        const QSize request = source.request(c);
        const bool tooMany = kcore::beyondPixelBound(request);
        const QString why = tooMany ? kcore::tooManyPixelsMessage(c.scalePercent, request)
                                    : bw_problem;
        const bool newProblem = !why.isEmpty() && bw_problem != why;
        bw_problem = why;
        img_bw = img_edge = QImage();
        if (newProblem && tooMany)
            Dialogs::warning(this, QStringLiteral("Could not build the black-and-white image."),
                             why);
        return;
    }
    kcore::BwResult built;
    {
        WaitCursor wait;
        built = bw_builder.build(img_grey, threshold, invert, scale, img_bw);
    }
    const bool newProblem = !built && bw_problem.isEmpty();
    bw_problem = built ? QString() : built.why;
    if (!built)
        img_bw = QImage();
    // Once, when it happens, not at every further step of a threshold drag.
    if (newProblem)
        Dialogs::warning(this, QStringLiteral("Could not build the black-and-white image."),
                         bw_problem);
    update_edge_grey();
}

void kestrel::update_edge_grey()
{
    // A 16384 x 16384 picture's levels take 268 MB: kept only while they are used.
    if (!ui.actionSmoothEdges->isChecked() || img_bw.isNull()) {
        img_edge = QImage();
        return;
    }
    if (!img_edge.isNull() && img_edge.size() == img_bw.size()
        && edge_grey_key == img_grey.cacheKey())
        return;
    WaitCursor wait;
    img_edge = QImage();
    img_edge = kcore::edgeGrey(img_grey, img_bw.size());
    edge_grey_key = img_grey.cacheKey();
    if (img_edge.isNull()) {
        // Without the levels the file would silently get pixel-grid ends.
        const QSignalBlocker block(ui.actionSmoothEdges);
        ui.actionSmoothEdges->setChecked(false);
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
    kcore::ConversionSettings c = conversion_settings();
    const QSize request = source.request(c);
    if (kcore::beyondPixelBound(request)) {
        allowed = source.largestScale(c, asked);
        vector_scale = 0;
        const QSignalBlocker block(ui.sb_scale);
        ui.sb_scale->setValue(qMax(1, allowed));
    }
    build_bw_image();
    update_size_labels(); // shows the new image too
    if (allowed != asked && allowed > 0)
        Dialogs::warning(this,
                         kcore::tooManyPixelsMessage(asked, request)
                                 + QStringLiteral("\nThe scale has been set to %1 %.").arg(allowed));
}

void kestrel::display_what_slot()
{
    // The board follows the threshold too.
    const bool bwControls = !ui.rb_img->isChecked() && !ui.rb_grey->isChecked();
    view_mode = ui.rb_img->isChecked() ? ViewMode::Colour
            : ui.rb_grey->isChecked()  ? ViewMode::Grey
            : ui.rb_board->isChecked() ? ViewMode::Board
                                       : ViewMode::BlackAndWhite;
    ui.sl_threshold->setEnabled(bwControls);
    ui.sl_threstxt->setEnabled(bwControls);
    ui.cb_invert->setEnabled(bwControls);
    update_view();
}

kcore::PadsSettings kestrel::pads_settings() const
{
    // Read without line_pitch(), which restyles the field: painting must not change widgets.
    kcore::PadsSettings pads;
    pads.pitch = kcore::linePitch(ui.le_linewidth->text(), unit_index);
    pads.layer = ui.sb_layer->value();
    pads.exactEnds = ui.actionExactEnds->isChecked();
    pads.format = ui.actionFormat94->isChecked() ? kcore::PadsFormat::V94 : kcore::PadsFormat::V20;
    // Inches are written in mils: readers lose short pieces in files whose unit is the inch.
    pads.metric = unit_index == kcore::UnitMillimetres;
    if (const QAction *kind = kind_group->checkedAction())
        pads.kind = kcore::LayerKind(kind->data().toInt());
    pads.smoothEdges = ui.actionSmoothEdges->isChecked();
    pads.threshold = ui.sl_threshold->value();
    return pads;
}

void kestrel::update_view()
{
    const QImage &shown = view_mode == ViewMode::Colour ? img_colour
            : view_mode == ViewMode::Grey               ? img_grey
                                                        : img_bw;
    if (!shown.isNull()) {
        // "Heigth" is the label's established text; tests and users' screenshots carry it.
        ui.lbl_info->setText(
                QString::asprintf("Width=%d Heigth=%d", shown.width(), shown.height()));
    } else if (!img_colour.isNull()) {
        // A size left from an earlier image would describe what is no longer there.
        ui.lbl_info->setText(QString());
    }
    if (view_mode != ViewMode::Board)
        ui.mainframe->showPicture(&shown);
    else if (kcore::lineWidthProblem(ui.le_linewidth->text(), unit_index).isEmpty())
        ui.mainframe->showBoard(&img_bw, &img_edge, pads_settings());
    else
        ui.mainframe->showPicture(nullptr); // no file could be written, so there is no board
}

void kestrel::next_finding()
{
    if (shown_generation != budget_generation || ui.mainframe->findingCount() == 0) {
        statusBar()->showMessage(shown_generation == budget_generation && !img_bw.isNull()
                                         ? QStringLiteral("No closed or narrow gaps")
                                         : QStringLiteral("No fab check to step through yet"),
                                 4000);
        return;
    }
    if (!ui.rb_board->isChecked())
        ui.rb_board->setChecked(true); // its slot shows the board
    const kcore::SpaceFinding &f = *ui.mainframe->nextFinding();
    statusBar()->showMessage(
            QStringLiteral("Finding %1 of %2: %3 gap, %4 mil of copper space")
                    .arg(ui.mainframe->findingIndex() + 1)
                    .arg(ui.mainframe->findingCount())
                    .arg(f.closed ? QStringLiteral("closed") : QStringLiteral("narrow"),
                         kcore::milsText(qMax(0.0, f.gapMils))),
            6000);
}
