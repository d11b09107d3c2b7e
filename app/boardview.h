// The window's preview frame: the picture or one of its images fitted into the frame, or the
// board as a PADS reader draws the file (or a stack as the finished board), each zoomed and
// panned with the mouse, with the fab check's findings ringed on the board.
#pragma once

#include "board/boardimage.h"
#include "board/spacecheck.h"

#include <QFrame>
#include <QImage>

#include <vector>

class BoardView : public QFrame
{
    Q_OBJECT

public:
    explicit BoardView(QWidget *parent = nullptr);

    // The images stay the window's and are read when the view paints: holding a copy would make
    // every re-clip of a big black-and-white image copy it first. A null pointer or image shows
    // only the frame.
    // The image fitted into the frame, aspect kept, from the top-left corner.
    void showPicture(const QImage *image);
    // The board drawn from bw as writeArtwork() would write it with settings (and edgeGrey).
    void showBoard(const QImage *bw, const QImage *edgeGrey, const kcore::PadsSettings &settings);
    // A stack's side as the finished board: plan's pixels (see planStack()) in colours, at
    // settings' pitch; mirrored shows the board turned over, as its bottom side is seen, the
    // findings with it.
    void showStack(const QImage *plan, const QList<QRgb> &colours,
                   const kcore::PadsSettings &settings, bool mirrored);
    // The whole picture or board again, as for a new picture.
    void fitBoard();
    // Zooms by factor (above 1 closer) around the frame's centre, as the wheel does.
    void zoomBy(double factor);
    // How large a pixel of the image shown is on the screen, in percent (100: one screen pixel
    // each; on the board a pixel is a pitch); 0 with nothing shown.
    double zoomPercent() const;

    // What is shown no longer follows the settings, for this reason: drawn dimmed under a line
    // saying so. Empty: current.
    void setStale(const QString &why);
    // One line in the middle of the empty frame.
    void setHint(const QString &hint);
    // While picking, a click reports the pixel under the cursor instead of starting a drag.
    void setPicking(bool on);
    // The pixel of the image shown (the picture, or the grid of the board) under pos, in the
    // file's own orientation for a board; (-1, -1) off the image.
    QPoint pixelAt(const QPointF &pos) const;

    // The fab check's findings for the settings shown; none while a check is due.
    void setFindings(std::vector<kcore::SpaceFinding> findings);
    int findingCount() const { return int(m_findings.size()); }
    int findingIndex() const { return m_findingIndex; }
    const kcore::SpaceFinding *finding(int index) const
    {
        return index >= 0 && index < findingCount() ? &m_findings[size_t(index)] : nullptr;
    }
    // Steps to the next finding and centres the board on it, close enough to see its pixels
    // and with enough around it to see where it lies; null when there are no findings.
    const kcore::SpaceFinding *nextFinding();
    // The same, stepping back.
    const kcore::SpaceFinding *previousFinding();

signals:
    // The zoom or what is shown changed: zoomPercent() may say another number.
    void zoomChanged();
    // Clicked while picking, at this pixel of the image shown.
    void picked(const QPoint &pixel);

protected:
    void paintEvent(QPaintEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    bool hasBoard() const;
    bool hasImage() const { return m_image && !m_image->isNull(); }
    QRectF boardBounds() const;
    // The extent zoomed over: the board in mils, or the picture in its pixels, y up as on the
    // board (so one zoom serves both, on the same part of the picture).
    QRectF zoomBounds() const;
    void zoomAt(const QPointF &pos, double factor);
    void zoomed();
    void paintPicture(QPainter &painter);
    void paintBoard(QPainter &painter);
    void paintNotes(QPainter &painter);
    // Where a point of the file shows on the board: turned over with a mirrored stack.
    QPointF shown(const QPointF &mils) const;
    const kcore::SpaceFinding *showFinding(int step);
    void drawFindings(QPainter &painter, const kcore::BoardViewport &viewport) const;

    const QImage *m_image = nullptr; // the picture shown, or the board's black-and-white image
    const QImage *m_edge = nullptr;
    bool m_board = false;
    bool m_stack = false, m_mirrored = false;
    QList<QRgb> m_colours;
    kcore::PadsSettings m_settings;
    kcore::BoardZoom m_zoom;
    QPoint m_dragFrom;
    std::vector<kcore::SpaceFinding> m_findings;
    int m_findingIndex = -1;
    QString m_stale, m_hint;
    bool m_picking = false;
    QPoint m_pressedAt;

    // What m_cache was drawn from: a board is rendered again only when one of these changes.
    struct CacheKey
    {
        bool board = false;
        bool stack = false, mirrored = false;
        QList<QRgb> colours;
        qint64 image = 0;
        qint64 edge = 0;
        kcore::PadsSettings settings;
        kcore::BoardViewport viewport;
        QSize size;
        qreal ratio = 0;
        bool operator==(const CacheKey &other) const;
    };
    CacheKey m_key;
    QImage m_cache;
};
