// The window's image pipeline: opening a picture, rebuilding the black-and-white image when its
// settings change, and drawing the chosen image into the preview frame.
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
#include <QMouseEvent>
#include <QPainter>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QWheelEvent>
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
        if (pixels < bigPicturePixels || pixels > kcore::maxImagePixels)
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
    board_zoom.fit();
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
    board_zoom.fit();
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
    if (grid.isEmpty() || pixels > kcore::maxImagePixels) {
        // Nothing to draw at these settings; Generate and the status bar say why.
        img_colour = img_grey = QImage();
        drawn_grid = grid;
        drawn_per_mil = perMil;
        return true;
    }
    const auto draw = [page = source, c, generation = draw_generation] {
        DrawnPage d;
        d.generation = generation;
        d.colour = page.colour(c);
        d.grey = kcore::makeGrey(d.colour, &d.why);
        if (d.colour.isNull())
            d.why = kcore::allocationProblem(QStringLiteral("the drawn page"),
                                             page.grid(c).width(), page.grid(c).height(),
                                             QImage::Format_RGB32);
        return d;
    };
    if (pixels < bigPicturePixels) {
        WaitCursor wait;
        const DrawnPage d = draw();
        img_colour = d.colour;
        img_grey = d.grey;
        bw_problem = d.why;
        drawn_grid = grid;
        drawn_per_mil = perMil;
        return true;
    }
    pending_grid = grid;
    pending_per_mil = perMil;
    draw_watcher.setFuture(QtConcurrent::run(draw));
    statusBar()->showMessage(
            QStringLiteral("Drawing the page at %1 x %2 pixels\u2026").arg(grid.width()).arg(grid.height()));
    return false;
}

void kestrel::show_drawn_page()
{
    const DrawnPage d = draw_watcher.result();
    if (d.generation != draw_generation)
        return; // settings changed meanwhile; a newer drawing is on its way
    img_colour = d.colour;
    img_grey = d.grey;
    bw_problem = d.why;
    drawn_grid = pending_grid;
    drawn_per_mil = pending_per_mil;
    statusBar()->clearMessage();
    build_bw_image();
    ui.mainframe->repaint();
    update_size_labels();
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
        const bool tooMany = qint64(request.width()) * request.height() > kcore::maxImagePixels;
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
    ui.mainframe->repaint();
    update_budget();
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
    if (qint64(request.width()) * request.height() > kcore::maxImagePixels) {
        allowed = source.largestScale(c, asked);
        vector_scale = 0;
        const QSignalBlocker block(ui.sb_scale);
        ui.sb_scale->setValue(qMax(1, allowed));
    }
    build_bw_image();
    ui.mainframe->repaint();
    update_size_labels();
    if (allowed != asked && allowed > 0)
        Dialogs::warning(this,
                         kcore::tooManyPixelsMessage(asked, request)
                                 + QStringLiteral("\nThe scale has been set to %1 %.").arg(allowed));
}

void kestrel::display_what_slot()
{
    // 0 black-and-white, 1 grey, 2 colour, 3 board; the board follows the threshold too.
    const bool bwControls = !ui.rb_img->isChecked() && !ui.rb_grey->isChecked();
    view_mode = ui.rb_img->isChecked() ? 2
            : ui.rb_grey->isChecked()  ? 1
            : ui.rb_board->isChecked() ? 3
                                       : 0;
    ui.sl_threshold->setEnabled(bwControls);
    ui.sl_threstxt->setEnabled(bwControls);
    ui.cb_invert->setEnabled(bwControls);
    ui.mainframe->repaint();
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

bool kestrel::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != ui.mainframe)
        return QMainWindow::eventFilter(watched, event);
    if (view_mode == 3 && board_mouse(event))
        return true;
    if (event->type() != QEvent::Paint)
        return QMainWindow::eventFilter(watched, event);

    QPainter painter(ui.mainframe);
    img_view = view_mode == 2 ? img_colour : view_mode == 1 ? img_grey : img_bw;
    if (img_view.isNull()) {
        // A size left from an earlier image would describe what is no longer there.
        if (!img_colour.isNull())
            ui.lbl_info->setText(QString());
        return false;
    }
    // "Heigth" is the label's established text; tests and users' screenshots carry it.
    ui.lbl_info->setText(
            QString::asprintf("Width=%d Heigth=%d", img_view.width(), img_view.height()));
    if (view_mode == 3) {
        const kcore::PadsSettings pads = pads_settings();
        if (!kcore::lineWidthProblem(ui.le_linewidth->text(), unit_index).isEmpty()) {
            img_view = QImage();
            return false; // no file could be written, so there is no board to show
        }
        const QRectF bounds = kcore::boardBounds(img_bw.size(), pads);
        // Rendered in device pixels, so the copper's edges are sharp on a high-density screen.
        const qreal ratio = ui.mainframe->devicePixelRatioF();
        QSize size;
        const kcore::BoardViewport viewport = board_zoom.viewport(
                bounds, (QSizeF(ui.mainframe->size()) * ratio).toSize(), &size);
        img_view = kcore::renderBoard(img_bw, pads, viewport, size, img_edge);
        img_view.setDevicePixelRatio(ratio);
        painter.drawImage(0, 0, img_view);
        // The rings go on in the frame's own (logical) pixels.
        kcore::BoardViewport logical = viewport;
        logical.milsPerPixel *= ratio;
        draw_findings(painter, logical);
        return false;
    }
    img_view = img_view.scaled(ui.mainframe->width(), ui.mainframe->height(), Qt::KeepAspectRatio,
                               Qt::FastTransformation);
    painter.drawImage(0, 0, img_view);
    return false;
}

void kestrel::draw_findings(QPainter &painter, const kcore::BoardViewport &viewport) const
{
    // Only the findings of the settings shown; rings of a fixed size on screen, so they stay
    // visible however far the view is zoomed out.
    if (shown_generation != budget_generation || space_report.findings.empty())
        return;
    constexpr double radius = 7;
    const QRectF frame = QRectF(ui.mainframe->rect()).adjusted(-radius, -radius, radius, radius);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(0xe0, 0x10, 0x10), 2));
    for (const kcore::SpaceFinding &f : space_report.findings) {
        const QPointF at((f.mils.x() - viewport.left) / viewport.milsPerPixel,
                         (viewport.top - f.mils.y()) / viewport.milsPerPixel);
        if (frame.contains(at))
            painter.drawEllipse(at, radius, radius);
    }
    if (finding_index >= 0 && finding_index < int(space_report.findings.size())) {
        const kcore::SpaceFinding &f = space_report.findings[size_t(finding_index)];
        const QPointF at((f.mils.x() - viewport.left) / viewport.milsPerPixel,
                         (viewport.top - f.mils.y()) / viewport.milsPerPixel);
        painter.setPen(QPen(QColor(0xff, 0xff, 0x40), 2));
        painter.drawEllipse(at, radius + 3, radius + 3);
    }
}

void kestrel::next_finding()
{
    if (shown_generation != budget_generation || space_report.findings.empty()) {
        statusBar()->showMessage(shown_generation == budget_generation && !img_bw.isNull()
                                         ? QStringLiteral("No closed or narrow gaps")
                                         : QStringLiteral("No fab check to step through yet"),
                                 4000);
        return;
    }
    finding_index = (finding_index + 1) % int(space_report.findings.size());
    const kcore::SpaceFinding &f = space_report.findings[size_t(finding_index)];
    if (!ui.rb_board->isChecked())
        ui.rb_board->setChecked(true); // its slot repaints
    // Close enough to see the pixels around the gap: about 24 pitches across the frame.
    const kcore::PadsSettings pads = pads_settings();
    const QSize frame = ui.mainframe->size();
    board_zoom.showAt(kcore::boardBounds(img_bw.size(), pads), frame, f.mils,
                      24 * pads.pitch / qMax(1, frame.width()));
    ui.mainframe->repaint();
    const int total = int(space_report.findings.size());
    statusBar()->showMessage(
            QStringLiteral("Finding %1 of %2: %3 gap, %4 mil of copper space")
                    .arg(finding_index + 1)
                    .arg(total)
                    .arg(f.closed ? QStringLiteral("closed") : QStringLiteral("narrow"),
                         kcore::milsText(qMax(0.0, f.gapMils))),
            6000);
}

bool kestrel::board_mouse(QEvent *event)
{
    if (img_bw.isNull())
        return false;
    const QRectF bounds = kcore::boardBounds(img_bw.size(), pads_settings());
    const QSize frame = ui.mainframe->size();
    switch (event->type()) {
    case QEvent::Wheel: {
        auto *wheel = static_cast<QWheelEvent *>(event);
        const double steps = wheel->angleDelta().y() / 120.0;
        board_zoom.zoomAt(bounds, frame, wheel->position(), std::pow(1.25, steps));
        break;
    }
    case QEvent::MouseButtonPress:
        drag_from = static_cast<QMouseEvent *>(event)->position().toPoint();
        return true;
    case QEvent::MouseMove: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (!(mouse->buttons() & Qt::LeftButton))
            return false;
        const QPoint at = mouse->position().toPoint();
        board_zoom.panBy(bounds, frame, at - drag_from);
        drag_from = at;
        break;
    }
    case QEvent::MouseButtonDblClick:
        board_zoom.fit();
        break;
    default:
        return false;
    }
    ui.mainframe->repaint();
    return true;
}
