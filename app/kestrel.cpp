// The main window's shell: construction, wiring of the controls, quitting and the help dialog.
#include "kestrel.h"

#include "ui_help.h"

#include <QAction>
#include <QCoreApplication>
#include <QDialog>
#include <QIcon>
#include <QInputDialog>
#include <QLabel>
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
    connect(ui.actionExactEnds, &QAction::toggled, this, [this] {
        update_budget();
        ui.mainframe->repaint();
    });
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
    update_budget();
}
