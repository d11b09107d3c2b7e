// The window's image pipeline: opening a picture, rebuilding the black-and-white image when its
// settings change, and drawing the chosen image into the preview frame.
#include "kestrel.h"

#include "geometry/units.h"
#include "image/edgegrey.h"
#include "image/greyimage.h"
#include "image/picture.h"
#include "waitcursor.h"

#include <QActionGroup>
#include <QFileDialog>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalBlocker>
#include <QWheelEvent>

#include <cmath>

void kestrel::file_open()
{
    // "All files" as well: pictures named .tif or without a suffix load too.
    QFileDialog dialog(this, QStringLiteral("Open"), QString(),
                       QString::fromLatin1(kcore::pictureFilter)
                               + QStringLiteral(";;All files (*)"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty() || files.first().isEmpty())
        return;
    open_picture(files.first());
}

void kestrel::open_picture(const QString &path)
{
    QImage loaded;
    QImage grey;
    QString why;
    {
        WaitCursor wait;
        loaded = kcore::loadPicture(path, &why);
        // Built before anything is replaced, so a failure keeps the previous picture whole.
        grey = kcore::makeGrey(loaded);
    }
    if (grey.isNull()) {
        QMessageBox box;
        box.setText(QStringLiteral("Could not load the file as image."));
        box.setInformativeText(loaded.isNull() ? why
                                               : QStringLiteral("There is not enough memory."));
        box.exec();
        return;
    }
    img_colour = loaded;
    img_width = img_colour.width();
    img_height = img_colour.height();
    img_grey = grey;
    picture_path = path;
    board_zoom.fit();
    asc_size_slot();
}

void kestrel::build_bw_image()
{
    const int threshold = ui.sl_threshold->value();
    const bool invert = ui.cb_invert->isChecked();
    const int scale = ui.sb_scale->value();
    WaitCursor wait;
    bw_builder.build(img_grey, threshold, invert, scale, img_bw);
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
        QMessageBox::warning(this, windowTitle(),
                             QStringLiteral("There is not enough memory for Smooth Edges at this "
                                            "scale. It has been turned off."));
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
    int allowed = asked;
    if (!kcore::scaleWithinLimit(img_grey.size(), asked)) {
        allowed = kcore::largestScaleWithinLimit(img_grey.size(), asked);
        const QSignalBlocker block(ui.sb_scale);
        ui.sb_scale->setValue(allowed);
    }
    build_bw_image();
    ui.mainframe->repaint();
    update_size_labels();
    if (allowed != asked) {
        const QSize big = kcore::scaledRequest(img_grey.size(), asked);
        QMessageBox::warning(
                this, windowTitle(),
                QStringLiteral("At %1 % the black-and-white image would be %2 x %3 pixels, more "
                               "than the %4 megapixels kestrel can build.\nThe scale has been "
                               "set to %5 %.")
                        .arg(asked)
                        .arg(big.width())
                        .arg(big.height())
                        .arg(kcore::maxImagePixels / 1000000)
                        .arg(allowed));
    }
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
    if (img_view.isNull())
        return false;
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
        QSize size;
        const kcore::BoardViewport viewport
                = board_zoom.viewport(bounds, ui.mainframe->size(), &size);
        img_view = kcore::renderBoard(img_bw, pads, viewport, size, img_edge);
    } else {
        img_view = img_view.scaled(ui.mainframe->width(), ui.mainframe->height(),
                                   Qt::KeepAspectRatio, Qt::FastTransformation);
    }
    painter.drawImage(0, 0, img_view);
    return false;
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
