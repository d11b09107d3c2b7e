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

// n pixels' premultiplied channels summed (red, green, blue, alpha), laid over paper and
// averaged, rounded once: each shows c + (255 - a) p / 255 of a paper channel p.
inline quint32 meanOverPaper(const int sum[4], int n, QRgb paper)
{
    const int bare = 255 * n - sum[3];
    const auto channel = [&](int s, int p) {
        return quint32(qBound(0, (s * 255 + bare * p + 255 * n / 2) / (255 * n), 255));
    };
    return 0xff000000u | channel(sum[0], qRed(paper)) << 16 | channel(sum[1], qGreen(paper)) << 8
            | channel(sum[2], qBlue(paper));
}

// c a / 255, rounded: exact for every product of two bytes.
inline int timesAlpha(int c, int a)
{
    return ((c * a + 128) * 257) >> 16;
}

// The band's pixels from fine's straight-alpha pixels, one at a time, from column from of fine's
// share of the band (which starts at left) on.
void averageRest(const QImage &fine, int k, int kx, QImage &band, int left, int from, QRgb paper)
{
    for (int y = 0; y < band.height(); ++y) {
        auto *out = reinterpret_cast<quint32 *>(band.scanLine(y)) + left;
        for (int x = from; x < fine.width() / kx; ++x) {
            int sum[4] = {};
            for (int j = 0; j < k; ++j) {
                const auto *in = reinterpret_cast<const QRgb *>(fine.constScanLine(y * k + j));
                for (int i = 0; i < kx; ++i) {
                    const QRgb c = in[x * kx + i];
                    const int a = qAlpha(c);
                    sum[0] += timesAlpha(qRed(c), a);
                    sum[1] += timesAlpha(qGreen(c), a);
                    sum[2] += timesAlpha(qBlue(c), a);
                    sum[3] += a;
                }
            }
            out[x] = meanOverPaper(sum, k * kx, paper);
        }
    }
}

#ifdef __SSE2__
// Four pixels of the band over white, from k rows of 4 kx straight-alpha pixels of fine each:
// every one shows 255 - a (255 - c) / 255, rounded as timesAlpha() rounds, and their sum is
// averaged as meanOverPaper() averages it.
template<int k, int kx>
inline __m128i averageFour(const quint32 *const *in, int x)
{
    static_assert(kx == 1 || kx == 2, "a row's pixels in one or two loads");
    constexpr int n = k * kx, shift = n == 2 ? 1 : n == 4 ? 2 : n == 8 ? 3 : 4;
    const __m128i zero = _mm_setzero_si128(), ones = _mm_set1_epi32(-1);
    const __m128i colour = _mm_set1_epi32(0x00ffffff);
    const auto load = [&](int j, int h) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(in[j] + x * kx + 4 * h));
    };
    // Most of a page is nothing drawn (transparent); most of the rest black under any alpha
    // (text) or opaque, which are premultiplied as they are.
    __m128i any = zero;
    for (int j = 0; j < k; ++j)
        for (int h = 0; h < kx; ++h)
            any = _mm_or_si128(any, load(j, h));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, zero)) == 0xffff)
        return ones;
    __m128i premultiplied = ones;
    for (int j = 0; j < k; ++j) {
        for (int h = 0; h < kx; ++h) {
            const __m128i c = load(j, h);
            const __m128i black = _mm_cmpeq_epi32(_mm_and_si128(c, colour), zero);
            const __m128i opaque = _mm_cmpeq_epi32(_mm_or_si128(c, colour), ones);
            premultiplied = _mm_and_si128(premultiplied, _mm_or_si128(black, opaque));
        }
    }
    // Each pixel's channels summed down its k rows, two pixels to a register: premultiplied,
    // as they are, or what each takes from white.
    const bool plain = _mm_movemask_epi8(premultiplied) == 0xffff;
    __m128i sums[2 * kx] = {};
    for (int j = 0; j < k; ++j) {
        for (int h = 0; h < kx; ++h) {
            const __m128i c = load(j, h), u = _mm_xor_si128(c, ones);
            for (int half = 0; half < 2; ++half) {
                const __m128i lanes
                        = half ? _mm_unpackhi_epi8(c, zero) : _mm_unpacklo_epi8(c, zero);
                __m128i add = lanes;
                if (!plain) {
                    const __m128i alpha = _mm_shufflehi_epi16(
                            _mm_shufflelo_epi16(lanes, _MM_SHUFFLE(3, 3, 3, 3)),
                            _MM_SHUFFLE(3, 3, 3, 3));
                    const __m128i rest
                            = half ? _mm_unpackhi_epi8(u, zero) : _mm_unpacklo_epi8(u, zero);
                    const __m128i product
                            = _mm_add_epi16(_mm_mullo_epi16(rest, alpha), _mm_set1_epi16(128));
                    add = _mm_mulhi_epu16(product, _mm_set1_epi16(257));
                }
                sums[2 * h + half] = _mm_add_epi16(sums[2 * h + half], add);
            }
        }
    }
    __m128i low = sums[0], high = sums[1];
    if constexpr (kx == 2) {
        // Neighbours added: the two of each pixel of the band.
        low = _mm_add_epi16(_mm_unpacklo_epi64(sums[0], sums[1]),
                            _mm_unpackhi_epi64(sums[0], sums[1]));
        high = _mm_add_epi16(_mm_unpacklo_epi64(sums[2], sums[3]),
                             _mm_unpackhi_epi64(sums[2], sums[3]));
    }
    const __m128i bias = _mm_set1_epi16(255 * n + n / 2);
    const auto shown = [&](__m128i sum) {
        if (!plain)
            return _mm_srli_epi16(_mm_sub_epi16(bias, sum), shift);
        const __m128i alpha = _mm_shufflehi_epi16(_mm_shufflelo_epi16(sum, _MM_SHUFFLE(3, 3, 3, 3)),
                                                  _MM_SHUFFLE(3, 3, 3, 3));
        return _mm_srli_epi16(_mm_add_epi16(_mm_sub_epi16(sum, alpha), bias), shift);
    };
    return _mm_or_si128(_mm_packus_epi16(shown(low), shown(high)), _mm_set1_epi32(0xff000000));
}

// The band's rows over white four pixels at a time; returns the columns it filled.
template<int k, int kx>
int averageBlocks(const QImage &fine, QImage &band, int left)
{
    const int width4 = fine.width() / kx & ~3;
    for (int y = 0; y < band.height(); ++y) {
        const quint32 *in[k];
        for (int j = 0; j < k; ++j)
            in[j] = reinterpret_cast<const quint32 *>(fine.constScanLine(y * k + j));
        auto *out = reinterpret_cast<quint32 *>(band.scanLine(y)) + left;
        for (int x = 0; x < width4; x += 4)
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + x), averageFour<k, kx>(in, x));
    }
    return width4;
}
#endif

} // namespace

void averageOverPaper(const QImage &fine, int k, int kx, QImage &band, int left, QRgb paper)
{
    Q_ASSERT(fine.format() == QImage::Format_ARGB32 && band.height() == fine.height() / k);
    int done = 0;
#ifdef __SSE2__
    if (paper == whitePaper) {
        const auto blocks = k == 8 && kx == 2 ? averageBlocks<8, 2>
                : k == 4 && kx == 2           ? averageBlocks<4, 2>
                : k == 8 && kx == 1           ? averageBlocks<8, 1>
                : k == 4 && kx == 1           ? averageBlocks<4, 1>
                                              : nullptr;
        if (blocks)
            done = blocks(fine, band, left);
    }
#endif
    averageRest(fine, k, kx, band, left, done, paper);
}

namespace {

// The band's pixels from row y0 and column x0 on, one at a time.
void transposeRest(const quint32 *from, qsizetype in, quint32 *to, qsizetype out, int y0, int x0,
                   int rows, int width, QRgb paper, int scale)
{
    for (int y = y0; y < rows; ++y) {
        for (int x = x0; x < width; ++x) {
            const quint32 *p = from + x * scale * in + y * scale;
            int sum[4] = {};
            for (int i = 0; i < scale; ++i, p += in) {
                for (int j = 0; j < scale; ++j) {
                    sum[0] += qRed(p[j]);
                    sum[1] += qGreen(p[j]);
                    sum[2] += qBlue(p[j]);
                    sum[3] += qAlpha(p[j]);
                }
            }
            to[y * out + x] = meanOverPaper(sum, scale * scale, paper);
        }
    }
}

#ifdef __SSE2__
// Four pixels of the grid down one of its columns, from the transposed page at p (rows in
// apart), averaged scale x scale (1 or 2) over white as transposeRest() averages them.
template<int scale>
inline __m128i shownDown(const quint32 *p, qsizetype in)
{
    const auto load = [](const quint32 *at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
    };
    if constexpr (scale == 1) {
        // 255 - alpha into every byte, added to the channels and to alpha, which becomes 255.
        const __m128i c = load(p);
        __m128i bare = _mm_srli_epi32(_mm_xor_si128(c, _mm_set1_epi32(-1)), 24);
        bare = _mm_or_si128(bare, _mm_slli_epi32(bare, 8));
        return _mm_adds_epu8(c, _mm_or_si128(bare, _mm_slli_epi32(bare, 16)));
    } else {
        // Each pixel's two columns of two rows summed in 16-bit lanes, pairs of neighbours added.
        const __m128i zero = _mm_setzero_si128();
        __m128i sums[4];
        for (int h = 0; h < 2; ++h) {
            const __m128i a = load(p + 4 * h), b = load(p + in + 4 * h);
            sums[2 * h] = _mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
            sums[2 * h + 1] = _mm_add_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero));
        }
        const auto shown = [&](__m128i first, __m128i second) {
            const __m128i sum = _mm_add_epi16(_mm_unpacklo_epi64(first, second),
                                              _mm_unpackhi_epi64(first, second));
            const __m128i alpha = _mm_shufflehi_epi16(
                    _mm_shufflelo_epi16(sum, _MM_SHUFFLE(3, 3, 3, 3)), _MM_SHUFFLE(3, 3, 3, 3));
            return _mm_srli_epi16(
                    _mm_add_epi16(_mm_sub_epi16(sum, alpha), _mm_set1_epi16(255 * 4 + 2)), 2);
        };
        return _mm_packus_epi16(shown(sums[0], sums[1]), shown(sums[2], sums[3]));
    }
}

// The band over white in blocks of 4 x 4 pixels, each four columns of the transposed page read
// along its rows and turned in registers; returns how many columns and rows it filled.
template<int scale>
QSize transposeBlocks(const quint32 *from, qsizetype in, quint32 *to, qsizetype out, int rows,
                      int width)
{
    const int rows4 = rows & ~3, width4 = width & ~3;
    // Column by column of blocks, so that the band's rows being written stay in the cache
    // while the page's rows are read once, in order.
    for (int x = 0; x < width4; x += 4) {
        const quint32 *column = from + x * scale * in;
        for (int y = 0; y < rows4; y += 4) {
            __m128i v[4];
            for (int i = 0; i < 4; ++i)
                v[i] = shownDown<scale>(column + i * scale * in + y * scale, in);
            const __m128i t0 = _mm_unpacklo_epi32(v[0], v[1]), t1 = _mm_unpacklo_epi32(v[2], v[3]);
            const __m128i t2 = _mm_unpackhi_epi32(v[0], v[1]), t3 = _mm_unpackhi_epi32(v[2], v[3]);
            quint32 *at = to + y * out + x;
            _mm_storeu_si128(reinterpret_cast<__m128i *>(at), _mm_unpacklo_epi64(t0, t1));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(at + out), _mm_unpackhi_epi64(t0, t1));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(at + 2 * out), _mm_unpacklo_epi64(t2, t3));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(at + 3 * out), _mm_unpackhi_epi64(t2, t3));
        }
    }
    return QSize(width4, rows4);
}
#endif

} // namespace

void transposeOverPaper(const QImage &columns, int first, QImage &band, QRgb paper, int scale)
{
    Q_ASSERT(scale == 1 || scale == 2 || scale == 4);
    const int width = band.width(), rows = band.height();
    const qsizetype in = columns.bytesPerLine() / 4, out = band.bytesPerLine() / 4;
    const quint32 *from = reinterpret_cast<const quint32 *>(columns.constBits()) + first * scale;
    auto *to = reinterpret_cast<quint32 *>(band.bits());
    QSize done(0, 0);
#ifdef __SSE2__
    if (paper == whitePaper && scale == 1)
        done = transposeBlocks<1>(from, in, to, out, rows, width);
    else if (paper == whitePaper && scale == 2)
        done = transposeBlocks<2>(from, in, to, out, rows, width);
#endif
    // What the blocks left: the columns right of them, then the rows below.
    transposeRest(from, in, to, out, 0, done.width(), rows, width, paper, scale);
    transposeRest(from, in, to, out, done.height(), 0, rows, done.width(), paper, scale);
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
