// kestrel-bench: times grey, black-and-white, rethreshold, preview, export, the fab count and the
// Board view on generated pictures against the literal per-pixel / fprintf code and against
// memcpy of the same bytes, then kestrel-convert end to end against a program that only decodes
// (and, on a vector logo, against librsvg drawing it once);
// checks that fast and literal results are identical, and prints medians and ratios.
#include "board/boardimage.h"
#include "board/spacecheck.h"
#include "export/artworkwriter.h"
#include "image/bwimage.h"
#include "image/edgegrey.h"
#include "image/greyimage.h"
#include "image/imagealloc.h"
#include "image/picture.h"
#include "image/rowkernels.h"
#include "literal.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QPainter>
#include <QPainterPath>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

double medianMs(int runs, const std::function<void()> &work)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        work();
        ms.push_back(t.nsecsElapsed() / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

// Medians of two pieces of work run in turns, for a ratio of the two that the machine's other
// load at the moment sways as little as it can.
std::pair<double, double> medianPairMs(int runs, const std::function<void()> &first,
                                       const std::function<void()> &second)
{
    std::vector<double> a, b;
    for (int i = 0; i < runs; ++i) {
        a.push_back(medianMs(1, first));
        b.push_back(medianMs(1, second));
    }
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    return {a[a.size() / 2], b[b.size() / 2]};
}

// A vector logo of many small parts, widthMm x heightMm: discs, polygons and stroked curves
// through CSS classes and transforms, the kind of detail a traced emblem has; layered, all of it
// in a group of its own opacity, which is drawn as a layer; masked, all of it under a mask with a
// hole, which librsvg draws as layers as large as the page.
enum class Layer { None, Opacity, Mask };
QByteArray detailedSvg(int widthMm, int heightMm, Layer layer = Layer::None)
{
    QRandomGenerator rng(7);
    const double w = widthMm, h = heightMm;
    QString svg = QStringLiteral("<svg xmlns='http://www.w3.org/2000/svg' width='%1mm' "
                                 "height='%2mm' viewBox='0 0 %1 %2'><style>.a { fill: #111 } "
                                 ".b { fill: none; stroke: #222; stroke-width: 1.5 }</style>")
                          .arg(widthMm)
                          .arg(heightMm);
    if (layer == Layer::Opacity)
        svg += QStringLiteral("<g opacity='0.9'>");
    else if (layer == Layer::Mask)
        svg += QStringLiteral("<mask id='m'><rect width='%1' height='%2' fill='white'/><circle "
                              "cx='%3' cy='%4' r='%4'/></mask><g mask='url(#m)'>")
                       .arg(widthMm)
                       .arg(heightMm)
                       .arg(widthMm / 2)
                       .arg(heightMm / 4);
    for (int i = 0; i < 1500; ++i) {
        const double x = rng.bounded(w), y = rng.bounded(h), r = 2 + rng.bounded(12.0);
        const double kind = rng.bounded(1.0);
        if (kind < 0.3) {
            svg += QStringLiteral("<circle class='a' cx='%1' cy='%2' r='%3'/>")
                           .arg(x)
                           .arg(y)
                           .arg(r);
        } else if (kind < 0.6) {
            QString points;
            for (int j = 0; j < 7; ++j) {
                const double t = j * 2 * M_PI / 7 + rng.bounded(0.5);
                points += QStringLiteral("%1,%2 ")
                                  .arg(x + r * std::cos(t))
                                  .arg(y + r * std::sin(t));
            }
            svg += QStringLiteral("<polygon class='a' points='%1'/>").arg(points);
        } else {
            svg += QStringLiteral("<path class='b' d='M %1 %2 C %3 %4 %5 %6 %7 %2' "
                                  "transform='rotate(%8 %1 %2)'/>")
                           .arg(x)
                           .arg(y)
                           .arg(x + r)
                           .arg(y - 2 * r)
                           .arg(x + 2 * r)
                           .arg(y + 2 * r)
                           .arg(x + 3 * r)
                           .arg(rng.bounded(360.0));
        }
    }
    return (svg + QLatin1String(layer == Layer::None ? "</svg>" : "</g></svg>")).toUtf8();
}

// Something like a photograph: smooth shading, edges and a little noise.
QImage photoLike(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    QRandomGenerator rng(42);
    for (int y = 0; y < h; ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(img.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const int n = int(rng.bounded(24));
            const int r = (x * 255 / w + n) & 0xff;
            const int g = ((y * 255 / h) ^ ((x / 300) % 2 ? 0x40 : 0)) & 0xff;
            const int b
                    = (((x - w / 2) * (x - w / 2) + (y - h / 2) * (y - h / 2)) / 40000 + n) & 0xff;
            line[x] = qRgb(r, g, b);
        }
    }
    return img;
}

// Line art full of what a board maker refuses, dark on white: bars a hairline apart, rings with
// a slit, slanted lines under a pixel wide, combs and specks, anti-aliased, in tiles.
QImage lineArt(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QRandomGenerator rng(11);
    for (int ty = 0; ty < h; ty += 250)
        for (int tx = 0; tx < w; tx += 250) {
            p.save();
            p.translate(tx, ty);
            p.setPen(Qt::NoPen);
            p.setBrush(Qt::black);
            p.drawRect(QRectF(10, 10, 80, 100));
            p.drawRect(QRectF(91, 10, 80, 100));
            QPainterPath ring;
            ring.addEllipse(QPointF(205, 60), 40, 40);
            ring.addEllipse(QPointF(205, 60), 28, 28);
            ring.addRect(QRectF(204.5, 15, 1, 20));
            ring.setFillRule(Qt::OddEvenFill);
            p.drawPath(ring);
            for (int i = 0; i < 14; ++i)
                p.drawRect(QRectF(10 + 6 * i, 130, 1.2, 40));
            p.drawRect(QRectF(10, 170, 84, 6));
            for (int i = 0; i < 12; ++i)
                p.drawEllipse(QPointF(120 + rng.bounded(120.0), 130 + rng.bounded(110.0)),
                              0.4 + rng.bounded(1.0), 0.4 + rng.bounded(1.0));
            p.setPen(QPen(Qt::black, 0.6 + rng.bounded(0.8)));
            p.drawLine(QPointF(10, 190), QPointF(110, 240));
            p.drawLine(QPointF(120, 120), QPointF(240, 125));
            p.restore();
        }
    return img;
}

QImage checkerboard(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(img.scanLine(y));
        for (int x = 0; x < w; ++x)
            line[x] = (x + y) % 2 ? 0xffffffffu : 0xff000000u;
    }
    return img;
}

// Fresh memory every run, as the pipeline's own outputs are: from the allocator the pipeline
// uses, so both pay the same first-touch cost.
double memcpyFreshMs(const QImage &src, int runs)
{
    return medianMs(runs, [&] {
        QImage dst = kcore::allocateImage(src.width(), src.height(), src.format());
        std::memcpy(dst.bits(), src.constBits(), size_t(src.sizeInBytes()));
    });
}

// The same from plain new[], for comparison.
double memcpyNewMs(qsizetype bytes, const void *src, int runs)
{
    return medianMs(runs, [&] {
        std::unique_ptr<char[]> dst(new char[size_t(bytes)]);
        std::memcpy(dst.get(), src, size_t(bytes));
        volatile char keep = dst[size_t(bytes) / 2];
        (void)keep;
    });
}

struct Row
{
    const char *step;
    double fast;
    double literal; // 0 when there is no literal version
    double memcpyMs; // 0 when not compared
    QString target;
    bool met;
};

void printTable(const std::vector<Row> &rows)
{
    std::printf("\n%-36s %10s %10s %10s %9s %9s  %s\n", "step", "fast ms", "literal ms",
                "memcpy ms", "speed-up", "/memcpy", "target");
    for (const Row &r : rows) {
        char lit[32] = "-", mem[32] = "-", up[32] = "-", vs[32] = "-";
        if (r.literal > 0) {
            std::snprintf(lit, sizeof lit, "%.1f", r.literal);
            std::snprintf(up, sizeof up, "%.1fx", r.literal / r.fast);
        }
        if (r.memcpyMs > 0) {
            std::snprintf(mem, sizeof mem, "%.1f", r.memcpyMs);
            std::snprintf(vs, sizeof vs, "%.2fx", r.fast / r.memcpyMs);
        }
        std::printf("%-36s %10.1f %10s %10s %9s %9s  %s %s\n", r.step, r.fast, lit, mem, up, vs,
                    qPrintable(r.target), r.met ? "MET" : "MISSED");
    }
}

// The processor's name, as the kernel reports it.
QString cpuModel()
{
    QFile f(QStringLiteral("/proc/cpuinfo"));
    if (f.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (line.startsWith("model name"))
                return QString::fromLatin1(line.mid(line.indexOf(':') + 1).trimmed());
        }
    }
    return QStringLiteral("unknown");
}

struct ProcessRun
{
    double ms = 0;
    long peakKB = 0; // VmHWM of the child
    bool ok = false;
};

// Runs a program with its output going nowhere; the time from start to exit and its peak memory.
ProcessRun runProcess(const QStringList &args)
{
    std::vector<QByteArray> bytes;
    for (const QString &a : args)
        bytes.push_back(QFile::encodeName(a));
    std::vector<char *> argv;
    for (QByteArray &b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    // What this process has printed and not yet written would be written by the child too.
    std::fflush(stdout);
    QElapsedTimer t;
    t.start();
    const pid_t pid = fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stderr);
        std::freopen("/dev/null", "w", stdout);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage = {};
    ProcessRun r;
    if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) {
        r.ms = t.nsecsElapsed() / 1e6;
        r.peakKB = usage.ru_maxrss;
        r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return r;
}

// The median run of each command, the commands run in turns: their ratios then see the same
// machine, whatever else it is doing at the moment.
std::vector<ProcessRun> medianRuns(int runs, const std::vector<QStringList> &commands)
{
    std::vector<std::vector<ProcessRun>> all(commands.size());
    for (int i = 0; i < runs; ++i) {
        for (size_t c = 0; c < commands.size(); ++c)
            all[c].push_back(runProcess(commands[c]));
    }
    std::vector<ProcessRun> medians;
    for (std::vector<ProcessRun> &of : all) {
        std::sort(of.begin(), of.end(),
                  [](const ProcessRun &a, const ProcessRun &b) { return a.ms < b.ms; });
        ProcessRun r = of[of.size() / 2];
        for (const ProcessRun &x : of)
            r.ok = r.ok && x.ok;
        medians.push_back(r);
    }
    return medians;
}

ProcessRun medianRun(int runs, const QStringList &args)
{
    return medianRuns(runs, {args})[0];
}

QByteArray hashOfFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(&f);
    return h.result();
}

// What every row of the benchmark shares: its pictures, its temporary files and its findings.
struct Bench
{
    const int width = 6000, height = 4000;
    const int runs = 7, literalRuns = 3;
    QTemporaryDir dir;
    bool allSame = true;
    std::vector<Row> rows; // in-process steps
    std::vector<Row> endToEnd; // kestrel-convert as a whole, printed after them
    QString photoBmp;
    ProcessRun plainConvert;
    QImage colour, grey, bw;
    qsizetype bytes = 0;
    double copyMs = 0, copyNewMs = 0;
    QFile devnull{QStringLiteral("/dev/null")};
};

// kestrel-convert on pictures: end to end against decoding alone, with and without its space
// check.
void convertPictureRows(Bench &b)
{
    auto &[width, height, runs, literalRuns, dir, allSame, rows, endToEnd, photoBmp, plainConvert,
           colour, grey, bw, bytes, copyMs, copyNewMs, devnull]
            = b;
    // kestrel-convert end to end on 24-bit BMPs, output to /dev/null, against a program that
    // only decodes the same file and against the literal pipeline in this process.
    // Measured first, while this process is small: a child's peak memory counts what it
    // shares with its parent between fork and exec.
    photoBmp = dir.filePath(QStringLiteral("photo.bmp"));
    const QString checkerBmp = dir.filePath(QStringLiteral("checker.bmp"));
    QImageWriter(photoBmp).write(photoLike(width, height));
    QImageWriter(checkerBmp).write(checkerboard(width, height));
    // Decoding is the floor: the targets are ratios to it. The literal pipeline spends most of
    // its time decoding too, so its ratio is shown for comparison, with no target.
    for (const auto &[name, file, target] :
         {std::tuple<const char *, QString, double>{"convert photo BMP", photoBmp, 1.2},
          {"convert checkerboard BMP", checkerBmp, 1.5}}) {
        // With its summary the converter runs the space check beside the writer; -q skips it.
        const std::vector<ProcessRun> medians = medianRuns(
                5,
                {{QStringLiteral(KESTREL_DECODE), file},
                 {QStringLiteral(KESTREL_CONVERT), QStringLiteral("-q"), file,
                  QStringLiteral("/dev/null")},
                 {QStringLiteral(KESTREL_CONVERT), file, QStringLiteral("/dev/null")}});
        const ProcessRun &decode = medians[0], &run = medians[1], &checked = medians[2];
        std::FILE *nowhere = std::fopen("/dev/null", "w");
        const double literalMs = medianMs(1, [&] {
            const QImage picture = kcore::loadPicture(file);
            literal::writePads(literal::bw(literal::grey(picture), 128, false, 100), 2.0, 19,
                               nowhere);
        });
        std::fclose(nowhere);
        allSame &= decode.ok && run.ok && checked.ok;
        // The target is the photo's; a one-pixel checkerboard is all gaps, shown for scale.
        const bool photo = file == photoBmp;
        endToEnd.push_back(
                {photo ? "convert photo BMP, space check" : "convert checkerboard, space check",
                 checked.ms, 0, 0,
                 photo ? QString::asprintf("<=1.3x without (%.0f ms: %.2fx)", run.ms,
                                           checked.ms / run.ms)
                       : QString::asprintf("%.2fx without (%.0f ms), no target",
                                           checked.ms / run.ms, run.ms),
                 !photo || checked.ms / run.ms <= 1.3});
        if (file == photoBmp)
            plainConvert = run;
        const double floorRatio = run.ms / decode.ms;
        const bool met = floorRatio <= target && run.peakKB <= 130 * 1024;
        endToEnd.push_back({name, run.ms, literalMs, 0,
                            QString::asprintf("<=%.1fx decode (%.0f ms: %.2fx), peak %.0f MB <= "
                                              "130; literal %.1fx (no target)",
                                              target, decode.ms, floorRatio, run.peakKB / 1024.0,
                                              literalMs / run.ms),
                            met});
    }
}

// Colour board art, anti-aliased: a gold logo with copper, bare substrate and silkscreen on
// board green.
QImage colourArt(int w, int h)
{
    QImage art(w, h, QImage::Format_RGB32);
    art.fill(QColor(0x0b3d1e));
    QPainter p(&art);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 12; ++i) {
        const double x = w * (0.1 + 0.07 * i), y = h * (0.2 + 0.05 * (i % 5));
        p.setBrush(QColor(i % 3 ? 0xd4af37 : 0x3a8a4a));
        p.drawEllipse(QPointF(x, y), w * 0.03, w * 0.03);
        p.setBrush(QColor(0xc8b48c));
        p.drawRect(QRectF(x - w * 0.01, y + h * 0.3, w * 0.02, h * 0.2));
    }
    p.setPen(QPen(QColor(0xffffff), h * 0.004));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(w * 0.05, h * 0.05, w * 0.9, h * 0.9));
    for (int i = 0; i < 40; ++i)
        p.drawLine(QPointF(w * (0.15 + 0.0175 * i), h * 0.8),
                   QPointF(w * (0.2 + 0.0175 * i), h * 0.9));
    return art;
}

// kestrel-convert writing colour art as a stack of layers against one layer of the same art.
void convertStackRows(Bench &b)
{
    const QString art = b.dir.filePath(QStringLiteral("art.bmp"));
    QImageWriter(art).write(colourArt(b.width, b.height));
    const QString convert = QStringLiteral(KESTREL_CONVERT), quiet = QStringLiteral("-q"),
                  nowhere = QStringLiteral("/dev/null");
    const std::vector<ProcessRun> medians
            = medianRuns(5,
                         {{convert, quiet, art, nowhere},
                          {convert, quiet, QStringLiteral("--stack"), art, nowhere}});
    const ProcessRun &single = medians[0], &stack = medians[1];
    b.allSame &= single.ok && stack.ok;
    const double ratio = stack.ms / single.ms;
    b.endToEnd.push_back({"convert colour art as a stack", stack.ms, 0, 0,
                          QString::asprintf("<=2x one layer (%.0f ms: %.2fx), peak %.0f MB <= 130",
                                            single.ms, ratio, stack.peakKB / 1024.0),
                          ratio <= 2 && stack.peakKB <= 130 * 1024});
}

// kestrel-convert writing the photo's and the colour art's polygons, a KiCad footprint and Gerber,
// against the same conversion to PADS, in turns.
void convertPolygonRows(Bench &b)
{
    const QString convert = QStringLiteral(KESTREL_CONVERT), quiet = QStringLiteral("-q"),
                  nowhere = QStringLiteral("/dev/null"), format = QStringLiteral("--format");
    const QString art = b.dir.filePath(QStringLiteral("art.bmp"));
    // A single Gerber file goes to standard output, which goes nowhere.
    const std::vector<ProcessRun> photo = medianRuns(
            5,
            {{convert, quiet, b.photoBmp, nowhere},
             {convert, quiet, format, QStringLiteral("kicad"), b.photoBmp, nowhere},
             {convert, quiet, format, QStringLiteral("gerber"), b.photoBmp, QStringLiteral("-")}});
    const std::vector<ProcessRun> stack
            = medianRuns(5,
                         {{convert, quiet, QStringLiteral("--stack"), art, nowhere},
                          {convert, quiet, QStringLiteral("--stack"), format,
                           QStringLiteral("kicad"), art, nowhere}});
    const auto row = [&](const char *name, const ProcessRun &run, const ProcessRun &pads) {
        b.allSame &= run.ok && pads.ok;
        const double ratio = run.ms / pads.ms;
        b.endToEnd.push_back(
                {name, run.ms, 0, 0,
                 QString::asprintf("<=2x PADS (%.0f ms: %.2fx), peak %.0f MB <= 130 "
                                   "(PADS %.0f MB)",
                                   pads.ms, ratio, run.peakKB / 1024.0, pads.peakKB / 1024.0),
                 ratio <= 2 && run.peakKB <= 130 * 1024});
    };
    row("convert photo to a KiCad footprint", photo[1], photo[0]);
    row("convert photo to Gerber", photo[2], photo[0]);
    row("convert colour art stack to KiCad", stack[1], stack[0]);
}

// kestrel-convert with smooth edges, at the picture's size and scaled.
void convertSmoothRows(Bench &b)
{
    auto &[width, height, runs, literalRuns, dir, allSame, rows, endToEnd, photoBmp, plainConvert,
           colour, grey, bw, bytes, copyMs, copyNewMs, devnull]
            = b;
    // With smooth edges: at 100 % the grey row the converter makes anyway gives the levels; at
    // other scales a row or two of grey is resampled onto the grid.
    for (const auto &[name, scale] :
         {std::pair<const char *, int>{"convert photo, smooth edges", 100},
          {"convert photo 50 %, smooth edges", 50}}) {
        const ProcessRun run
                = medianRun(5,
                            {QStringLiteral(KESTREL_CONVERT), QStringLiteral("-q"),
                             QStringLiteral("--smooth-edges"), QStringLiteral("-s"),
                             QString::number(scale), photoBmp, QStringLiteral("/dev/null")});
        allSame &= run.ok;
        endToEnd.push_back(
                {name, run.ms, 0, 0,
                 QString::asprintf("peak %.0f MB <= 130 (plain 100 %%: %.0f MB, %.0f ms)",
                                   run.peakKB / 1024.0, plainConvert.peakKB / 1024.0,
                                   plainConvert.ms),
                 run.peakKB <= 130 * 1024});
    }
}

// kestrel-convert --fab-safe against the plain conversion of the same picture: line art full of
// slivers, specks and hairline gaps, and the noisy photo, whose every pixel of noise is finer
// than the finest line at 2 mil.
void convertFabSafeRows(Bench &b)
{
    const QString art = b.dir.filePath(QStringLiteral("lineart.bmp"));
    QImageWriter(art).write(lineArt(b.width, b.height));
    const QString convert = QStringLiteral(KESTREL_CONVERT), quiet = QStringLiteral("-q"),
                  safe = QStringLiteral("--fab-safe"), nowhere = QStringLiteral("/dev/null");
    for (const auto &[name, file, invert] :
         {std::tuple<const char *, QString, bool>{"convert line art, fab-safe", art, true},
          {"convert photo BMP, fab-safe", b.photoBmp, false}}) {
        QStringList plain{convert, quiet};
        if (invert)
            plain << QStringLiteral("-i");
        const std::vector<ProcessRun> medians = medianRuns(
                3, {plain + QStringList{file, nowhere}, plain + QStringList{safe, file, nowhere}});
        const ProcessRun &without = medians[0], &with = medians[1];
        b.allSame &= without.ok && with.ok;
        b.endToEnd.push_back({name, with.ms, 0, 0,
                              QString::asprintf("%.1fx plain (%.0f ms), peak %.0f MB (plain %.0f), "
                                                "no target",
                                                with.ms / without.ms, without.ms,
                                                with.peakKB / 1024.0, without.peakKB / 1024.0),
                              true});
    }
}

// kestrel-convert halftoning the photo against its plain conversion, in turns.
void convertHalftoneRows(Bench &b)
{
    const QString convert = QStringLiteral(KESTREL_CONVERT), quiet = QStringLiteral("-q"),
                  nowhere = QStringLiteral("/dev/null");
    const std::vector<ProcessRun> medians
            = medianRuns(5,
                         {{convert, quiet, b.photoBmp, nowhere},
                          {convert, quiet, QStringLiteral("--halftone"), b.photoBmp, nowhere}});
    const ProcessRun &plain = medians[0], &halftone = medians[1];
    b.allSame &= plain.ok && halftone.ok;
    const double ratio = halftone.ms / plain.ms;
    b.endToEnd.push_back({"convert photo, halftone", halftone.ms, 0, 0,
                          QString::asprintf("<=2x plain (%.0f ms: %.2fx), peak %.0f MB <= 130",
                                            plain.ms, ratio, halftone.peakKB / 1024.0),
                          ratio <= 2 && halftone.peakKB <= 130 * 1024});
}

#ifdef KESTREL_RSVG
// kestrel-convert on vector logos against librsvg drawing them once.
void convertSvgRows(Bench &b)
{
    auto &[width, height, runs, literalRuns, dir, allSame, rows, endToEnd, photoBmp, plainConvert,
           colour, grey, bw, bytes, copyMs, copyNewMs, devnull]
            = b;
    // A detailed vector logo drawn onto a 6000 x 4000 grid (600 x 400 mm at 0.1 mm), against
    // librsvg drawing it once into an image of that size.
    {
        const auto written = [&dir](const char *name, const QByteArray &bytes) {
            const QString path = dir.filePath(QLatin1String(name));
            QFile file(path);
            file.open(QIODevice::WriteOnly);
            file.write(bytes);
            return path;
        };
        const auto drawOnce = [&](const QString &svg) {
            return QStringList{QStringLiteral(KESTREL_RSVG), svg, QString::number(width),
                               QString::number(height)};
        };
        const auto convert = [](const QString &svg) {
            return QStringList{QStringLiteral(KESTREL_CONVERT),
                               QStringLiteral("-q"),
                               QStringLiteral("-w"),
                               QStringLiteral("0.1"),
                               QStringLiteral("-u"),
                               QStringLiteral("mm"),
                               svg,
                               QStringLiteral("/dev/null")};
        };
        const QString svg = written("detail.svg", detailedSvg(600, 400));
        const std::vector<ProcessRun> medians = medianRuns(
                5,
                {drawOnce(svg),
                 convert(svg),
                 {QStringLiteral(KESTREL_CONVERT), QStringLiteral("-q"), QStringLiteral("-w"),
                  QStringLiteral("0.1"), QStringLiteral("-u"), QStringLiteral("mm"),
                  QStringLiteral("--format"), QStringLiteral("9.4"),
                  QStringLiteral("--smooth-edges"), svg, QStringLiteral("/dev/null")}});
        const ProcessRun &draw = medians[0];
        allSame &= draw.ok && medians[1].ok && medians[2].ok;
        for (int i : {1, 2}) {
            const ProcessRun &run = medians[size_t(i)];
            const double ratio = run.ms / draw.ms;
            endToEnd.push_back({i == 1 ? "convert detailed SVG 6000x4000"
                                       : "convert detailed SVG, 9.4, smooth edges",
                                run.ms, 0, 0,
                                QString::asprintf("<=1.5x librsvg drawing it once (%.0f ms: "
                                                  "%.2fx), peak %.0f MB <= 130",
                                                  draw.ms, ratio, run.peakKB / 1024.0),
                                ratio <= 1.5 && run.peakKB <= 130 * 1024});
        }
        // The same in a layer of group opacity, which is recorded with the rest; and under a
        // mask, which librsvg makes as large as the page it draws, so that one is drawn in
        // pieces of the bands. Both have the same target.
        for (const Layer layer : {Layer::Opacity, Layer::Mask}) {
            const bool mask = layer == Layer::Mask;
            const QString layered = written(mask ? "detail-masked.svg" : "detail-layered.svg",
                                            detailedSvg(600, 400, layer));
            const std::vector<ProcessRun> inLayer
                    = medianRuns(5, {drawOnce(layered), convert(layered)});
            allSame &= inLayer[0].ok && inLayer[1].ok;
            const double ratio = inLayer[1].ms / inLayer[0].ms;
            const bool memory = inLayer[1].peakKB <= 130 * 1024;
            endToEnd.push_back(
                    {mask ? "convert detailed SVG under a mask" : "convert detailed SVG in a layer",
                     inLayer[1].ms, 0, 0,
                     QString::asprintf("<=2x librsvg, peak %.0f MB <= 130 (librsvg drawing it "
                                       "once: %.0f ms: %.2fx, %.0f MB)",
                                       inLayer[1].peakKB / 1024.0, inLayer[0].ms, ratio,
                                       inLayer[0].peakKB / 1024.0),
                     memory && ratio <= 2});
        }
    }
}

#endif

// The in-process steps from a decoded picture to the black-and-white image and its preview.
void pipelineRows(Bench &b)
{
    auto &[width, height, runs, literalRuns, dir, allSame, rows, endToEnd, photoBmp, plainConvert,
           colour, grey, bw, bytes, copyMs, copyNewMs, devnull]
            = b;
    colour = photoLike(width, height);
    bytes = colour.sizeInBytes();

    // Decoding, the yardstick for everything after it.
    const QString png = dir.filePath(QStringLiteral("photo.png"));
    QImageWriter(png).write(colour);
    QImage decoded;
    const double decodeMs = medianMs(3, [&] { decoded = kcore::loadPicture(png); });
    allSame &= decoded == colour;

    // Grey.
    QImage literalGrey;
    const double greyMs = medianMs(runs, [&] { grey = kcore::makeGrey(colour); });
    const double greyLit = medianMs(literalRuns, [&] { literalGrey = literal::grey(colour); });
    copyMs = memcpyFreshMs(colour, runs);
    copyNewMs = memcpyNewMs(bytes, colour.constBits(), runs);
    allSame &= grey == literalGrey;
    rows.push_back({"grey (fresh image)", greyMs, greyLit, copyMs, ">=7x literal, <=1.5x memcpy",
                    greyLit / greyMs >= 7 && greyMs / copyMs <= 1.5});

    // Black-and-white at 100 %.
    QImage literalBw;
    const double bwMs = medianMs(runs, [&] { bw = kcore::makeBw(grey, 128, false, 100); });
    const double bwLit
            = medianMs(literalRuns, [&] { literalBw = literal::bw(grey, 128, false, 100); });
    allSame &= bw == literalBw;
    rows.push_back({"black-and-white 100 % (fresh image)", bwMs, bwLit, copyMs,
                    ">=7x literal, <=1.5x memcpy", bwLit / bwMs >= 7 && bwMs / copyMs <= 1.5});

    // A threshold drag: the scaled grey image is kept and the black-and-white one reused.
    kcore::BwBuilder builder;
    QImage dragged;
    builder.build(grey, 128, false, 100, dragged);
    int t = 0;
    const double dragMs
            = medianMs(runs, [&] { builder.build(grey, 60 + (t++ % 100), false, 100, dragged); });
    std::vector<char> target(static_cast<size_t>(bytes));
    std::memset(target.data(), 1, target.size());
    const double copyIntoMs
            = medianMs(runs, [&] { std::memcpy(target.data(), bw.constBits(), target.size()); });
    allSame &= dragged == literal::bw(grey, 60 + ((t - 1) % 100), false, 100);
    rows.push_back({"rethreshold (kept buffers)", dragMs, 0, copyIntoMs, "<=2x memcpy",
                    dragMs / copyIntoMs <= 2});

    // The first preview: fitting the picture into a frame of the window's size.
    const double previewMs = medianMs(runs, [&] {
        volatile int keep
                = colour.scaled(481, 463, Qt::KeepAspectRatio, Qt::FastTransformation).width();
        (void)keep;
    });
    rows.push_back({"preview fit 481x463", previewMs, 0, 0, "", true});

    const double after = greyMs + bwMs + previewMs;
    rows.push_back({"grey + b/w + preview vs PNG decode", after, 0, 0,
                    QString::asprintf("< decode/4 (decode %.0f ms)", decodeMs),
                    after < decodeMs / 4});
}

// Writing the file, in both layouts.
void exportRows(Bench &b)
{
    auto &[width, height, runs, literalRuns, dir, allSame, rows, endToEnd, photoBmp, plainConvert,
           colour, grey, bw, bytes, copyMs, copyNewMs, devnull]
            = b;
    // Export, worst case: a checkerboard, one item per white pixel.
    const QImage board = checkerboard(4000, 4000);
    qint64 items = 0;
    const double exportMs = medianMs(runs, [&] {
        items = kcore::writeArtwork(board, 7.874015748031496, 26, &devnull).items;
    });
    std::FILE *null = std::fopen("/dev/null", "w");
    const double exportLit = medianMs(
            literalRuns, [&] { literal::writePads(board, 7.874015748031496, 26, null); });
    std::fclose(null);
    {
        QFile fastFile(dir.filePath(QStringLiteral("fast.asc")));
        fastFile.open(QIODevice::WriteOnly);
        kcore::writeArtwork(board, 7.874015748031496, 26, &fastFile);
        fastFile.close();
        std::FILE *lit = std::fopen(qPrintable(dir.filePath(QStringLiteral("literal.asc"))), "w");
        literal::writePads(board, 7.874015748031496, 26, lit);
        std::fclose(lit);
        allSame &= hashOfFile(fastFile.fileName())
                == hashOfFile(dir.filePath(QStringLiteral("literal.asc")));
    }
    const double outBytes = double(QFileInfo(dir.filePath(QStringLiteral("fast.asc"))).size());
    const double gbps = outBytes / (exportMs / 1000) / 1e9;
    rows.push_back({"export checkerboard 4000x4000", exportMs, exportLit, 0,
                    QString::asprintf(">=15x literal, >=1 GB/s (%.2f GB/s, %.1f M items/s)", gbps,
                                      items / (exportMs / 1000) / 1e6),
                    exportLit / exportMs >= 15 && gbps >= 1});

    // The 9.4 layout's exact decimals, against a writer that prints each number with "%.4f".
    {
        kcore::PadsSettings v94{7.874015748031496, 26};
        v94.format = kcore::PadsFormat::V94;
        v94.metric = true;
        const double v94Ms
                = medianMs(runs, [&] { items = kcore::writeArtwork(board, v94, &devnull).items; });
        std::FILE *plain = std::fopen("/dev/null", "w");
        const double plainMs = medianMs(literalRuns, [&] {
            const double p = 0.2;
            qint64 item = 0;
            for (int y = 0; y < board.height(); ++y) {
                const auto *row = reinterpret_cast<const quint32 *>(board.constScanLine(y));
                for (int x = 0; x < board.width();) {
                    if (!(row[x] & 0xff)) {
                        ++x;
                        continue;
                    }
                    int n = 0;
                    while (x + n < board.width() && (row[x + n] & 0xff))
                        ++n;
                    std::fprintf(plain,
                                 "IMG%08lld LINES %.4f %.4f 1 0 0\r\nOPEN 2 %.4f 0 26\r\n0 0\r\n"
                                 "%.4f 0\r\n",
                                 item++, x * p, (board.height() - y) * p, p, n * p);
                    x += n;
                }
            }
        });
        std::fclose(plain);
        rows.push_back({"export 9.4 mm checkerboard 4000x4000", v94Ms, plainMs, 0,
                        QString::asprintf(">=5x a %%.4f writer (%.1f M items/s)",
                                          items / (v94Ms / 1000) / 1e6),
                        plainMs / v94Ms >= 5});
    }
}

// Writing with smooth edges against the plain export.
void smoothExportRows(Bench &b)
{
    auto &[width, height, runs, literalRuns, dir, allSame, rows, endToEnd, photoBmp, plainConvert,
           colour, grey, bw, bytes, copyMs, copyNewMs, devnull]
            = b;
    // Smooth edges on the photo: the same items, each end placed from the grey levels the window
    // holds while Smooth Edges is on, against the plain export of the same picture. Making the
    // levels is timed on its own: the window does it once per picture and scale, not per export.
    QImage levels;
    const double levelsMs = medianMs(runs, [&] { levels = kcore::edgeGrey(grey, bw.size()); });
    rows.push_back({"smooth edges' grey levels, photo", levelsMs, 0, 0,
                    "once a picture and scale, while on", true});
    for (const kcore::PadsFormat format : {kcore::PadsFormat::V20, kcore::PadsFormat::V94}) {
        kcore::PadsSettings plain;
        plain.format = format;
        kcore::PadsSettings smooth = plain;
        smooth.smoothEdges = true;
        smooth.threshold = 128;
        qint64 photoItems = 0, smoothItems = 0;
        const auto [plainMs, smoothMs] = medianPairMs(
                runs, [&] { photoItems = kcore::writeArtwork(bw, plain, &devnull).items; },
                [&] { smoothItems = kcore::writeArtwork(bw, smooth, &devnull, levels).items; });
        allSame &= photoItems == smoothItems;
        const bool v94 = format == kcore::PadsFormat::V94;
        rows.push_back({v94 ? "export photo 9.4" : "export photo 2.0", plainMs, 0, 0,
                        QString::asprintf("%lld items", photoItems), true});
        rows.push_back({v94 ? "export photo 9.4, smooth edges" : "export photo 2.0, smooth edges",
                        smoothMs, 0, 0,
                        QString::asprintf("<= 1.5x plain (%.2fx)", smoothMs / plainMs),
                        smoothMs / plainMs <= 1.5});
    }
}

// The fab check and the Board view.
void boardRows(Bench &b)
{
    auto &[width, height, runs, literalRuns, dir, allSame, rows, endToEnd, photoBmp, plainConvert,
           colour, grey, bw, bytes, copyMs, copyNewMs, devnull]
            = b;
    // The fab check and the Board view, on the photo and on a one-pixel checkerboard of the same
    // size (12 million items), in a frame the size of the window's.
    const QSize frame(481, 463);
    const kcore::PadsSettings boardPads{7.874015748031496, 26, false};
    const QImage boardChecker = checkerboard(width, height);
    struct BoardCase
    {
        const QImage &image;
        const char *count, *fitted, *zoomed;
    };
    const BoardCase boardCases[] = {
            {bw, "fab count, photo", "board view fitted, photo", "board view zoomed 40x, photo"},
            {boardChecker, "fab count, checkerboard", "board view fitted, checkerboard",
             "board view zoomed 40x, checkerboard"},
    };
    for (const BoardCase &c : boardCases) {
        // The window's fab check job: items and bytes, then the space check, at the window's
        // default 2 mil and at the 0.2 mm used below.
        for (const kcore::PadsSettings &pads : {kcore::PadsSettings{}, boardPads}) {
            kcore::SpaceReport spaces;
            const double spaceMs = medianMs(runs, [&] {
                spaces = kcore::checkSpace(c.image, pads, kcore::defaultMinSpaceMils);
            });
            const double jobMs = medianMs(3, [&] {
                kcore::countArtwork(c.image, pads);
                kcore::checkSpace(c.image, pads, kcore::defaultMinSpaceMils);
            });
            static std::string names[4];
            std::string &step
                    = names[(c.count == boardCases[0].count ? 0 : 2) + (pads.pitch == 2 ? 0 : 1)];
            step = std::string("space check, ")
                    + (c.count == boardCases[0].count ? "photo" : "checker")
                    + (pads.pitch == 2 ? ", 2 mil" : ", 0.2 mm");
            rows.push_back({step.c_str(), spaceMs, 0, 0,
                            QString::asprintf("off the GUI thread (whole job %.0f ms); %lld "
                                              "closed, %lld narrow, %.1f %%",
                                              jobMs, spaces.closedGaps, spaces.narrowGaps,
                                              spaces.coveragePercent),
                            true});
        }
        kcore::FileBudget budget;
        const double countMs
                = medianMs(runs, [&] { budget = kcore::countArtwork(c.image, boardPads); });
        rows.push_back({c.count, countMs, 0, 0,
                        QString::asprintf("%lld items, %.0f MB", budget.items, budget.bytes / 1e6),
                        true});
        const QRectF bounds = kcore::boardBounds(c.image.size(), boardPads);
        kcore::BoardZoom zoom;
        for (const char *step : {c.fitted, c.zoomed}) {
            if (step == c.zoomed)
                zoom.zoomAt(bounds, frame, QPointF(240, 230), 40);
            QSize size;
            const kcore::BoardViewport view = zoom.viewport(bounds, frame, &size);
            const double ms
                    = medianMs(runs, [&] { kcore::renderBoard(c.image, boardPads, view, size); });
            rows.push_back({step, ms, 0, 0, "<= 150 ms", ms <= 150});
        }
    }
    {
        // One step of a threshold drag in the Board view: re-clip, count, draw.
        kcore::BwBuilder boardBuilder;
        QImage dragBw;
        boardBuilder.build(grey, 128, false, 100, dragBw);
        const QRectF bounds = kcore::boardBounds(dragBw.size(), boardPads);
        QSize size;
        const kcore::BoardViewport fitted = kcore::BoardZoom().viewport(bounds, frame, &size);
        int step = 0;
        const double stepMs = medianMs(runs, [&] {
            boardBuilder.build(grey, 60 + (step++ % 100), false, 100, dragBw);
            kcore::countArtwork(dragBw, boardPads);
            kcore::renderBoard(dragBw, boardPads, fitted, size);
        });
        rows.push_back({"board view threshold step, photo", stepMs, 0, 0,
                        QString::asprintf(">= 20 steps/s (%.0f)", 1000 / stepMs),
                        1000 / stepMs >= 20});
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Bench b;
    b.devnull.open(QIODevice::WriteOnly);
    std::printf("kestrel-bench on %s (grey kernel: %s), %d x %d photo-like picture, medians of "
                "%d runs (literal: %d)\n",
                qPrintable(cpuModel()), kcore::greyRowKernel(), b.width, b.height, b.runs,
                b.literalRuns);
    kcore::allowLargePictures();

    // The converter first, while this process is small: a child's peak memory counts what it
    // shares with its parent between fork and exec.
    convertPictureRows(b);
    convertStackRows(b);
    convertPolygonRows(b);
    convertSmoothRows(b);
    convertFabSafeRows(b);
    convertHalftoneRows(b);
#ifdef KESTREL_RSVG
    convertSvgRows(b);
#endif
    pipelineRows(b);
    exportRows(b);
    smoothExportRows(b);
    boardRows(b);

    b.rows.insert(b.rows.end(), b.endToEnd.begin(), b.endToEnd.end());
    printTable(b.rows);
    std::printf("\nmemcpy of the %.0f MB picture into a fresh buffer: %.1f ms from the image "
                "allocator (huge pages), %.1f ms from plain new[]\n",
                b.bytes / 1e6, b.copyMs, b.copyNewMs);
    std::printf("\nfast and literal outputs identical: %s\n", b.allSame ? "yes" : "NO");
    const bool allMet
            = std::all_of(b.rows.begin(), b.rows.end(), [](const Row &r) { return r.met; });
    std::printf("all targets met: %s\n", allMet ? "yes" : "no");
    return b.allSame ? 0 : 1;
}
