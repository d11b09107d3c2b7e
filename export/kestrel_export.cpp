// The window's Generate: asks for a file and writes the black-and-white image into it as PADS
// lines, replacing any old file only once the new one is complete.
#include "kestrel.h"

#include "export/padswriter.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QSaveFile>

void kestrel::make_asc_slot()
{
    const double pitch = line_pitch();
    const int layer = ui.sb_layer->value();

    if (!img_bw.isNull() && !kcore::padsFits(img_bw.size(), pitch)) {
        QMessageBox::warning(this, QStringLiteral("KESTREL"),
                             QStringLiteral("The line width is too large for this picture: its "
                                            "coordinates would not fit in a PADS file.\nNothing "
                                            "was written."));
        return;
    }

    const QString name
            = QFileDialog::getSaveFileName(this, tr("Save File"), QString(), tr("Files (*.*)"));
    if (name.isEmpty())
        return;

    QSaveFile file(name);
    QString error;
    if (!file.open(QIODevice::WriteOnly)) {
        error = file.errorString();
    } else {
        const kcore::PadsResult result = kcore::writePads(img_bw, pitch, layer, &file);
        if (result.status != kcore::PadsResult::Ok)
            error = result.error;
        else if (!file.commit())
            error = file.errorString();
    }
    if (!error.isNull()) {
        file.cancelWriting();
        QMessageBox::warning(this, QStringLiteral("KESTREL"),
                             QStringLiteral("Could not write the file %1.\n%2")
                                     .arg(QDir::toNativeSeparators(name), error));
    }
}
