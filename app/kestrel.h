// The kestrel main window: the controls of the form and the slots that read them, set them on
// the conversion (picture -> grey -> black-and-white -> PADS lines) and show what it returns.
#pragma once

#include "board/boardimage.h"
#include "board/fabcheck.h"
#include "board/spacecheck.h"
#include "core/conversion.h"
#include "image/bwimage.h"
#include "job.h"
#include "stackboard.h"
#include "ui_kestrel.h"
#include "ui_stackpanel.h"

#include <QImage>
#include <QMainWindow>
#include <QPointer>
#include <QProgressDialog>
#include <QTimer>

class QActionGroup;
class QLabel;
class QScrollArea;

class kestrel : public QMainWindow
{
    Q_OBJECT

public:
    // What the preview frame shows, one radio button each.
    enum class ViewMode { BlackAndWhite, Grey, Colour, Board };

    explicit kestrel(QWidget *parent = nullptr, Qt::WindowFlags flags = {});
    ~kestrel() override;

    // The program's icon, for the window and the task bar.
    static QIcon appIcon();

    // Opens the picture named on the command line (the first of pictures, the arguments left
    // once the options are read), exactly as File, Open does once a file is chosen.
    void open_startup_arguments(const QStringList &pictures);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

signals:
    // A fab check's result is in the summary under the preview (its findings in the Board view).
    void fabCheckShown();

public slots:
    void file_open();
    void display_what_slot();
    void threshold_slot();
    void asc_size_slot();
    void pix_usize_slot();
    void pix_lsize_slot();
    void make_asc_slot();
    void quit_slot();
    void help_slot();

private:
    void build_summary(const QFont &compact);
    void build_board_menu();
    void connect_controls();
    void open_picture(const QString &path);
    void open_document(const QString &path);
    void show_title(const QString &path);
    void paste_picture();
    void remember_file(const QString &path);
    void fill_recent_menu();
    void open_recent(const QString &path);
    void tell_not_loaded(const QString &path, const QString &why);
    // The picture being opened was named on the command line: a failure is told there too.
    bool telling_terminal = false;
    bool draw_vector_page();
    void show_drawn_page(const kcore::Conversion::Page &page);
    kcore::ConversionSettings conversion_settings() const;
    void take_settings();
    void build_bw_image();
    double line_pitch();
    void update_size_labels();
    void update_budget();
    void count_budget();
    void choose_fab_limits();
    // The layer and its kind kept in agreement: choosing one sets the other.
    void kind_chosen(QAction *action);
    void layer_changed();
    void apply_layer_range();
    // Why the settings give no board now (the line width, the mask expansion), or empty.
    QString unusable_reason() const;
    void show_zoom();
    void fit_to_size();
    void next_finding();
    void previous_finding();
    void step_finding(bool back);
    void add_keys();
    void show_fab_result(const kcore::FabResult &r);
    void show_covered(const QString &warning);
    void update_view();
    void board_options_changed();
    void fab_safe_changed();
    void update_edge_grey();
    void load_board_options();
    void save_board_options() const;
    kcore::PadsSettings pads_settings() const;
    // The stack of layers: a mode of its own, with a panel under the preview.
    bool stacking() const;
    void build_stack_panel();
    void connect_stack_controls();
    void stack_mode_changed();
    void fill_palette_table();
    void palette_cell_clicked(int row, int column);
    void palette_finish_changed();
    void add_colour();
    void add_palette_colour(QRgb colour);
    void pick_toggled(bool on);
    void colour_picked(const QPoint &pixel);
    void show_shares();
    void remove_colour();
    void reset_palette();
    void stack_settings_changed();
    void expansion_edited();
    void show_expansion();
    void mark_expansion();
    void look_changed();
    void save_stack_options() const;
    void refresh_stack_plan();
    void take_stack_plan(const StackPlan &plan);
    void show_stack_board();
    void count_stack();
    void show_stack_fab(const kcore::StackFab &f);
    struct StackReport;
    static StackReport stack_report(const kcore::StackFab &f, int unit);
    void take_stack_findings(const kcore::StackFab &f);
    QString stack_finding_text(int index) const;
    struct RefusalText;
    static RefusalText refusal_text(const kcore::WriteCheck &check, int scale);
    // The tones: the grey clipped at the threshold, or drawn as halftone dots.
    bool halftone() const;
    void tones_changed();
    void cell_edited();
    void show_cell();
    void load_tone_options();
    void save_tone_options() const;
    void halftone_settings(kcore::ConversionSettings *c) const;
    QString halftone_note() const;

    // The slots' names and order are the window's documented interface (the tests and the design
    // notes speak of them): keep them even where spellings look odd.
    Ui_kestrelClass ui;
    QLabel *lbl_freeware = nullptr;
    ViewMode view_mode = ViewMode::Colour;
    int unit_index = 0;
    bool in_unit_change = false;
    // The width as the user typed it, in the unit it was typed in. A unit change shows it
    // converted and rounded to the new unit's digits, but the pitch stays the one typed until
    // the text is edited: mm to inch and back gives 0.15 mm again, not 0.1499.
    QString typed_width;
    int typed_unit = 0;

    // What is open and its images: the picture, or a vector document whose page is drawn onto
    // the grid again whenever the scale or the pitch changes.
    kcore::Conversion conversion;
    // The problem the user was last told of, so that a threshold drag tells it once.
    QString told_problem;

    // Beyond the picture and the line width: the Board view and the fab check.
    QLabel *lbl_budget = nullptr;
    QLabel *lbl_fabwarning = nullptr;
    QLabel *lbl_gaps = nullptr;
    QLabel *lbl_halftone = nullptr; // the halftone's screen
    QLabel *lbl_fabsafe = nullptr; // what Fab-safe changed
    QLabel *lbl_covered = nullptr; // a file of no item, or one that covers everything
    QLabel *lbl_zoom = nullptr;
    // The settings the single layer's board was last drawn at: drawn at those, marked out of
    // date, while the line width is no width.
    kcore::PadsSettings board_pads;
    kcore::LayerKind chosen_kind = kcore::LayerKind::Auto;
    double min_line_mils = kcore::defaultMinLineMils;
    double min_space_mils = kcore::defaultMinSpaceMils;
    QActionGroup *format_group = nullptr;
    QActionGroup *kind_group = nullptr; // each action's data is a kcore::LayerKind
    // Counting a big picture's items takes as long as a re-clip: done once the settings rest,
    // not at every step of a threshold drag.
    QTimer budget_timer;

    // Off the GUI thread, on copies of the images and the settings: the fab check, drawing a
    // big page, opening and writing a big picture. Only the newest work's result is shown.
    // Each change of the settings; the findings in the Board view are those of shown_generation.
    quint64 budget_generation = 0;
    quint64 shown_generation = 0;
    Job<kcore::FabResult> fab_job{this, [this](const kcore::FabResult &r) { show_fab_result(r); }};

    double vector_scale = 0; // a page's exact scale from Fit to Size; 0: the scale field's
    Job<kcore::Conversion::Page> draw_job{
            this, [this](const kcore::Conversion::Page &p) { show_drawn_page(p); }};
    QSize pending_grid; // the drawing draw_job makes
    double pending_per_mil = 0;
    // Generate pressed while the page was drawn: it writes the page once drawn.
    bool generate_when_drawn = false;

    struct Opened
    {
        QString path;
        QImage picture;
        QImage grey;
        QString why;
        bool remembered = true; // among the recent files; not what was pasted
    };
    // Fab-safe art of a big picture is made off the GUI thread; the plain image shows meanwhile,
    // and Generate pressed meanwhile writes the art once made.
    void start_fab_safe();
    void take_fab_safe(const kcore::Conversion::FabSafeImage &made);
    Job<kcore::Conversion::FabSafeImage> safe_job{
            this, [this](const kcore::Conversion::FabSafeImage &m) { take_fab_safe(m); }};
    QString making_safe; // what safe_job makes the art for
    bool generate_when_safe = false;
    void take_picture(const Opened &opened);
    Job<Opened> open_job{this, [this](const Opened &o) { take_picture(o); }};
    // The name Generate writes to and its file type, chosen in the save dialog; empty when the
    // user cancels.
    QString ask_file_name(kcore::FileType *type);
    void write_file(const QString &name, kcore::FileType type);
    void show_written(const QString &name, const kcore::WriteResult &result);
    Job<kcore::WriteResult> write_job{
            this, [this](const kcore::WriteResult &r) { show_written(writing_to, r); }};
    QString writing_to;
    QStringList writing_files;
    kcore::FileType writing_type = kcore::FileType::Pads;
    // The progress of opening or writing a big picture, over the window.
    QPointer<QProgressDialog> progress;
    void show_progress(JobBase &job, const QString &label, qint64 maximum);

    // The stack's panel and what it sets: the palette, the mask expansion (exact as typed, in
    // mils; NaN while the text is no number), the Board view's look and the fab limits of each
    // layer.
    Ui_StackPanel stack_ui;
    QScrollArea *stack_box = nullptr;
    kcore::Palette stack_palette;
    double expansion_mils = 2;
    bool in_expansion_change = false;
    StackLook stack_look;
    kcore::StackLimits stack_limits;
    // The finished board of the side shown, and what it was planned from: planned again only
    // when one of these changes.
    struct PlanKey
    {
        qint64 colour = 0;
        QSize grid;
        double scale = 0, pitch = 0, expansion = 0;
        kcore::Palette palette;
        bool bottom = false;
        // A halftone's screen (held, so that no new one is taken for it) and what it screens.
        std::shared_ptr<const kcore::HalftoneScreen> screen;
        bool invert = false;
        int finish = 0;
        bool operator==(const PlanKey &o) const;
    };
    PlanKey plan_key;
    StackPlan stack_plan;
    Job<StackPlan> plan_job{this, [this](const StackPlan &p) { take_stack_plan(p); }};
    Job<kcore::StackFab> stack_fab_job{this,
                                       [this](const kcore::StackFab &f) { show_stack_fab(f); }};
    // The layer of each finding shown, in the order the Board view steps through them.
    struct FindingLayer
    {
        int side = 0;
        kcore::StackLayer layer = kcore::StackLayer::Copper;
    };
    std::vector<FindingLayer> finding_layers;
    double findings_grown = 0; // the mask expansion the findings were checked at

    // The halftone's cell in mils, exact as typed; 0: the smallest that draws 16 tones.
    double cell_mils = 0;
    bool in_cell_change = false;
};
