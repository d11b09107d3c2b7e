// The kestrel main window: the controls of the form, the three images, and the slots that tie
// them to the core (picture -> grey -> black-and-white -> PADS lines).
#pragma once

#include "image/bwimage.h"
#include "ui_kestrel.h"

#include <QImage>
#include <QMainWindow>

class QLabel;

class kestrel : public QMainWindow
{
    Q_OBJECT

public:
    explicit kestrel(QWidget *parent = nullptr, Qt::WindowFlags flags = {});
    ~kestrel() override;

    // The program's icon, for the window and the task bar.
    static QIcon appIcon();

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

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void build_bw_image();
    double line_pitch();
    void update_size_labels();

    Ui_kestrelClass ui;
    QImage img_colour;
    QImage img_grey;
    QImage img_bw;
    QImage img_view;
    QLabel *lbl_freeware = nullptr;
    int img_width = 0;
    int img_height = 0;
    int view_mode = 2;
    int unit_index = 0;
    bool in_unit_change = false;
    kcore::BwBuilder bw_builder;
};
