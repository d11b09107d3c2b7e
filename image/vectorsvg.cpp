// The SVG reader: librsvg, which draws full SVG 1.1 with CSS, clip paths and masks.
// librsvg's GLib headers use names Qt defines as macros (signals, slots): they come first.
#include <librsvg/rsvg.h>

#include "imagealloc.h"
#include "vectordocument.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QXmlStreamReader>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

namespace kcore {

namespace {

// SVG lengths resolve at 96 pixels to the inch, as CSS defines the pixel.
constexpr double svgDpi = 96;
constexpr double milsPerSvgPixel = 1000.0 / svgDpi;

// A thread of its own that draws what it is given, one drawing at a time, for as long as it
// lives: the layers librsvg makes for each piece of a band, freed after it, are then made again
// from the memory one malloc arena keeps (see keepLayerMemory()).
class DrawingThread
{
public:
    DrawingThread() = default;
    DrawingThread(const DrawingThread &) = delete;
    DrawingThread &operator=(const DrawingThread &) = delete;
    ~DrawingThread()
    {
        if (!m_thread.joinable())
            return;
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_change.notify_all();
        m_thread.join();
    }

    // Runs work on the thread, and returns when it is done.
    void run(const std::function<void()> &work)
    {
        std::unique_lock lock(m_mutex);
        if (!m_thread.joinable())
            m_thread = std::thread([this] { serve(); });
        m_work = &work;
        m_change.notify_all();
        m_change.wait(lock, [this] { return !m_work; });
    }

private:
    void serve()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_change.wait(lock, [this] { return m_stop || m_work; });
            if (!m_work)
                return;
            lock.unlock();
            (*m_work)();
            lock.lock();
            m_work = nullptr;
            m_change.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_change;
    std::thread m_thread;
    const std::function<void()> *m_work = nullptr;
    bool m_stop = false;
};

// librsvg makes the layers of each piece of a band afresh and frees them after it, and malloc
// would give memory that large back to the kernel, to be faulted in and cleared again for the
// next piece: a fifth of the drawing's time. These are the largest thresholds malloc's own
// adjustment reaches (after freeing a 32 MB block); set once, they stay for the process.
void keepLayerMemory()
{
#ifdef __GLIBC__
    static std::once_flag once;
    std::call_once(once, [] {
        mallopt(M_MMAP_THRESHOLD, 32 << 20);
        mallopt(M_TRIM_THRESHOLD, 64 << 20);
    });
#endif
}

// Gives what malloc keeps free back to the kernel.
void releaseFreeMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

// Draws the document into cr's viewport, on thread where one is given. Pango (1.50) lays out
// text only in the first drawing a thread makes and leaves it out of every later one ("failed to
// create cairo scaled font"), so otherwise each drawing is made on a thread of its own: a few
// milliseconds where there is text.
void renderDocument(RsvgHandle *handle, cairo_t *cr, const RsvgRectangle &viewport,
                    DrawingThread *thread = nullptr)
{
    const std::function<void()> draw = [=] {
        GError *error = nullptr;
        rsvg_handle_render_document(handle, cr, &viewport, &error);
        g_clear_error(&error);
    };
    if (thread)
        thread->run(draw);
    else
        std::thread(draw).join();
}

// Sets the handle's style; false where librsvg refuses it.
bool setStyle(RsvgHandle *handle, const QString &style)
{
    const QByteArray css = style.toLatin1();
    GError *error = nullptr;
    const bool set = rsvg_handle_set_stylesheet(
            handle, reinterpret_cast<const guint8 *>(css.data()), gsize(css.size()), &error);
    g_clear_error(&error);
    return set;
}

// Whether a recording of the page can stand for the document as it is: not where drawing it
// composites layers of its own (group opacity, masks, filters, blend modes, images), some of
// which librsvg makes as large as the viewport it is given, here the whole page (but see
// onlyGroupOpacity()). Drawn small, through an observer that
// counts the paints and masks, from the statistics it prints (its callbacks are never freed);
// where they cannot be read, it cannot. An observer of a recording would replay the recording at
// every operation.
bool recordable(RsvgHandle *handle)
{
    constexpr int side = 64;
    cairo_surface_t *image = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, side, side);
    cairo_surface_t *observer = cairo_surface_create_observer(image, CAIRO_SURFACE_OBSERVER_NORMAL);
    cairo_t *cr = cairo_create(observer);
    renderDocument(handle, cr, {0, 0, side, side});
    const bool drawn = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
    cairo_destroy(cr);
    QByteArray report;
    cairo_surface_observer_print(
            observer,
            [](void *to, const unsigned char *data, unsigned int length) {
                static_cast<QByteArray *>(to)->append(reinterpret_cast<const char *>(data),
                                                      qsizetype(length));
                return CAIRO_STATUS_SUCCESS;
            },
            &report);
    cairo_surface_destroy(observer);
    cairo_surface_destroy(image);
    int counted = 0, unrecordable = 0;
    for (const QByteArray &line : report.split('\n')) {
        for (const char *op : {"paint: count ", "mask: count "}) {
            if (line.startsWith(op)) {
                bool number = false;
                unrecordable += line.mid(qstrlen(op)).split(' ').value(0).toInt(&number);
                counted += number;
            }
        }
    }
    return drawn && counted == 2 && unrecordable == 0;
}

// The largest factor by which a transform list ("matrix(...) scale(...) ...") stretches a
// length: the product of each transform's; 1 where there is none or it cannot be read.
double transformScale(QStringView list)
{
    static const QRegularExpression item(
            QStringLiteral("(matrix|translate|scale|rotate|skewX|skewY)\\s*\\(([^)]*)\\)"));
    static const QRegularExpression separator(QStringLiteral("[\\s,]+"));
    double scale = 1;
    for (const QRegularExpressionMatch &m : item.globalMatch(list)) {
        std::vector<double> v;
        for (const QString &n : m.captured(2).split(separator, Qt::SkipEmptyParts))
            v.push_back(n.toDouble());
        const QString name = m.captured(1);
        double a = 1, b = 0, c = 0, d = 1; // the linear part
        if (name == QLatin1String("matrix") && v.size() >= 4) {
            a = v[0], b = v[1], c = v[2], d = v[3];
        } else if (name == QLatin1String("scale") && !v.empty()) {
            a = v[0], d = v.size() > 1 ? v[1] : v[0];
        } else if (name.startsWith(QLatin1String("skew")) && !v.empty()) {
            (name.endsWith('X') ? c : b) = std::tan(v[0] * M_PI / 180);
        }
        // The largest singular value of the linear part.
        const double s = a * a + b * b + c * c + d * d, det = a * d - b * c;
        scale *= std::sqrt((s + std::sqrt(qMax(0.0, s * s - 4 * det * det))) / 2);
    }
    return std::isfinite(scale) ? scale : 1;
}

// The numbers of an attribute, such as stdDeviation="3 1.5", as absolute values.
std::vector<double> numbers(QStringView value)
{
    static const QRegularExpression separator(QStringLiteral("[\\s,]+"));
    std::vector<double> v;
    for (const QString &n : value.toString().split(separator, Qt::SkipEmptyParts))
        v.push_back(std::abs(n.toDouble()));
    return v;
}

double largest(const std::vector<double> &v, double otherwise = 0)
{
    return v.empty() ? otherwise : *std::max_element(v.begin(), v.end());
}

// How far one filter primitive reads from beyond a pixel, in the user units it is given in;
// infinite where it may read from anywhere in the filter's region (a tile).
double primitiveReach(QStringView name, const QXmlStreamAttributes &a)
{
    const auto value
            = [&](const char *attribute) { return numbers(a.value(QLatin1String(attribute))); };
    // librsvg blurs with three boxes of about 1.88 standard deviations each.
    if (name == QLatin1String("feGaussianBlur"))
        return 3 * largest(value("stdDeviation"));
    if (name == QLatin1String("feDropShadow"))
        return 3 * largest(value("stdDeviation"), 2)
                + qMax(largest(value("dx"), 2), largest(value("dy"), 2));
    if (name == QLatin1String("feOffset"))
        return qMax(largest(value("dx")), largest(value("dy")));
    if (name == QLatin1String("feMorphology"))
        return largest(value("radius"));
    if (name == QLatin1String("feDisplacementMap"))
        return largest(value("scale")) / 2;
    if (name == QLatin1String("feConvolveMatrix"))
        return largest(value("order"), 3) * largest(value("kernelUnitLength"), 1);
    if (name == QLatin1String("feDiffuseLighting") || name == QLatin1String("feSpecularLighting"))
        return 2 * largest(value("kernelUnitLength"), 1);
    if (name == QLatin1String("feTile"))
        return qInf();
    return 0;
}

// How far the filters of an SVG document read from beyond a pixel they draw, in pixels of its
// page; rootScale is the page's pixels to a unit of the root's viewBox. A bound from the text:
// the largest reach of any filter (its primitives' reaches added up, as each reads what the
// one before drew), in the largest scale any element is drawn at (the transforms of its
// ancestors and nested viewports, and once more of any use element's). Infinite where a filter
// may read from anywhere in its region, or counts in bounding boxes.
double filterReach(const QByteArray &text, double rootScale)
{
    QXmlStreamReader reader(text);
    std::vector<double> scales;
    double mostScale = rootScale, useScale = 1, reach = 0, filter = -1;
    static const QRegularExpression cssTransform(QStringLiteral("transform\\s*:\\s*([^;]*)"));
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::EndElement) {
            scales.pop_back();
            if (reader.name() == QLatin1String("filter")) {
                reach = qMax(reach, filter);
                filter = -1;
            }
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        const QStringView name = reader.name();
        const QXmlStreamAttributes a = reader.attributes();
        double scale = scales.empty() ? rootScale : scales.back();
        scale *= transformScale(a.value(QLatin1String("transform")));
        const QRegularExpressionMatch css = cssTransform.match(a.value(QLatin1String("style")));
        if (css.hasMatch())
            scale *= transformScale(css.capturedView(1));
        const std::vector<double> box = numbers(a.value(QLatin1String("viewBox")));
        if (!scales.empty() && box.size() == 4 && box[2] > 0 && box[3] > 0)
            scale *= qMax(1.0,
                          qMax(largest(numbers(a.value(QLatin1String("width")))) / box[2],
                               largest(numbers(a.value(QLatin1String("height")))) / box[3]));
        scales.push_back(scale);
        mostScale = qMax(mostScale, scale);
        if (name == QLatin1String("use"))
            useScale = qMax(useScale, scale / rootScale);
        if (name == QLatin1String("filter"))
            filter = a.value(QLatin1String("primitiveUnits")) == QLatin1String("objectBoundingBox")
                    ? qInf()
                    : 0;
        else if (filter >= 0)
            filter += primitiveReach(name, a);
    }
    // Filter functions in a style ("filter: blur(4px) drop-shadow(...)"): everything they are
    // given, three times over.
    static const QRegularExpression function(QStringLiteral("(blur|drop-shadow)\\s*\\(([^)]*)\\)"));
    static const QRegularExpression number(QStringLiteral("[-+]?[0-9]*\\.?[0-9]+"));
    for (const QRegularExpressionMatch &m : function.globalMatch(QString::fromUtf8(text))) {
        double sum = 0;
        for (const QRegularExpressionMatch &n : number.globalMatch(m.capturedView(2)))
            sum += std::abs(n.captured().toDouble());
        reach = qMax(reach, 3 * sum);
    }
    if (reader.hasError() && reader.error() != QXmlStreamReader::PrematureEndOfDocumentError)
        return qInf();
    return reach * mostScale * useScale;
}

// How a document's bands are drawn.
enum class Drawing {
    // Replayed from a recording of the page, where recordable() or onlyGroupOpacity().
    Recorded,
    // Drawn band by band from a document wrapped by wrapForBands(), whose viewport is then a
    // piece of the band: layers, which librsvg makes as large as the viewport, are that small.
    Pieces,
    // Drawn from the document as it is: every layer is as large as the page. Only where the
    // document could not be wrapped (its text is in neither UTF-16 nor an encoding that keeps
    // ASCII as it is).
    Whole,
};

// The ids wrapForBands() gives its root and page, and the style that moves the page up by the
// pixels above the band and draws it transposed (%1, see transposed; librsvg does not apply an
// !important transform), sizes it as the
// document (%3 x %4 pixels), keeps the document's own rules for svg elements off the two, and lets
// the document's root fill the page as if it were the root: its x and y count only when it is
// nested, and only a nested svg clips to its viewport (%2: more for the root). The page is an
// svg, not a group, so that the document's rules for groups ("g", "svg g") find only its own.
constexpr char bandStyle[] = "#kestrel-page-0b7e { %1; width: %3px; height: %4px } "
                             "#kestrel-root-0b7e, #kestrel-page-0b7e { display: inline !important; "
                             "opacity: 1 !important; filter: none !important; "
                             "mask: none !important; clip-path: none !important } "
                             "#kestrel-page-0b7e > svg { x: 0px !important; y: 0px !important; "
                             "overflow: visible !important%2 }";

// The transform that draws the page transposed, its rows down the image's columns (see
// transposeOverPaper()): cairo resolves coverage to 1/15 of a pixel down and exactly across,
// and along a shallow edge a run's end moves by many times what coverage is off (seven times at
// 8 degrees); drawn transposed, a shallow edge runs down the image, where coverage is exact, and
// a steep one, whose run ends move only as much as coverage is off, across it. The page keeps
// one scale both ways, so strokes join, markers point and text is measured as drawn upright.
// In the document, not cairo's matrix: librsvg draws a layer (group opacity, a mask, a filter)
// with only the scale of the matrix it is given, into an image as large as the viewport turned
// by all of it.
constexpr char transposed[] = "matrix(0, 1, 1, 0, 0, 0)";

// bandStyle for a page of pixels.
QString pageStyle(const QString &move, const QString &root, const QSizeF &pixels)
{
    return QString::fromLatin1(bandStyle).arg(move, root, QString::number(pixels.width(), 'g', 17),
                                              QString::number(pixels.height(), 'g', 17));
}

// Layers drawn in pieces of a band are kept to about this many bytes each: without filters
// (masks, blend modes, images) a layer is a few images at most, under a mask three at once
// beside the band's own rows. Each piece costs a walk of the whole document, so pieces are as
// large as the memory bound allows.
constexpr qsizetype unfilteredLayerBytes = qsizetype(6) << 20;

// A filter makes several images the size of its layer, a blur up to eight at once, on each of
// two threads: a filtered piece's layers, the rows a filter reaches from beyond it included, are
// kept to this many bytes.
constexpr qsizetype filteredLayerBytes = qsizetype(4) << 20;

// The largest side of an image cairo makes.
constexpr double cairoLargest = 32767;

// How finely curves are cut into lines, in pixels of the grid: cairo's own 0.1 moves a logo's
// run ends along a circle's flat top and bottom by up to a third of a pixel. Layers librsvg
// makes for group opacity, masks and filters keep cairo's own.
constexpr double curveTolerance = 0.02;

// Replays a recording of the page into an image of a band's rows drawn transposed, from the
// page's pixel row first (see transposed): paths are transformed and drawn again, not their
// pixels moved.
void replayTransposed(cairo_t *cr, cairo_surface_t *recording, double first)
{
    cairo_pattern_t *page = cairo_pattern_create_for_surface(recording);
    cairo_matrix_t m;
    cairo_matrix_init(&m, 0, 1, 1, 0, 0, first);
    cairo_pattern_set_matrix(page, &m);
    cairo_set_source(cr, page);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr);
    cairo_pattern_destroy(page);
}

class SvgDocument : public VectorDocument
{
public:
    // make parses the document again, for a second handle to draw with.
    // layers, filters, text: whether the document may have layers (group opacity, masks,
    // filters, blend modes), filters, text (see m_scale, drawPieces(), piecesOnThreads()).
    // reach: how far its filters reach, in pixels of its page (see filterReach()).
    // dpiStyle: the style of a document drawn in pieces whose page the DPI moves, if it can
    // be (see dpiStyleFor()).
    SvgDocument(RsvgHandle *handle, const QSizeF &pixels, Drawing drawing, bool layers,
                bool filters, double reach, bool text, const QString &dpiStyle,
                std::function<RsvgHandle *()> make)
        : VectorDocument(Svg, pixels * milsPerSvgPixel, 1, 0), m_make(std::move(make)),
          m_pixels(pixels), m_drawing(drawing), m_scale(layers && !filters ? 2 : 1),
          m_filters(filters), m_reach(reach), m_text(text), m_dpiStyle(dpiStyle)
    {
        m_slots[0].handle = handle;
        if (piecesOnThreads())
            keepLayerMemory();
    }
    ~SvgDocument() override
    {
        for (Slot &slot : m_slots) {
            if (slot.recording)
                cairo_surface_destroy(slot.recording);
            if (slot.handle)
                g_object_unref(slot.handle);
        }
        if (piecesOnThreads())
            releaseFreeMemory(); // what the drawing threads' arenas kept
    }

    QImage renderRows(int width, int top, int rows, double pixelsPerMil,
                      QRgb paper = whitePaper) const override
    {
        if (width <= 0 || rows <= 0)
            return QImage();
        const double f = pixelsPerMil * milsPerSvgPixel;
        if (m_drawing == Drawing::Whole
            && std::max(m_pixels.width(), m_pixels.height()) * f * m_scale > cairoLargest)
            return QImage(); // its layers could not be made: nothing of them would be drawn
        QImage band = allocateImage(width, rows, QImage::Format_RGB32);
        if (band.isNull())
            return band;
        std::unique_lock<std::mutex> lock;
        Slot &slot = acquire(lock);
        if (m_drawing == Drawing::Pieces)
            return drawPieces(slot, band, top, pixelsPerMil, paper) ? band : QImage();
        const int s = m_scale;
        QImage columns = transposedRows(slot, rows * s, width * s);
        if (columns.isNull())
            return QImage();
        cairo_surface_t *surface
                = cairo_image_surface_create_for_data(columns.bits(), CAIRO_FORMAT_ARGB32, rows * s,
                                                      width * s, int(columns.bytesPerLine()));
        cairo_t *cr = cairo_create(surface);
        // What cannot be drawn stays paper: librsvg stops only at an element it cannot draw at
        // all, keeping what it drew before.
        if (m_drawing == Drawing::Recorded) {
            // librsvg walks the whole document for every band, however little of it falls
            // there; a recording of the page is walked once, and cairo replays only the shapes
            // that reach the band, every pixel of which it sets.
            if (!slot.recording || slot.recordedAt != pixelsPerMil)
                record(slot, pixelsPerMil);
            replayTransposed(cr, slot.recording, double(top) * s);
        } else {
            // Every layer as large as the page, made for this band alone.
            cairo_surface_t *page = recording(slot.handle, pixelsPerMil);
            replayTransposed(cr, page, double(top) * s);
            cairo_surface_destroy(page);
        }
        cairo_destroy(cr);
        cairo_surface_flush(surface);
        cairo_surface_destroy(surface);
        transposeOverPaper(columns, 0, band, paper, s);
        return band;
    }
    int concurrentBands() const override { return 2; }

private:
    struct Slot
    {
        RsvgHandle *handle = nullptr;
        cairo_surface_t *recording = nullptr; // the page at recordedAt pixels to the mil
        double recordedAt = 0;
        QImage columns; // the page's rows a band is drawn in, transposed
        DrawingThread thread; // where pieces of a document without text are drawn
        bool styled = false; // with the document's dpiStyle
    };

    // Whether pieces are drawn on the slots' own threads: not where Pango lays out text.
    bool piecesOnThreads() const { return m_drawing == Drawing::Pieces && !m_text; }

    void draw(RsvgHandle *handle, cairo_t *cr, double pixelsPerMil) const
    {
        const double f = pixelsPerMil * milsPerSvgPixel;
        renderDocument(handle, cr, {0, 0, m_pixels.width() * f, m_pixels.height() * f});
    }

    // A band's rows of the page, transposed: count columns, height tall (the grid's width),
    // kept from band to band: fresh, their pages would cost the kernel as much to clear as cairo
    // takes to draw them. Null when memory runs out.
    static QImage transposedRows(Slot &slot, int count, int height)
    {
        if (slot.columns.height() != height || slot.columns.width() < count)
            slot.columns = allocateImage(count, height, QImage::Format_ARGB32_Premultiplied);
        if (slot.columns.isNull())
            return QImage();
        return QImage(slot.columns.bits(), count, height, slot.columns.bytesPerLine(),
                      QImage::Format_ARGB32_Premultiplied);
    }

    // The rows a filter reaches from beyond a piece, in rows of the grid.
    int filterMargin(double pixelsPerMil) const
    {
        const double rows = m_reach * pixelsPerMil * milsPerSvgPixel;
        return rows > 0 ? int(qMin(std::ceil(rows) + 2, cairoLargest)) : 0;
    }

    // The band's rows of the page in pieces: each a walk of the wrapped document with a viewport
    // of the piece's rows and, with filters, the rows they reach from beyond it, so that the
    // layers librsvg makes as large as the viewport stay within the memory bound. Each piece's
    // own rows are kept. False when memory runs out.
    bool drawPieces(Slot &slot, QImage &band, int top, double pixelsPerMil, QRgb paper) const
    {
        const int width = band.width(), rows = band.height();
        const int s = m_scale;
        const qsizetype rowBytes = 4 * qsizetype(width) * s * s;
        // Below the page's last row, the grid's last row may reach past it, as paper; nothing
        // past the page is drawn into a layer, as it is not into the page's own.
        const int pageRows = int(
                qMin(std::ceil(m_pixels.height() * pixelsPerMil * milsPerSvgPixel), cairoLargest));
        // The rows a filter reaches from beyond a piece are drawn with it, up to a quarter of
        // the rows its layers may have each way; where they cover the page, every layer is
        // the page's. A filter that reaches further is cut where its layers end.
        int margin = 0, piece = int(unfilteredLayerBytes / rowBytes);
        if (m_filters) {
            const int most = int(qMax(qsizetype(4), filteredLayerBytes / rowBytes));
            margin = filterMargin(pixelsPerMil);
            if (margin > most / 4)
                margin = pageRows <= most ? pageRows : most / 4;
            piece = margin >= pageRows ? rows : most - 2 * margin;
        }
        piece = qBound(1, piece, rows);
        const int from = qMax(0, top - margin);
        const int to = qMax(top + rows, qMin(pageRows, top + rows + margin));
        QImage columns = transposedRows(slot, (to - from) * s, width * s);
        if (columns.isNull())
            return false;
        columns.fill(Qt::transparent);
        // As even as whole rows allow.
        const int pieces = (rows + piece - 1) / piece;
        piece = (rows + pieces - 1) / pieces;
        for (int r = top; r < top + rows; r += piece) {
            const int end = qMin(r + piece, top + rows);
            const int first = qMax(0, r - margin);
            const int last = qMax(end, qMin(pageRows, end + margin));
            cairo_surface_t *surface = cairo_image_surface_create_for_data(
                    columns.bits() + 4 * qsizetype(first - from) * s, CAIRO_FORMAT_ARGB32,
                    (last - first) * s, width * s, int(columns.bytesPerLine()));
            cairo_t *cr = cairo_create(surface);
            cairo_scale(cr, s, s);
            cairo_rectangle(cr, r - first, 0, end - r, width);
            cairo_clip(cr);
            cairo_set_tolerance(cr, curveTolerance * s);
            const bool drawn = drawPiece(slot, cr, width, first, last - first, pixelsPerMil);
            cairo_destroy(cr);
            cairo_surface_flush(surface);
            cairo_surface_destroy(surface);
            if (!drawn)
                break; // the rest stays paper, as what librsvg cannot draw does
        }
        transposeOverPaper(columns, top - from, band, paper, s);
        return true;
    }

    // Rows [first, first + count) of the page, drawn transposed into cr's columns from 0 (a
    // unit of cr a pixel of the grid): the viewport of the wrapped document, whose style draws
    // the page transposed and moves it up by the rows above. The root is not clipped to its
    // viewport: what reaches past the rows is another piece's to draw. False where the style
    // could not be set.
    bool drawPiece(Slot &slot, cairo_t *cr, int width, int first, int count,
                   double pixelsPerMil) const
    {
        const double f = pixelsPerMil * milsPerSvgPixel;
        if (!m_dpiStyle.isEmpty()) {
            // A new style is cascaded through the whole document again, as long as a fifth of a
            // piece's drawing; the DPI is only read while drawing.
            if (!slot.styled && !setStyle(slot.handle, m_dpiStyle))
                return false;
            slot.styled = true;
            rsvg_handle_set_dpi_x_y(slot.handle, svgDpi, 1 + first / f);
        } else {
            const QString move = QStringLiteral("transform: %1 translate(0px, %2px)")
                                         .arg(QLatin1String(transposed))
                                         .arg(-first / f, 0, 'g', 17);
            if (!setStyle(slot.handle, pageStyle(move, QString(), m_pixels)))
                return false;
        }
        cairo_save(cr);
        cairo_scale(cr, f, f);
        renderDocument(slot.handle, cr, {0, 0, count / f, width / f},
                       piecesOnThreads() ? &slot.thread : nullptr);
        cairo_restore(cr);
        return true;
    }

    // The whole page, m_scale times as fine: geometry kept as paths, so replaying it into a
    // band, transposed, gives the pixels drawing it there would.
    cairo_surface_t *recording(RsvgHandle *handle, double pixelsPerMil) const
    {
        cairo_surface_t *page = cairo_recording_surface_create(CAIRO_CONTENT_COLOR_ALPHA, nullptr);
        cairo_t *cr = cairo_create(page);
        cairo_scale(cr, m_scale, m_scale);
        cairo_set_tolerance(cr, curveTolerance * m_scale);
        draw(handle, cr, pixelsPerMil);
        cairo_destroy(cr);
        return page;
    }

    void record(Slot &slot, double pixelsPerMil) const
    {
        if (slot.recording)
            cairo_surface_destroy(slot.recording);
        slot.recording = recording(slot.handle, pixelsPerMil);
        slot.recordedAt = pixelsPerMil;
    }

    // A handle (and its recording) is not to be used from two threads at once: two bands drawn
    // at the same time take a slot each, the second parsed when first wanted.
    Slot &acquire(std::unique_lock<std::mutex> &lock) const
    {
        if (m_mutex[0].try_lock()) {
            lock = std::unique_lock(m_mutex[0], std::adopt_lock);
            return m_slots[0];
        }
        bool second;
        {
            const std::lock_guard made(m_making);
            if (!m_slots[1].handle && m_make)
                m_slots[1].handle = m_make();
            m_make = nullptr; // once, whether it worked or not
            second = m_slots[1].handle != nullptr;
        }
        const int i = second ? 1 : 0;
        lock = std::unique_lock(m_mutex[i]);
        return m_slots[i];
    }

    mutable Slot m_slots[2];
    mutable std::function<RsvgHandle *()> m_make;
    QSizeF m_pixels;
    const Drawing m_drawing;
    // How many times as fine as the grid, both ways, the page is drawn, its pixels averaged:
    // librsvg draws what a layer holds with cairo's own tolerance for curves, a tenth of a
    // pixel, which moves a run's end along the flat top of a circle by up to a third of one;
    // drawn twice as fine, a twentieth. A page without layers is drawn with curveTolerance.
    const int m_scale;
    const bool m_filters;
    const double m_reach;
    const bool m_text;
    const QString m_dpiStyle;
    mutable std::mutex m_mutex[2], m_making;
};

// Text in UTF-16, as its byte-order mark tells, in UTF-8, its XML declaration saying so.
QByteArray fromUtf16(const QByteArray &text)
{
    QStringDecoder decode(QStringDecoder::Utf16);
    QByteArray utf8 = QString(decode(text)).toUtf8();
    if (decode.hasError())
        return QByteArray();
    static const QRegularExpression declared(
            QStringLiteral("^<\\?xml[^>]*?encoding\\s*=\\s*(\"[^\"]*\"|'[^']*')"));
    const QRegularExpressionMatch m = declared.match(QString::fromLatin1(utf8.left(200)));
    if (m.hasMatch())
        utf8.replace(m.capturedStart(1), m.capturedLength(1), "\"UTF-8\"");
    return utf8;
}

// The document's text, unpacked if it is gzipped (.svgz), in UTF-8 if it was in UTF-16; null
// if it cannot be read.
QByteArray svgText(const QString &path, const QByteArray *data)
{
    QByteArray text;
    if (data) {
        text = *data;
    } else {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return QByteArray();
        text = file.readAll();
    }
    if (text.startsWith("\x1f\x8b")) {
        GConverter *gunzip = G_CONVERTER(g_zlib_decompressor_new(G_ZLIB_COMPRESSOR_FORMAT_GZIP));
        GInputStream *packed
                = g_memory_input_stream_new_from_data(text.constData(), text.size(), nullptr);
        GInputStream *in = g_converter_input_stream_new(packed, gunzip);
        QByteArray unpacked;
        char chunk[65536];
        gssize got;
        while ((got = g_input_stream_read(in, chunk, sizeof chunk, nullptr, nullptr)) > 0)
            unpacked.append(chunk, got);
        g_object_unref(in);
        g_object_unref(packed);
        g_object_unref(gunzip);
        if (got < 0)
            return QByteArray();
        text = unpacked;
    }
    if (text.startsWith("\xff\xfe") || text.startsWith("\xfe\xff"))
        return fromUtf16(text);
    return text;
}

// Where the root element's start tag begins, past the XML declaration, processing
// instructions, comments and the doctype with its internal subset; -1 where there is none, or
// the text is not in an encoding that keeps ASCII as it is.
qsizetype rootElementAt(const QByteArray &xml)
{
    const qsizetype n = xml.size();
    qsizetype i = xml.startsWith("\xef\xbb\xbf") ? 3 : 0;
    const auto opens = [&](qsizetype at, const char *what) {
        return QByteArrayView(xml).sliced(at).startsWith(what);
    };
    const auto skipPast = [&](const char *end, qsizetype from) {
        const qsizetype at = xml.indexOf(end, from);
        return at < 0 ? n : at + qsizetype(qstrlen(end));
    };
    while (i < n) {
        const char c = xml[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++i;
        } else if (c != '<' || i + 1 >= n) {
            return -1; // UTF-16 and other encodings among them
        } else if (opens(i, "<!--")) {
            i = skipPast("-->", i + 4);
        } else if (xml[i + 1] == '?') {
            i = skipPast("?>", i + 2);
        } else if (opens(i, "<!DOCTYPE")) {
            char quote = 0;
            int depth = 0;
            for (i += 9; i < n; ++i) {
                const char d = xml[i];
                if (quote) {
                    quote = d == quote ? 0 : quote;
                } else if (opens(i, "<!--")) {
                    i = skipPast("-->", i + 4) - 1;
                } else if (d == '"' || d == '\'') {
                    quote = d;
                } else if (d == '[') {
                    ++depth;
                } else if (d == ']') {
                    --depth;
                } else if (d == '>' && depth <= 0) {
                    break;
                }
            }
            ++i;
        } else {
            return i;
        }
    }
    return -1;
}

// Whether the only layers the document can make are those of group opacity, which librsvg
// makes, drawing into a recording, as groups of the recording: no larger than what they hold,
// and replayed into each band as the rest is. Masks, filters, blend modes and embedded images
// are made as images as large as the page even there (a mask of a 6000 x 4000 grid took
// 210 MB, a filter 490 MB). Told by the words that could ask for them, wherever they are: a
// word in a name or in text only costs the slower drawing in pieces.
bool onlyGroupOpacity(const QByteArray &text)
{
    const QByteArray lower = text.toLower();
    for (const char *word : {"mask", "filter", "blend", "isolation", "clip", "<image", ":image"})
        if (lower.contains(word))
            return false;
    return true;
}

// The document with its root inside a page, which bandStyle gives the document's size: drawn
// with a viewport one piece of a band tall, the page is where it would be on the whole page, and
// every layer is the size of the piece. Null where the root is not found.
QByteArray wrapForBands(const QByteArray &xml)
{
    const qsizetype root = rootElementAt(xml);
    if (root < 0)
        return QByteArray();
    return xml.left(root)
            + "<svg xmlns='http://www.w3.org/2000/svg' id='kestrel-root-0b7e'><svg "
              "id='kestrel-page-0b7e' overflow='visible'>"
            + xml.mid(root) + "</svg></svg>";
}

// A copy of the document parsed on a thread of its own while the caller goes on; the handle,
// where it is not taken, is freed.
class Parsing
{
public:
    template<typename Make>
    Parsing(const Make &make, const QByteArray &text)
        : m_handle(std::async(std::launch::async, [make, text] {
              GError *error = nullptr;
              RsvgHandle *handle = make(text, &error);
              g_clear_error(&error);
              return handle;
          }))
    { }
    Parsing(const Parsing &) = delete;
    Parsing &operator=(const Parsing &) = delete;
    ~Parsing()
    {
        if (RsvgHandle *handle = take())
            g_object_unref(handle);
    }

    // The handle once parsed; null where the copy could not be parsed, or was taken before.
    RsvgHandle *take() { return m_handle.valid() ? m_handle.get() : nullptr; }

private:
    std::future<RsvgHandle *> m_handle;
};

// librsvg reads lengths as single-precision floats, so 1638.4mm arrives as 1638.400024: enough
// to make a page of exactly 16384 pitches one pixel wider. The shortest decimal that gives the
// same float is the number the document wrote.
double decimalOfFloat(double v)
{
    const float f = float(v);
    for (int digits = 1; digits <= 9; ++digits) {
        const double d = QByteArray::number(double(f), 'g', digits).toDouble();
        if (float(d) == f)
            return d;
    }
    return v;
}

// A length in an absolute unit in SVG pixels (96 to the inch); 0 for relative units.
double absolutePixels(const RsvgLength &length)
{
    const double v = decimalOfFloat(length.length);
    switch (length.unit) {
    case RSVG_UNIT_PX:
        return v;
    case RSVG_UNIT_IN:
        return v * svgDpi;
    case RSVG_UNIT_CM:
        return v / 2.54 * svgDpi;
    case RSVG_UNIT_MM:
        return v / 25.4 * svgDpi;
    case RSVG_UNIT_PT:
        return v / 72 * svgDpi;
    case RSVG_UNIT_PC:
        return v / 6 * svgDpi;
    default:
        return 0;
    }
}

// A length in an absolute unit other than pixels, in pixels as librsvg reckons it at 96 to the
// inch from the single-precision number it read; 0 for pixels and relative units.
double librsvgPixels(const RsvgLength &length)
{
    switch (length.unit) {
    case RSVG_UNIT_IN:
        return length.length * svgDpi;
    case RSVG_UNIT_CM:
        return length.length * svgDpi / 2.54;
    case RSVG_UNIT_MM:
        return length.length * svgDpi / 25.4;
    case RSVG_UNIT_PT:
        return length.length * svgDpi / 72;
    case RSVG_UNIT_PC:
        return length.length * svgDpi / 6;
    default:
        return 0;
    }
}

// The style of the wrapped document (see bandStyle) that lets the DPI move its page: a DPI of 1 +
// the pixels above a piece moves it up by those, as its y is -1 inch and its transform 1 pixel
// down. Only where no length but the root's width and height depends on the DPI, as the text
// tells cautiously: where it has a number in an absolute unit, a font size by keyword (in
// points), the font shorthand, character references or entities, or another file's style or
// elements, the style is empty and each piece moves the page by a style of its own. The root's
// width and height in absolute units are given in pixels instead, as many as librsvg makes of
// them at 96 to the inch.
QString dpiStyleFor(const QByteArray &text, const QSizeF &pixels, const RsvgLength *width,
                    const RsvgLength *height)
{
    const qsizetype root = rootElementAt(text);
    if (root < 0)
        return QString();
    qsizetype end = root;
    for (char quote = 0; end < text.size() && (quote || text[end] != '>'); ++end) {
        if (text[end] == quote)
            quote = 0;
        else if (!quote && (text[end] == '"' || text[end] == '\''))
            quote = text[end];
    }
    static const QRegularExpression size(
            QStringLiteral("\\s(width|height)\\s*=\\s*(\"[^\"]*\"|'[^']*')"));
    const QString rest = (QString::fromUtf8(text.left(root))
                          + QString::fromUtf8(text.mid(root, end - root)).remove(size)
                          + QString::fromUtf8(text.mid(end)))
                                 .toLower();
    static const QRegularExpression dpi(
            QStringLiteral("[0-9.]\\s*(in|cm|mm|pt|pc)|small|medium|large|font\\s*[:=]|&#|<!entity|"
                           "xml-stylesheet|@import|include|href\\s*=\\s*[\"']\\s*(?!#|data:)|"
                           "url\\(\\s*[\"']?\\s*(?!#)"));
    if (rest.contains(dpi))
        return QString();
    QString rootSize;
    for (const auto &[name, length] : {std::pair{"width", width}, std::pair{"height", height}}) {
        if (length && librsvgPixels(*length) > 0)
            rootSize += QStringLiteral("; %1: %2px !important")
                                .arg(QLatin1String(name))
                                .arg(librsvgPixels(*length), 0, 'g', 17);
    }
    return pageStyle(QStringLiteral("transform: %1 translate(0px, 1px); y: -1in !important")
                             .arg(QLatin1String(transposed)),
                     rootSize, pixels);
}

QString svgProblem(GError *error)
{
    const QString detail
            = error && error->message ? QString::fromUtf8(error->message).trimmed() : QString();
    return detail.isEmpty()
            ? QStringLiteral("The SVG document is damaged or incomplete.")
            : QStringLiteral("The SVG document is damaged or incomplete (%1).").arg(detail);
}

} // namespace

std::unique_ptr<VectorDocument> openSvg(const QString &path, const QByteArray *data, int page,
                                        QString *why)
{
    const auto fail = [why](const QString &text) {
        if (why)
            *why = text;
        return std::unique_ptr<VectorDocument>();
    };
    if (!data && !QFile::exists(path))
        return fail(QStringLiteral("The file does not exist."));
    if (page != 0)
        return fail(
                QStringLiteral("An SVG document has one page; there is no page %1.").arg(page + 1));
    if (data && data->isEmpty())
        return fail(QStringLiteral("The SVG document is empty (0 bytes)."));
    const QByteArray bytes = data ? *data : QByteArray();
    const QByteArray local = QFile::encodeName(path);
    // From the document's own file, references resolve against its folder; librsvg reads no
    // other file, and nothing from the network.
    const auto make = [local, fromFile = data == nullptr](const QByteArray &text, GError **error) {
        RsvgHandle *h = nullptr;
        if (fromFile && text.isNull()) {
            GFile *file = g_file_new_for_path(local.constData());
            h = rsvg_handle_new_from_gfile_sync(file, RSVG_HANDLE_FLAGS_NONE, nullptr, error);
            g_object_unref(file);
        } else {
            GFile *base = fromFile ? g_file_new_for_path(local.constData()) : nullptr;
            GInputStream *in
                    = g_memory_input_stream_new_from_data(text.constData(), text.size(), nullptr);
            h = rsvg_handle_new_from_stream_sync(in, base, RSVG_HANDLE_FLAGS_NONE, nullptr, error);
            g_object_unref(in);
            if (base)
                g_object_unref(base);
        }
        if (h)
            rsvg_handle_set_dpi(h, svgDpi);
        return h;
    };
    // Where the text may ask for layers (see onlyGroupOpacity()), the copy wrapped for drawing in
    // pieces is parsed while the document is, and looked at; the second handle to draw with is
    // parsed later, once the document's own is freed: two copies at most at once.
    const QByteArray text = svgText(path, data);
    const QByteArray wrapped
            = text.isNull() || onlyGroupOpacity(text) ? QByteArray() : wrapForBands(text);
    const std::unique_ptr<Parsing> inPieces
            = wrapped.isEmpty() ? nullptr : std::make_unique<Parsing>(make, wrapped);
    GError *error = nullptr;
    RsvgHandle *handle = make(bytes, &error);
    if (!handle) {
        QFile file(path);
        const bool empty = !data && file.size() == 0;
        const QString problem = empty ? QStringLiteral("The SVG document is empty (0 bytes).")
                                      : svgProblem(error);
        if (error)
            g_error_free(error);
        return fail(problem);
    }
    rsvg_handle_set_dpi(handle, svgDpi);
    double w = 0, h = 0;
    gboolean hasWidth, hasHeight, hasViewBox;
    RsvgLength width, height;
    RsvgRectangle viewBox;
    rsvg_handle_get_intrinsic_dimensions(handle, &hasWidth, &width, &hasHeight, &height,
                                         &hasViewBox, &viewBox);
    if (rsvg_handle_get_intrinsic_size_in_pixels(handle, &w, &h)) {
        if (hasWidth && absolutePixels(width) > 0)
            w = absolutePixels(width);
        if (hasHeight && absolutePixels(height) > 0)
            h = absolutePixels(height);
    } else if (hasViewBox && viewBox.width > 0 && viewBox.height > 0) {
        // A side left out, or a percentage of a viewport there is none of, follows the other
        // side by the viewBox's proportions, as librsvg sizes the page it draws; with neither
        // side, the viewBox's numbers are pixels.
        const double givenWidth = hasWidth ? absolutePixels(width) : 0;
        const double givenHeight = hasHeight ? absolutePixels(height) : 0;
        if (givenWidth > 0) {
            w = givenWidth;
            h = w * viewBox.height / viewBox.width;
        } else if (givenHeight > 0) {
            h = givenHeight;
            w = h * viewBox.width / viewBox.height;
        } else {
            w = viewBox.width;
            h = viewBox.height;
        }
    } else {
        g_object_unref(handle);
        return fail(QStringLiteral("The SVG document gives no size: it has neither a width "
                                   "and height in absolute units nor a viewBox."));
    }
    if (!(w > 0 && h > 0 && std::isfinite(w) && std::isfinite(h))) {
        g_object_unref(handle);
        return fail(
                QStringLiteral("The SVG document's page is empty (%1 x %2 pixels).").arg(w).arg(h));
    }
    Drawing drawing = Drawing::Recorded;
    QByteArray drawn = bytes; // what the handles to draw with are made from; null: the file
    if (!text.isNull() && !onlyGroupOpacity(text) && !recordable(handle)) {
        drawing = Drawing::Whole;
        if (RsvgHandle *pieces = inPieces ? inPieces->take() : nullptr) {
            g_object_unref(handle);
            handle = pieces;
            drawn = wrapped;
            drawing = Drawing::Pieces;
        }
    }
    const QByteArray lower = drawing == Drawing::Recorded ? QByteArray() : text.toLower();
    const QString dpiStyle = drawing == Drawing::Pieces
            ? dpiStyleFor(text, QSizeF(w, h), hasWidth ? &width : nullptr,
                          hasHeight ? &height : nullptr)
            : QString();
    const bool filters = lower.contains("filter");
    const double rootScale = hasViewBox && viewBox.width > 0 && viewBox.height > 0
            ? qMax(w / viewBox.width, h / viewBox.height)
            : 1;
    return std::make_unique<SvgDocument>(handle, QSizeF(w, h), drawing,
                                         drawing != Drawing::Recorded || text.isNull()
                                                 || text.contains("opacity"),
                                         filters, filters ? filterReach(text, rootScale) : 0,
                                         lower.contains("<text") || lower.contains(":text"),
                                         dpiStyle, [make, drawn]() -> RsvgHandle * {
                                             GError *again = nullptr;
                                             RsvgHandle *second = make(drawn, &again);
                                             g_clear_error(&again);
                                             return second;
                                         });
}

} // namespace kcore
