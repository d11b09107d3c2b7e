// The window's image pipeline: opening a picture, rebuilding the black-and-white image when its
// settings change, and drawing the chosen image into the preview frame.
#include "kestrel.h"

#include "image/greyimage.h"
#include "image/picture.h"
#include "waitcursor.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPainter>
#include <QSignalBlocker>

void kestrel::file_open()
{
    QFileDialog dialog(this, QStringLiteral("Open"), QString(),
                       QString::fromLatin1(kcore::pictureFilter));
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty() || files.first().isEmpty())
        return;

    QImage loaded;
    QImage grey;
    {
        WaitCursor wait;
        loaded = kcore::loadPicture(files.first());
        // Built before anything is replaced, so a failure keeps the previous picture whole.
        grey = kcore::makeGrey(loaded);
    }
    if (grey.isNull()) {
        QMessageBox box;
        box.setText(QStringLiteral("Could not load the file as image."));
        box.exec();
        return;
    }
    img_colour = loaded;
    img_width = img_colour.width();
    img_height = img_colour.height();
    img_grey = grey;
    asc_size_slot();
}

void kestrel::build_bw_image()
{
    const int threshold = ui.sl_threshold->value();
    const bool invert = ui.cb_invert->isChecked();
    const int scale = ui.sb_scale->value();
    WaitCursor wait;
    bw_builder.build(img_grey, threshold, invert, scale, img_bw);
}

void kestrel::threshold_slot()
{
    build_bw_image();
    ui.mainframe->repaint();
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
                this, QStringLiteral("KESTREL"),
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
    const bool bwControls = !ui.rb_img->isChecked() && !ui.rb_grey->isChecked();
    view_mode = ui.rb_img->isChecked() ? 2 : ui.rb_grey->isChecked() ? 1 : 0;
    ui.sl_threshold->setEnabled(bwControls);
    ui.sl_threstxt->setEnabled(bwControls);
    ui.cb_invert->setEnabled(bwControls);
    ui.mainframe->repaint();
}

bool kestrel::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != ui.mainframe || event->type() != QEvent::Paint)
        return QMainWindow::eventFilter(watched, event);

    QPainter painter(ui.mainframe);
    img_view = view_mode == 0 ? img_bw : view_mode == 1 ? img_grey : img_colour;
    if (img_view.isNull())
        return false;
    ui.lbl_info->setText(
            QString::asprintf("Width=%d Heigth=%d", img_view.width(), img_view.height()));
    img_view = img_view.scaled(ui.mainframe->width(), ui.mainframe->height(), Qt::KeepAspectRatio,
                               Qt::FastTransformation);
    painter.drawImage(0, 0, img_view);
    return false;
}
