// The window's Generate: asks for a file and writes the black-and-white image into it as PADS
// lines, replacing any old file only once the new one is complete. Also the fab check in the
// status bar, which tells beforehand what Generate will write and what the board maker will
// find: counted off the GUI thread, newest settings first.
#include "kestrel.h"

#include "core/warnings.h"
#include "dialogs.h"
#include "export/artworkwriter.h"
#include "export/savefile.h"
#include "geometry/layers.h"
#include "geometry/units.h"
#include "waitcursor.h"

#include <QDir>
#include <QFileInfo>
#include <QFontMetrics>
#include <QSettings>
#include <QStatusBar>
#include <QStyle>

namespace {

// "the 3 mil line is finer ..." as a sentence of its own.
QString sentence(QString clause)
{
    if (!clause.isEmpty())
        clause[0] = clause[0].toUpper();
    return clause + QLatin1Char('.');
}

} // namespace

// What the window says of a refusal: a message box's text and its detail for Generate, a line
// for the status bar's fab check (empty: say nothing there).
struct kestrel::RefusalText
{
    QString text;
    QString detail;
    QString status;
};

kestrel::RefusalText kestrel::refusal_text(const kcore::WriteCheck &check, int scale)
{
    const QString nothing = QStringLiteral("Nothing was written.");
    switch (check.refusal) {
    case kcore::Refusal::None:
        return {};
    case kcore::Refusal::NoSource:
        return {QStringLiteral("Open a picture first."),
                QStringLiteral("Generate writes the picture's black-and-white image; there is "
                               "none yet. ")
                        + nothing,
                QString()};
    case kcore::Refusal::TooManyPixels:
    case kcore::Refusal::NotBuilt:
    case kcore::Refusal::NoPixels: {
        const QString why = !check.why.isEmpty()
                ? check.why
                : QStringLiteral("At %1 % the black-and-white image has no pixels.").arg(scale);
        return {QStringLiteral("There is no black-and-white image to write."),
                why + QLatin1Char(' ') + nothing, QString()};
    }
    case kcore::Refusal::LineWidth:
        return {check.why + QLatin1Char('\n') + nothing, QString(),
                QStringLiteral("No file: the line width is not usable")};
    case kcore::Refusal::Layer:
    case kcore::Refusal::Halftone:
    case kcore::Refusal::TooLarge:
        return {check.why + QLatin1Char('\n') + nothing, QString(),
                QStringLiteral("No file: ") + check.why};
    }
    return {};
}

void kestrel::make_asc_slot()
{
    if (draw_job.isRunning()) {
        // The page for the newest settings is still being drawn: that one is written, once drawn.
        generate_when_drawn = true;
        return;
    }
    if (safe_job.isRunning()) {
        generate_when_safe = true; // the art is written once made fab-safe
        return;
    }
    line_pitch(); // refreshes the field's colour
    take_settings();
    const kcore::WriteCheck check = conversion.check(typed_width, typed_unit, unit_index);
    if (!check) {
        const RefusalText t = refusal_text(check, ui.sb_scale->value());
        Dialogs::warning(this, t.text, t.detail);
        return;
    }
    kcore::FileType type;
    const QString name = ask_file_name(&type);
    if (name.isEmpty())
        return;
    // A Gerber file for each layer: none of them may be the picture.
    const QString picture_path = conversion.source().path();
    kcore::Conversion written = conversion;
    kcore::ConversionSettings settings = written.settings();
    settings.pads.type = type;
    written.setSettings(settings);
    for (const QString &file : written.files(name))
        if (!picture_path.isEmpty() && kcore::isSameFile(picture_path, file)) {
            Dialogs::fileWarning(this, file,
                                 QStringLiteral("%1 is the picture being converted; writing the "
                                                "board file there would destroy it.\nNothing was "
                                                "written.")
                                         .arg(QDir::toNativeSeparators(file)));
            return;
        }
    write_file(name, type);
}

QString kestrel::ask_file_name(kcore::FileType *type)
{
    // Suggested: the picture's name beside it, with the suffix of the file type last written.
    // What the user types is used as typed, but for the suffix of a file type chosen.
    const auto last = kcore::FileType(
            QSettings()
                    .value(QStringLiteral("board/fileType"), int(kcore::FileType::Pads))
                    .toInt());
    const QString picture_path = conversion.source().path();
    QString suggestion;
    if (!picture_path.isEmpty()) {
        // A pasted picture has a name but no folder: the one last used stands in.
        const QFileInfo picture(picture_path);
        const QDir folder = picture.isAbsolute()
                ? picture.dir()
                : QDir(QSettings().value(QStringLiteral("recent/folder")).toString());
        suggestion = folder.filePath(picture.completeBaseName() + QLatin1Char('.')
                                     + kcore::fileTypeSuffix(last));
    }
    QStringList filters{tr("Files (*.*)")};
    for (const kcore::FileType t : kcore::fileTypes())
        filters << kcore::fileTypeFilter(t);
    // "Files (*.*)" is left as the dialog starts: chosen, it would give the name the suffix "*".
    QString chosen = last == kcore::FileType::Pads ? QString() : kcore::fileTypeFilter(last);
    QString name = Dialogs::saveFileName(this, tr("Save File"), suggestion,
                                         filters.join(QStringLiteral(";;")), &chosen);
    if (name.isEmpty())
        return name;
    *type = kcore::fileTypeOfName(name);
    for (const kcore::FileType t : kcore::fileTypes())
        if (chosen == kcore::fileTypeFilter(t)) {
            *type = t;
            name = kcore::fileNameFor(name, t);
        }
    QSettings().setValue(QStringLiteral("board/fileType"), int(*type));
    return name;
}

void kestrel::write_file(const QString &name, kcore::FileType type)
{
    // The images are shared with the work, not copied.
    kcore::Conversion snapshot = conversion;
    kcore::ConversionSettings settings = snapshot.settings();
    settings.pads.type = type;
    snapshot.setSettings(settings);
    writing_files = snapshot.files(name);
    writing_type = type;
    const auto write = [name, snapshot](JobControl &control) {
        // Fab-safe art is made for what the file is judged by: polygons' own lines.
        kcore::Conversion made = snapshot;
        if (const kcore::BwResult remade = made.remakeFabSafe(); !remade)
            return kcore::failure(remade.why);
        const QStringList files = made.files(name);
        return kcore::saveFiles(files, kcore::artworkName(name),
                                [&](const kcore::Destination &out) {
                                    const auto progress = [&control](int rows) {
                                        control.report(rows);
                                        return !control.stopped();
                                    };
                                    return made.settings().stack.on ? made.writeStack(out, progress)
                                                                    : made.write(out, progress);
                                });
    };
    const QSize grid = stacking() ? conversion.grid() : conversion.bw().size();
    if (qint64(grid.width()) * grid.height() < bigPicturePixels) {
        JobControl here;
        show_written(name, write(here));
        return;
    }
    // A big picture is written behind a progress dialog whose Cancel leaves any old file as it
    // was.
    writing_to = name;
    write_job.start(write);
    show_progress(write_job, QStringLiteral("Writing %1").arg(QFileInfo(name).fileName()),
                  grid.height());
}

void kestrel::show_written(const QString &name, const kcore::WriteResult &result)
{
    if (progress)
        progress->close();
    if (!result.ok && result.message == kcore::cancelledMessage()) {
        statusBar()->showMessage(QStringLiteral("Cancelled: nothing was written to %1")
                                         .arg(QDir::toNativeSeparators(name)),
                                 6000);
        return;
    }
    if (!result.ok) {
        Dialogs::fileWarning(this, name,
                             QStringLiteral("Could not write the file %1.\n%2")
                                     .arg(QDir::toNativeSeparators(name), result.message));
        return;
    }
    QSettings().setValue(QStringLiteral("recent/folder"), QFileInfo(name).absolutePath());
    // The figures and the file's name whole; a long folder shortened in its middle to what the
    // status bar has room for, the whole path on hover.
    // Several files (a Gerber file for each layer) are named by what they share.
    const bool several = writing_files.size() > 1;
    const QString said
            = QStringLiteral("Wrote %1%2 %3, %4 bytes, to ")
                      .arg(several ? QStringLiteral("%1 files, ").arg(writing_files.size())
                                   : QString())
                      .arg(result.items)
                      .arg(kcore::itemNoun(writing_type), QString::number(result.bytes));
    const QFileInfo file(writing_files.value(0, name));
    const QString shown_name = several ? QFileInfo(name).completeBaseName() + QStringLiteral("-*.")
                    + kcore::fileTypeSuffix(writing_type)
                                       : file.fileName();
    const QString folder = QDir::toNativeSeparators(file.absolutePath() + QLatin1Char('/'));
    const QFontMetrics metrics = statusBar()->fontMetrics();
    const int room = statusBar()->width() - lbl_freeware->width()
            - metrics.horizontalAdvance(said + shown_name) - 3 * metrics.averageCharWidth();
    QString shown = room > 0 ? metrics.elidedText(folder, Qt::ElideMiddle, room) : QString();
    if (shown.isEmpty())
        shown = QStringLiteral("\u2026");
    QStringList native;
    for (const QString &f : std::as_const(writing_files))
        native << QDir::toNativeSeparators(f);
    statusBar()->setToolTip(said + native.join(QStringLiteral(", ")));
    statusBar()->showMessage(said + shown + shown_name, 6000);
}

void kestrel::show_covered(const QString &warning)
{
    // Said before Generate writes a file that holds nothing, or is nothing but copper.
    lbl_covered->setVisible(!warning.isEmpty());
    lbl_covered->setText(warning.isEmpty() ? QString() : QStringLiteral("\u26a0 ") + warning);
}

void kestrel::update_budget()
{
    // Fab-safe art follows the line width, the layout, the ends and the limits too.
    take_settings();
    const bool making = safe_job.isRunning() && making_safe == conversion.fabSafeWanted();
    if (!conversion.fabSafeIsCurrent() && !making)
        build_bw_image();
    const bool safe = !conversion.fabSafeWanted().isEmpty() && !conversion.bw().isNull();
    lbl_fabsafe->setVisible(safe);
    if (safe)
        lbl_fabsafe->setText(safe_job.isRunning()
                                     ? QStringLiteral("fab-safe: being made\u2026")
                                     : kcore::fabSafeSummary(conversion.fabSafeReport()));
    // Whatever was shown, or is being counted, belongs to settings that no longer hold.
    ++budget_generation;
    fab_job.abandon();
    stack_fab_job.abandon();
    lbl_budget->setText(conversion.bw().isNull() ? QString() : QStringLiteral("Checking\u2026"));
    lbl_gaps->clear();
    show_covered(QString());
    ui.mainframe->setFindings({});
    finding_layers.clear();
    if (stacking())
        refresh_stack_plan();
    // Every change of the image or the settings comes through here, so the view follows them.
    update_view();
    budget_timer.start();
}

void kestrel::count_budget()
{
    const auto noCheck = [&](const QString &text) {
        lbl_budget->setText(text);
        lbl_budget->setToolTip(text);
        lbl_fabwarning->hide();
        lbl_gaps->hide();
        lbl_halftone->hide();
        show_covered(QString());
        shown_generation = 0;
    };
    if (conversion.source().isNull() || draw_job.isRunning() || safe_job.isRunning()) {
        noCheck(QString()); // counted once the page is drawn, or the art made fab-safe
        return;
    }
    take_settings();
    const kcore::WriteCheck check = conversion.check(typed_width, typed_unit, unit_index);
    if (!check || conversion.bw().isNull()) {
        noCheck(refusal_text(check, ui.sb_scale->value()).status);
        return;
    }
    if (stacking()) {
        count_stack();
        return;
    }
    // A copy: the images are shared, and a re-clip on this thread detaches from them. A change
    // of the settings abandons the check, which then stops within a few rows.
    fab_job.start([snapshot = conversion, minLine = min_line_mils,
                   minSpace = min_space_mils](JobControl &control) {
        return snapshot.fabCheck(minLine, minSpace, control.stoppedFlag());
    });
}

void kestrel::show_fab_result(const kcore::FabResult &r)
{
    lbl_budget->setText(kcore::fabSummary(r.fab) + QStringLiteral(", ")
                        + kcore::coverageSummary(r.spaces));
    const QString note = halftone_note();
    lbl_halftone->setText(note);
    lbl_halftone->setVisible(!note.isEmpty());
    lbl_budget->setToolTip(QStringLiteral("What Generate will write: ") + lbl_budget->text());
    const QString warning = kcore::lineWarning(r.fab, unit_index);
    lbl_fabwarning->setVisible(!warning.isEmpty());
    if (!warning.isEmpty()) {
        lbl_fabwarning->setText(QStringLiteral("\u26a0 below %1 minimum")
                                        .arg(kcore::lengthText(r.fab.minLineMils, unit_index)));
        lbl_fabwarning->setToolTip(sentence(warning));
    }
    const bool gaps = r.spaces.hasFindings();
    lbl_gaps->setText((gaps ? QStringLiteral("\u26a0 ") : QString()) + kcore::gapSummary(r.spaces));
    lbl_gaps->setStyleSheet(gaps ? QStringLiteral("color: #b00000") : QString());
    lbl_gaps->setToolTip(
            QStringLiteral("Spaces of the picture that the copper closes, or narrows below the "
                           "%1 minimum space; marked in red in the Board view (Board, Next "
                           "Finding, F3)")
                    .arg(kcore::lengthText(r.spaces.minSpaceMils, unit_index)));
    lbl_gaps->show();
    show_covered(kcore::coverageWarning(r.coverage, conversion.settings(), r.greys));
    shown_generation = budget_generation;
    ui.mainframe->setFindings(r.spaces.findings);
    emit fabCheckShown();
}
