// The PDF reader: Qt PDF, drawing a page at an exact scale a band of rows at a time.
#include "imagealloc.h"
#include "vectordocument.h"

#include <QFileInfo>
#include <QPdfDocument>
#include <QPdfDocumentRenderOptions>
#include <QTemporaryFile>

#include <algorithm>
#include <cmath>
#include <mutex>

namespace kcore {

namespace {

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

// A scaledSize side of Qt PDF's renderer for a clip side of 2, as a scaledSize within an int
// and a clip side - 1 that divides it out; 0 when the side is not a size.
struct Scaled
{
    int size;
    int clip;
};

Scaled scaled(double size)
{
    constexpr double most = 1 << 30;
    if (!(size >= 1 && size < most * most))
        return {0, 1};
    const double clip = std::ceil(size / most);
    return {int(std::round(size / clip)), int(clip)};
}

class PdfDocument : public VectorDocument
{
public:
    PdfDocument(std::unique_ptr<QPdfDocument> pdf, const QSizeF &points, int page)
        : VectorDocument(Pdf, points * (1000.0 / 72), pdf->pageCount(), page),
          m_pdf(std::move(pdf)), m_points(points)
    { }

    QImage renderRows(int width, int top, int rows, double pixelsPerMil,
                      QRgb paper = whitePaper) const override
    {
        if (width <= 0 || rows <= 0 || !fitsImage(width, rows, QImage::Format_RGB32))
            return QImage();
        if (width <= maxTile)
            return renderTile(0, width, top, rows, pixelsPerMil, paper);
        QImage band = allocateImage(width, rows, QImage::Format_RGB32);
        for (int left = 0; left < width && !band.isNull(); left += maxTile) {
            const QImage tile
                    = renderTile(left, qMin(maxTile, width - left), top, rows, pixelsPerMil, paper);
            if (tile.isNull())
                return tile;
            for (int y = 0; y < rows; ++y)
                std::copy_n(tile.constScanLine(y), size_t(tile.width()) * 4,
                            band.scanLine(y) + size_t(left) * 4);
        }
        return band;
    }

private:
    // pdfium draws nothing right of device column 32000: wider bands are drawn in tiles, whose
    // drawing rows (4096 columns at most, pdfSubcolumns to a column of the grid) take 16 MB:
    // larger, each would be mapped afresh and its pages faulted in again, three times the time.
    static constexpr int maxTile = 4096 / pdfSubcolumns;

    // Columns left to left + width - 1 of the rows.
    QImage renderTile(int left, int width, int top, int rows, double pixelsPerMil, QRgb paper) const
    {
        const double perPoint = pixelsPerMil * (1000.0 / 72);
        // Qt PDF (6.4) hands pdfium the matrix (clip width - 1) / image width * scaledSize /
        // page size across, the same down with heights, after the page's own display matrix,
        // which pdfium makes for the page truncated to whole points: an A4 page's 841.89 points
        // are drawn 841 tall. So scaledSize = the exact scale times the image's size times size /
        // whole points / (clip side - 1) leaves the page at its exact size in points, to the
        // float the renderer takes and 0.5 / scaledSize of rounding. The clip is 2 pixels, or
        // as many more as keep scaledSize within an int on wide pages. Its corner moves the
        // page left and up by the columns and rows before the tile. Pixels are drawn pdfSubrows
        // times as tall and pdfSubcolumns times as wide, and averaged (see averageSubrows(),
        // averageColumns()). tst_picture, tst_edges and tst_documents fail if Qt or pdfium
        // change this.
        constexpr int k = pdfSubrows, kx = pdfSubcolumns;
        const double w = m_points.width(), h = m_points.height();
        const Scaled across = scaled(perPoint * kx * width * kx * w * w / std::floor(w));
        const Scaled down = scaled(perPoint * k * rows * k * h * h / std::floor(h));
        if (!across.size || !down.size)
            return QImage();
        QPdfDocumentRenderOptions options;
        options.setScaledSize(QSize(across.size, down.size));
        options.setScaledClipRect(QRect(left * kx, top * k, across.clip + 1, down.clip + 1));
        QImage fine;
        {
            const std::lock_guard lock(m_mutex);
            fine = m_pdf->render(page(), QSize(width * kx, rows * k), options);
        }
        if (fine.isNull())
            return fine;
        fine.convertTo(QImage::Format_ARGB32_Premultiplied);
        const QImage tall = averageSubrows(fine, k, paper);
        return tall.isNull() ? tall : averageColumns(tall, kx);
    }

    std::unique_ptr<QPdfDocument> m_pdf;
    QSizeF m_points;
    mutable std::mutex m_mutex;
};

std::unique_ptr<VectorDocument> openPdfFile(const QString &path, int page, QString *why)
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
    // The renderer draws a page of under a point as nothing.
    if (!(points.width() >= 1 && points.height() >= 1))
        return fail(QStringLiteral("Page %1 of the PDF document is smaller than a point.")
                            .arg(page + 1));
    return std::make_unique<PdfDocument>(std::move(pdf), points, page);
}

} // namespace

std::unique_ptr<VectorDocument> openPdf(const QString &path, const QByteArray *data, int page,
                                        QString *why)
{
    if (!data)
        return openPdfFile(path, page, why);
    QTemporaryFile file;
    if (!file.open() || file.write(*data) != data->size() || !file.flush()) {
        if (why)
            *why = QStringLiteral("The document could not be kept in a temporary file.");
        return nullptr;
    }
    return openPdfFile(file.fileName(), page, why);
}

} // namespace kcore
