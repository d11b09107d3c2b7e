// The window's line width: its pitch, unit changes, and the actual-size labels.
#include "kestrel.h"

#include "geometry/units.h"

namespace {

const QString whiteField = QStringLiteral("background-color: white");
const QString yellowField = QStringLiteral("background-color: yellow");

} // namespace

double kestrel::line_pitch()
{
    bool isNumber = false;
    const double pitch = kcore::linePitch(ui.le_linewidth->text(), unit_index, &isNumber);
    ui.le_linewidth->setStyleSheet(isNumber ? whiteField : yellowField);
    return pitch;
}

void kestrel::pix_usize_slot()
{
    const int checked = ui.rb_units_mils->isChecked() ? kcore::UnitMils
            : ui.rb_units_mm->isChecked()             ? kcore::UnitMillimetres
                                                      : kcore::UnitInches;
    double number = 0;
    if (!kcore::parseLineWidth(ui.le_linewidth->text(), &number)) {
        // Nothing to convert, but the unit still follows the buttons: a number typed next is
        // read in the unit the user sees checked.
        ui.le_linewidth->setStyleSheet(yellowField);
        unit_index = checked;
        return;
    }
    ui.le_linewidth->setStyleSheet(whiteField);
    const int old = unit_index;
    unit_index = checked;
    const QString text = kcore::convertLineWidth(number, old, checked);
    in_unit_change = true;
    ui.le_linewidth->setText(text);
    in_unit_change = false;
    update_size_labels();
}

void kestrel::pix_lsize_slot()
{
    if (!in_unit_change)
        update_size_labels();
}

void kestrel::update_size_labels()
{
    line_pitch(); // refreshes the field's colour
    // A page is drawn at the pitch: a new width draws it again.
    take_settings();
    if (conversion.source().isVector() && !conversion.pageIsCurrent())
        build_bw_image(); // shown by update_budget() below
    const kcore::SizeTexts texts = kcore::actualSizeTexts(conversion.bw().size(), pads_settings());
    ui.lbl_ascsizemm->setText(texts.mm);
    ui.lbl_ascsizemils->setText(texts.mils);
    ui.lbl_ascsizeinch->setText(texts.inch);
    update_budget();
}
