// The preview frame's painting and mouse handling, and the cache of the board last rendered.
#include "boardview.h"

#include "stackboard.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
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
    emit zoomChanged();
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
    emit zoomChanged();
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
    emit zoomChanged();
}

void BoardView::fitBoard()
{
    m_zoom.fit();
    zoomed();
}

void BoardView::setFindings(std::vector<kcore::SpaceFinding> findings)
{
    m_findings = std::move(findings);
    m_findingIndex = -1;
    update();
}

void BoardView::zoomBy(double factor)
{
    if (!hasImage())
        return;
    zoomAt(QPointF(width() / 2.0, height() / 2.0), factor);
}

double BoardView::zoomPercent() const
{
    if (!hasImage())
        return 0;
    QSize image;
    const double mpp = m_zoom.viewport(zoomBounds(), size(), &image).milsPerPixel;
    // A pixel of the board is a pitch wide.
    const double pixel = m_board ? m_settings.pitch : 1;
    return mpp > 0 ? 100 * pixel / mpp : 0;
}

void BoardView::setStale(const QString &why)
{
    // "Out of date: the line width ...", the reason's first line.
    QString line = why.section(QLatin1Char('\n'), 0, 0);
    if (!line.isEmpty())
        line[0] = line[0].toLower();
    if (line != m_stale) {
        m_stale = line;
        update();
    }
}

void BoardView::setHint(const QString &hint)
{
    if (hint != m_hint) {
        m_hint = hint;
        update();
    }
}

void BoardView::setPicking(bool on)
{
    m_picking = on;
    if (on)
        setCursor(Qt::CrossCursor);
    else
        unsetCursor();
}

QPoint BoardView::pixelAt(const QPointF &pos) const
{
    if (!hasImage())
        return QPoint(-1, -1);
    QSize image;
    const QPointF at = m_zoom.viewport(zoomBounds(), size(), &image).toMils(pos);
    int x = 0, y = 0;
    if (m_board) {
        // Pixel i spans i to i + 1 pitches; row j's centre line lies height - j pitches up.
        const QPointF file = shown(at); // turning over is its own inverse
        x = int(std::floor(file.x() / m_settings.pitch));
        y = m_image->height() - int(std::lround(file.y() / m_settings.pitch));
    } else {
        x = int(std::floor(at.x()));
        y = int(std::floor(m_image->height() - at.y()));
    }
    if (x < 0 || y < 0 || x >= m_image->width() || y >= m_image->height())
        return QPoint(-1, -1);
    return QPoint(x, y);
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
    if (hasBoard()) {
        // Enough of the board around it to see where on the artwork it lies: a third of the
        // board's longer side, and at least 60 pitches, across the frame.
        const QRectF bounds = boardBounds();
        const double span
                = std::max(60 * m_settings.pitch, std::max(bounds.width(), bounds.height()) / 3);
        m_zoom.setFinest(0.05);
        m_zoom.showAt(bounds, size(), shown(f.mils), span / qMax(1, width()));
    }
    zoomed();
    return &f;
}

bool BoardView::hasBoard() const
{
    return m_board && hasImage();
}

QRectF BoardView::boardBounds() const
{
    return kcore::boardBounds(m_image->size(), m_settings);
}

QRectF BoardView::zoomBounds() const
{
    return m_board ? boardBounds() : QRectF(0, 0, m_image->width(), m_image->height());
}

void BoardView::zoomAt(const QPointF &pos, double factor)
{
    // A board down to a twentieth of a mil a pixel; a picture until a pixel of it is 100.
    m_zoom.setFinest(m_board ? 0.05 : 0.01);
    m_zoom.zoomAt(zoomBounds(), size(), pos, factor);
    zoomed();
}

void BoardView::zoomed()
{
    update();
    emit zoomChanged();
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
    {
        QPainter painter(this);
        if (hasImage()) {
            if (m_board)
                paintBoard(painter);
            else
                paintPicture(painter);
        }
        paintNotes(painter);
    }
    QFrame::paintEvent(event); // the frame's border, over the image as it always was
}

void BoardView::paintPicture(QPainter &painter)
{
    if (m_zoom.isFitted()) {
        // The whole picture fitted, nearest-neighbour, from the top-left corner, as always.
        CacheKey key;
        key.image = m_image->cacheKey();
        key.size = size();
        if (!(key == m_key) || m_cache.isNull()) {
            m_cache = m_image->scaled(width(), height(), Qt::KeepAspectRatio,
                                      Qt::FastTransformation);
            m_key = key;
        }
        painter.drawImage(0, 0, m_cache);
        return;
    }
    // Only the whole pixels in view are drawn, each as a square of the zoom's size.
    QSize image;
    const kcore::BoardViewport v = m_zoom.viewport(zoomBounds(), size(), &image);
    const double mpp = v.milsPerPixel;
    const QRectF view(v.left, m_image->height() - v.top, width() * mpp, height() * mpp);
    const QRect source = view.toAlignedRect().intersected(m_image->rect());
    if (source.isEmpty())
        return;
    const QRectF target((source.x() - view.x()) / mpp, (source.y() - view.y()) / mpp,
                        source.width() / mpp, source.height() / mpp);
    painter.drawImage(target, *m_image, source);
}

void BoardView::paintBoard(QPainter &painter)
{
    CacheKey key;
    key.board = true;
    key.image = m_image->cacheKey();
    // Rendered in device pixels, so the copper's edges are sharp on a high-density screen.
    key.ratio = devicePixelRatioF();
    key.edge = m_edge ? m_edge->cacheKey() : 0;
    key.stack = m_stack;
    key.mirrored = m_mirrored;
    if (m_stack)
        key.colours = m_colours;
    key.settings = m_settings;
    kcore::BoardViewport viewport
            = m_zoom.viewport(boardBounds(), (QSizeF(size()) * key.ratio).toSize(), &key.size);
    key.viewport = viewport;
    if (!(key == m_key) || m_cache.isNull()) {
        if (m_stack) {
            const QRectF bounds = boardBounds();
            m_cache = renderStack(*m_image, m_colours, m_settings, viewport, key.size, m_mirrored,
                                  bounds.left() + bounds.right());
        } else {
            m_cache = kcore::renderBoard(*m_image, m_settings, viewport, key.size,
                                         m_edge ? *m_edge : QImage());
        }
        m_cache.setDevicePixelRatio(key.ratio);
        m_key = key;
    }
    painter.drawImage(0, 0, m_cache);
    // The rings go on in the frame's own (logical) pixels.
    viewport.milsPerPixel *= key.ratio;
    drawFindings(painter, viewport);
}

void BoardView::paintNotes(QPainter &painter)
{
    if (!hasImage()) {
        if (m_hint.isEmpty())
            return;
        painter.setPen(palette().color(QPalette::PlaceholderText));
        painter.drawText(rect().adjusted(12, 0, -12, 0), Qt::AlignCenter | Qt::TextWordWrap,
                         m_hint);
        return;
    }
    if (m_stale.isEmpty())
        return;
    // Dimmed, under a bar that says why, so that it is not taken for the settings' result.
    painter.fillRect(rect(), QColor(128, 128, 128, 120));
    const QFontMetrics metrics(font());
    const QRect bar(0, 0, width(), metrics.height() + 8);
    painter.fillRect(bar, QColor(0x70, 0x58, 0x00, 230));
    painter.setPen(Qt::white);
    painter.drawText(bar.adjusted(8, 0, -8, 0), Qt::AlignVCenter | Qt::AlignLeft,
                     metrics.elidedText(QStringLiteral("Out of date: ") + m_stale, Qt::ElideRight,
                                        width() - 16));
}

void BoardView::drawFindings(QPainter &painter, const kcore::BoardViewport &viewport) const
{
    // Rings of a fixed size on screen, so they stay visible however far the view is zoomed out;
    // see-through, so that the artwork under them still shows.
    if (m_findings.empty())
        return;
    constexpr double radius = 7;
    const QRectF frame = QRectF(rect()).adjusted(-radius, -radius, radius, radius);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(0xe0, 0x10, 0x10, 200), 2));
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
    if (!hasImage())
        return QFrame::wheelEvent(event);
    const double steps = event->angleDelta().y() / 120.0;
    zoomAt(event->position(), std::pow(1.25, steps));
}

void BoardView::mousePressEvent(QMouseEvent *event)
{
    if (!hasImage())
        return QFrame::mousePressEvent(event);
    m_dragFrom = event->position().toPoint();
    m_pressedAt = m_dragFrom;
}

void BoardView::mouseMoveEvent(QMouseEvent *event)
{
    if (!hasImage() || !(event->buttons() & Qt::LeftButton))
        return QFrame::mouseMoveEvent(event);
    const QPoint at = event->position().toPoint();
    m_zoom.panBy(zoomBounds(), size(), at - m_dragFrom);
    m_dragFrom = at;
    update();
}

void BoardView::mouseReleaseEvent(QMouseEvent *event)
{
    // A click, not the end of a drag, picks.
    const QPoint at = event->position().toPoint();
    if (!m_picking || !hasImage() || event->button() != Qt::LeftButton
        || (at - m_pressedAt).manhattanLength() > 3)
        return QFrame::mouseReleaseEvent(event);
    const QPoint pixel = pixelAt(event->position());
    if (pixel.x() >= 0)
        emit picked(pixel);
}

void BoardView::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (!hasImage())
        return QFrame::mouseDoubleClickEvent(event);
    m_zoom.fit();
    zoomed();
}

void BoardView::resizeEvent(QResizeEvent *event)
{
    QFrame::resizeEvent(event);
    emit zoomChanged(); // a fitted view's scale follows the frame
}
