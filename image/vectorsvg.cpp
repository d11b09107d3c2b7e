// The SVG reader: librsvg, which draws full SVG 1.1 with CSS, clip paths and masks.
// librsvg's GLib headers use names Qt defines as macros (signals, slots): they come first.
#include <librsvg/rsvg.h>

#include "imagealloc.h"
#include "vectordocument.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringDecoder>

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
// pixels above the band (%1; librsvg does not apply an !important transform), sizes it as the
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

// bandStyle for a page of pixels.
QString pageStyle(const QString &move, const QString &root, const QSizeF &pixels)
{
    return QString::fromLatin1(bandStyle).arg(move, root, QString::number(pixels.width(), 'g', 17),
                                              QString::number(pixels.height(), 'g', 17));
}

// Layers drawn in pieces of a band are kept to about this many bytes each: a blur filter makes
// several images the size of its layer. Without filters (masks, blend modes, images) a layer
// is a few images at most: under a mask, three at once beside the piece's own rows. Each piece
// costs a walk of the whole document, so pieces are as large as the memory bound allows: a
// 6000-pixel band of four rows to a row in two pieces, each drawn into rows of its own, holds
// what three did drawn into the band's.
constexpr qsizetype layerBytes = qsizetype(2) << 20;
constexpr qsizetype unfilteredLayerBytes = qsizetype(6) << 20;

// A document with filters is drawn whole, not in pieces, where a layer of the page takes no
// more than this: a blur makes several images the size of its layer, on each of two threads.
constexpr qsizetype wholeLayerBytes = qsizetype(8) << 20;

// The largest side of an image cairo makes.
constexpr double cairoLargest = 32767;

class SvgDocument : public VectorDocument
{
public:
    // make parses the document again, for a second handle to draw with.
    // filters, text: whether the document may have filters, text (see renderRows()).
    // dpiStyle: the style of a document drawn in pieces whose page the DPI moves, if it can
    // be (see dpiStyleFor()).
    SvgDocument(RsvgHandle *handle, const QSizeF &pixels, Drawing drawing, bool filters, bool text,
                const QString &dpiStyle, std::function<RsvgHandle *()> make)
        : VectorDocument(Svg, pixels * milsPerSvgPixel, 1, 0), m_make(std::move(make)),
          m_pixels(pixels), m_drawing(drawing), m_filters(filters), m_text(text),
          m_dpiStyle(dpiStyle)
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
        constexpr int k = svgSubrows;
        const double f = pixelsPerMil * milsPerSvgPixel;
        if (m_drawing == Drawing::Whole
            && std::max(m_pixels.width() * f, m_pixels.height() * f * k) > cairoLargest)
            return QImage(); // its layers could not be made: nothing of them would be drawn
        std::unique_lock<std::mutex> lock;
        Slot &slot = acquire(lock);
        if (m_drawing == Drawing::Pieces && !m_filters)
            return drawPieces(slot, width, top * k, rows * k, pixelsPerMil, paper);
        QImage fine = fineRows(slot, width, rows * k);
        if (fine.isNull())
            return QImage();
        cairo_surface_t *surface = cairo_image_surface_create_for_data(
                fine.bits(), CAIRO_FORMAT_ARGB32, width, rows * k, int(fine.bytesPerLine()));
        cairo_t *cr = gridContext(surface);
        // What cannot be drawn stays paper: librsvg stops only at an element it cannot draw at
        // all, keeping what it drew before.
        switch (m_drawing) {
        case Drawing::Recorded:
            // librsvg walks the whole document for every band, however little of it falls
            // there; a recording of the page is walked once, and cairo replays only the shapes
            // that reach the band, every pixel of which it sets.
            if (!slot.recording || slot.recordedAt != pixelsPerMil)
                record(slot, pixelsPerMil);
            cairo_set_source_surface(cr, slot.recording, 0, -double(top) * k);
            cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
            cairo_paint(cr);
            break;
        case Drawing::Pieces:
            fine.fill(Qt::transparent);
            if (wholeFits(width, pixelsPerMil)) {
                // A filter reaches across rows (a blur, an offset): drawn in pieces, it would
                // miss what lies in the next. A page small enough is drawn whole, in one piece.
                const int pageRows = int(std::ceil(m_pixels.height() * f * k));
                cairo_translate(cr, 0, -double(top));
                // The page's own rows only: the grid's last row may reach past it, as paper.
                cairo_rectangle(cr, 0, 0, width, double(pageRows) / k);
                cairo_clip(cr);
                drawPiece(slot, cr, width, 0, pageRows, pixelsPerMil);
                break;
            }
            // Pieces of layerBytes, each clipped to its rows of the band: a blur is cut at their
            // edges, less so where they split a row of the grid.
            for (int r = 0,
                     piece = int(qBound(qsizetype(1), layerBytes / (4 * qsizetype(width)),
                                        qsizetype(rows * k)));
                 r < rows * k; r += piece) {
                const int n = qMin(piece, rows * k - r);
                cairo_save(cr);
                cairo_rectangle(cr, 0, double(r) / k, width, double(n) / k);
                cairo_clip(cr);
                cairo_translate(cr, 0, double(r) / k);
                const bool drawn = drawPiece(slot, cr, width, top * k + r, n, pixelsPerMil);
                cairo_restore(cr);
                if (!drawn)
                    break;
            }
            break;
        case Drawing::Whole:
            fine.fill(Qt::transparent);
            cairo_translate(cr, 0, -double(top));
            draw(slot.handle, cr, pixelsPerMil);
            break;
        }
        cairo_destroy(cr);
        cairo_surface_flush(surface);
        cairo_surface_destroy(surface);
        return averageSubrows(fine, k, paper);
    }
    int concurrentBands() const override { return 2; }

private:
    struct Slot
    {
        RsvgHandle *handle = nullptr;
        cairo_surface_t *recording = nullptr; // the page at recordedAt pixels to the mil
        double recordedAt = 0;
        QImage fine; // the rows a band, or a piece of it, is drawn in
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

    // count rows of the slot's drawing rows, width wide, kept from band to band: fresh, their
    // pages would cost the kernel as much to clear as cairo takes to draw them. Null when
    // memory runs out.
    static QImage fineRows(Slot &slot, int width, int count)
    {
        if (slot.fine.width() != width || slot.fine.height() < count)
            slot.fine = allocateImage(width, count, QImage::Format_ARGB32_Premultiplied);
        if (slot.fine.isNull())
            return QImage();
        return QImage(slot.fine.bits(), width, count, slot.fine.bytesPerLine(),
                      QImage::Format_ARGB32_Premultiplied);
    }

    // A context on surface, svgSubrows rows of it to a row of the grid, whose unit down is a
    // row of the grid.
    cairo_t *gridContext(cairo_surface_t *surface) const
    {
        // The rows are made taller by the surface, not the drawing's transform: under a scale
        // that is not the same both ways, librsvg measures text k times too wide, so centred
        // and right-aligned text and every span after the first move right. A recording is
        // replayed pixel for pixel; a document without text or filters is drawn as it always
        // was, by the transform.
        const bool tallSurface = m_drawing != Drawing::Recorded && (m_text || m_filters);
        if (tallSurface)
            cairo_surface_set_device_scale(surface, 1, svgSubrows);
        cairo_t *cr = cairo_create(surface);
        if (!tallSurface && m_drawing != Drawing::Recorded)
            cairo_scale(cr, 1, svgSubrows);
        return cr;
    }

    // Rows [first, first + count) of the page, svgSubrows to a row of the grid, averaged into a
    // band; null when memory runs out. Drawn a piece of at most unfilteredLayerBytes at a time
    // into rows of its own, as large as each of the layers librsvg makes for it.
    QImage drawPieces(Slot &slot, int width, int first, int count, double pixelsPerMil,
                      QRgb paper) const
    {
        constexpr int k = svgSubrows;
        QImage band = allocateImage(width, count / k, QImage::Format_RGB32);
        if (band.isNull())
            return band;
        const int most = int(qBound(qsizetype(1), unfilteredLayerBytes / (4 * qsizetype(width)) / k,
                                    qsizetype(count / k)));
        const int pieces = (count / k + most - 1) / most;
        const int piece = (count / k + pieces - 1) / pieces * k; // as even as whole rows allow
        for (int r = 0; r < count; r += piece) {
            const int n = qMin(piece, count - r);
            QImage fine = fineRows(slot, width, n);
            if (fine.isNull())
                return QImage();
            fine.fill(Qt::transparent);
            cairo_surface_t *surface = cairo_image_surface_create_for_data(
                    fine.bits(), CAIRO_FORMAT_ARGB32, width, n, int(fine.bytesPerLine()));
            cairo_t *cr = gridContext(surface);
            const bool drawn = drawPiece(slot, cr, width, first + r, n, pixelsPerMil);
            cairo_destroy(cr);
            cairo_surface_flush(surface);
            cairo_surface_destroy(surface);
            averageSubrows(fine, k, band, r / k, paper);
            if (!drawn) {
                // The rest stays paper, as what librsvg cannot draw does.
                for (int y = (r + n) / k; y < band.height(); ++y)
                    std::fill_n(reinterpret_cast<quint32 *>(band.scanLine(y)), width, paper);
                break;
            }
        }
        return band;
    }

    // Rows [first, first + count) of the page, svgSubrows to a row of the grid, into cr's rows
    // from 0 (a unit down of cr is a row of the grid): the viewport of the wrapped document, its
    // page moved up by the rows above. The root is not clipped to its viewport: what reaches
    // past the rows is another piece's to draw. False where the style could not be set.
    bool drawPiece(Slot &slot, cairo_t *cr, int width, int first, int count,
                   double pixelsPerMil) const
    {
        const double fx = pixelsPerMil * milsPerSvgPixel, fy = fx * svgSubrows;
        if (!m_dpiStyle.isEmpty()) {
            // A new style is cascaded through the whole document again, as long as a fifth of a
            // piece's drawing; the DPI is only read while drawing.
            if (!slot.styled && !setStyle(slot.handle, m_dpiStyle))
                return false;
            slot.styled = true;
            rsvg_handle_set_dpi_x_y(slot.handle, svgDpi, 1 + first / fy);
        } else {
            const QString move = QStringLiteral("transform: translate(0px, %1px)")
                                         .arg(-first / fy, 0, 'g', 17);
            if (!setStyle(slot.handle, pageStyle(move, QString(), m_pixels)))
                return false;
        }
        cairo_save(cr);
        cairo_scale(cr, fx, fx);
        renderDocument(slot.handle, cr, {0, 0, width / fx, count / fy},
                       piecesOnThreads() ? &slot.thread : nullptr);
        cairo_restore(cr);
        return true;
    }

    // Whether a layer of the whole page, its rows svgSubrows times as tall, stays within
    // wholeLayerBytes and the largest image cairo makes.
    bool wholeFits(int width, double pixelsPerMil) const
    {
        const double rows = m_pixels.height() * pixelsPerMil * milsPerSvgPixel * svgSubrows;
        return 4.0 * width * std::ceil(rows) <= double(wholeLayerBytes) && rows <= cairoLargest;
    }

    // The whole page as the bands see it, rows svgSubrows times as tall: geometry kept as
    // paths, so replaying it into a band gives the pixels drawing it there would.
    void record(Slot &slot, double pixelsPerMil) const
    {
        if (slot.recording)
            cairo_surface_destroy(slot.recording);
        slot.recording = cairo_recording_surface_create(CAIRO_CONTENT_COLOR_ALPHA, nullptr);
        slot.recordedAt = pixelsPerMil;
        cairo_surface_set_device_scale(slot.recording, 1, svgSubrows);
        cairo_t *cr = cairo_create(slot.recording);
        draw(slot.handle, cr, pixelsPerMil);
        cairo_destroy(cr);
        cairo_surface_set_device_scale(slot.recording, 1, 1);
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
    const bool m_filters, m_text;
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
    return pageStyle(QStringLiteral("transform: translate(0px, 1px); y: -1in !important"), rootSize,
                     pixels);
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
    return std::make_unique<SvgDocument>(handle, QSizeF(w, h), drawing, lower.contains("filter"),
                                         lower.contains("<text") || lower.contains(":text"),
                                         dpiStyle, [make, drawn]() -> RsvgHandle * {
                                             GError *again = nullptr;
                                             RsvgHandle *second = make(drawn, &again);
                                             g_clear_error(&again);
                                             return second;
                                         });
}

} // namespace kcore
