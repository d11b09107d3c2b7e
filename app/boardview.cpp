// The preview frame's painting and mouse handling, and the cache of the board last rendered.
#include "boardview.h"

#include "stackboard.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <cmath>
#include <tuple>

namespace {

auto settingsTie(const kcore::PadsSettings &s)
{
    return std::tie(s.pitch, s.layer, s.exactEnds, s.format, s.metric, s.kind, s.smoothEdges,
                    s.threshold);
}

} // namespace

bool BoardView::CacheKey::operator==(const CacheKey &o) const
{
    return board == o.board && stack == o.stack && mirrored == o.mirrored && colours == o.colours
            && image == o.image && edge == o.edge
            && settingsTie(settings) == settingsTie(o.settings) && viewport.left == o.viewport.left
            && viewport.top == o.viewport.top && viewport.milsPerPixel == o.viewport.milsPerPixel
            && size == o.size && ratio == o.ratio;
}

BoardView::BoardView(QWidget *parent) : QFrame(parent) { }

void BoardView::showPicture(const QImage *image)
{
    m_image = image;
    m_edge = nullptr;
    m_board = false;
    m_stack = false;
    // At once, as the preview always was: each step of a threshold drag is seen.
    repaint();
}

void BoardView::showBoard(const QImage *bw, const QImage *edgeGrey,
                          const kcore::PadsSettings &settings)
{
    m_image = bw;
    m_edge = edgeGrey;
    m_board = true;
    m_stack = false;
    m_settings = settings;
    repaint();
}

void BoardView::showStack(const QImage *plan, const QList<QRgb> &colours,
                          const kcore::PadsSettings &settings, bool mirrored)
{
    m_image = plan;
    m_edge = nullptr;
    m_board = true;
    m_stack = true;
    m_mirrored = mirrored;
    m_colours = colours;
    m_settings = settings;
    repaint();
}

void BoardView::fitBoard()
{
    m_zoom.fit();
    update();
}

void BoardView::setFindings(std::vector<kcore::SpaceFinding> findings)
{
    m_findings = std::move(findings);
    m_findingIndex = -1;
    update();
}

void BoardView::zoomBy(double factor)
{
    if (!hasBoard())
        return;
    m_zoom.zoomAt(boardBounds(), size(), QPointF(width() / 2.0, height() / 2.0), factor);
    update();
}

const kcore::SpaceFinding *BoardView::nextFinding()
{
    return showFinding(1);
}

const kcore::SpaceFinding *BoardView::previousFinding()
{
    return showFinding(-1);
}

const kcore::SpaceFinding *BoardView::showFinding(int step)
{
    if (m_findings.empty())
        return nullptr;
    // Backwards from none shown yet starts at the last.
    const int from = m_findingIndex < 0 && step < 0 ? 0 : m_findingIndex;
    m_findingIndex = (from + step + findingCount()) % findingCount();
    const kcore::SpaceFinding &f = m_findings[size_t(m_findingIndex)];
    // About 24 pitches across the frame.
    if (hasBoard())
        m_zoom.showAt(boardBounds(), size(), shown(f.mils),
                      24 * m_settings.pitch / qMax(1, width()));
    update();
    return &f;
}

bool BoardView::hasBoard() const
{
    return m_board && m_image && !m_image->isNull();
}

QRectF BoardView::boardBounds() const
{
    return kcore::boardBounds(m_image->size(), m_settings);
}

QPointF BoardView::shown(const QPointF &mils) const
{
    if (!(m_stack && m_mirrored && hasBoard()))
        return mils;
    const QRectF bounds = boardBounds();
    return QPointF(bounds.left() + bounds.right() - mils.x(), mils.y());
}

void BoardView::paintEvent(QPaintEvent *event)
{
    if (m_image && !m_image->isNull()) {
        QPainter painter(this);
        CacheKey key;
        key.board = m_board;
        key.image = m_image->cacheKey();
        kcore::BoardViewport viewport;
        if (m_board) {
            // Rendered in device pixels, so the copper's edges are sharp on a high-density
            // screen.
            key.ratio = devicePixelRatioF();
            key.edge = m_edge ? m_edge->cacheKey() : 0;
            key.stack = m_stack;
            key.mirrored = m_mirrored;
            if (m_stack)
                key.colours = m_colours;
            key.settings = m_settings;
            viewport = m_zoom.viewport(boardBounds(), (QSizeF(size()) * key.ratio).toSize(),
                                       &key.size);
            key.viewport = viewport;
        } else {
            key.size = size();
        }
        if (!(key == m_key) || m_cache.isNull()) {
            if (m_stack) {
                const QRectF bounds = boardBounds();
                m_cache = renderStack(*m_image, m_colours, m_settings, viewport, key.size,
                                      m_mirrored, bounds.left() + bounds.right());
                m_cache.setDevicePixelRatio(key.ratio);
            } else if (m_board) {
                m_cache = kcore::renderBoard(*m_image, m_settings, viewport, key.size,
                                             m_edge ? *m_edge : QImage());
                m_cache.setDevicePixelRatio(key.ratio);
            } else {
                m_cache = m_image->scaled(width(), height(), Qt::KeepAspectRatio,
                                          Qt::FastTransformation);
            }
            m_key = key;
        }
        painter.drawImage(0, 0, m_cache);
        if (m_board) {
            // The rings go on in the frame's own (logical) pixels.
            viewport.milsPerPixel *= key.ratio;
            drawFindings(painter, viewport);
        }
    }
    QFrame::paintEvent(event); // the frame's border, over the image as it always was
}

void BoardView::drawFindings(QPainter &painter, const kcore::BoardViewport &viewport) const
{
    // Rings of a fixed size on screen, so they stay visible however far the view is zoomed out.
    if (m_findings.empty())
        return;
    constexpr double radius = 7;
    const QRectF frame = QRectF(rect()).adjusted(-radius, -radius, radius, radius);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(0xe0, 0x10, 0x10), 2));
    const auto onScreen = [&](const kcore::SpaceFinding &f) {
        const QPointF at = shown(f.mils);
        return QPointF((at.x() - viewport.left) / viewport.milsPerPixel,
                       (viewport.top - at.y()) / viewport.milsPerPixel);
    };
    for (const kcore::SpaceFinding &f : m_findings) {
        const QPointF at = onScreen(f);
        if (frame.contains(at))
            painter.drawEllipse(at, radius, radius);
    }
    if (m_findingIndex >= 0 && m_findingIndex < findingCount()) {
        painter.setPen(QPen(QColor(0xff, 0xff, 0x40), 2));
        painter.drawEllipse(onScreen(m_findings[size_t(m_findingIndex)]), radius + 3, radius + 3);
    }
}

void BoardView::wheelEvent(QWheelEvent *event)
{
    if (!hasBoard())
        return QFrame::wheelEvent(event);
    const double steps = event->angleDelta().y() / 120.0;
    m_zoom.zoomAt(boardBounds(), size(), event->position(), std::pow(1.25, steps));
    update();
}

void BoardView::mousePressEvent(QMouseEvent *event)
{
    if (!hasBoard())
        return QFrame::mousePressEvent(event);
    m_dragFrom = event->position().toPoint();
}

void BoardView::mouseMoveEvent(QMouseEvent *event)
{
    if (!hasBoard() || !(event->buttons() & Qt::LeftButton))
        return QFrame::mouseMoveEvent(event);
    const QPoint at = event->position().toPoint();
    m_zoom.panBy(boardBounds(), size(), at - m_dragFrom);
    m_dragFrom = at;
    update();
}

void BoardView::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (!hasBoard())
        return QFrame::mouseDoubleClickEvent(event);
    m_zoom.fit();
    update();
}
