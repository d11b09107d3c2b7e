// The window's Generate: asks for a file and writes the black-and-white image into it as PADS
// lines, replacing any old file only once the new one is complete. Also the fab check in the
// status bar, which tells beforehand what Generate will write.
#include "kestrel.h"

#include "export/layers.h"
#include "export/padswriter.h"
#include "geometry/units.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStatusBar>
#include <QStyle>

void kestrel::make_asc_slot()
{
    line_pitch(); // refreshes the field's colour
    const QString problem = kcore::lineWidthProblem(ui.le_linewidth->text(), unit_index);
    if (!problem.isEmpty()) {
        QMessageBox::warning(this, windowTitle(),
                             problem + QStringLiteral("\nNothing was written."));
        return;
    }
    const kcore::PadsSettings pads = pads_settings();
    const QString layer = kcore::layerProblem(pads);
    if (!layer.isEmpty()) {
        QMessageBox::warning(this, windowTitle(), layer + QStringLiteral("\nNothing was written."));
        return;
    }
    if (!img_bw.isNull() && !kcore::padsFits(img_bw.size(), pads)) {
        QMessageBox::warning(this, windowTitle(),
                             kcore::pitchTooLargeMessage()
                                     + QStringLiteral("\nNothing was written."));
        return;
    }

    // Suggested: the picture's name with .asc, beside it. What the user types is used as typed.
    QString suggestion;
    if (!picture_path.isEmpty()) {
        const QFileInfo picture(picture_path);
        suggestion = picture.dir().filePath(picture.completeBaseName() + QStringLiteral(".asc"));
    }
    const QString name
            = QFileDialog::getSaveFileName(this, tr("Save File"), suggestion, tr("Files (*.*)"));
    if (name.isEmpty())
        return;
    if (!picture_path.isEmpty() && kcore::isSameFile(picture_path, name)) {
        QMessageBox::warning(this, windowTitle(),
                             QStringLiteral("%1 is the picture being converted; writing the board "
                                            "file there would destroy it.\nNothing was written.")
                                     .arg(QDir::toNativeSeparators(name)));
        return;
    }

    const kcore::PadsResult result = kcore::saveFile(
            name, [&](QIODevice *out) { return kcore::writePads(img_bw, pads, out, img_edge); });
    if (!result.ok) {
        QMessageBox::warning(this, windowTitle(),
                             QStringLiteral("Could not write the file %1.\n%2")
                                     .arg(QDir::toNativeSeparators(name), result.message));
        return;
    }
    statusBar()->showMessage(QStringLiteral("Wrote %1 LINES items, %2 bytes, to %3")
                                     .arg(result.items)
                                     .arg(result.bytes)
                                     .arg(QDir::toNativeSeparators(name)),
                             6000);
}

void kestrel::update_budget()
{
    budget_timer.start();
}

void kestrel::count_budget()
{
    const QString problem = kcore::lineWidthProblem(ui.le_linewidth->text(), unit_index);
    if (img_bw.isNull() || !problem.isEmpty()) {
        lbl_budget->setText(img_bw.isNull()
                                    ? QString()
                                    : QStringLiteral("No file: the line width is not usable"));
        lbl_fabwarning->hide();
        return;
    }
    const kcore::PadsSettings pads = pads_settings();
    const QString layer = kcore::layerProblem(pads);
    if (!layer.isEmpty()) {
        lbl_budget->setText(QStringLiteral("No file: ") + layer);
        lbl_budget->setToolTip(layer);
        lbl_fabwarning->hide();
        return;
    }
    const kcore::FabCheck check
            = kcore::fabCheck(kcore::countPads(img_bw, pads, img_edge), pads, min_line_mils);
    lbl_budget->setText(kcore::fabSummary(check));
    lbl_budget->setToolTip(QStringLiteral("What Generate will write: ") + lbl_budget->text());
    const QString warning = kcore::fabWarning(check);
    lbl_fabwarning->setVisible(!warning.isEmpty());
    if (!warning.isEmpty()) {
        lbl_fabwarning->setText(QStringLiteral("\u26a0 below %1 mil minimum")
                                        .arg(kcore::milsText(check.minLineMils)));
        lbl_fabwarning->setToolTip(QStringLiteral("The %1 mil line is %2.")
                                           .arg(kcore::milsText(check.lineMils), warning));
    }
}
