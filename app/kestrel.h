// The kestrel main window: the controls of the form, the three images, and the slots that tie
// them to the core (picture -> grey -> black-and-white -> PADS lines).
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

    // The slots' names and order, and these members down to bw_builder, are the window's
    // documented interface (the tests and the design notes speak of them): keep them even where
    // nothing reads one (img_width, img_height, img_view: the preview frame draws its own image
    // now) and spellings look odd.
    Ui_kestrelClass ui;
    QImage img_colour;
    QImage img_grey;
    QImage img_bw;
    QImage img_view;
    QLabel *lbl_freeware = nullptr;
    int img_width = 0;
    int img_height = 0;
    ViewMode view_mode = ViewMode::Colour;
    int unit_index = 0;
    bool in_unit_change = false;
    kcore::BwBuilder bw_builder;

    // Beyond the picture and the line width: the Board view and the fab check.
    QString picture_path;
    QLabel *lbl_budget = nullptr;
    QLabel *lbl_fabwarning = nullptr;
    double min_line_mils = kcore::defaultMinLineMils;
    QActionGroup *format_group = nullptr;
    QActionGroup *kind_group = nullptr; // each action's data is a kcore::LayerKind
    // Why there is no black-and-white image although there is a picture; empty otherwise.
    QString bw_problem;
    // Counting a big picture's items takes as long as a re-clip: done once the settings rest,
    // not at every step of a threshold drag.
    QTimer budget_timer;

    // The fab check runs off the GUI thread on copies of the image and the settings; each
    // change of them starts a new generation, and only the newest one's result is shown.
    struct FabResult
    {
        quint64 generation = 0;
        kcore::FabCheck fab;
        kcore::SpaceReport spaces;
    };
    double min_space_mils = kcore::defaultMinSpaceMils;
    QLabel *lbl_gaps = nullptr;
    QFutureWatcher<FabResult> budget_watcher;
    quint64 budget_generation = 0;
    // Set when the settings of the running check no longer hold, so it stops early.
    std::shared_ptr<std::atomic<bool>> budget_cancel;
    quint64 shown_generation = 0; // the findings in the Board view are its
    // The grey levels on the black-and-white grid, held only while Smooth Edges is on: at
    // 100 % the grey image itself, otherwise resampled (a byte a pixel).
    QImage img_edge;
    qint64 edge_grey_key = 0;

    // What is open: the picture, or a vector document whose page is drawn onto the grid again
    // whenever the scale or the pitch changes, off the GUI thread when the grid is big; only
    // the drawing for the newest settings is shown.
    kcore::Source source;
    double vector_scale = 0; // a page's exact scale from Fit to Size; 0: the scale field's
    struct DrawnPage
    {
        quint64 generation = 0;
        QImage colour;
        QImage grey;
        QString why; // when there is no grey image
        QSize grid; // the settings it was drawn for
        double perMil = 0;
    };
    void take_page(const DrawnPage &page);
    QFutureWatcher<DrawnPage> draw_watcher;
    quint64 draw_generation = 0;
    QSize drawn_grid, pending_grid;
    double drawn_per_mil = 0, pending_per_mil = 0;
};
