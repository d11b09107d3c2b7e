// The window's tones: the grey clipped at the threshold, or drawn as halftone dots within the fab
// limits, the cell of the halftone's screen, and what the window remembers of them.
#include "kestrel.h"

#include "geometry/units.h"
#include "settings.h"

#include <QSignalBlocker>

#include <cmath>

namespace {

const kcore::Finish dotFinishes[] = {kcore::Finish::Silk, kcore::Finish::Gold, kcore::Finish::Bare};

} // namespace

bool kestrel::halftone() const
{
    return ui.cb_tones->currentIndex() == 1;
}

void kestrel::halftone_settings(kcore::ConversionSettings *c) const
{
    kcore::HalftoneSettings &h = c->halftone;
    h.on = halftone();
    h.cellMils = cell_mils;
    h.minLineMils = min_line_mils;
    h.minSpaceMils = min_space_mils;
    c->stack.halftoneFinish = dotFinishes[qBound(0, stack_ui.cb_halftonefinish->currentIndex(), 2)];
    // In a stack the dots are one finish, within its layer's limits.
    if (c->stack.on)
        kcore::useStackLimits(c, stack_limits);
}

void kestrel::tones_changed()
{
    const bool dots = halftone();
    ui.lbl_cell->setEnabled(dots);
    ui.le_cell->setEnabled(dots);
    stack_ui.cb_halftonefinish->setEnabled(dots);
    save_tone_options();
    display_what_slot(); // the threshold does not draw a halftone
    build_bw_image();
    update_budget();
}

void kestrel::cell_edited()
{
    if (in_cell_change)
        return;
    // Empty is the smallest cell that draws the tones; anything else must be a length.
    const QString text = ui.le_cell->text().trimmed();
    bool isNumber = false;
    const double mils = text.isEmpty() ? 0 : kcore::linePitch(text, unit_index, &isNumber);
    const bool usable = text.isEmpty() || (isNumber && mils > 0 && std::isfinite(mils));
    ui.le_cell->setStyleSheet(usable ? QString() : QStringLiteral("background-color: yellow"));
    ui.le_cell->setToolTip(usable ? QStringLiteral("The halftone's cell across, in the line "
                                                   "width's unit; empty: the smallest that draws "
                                                   "16 tones within the fab limits")
                                  : QStringLiteral("The cell takes a length greater than 0"));
    if (!usable)
        return;
    cell_mils = mils;
    save_tone_options();
    if (halftone()) {
        build_bw_image();
        update_budget();
    }
}

void kestrel::show_cell()
{
    // The same cell in the unit now chosen, rounded to its digits; the cell used stays as typed.
    const QSignalBlocker block(ui.le_cell);
    ui.le_cell->setText(cell_mils > 0 ? kcore::lengthText(cell_mils, unit_index).section(' ', 0, 0)
                                      : QString());
}

void kestrel::load_tone_options()
{
    const ToneOptions o = loadToneOptions();
    ui.cb_tones->setCurrentIndex(o.halftone ? 1 : 0);
    cell_mils = o.cellMils;
    for (int i = 0; i < 3; ++i)
        if (dotFinishes[i] == o.finish)
            stack_ui.cb_halftonefinish->setCurrentIndex(i);
    ui.lbl_cell->setEnabled(o.halftone);
    ui.le_cell->setEnabled(o.halftone);
    stack_ui.cb_halftonefinish->setEnabled(o.halftone);
    show_cell();
}

void kestrel::save_tone_options() const
{
    ToneOptions o;
    o.halftone = halftone();
    o.cellMils = cell_mils;
    o.finish = dotFinishes[qBound(0, stack_ui.cb_halftonefinish->currentIndex(), 2)];
    saveToneOptions(o);
}

// What the fab panel says of a halftone: its screen, and whether the line width draws its
// smallest dot round.
QString kestrel::halftone_note() const
{
    const std::shared_ptr<const kcore::HalftoneScreen> &screen = conversion.screen();
    if (!halftone() || !screen)
        return QString();
    QString note = QStringLiteral("halftone: cell %1 mm, %2 tones, dots and webs of at least %3 "
                                  "mil")
                           .arg(QString::number(screen->cellMils() * kcore::mmPerMil, 'f', 3))
                           .arg(screen->tones())
                           .arg(kcore::milsText(screen->finestInkMils()));
    if (screen->coarse())
        note += QStringLiteral(" (not round: a line width of at most %1 mil draws the %2 mil dot "
                               "round)")
                        .arg(kcore::milsText(screen->minLineMils() / kcore::roundDotPitches),
                             kcore::milsText(screen->minLineMils()));
    return note;
}
