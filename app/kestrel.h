// The kestrel main window: the controls of the form and the slots that read them, set them on
// the conversion (picture -> grey -> black-and-white -> PADS lines) and show what it returns.
#pragma once

#include "board/boardimage.h"
#include "board/fabcheck.h"
#include "board/spacecheck.h"
#include "core/conversion.h"
#include "image/bwimage.h"
#include "ui_kestrel.h"

#include <QFutureWatcher>
#include <QImage>
#include <QMainWindow>
#include <QTimer>

#include <atomic>
#include <memory>

class QActionGroup;
class QLabel;

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

signals:
    // A fab check's result is in the status bar (and its findings in the Board view).
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
    void open_picture(const QString &path);
    void open_document(const QString &path);
    bool draw_vector_page();
    void show_drawn_page();
    kcore::ConversionSettings conversion_settings() const;
    void take_settings();
    void build_bw_image();
    double line_pitch();
    void update_size_labels();
    void update_budget();
    void count_budget();
    void choose_fab_limits();
    void fit_to_size();
    void next_finding();
    void show_fab_result();
    void update_view();
    void board_options_changed();
    void update_edge_grey();
    void load_board_options();
    void save_board_options() const;
    kcore::PadsSettings pads_settings() const;
    struct RefusalText;
    static RefusalText refusal_text(const kcore::WriteCheck &check, int scale);

    // The slots' names and order are the window's documented interface (the tests and the design
    // notes speak of them): keep them even where spellings look odd.
    Ui_kestrelClass ui;
    QLabel *lbl_freeware = nullptr;
    ViewMode view_mode = ViewMode::Colour;
    int unit_index = 0;
    bool in_unit_change = false;

    // What is open and its images: the picture, or a vector document whose page is drawn onto
    // the grid again whenever the scale or the pitch changes.
    kcore::Conversion conversion;
    // The problem the user was last told of, so that a threshold drag tells it once.
    QString told_problem;

    // Beyond the picture and the line width: the Board view and the fab check.
    QLabel *lbl_budget = nullptr;
    QLabel *lbl_fabwarning = nullptr;
    double min_line_mils = kcore::defaultMinLineMils;
    QActionGroup *format_group = nullptr;
    QActionGroup *kind_group = nullptr; // each action's data is a kcore::LayerKind
    // Counting a big picture's items takes as long as a re-clip: done once the settings rest,
    // not at every step of a threshold drag.
    QTimer budget_timer;

    // The fab check runs off the GUI thread on copies of the image and the settings; each
    // change of them starts a new generation, and only the newest one's result is shown.
    struct FabCount
    {
        quint64 generation = 0;
        kcore::FabResult result;
    };
    double min_space_mils = kcore::defaultMinSpaceMils;
    QLabel *lbl_gaps = nullptr;
    QFutureWatcher<FabCount> budget_watcher;
    quint64 budget_generation = 0;
    // Set when the settings of the running check no longer hold, so it stops early.
    std::shared_ptr<std::atomic<bool>> budget_cancel;
    quint64 shown_generation = 0; // the findings in the Board view are its

    // A big page is drawn off the GUI thread; only the drawing for the newest settings is shown.
    double vector_scale = 0; // a page's exact scale from Fit to Size; 0: the scale field's
    struct DrawnPage
    {
        quint64 generation = 0;
        kcore::Conversion::Page page;
    };
    QFutureWatcher<DrawnPage> draw_watcher;
    quint64 draw_generation = 0;
    QSize pending_grid;
    double pending_per_mil = 0;
};
