// The main window's shell: construction, wiring of the controls, quitting and the help dialog.
#include "kestrel.h"

#include "export/layers.h"
#include "ui_help.h"

#include <QAction>
#include <QActionGroup>
#include <QCoreApplication>
#include <QDialog>
#include <QIcon>
#include <QInputDialog>
#include <QLabel>
#include <QSettings>
#include <QStatusBar>

kestrel::kestrel(QWidget *parent, Qt::WindowFlags flags) : QMainWindow(parent, flags)
{
    // The form's fixed geometry was drawn for compact 8-point dialog fonts; the common Linux
    // sans faces are wider, and at their usual size its captions would be cut off.
    QFont compact = font();
    compact.setPointSize(7);
    setFont(compact);

    ui.setupUi(this);
    setWindowIcon(appIcon());
    // Re-polishing for its colour would otherwise give the field the application's font.
    ui.le_linewidth->setFont(compact);

    // The fab check sits left of the permanent label; the warning shows only when it applies.
    lbl_budget = new QLabel(this);
    lbl_budget->setObjectName(QStringLiteral("lbl_budget"));
    // Long texts are cut rather than widening the window past its fixed layout.
    lbl_budget->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    statusBar()->addWidget(lbl_budget, 1);
    lbl_fabwarning = new QLabel(this);
    lbl_fabwarning->setObjectName(QStringLiteral("lbl_fabwarning"));
    lbl_fabwarning->setStyleSheet(QStringLiteral("color: #b00000"));
    lbl_budget->setFont(compact);
    lbl_fabwarning->setFont(compact);
    statusBar()->addWidget(lbl_fabwarning);
    lbl_fabwarning->hide();
    lbl_freeware = new QLabel(QStringLiteral("Freeware - www.marrowby.example"), this);
    statusBar()->addPermanentWidget(lbl_freeware);

    // A plain entry on the menu bar that acts at once, beside the File menu.
    auto *helpAction = new QAction(tr("Help"), this);
    ui.menubar->addAction(helpAction);

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
    ui.menu_LayerKind->actions().first()->setToolTip(
            QStringLiteral("1 top copper, 2 bottom copper, 21 top solder mask, 26 top "
                           "silkscreen, 28 bottom solder mask, 29 bottom silkscreen, any other "
                           "number documentation"));
    load_board_options();

    ui.mainframe->installEventFilter(this);
    ui.lbl_status->setText(QString());

    unit_index = 0;
    in_unit_change = false;
    view_mode = 2;
    img_width = 0;
    img_height = 0;

    // Connected last, once every control holds its start value, so nothing runs while building.
    connect(ui.actionOpen, &QAction::triggered, this, &kestrel::file_open);
    connect(ui.actionQuit, &QAction::triggered, this, &kestrel::quit_slot);
    connect(ui.rb_img, &QRadioButton::toggled, this, &kestrel::display_what_slot);
    connect(ui.rb_grey, &QRadioButton::toggled, this, &kestrel::display_what_slot);
    connect(ui.rb_bandw, &QRadioButton::toggled, this, &kestrel::display_what_slot);
    connect(ui.sl_threshold, &QSlider::valueChanged, this, &kestrel::threshold_slot);
    connect(ui.cb_invert, &QCheckBox::toggled, this, &kestrel::threshold_slot);
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
    connect(ui.actionMinLine, &QAction::triggered, this, &kestrel::choose_min_line);
    budget_timer.setSingleShot(true);
    budget_timer.setInterval(60);
    connect(&budget_timer, &QTimer::timeout, this, &kestrel::count_budget);
}

kestrel::~kestrel() = default;

QIcon kestrel::appIcon()
{
    QIcon icon;
    for (int size : {48, 128, 256})
        icon.addFile(QStringLiteral(":/icons/kestrel-%1.png").arg(size), QSize(size, size));
    return icon;
}

void kestrel::open_startup_arguments(const QStringList &arguments)
{
    if (arguments.size() > 1 && !arguments.at(1).isEmpty())
        open_picture(arguments.at(1));
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

void kestrel::choose_min_line()
{
    bool ok = false;
    const double mils = QInputDialog::getDouble(
            this, QStringLiteral("Minimum Line Width"),
            QStringLiteral("Finest line your board maker can make, in mils\n(0.1 mm = 3.94 mil, "
                           "0.15 mm = 5.91 mil):"),
            min_line_mils, 0.1, 1000, 2, &ok);
    if (!ok)
        return;
    min_line_mils = mils;
    save_board_options();
    update_budget();
}

void kestrel::board_options_changed()
{
    save_board_options();
    update_edge_grey();
    update_size_labels(); // the layout's rounding decides the size; refreshes the fab check too
    ui.mainframe->repaint();
}

// The board options outlive the session: a user's board program and board maker stay the same.
void kestrel::load_board_options()
{
    const QSettings settings;
    const bool v94
            = settings.value(QStringLiteral("board/format")).toString() == QLatin1String("9.4");
    (v94 ? ui.actionFormat94 : ui.actionFormat20)->setChecked(true);
    ui.actionExactEnds->setChecked(settings.value(QStringLiteral("board/exactEnds")).toBool());
    ui.actionSmoothEdges->setChecked(settings.value(QStringLiteral("board/smoothEdges")).toBool());
    bool ok = false;
    const double mils = settings.value(QStringLiteral("board/minLineMils")).toDouble(&ok);
    if (ok && mils >= 0.1 && mils <= 1000)
        min_line_mils = mils;
}

void kestrel::save_board_options() const
{
    QSettings settings;
    settings.setValue(QStringLiteral("board/format"),
                      ui.actionFormat94->isChecked() ? QStringLiteral("9.4")
                                                     : QStringLiteral("2.0"));
    settings.setValue(QStringLiteral("board/exactEnds"), ui.actionExactEnds->isChecked());
    settings.setValue(QStringLiteral("board/smoothEdges"), ui.actionSmoothEdges->isChecked());
    settings.setValue(QStringLiteral("board/minLineMils"), min_line_mils);
}
