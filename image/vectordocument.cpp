// Vector documents: choosing the reader, the grid a page covers, and the PDF reader (Qt PDF).
#include "vectordocument.h"

#include "imagealloc.h"
#include "rowkernels.h"

#include <QFile>
#include <QFileInfo>

#include <QCoreApplication>
#include <QLibrary>

#include <climits>
#include <cmath>
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
    VectorDocument::Kind kind;
    if (!isVectorData(file.read(1024), &kind))
        return Sniffed::Picture;
    return kind == VectorDocument::Svg ? Sniffed::Svg : Sniffed::Pdf;
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

bool isVectorData(const QByteArray &data, VectorDocument::Kind *kind)
{
    const QByteArray head = data.left(1024);
    if (head.startsWith("%PDF-")) {
        *kind = VectorDocument::Pdf;
        return true;
    }
    // An XML declaration, comments or a doctype may come before the root element, or nothing.
    const qsizetype svg = head.indexOf("<svg");
    const QByteArray before = head.left(qMax<qsizetype>(svg, 0)).trimmed();
    if (svg >= 0 && (before.isEmpty() || before.startsWith('<'))) {
        *kind = VectorDocument::Svg;
        return true;
    }
    return false;
}

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
                        double pitch, QRgb paper)
{
    QImage page = allocateImage(grid.width(), grid.height(), QImage::Format_RGB32);
    if (page.isNull())
        return page;
    const double f = vectorPixelsPerMil(scalePercent, pitch);
    // Rows reached through the bits, once: scanLine() on two threads would race on the image.
    uchar *const bits = page.bits();
    const qsizetype stride = page.bytesPerLine();
    const auto draw = [&](int top) {
        const QImage band = document.renderRows(
                grid.width(), top, qMin(vectorBandRows, grid.height() - top), f, paper);
        for (int y = 0; y < band.height(); ++y)
            std::copy_n(band.constScanLine(y), size_t(stride), bits + (top + y) * stride);
        return !band.isNull();
    };
    // Bands two at a time where the renderer draws two at once.
    const int step = vectorBandRows * qMax(1, document.concurrentBands());
    for (int top = 0; top < grid.height(); top += step) {
        std::vector<std::future<bool>> others;
        for (int t = top + vectorBandRows; t < qMin(grid.height(), top + step); t += vectorBandRows)
            others.push_back(std::async(std::launch::async, draw, t));
        bool ok = draw(top);
        for (std::future<bool> &other : others)
            ok = other.get() && ok;
        if (!ok)
            return QImage();
    }
    return page;
}

namespace {

// Over white, a premultiplied channel c of alpha a shows c + 255 - a; the k rows' sum of that,
// rounded, divided by k, is (sum of c - sum of a + 255 k + k / 2) >> log2(k), and alpha comes out
// 255 by the same formula.
template<int k>
void averageRows(const QImage &fine, QImage &band)
{
    static_assert(k >= 2 && k <= 8 && (k & (k - 1)) == 0, "sums of 8 bits fit 16-bit lanes");
    constexpr int shift = k == 2 ? 1 : k == 4 ? 2 : 3;
    constexpr quint32 bias = 255 * k + k / 2;
    const int width = fine.width();
    for (int y = 0; y < band.height(); ++y) {
        const quint32 *in[k];
        for (int j = 0; j < k; ++j)
            in[j] = reinterpret_cast<const quint32 *>(fine.constScanLine(y * k + j));
        auto *out = reinterpret_cast<quint32 *>(band.scanLine(y));
        int x = 0;
#ifdef __SSE2__
        // Four pixels at a time, each channel in a 16-bit lane.
        const __m128i zero = _mm_setzero_si128();
        const __m128i biasLanes = _mm_set1_epi16(short(bias));
        for (; x + 4 <= width; x += 4) {
            __m128i low = zero, high = zero;
            for (int j = 0; j < k; ++j) {
                const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in[j] + x));
                low = _mm_add_epi16(low, _mm_unpacklo_epi8(c, zero));
                high = _mm_add_epi16(high, _mm_unpackhi_epi8(c, zero));
            }
            const auto shown = [&](__m128i sum) {
                const __m128i alpha = _mm_shufflehi_epi16(
                        _mm_shufflelo_epi16(sum, _MM_SHUFFLE(3, 3, 3, 3)), _MM_SHUFFLE(3, 3, 3, 3));
                return _mm_srli_epi16(_mm_add_epi16(_mm_sub_epi16(sum, alpha), biasLanes), shift);
            };
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + x),
                             _mm_packus_epi16(shown(low), shown(high)));
        }
#endif
        // The same in 16-bit lanes of a 64-bit word: blue, red, green, alpha from the bottom.
        constexpr quint64 lanes = 0x0000000100010001ull;
        for (; x < width; ++x) {
            quint64 sum = 0;
            for (int j = 0; j < k; ++j) {
                const quint64 c = in[j][x];
                sum += (c & 0x00ff00ffu) | (c & 0x0000ff00u) << 24 | (c & 0xff000000u) << 24;
            }
            sum = ((sum & 0x0000ffffffffffffull) + (bias - (sum >> 48)) * lanes) >> shift;
            // What spilt into the lanes' top bits is masked off.
            out[x] = 0xff000000u | (quint32(sum) & 0x00ff00ffu) | (quint32(sum >> 24) & 0xff00u);
        }
    }
}

} // namespace

QImage averageColumns(const QImage &wide, int k)
{
    Q_ASSERT(k == 2 || k == 4);
    const int shift = k == 2 ? 1 : 2;
    QImage narrow = allocateImage(wide.width() / k, wide.height(), QImage::Format_RGB32);
    for (int y = 0; y < narrow.height(); ++y) {
        const auto *in = reinterpret_cast<const quint32 *>(wide.constScanLine(y));
        auto *out = reinterpret_cast<quint32 *>(narrow.scanLine(y));
        // Red and blue, and green, summed in lanes of 16 bits, rounded.
        const quint32 half = 0x00010001u << (shift - 1);
        for (int x = 0; x < narrow.width(); ++x, in += k) {
            quint32 rb = half, g = half;
            for (int j = 0; j < k; ++j) {
                rb += in[j] & 0x00ff00ffu;
                g += (in[j] >> 8) & 0xffu;
            }
            out[x] = 0xff000000u | ((rb >> shift) & 0x00ff00ffu) | ((g >> shift) & 0xffu) << 8;
        }
    }
    return narrow;
}

QImage averageSubrows(const QImage &fine, int k, QRgb paper)
{
    QImage band = allocateImage(fine.width(), fine.height() / k, QImage::Format_RGB32);
    if (!band.isNull())
        averageSubrows(fine, k, band, 0, paper);
    return band;
}

void averageSubrows(const QImage &fine, int k, QImage &band, int at, QRgb paper)
{
    // The rows from at, as an image of their own, so that averageRows() fills just those.
    QImage rows(band.scanLine(at), band.width(), fine.height() / k, band.bytesPerLine(),
                QImage::Format_RGB32);
    if (paper != whitePaper) {
        // Paper of another colour shows through in its own share: seldom asked, so plainly.
        for (int y = 0; y < rows.height(); ++y) {
            auto *out = reinterpret_cast<quint32 *>(rows.scanLine(y));
            for (int x = 0; x < rows.width(); ++x) {
                int sum[4] = {};
                for (int j = 0; j < k; ++j) {
                    const QRgb c = reinterpret_cast<const QRgb *>(fine.constScanLine(y * k + j))[x];
                    sum[0] += qRed(c);
                    sum[1] += qGreen(c);
                    sum[2] += qBlue(c);
                    sum[3] += qAlpha(c);
                }
                const int bare = 255 * k - sum[3];
                const auto channel = [&](int s, int p) {
                    return qBound(0, (s * 255 + bare * p + 255 * k / 2) / (255 * k), 255);
                };
                out[x] = qRgb(channel(sum[0], qRed(paper)), channel(sum[1], qGreen(paper)),
                              channel(sum[2], qBlue(paper)));
            }
        }
        return;
    }
    switch (k) {
    case 2:
        averageRows<2>(fine, rows);
        break;
    case 4:
        averageRows<4>(fine, rows);
        break;
    default:
        Q_ASSERT(k == 8);
        averageRows<8>(fine, rows);
    }
}

void transposeOverPaper(const QImage &columns, int first, QImage &band, QRgb paper, int scale)
{
    Q_ASSERT(scale == 1 || scale == 2 || scale == 4);
    const int width = band.width(), rows = band.height();
    const int shift = scale == 1 ? 0 : scale == 2 ? 2 : 4; // log2 of the pixels averaged
    const qsizetype in = columns.bytesPerLine() / 4, out = band.bytesPerLine() / 4;
    const quint32 *from = reinterpret_cast<const quint32 *>(columns.constBits()) + first * scale;
    auto *to = reinterpret_cast<quint32 *>(band.bits());
    // A premultiplied channel c of alpha a shows c + (255 - a) p / 255 over paper p: over white,
    // c + 255 - a in every channel at once, which cannot carry into the next.
    const bool white = paper == whitePaper;
    const auto over = [&](quint32 c) {
        const quint32 bare = 255 - (c >> 24);
        if (white)
            return 0xff000000u | ((c & 0x00ffffffu) + bare * 0x010101u);
        const auto channel = [&](int at) {
            return ((c >> at) & 0xff) + (bare * ((paper >> at) & 0xff) + 127) / 255;
        };
        return 0xff000000u | channel(16) << 16 | channel(8) << 8 | channel(0);
    };
    // The scale x scale pixels of a pixel of the grid, averaged: alpha and green, red and blue
    // summed two at a time in 16-bit lanes, which 16 pixels cannot overflow.
    const auto pixel = [&](const quint32 *p) {
        if (scale == 1)
            return *p;
        quint32 ag = 0, rb = 0;
        for (int i = 0; i < scale; ++i, p += in) {
            for (int j = 0; j < scale; ++j) {
                ag += (p[j] >> 8) & 0x00ff00ffu;
                rb += p[j] & 0x00ff00ffu;
            }
        }
        const quint32 half = shift ? 0x00010001u << (shift - 1) : 0;
        return (((ag + half) >> shift) & 0x00ff00ffu) << 8 | (((rb + half) >> shift) & 0x00ff00ffu);
    };
    // In tiles of 16 x 16, so that both images are read and written a cache line at a time.
    constexpr int tile = 16;
    for (int y0 = 0; y0 < rows; y0 += tile) {
        const int y1 = qMin(rows, y0 + tile);
        for (int x0 = 0; x0 < width; x0 += tile) {
            const int x1 = qMin(width, x0 + tile);
            for (int x = x0; x < x1; ++x) {
                const quint32 *column = from + x * scale * in;
                for (int y = y0; y < y1; ++y)
                    to[y * out + x] = over(pixel(column + y * scale));
            }
        }
    }
}

VectorRows::VectorRows(const VectorDocument &document, double scalePercent, double pitch,
                       int threshold, bool invert)
    : m_document(document), m_size(vectorGrid(document.pageMils(), scalePercent, pitch)),
      m_pixelsPerMil(vectorPixelsPerMil(scalePercent, pitch)),
      m_threshold(quint32(qBound(0, threshold, 255))), m_flip(invert ? 0x00ffffffu : 0u),
      m_greyRow(size_t(m_size.width())), m_bwRow(size_t(m_size.width())),
      // Wide pages draw one band ahead, to stay within memory.
      m_bandsAhead(m_size.width() <= 8192 ? document.concurrentBands() : 1)
{ }

const quint32 *VectorRows::row(int y)
{
    if (y == m_row)
        return m_bwRow.data();
    const int top = y / vectorBandRows * vectorBandRows;
    if (top != m_bandTop || m_band.isNull()) {
        m_band = QImage();
        while (!m_ahead.empty() && m_ahead.front().first < top)
            m_ahead.pop_front(); // waits for it: bands come from the top down
        // The next bands draw on threads of their own while this one's rows are clipped and
        // written: drawing costs more than the rest, and the two overlap on two cores.
        const auto drawAhead = [this, top](int bands) {
            int next = m_ahead.empty() ? top + vectorBandRows
                                       : m_ahead.back().first + vectorBandRows;
            for (; int(m_ahead.size()) < bands && next < m_size.height(); next += vectorBandRows)
                m_ahead.emplace_back(next, std::async(std::launch::async, [this, next] {
                                         return bandAt(next);
                                     }));
        };
        if (!m_ahead.empty() && m_ahead.front().first == top) {
            m_band = m_ahead.front().second.get();
            m_ahead.pop_front();
        } else {
            // The first band, drawn here with the next ones already started beside it: as many
            // at once as the document draws.
            drawAhead(m_bandsAhead - 1);
            m_band = bandAt(top);
        }
        m_bandTop = top;
        if (m_band.isNull())
            return nullptr;
        drawAhead(m_bandsAhead);
    }
    const int w = m_size.width();
    kcore::greyRow(reinterpret_cast<const quint32 *>(m_band.constScanLine(y - top)),
                   m_greyRow.data(), w, false);
    clipRow(m_greyRow.data(), m_bwRow.data(), w, m_threshold, m_flip, false);
    m_row = y;
    return m_bwRow.data();
}

QImage VectorRows::bandAt(int top) const
{
    return m_document.renderRows(m_size.width(), top, qMin(vectorBandRows, m_size.height() - top),
                                 m_pixelsPerMil);
}

const quint32 *VectorRows::greyRow(int y)
{
    if (y != m_row && !row(y))
        return nullptr;
    return m_greyRow.data();
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

// The readers live in a module of their own, loaded when the first document is opened: linked
// into the programs, librsvg, cairo, Qt PDF and theirs would double the start-up time of every
// conversion of a picture.
using OpenFunction = VectorDocument *(*)(const QString *path, const QByteArray *data, int kind,
                                         int page, QString *why);

OpenFunction readers(QString *why)
{
    static OpenFunction open = nullptr;
    static QString problem;
    static std::once_flag once;
    std::call_once(once, [] {
        QStringList dirs;
        // Installed, the module sits in the library folder beside the programs' folder;
        // in a build tree, where CMake put it.
        if (QCoreApplication::instance())
            dirs << QCoreApplication::applicationDirPath() + QStringLiteral("/")
                            + QStringLiteral(KESTREL_MODULE_INSTALLED);
        dirs << QStringLiteral(KESTREL_MODULE_BUILT);
        for (const QString &dir : dirs) {
            QLibrary module(dir + QStringLiteral("/" KESTREL_MODULE_NAME));
            if (module.load()) {
                open = reinterpret_cast<OpenFunction>(module.resolve("kestrel_open_vector"));
                if (open)
                    return;
            }
            problem += (problem.isEmpty() ? QString() : QStringLiteral("; "))
                    + module.errorString();
        }
    });
    if (!open && why)
        *why = QStringLiteral("kestrel's reader of vector documents could not be loaded (%1).")
                       .arg(problem);
    return open;
}

std::unique_ptr<VectorDocument> openWith(const QString *path, const QByteArray *data,
                                         VectorDocument::Kind kind, int page, QString *why)
{
    const OpenFunction open = readers(why);
    if (!open)
        return nullptr;
    return std::unique_ptr<VectorDocument>(open(path, data, int(kind), page, why));
}

} // namespace

bool vectorSupport()
{
    return readers(nullptr) != nullptr;
}

std::unique_ptr<VectorDocument> VectorDocument::open(const QString &path, int page, QString *why)
{
    return openWith(&path, nullptr, sniff(path) == Sniffed::Svg ? Svg : Pdf, page, why);
}

std::unique_ptr<VectorDocument> VectorDocument::fromData(const QByteArray &data, Kind kind,
                                                         int page, QString *why)
{
    return openWith(nullptr, &data, kind, page, why);
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
