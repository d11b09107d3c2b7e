// The window's line width: its pitch, unit changes, and the actual-size labels.
#include "kestrel.h"

#include "geometry/units.h"

namespace {

const QString whiteField = QStringLiteral("background-color: white");
const QString yellowField = QStringLiteral("background-color: yellow");

} // namespace

double kestrel::line_pitch()
{
    // A width no file can carry is marked where it is typed, with the reason Generate would give.
    const QString problem = kcore::lineWidthProblem(typed_width, typed_unit);
    ui.le_linewidth->setStyleSheet(problem.isEmpty() ? whiteField : yellowField);
    ui.le_linewidth->setToolTip(problem);
    mark_expansion(); // its bound is half the width
    return problem.isEmpty() ? kcore::linePitch(typed_width, typed_unit) : 0.0;
}

void kestrel::pix_usize_slot()
{
    const int checked = ui.rb_units_mils->isChecked() ? kcore::UnitMils
            : ui.rb_units_mm->isChecked()             ? kcore::UnitMillimetres
                                                      : kcore::UnitInches;
    double typed = 0;
    if (!kcore::parseLineWidth(ui.le_linewidth->text(), &typed)) {
        // Nothing to convert, but the unit still follows the buttons: a number typed next is
        // read in the unit the user sees checked.
        unit_index = checked;
        typed_unit = checked;
        show_expansion();
        show_cell();
        line_pitch(); // marks the field
        return;
    }
    unit_index = checked;
    show_expansion();
    show_cell();
    // From the width as typed, not from the rounded text an earlier unit change showed; so the
    // second run for the same change writes the same text again.
    kcore::parseLineWidth(typed_width, &typed);
    const QString text = kcore::convertLineWidth(typed, typed_unit, checked);
    in_unit_change = true;
    ui.le_linewidth->setText(text);
    in_unit_change = false;
    update_size_labels();
}

void kestrel::pix_lsize_slot()
{
    if (in_unit_change)
        return;
    typed_width = ui.le_linewidth->text();
    typed_unit = unit_index;
    update_size_labels();
}

void kestrel::update_size_labels()
{
    const bool usable = line_pitch() > 0; // refreshes the field's colour too
    // A page is drawn at the pitch, and a halftone's dots are sized by it and the file's ends:
    // a new width draws them again.
    take_settings();
    if ((conversion.source().isVector() && !conversion.pageIsCurrent()) || halftone())
        build_bw_image(); // shown by update_budget() below
    const QString none = QStringLiteral("---");
    const kcore::SizeTexts texts = usable
            ? kcore::actualSizeTexts(conversion.bw().size(), pads_settings())
            : kcore::SizeTexts{none, none, none};
    ui.lbl_ascsizemm->setText(texts.mm);
    ui.lbl_ascsizemils->setText(texts.mils);
    ui.lbl_ascsizeinch->setText(texts.inch);
    update_budget();
}
