// The window's stack of layers: its panel (palette, side, mask expansion, the Board view's look),
// the finished board it plans, and its fab check layer by layer.
#include "kestrel.h"

#include "core/warnings.h"
#include "dialogs.h"
#include "geometry/layers.h"
#include "geometry/units.h"
#include "settings.h"
#include "waitcursor.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLocale>
#include <QPainter>
#include <QScrollArea>
#include <QStatusBar>
#include <QStyledItemDelegate>

#include <cmath>

namespace {

// A plan of up to this many pixels is drawn at once, as the other views are; a bigger one off the
// GUI thread.
constexpr qint64 stackPlannedAtOnce = 1000000;

const QString unitNames[3] = {QStringLiteral("mils"), QStringLiteral("mm"), QStringLiteral("inch")};

// "top silkscreen", as the fab check names layers.
QString layerName(int side, kcore::StackLayer layer)
{
    return kcore::kindName(kcore::stackLayerKind(layer, side));
}

QString grouped(qint64 n)
{
    QLocale c = QLocale::c();
    c.setNumberOptions({});
    return c.toString(n);
}

// A palette colour's swatch: its colour even on the row chosen, which a frame marks instead of
// the selection's colour covering it.
class SwatchDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override
    {
        painter->fillRect(option.rect, index.data(Qt::BackgroundRole).value<QBrush>());
        if (!(option.state & QStyle::State_Selected))
            return;
        painter->save();
        painter->setPen(QPen(option.palette.color(QPalette::Highlight), 2));
        painter->drawRect(QRectF(option.rect).adjusted(1, 1, -1, -1));
        painter->restore();
    }
};

} // namespace

bool kestrel::PlanKey::operator==(const PlanKey &o) const
{
    return colour == o.colour && grid == o.grid && scale == o.scale && pitch == o.pitch
            && expansion == o.expansion && palette == o.palette && bottom == o.bottom
            && screen == o.screen && invert == o.invert && finish == o.finish;
}

bool kestrel::stacking() const
{
    return ui.actionStack->isChecked();
}

void kestrel::build_stack_panel()
{
    // Under the preview, where the window's smallest size leaves room for it; scrolled, so that
    // every control stays in reach however little.
    auto *panel = new QWidget;
    stack_ui.setupUi(panel);
    stack_box = new QScrollArea(this);
    stack_box->setObjectName(QStringLiteral("stack_box"));
    stack_box->setWidget(panel);
    stack_box->setWidgetResizable(true);
    stack_box->setFrameShape(QFrame::NoFrame);
    stack_box->setMinimumHeight(60);
    // The preview grows first; the panel up to the height of the whole palette.
    ui.verticalLayout->addWidget(stack_box, 1);
    ui.verticalLayout->setStretchFactor(ui.mainframe, 2);
    // The view buttons' bar keeps its height when the panel takes the room under the preview.
    ui.frame_3->setMinimumHeight(ui.frame_3->maximumHeight());
    stack_box->hide();

    // The palette takes what room there is; the combo boxes give way to it.
    for (QComboBox *box :
         {stack_ui.cb_side, stack_ui.cb_maskcolour, stack_ui.cb_plating, stack_ui.cb_silkcolour}) {
        box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        box->setMinimumContentsLength(8);
    }
    stack_ui.cb_maskcolour->addItems(StackLook::maskNames());
    stack_ui.cb_plating->addItems(StackLook::platingNames());
    stack_ui.cb_silkcolour->addItems(StackLook::silkNames());
    QHeaderView *header = stack_ui.tw_palette->horizontalHeader();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::Fixed);
    header->setSectionResizeMode(1, QHeaderView::Stretch);
    header->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    header->resizeSection(0,
                          header->fontMetrics().horizontalAdvance(
                                  stack_ui.tw_palette->horizontalHeaderItem(0)->text())
                                  + 12);
    // Rows no taller than the text needs, so that six of them show at the window's smallest.
    stack_ui.tw_palette->verticalHeader()->setDefaultSectionSize(
            stack_ui.tw_palette->fontMetrics().height() + 6);
    stack_ui.tw_palette->setItemDelegateForColumn(0, new SwatchDelegate(stack_ui.tw_palette));
    // Re-polishing for its colour would otherwise give these the application's font.
    stack_ui.le_expansion->setFont(font());
    stack_ui.lbl_unmatched->setFont(font());
    stack_ui.lbl_unmatched->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    stack_ui.lbl_unmatched->hide();

    const StackOptions o = loadStackOptions();
    stack_palette = o.palette;
    expansion_mils = o.maskExpansionMils;
    stack_look = o.look;
    stack_limits = o.limits;
    stack_ui.cb_side->setCurrentIndex(o.bottom ? 1 : 0);
    stack_ui.cb_maskcolour->setCurrentIndex(o.look.mask);
    stack_ui.cb_plating->setCurrentIndex(o.look.hasl ? 1 : 0);
    stack_ui.cb_silkcolour->setCurrentIndex(o.look.blackSilk ? 1 : 0);
    fill_palette_table();
    show_expansion();
}

void kestrel::connect_stack_controls()
{
    connect(ui.actionStack, &QAction::toggled, this, &kestrel::stack_mode_changed);
    connect(stack_ui.tw_palette, &QTableWidget::cellDoubleClicked, this,
            &kestrel::palette_cell_clicked);
    connect(stack_ui.pb_addcolour, &QPushButton::clicked, this, &kestrel::add_colour);
    connect(stack_ui.pb_removecolour, &QPushButton::clicked, this, &kestrel::remove_colour);
    connect(stack_ui.pb_resetpalette, &QPushButton::clicked, this, &kestrel::reset_palette);
    connect(stack_ui.pb_pickcolour, &QPushButton::toggled, this, &kestrel::pick_toggled);
    connect(ui.mainframe, &BoardView::picked, this, &kestrel::colour_picked);
    connect(stack_ui.cb_side, &QComboBox::currentIndexChanged, this,
            &kestrel::stack_settings_changed);
    connect(stack_ui.le_expansion, &QLineEdit::textChanged, this, &kestrel::expansion_edited);
    connect(stack_ui.cb_halftonefinish, &QComboBox::currentIndexChanged, this, [this] {
        save_tone_options();
        stack_settings_changed();
    });
    for (QComboBox *look : {stack_ui.cb_maskcolour, stack_ui.cb_plating, stack_ui.cb_silkcolour})
        connect(look, &QComboBox::currentIndexChanged, this, &kestrel::look_changed);
    for (QCheckBox *shown : {stack_ui.cb_showcopper, stack_ui.cb_showmask, stack_ui.cb_showsilk})
        connect(shown, &QCheckBox::toggled, this, &kestrel::look_changed);
}

void kestrel::stack_mode_changed()
{
    const bool on = stacking();
    stack_box->setVisible(on);
    if (!on)
        stack_ui.pb_pickcolour->setChecked(false);
    // A stack's layers are its side's own; the threshold and invert do not read its colours.
    ui.sb_layer->setEnabled(!on);
    ui.sl_layer->setEnabled(!on);
    ui.menu_LayerKind->setEnabled(!on);
    // The grey and black-and-white images are the single layer's: a stack shows as the picture
    // and as the finished board.
    ui.rb_grey->setEnabled(!on);
    ui.rb_bandw->setEnabled(!on);
    if (on && (ui.rb_grey->isChecked() || ui.rb_bandw->isChecked()))
        ui.rb_board->setChecked(true);
    display_what_slot();
    plan_job.abandon();
    stack_plan = StackPlan();
    plan_key = PlanKey();
    update_size_labels();
}

void kestrel::fill_palette_table()
{
    QTableWidget *table = stack_ui.tw_palette;
    const int current = table->currentRow();
    table->setRowCount(int(stack_palette.size()));
    for (int row = 0; row < table->rowCount(); ++row) {
        const kcore::PaletteEntry &entry = stack_palette[row];
        auto *swatch = new QTableWidgetItem;
        swatch->setBackground(QColor(entry.colour));
        swatch->setToolTip(QColor(entry.colour).name().toUpper()
                           + QStringLiteral(": double-click to change"));
        table->setItem(row, 0, swatch);
        auto *finish = new QComboBox;
        for (kcore::Finish f : kcore::finishes())
            finish->addItem(kcore::finishKey(f));
        finish->setCurrentIndex(int(entry.finish));
        finish->setToolTip(QStringLiteral("What %1 stands for on the board")
                                   .arg(QColor(entry.colour).name().toUpper()));
        connect(finish, &QComboBox::currentIndexChanged, this, &kestrel::palette_finish_changed);
        table->setCellWidget(row, 1, finish);
        auto *share = new QTableWidgetItem;
        share->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        table->setItem(row, 2, share);
    }
    table->setCurrentCell(qBound(-1, current, table->rowCount() - 1), 0);
    const QMargins margins = stack_ui.panelLayout->contentsMargins();
    stack_box->setMaximumHeight(margins.top() + margins.bottom()
                                + stack_ui.lbl_palette->sizeHint().height()
                                + stack_ui.panelLayout->verticalSpacing()
                                + table->horizontalHeader()->sizeHint().height()
                                + table->rowCount() * table->verticalHeader()->defaultSectionSize()
                                + 2 * table->frameWidth());
    show_shares();
}

void kestrel::palette_cell_clicked(int row, int column)
{
    if (column == 1 || row < 0 || row >= stack_palette.size())
        return;
    const QColor chosen = Dialogs::colour(this, QColor(stack_palette[row].colour),
                                          QStringLiteral("Colour of a Finish"));
    if (!chosen.isValid())
        return;
    for (int other = 0; other < stack_palette.size(); ++other) {
        if (other != row && stack_palette[other].colour == chosen.rgb()) {
            statusBar()->showMessage(
                    QStringLiteral("%1 is on the palette already").arg(chosen.name().toUpper()),
                    4000);
            return;
        }
    }
    stack_palette[row].colour = chosen.rgb();
    fill_palette_table();
    stack_settings_changed();
}

void kestrel::palette_finish_changed()
{
    for (int row = 0; row < stack_palette.size(); ++row)
        if (auto *finish = qobject_cast<QComboBox *>(stack_ui.tw_palette->cellWidget(row, 1)))
            stack_palette[row].finish = kcore::Finish(finish->currentIndex());
    stack_settings_changed();
}

void kestrel::add_colour()
{
    const QColor chosen
            = Dialogs::colour(this, Qt::white, QStringLiteral("Add a Colour of the Picture"));
    if (chosen.isValid())
        add_palette_colour(chosen.rgb());
}

void kestrel::add_palette_colour(QRgb colour)
{
    const QString name = QColor(colour).name().toUpper();
    for (int row = 0; row < stack_palette.size(); ++row) {
        if (stack_palette[row].colour == colour) {
            stack_ui.tw_palette->setCurrentCell(row, 0);
            statusBar()->showMessage(QStringLiteral("%1 is on the palette already").arg(name),
                                     4000);
            return;
        }
    }
    // The finish it reads as now, so that adding a colour alone changes nothing.
    const kcore::FinishShares shares = kcore::FinishReader(stack_palette).compute(colour);
    const auto most = std::max_element(shares.begin(), shares.end());
    stack_palette.append({colour, kcore::Finish(most - shares.begin())});
    fill_palette_table();
    stack_ui.tw_palette->setCurrentCell(int(stack_palette.size()) - 1, 0);
    statusBar()->showMessage(QStringLiteral("Added %1; choose the finish it stands for").arg(name),
                             6000);
    stack_settings_changed();
}

void kestrel::pick_toggled(bool on)
{
    ui.mainframe->setPicking(on);
    if (on)
        statusBar()->showMessage(QStringLiteral("Click the picture to add the colour under the "
                                                "cursor to the palette"),
                                 6000);
}

void kestrel::colour_picked(const QPoint &pixel)
{
    if (!stack_ui.pb_pickcolour->isChecked())
        return;
    stack_ui.pb_pickcolour->setChecked(false);
    // The colour view shows the picture itself; the board its grid, whose pixels are picked from
    // the picture (the bottom's mirrored).
    const QImage &colour = conversion.colour();
    QPoint at = pixel;
    if (view_mode == ViewMode::Board) {
        const QSize grid = stack_plan.bits.size();
        if (colour.isNull() || !QRect(QPoint(), grid).contains(pixel))
            return;
        const int x = stack_plan.side == 1 ? grid.width() - 1 - pixel.x() : pixel.x();
        at = QPoint(kcore::pickedIndices(colour.width(), grid.width(), true)[size_t(x)],
                    kcore::pickedIndices(colour.height(), grid.height(), false)[size_t(pixel.y())]);
    }
    if (colour.rect().contains(at))
        add_palette_colour(kcore::commonColour(colour, at, 2));
}

void kestrel::remove_colour()
{
    const int row = stack_ui.tw_palette->currentRow();
    if (row < 0 || row >= stack_palette.size())
        return;
    if (stack_palette.size() == 1) {
        statusBar()->showMessage(QStringLiteral("The palette keeps at least one colour"), 4000);
        return;
    }
    stack_palette.removeAt(row);
    fill_palette_table();
    stack_settings_changed();
}

void kestrel::reset_palette()
{
    stack_palette = kcore::defaultPalette();
    fill_palette_table();
    stack_settings_changed();
}

void kestrel::stack_settings_changed()
{
    save_stack_options();
    update_budget(); // plans the board again, and checks it
}

void kestrel::expansion_edited()
{
    if (in_expansion_change)
        return;
    bool isNumber = false;
    const double mils = kcore::linePitch(stack_ui.le_expansion->text(), unit_index, &isNumber);
    expansion_mils = isNumber ? mils : std::nan("");
    mark_expansion();
    save_stack_options();
    update_budget();
}

void kestrel::show_expansion()
{
    // The expansion stays exactly the one typed; the field shows it in the unit checked.
    stack_ui.lbl_expansionunit->setText(unitNames[unit_index]);
    if (std::isfinite(expansion_mils)) {
        in_expansion_change = true;
        stack_ui.le_expansion->setText(
                QString::number(expansion_mils / kcore::mils_per_unit[unit_index], 'g', 6));
        in_expansion_change = false;
    } else {
        // No number to convert: the text is read again in the unit now checked.
        expansion_edited();
    }
    mark_expansion();
}

void kestrel::mark_expansion()
{
    // As the line width is marked: yellow with the reason Generate would give.
    const double pitch = kcore::linePitch(typed_width, typed_unit);
    QString problem;
    if (!std::isfinite(expansion_mils))
        problem = QStringLiteral("The mask expansion is not a number.");
    else if (pitch > 0)
        problem = kcore::stackExpansionProblem(pitch, expansion_mils, unit_index);
    stack_ui.le_expansion->setStyleSheet(problem.isEmpty()
                                                 ? QStringLiteral("background-color: white")
                                                 : QStringLiteral("background-color: yellow"));
    stack_ui.le_expansion->setToolTip(
            problem.isEmpty() ? QStringLiteral("Mask expansion: how far the mask openings over "
                                               "gold reach past its copper; 0 or negative "
                                               "allowed")
                              : problem);
}

void kestrel::look_changed()
{
    stack_look.mask = stack_ui.cb_maskcolour->currentIndex();
    stack_look.hasl = stack_ui.cb_plating->currentIndex() == 1;
    stack_look.blackSilk = stack_ui.cb_silkcolour->currentIndex() == 1;
    stack_look.copper = stack_ui.cb_showcopper->isChecked();
    stack_look.maskShown = stack_ui.cb_showmask->isChecked();
    stack_look.silk = stack_ui.cb_showsilk->isChecked();
    save_stack_options();
    update_view();
}

void kestrel::save_stack_options() const
{
    StackOptions o;
    o.palette = stack_palette;
    o.bottom = stack_ui.cb_side->currentIndex() == 1;
    o.maskExpansionMils = expansion_mils;
    o.look = stack_look;
    o.limits = stack_limits;
    saveStackOptions(o);
}

QString kestrel::unusable_reason() const
{
    const QString width = kcore::lineWidthProblem(typed_width, typed_unit);
    if (!width.isEmpty() || !stacking())
        return width;
    return kcore::stackExpansionProblem(kcore::linePitch(typed_width, typed_unit), expansion_mils,
                                        unit_index);
}

void kestrel::refresh_stack_plan()
{
    take_settings();
    show_shares(); // marked out of date, or no longer
    // A value that cannot be used keeps the last board, shown out of date, until it can.
    if (!unusable_reason().isEmpty())
        return;
    const kcore::ConversionSettings &c = conversion.settings();
    PlanKey key;
    key.colour = conversion.colour().cacheKey();
    key.grid = conversion.grid();
    key.scale = c.scalePercent;
    key.pitch = c.pads.pitch;
    key.expansion = c.stack.maskExpansionMils;
    key.palette = c.stack.palette;
    key.bottom = c.stack.bottom;
    key.screen = c.halftone.on ? conversion.screen() : nullptr;
    key.invert = c.halftone.on && c.invert;
    key.finish = int(c.stack.halftoneFinish);
    if (key == plan_key)
        return; // planned, or being planned
    plan_key = key;
    const auto plan = [snapshot = conversion](JobControl &control) {
        return planStack(snapshot, control.stoppedFlag());
    };
    const QSize grid = conversion.grid();
    if (qint64(grid.width()) * grid.height() <= stackPlannedAtOnce
        || kcore::beyondPixelBound(grid)) {
        plan_job.abandon();
        JobControl here;
        WaitCursor wait;
        take_stack_plan(plan(here));
        return;
    }
    plan_job.start(plan);
}

void kestrel::take_stack_plan(const StackPlan &plan)
{
    stack_plan = plan;
    show_shares();
    // A document whose layers are named after board layers gives its planes by name.
    const QStringList layers = conversion.source().boardLayers();
    stack_ui.lbl_palette->setText(layers.isEmpty()
                                          ? QStringLiteral("Finishes by colour:")
                                          : QStringLiteral("Finishes by the document's layers:"));
    stack_ui.lbl_palette->setToolTip(
            layers.isEmpty() ? QString()
                             : layers.join(QStringLiteral(", "))
                            + QStringLiteral(": each layer is read as its name says; the "
                                             "palette does not apply."));
    for (QWidget *palette : std::initializer_list<QWidget *>{
                 stack_ui.tw_palette, stack_ui.pb_addcolour, stack_ui.pb_removecolour,
                 stack_ui.pb_resetpalette, stack_ui.pb_pickcolour})
        palette->setEnabled(layers.isEmpty());
    if (!plan.why.isEmpty() && plan.why != told_problem) {
        told_problem = plan.why;
        Dialogs::warning(this, QStringLiteral("Could not draw the finished board."), plan.why);
    }
    if (view_mode == ViewMode::Board)
        update_view();
}

void kestrel::show_shares()
{
    // Each colour's share of the pixels nearest it, as the last plan read them; the palette
    // shown may have changed since, so they are matched by colour.
    const StackPlan &plan = stack_plan;
    const std::vector<int> tenths = plan.tally.tenths();
    const QString stale = unusable_reason().section(QLatin1Char('\n'), 0, 0);
    QTableWidget *table = stack_ui.tw_palette;
    for (int row = 0; row < stack_palette.size() && row < table->rowCount(); ++row) {
        QTableWidgetItem *share = table->item(row, 2);
        if (!share)
            continue;
        int at = -1;
        for (int i = 0; i < plan.palette.size(); ++i)
            if (plan.palette[i].colour == stack_palette[row].colour)
                at = i;
        const bool known = at >= 0 && size_t(at) < tenths.size() && !plan.layered;
        const QString colour = QColor(stack_palette[row].colour).name().toUpper();
        share->setText(known ? QStringLiteral("%1 %").arg(tenths[size_t(at)] / 10.0, 0, 'f', 1)
                             : QString());
        share->setForeground(stale.isEmpty() ? table->palette().text()
                                             : table->palette().placeholderText());
        share->setToolTip(!known ? QString()
                                  : stale.isEmpty()
                                  ? QStringLiteral("%1 of the picture is nearest %2")
                                            .arg(share->text(), colour)
                                  : QStringLiteral("Out of date: ") + stale);
    }
    // Beside the buttons, in one line that fits the window's smallest size; the whole sentence
    // on hover.
    const QString unmatched = plan.layered ? QString() : kcore::unmatchedShare(plan.tally);
    stack_ui.lbl_unmatched->setVisible(!unmatched.isEmpty());
    stack_ui.lbl_unmatched->setText(
            unmatched.isEmpty()
                    ? QString()
                    : QStringLiteral("\u26a0 %1 match no colour, most like %2")
                              .arg(unmatched,
                                   QColor(plan.tally.commonUnmatched()).name().toUpper()));
    stack_ui.lbl_unmatched->setToolTip(unmatched.isEmpty() ? QString()
                                                           : kcore::unmatchedWarning(plan.tally)
                                                       + QStringLiteral(". Pick it in the preview "
                                                                        "to say what it is."));
}

void kestrel::show_stack_board()
{
    // The last board drawn stays while the settings give none, or while the new one is drawn,
    // marked out of date; only one of this picture.
    if (stack_plan.bits.isNull() || stack_plan.colourKey != conversion.colour().cacheKey()) {
        ui.mainframe->setStale(QString());
        ui.mainframe->showPicture(nullptr);
        return;
    }
    QString why = unusable_reason();
    if (why.isEmpty() && (plan_job.isRunning() || stack_plan.bits.size() != conversion.grid()))
        why = QStringLiteral("the board for the new settings is being drawn");
    kcore::PadsSettings pads = pads_settings();
    pads.pitch = stack_plan.pitch;
    ui.mainframe->setStale(why);
    ui.mainframe->showStack(&stack_plan.bits, stackColours(stack_look), pads, stack_plan.side == 1);
}

void kestrel::count_stack()
{
    // Every layer against its own limits, on a copy; a change of the settings abandons it.
    stack_fab_job.start([snapshot = conversion, limits = stack_limits](JobControl &control) {
        return snapshot.stackFabCheck(limits, control.stoppedFlag());
    });
}

// What the stack's fab check says, gathered layer by layer for the summary's lines.
struct kestrel::StackReport
{
    QStringList sides, details, below, belowTips, withFindings;
    kcore::SpaceReport gaps; // the counts of every layer together
    double line = 0, ppi = 0;
};

kestrel::StackReport kestrel::stack_report(const kcore::StackFab &f, int unit)
{
    StackReport r;
    const int sides = f.budget.sides;
    for (int side = 0; side < 2; ++side) {
        if (!(sides >> side & 1))
            continue;
        QStringList perLayer;
        for (int l = 0; l < kcore::stackLayerCount; ++l) {
            const auto layer = kcore::StackLayer(l);
            const kcore::StackFab::Layer &checked = f.layers[size_t(side)][size_t(l)];
            r.line = checked.fab.lineMils;
            r.ppi = checked.fab.pixelsPerInch;
            perLayer << QStringLiteral("%1 %2").arg(kcore::stackLayerKey(layer),
                                                    grouped(checked.fab.items));
            r.details << kcore::fabSummary(checked.fab) + QStringLiteral(", ")
                            + kcore::spaceSummary(checked.spaces);
            // The side is named only where the stack has both.
            const QString shortName
                    = sides == 3 ? layerName(side, layer) : kcore::stackLayerKey(layer);
            // A layer without items asks nothing of the board maker.
            if (checked.fab.items > 0 && checked.fab.belowMinimum()) {
                r.below << kcore::lengthText(checked.fab.minLineMils, unit) + QLatin1Char(' ')
                                + shortName;
                r.belowTips << QStringLiteral("On %1, %2.")
                                       .arg(layerName(side, layer),
                                            kcore::lineWarning(checked.fab, unit));
            }
            r.gaps.closedGaps += checked.spaces.closedGaps;
            r.gaps.narrowGaps += checked.spaces.narrowGaps;
            if (checked.spaces.hasFindings())
                r.withFindings << shortName;
        }
        r.sides << QStringLiteral("%1 (%2)").arg(side ? QStringLiteral("bottom")
                                                      : QStringLiteral("top"),
                                                 perLayer.join(QStringLiteral(", ")));
    }
    return r;
}

void kestrel::show_stack_fab(const kcore::StackFab &f)
{
    const StackReport r = stack_report(f, unit_index);
    lbl_halftone->setText(halftone_note());
    lbl_halftone->setVisible(!lbl_halftone->text().isEmpty());
    lbl_budget->setText(QStringLiteral("Stack, %1: %2 items, %3 bytes, line %4 mil (%5), %6 ppi")
                                .arg(r.sides.join(QStringLiteral("; ")), grouped(f.written.items),
                                     grouped(f.written.bytes), kcore::milsText(r.line),
                                     kcore::lengthText(r.line, kcore::UnitMillimetres))
                                .arg(qRound(r.ppi)));
    lbl_budget->setToolTip(QStringLiteral("What Generate will write, layer by layer:\n")
                           + r.details.join(QLatin1Char('\n')));
    lbl_fabwarning->setVisible(!r.below.isEmpty());
    if (!r.below.isEmpty()) {
        lbl_fabwarning->setText(
                QStringLiteral("\u26a0 below %1 minimum").arg(r.below.join(QStringLiteral(", "))));
        lbl_fabwarning->setToolTip(r.belowTips.join(QLatin1Char('\n')));
    }
    const bool gaps = r.gaps.hasFindings();
    lbl_gaps->setText(gaps ? QStringLiteral("\u26a0 ") + kcore::gapSummary(r.gaps)
                                      + QStringLiteral(": ")
                                      + r.withFindings.join(QStringLiteral(", "))
                           : kcore::gapSummary(r.gaps));
    lbl_gaps->setStyleSheet(gaps ? QStringLiteral("color: #b00000") : QString());
    lbl_gaps->setToolTip(QStringLiteral(
            "Spaces of each layer that its lines close or narrow below that layer's minimum (of "
            "the mask: the webs between its openings); marked in red in the Board view (Board, "
            "Next Finding, F3)"));
    lbl_gaps->show();
    show_covered(kcore::stackCoverageWarning(f.budget, conversion.grid(),
                                             conversion.settings().stack.palette));
    take_stack_findings(f);
    shown_generation = budget_generation;
    emit fabCheckShown();
}

void kestrel::take_stack_findings(const kcore::StackFab &f)
{
    // In the order F3 steps through them, each with its layer.
    std::vector<kcore::SpaceFinding> findings;
    finding_layers.clear();
    findings_grown = std::max(0.0, conversion.settings().stack.maskExpansionMils);
    for (int side = 0; side < 2; ++side) {
        if (!(f.budget.sides >> side & 1))
            continue;
        for (int l = 0; l < kcore::stackLayerCount; ++l) {
            for (const kcore::SpaceFinding &finding :
                 f.layers[size_t(side)][size_t(l)].spaces.findings) {
                findings.push_back(finding);
                finding_layers.push_back({side, kcore::StackLayer(l)});
            }
        }
    }
    ui.mainframe->setFindings(std::move(findings));
}

QString kestrel::stack_finding_text(int index) const
{
    if (index < 0 || size_t(index) >= finding_layers.size())
        return QString();
    const FindingLayer &at = finding_layers[size_t(index)];
    const kcore::SpaceFinding *f = ui.mainframe->finding(index);
    if (!f)
        return QString();
    const QString layer = layerName(at.side, at.layer);
    if (at.layer == kcore::StackLayer::Mask)
        return layer + QStringLiteral(": ") + kcore::webFindingText(*f, findings_grown, unit_index);
    return layer + QStringLiteral(": ")
            + kcore::findingText(*f,
                                 at.layer == kcore::StackLayer::Copper
                                         ? QStringLiteral("copper")
                                         : QStringLiteral("silkscreen"),
                                 unit_index);
}
