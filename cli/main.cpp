// kestrel-convert: the window's conversion from the command line, for scripts and batch work.
#include "board/fabcheck.h"
#include "board/spacecheck.h"
#include "export/layers.h"
#include "export/padswriter.h"
#include "geometry/fit.h"
#include "geometry/units.h"
#include "image/bwimage.h"
#include "image/picture.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <array>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

enum ExitCode { ExitOk = 0, ExitFailed = 1, ExitUsage = 2, ExitFab = 3 };

void say(const QString &line)
{
    std::fprintf(stderr, "kestrel-convert: %s\n", qPrintable(line));
}

struct Settings
{
    int threshold = 128;
    bool invert = false;
    int scale = 100;
    kcore::PadsSettings pads;
    double minLineMils = kcore::defaultMinLineMils;
    double minSpaceMils = kcore::defaultMinSpaceMils;
    double fitMils = 0; // 0: no fit, the scale as given
    bool fitHeight = false;
    int unit = kcore::UnitMils;
    bool strict = false;
    bool quiet = false;
    QString input;
    QString output;
};

bool readInt(const QCommandLineParser &parser, const QString &name, int low, int high, int *value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const int v = parser.value(name).trimmed().toInt(&ok);
    if (!ok || v < low || v > high) {
        say(QStringLiteral("--%1 takes a whole number from %2 to %3, not \"%4\"")
                    .arg(name)
                    .arg(low)
                    .arg(high)
                    .arg(parser.value(name)));
        return false;
    }
    *value = v;
    return true;
}

// The space check on a thread of its own: this thread finds each row's strokes, the other pairs
// them with the rows above, which costs about as much as writing; the two then take turns on two
// cores instead of adding up.
class CheckBeside
{
public:
    CheckBeside(const QSize &size, const kcore::PadsSettings &pads, double minSpaceMils)
        : m_check(size, pads, minSpaceMils), m_thread([this] { run(); })
    { }
    ~CheckBeside()
    {
        if (m_thread.joinable())
            finish();
    }
    CheckBeside(const CheckBeside &) = delete;
    CheckBeside &operator=(const CheckBeside &) = delete;

    void addRow(const quint32 *row, const kcore::EdgeRow *edges = nullptr)
    {
        std::unique_lock lock(m_mutex);
        if (m_added - m_checked >= int(m_slots.size())) {
            m_producerWaits = true;
            m_changed.wait(lock, [this] { return m_added - m_checked < int(m_slots.size()); });
            m_producerWaits = false;
        }
        std::vector<kcore::SpaceCheck::Stroke> &slot = m_slots[size_t(m_added) % m_slots.size()];
        lock.unlock();
        m_check.strokesOf(row, edges, &slot);
        lock.lock();
        ++m_added;
        // Woken a batch at a time: a wake-up per row costs more than the rows.
        if (m_checkerWaits && m_added - m_checked >= int(m_slots.size()) / 4)
            m_changed.notify_all();
    }
    kcore::SpaceReport finish()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_done = true;
            m_changed.notify_all();
        }
        m_thread.join();
        return m_check.finish();
    }

private:
    void run()
    {
        int y = 0;
        for (;;) {
            std::unique_lock lock(m_mutex);
            if (m_added == y && !m_done) {
                m_checkerWaits = true;
                m_changed.wait(lock, [&] { return m_added > y || m_done; });
                m_checkerWaits = false;
            }
            const int until = m_added;
            if (until == y)
                return; // done, and every row checked
            lock.unlock();
            for (; y < until; ++y)
                m_check.addStrokes(y, &m_slots[size_t(y) % m_slots.size()]);
            lock.lock();
            m_checked = y;
            if (m_producerWaits)
                m_changed.notify_all();
        }
    }

    kcore::SpaceCheck m_check;
    std::array<std::vector<kcore::SpaceCheck::Stroke>, 64> m_slots;
    int m_added = 0, m_checked = 0;
    bool m_done = false, m_producerWaits = false, m_checkerWaits = false;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::thread m_thread; // last: it starts once everything else is built
};

// Fills settings from the command line; returns an exit code when the run should stop here.
int parseArguments(const QStringList &arguments, Settings *s)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
            QStringLiteral("Converts a picture into a PADS PowerPCB ASCII file: every horizontal "
                           "run of white pixels of the black-and-white image becomes one LINES "
                           "item."));
    parser.addOptions({
            {{"t", "threshold"}, "Grey values above N are white (0-255, default 128).", "N"},
            {{"i", "invert"}, "Swap black and white."},
            {{"s", "scale"}, "Scale in percent (1-500, default 100).", "PERCENT"},
            {{"w", "line-width"},
             "Line width, which is also the pixel pitch (default 2; at least 1 mil).",
             "TEXT"},
            {{"u", "unit"}, "Unit of the line width: mils, mm or inch (default mils).", "UNIT"},
            {{"l", "layer"}, "Layer written into every item (0-250, default 19).", "N"},
            {"format",
             "File layout: 2.0 (whole mils, the layout PADS Layout reads; the default) or 9.4 "
             "(exact decimals and a layer table, for KiCad, pcb-rnd and newer PADS).",
             "VERSION"},
            {"layer-kind",
             "What the layer is: top-copper, bottom-copper, top-silk, bottom-silk, top-mask, "
             "bottom-mask or documentation (default: by the layer number, 1 top copper, 2 bottom "
             "copper, 21 top mask, 26 top silk, 28 bottom mask, 29 bottom silk, others "
             "documentation). Written into 9.4 files.",
             "KIND"},
            {"exact-ends",
             "Run each item between the centres of its first and last pixel, so the round "
             "line ends stay inside the pixels."},
            {"smooth-edges",
             "End each item where the grey picture's edge lies between two pixels, so the "
             "copper follows curves and slants finer than the pixels (overrides --exact-ends)."},
            {"min-line",
             "Finest line the board maker can make, in --unit (default 4 mil); a finer line "
             "width gives a warning.",
             "WIDTH"},
            {"min-space",
             "Narrowest space the board maker can make, in --unit (default 4 mil); spaces the "
             "copper closes or narrows below it give a warning.",
             "WIDTH"},
            {"fit-width",
             "Choose the scale whose artwork is the widest not exceeding WIDTH, in --unit "
             "(not with --scale).",
             "WIDTH"},
            {"fit-height",
             "Choose the scale whose artwork is the tallest not exceeding HEIGHT, in --unit "
             "(not with --scale).",
             "HEIGHT"},
            {"strict",
             "Stop with exit code 3, writing nothing, when the line is finer than "
             "--min-line, or a space is closed or narrower than --min-space."},
            {{"q", "quiet"}, "Print no summary and no warning."},
    });
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("INPUT"), QStringLiteral("The picture to read."));
    parser.addPositionalArgument(QStringLiteral("OUTPUT"),
                                 QStringLiteral("The file to write, or - for standard output."));

    if (!parser.parse(arguments)) {
        say(parser.errorText());
        return ExitUsage;
    }
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return ExitOk;
    }
    if (parser.isSet(version)) {
        std::printf("kestrel-convert %s\n", qPrintable(QCoreApplication::applicationVersion()));
        return ExitOk;
    }
    const QStringList files = parser.positionalArguments();
    if (files.size() != 2) {
        say(QStringLiteral("needs exactly two arguments, INPUT and OUTPUT (see --help)"));
        return ExitUsage;
    }
    s->input = files[0];
    s->output = files[1];
    s->invert = parser.isSet(QStringLiteral("invert"));
    s->quiet = parser.isSet(QStringLiteral("quiet"));
    s->strict = parser.isSet(QStringLiteral("strict"));
    s->pads.exactEnds = parser.isSet(QStringLiteral("exact-ends"));
    s->pads.smoothEdges = parser.isSet(QStringLiteral("smooth-edges"));
    if (!readInt(parser, QStringLiteral("threshold"), 0, 255, &s->threshold)
        || !readInt(parser, QStringLiteral("scale"), 1, 500, &s->scale)
        || !readInt(parser, QStringLiteral("layer"), 0, 250, &s->pads.layer))
        return ExitUsage;
    s->pads.threshold = s->threshold;

    int unit = kcore::UnitMils;
    if (parser.isSet(QStringLiteral("unit"))) {
        const QString u = parser.value(QStringLiteral("unit"));
        const QStringList names
                = {QStringLiteral("mils"), QStringLiteral("mm"), QStringLiteral("inch")};
        unit = names.indexOf(u);
        if (unit < 0) {
            say(QStringLiteral("--unit takes mils, mm or inch, not \"%1\"").arg(u));
            return ExitUsage;
        }
    }
    const QString width = parser.isSet(QStringLiteral("line-width"))
            ? parser.value(QStringLiteral("line-width"))
            : QStringLiteral("2");
    const QString problem = kcore::lineWidthProblem(width, unit);
    if (!problem.isEmpty()) {
        say(QStringLiteral("--line-width: ") + QString(problem).replace('\n', ' '));
        return ExitUsage;
    }
    s->pads.pitch = kcore::linePitch(width, unit);
    if (parser.isSet(QStringLiteral("format"))) {
        const QString f = parser.value(QStringLiteral("format"));
        if (f != QLatin1String("2.0") && f != QLatin1String("9.4")) {
            say(QStringLiteral("--format takes 2.0 or 9.4, not \"%1\"").arg(f));
            return ExitUsage;
        }
        s->pads.format
                = f == QLatin1String("9.4") ? kcore::PadsFormat::V94 : kcore::PadsFormat::V20;
    }
    // Inches are written in mils: readers lose short pieces in files whose unit is the inch.
    s->pads.metric = unit == kcore::UnitMillimetres;
    if (parser.isSet(QStringLiteral("layer-kind"))) {
        const QString k = parser.value(QStringLiteral("layer-kind"));
        if (!kcore::kindFromKey(k, &s->pads.kind)) {
            QStringList keys;
            for (kcore::LayerKind kind : kcore::layerKinds())
                keys << kcore::kindKey(kind);
            say(QStringLiteral("--layer-kind takes %1, not \"%2\"")
                        .arg(keys.join(QStringLiteral(", ")), k));
            return ExitUsage;
        }
    }
    const QString layer = kcore::layerProblem(s->pads);
    if (!layer.isEmpty()) {
        say(QStringLiteral("--layer: ") + layer);
        return ExitUsage;
    }
    s->unit = unit;
    const auto readLength = [&](const char *name, double *mils) {
        const QString option = QLatin1String(name);
        if (!parser.isSet(option))
            return true;
        const QString text = parser.value(option);
        bool isNumber = false;
        const double v = kcore::linePitch(text, unit, &isNumber);
        if (!isNumber || !(v > 0)) {
            say(QStringLiteral("--%1 takes a length greater than 0, not \"%2\"").arg(option, text));
            return false;
        }
        *mils = v;
        return true;
    };
    if (!readLength("min-line", &s->minLineMils) || !readLength("min-space", &s->minSpaceMils)
        || !readLength("fit-width", &s->fitMils) || !readLength("fit-height", &s->fitMils))
        return ExitUsage;
    // The check pairs every row with the rows a line and the space can reach across: a space of
    // metres would pair every row with every other.
    if (s->minSpaceMils > kcore::maxMinSpaceMils) {
        say(QStringLiteral("--min-space takes at most %1 mil (%2 mm), not \"%3\"")
                    .arg(kcore::maxMinSpaceMils)
                    .arg(kcore::maxMinSpaceMils * kcore::mmPerMil)
                    .arg(parser.value(QStringLiteral("min-space"))));
        return ExitUsage;
    }
    const bool fitWidth = parser.isSet(QStringLiteral("fit-width"));
    s->fitHeight = parser.isSet(QStringLiteral("fit-height"));
    if (fitWidth && s->fitHeight) {
        say(QStringLiteral("--fit-width and --fit-height cannot be used together"));
        return ExitUsage;
    }
    if ((fitWidth || s->fitHeight) && parser.isSet(QStringLiteral("scale"))) {
        say(QStringLiteral("--%1 chooses the scale; it cannot be used with --scale")
                    .arg(fitWidth ? QStringLiteral("fit-width") : QStringLiteral("fit-height")));
        return ExitUsage;
    }
    if (s->output != QLatin1String("-") && kcore::isSameFile(s->input, s->output)) {
        say(QStringLiteral("%1 is the input picture itself; writing it would destroy the "
                           "picture")
                    .arg(s->output));
        return ExitUsage;
    }
    return -1;
}

// The grey levels of row y, after rows.row(y), when the run ends follow the picture's edges.
std::optional<kcore::EdgeRow> edgeRowOf(kcore::BwRows &rows, int y, const kcore::PadsSettings &pads)
{
    if (!pads.smoothEdges)
        return std::nullopt;
    const kcore::GreyLevels grey = rows.edgeLevels(y);
    return kcore::EdgeRow(grey.levels, grey.step, rows.size().width(), pads.threshold);
}

int convert(Settings s)
{
    QString why;
    const QImage picture = kcore::loadPicture(s.input, &why);
    if (picture.isNull()) {
        say(QStringLiteral("%1: Could not load the file as image. %2").arg(s.input, why));
        return ExitFailed;
    }
    QString fitted;
    if (s.fitMils > 0) {
        const kcore::FitResult fit
                = kcore::fitScale(picture.size(), s.pads, s.fitMils, s.fitHeight);
        if (!fit.ok) {
            say(QStringLiteral("--%1: %2")
                        .arg(s.fitHeight ? QStringLiteral("fit-height")
                                         : QStringLiteral("fit-width"),
                             kcore::fitText(fit, s.fitMils, s.fitHeight, s.unit)));
            return ExitUsage;
        }
        s.scale = fit.scale;
        fitted = QStringLiteral("fitted to ") + kcore::fitText(fit, s.fitMils, s.fitHeight, s.unit);
    }
    if (!kcore::scaleWithinLimit(picture.size(), s.scale)) {
        const QSize big = kcore::scaledRequest(picture.size(), s.scale);
        say(QStringLiteral("--scale %1 would make a %2 x %3 pixel image, more than the %4 "
                           "megapixels kestrel builds; at most %5 fits")
                    .arg(s.scale)
                    .arg(big.width())
                    .arg(big.height())
                    .arg(kcore::maxImagePixels / 1000000)
                    .arg(kcore::largestScaleWithinLimit(picture.size(), s.scale)));
        return ExitUsage;
    }
    // Rows go from the picture through grey, scale and clip straight into the writer: neither
    // the grey nor the black-and-white image is ever held whole.
    kcore::BwRows rows(picture, s.threshold, s.invert, s.scale);
    const QSize size = rows.size();
    if (!size.isEmpty() && !kcore::padsFits(size, s.pads)) {
        say(QStringLiteral("--line-width: ") + kcore::pitchTooLargeMessage());
        return ExitUsage;
    }
    const kcore::FabCheck before = kcore::fabCheck({}, s.pads, s.minLineMils);
    if (s.strict && before.belowMinimum()) {
        say(QStringLiteral("the %1 mil line is %2 (--strict); nothing written")
                    .arg(kcore::milsText(before.lineMils), kcore::fabWarning(before)));
        return ExitFab;
    }

    // The space check rides along with the writer, on the same rows; --strict must know its
    // outcome before anything is written, so it runs over the rows once beforehand.
    std::optional<kcore::SpaceReport> spaces;
    if (s.strict) {
        kcore::BwRows again(picture, s.threshold, s.invert, s.scale);
        kcore::SpaceCheck check(size, s.pads, s.minSpaceMils);
        for (int y = 0; y < size.height(); ++y) {
            const quint32 *row = again.row(y);
            const std::optional<kcore::EdgeRow> edges = edgeRowOf(again, y, s.pads);
            check.addRow(row, y, edges ? &*edges : nullptr);
        }
        spaces = check.finish();
        if (spaces->hasFindings()) {
            say(QStringLiteral("%1 below the %2 mil (%3 mm) minimum space (--strict); nothing "
                               "written")
                        .arg(kcore::gapSummary(*spaces), kcore::milsText(s.minSpaceMils),
                             QString::number(s.minSpaceMils * kcore::mmPerMil, 'f', 3)));
            return ExitFab;
        }
    }
    std::unique_ptr<CheckBeside> check;
    if (!s.quiet && !spaces)
        check = std::make_unique<CheckBeside>(size, s.pads, s.minSpaceMils);

    const auto write = [&](QIODevice *device) {
        kcore::PadsWriter writer(size, s.pads, device);
        for (int y = 0; y < size.height(); ++y) {
            const quint32 *row = rows.row(y);
            const std::optional<kcore::EdgeRow> edges = edgeRowOf(rows, y, s.pads);
            if (!writer.writeRow(row, y, edges ? &*edges : nullptr))
                break;
            if (check)
                check->addRow(row, edges ? &*edges : nullptr);
        }
        return writer.finish();
    };
    const kcore::PadsResult result = s.output == QLatin1String("-")
            ? kcore::writeStandardOutput(write)
            : kcore::saveFile(s.output, write);
    if (!result.ok) {
        say(QStringLiteral("could not write %1: %2").arg(s.output, result.message));
        return ExitFailed;
    }
    if (!s.quiet) {
        if (!fitted.isEmpty())
            say(fitted);
        if (check)
            spaces = check->finish();
        const kcore::SizeTexts actual = kcore::actualSizeTexts(size, s.pads);
        const kcore::FabCheck fab
                = kcore::fabCheck({result.items, result.bytes}, s.pads, s.minLineMils);
        say(QStringLiteral("%1x%2 pixels, %3 LINES items, actual size %4, %5, %6; %7, %8")
                    .arg(size.width())
                    .arg(size.height())
                    .arg(result.items)
                    .arg(actual.mils, actual.mm, actual.inch, kcore::fabSummary(fab),
                         kcore::spaceSummary(*spaces)));
        if (fab.belowMinimum())
            say(QStringLiteral("warning: the %1 mil line is %2")
                        .arg(kcore::milsText(fab.lineMils), kcore::fabWarning(fab)));
        if (spaces->hasFindings())
            say(QStringLiteral("warning: %1 below the %2 mil minimum space")
                        .arg(kcore::gapSummary(*spaces), kcore::milsText(s.minSpaceMils)));
    }
    return ExitOk;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrel-convert"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTREL_VERSION));
    kcore::allowLargePictures();
    Settings settings;
    const int stop = parseArguments(QCoreApplication::arguments(), &settings);
    if (stop >= 0)
        return stop;
    return convert(settings);
}
