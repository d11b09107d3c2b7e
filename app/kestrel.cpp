// The main window's shell: construction, wiring of the controls, quitting and the help dialog.
#include "kestrel.h"

#include "core/fit.h"
#include "dialogs.h"
#include "geometry/layers.h"
#include "geometry/units.h"
#include "ui_fablimits.h"
#include "ui_fittosize.h"
#include "ui_help.h"

#include <QAction>
#include <QActionGroup>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QIcon>
#include <QLabel>
#include <QSettings>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QVBoxLayout>

#include <cmath>
#include <memory>

kestrel::kestrel(QWidget *parent, Qt::WindowFlags flags) : QMainWindow(parent, flags)
{
    // The form's fixed geometry was drawn for compact 8-point dialog fonts; the common Linux
    // sans faces are wider, and at their usual size its captions would be cut off.
    QFont compact = font();
    compact.setPointSize(7);
    setFont(compact);

    ui.setupUi(this);
    setWindowIcon(appIcon());
    setAcceptDrops(true);
    // Re-polishing for its colour would otherwise give the field the application's font.
    ui.le_linewidth->setFont(compact);
    build_summary(compact);
    build_board_menu();
    build_stack_panel();
    load_board_options();
    load_tone_options();
    apply_layer_range();
    fill_recent_menu();
    ui.lbl_status->setText(QString());
    ui.mainframe->setHint(QStringLiteral("Open a picture or logo (Ctrl+O), drop one here, or "
                                         "paste one (Ctrl+V)"));
    typed_width = ui.le_linewidth->text();
    typed_unit = unit_index;
    connect_controls();
}

void kestrel::build_summary(const QFont &compact)
{
    // The fab check has a panel of its own under the preview, where its figures wrap whole at
    // any window width and no passing message in the status bar covers its warnings.
    auto *summary = new QWidget(this);
    summary->setObjectName(QStringLiteral("summary"));
    auto *lines = new QVBoxLayout(summary);
    lines->setContentsMargins(4, 0, 4, 0);
    lines->setSpacing(0);
    auto *warnings = new QHBoxLayout;
    warnings->setSpacing(12);
    lbl_budget = new QLabel(summary);
    lbl_budget->setObjectName(QStringLiteral("lbl_budget"));
    lbl_budget->setWordWrap(true);
    lbl_fabwarning = new QLabel(summary);
    lbl_fabwarning->setObjectName(QStringLiteral("lbl_fabwarning"));
    lbl_fabwarning->setStyleSheet(QStringLiteral("color: #b00000"));
    lbl_gaps = new QLabel(summary);
    lbl_gaps->setObjectName(QStringLiteral("lbl_gaps"));
    lbl_gaps->setWordWrap(true);
    lbl_covered = new QLabel(summary);
    lbl_covered->setObjectName(QStringLiteral("lbl_covered"));
    lbl_covered->setStyleSheet(QStringLiteral("color: #b00000"));
    lbl_covered->setWordWrap(true);
    lbl_halftone = new QLabel(summary);
    lbl_halftone->setObjectName(QStringLiteral("lbl_halftone"));
    lbl_halftone->setWordWrap(true);
    lbl_fabsafe = new QLabel(summary);
    lbl_fabsafe->setObjectName(QStringLiteral("lbl_fabsafe"));
    lbl_fabsafe->setWordWrap(true);
    lbl_fabsafe->setToolTip(QStringLiteral("What Fab-safe changed in the black-and-white image "
                                           "so that the board maker can make it"));
    for (QLabel *l : {lbl_budget, lbl_fabwarning, lbl_gaps, lbl_covered, lbl_halftone, lbl_fabsafe})
        l->setFont(compact);
    lines->addWidget(lbl_budget);
    warnings->addWidget(lbl_fabwarning);
    warnings->addWidget(lbl_gaps, 1);
    lines->addLayout(warnings);
    lines->addWidget(lbl_covered);
    lines->addWidget(lbl_halftone);
    lines->addWidget(lbl_fabsafe);
    for (QLabel *l : {lbl_fabwarning, lbl_gaps, lbl_covered, lbl_halftone, lbl_fabsafe})
        l->hide();
    summary->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    ui.verticalLayout->addWidget(summary);
    lbl_zoom = new QLabel(this);
    lbl_zoom->setObjectName(QStringLiteral("lbl_zoom"));
    lbl_zoom->setToolTip(QStringLiteral("How large a pixel of the picture, or a line width of "
                                        "the board, is on the screen (Ctrl++, Ctrl+-, Ctrl+0)"));
    statusBar()->addPermanentWidget(lbl_zoom);
    lbl_freeware = new QLabel(QStringLiteral("Freeware - www.marrowby.example"), this);
    statusBar()->addPermanentWidget(lbl_freeware);
    // Every control stays within reach: the form's columns do not shrink below their start.
    setMinimumSize(589, 542);
}

void kestrel::build_board_menu()
{
    // The file layout, and the kind of layer the artwork goes on, each one choice of several.
    format_group = new QActionGroup(this);
    format_group->addAction(ui.actionFormat20);
    format_group->addAction(ui.actionFormat94);
    kind_group = new QActionGroup(this);
    const QList<kcore::LayerKind> kinds
            = QList<kcore::LayerKind>{kcore::LayerKind::Auto} + kcore::layerKinds();
    for (kcore::LayerKind kind : kinds) {
        QString name = kcore::kindName(kind);
        name[0] = name[0].toUpper();
        QAction *action = ui.menu_LayerKind->addAction(name);
        action->setCheckable(true);
        action->setData(int(kind));
        action->setChecked(kind == kcore::LayerKind::Auto);
        kind_group->addAction(action);
        if (kind == kcore::LayerKind::Auto)
            ui.menu_LayerKind->addSeparator();
    }
    ui.menu_LayerKind->actions().first()->setToolTip(kcore::layerNumbering());
}

void kestrel::connect_controls()
{
    // A plain entry on the menu bar that acts at once, beside the File menu.
    auto *helpAction = new QAction(tr("Help"), this);
    helpAction->setObjectName(QStringLiteral("actionHelp"));
    helpAction->setShortcut(QKeySequence(Qt::Key_F1));
    ui.menubar->addAction(helpAction);
    // Connected last, once every control holds its start value, so nothing runs while building.
    connect(ui.actionOpen, &QAction::triggered, this, &kestrel::file_open);
    connect(ui.actionQuit, &QAction::triggered, this, &kestrel::quit_slot);
    connect(ui.rb_img, &QRadioButton::toggled, this, &kestrel::display_what_slot);
    connect(ui.rb_grey, &QRadioButton::toggled, this, &kestrel::display_what_slot);
    connect(ui.rb_bandw, &QRadioButton::toggled, this, &kestrel::display_what_slot);
    connect(ui.sl_threshold, &QSlider::valueChanged, this, &kestrel::threshold_slot);
    connect(ui.cb_invert, &QCheckBox::toggled, this, &kestrel::threshold_slot);
    connect(ui.cb_tones, &QComboBox::currentIndexChanged, this, &kestrel::tones_changed);
    connect(ui.le_cell, &QLineEdit::textChanged, this, &kestrel::cell_edited);
    connect(ui.cb_fabsafe, &QCheckBox::toggled, this, &kestrel::fab_safe_changed);
    connect(ui.sb_scale, &QSpinBox::valueChanged, this, &kestrel::asc_size_slot);
    connect(ui.rb_units_inch, &QRadioButton::toggled, this, &kestrel::pix_usize_slot);
    connect(ui.rb_units_mm, &QRadioButton::toggled, this, &kestrel::pix_usize_slot);
    connect(ui.rb_units_mils, &QRadioButton::toggled, this, &kestrel::pix_usize_slot);
    connect(ui.le_linewidth, &QLineEdit::textChanged, this, &kestrel::pix_lsize_slot);
    connect(ui.pb_generate, &QPushButton::clicked, this, &kestrel::make_asc_slot);
    connect(helpAction, &QAction::triggered, this, &kestrel::help_slot);
    // Not among the form's own connections: these serve the Board view and the fab check only.
    connect(ui.rb_board, &QRadioButton::toggled, this, &kestrel::display_what_slot);
    connect(ui.sb_layer, &QSpinBox::valueChanged, this, &kestrel::layer_changed);
    connect(ui.actionExactEnds, &QAction::toggled, this, &kestrel::board_options_changed);
    connect(ui.actionSmoothEdges, &QAction::toggled, this, &kestrel::board_options_changed);
    connect(format_group, &QActionGroup::triggered, this, &kestrel::board_options_changed);
    connect(kind_group, &QActionGroup::triggered, this, &kestrel::kind_chosen);
    // File, Generate is the button itself.
    connect(ui.actionGenerate, &QAction::triggered, ui.pb_generate, &QPushButton::click);
    connect(ui.actionFabLimits, &QAction::triggered, this, &kestrel::choose_fab_limits);
    connect(ui.actionFitToSize, &QAction::triggered, this, &kestrel::fit_to_size);
    connect(ui.actionNextFinding, &QAction::triggered, this, &kestrel::next_finding);
    connect_stack_controls();
    add_keys();
    // A child by name, so that a test can tell when a count is started.
    budget_timer.setParent(this);
    budget_timer.setObjectName(QStringLiteral("budget_timer"));
    budget_timer.setSingleShot(true);
    budget_timer.setInterval(60);
    connect(&budget_timer, &QTimer::timeout, this, &kestrel::count_budget);
}

void kestrel::add_keys()
{
    // Buttons take keys of their own; Ctrl+1 to Ctrl+4 follow the view buttons' order. Ctrl+G
    // is File, Generate's, which clicks the button.
    ui.pb_generate->setToolTip(QStringLiteral("Write the board file (Ctrl+G)"));
    const QList<QRadioButton *> views{ui.rb_img, ui.rb_grey, ui.rb_bandw, ui.rb_board};
    for (int i = 0; i < views.size(); ++i) {
        views[i]->setShortcut(QKeySequence(Qt::CTRL | Qt::Key(Qt::Key_1 + i)));
        const QString key = views[i]->shortcut().toString(QKeySequence::NativeText);
        const QString tip = views[i]->toolTip();
        views[i]->setToolTip(tip.isEmpty() ? key : tip + QStringLiteral(" (") + key + ')');
    }
    // Ctrl+= as well, where + needs Shift.
    ui.actionZoomIn->setShortcuts(
            {QKeySequence(Qt::CTRL | Qt::Key_Plus), QKeySequence(Qt::CTRL | Qt::Key_Equal)});
    // The number beside the slider, typed or shown: each follows the other, and only the
    // slider's change runs the slot.
    connect(ui.sl_threshold, &QSlider::valueChanged, ui.sb_threshold, &QSpinBox::setValue);
    connect(ui.sb_threshold, &QSpinBox::valueChanged, ui.sl_threshold, &QSlider::setValue);
    connect(ui.actionPaste, &QAction::triggered, this, &kestrel::paste_picture);
    connect(ui.actionPreviousFinding, &QAction::triggered, this, &kestrel::previous_finding);
    connect(ui.actionZoomIn, &QAction::triggered, ui.mainframe,
            [this] { ui.mainframe->zoomBy(1.25); });
    connect(ui.actionZoomOut, &QAction::triggered, ui.mainframe,
            [this] { ui.mainframe->zoomBy(1 / 1.25); });
    connect(ui.actionWholeBoard, &QAction::triggered, ui.mainframe, &BoardView::fitBoard);
    connect(ui.mainframe, &BoardView::zoomChanged, this, &kestrel::show_zoom);
}

void kestrel::show_zoom()
{
    const double percent = ui.mainframe->zoomPercent();
    lbl_zoom->setText(percent <= 0
                              ? QString()
                              : QStringLiteral("Zoom %1 %")
                                        .arg(QString::number(percent, 'f', percent < 10 ? 1 : 0)));
}

void kestrel::kind_chosen(QAction *action)
{
    const auto kind = kcore::LayerKind(action->data().toInt());
    if (kind != chosen_kind) {
        chosen_kind = kind;
        // The number follows the kind; the kind then already agrees with it.
        const QSignalBlocker block(ui.sb_layer);
        ui.sb_layer->setValue(kcore::layerForKind(kind, ui.sb_layer->value()));
    }
    board_options_changed();
}

void kestrel::layer_changed()
{
    const kcore::LayerKind kind = kcore::kindForLayer(ui.sb_layer->value(), chosen_kind);
    if (kind != chosen_kind) {
        chosen_kind = kind;
        for (QAction *action : kind_group->actions())
            if (action->data().toInt() == int(kind))
                action->setChecked(true);
    }
    update_budget();
}

void kestrel::apply_layer_range()
{
    // So that no number the spin box offers is refused when writing.
    ui.sb_layer->setMinimum(kcore::lowestLayer(
            ui.actionFormat94->isChecked() ? kcore::PadsFormat::V94 : kcore::PadsFormat::V20));
}

// Work still running off the GUI thread is abandoned by its job.
kestrel::~kestrel() = default;

QIcon kestrel::appIcon()
{
    QIcon icon;
    for (int size : {48, 128, 256})
        icon.addFile(QStringLiteral(":/icons/kestrel-%1.png").arg(size), QSize(size, size));
    return icon;
}

void kestrel::open_startup_arguments(const QStringList &pictures)
{
    if (pictures.isEmpty() || pictures.first().isEmpty())
        return;
    telling_terminal = true;
    open_picture(pictures.first());
}

void kestrel::quit_slot()
{
    QCoreApplication::quit();
}

void kestrel::help_slot()
{
    // The form titles it "Voltmeld Help", the name users and the tests know it by.
    QDialog dialog(this);
    Ui_help form;
    form.setupUi(&dialog);
    dialog.exec();
}

namespace {

// Presets from public fab limits, in millimetres as board makers quote them.
struct Preset
{
    const char *name;
    double lineMm, spaceMm;
};
constexpr Preset fabPresets[] = {{"Copper: 0.1 mm line and space", 0.1, 0.1},
                                 {"Silkscreen: 0.15 mm line, 0.2 mm space", 0.15, 0.2}};
constexpr int customPreset = int(std::size(fabPresets));

// A limit in the Fab Limits dialog, in the window's unit. What the box was last set to is taken
// back exactly unless it is edited: a limit left alone is not rounded to the box's digits.
struct LimitBox
{
    QDoubleSpinBox *box;
    double *mils;
    double maxMils;
    double exact = 0;
    double set = 0;
};

void setLimit(LimitBox &limit, double mils, int unit)
{
    limit.box->setValue(mils / kcore::mils_per_unit[unit]);
    limit.exact = mils;
    limit.set = limit.box->value();
}

// The box in unit, with the digits every length has there, then its limit.
void showLimit(LimitBox &limit, int unit)
{
    const double per = kcore::mils_per_unit[unit];
    const double step = std::pow(10.0, -kcore::lengthDecimals(unit));
    limit.box->setDecimals(kcore::lengthDecimals(unit));
    limit.box->setSuffix(QLatin1Char(' ') + kcore::unitSymbol(unit));
    // Down to the 0.1 mil a limit may be, rounded up to the box's digits.
    limit.box->setRange(std::ceil(0.1 / per / step - 1e-9) * step, limit.maxMils / per);
    limit.box->setSingleStep(unit == kcore::UnitMils                  ? 0.5
                                     : unit == kcore::UnitMillimetres ? 0.01
                                                                      : 0.0005);
    setLimit(limit, *limit.mils, unit);
}

void takeLimit(const LimitBox &limit, int unit)
{
    *limit.mils = limit.box->value() == limit.set ? limit.exact
                                                  : limit.box->value() * kcore::mils_per_unit[unit];
}

// The presets beside the two numbers: a preset sets both, and a change of either shows the preset
// they match, or Custom.
void linkPresets(QDialog *dialog, QComboBox *preset, LimitBox *line, LimitBox *space, int unit)
{
    for (const Preset &p : fabPresets)
        preset->addItem(QLatin1String(p.name));
    preset->addItem(QStringLiteral("Custom"));
    const double per = kcore::mils_per_unit[unit] * kcore::mmPerMil; // mm in one unit
    const double half = 0.5 * std::pow(10.0, -kcore::lengthDecimals(unit));
    const auto matching = [=] {
        for (int i = 0; i < customPreset; ++i)
            if (qAbs(line->box->value() - fabPresets[i].lineMm / per) < half
                && qAbs(space->box->value() - fabPresets[i].spaceMm / per) < half)
                return i;
        return customPreset;
    };
    preset->setCurrentIndex(matching());
    const auto choosing = std::make_shared<bool>(false);
    QObject::connect(preset, &QComboBox::currentIndexChanged, dialog, [=](int i) {
        if (i >= customPreset || *choosing)
            return;
        *choosing = true;
        setLimit(*line, fabPresets[i].lineMm / kcore::mmPerMil, unit);
        setLimit(*space, fabPresets[i].spaceMm / kcore::mmPerMil, unit);
        *choosing = false;
    });
    for (QDoubleSpinBox *box : {line->box, space->box})
        QObject::connect(box, &QDoubleSpinBox::valueChanged, dialog, [=] {
            if (!*choosing)
                preset->setCurrentIndex(matching());
        });
}

// "0.1 mm = 3.937 mil, ..." as the boxes round: the millimetres board makers quote, or in
// millimetres the mils.
QString conversionsText(int unit)
{
    QStringList parts;
    if (unit == kcore::UnitMillimetres) {
        for (double mils : {4.0, 5.0, 6.0})
            parts << kcore::lengthText(mils, kcore::UnitMils) + QStringLiteral(" = ")
                            + kcore::lengthText(mils, unit);
    } else {
        for (double mm : {0.1, 0.15, 0.2})
            parts << QStringLiteral("%1 mm = %2")
                             .arg(mm)
                             .arg(kcore::lengthText(mm / kcore::mmPerMil, unit));
    }
    return parts.join(QStringLiteral(", "));
}

} // namespace

void kestrel::choose_fab_limits()
{
    QDialog dialog(this);
    Ui_FabLimits form;
    form.setupUi(&dialog);
    const int unit = unit_index;
    double line = min_line_mils, space = min_space_mils;
    // A stack's layers each have limits of their own, apart from the presets.
    kcore::StackLimits stack = stack_limits;
    LimitBox limits[] = {{form.sb_minline, &line, 1000},
                         {form.sb_minspace, &space, kcore::maxMinSpaceMils},
                         {form.sb_copperline, &stack.copperLine, 100},
                         {form.sb_copperspace, &stack.copperSpace, 100},
                         {form.sb_silkline, &stack.silkLine, 100},
                         {form.sb_silkspace, &stack.silkSpace, 100},
                         {form.sb_maskweb, &stack.maskWeb, 100}};
    for (LimitBox &l : limits)
        showLimit(l, unit);
    form.lbl_conversions->setText(conversionsText(unit));
    linkPresets(&dialog, form.cb_preset, &limits[0], &limits[1], unit);
    connect(form.buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(form.buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    if (dialog.exec() != QDialog::Accepted)
        return;
    for (const LimitBox &l : limits)
        takeLimit(l, unit);
    min_line_mils = line;
    min_space_mils = space;
    stack_limits = stack;
    save_board_options();
    save_stack_options();
    update_size_labels(); // a halftone is drawn anew for the limits; refreshes the fab check
}

void kestrel::fit_to_size()
{
    const kcore::Source &source = conversion.source();
    if (source.isNull()) {
        Dialogs::warning(this, QStringLiteral("Open a picture first."));
        return;
    }
    const QString problem = kcore::lineWidthProblem(typed_width, typed_unit);
    if (!problem.isEmpty()) {
        Dialogs::warning(this, problem);
        return;
    }
    const kcore::PadsSettings pads = pads_settings();
    const QString unit = unit_index == kcore::UnitMillimetres ? QStringLiteral("mm")
            : unit_index == kcore::UnitInches                 ? QStringLiteral("inch")
                                                              : QStringLiteral("mils");
    QDialog dialog(this);
    Ui_FitToSize form;
    form.setupUi(&dialog);
    QComboBox *side = form.cb_side;
    QDoubleSpinBox *size = form.sb_size;
    size->setDecimals(unit_index == kcore::UnitMils ? 1 : unit_index == kcore::UnitInches ? 4 : 3);
    size->setSuffix(QLatin1Char(' ') + unit);
    const QSizeF now = kcore::actualSizeMils(conversion.bw().size(), pads);
    size->setValue(now.width() / kcore::mils_per_unit[unit_index]);
    connect(side, &QComboBox::currentIndexChanged, &dialog, [&](int i) {
        size->setValue((i ? now.height() : now.width()) / kcore::mils_per_unit[unit_index]);
    });
    connect(form.buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(form.buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const bool height = side->currentIndex() == 1;
    const double target = size->value() * kcore::mils_per_unit[unit_index];
    // A page scales by any amount, so it reaches any whole number of pixels.
    const kcore::FitResult fit = source.isVector()
            ? kcore::fitPage(source.vector()->pageMils(), pads, target, height)
            : kcore::fitScale(source.picture().size(), pads, target, height);
    const QString text = kcore::fitText(fit, target, height, unit_index);
    if (!fit.ok) {
        QString sentence = text;
        sentence[0] = sentence[0].toUpper();
        Dialogs::warning(this, sentence + QStringLiteral(".\nThe scale stays as it was."));
        return;
    }
    if (source.isVector()) {
        // The field shows the whole percent nearest; the page keeps the exact scale.
        vector_scale = fit.exactScale;
        {
            const QSignalBlocker block(ui.sb_scale);
            ui.sb_scale->setValue(qBound(1, fit.scale, 500));
        }
        asc_size_slot();
    } else {
        ui.sb_scale->setValue(fit.scale);
    }
    statusBar()->showMessage(QStringLiteral("Fitted to ") + text, 6000);
}

void kestrel::board_options_changed()
{
    apply_layer_range();
    save_board_options();
    update_edge_grey();
    update_size_labels(); // the layout's rounding decides the size; refreshes the fab check too
}

void kestrel::fab_safe_changed()
{
    save_board_options();
    threshold_slot(); // the black-and-white image made again, as it is or fab-safe
}

// The board options outlive the session: a user's board program and board maker stay the same.
void kestrel::load_board_options()
{
#ifdef Q_OS_WIN
    // The registry has no place for settings without an organization name, so nothing would
    // be remembered; an INI file in %APPDATA% keeps them, as the file in ~/.config does here.
    QSettings::setDefaultFormat(QSettings::IniFormat);
#endif
    const QSettings settings;
    const bool v94
            = settings.value(QStringLiteral("board/format")).toString() == QLatin1String("9.4");
    (v94 ? ui.actionFormat94 : ui.actionFormat20)->setChecked(true);
    ui.actionExactEnds->setChecked(settings.value(QStringLiteral("board/exactEnds")).toBool());
    ui.actionSmoothEdges->setChecked(settings.value(QStringLiteral("board/smoothEdges")).toBool());
    ui.cb_fabsafe->setChecked(settings.value(QStringLiteral("board/fabSafe")).toBool());
    bool ok = false;
    const double mils = settings.value(QStringLiteral("board/minLineMils")).toDouble(&ok);
    if (ok && mils >= 0.1 && mils <= 1000)
        min_line_mils = mils;
    const double space = settings.value(QStringLiteral("board/minSpaceMils")).toDouble(&ok);
    if (ok && space >= 0.1 && space <= kcore::maxMinSpaceMils)
        min_space_mils = space;
}

void kestrel::save_board_options() const
{
    QSettings settings;
    settings.setValue(QStringLiteral("board/format"),
                      ui.actionFormat94->isChecked() ? QStringLiteral("9.4")
                                                     : QStringLiteral("2.0"));
    settings.setValue(QStringLiteral("board/exactEnds"), ui.actionExactEnds->isChecked());
    settings.setValue(QStringLiteral("board/smoothEdges"), ui.actionSmoothEdges->isChecked());
    settings.setValue(QStringLiteral("board/fabSafe"), ui.cb_fabsafe->isChecked());
    settings.setValue(QStringLiteral("board/minLineMils"), min_line_mils);
    settings.setValue(QStringLiteral("board/minSpaceMils"), min_space_mils);
}
