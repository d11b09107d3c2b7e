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
    fill_recent_menu();
    ui.lbl_status->setText(QString());
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
    lbl_fabsafe = new QLabel(summary);
    lbl_fabsafe->setObjectName(QStringLiteral("lbl_fabsafe"));
    lbl_fabsafe->setWordWrap(true);
    lbl_fabsafe->setToolTip(QStringLiteral("What Fab-safe changed in the black-and-white image "
                                           "so that the board maker can make it"));
    for (QLabel *l : {lbl_budget, lbl_fabwarning, lbl_gaps, lbl_fabsafe})
        l->setFont(compact);
    lines->addWidget(lbl_budget);
    warnings->addWidget(lbl_fabwarning);
    warnings->addWidget(lbl_gaps, 1);
    lines->addLayout(warnings);
    lines->addWidget(lbl_fabsafe);
    lbl_fabwarning->hide();
    lbl_gaps->hide();
    lbl_fabsafe->hide();
    summary->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    ui.verticalLayout->addWidget(summary);
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
    connect(ui.sb_layer, &QSpinBox::valueChanged, this, &kestrel::update_budget);
    connect(ui.actionExactEnds, &QAction::toggled, this, &kestrel::board_options_changed);
    connect(ui.actionSmoothEdges, &QAction::toggled, this, &kestrel::board_options_changed);
    connect(format_group, &QActionGroup::triggered, this, &kestrel::board_options_changed);
    connect(kind_group, &QActionGroup::triggered, this, &kestrel::board_options_changed);
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
    // Buttons take keys of their own; Ctrl+1 to Ctrl+4 follow the view buttons' order.
    ui.pb_generate->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_G));
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

void kestrel::choose_fab_limits()
{
    // Presets from public fab limits; a change of either number makes the choice Custom.
    struct Preset
    {
        const char *name;
        double lineMm, spaceMm;
    };
    const Preset presets[] = {{"Copper: 0.1 mm line and space", 0.1, 0.1},
                              {"Silkscreen: 0.15 mm line, 0.2 mm space", 0.15, 0.2}};
    QDialog dialog(this);
    Ui_FabLimits form;
    form.setupUi(&dialog);
    QComboBox *preset = form.cb_preset;
    QDoubleSpinBox *line = form.sb_minline;
    QDoubleSpinBox *space = form.sb_minspace;
    for (const Preset &p : presets)
        preset->addItem(QLatin1String(p.name));
    preset->addItem(QStringLiteral("Custom"));
    space->setMaximum(kcore::maxMinSpaceMils);
    line->setValue(min_line_mils);
    space->setValue(min_space_mils);
    // A stack's layers each have limits of their own, apart from the presets.
    struct StackLimit
    {
        QDoubleSpinBox *box;
        double *mils;
    };
    kcore::StackLimits stack = stack_limits;
    const StackLimit stackLimits[] = {{form.sb_copperline, &stack.copperLine},
                                      {form.sb_copperspace, &stack.copperSpace},
                                      {form.sb_silkline, &stack.silkLine},
                                      {form.sb_silkspace, &stack.silkSpace},
                                      {form.sb_maskweb, &stack.maskWeb}};
    for (const StackLimit &l : stackLimits)
        l.box->setValue(*l.mils);
    // What each box shows at first, rounded to its decimals: a limit left alone stays exact.
    std::vector<double> shown;
    for (const StackLimit &l : stackLimits)
        shown.push_back(l.box->value());
    connect(form.buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(form.buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);

    const auto matching = [&] {
        for (int i = 0; i < int(std::size(presets)); ++i) {
            if (qAbs(line->value() - presets[i].lineMm / kcore::mmPerMil) < 0.0005
                && qAbs(space->value() - presets[i].spaceMm / kcore::mmPerMil) < 0.0005)
                return i;
        }
        return int(std::size(presets));
    };
    preset->setCurrentIndex(matching());
    bool choosing = false;
    connect(preset, &QComboBox::currentIndexChanged, &dialog, [&](int i) {
        if (i >= int(std::size(presets)) || choosing)
            return;
        choosing = true;
        line->setValue(presets[i].lineMm / kcore::mmPerMil);
        space->setValue(presets[i].spaceMm / kcore::mmPerMil);
        choosing = false;
    });
    for (QDoubleSpinBox *box : {line, space})
        connect(box, &QDoubleSpinBox::valueChanged, &dialog, [&] {
            if (!choosing)
                preset->setCurrentIndex(matching());
        });
    if (dialog.exec() != QDialog::Accepted)
        return;
    min_line_mils = line->value();
    min_space_mils = space->value();
    for (size_t i = 0; i < std::size(stackLimits); ++i)
        if (stackLimits[i].box->value() != shown[i])
            *stackLimits[i].mils = stackLimits[i].box->value();
    stack_limits = stack;
    save_board_options();
    save_stack_options();
    update_budget();
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
