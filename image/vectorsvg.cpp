// The SVG reader: librsvg, which draws full SVG 1.1 with CSS, clip paths and masks.
// librsvg's GLib headers use names Qt defines as macros (signals, slots): they come first.
#include <librsvg/rsvg.h>

#include "imagealloc.h"
#include "vectordocument.h"

#include <QFile>

#include <cmath>
#include <functional>
#include <mutex>

namespace kcore {

namespace {

// SVG lengths resolve at 96 pixels to the inch, as CSS defines the pixel.
constexpr double svgDpi = 96;
constexpr double milsPerSvgPixel = 1000.0 / svgDpi;

class SvgDocument : public VectorDocument
{
public:
    // make parses the document again, for a second handle to draw with.
    SvgDocument(RsvgHandle *handle, const QSizeF &pixels, std::function<RsvgHandle *()> make)
        : VectorDocument(Svg, pixels * milsPerSvgPixel, 1, 0), m_handles{handle, nullptr},
          m_make(std::move(make)), m_pixels(pixels)
    { }
    ~SvgDocument() override
    {
        for (RsvgHandle *h : m_handles)
            if (h)
                g_object_unref(h);
    }

    QImage renderRows(int width, int top, int rows, double pixelsPerMil) const override
    {
        if (width <= 0 || rows <= 0)
            return QImage();
        constexpr int k = svgSubrows;
        QImage fine = allocateImage(width, rows * k, QImage::Format_ARGB32_Premultiplied);
        if (fine.isNull())
            return fine;
        fine.fill(Qt::white);
        cairo_surface_t *surface = cairo_image_surface_create_for_data(
                fine.bits(), CAIRO_FORMAT_ARGB32, width, rows * k, int(fine.bytesPerLine()));
        cairo_t *cr = cairo_create(surface);
        cairo_scale(cr, 1, k);
        cairo_translate(cr, 0, -double(top));
        const double f = pixelsPerMil * milsPerSvgPixel;
        const RsvgRectangle viewport{0, 0, m_pixels.width() * f, m_pixels.height() * f};
        GError *error = nullptr;
        {
            std::unique_lock<std::mutex> lock;
            RsvgHandle *handle = acquire(lock);
            // What cannot be drawn stays paper: librsvg stops only at an element it cannot draw
            // at all, keeping what it drew before.
            rsvg_handle_render_document(handle, cr, &viewport, &error);
        }
        if (error)
            g_error_free(error);
        cairo_destroy(cr);
        cairo_surface_flush(surface);
        cairo_surface_destroy(surface);
        return averageSubrows(fine, k); // over white, so every pixel is opaque
    }
    int concurrentBands() const override { return 2; }

private:
    // A handle is not to be drawn from two threads at once: two bands drawn at the same time
    // take one each, the second parsed when first wanted.
    RsvgHandle *acquire(std::unique_lock<std::mutex> &lock) const
    {
        if (m_mutex[0].try_lock()) {
            lock = std::unique_lock(m_mutex[0], std::adopt_lock);
            return m_handles[0];
        }
        RsvgHandle *second;
        {
            const std::lock_guard made(m_making);
            if (!m_handles[1] && m_make)
                m_handles[1] = m_make();
            m_make = nullptr; // once, whether it worked or not
            second = m_handles[1];
        }
        const int i = second ? 1 : 0;
        lock = std::unique_lock(m_mutex[i]);
        return m_handles[i];
    }

    mutable RsvgHandle *m_handles[2];
    mutable std::function<RsvgHandle *()> m_make;
    QSizeF m_pixels;
    mutable std::mutex m_mutex[2], m_making;
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

QString svgProblem(GError *error)
{
    const QString detail = error && error->message ? QString::fromUtf8(error->message).trimmed()
                                                   : QString();
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
        return fail(QStringLiteral("An SVG document has one page; there is no page %1.")
                            .arg(page + 1));
    if (data && data->isEmpty())
        return fail(QStringLiteral("The SVG document is empty (0 bytes)."));
    const QByteArray bytes = data ? *data : QByteArray();
    const QByteArray local = QFile::encodeName(path);
    const auto make = [bytes, local, fromData = data != nullptr](GError **error) {
        RsvgHandle *h = nullptr;
        if (fromData) {
            h = rsvg_handle_new_from_data(reinterpret_cast<const guint8 *>(bytes.constData()),
                                          gsize(bytes.size()), error);
        } else {
            // From a GFile, so references resolve against the document's folder; librsvg reads
            // no other file, and nothing from the network.
            GFile *file = g_file_new_for_path(local.constData());
            h = rsvg_handle_new_from_gfile_sync(file, RSVG_HANDLE_FLAGS_NONE, nullptr, error);
            g_object_unref(file);
        }
        if (h)
            rsvg_handle_set_dpi(h, svgDpi);
        return h;
    };
    GError *error = nullptr;
    RsvgHandle *handle = make(&error);
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
    } else {
        // No width and height, or percentages of a viewport there is none of: the viewBox's
        // numbers are then pixels.
        if (!hasViewBox) {
            g_object_unref(handle);
            return fail(QStringLiteral("The SVG document gives no size: it has neither a width "
                                       "and height in absolute units nor a viewBox."));
        }
        w = viewBox.width;
        h = viewBox.height;
    }
    if (!(w > 0 && h > 0 && std::isfinite(w) && std::isfinite(h))) {
        g_object_unref(handle);
        return fail(QStringLiteral("The SVG document's page is empty (%1 x %2 pixels).")
                            .arg(w)
                            .arg(h));
    }
    return std::make_unique<SvgDocument>(handle, QSizeF(w, h), [make]() -> RsvgHandle * {
        GError *again = nullptr;
        RsvgHandle *second = make(&again);
        if (again)
            g_error_free(again);
        return second;
    });
}

} // namespace kcore
