// The window's preview frame: the picture or one of its images fitted into the frame, or the
// board as a PADS reader draws the file (or a stack as the finished board), zoomed and panned
// with the mouse, with the fab check's findings ringed on it.
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
    // The whole board again, as for a new picture.
    void fitBoard();
    // Zooms by factor (above 1 closer) around the frame's centre, as the wheel does.
    void zoomBy(double factor);

    // The fab check's findings for the settings shown; none while a check is due.
    void setFindings(std::vector<kcore::SpaceFinding> findings);
    int findingCount() const { return int(m_findings.size()); }
    int findingIndex() const { return m_findingIndex; }
    const kcore::SpaceFinding *finding(int index) const
    {
        return index >= 0 && index < findingCount() ? &m_findings[size_t(index)] : nullptr;
    }
    // Steps to the next finding and centres the board on it, close enough to see its pixels;
    // null when there are no findings.
    const kcore::SpaceFinding *nextFinding();
    // The same, stepping back.
    const kcore::SpaceFinding *previousFinding();

protected:
    void paintEvent(QPaintEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    bool hasBoard() const;
    QRectF boardBounds() const;
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
