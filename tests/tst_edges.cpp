// Tests of smooth edges: on anti-aliased shapes of known outline, where the copper of every run
// ends, against where the outline is, with the runs themselves unchanged.
#include "export/artworkwriter.h"
#include "image/bwimage.h"
#include "image/edgegrey.h"
#include "image/greyimage.h"
#include "image/vectordocument.h"
#include "testsupport.h"

#include <QBuffer>
#include <QPageSize>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>
#include <cmath>

namespace {

// Where a horizontal line at height y (source pixels, 0 = top edge) crosses the outline, from
// left to right: the inside lies between the first and second, the third and fourth...
using Outline = std::function<std::vector<double>(double y)>;

Outline disc(double cx, double cy, double r)
{
    return [=](double y) {
        const double d = y - cy;
        if (std::abs(d) >= r)
            return std::vector<double>();
        const double h = std::sqrt(r * r - d * d);
        return std::vector<double>{cx - h, cx + h};
    };
}

Outline ring(double cx, double cy, double outer, double inner)
{
    return [=](double y) {
        std::vector<double> x = disc(cx, cy, outer)(y);
        const std::vector<double> hole = disc(cx, cy, inner)(y);
        if (!hole.empty())
            x = {x[0], hole[0], hole[1], x[1]};
        return x;
    };
}

// A band between two parallel slanted edges, which shift by shift columns a row and pass
// columns left and right at height cy.
Outline band(double shift, double left, double right, double cy)
{
    return [=](double y) {
        return std::vector<double>{left + (y - cy) * shift, right + (y - cy) * shift};
    };
}

// A shape drawn on the page of a vector document, in pixels of the grid at 100 %.
struct Shape
{
    QString kind; // "disc", "ring", "slant", "steep", "clipped", "arc ring"
    double a, b, c, d;
};

// The ring of a logo drawn in millimetres: its centre, outer and inner radius, and its page.
constexpr double arcRing[] = {8.17, 8.23, 7.9, 4.42};
const QSizeF arcRingPage(16.43, 16.51);

// The page of a shape's documents, in pixels of the grid at pitch mils: a fraction of a pixel
// larger than a whole number of them, so the grid rounds it up.
QSizeF pageOf(const QString &name, double pitch)
{
    return name == "arc ring" ? arcRingPage / (pitch * 0.0254) : QSizeF(160.37, 120.2);
}

Shape shapeNamed(const QString &name, double pitch = 0)
{
    if (name == "arc ring") {
        const double mm = pitch * 0.0254;
        return {"ring", arcRing[0] / mm, arcRing[1] / mm, arcRing[2] / mm, arcRing[3] / mm};
    }
    // Centres and radii off the pixel grid, so edges fall everywhere between pixel centres.
    if (name == "disc")
        return {"disc", 80.37, 60.21, 47.6, 0};
    if (name == "ring")
        return {"ring", 79.6, 59.3, 52.3, 23.8};
    if (name == "slant")
        return {"slant", 7.2939, -55.3, 209.1, 60.0}; // 7.8 degrees
    if (name == "clipped")
        return {"clipped", 80.37, 60.21, 47.6, 14.2}; // a ring, cut off at y = 70
    return {"steep", 0.1371, 40.37, 111.81, 60.0}; // 82.2 degrees
}

constexpr double clipY = 70;

Outline outlineOf(const Shape &s)
{
    if (s.kind == "disc")
        return disc(s.a, s.b, s.c);
    if (s.kind == "ring")
        return ring(s.a, s.b, s.c, s.d);
    if (s.kind == "clipped")
        return [r = ring(s.a, s.b, s.c, s.d)](double y) {
            return y < clipY ? r(y) : std::vector<double>();
        };
    return band(s.a, s.b, s.c, s.d);
}

// The two slanted edges of a band, as a polygon from above the page to below it.
QString bandPoints(const Shape &s, double height)
{
    QString points;
    for (double y : {-1.0, height + 1}) {
        const double dx = (y - s.d) * s.a;
        points += QStringLiteral("%1,%2 ").arg(s.b + dx, 0, 'f', 6).arg(y, 0, 'f', 6);
    }
    for (double y : {height + 1, -1.0}) {
        const double dx = (y - s.d) * s.a;
        points += QStringLiteral("%1,%2 ").arg(s.c + dx, 0, 'f', 6).arg(y, 0, 'f', 6);
    }
    return points;
}

// The shape in black on an SVG page of page pixels at pitch mils, sized in inches, by its
// viewBox alone (pixels at 96 to the inch), or in millimetres with a viewBox of millimetres. The
// ring comes through a CSS class, a transform and the even-odd rule; the clipped ring through a
// clip path and a mask.
QByteArray svgOf(const Shape &s, const QSizeF &page, double pitch, bool pxOnly, bool mm)
{
    const auto circle = [](double r) {
        return QStringLiteral("M %1 0 A %1 %1 0 1 0 %2 0 A %1 %1 0 1 0 %1 0 Z ")
                .arg(r, 0, 'f', 6)
                .arg(-r, 0, 'f', 6);
    };
    const double px = pitch * 96 / 1000; // SVG pixels to a pixel of the grid
    const double mmPx = pitch * 0.0254; // millimetres to a pixel of the grid
    QString svg = pxOnly ? QStringLiteral("<svg xmlns='http://www.w3.org/2000/svg' "
                                          "viewBox='0 0 %1 %2'><g transform='scale(%3)'>")
                                   .arg(page.width() * px, 0, 'f', 9)
                                   .arg(page.height() * px, 0, 'f', 9)
                                   .arg(px, 0, 'f', 12)
            : mm ? QStringLiteral("<svg xmlns='http://www.w3.org/2000/svg' width='%1mm' "
                                  "height='%2mm' viewBox='0 0 %1 %2'><g transform='scale(%3)'>")
                           .arg(page.width() * mmPx, 0, 'f', 9)
                           .arg(page.height() * mmPx, 0, 'f', 9)
                           .arg(mmPx, 0, 'f', 12)
                 : QStringLiteral("<svg xmlns='http://www.w3.org/2000/svg' width='%1in' "
                                  "height='%2in' viewBox='0 0 %3 %4'><g>")
                           .arg(page.width() * pitch / 1000, 0, 'f', 9)
                           .arg(page.height() * pitch / 1000, 0, 'f', 9)
                           .arg(page.width(), 0, 'f', 6)
                           .arg(page.height(), 0, 'f', 6);
    if (s.kind == "disc")
        svg += QStringLiteral("<circle cx='%1' cy='%2' r='%3'/>").arg(s.a).arg(s.b).arg(s.c);
    else if (s.kind == "ring")
        svg += QStringLiteral("<style>.ink { fill: #000; fill-rule: evenodd }</style>"
                              "<g transform='translate(%1 %2) scale(2)'><path class='ink' "
                              "d='%3%4'/></g>")
                       .arg(s.a)
                       .arg(s.b)
                       .arg(circle(s.c / 2), circle(s.d / 2));
    else if (s.kind == "clipped")
        svg += QStringLiteral("<clipPath id='top'><rect width='1000' height='%1'/></clipPath>"
                              "<mask id='hole'><rect x='-10' y='-10' width='1000' height='1000' "
                              "fill='white'/><circle cx='%2' cy='%3' r='%4' fill='black'/></mask>"
                              "<circle cx='%2' cy='%3' r='%5' clip-path='url(#top)' "
                              "mask='url(#hole)'/>")
                       .arg(clipY)
                       .arg(s.a)
                       .arg(s.b)
                       .arg(s.d)
                       .arg(s.c);
    else
        svg += QStringLiteral("<polygon points='%1'/>").arg(bandPoints(s, page.height()));
    return (svg + QStringLiteral("</g></svg>")).toUtf8();
}

// The logo's ring in black, in millimetres: its two circles drawn as arcs, in a group moved to
// its centre, filled through a CSS class by the even-odd rule.
QByteArray arcRingSvg()
{
    const auto circle = [](double r) {
        return QStringLiteral("M %1 0 A %1 %1 0 1 0 -%1 0 A %1 %1 0 1 0 %1 0 Z ").arg(r);
    };
    return QStringLiteral("<svg xmlns='http://www.w3.org/2000/svg' width='%1mm' height='%2mm' "
                          "viewBox='0 0 %1 %2'><style>.ink { fill: #000; fill-rule: evenodd }"
                          "</style><g transform='translate(%3 %4)'><path class='ink' d='%5%6'/>"
                          "</g></svg>")
            .arg(arcRingPage.width())
            .arg(arcRingPage.height())
            .arg(arcRing[0])
            .arg(arcRing[1])
            .arg(circle(arcRing[2]), circle(arcRing[3]))
            .toUtf8();
}

// The shape in black on a PDF page of pagePoints, its drawing pitch mils to a pixel of the grid:
// drawn by Qt's PDF writer on a page of whole points, cut down to the page's top-left corner.
QByteArray pdfOf(const Shape &s, const QSizeF &pagePoints, double pitch)
{
    const QSize whole(int(std::ceil(pagePoints.width())), int(std::ceil(pagePoints.height())));
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter writer(&buffer);
        writer.setPageSize(QPageSize(whole, QPageSize::Point));
        writer.setPageMargins(QMarginsF(0, 0, 0, 0));
        writer.setResolution(7200);
        QPainter painter(&writer);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::black);
        painter.scale(pitch * 7.2, pitch * 7.2);
        QPainterPath path;
        path.setFillRule(Qt::OddEvenFill);
        if (s.kind == "disc" || s.kind == "ring" || s.kind == "clipped") {
            path.addEllipse(QPointF(s.a, s.b), s.c, s.c);
            if (s.kind != "disc")
                path.addEllipse(QPointF(s.a, s.b), s.d, s.d);
            if (s.kind == "clipped")
                painter.setClipRect(QRectF(0, 0, 1000, clipY));
        } else {
            const double h = pagePoints.height() / 0.072 / pitch;
            QPolygonF polygon;
            for (double y : {-1.0, h + 1})
                polygon << QPointF(s.b + (y - s.d) * s.a, y);
            for (double y : {h + 1, -1.0})
                polygon << QPointF(s.c + (y - s.d) * s.a, y);
            path.addPolygon(polygon);
        }
        painter.drawPath(path);
    }
    QString pdf = QString::fromLatin1(buffer.data());
    const QString box = QStringLiteral("/MediaBox [0 %1 %2 %3]")
                                .arg(whole.height() - pagePoints.height(), 0, 'f', 6)
                                .arg(pagePoints.width(), 0, 'f', 6)
                                .arg(whole.height());
    pdf.replace(QRegularExpression(QStringLiteral("/MediaBox \\[0 0 [0-9.]+ [0-9.]+\\]")), box);
    return pdf.contains(box) ? testsupport::withXref(pdf.toLatin1()) : QByteArray();
}

// The picture of an outline: each pixel's grey level is its covered area (white inside), or the
// uncovered area when dark, from 64 lines across the pixel, each cut exactly by the outline.
QImage render(const Outline &outline, const QSize &size, bool dark)
{
    constexpr int lines = 64;
    QImage img(size, QImage::Format_RGB32);
    std::vector<double> cover(size_t(size.width()));
    for (int y = 0; y < size.height(); ++y) {
        std::fill(cover.begin(), cover.end(), 0.0);
        for (int k = 0; k < lines; ++k) {
            const std::vector<double> x = outline(y + (k + 0.5) / lines);
            for (size_t i = 0; i + 1 < x.size(); i += 2) {
                const double a = qBound(0.0, x[i], double(size.width()));
                const double b = qBound(0.0, x[i + 1], double(size.width()));
                for (int p = int(a); p < size.width() && p < b; ++p)
                    cover[size_t(p)] += qMin(b, p + 1.0) - qMax(a, double(p));
            }
        }
        for (int x = 0; x < size.width(); ++x) {
            const int level = int(std::lround(cover[size_t(x)] / lines * 255));
            img.setPixel(x, y, kcore::greyPixel(dark ? 255 - level : level));
        }
    }
    return img;
}

struct Item
{
    double x, y, length, width; // in the file's unit
};

// The items of a written file, either layout.
std::vector<Item> itemsOf(const QByteArray &file)
{
    std::vector<Item> items;
    const QList<QByteArray> lines = file.split('\n');
    for (qsizetype i = 0; i + 3 < lines.size(); ++i) {
        const QList<QByteArray> head = lines[i].simplified().split(' ');
        if (head.size() < 5 || head[1] != "LINES" || head[0].startsWith('*'))
            continue;
        const QList<QByteArray> piece = lines[i + 1].simplified().split(' ');
        const QList<QByteArray> end = lines[i + 3].simplified().split(' ');
        items.push_back(
                {head[2].toDouble(), head[3].toDouble(), end[0].toDouble(), piece[2].toDouble()});
        i += 3;
    }
    return items;
}

struct Run
{
    int row, s, n;
};

struct Figures
{
    double mean = 0, max = 0;
    double reachMean = 0, reachMax = 0;
    int ends = 0;
};

} // namespace

class TestEdges : public QObject
{
    Q_OBJECT

private slots:
    void runEndsFollowOutline_data();
    void runEndsFollowOutline();
    void resampledLevels_data();
    void resampledLevels();
};

void TestEdges::runEndsFollowOutline_data()
{
    QTest::addColumn<QString>("shape");
    QTest::addColumn<int>("scale");
    QTest::addColumn<bool>("dark"); // dark shape on light paper, made copper by Invert
    QTest::addColumn<QString>("format");
    QTest::addColumn<double>("pitch"); // mils
    QTest::addColumn<bool>("metric");
    // Bounds on the smooth ends' distance from the outline, in pixels (0: none); and on their
    // mean as a fraction of the exact ends' mean (0: none).
    QTest::addColumn<double>("maxMean");
    QTest::addColumn<double>("maxError");
    QTest::addColumn<double>("ofExact");
    QTest::addColumn<bool>("withinReach");
    // Empty: a picture rendered here; otherwise the shape as a vector document ("svg", "pdf",
    // "svg, px only": sized by its viewBox alone), drawn onto the grid by kestrel.
    QTest::addColumn<QString>("document");

    QTest::newRow("disc, 9.4") << "disc" << 100 << false << "9.4" << 10.0 << false << 0.08 << 0.2
                               << 0.0 << false << QString();
    QTest::newRow("ring, 9.4, 0.2 mm") << "ring" << 100 << false << "9.4" << 7.874015748031496
                                       << true << 0.08 << 0.2 << 0.0 << false << QString();
    QTest::newRow("shallow slant, 9.4") << "slant" << 100 << false << "9.4" << 10.0 << false << 0.08
                                        << 0.2 << 0.0 << false << QString();
    QTest::newRow("ring inverted, 9.4") << "ring" << 100 << true << "9.4" << 10.0 << false << 0.08
                                        << 0.2 << 0.0 << false << QString();
    // Scaled, the pixels set are still the nearest source pixels', which may lie up to half a
    // source pixel from the outline; the ends can only move between the two pixel centres around
    // a run's edge. Measured against the outline brought within that reach, the resampled
    // levels must place the ends as well as at 100 %.
    QTest::newRow("steep slant, 9.4, 23 %") << "steep" << 23 << false << "9.4" << 10.0 << false
                                            << 0.08 << 0.0 << 0.0 << true << QString();
    QTest::newRow("disc, 9.4, 57 %") << "disc" << 57 << false << "9.4" << 10.0 << false << 0.08
                                     << 0.0 << 0.0 << true << QString();
    QTest::newRow("disc, 9.4, 150 %") << "disc" << 150 << false << "9.4" << 10.0 << false << 0.08
                                      << 0.0 << 0.0 << true << QString();
    QTest::newRow("steep slant, 9.4, 250 %") << "steep" << 250 << false << "9.4" << 10.0 << false
                                             << 0.08 << 0.0 << 0.0 << true << QString();
    QTest::newRow("disc, 2.0, 10 mil") << "disc" << 100 << false << "2.0" << 10.0 << false << 0.0
                                       << 0.0 << 1.0 / 3 << false << QString();
    QTest::newRow("ring, 2.0, 10 mil") << "ring" << 100 << false << "2.0" << 10.0 << false << 0.0
                                       << 0.0 << 1.0 / 3 << false << QString();
    QTest::newRow("shallow slant, 2.0, 10 mil") << "slant" << 100 << false << "2.0" << 10.0 << false
                                                << 0.0 << 0.0 << 1.0 / 3 << false << QString();
    // Vector documents, dark shapes on white paper as logos come; the page is not a whole number
    // of pitches, so its last column and row reach past it.
    QTest::newRow("svg disc, 9.4") << "disc" << 100 << true << "9.4" << 10.0 << false << 0.06
                                   << 0.25 << 0.0 << false << "svg";
    QTest::newRow("svg ring, CSS class, transform, even-odd, 9.4")
            << "ring" << 100 << true << "9.4" << 10.0 << false << 0.06 << 0.25 << 0.0 << false
            << "svg";
    QTest::newRow("svg slant, 9.4, 0.2 mm") << "slant" << 100 << true << "9.4" << 7.874015748031496
                                            << true << 0.06 << 0.25 << 0.0 << false << "svg";
    // At the pitches boards are made at, 0.1 mm and 0.0833 mm (3.28 mil), in a group scaled
    // from the millimetres of the viewBox.
    QTest::newRow("svg ring, mm, 9.4, 0.1 mm") << "ring" << 100 << true << "9.4" << 100 / 25.4
                                               << true << 0.06 << 0.25 << 0.0 << false << "svg, mm";
    QTest::newRow("svg ring, mm, 9.4, 0.0833 mm")
            << "ring" << 100 << true << "9.4" << 0.0833 / 0.0254 << true << 0.06 << 0.25 << 0.0
            << false << "svg, mm";
    QTest::newRow("svg clip path and mask, mm, 9.4, 0.0833 mm")
            << "clipped" << 100 << true << "9.4" << 0.0833 / 0.0254 << true << 0.06 << 0.25 << 0.0
            << false << "svg, mm";
    QTest::newRow("svg clip path and mask, 9.4") << "clipped" << 100 << true << "9.4" << 10.0
                                                 << false << 0.06 << 0.25 << 0.0 << false << "svg";
    QTest::newRow("svg disc, px only, 9.4") << "disc" << 100 << true << "9.4" << 10.0 << false
                                            << 0.06 << 0.25 << 0.0 << false << "svg, px only";
    QTest::newRow("svg disc, 9.4, 57 %") << "disc" << 57 << true << "9.4" << 10.0 << false << 0.06
                                         << 0.25 << 0.0 << false << "svg";
    QTest::newRow("pdf ring, 9.4") << "ring" << 100 << true << "9.4" << 10.0 << false << 0.06
                                   << 0.25 << 0.0 << false << "pdf";
    QTest::newRow("pdf disc, 9.4, 0.1 mm") << "disc" << 100 << true << "9.4" << 3.937007874015748
                                           << true << 0.06 << 0.25 << 0.0 << false << "pdf";
    QTest::newRow("pdf clip path, 9.4, 0.0833 mm")
            << "clipped" << 100 << true << "9.4" << 3.2808398950131235 << true << 0.06 << 0.25
            << 0.0 << false << "pdf";
    QTest::newRow("pdf slant, 9.4, 0.2 mm") << "slant" << 100 << true << "9.4" << 7.874015748031496
                                            << true << 0.06 << 0.25 << 0.0 << false << "pdf";
    // A logo's ring in millimetres (outer radius 7.9 mm, inner 4.42 mm), its circles drawn as
    // arcs, at the pitches boards are made at; and the same ring as cairo writes it to PDF.
    for (const char *document : {"svg", "pdf, cairo"}) {
        for (const double mm : {0.1, 0.0833}) {
            QTest::newRow(qPrintable(QStringLiteral("%1 arc ring, 9.4, %2 mm").arg(document).arg(mm)))
                    << "arc ring" << 100 << true << "9.4" << mm / 0.0254 << true << 0.06 << 0.25
                    << 0.0 << false << document;
        }
    }
}

void TestEdges::runEndsFollowOutline()
{
    QFETCH(QString, shape);
    QFETCH(int, scale);
    QFETCH(bool, dark);
    QFETCH(QString, format);
    QFETCH(double, pitch);
    QFETCH(bool, metric);
    QFETCH(double, maxMean);
    QFETCH(double, maxError);
    QFETCH(double, ofExact);
    QFETCH(bool, withinReach);
    QFETCH(QString, document);

    const QSize size(160, 120);
    const Outline outline = outlineOf(shapeNamed(shape, pitch));
    QImage grey;
    double sx = 0, sy = 0;
    if (document.isEmpty()) {
        grey = kcore::makeGrey(render(outline, size, dark));
    } else {
        if (!kcore::vectorSupport())
            QSKIP("this build reads no vector documents");
        const QSizeF page = pageOf(shape, pitch);
        QByteArray bytes;
        if (document == "pdf") {
            bytes = pdfOf(shapeNamed(shape), page * pitch * 0.072, pitch);
            QVERIFY(!bytes.isEmpty());
        } else if (shape == "arc ring") {
            bytes = arcRingSvg();
            if (document.startsWith("pdf")) {
                // As cairo writes it, its arcs turned into curves.
                QProcess cairo;
                cairo.start(QStringLiteral("rsvg-convert"), {QStringLiteral("-f"), QStringLiteral("pdf")});
                cairo.write(bytes);
                cairo.closeWriteChannel();
                QVERIFY2(cairo.waitForFinished() && cairo.exitCode() == 0, qPrintable(cairo.errorString()));
                bytes = cairo.readAllStandardOutput();
                QVERIFY(bytes.startsWith("%PDF-"));
            }
        } else {
            bytes = svgOf(shapeNamed(shape), page, pitch, document.contains("px only"),
                          document.contains("mm"));
        }
        QString why;
        const std::unique_ptr<kcore::VectorDocument> vector = kcore::VectorDocument::fromData(
                bytes,
                document.startsWith("pdf") ? kcore::VectorDocument::Pdf : kcore::VectorDocument::Svg,
                0, &why);
        QVERIFY2(vector, qPrintable(why));
        const QSize grid = kcore::vectorGrid(vector->pageMils(), scale, pitch);
        QCOMPARE(grid,
                 QSize(int(std::ceil(page.width() * scale / 100 - 1e-9)),
                       int(std::ceil(page.height() * scale / 100 - 1e-9))));
        grey = kcore::makeGrey(kcore::renderVectorPage(*vector, grid, scale, pitch));
        sx = sy = scale / 100.0; // the page's scale is exact
    }
    const int threshold = 128;
    const QImage bw = kcore::makeBw(grey, threshold, dark, document.isEmpty() ? scale : 100);
    const QImage levels = kcore::edgeGrey(grey, bw.size());
    QVERIFY(!levels.isNull());
    if (document.isEmpty()) {
        sx = double(bw.width()) / size.width();
        sy = double(bw.height()) / size.height();
    }

    std::vector<Run> runs;
    const QImage words = kcore::pixelWords(bw);
    for (int y = 0; y < bw.height(); ++y)
        kcore::forEachRun(reinterpret_cast<const quint32 *>(words.constScanLine(y)), bw.width(),
                          [&](int s, int n) {
                              runs.push_back({y, s, n});
                          });
    QVERIFY(runs.size() >= 20);

    kcore::PadsSettings settings;
    settings.pitch = pitch;
    settings.format = format == "9.4" ? kcore::PadsFormat::V94 : kcore::PadsFormat::V20;
    settings.metric = metric;
    settings.threshold = threshold;
    // The file's unit per pixel.
    const double unit = metric ? pitch * 0.0254 : pitch;

    auto measure = [&](bool smooth, bool exact) {
        kcore::PadsSettings s = settings;
        s.smoothEdges = smooth;
        s.exactEnds = exact;
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        const kcore::WriteResult result = kcore::writeArtwork(bw, s, &buffer, levels);
        const std::vector<Item> items = itemsOf(buffer.data());
        Figures f;
        // The fab check counts what is written, smooth ends included.
        const kcore::FileBudget budget = kcore::countArtwork(bw, s, levels);
        if (!result.ok || budget.bytes != buffer.data().size() || items.size() != runs.size()) {
            f.ends = -1;
            return f;
        }
        for (size_t k = 0; k < items.size(); ++k) {
            const Item &item = items[k];
            const Run &run = runs[k];
            // The same run: its row, and the copper centred on it within half a pixel (and the
            // whole-mil rounding).
            const double left = (item.x - item.width / 2) / unit;
            const double right = (item.x + item.length + item.width / 2) / unit;
            const double slack = 0.5 + (format == "2.0" ? 1 / pitch : 1e-6);
            if (std::lround(bw.height() - item.y / unit) != run.row
                || std::abs((left + right) / 2 - (run.s + run.n / 2.0)) > slack) {
                f.ends = -1;
                return f;
            }
            // The outline where the row's centre line meets it, in pixels of the grid.
            std::vector<double> truth = outline((run.row + 0.5) / sy);
            for (double &x : truth)
                x *= sx;
            // A row whose centre line misses the shape got its pixels from a picked row that
            // meets it (scaled pictures only): there is no outline to measure against.
            if (truth.empty())
                continue;
            // The distance to the nearest crossing; and to it brought within the end's reach,
            // the two pixel centres around the run's edge.
            auto error = [&](double end, int edge) {
                double best = qInf(), bestReach = qInf();
                for (double x : truth) {
                    best = qMin(best, std::abs(end - x));
                    bestReach = qMin(bestReach, std::abs(end - qBound(edge - 0.5, x, edge + 0.5)));
                }
                f.mean += best;
                f.max = qMax(f.max, best);
                f.reachMean += bestReach;
                f.reachMax = qMax(f.reachMax, bestReach);
                ++f.ends;
            };
            // Ends at the picture's border are the border, not an edge of the shape.
            if (run.s > 0)
                error(left, run.s);
            if (run.s + run.n < bw.width())
                error(right, run.s + run.n);
        }
        f.mean /= qMax(1, f.ends);
        f.reachMean /= qMax(1, f.ends);
        return f;
    };
    const Figures round = measure(false, false);
    const Figures exact = measure(false, true);
    const Figures smooth = measure(true, false);
    const Figures both = measure(true, true); // smooth edges take precedence
    qInfo("%s: %d ends; mean/max distance to the outline in pixels: round ends %.3f/%.3f, "
          "exact ends %.3f/%.3f, smooth edges %.3f/%.3f, within reach %.3f/%.3f",
          QTest::currentDataTag(), smooth.ends, round.mean, round.max, exact.mean, exact.max,
          smooth.mean, smooth.max, smooth.reachMean, smooth.reachMax);
    QVERIFY2(round.ends > 0 && exact.ends > 0 && smooth.ends > 0,
             "an item differs from its run, or the count from the file");
    QCOMPARE(both.mean, smooth.mean);
    const double mean = withinReach ? smooth.reachMean : smooth.mean;
    if (maxMean > 0)
        QVERIFY(mean <= maxMean);
    if (maxError > 0)
        QVERIFY(smooth.max <= maxError);
    if (ofExact > 0)
        QVERIFY(smooth.mean <= ofExact * exact.mean);
}

void TestEdges::resampledLevels_data()
{
    QTest::addColumn<QList<int>>("levels");
    QTest::addColumn<int>("to");
    QTest::addColumn<bool>("down"); // a column of pixels resampled down, not a row across
    QTest::addColumn<QList<int>>("expected");
    // The outermost pixels hold beyond the outermost centres: the border keeps its own level.
    QTest::newRow("bilinear at the border")
            << QList<int>{100, 103} << 4 << false << QList<int>{100, 101, 102, 103};
    // Grid rows 1 and 2 both lie between source rows 0 and 1: both are kept, not fetched again.
    QTest::newRow("bilinear down the rows")
            << QList<int>{10, 200, 30} << 7 << true << QList<int>{10, 37, 119, 200, 127, 54, 30};
    // 127.5 is rounded, not truncated.
    QTest::newRow("area average rounded")
            << QList<int>{0, 255, 255, 0} << 2 << true << QList<int>{128, 128};
    // Weights of 65536 / 12 rounded each would sum to 65532: the largest takes the rest.
    QTest::newRow("area weights sum to one")
            << QList<int>{255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 255} << 1 << false << QList<int>{43};
}

void TestEdges::resampledLevels()
{
    QFETCH(QList<int>, levels);
    QFETCH(int, to);
    QFETCH(bool, down);
    QFETCH(QList<int>, expected);
    const int from = int(levels.size());
    const QSize grid = down ? QSize(1, to) : QSize(to, 1);
    kcore::GridResampler resampler(down ? QSize(1, from) : QSize(from, 1), grid);
    const std::vector<quint32> words(levels.begin(), levels.end());
    std::vector<int> asked;
    QList<int> got;
    std::vector<uchar> row(size_t(grid.width()));
    for (int y = 0; y < grid.height(); ++y) {
        resampler.row(y, row.data(), [&](int i) {
            asked.push_back(i);
            return down ? &words[size_t(i)] : words.data();
        });
        got += QList<int>(row.begin(), row.end());
    }
    QCOMPARE(got, expected);
    // Each source row at most once, in order.
    QVERIFY(std::is_sorted(asked.begin(), asked.end()));
    QVERIFY(std::adjacent_find(asked.begin(), asked.end()) == asked.end());
}

QTEST_GUILESS_MAIN(TestEdges)
#include "tst_edges.moc"
