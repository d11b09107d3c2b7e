// Vector documents: choosing the reader, the grid a page covers, and the PDF reader (Qt PDF).
#include "vectordocument.h"

#include "imagealloc.h"
#include "rowkernels.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#ifdef KESTREL_VECTOR
#include <QPdfDocument>
#include <QPdfDocumentRenderOptions>
#endif

#include <cmath>
#include <climits>
#include <mutex>

namespace kcore {

const char vectorFilter[] = "*.svg *.svgz *.pdf *.ai";

VectorDocument::VectorDocument(Kind kind, const QSizeF &pageMils, int pageCount, int page)
    : m_kind(kind), m_pageMils(pageMils), m_pageCount(pageCount), m_page(page)
{ }

VectorDocument::~VectorDocument() = default;

namespace {

enum class Sniffed { Picture, Svg, Pdf };

Sniffed sniff(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("svg") || suffix == QLatin1String("svgz"))
        return Sniffed::Svg;
    if (suffix == QLatin1String("pdf") || suffix == QLatin1String("ai"))
        return Sniffed::Pdf;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Sniffed::Picture;
    const QByteArray head = file.read(1024);
    if (head.startsWith("%PDF-"))
        return Sniffed::Pdf;
    // An XML declaration, comments or a doctype may come before the root element.
    const qsizetype svg = head.indexOf("<svg");
    if (svg >= 0 && head.left(svg).trimmed().startsWith('<'))
        return Sniffed::Svg;
    return Sniffed::Picture;
}

// Above this many pixels a side a page could not be held by QImage, whatever the bound.
constexpr double maxSide = double(INT_MAX);

int gridSide(double pixels)
{
    if (!std::isfinite(pixels) || !(pixels > 0))
        return 0;
    // A page that is a whole number of pitches, give or take rounding, is that many pixels.
    const double side = std::ceil(pixels * (1 - 1e-9) - 1e-9);
    return side >= maxSide ? INT_MAX : qMax(1, int(side));
}

} // namespace

bool isVectorFile(const QString &path)
{
    return sniff(path) != Sniffed::Picture;
}

QSize vectorGrid(const QSizeF &pageMils, double scalePercent, double pitch)
{
    const double f = vectorPixelsPerMil(scalePercent, pitch);
    const int w = gridSide(pageMils.width() * f);
    const int h = gridSide(pageMils.height() * f);
    return w && h ? QSize(w, h) : QSize(0, 0);
}

QImage renderVectorPage(const VectorDocument &document, const QSize &grid, double scalePercent,
                        double pitch)
{
    QImage page = allocateImage(grid.width(), grid.height(), QImage::Format_RGB32);
    if (page.isNull())
        return page;
    const double f = vectorPixelsPerMil(scalePercent, pitch);
    for (int top = 0; top < grid.height(); top += vectorBandRows) {
        const int rows = qMin(vectorBandRows, grid.height() - top);
        const QImage band = document.renderRows(grid.width(), top, rows, f);
        if (band.isNull())
            return QImage();
        for (int y = 0; y < rows; ++y)
            std::copy_n(band.constScanLine(y), size_t(band.bytesPerLine()),
                        page.scanLine(top + y));
    }
    return page;
}

QImage averageSubrows(const QImage &fine, int k)
{
    if (k == 1)
        return fine;
    const int width = fine.width();
    const int rows = fine.height() / k;
    QImage band = allocateImage(width, rows, QImage::Format_RGB32);
    if (band.isNull())
        return band;
    std::vector<quint32> sum(size_t(width) * 3);
    for (int y = 0; y < rows; ++y) {
        std::fill(sum.begin(), sum.end(), 0);
        for (int j = 0; j < k; ++j) {
            const auto *in = reinterpret_cast<const quint32 *>(fine.constScanLine(y * k + j));
            for (int x = 0; x < width; ++x) {
                const quint32 c = in[x];
                sum[size_t(x) * 3] += (c >> 16) & 0xff;
                sum[size_t(x) * 3 + 1] += (c >> 8) & 0xff;
                sum[size_t(x) * 3 + 2] += c & 0xff;
            }
        }
        auto *out = reinterpret_cast<quint32 *>(band.scanLine(y));
        const quint32 half = quint32(k / 2);
        for (int x = 0; x < width; ++x) {
            const quint32 *c = &sum[size_t(x) * 3];
            out[x] = 0xff000000u | (c[0] + half) / quint32(k) << 16
                    | (c[1] + half) / quint32(k) << 8 | (c[2] + half) / quint32(k);
        }
    }
    return band;
}

VectorRows::VectorRows(const VectorDocument &document, double scalePercent, double pitch,
                       int threshold, bool invert)
    : m_document(document), m_size(vectorGrid(document.pageMils(), scalePercent, pitch)),
      m_pixelsPerMil(vectorPixelsPerMil(scalePercent, pitch)),
      m_threshold(quint32(qBound(0, threshold, 255))), m_flip(invert ? 0x00ffffffu : 0u),
      m_greyRow(size_t(m_size.width())), m_bwRow(size_t(m_size.width()))
{ }

const quint32 *VectorRows::row(int y)
{
    if (y == m_row)
        return m_bwRow.data();
    const int top = y / vectorBandRows * vectorBandRows;
    if (top != m_bandTop || m_band.isNull()) {
        m_band = QImage();
        if (m_next.valid() && m_nextTop == top)
            m_band = m_next.get();
        else
            m_band = bandAt(top);
        m_bandTop = top;
        if (m_band.isNull())
            return nullptr;
        const int next = top + vectorBandRows;
        if (next < m_size.height() && !m_next.valid()) {
            m_nextTop = next;
            m_next = std::async(std::launch::async, [this, next] { return bandAt(next); });
        }
    }
    const int w = m_size.width();
    greyRow(reinterpret_cast<const quint32 *>(m_band.constScanLine(y - top)), m_greyRow.data(), w,
            false);
    clipRow(m_greyRow.data(), m_bwRow.data(), w, m_threshold, m_flip, false);
    m_row = y;
    return m_bwRow.data();
}

QImage VectorRows::bandAt(int top) const
{
    return m_document.renderRows(m_size.width(), top, qMin(vectorBandRows, m_size.height() - top),
                                 m_pixelsPerMil);
}

GreyLevels VectorRows::edgeLevels(int y)
{
    if (y != m_row)
        row(y);
    // The low byte of each grey word, wherever the CPU keeps it.
    const auto *bytes = reinterpret_cast<const uchar *>(m_greyRow.data());
    return {Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? bytes : bytes + 3, 4};
}

#ifdef KESTREL_VECTOR

namespace {

// Lays premultiplied ARGB rows over white paper, in place: c + (255 - a) per channel.
void overWhitePaper(QImage &image)
{
    for (int y = 0; y < image.height(); ++y) {
        auto *p = reinterpret_cast<quint32 *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const quint32 c = p[x];
            const quint32 paper = 255 - (c >> 24);
            p[x] = 0xff000000u | ((c & 0x00ffffffu) + paper * 0x010101u);
        }
    }
    image.reinterpretAsFormat(QImage::Format_RGB32);
}

QString pdfProblem(QPdfDocument::Error error)
{
    switch (error) {
    case QPdfDocument::Error::FileNotFound:
        return QStringLiteral("The file does not exist.");
    case QPdfDocument::Error::IncorrectPassword:
    case QPdfDocument::Error::UnsupportedSecurityScheme:
        return QStringLiteral("The PDF document is encrypted; kestrel reads only documents "
                              "without a password.");
    case QPdfDocument::Error::InvalidFileFormat:
        return QStringLiteral("The PDF document is damaged or incomplete.");
    default:
        return QStringLiteral("The PDF document could not be read.");
    }
}

class PdfDocument : public VectorDocument
{
public:
    PdfDocument(std::unique_ptr<QPdfDocument> pdf, const QSizeF &points, int page)
        : VectorDocument(Pdf, points * (1000.0 / 72), pdf->pageCount(), page),
          m_pdf(std::move(pdf)), m_points(points)
    { }

    QImage renderRows(int width, int top, int rows, double pixelsPerMil) const override
    {
        if (width <= 0 || rows <= 0 || !fitsImage(width, rows, QImage::Format_RGB32))
            return QImage();
        const double perPoint = pixelsPerMil * (1000.0 / 72);
        // Qt PDF scales the page to a whole number of pixels, scaledSize, then by (clip width -
        // 1) / image width: with a clip 2 pixels wide, scaledSize = the exact scale times the
        // image's size keeps the page's scale exact to the float the renderer takes, where a
        // page scaled to a whole number of pixels would stretch by up to a pixel. The clip's
        // corner moves the page up by the rows above the band. Rows are drawn pdfSubrows
        // times as tall and averaged (see averageSubrows()).
        constexpr int k = pdfSubrows;
        const double sw = std::round(perPoint * m_points.width() * width);
        const double sh = std::round(perPoint * k * m_points.height() * rows * k);
        if (!(sw >= 1 && sh >= 1 && sw < INT_MAX && sh < INT_MAX))
            return QImage();
        QPdfDocumentRenderOptions options;
        options.setScaledSize(QSize(int(sw), int(sh)));
        options.setScaledClipRect(QRect(0, top * k, 2, 2));
        QImage fine;
        {
            const std::lock_guard lock(m_mutex);
            fine = m_pdf->render(page(), QSize(width, rows * k), options);
        }
        if (fine.isNull())
            return fine;
        fine.convertTo(QImage::Format_ARGB32_Premultiplied);
        overWhitePaper(fine);
        return averageSubrows(fine, k);
    }

private:
    std::unique_ptr<QPdfDocument> m_pdf;
    QSizeF m_points;
    mutable std::mutex m_mutex;
};

std::unique_ptr<VectorDocument> openPdf(const QString &path, int page, QString *why)
{
    const auto fail = [why](const QString &text) {
        if (why)
            *why = text;
        return std::unique_ptr<VectorDocument>();
    };
    QFileInfo info(path);
    if (!info.exists())
        return fail(QStringLiteral("The file does not exist."));
    if (info.size() == 0)
        return fail(QStringLiteral("The PDF document is empty (0 bytes)."));
    auto pdf = std::make_unique<QPdfDocument>();
    const QPdfDocument::Error error = pdf->load(path);
    if (error != QPdfDocument::Error::None)
        return fail(pdfProblem(error));
    if (pdf->pageCount() <= 0)
        return fail(QStringLiteral("The PDF document has no pages."));
    if (page < 0 || page >= pdf->pageCount())
        return fail(QStringLiteral("The PDF document has %1 page(s); there is no page %2.")
                            .arg(pdf->pageCount())
                            .arg(page + 1));
    const QSizeF points = pdf->pagePointSize(page);
    if (!(points.width() > 0 && points.height() > 0))
        return fail(QStringLiteral("Page %1 of the PDF document has no size.").arg(page + 1));
    return std::make_unique<PdfDocument>(std::move(pdf), points, page);
}

} // namespace

std::unique_ptr<VectorDocument> openSvg(const QString &path, const QByteArray *data, int page,
                                        QString *why);

bool vectorSupport()
{
    return true;
}

std::unique_ptr<VectorDocument> VectorDocument::open(const QString &path, int page, QString *why)
{
    if (sniff(path) == Sniffed::Svg)
        return openSvg(path, nullptr, page, why);
    return openPdf(path, page, why);
}

std::unique_ptr<VectorDocument> VectorDocument::fromData(const QByteArray &data, Kind kind,
                                                         int page, QString *why)
{
    if (kind == Svg)
        return openSvg(QString(), &data, page, why);
    QTemporaryFile file;
    if (!file.open() || file.write(data) != data.size() || !file.flush()) {
        if (why)
            *why = QStringLiteral("The document could not be kept in a temporary file.");
        return nullptr;
    }
    return openPdf(file.fileName(), page, why);
}

#else

bool vectorSupport()
{
    return false;
}

namespace {

std::unique_ptr<VectorDocument> unsupported(QString *why)
{
    if (why)
        *why = QStringLiteral("This build of kestrel reads no vector documents (SVG, PDF); "
                              "convert the logo into a PNG picture first.");
    return nullptr;
}

} // namespace

std::unique_ptr<VectorDocument> VectorDocument::open(const QString &, int, QString *why)
{
    return unsupported(why);
}

std::unique_ptr<VectorDocument> VectorDocument::fromData(const QByteArray &, Kind, int,
                                                         QString *why)
{
    return unsupported(why);
}

#endif

} // namespace kcore
