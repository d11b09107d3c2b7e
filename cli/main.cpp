// kestrel-convert: the window's conversion from the command line, for scripts and batch work.
#include "board/fabcheck.h"
#include "board/spacecheck.h"
#include "core/conversion.h"
#include "core/fit.h"
#include "export/padswriter.h"
#include "export/savefile.h"
#include "geometry/layers.h"
#include "geometry/units.h"
#include "image/bwimage.h"
#include "image/picture.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fcntl.h>
#include <future>
#include <memory>
#include <optional>
#include <vector>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

// Higher is worse: a batch exits with the highest code of its inputs.
enum ExitCode { ExitOk = 0, ExitFailed = 1, ExitUsage = 2, ExitFab = 3 };

// The input a batch is converting, which every message about it names; empty for one file.
QString about;

void say(const QString &line, const QString &subject = about)
{
    if (subject.isEmpty())
        std::fprintf(stderr, "kestrel-convert: %s\n", qPrintable(line));
    else
        std::fprintf(stderr, "kestrel-convert: %s: %s\n", qPrintable(subject), qPrintable(line));
}

// Whether a decoder is at work, whose complaints the message handler drops: the reason for a
// picture that cannot be read is kestrel's own message.
bool decoding = false;
QtMessageHandler qtHandler = nullptr;

void quietDecoders(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const bool imageIo
            = context.category && QByteArray(context.category).startsWith("qt.gui.imageio");
    if (type != QtFatalMsg && (decoding || imageIo))
        return;
    if (qtHandler)
        qtHandler(type, context, message);
}

// Keeps the decoders quiet while it lives: libpng prints its errors with fprintf(stderr)
// itself, past Qt's message handler, so the standard error's descriptor is pointed at the null
// device meanwhile.
class Hush
{
public:
    Hush()
    {
        decoding = true;
        std::fflush(stderr);
#ifdef Q_OS_WIN
        const int null = ::open("NUL", O_WRONLY);
#else
        const int null = ::open("/dev/null", O_WRONLY);
#endif
        if (null < 0)
            return;
        m_saved = ::dup(2);
        if (m_saved >= 0)
            ::dup2(null, 2);
        ::close(null);
    }
    ~Hush()
    {
        decoding = false;
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(m_saved, 2);
        ::close(m_saved);
    }
    Hush(const Hush &) = delete;
    Hush &operator=(const Hush &) = delete;

private:
    int m_saved = -1;
};

struct Settings
{
    kcore::ConversionSettings conversion;
    QString width;
    int page = 0; // of a vector document, from 0
    double minLineMils = kcore::defaultMinLineMils;
    double minSpaceMils = kcore::defaultMinSpaceMils;
    bool minLineSet = false, minSpaceSet = false;
    double fitMils = 0; // 0: no fit, the scale as given
    bool fitHeight = false;
    int unit = kcore::UnitMils;
    bool strict = false;
    bool quiet = false;
    QString input;
    QString output;
    // With --output-dir: every input, each written to the folder under its own name.
    QString outputDir;
    QStringList inputs;
};

// "top-copper, bottom-copper, …", as --layer-kind takes them.
QString kindKeys()
{
    QStringList keys;
    for (kcore::LayerKind kind : kcore::layerKinds())
        keys << kcore::kindKey(kind);
    return keys.join(QStringLiteral(", "));
}

// The options, each named once: parsed by name, spelled in messages from the same object.
namespace Option {
const QCommandLineOption threshold(QStringList{"t", "threshold"},
                                   "Grey values above N are white (0-255, default 128).", "N");
const QCommandLineOption invert(QStringList{"i", "invert"}, "Swap black and white.");
const QCommandLineOption scale(QStringList{"s", "scale"}, "Scale in percent (1-500, default 100).",
                               "PERCENT");
const QCommandLineOption
        lineWidth(QStringList{"w", "line-width"},
                  "Line width, which is also the pixel pitch (default 2; at least 1 mil).", "TEXT");
const QCommandLineOption unit(QStringList{"u", "unit"},
                              "Unit of the line width: mils, mm or inch (default mils).", "UNIT");
const QCommandLineOption layer(QStringList{"l", "layer"},
                               "Layer written into every item (0-250, default 19).", "N");
const QCommandLineOption page(QStringLiteral("page"),
                              "The page of a PDF document to convert (default 1).", "N");
const QCommandLineOption
        format(QStringLiteral("format"),
               "File layout: 2.0 (whole mils, the layout PADS Layout reads; the default) or 9.4 "
               "(exact decimals and a layer table, for KiCad, pcb-rnd and newer PADS).",
               "VERSION");
const QCommandLineOption
        layerKind(QStringLiteral("layer-kind"),
                  QStringLiteral("What the layer is: %1 (default: by the layer number, %2). "
                                 "Written into 9.4 files.")
                          .arg(kindKeys(), kcore::layerNumbering()),
                  "KIND");
const QCommandLineOption
        exactEnds(QStringLiteral("exact-ends"),
                  "Run each item between the centres of its first and last pixel, so the round "
                  "line ends stay inside the pixels.");
const QCommandLineOption smoothEdges(
        QStringLiteral("smooth-edges"),
        "End each item where the grey picture's edge lies between two pixels, so the "
        "copper follows curves and slants finer than the pixels (overrides --exact-ends).");
const QCommandLineOption
        minLine(QStringLiteral("min-line"),
                "Finest line the board maker can make, in --unit (default 4 mil); a finer line "
                "width gives a warning.",
                "WIDTH");
const QCommandLineOption
        minSpace(QStringLiteral("min-space"),
                 "Narrowest space the board maker can make, in --unit (default 4 mil); spaces the "
                 "copper closes or narrows below it give a warning.",
                 "WIDTH");
const QCommandLineOption
        fitWidth(QStringLiteral("fit-width"),
                 "Choose the scale whose artwork is the widest not exceeding WIDTH, in --unit "
                 "(not with --scale).",
                 "WIDTH");
const QCommandLineOption
        fitHeight(QStringLiteral("fit-height"),
                  "Choose the scale whose artwork is the tallest not exceeding HEIGHT, in --unit "
                  "(not with --scale).",
                  "HEIGHT");
const QCommandLineOption
        strict(QStringLiteral("strict"),
               "Stop with exit code 3, writing nothing, when the line is finer than "
               "--min-line, or a space is closed or narrower than --min-space.");
const QCommandLineOption
        stack(QStringLiteral("stack"),
              "Write board art as a stack: copper, solder-mask openings and silkscreen of one "
              "side in one file, each pixel read as a finish by its colour (see --finish), or "
              "an SVG's layers named after board layers or finishes drawn each on its own. "
              "--threshold, --invert, --layer and --layer-kind do not apply.");
const QCommandLineOption
        finish(QStringLiteral("finish"),
               "With --stack: read colour #RRGGBB as FINISH (board, copper, gold, bare or silk); "
               "repeatable. Default palette: board #0B3D1E and #000000, copper #3A8A4A, gold "
               "#D4AF37, bare #C8B48C, silk #FFFFFF.",
               "#RRGGBB=FINISH");
const QCommandLineOption side(QStringLiteral("side"),
                              "With --stack: top (layers 1, 21, 26; the default) or bottom "
                              "(2, 28, 29, the art mirrored left to right).",
                              "SIDE");
const QCommandLineOption
        maskExpansion(QStringLiteral("mask-expansion"),
                      "With --stack: how far gold's mask openings reach past its copper, in "
                      "--unit (default 2 mil; 0 or negative allowed).",
                      "WIDTH");
const QCommandLineOption quiet(QStringList{"q", "quiet"}, "Print no summary and no warning.");
const QCommandLineOption
        outputDir(QStringLiteral("output-dir"),
                  "Convert every INPUT, each into DIR/NAME.asc (NAME: the input's name without its "
                  "last suffix), with the same options; one failing does not stop the others.",
                  "DIR");
} // namespace Option

const char exitCodes[] = "Exit codes (of a batch, the highest of its inputs'):\n"
                         "  0  written\n"
                         "  1  could not read the input or write the output\n"
                         "  2  bad arguments or settings\n"
                         "  3  --strict: the line or a space is finer than the fab limits\n";

// The long name of an option, as messages spell it.
QString nameOf(const QCommandLineOption &option)
{
    return option.names().constLast();
}

bool readInt(const QCommandLineParser &parser, const QCommandLineOption &option, int low, int high,
             int *value)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    const int v = parser.value(option).trimmed().toInt(&ok);
    if (!ok || v < low || v > high) {
        say(QStringLiteral("--%1 takes a whole number from %2 to %3, not \"%4\"")
                    .arg(nameOf(option))
                    .arg(low)
                    .arg(high)
                    .arg(parser.value(option)));
        return false;
    }
    *value = v;
    return true;
}

// The stack's options: false, having said why, when one is refused.
bool readStack(const QCommandLineParser &parser, int unit, kcore::StackSettings *stack)
{
    stack->on = parser.isSet(Option::stack);
    for (const QCommandLineOption *option :
         {&Option::finish, &Option::side, &Option::maskExpansion})
        if (!stack->on && parser.isSet(*option)) {
            say(QStringLiteral("--%1 needs --stack").arg(nameOf(*option)));
            return false;
        }
    for (const QString &rule : parser.values(Option::finish)) {
        QString why;
        if (!kcore::addFinishRule(rule, &stack->palette, &why)) {
            say(QStringLiteral("--finish ") + why);
            return false;
        }
    }
    if (parser.isSet(Option::side)) {
        const QString side = parser.value(Option::side);
        if (side != QLatin1String("top") && side != QLatin1String("bottom")) {
            say(QStringLiteral("--side takes top or bottom, not \"%1\"").arg(side));
            return false;
        }
        stack->bottom = side == QLatin1String("bottom");
    }
    if (parser.isSet(Option::maskExpansion)) {
        const QString text = parser.value(Option::maskExpansion);
        bool isNumber = false;
        const double mils = kcore::linePitch(text, unit, &isNumber);
        if (!isNumber || !std::isfinite(mils)) {
            say(QStringLiteral("--mask-expansion takes a length, not \"%1\"").arg(text));
            return false;
        }
        stack->maskExpansionMils = mils;
    }
    return true;
}

// Fills settings from the command line; returns an exit code when the run should stop here.
// The conversion's settings: false, having said why, when one is refused.
bool readConversion(const QCommandLineParser &parser, Settings *s)
{
    s->conversion.invert = parser.isSet(Option::invert);
    s->quiet = parser.isSet(Option::quiet);
    s->strict = parser.isSet(Option::strict);
    s->conversion.pads.exactEnds = parser.isSet(Option::exactEnds);
    s->conversion.pads.smoothEdges = parser.isSet(Option::smoothEdges);
    int scale = 100;
    int page = 1;
    if (!readInt(parser, Option::threshold, 0, 255, &s->conversion.pads.threshold)
        || !readInt(parser, Option::scale, 1, 500, &scale)
        || !readInt(parser, Option::layer, 0, 250, &s->conversion.pads.layer)
        || !readInt(parser, Option::page, 1, 1000000, &page))
        return false;
    s->conversion.scalePercent = scale;
    s->page = page - 1;

    int unit = kcore::UnitMils;
    if (parser.isSet(Option::unit)) {
        const QString u = parser.value(Option::unit);
        const QStringList names
                = {QStringLiteral("mils"), QStringLiteral("mm"), QStringLiteral("inch")};
        unit = names.indexOf(u);
        if (unit < 0) {
            say(QStringLiteral("--unit takes mils, mm or inch, not \"%1\"").arg(u));
            return false;
        }
    }
    const QString width = parser.isSet(Option::lineWidth) ? parser.value(Option::lineWidth)
                                                          : QStringLiteral("2");
    s->width = width;
    s->conversion.pads.pitch = kcore::linePitch(width, unit);
    if (parser.isSet(Option::format)) {
        const QString f = parser.value(Option::format);
        if (f != QLatin1String("2.0") && f != QLatin1String("9.4")) {
            say(QStringLiteral("--format takes 2.0 or 9.4, not \"%1\"").arg(f));
            return false;
        }
        s->conversion.pads.format
                = f == QLatin1String("9.4") ? kcore::PadsFormat::V94 : kcore::PadsFormat::V20;
    }
    s->conversion.pads.metric = kcore::writesMetric(unit);
    if (parser.isSet(Option::layerKind)) {
        const QString k = parser.value(Option::layerKind);
        if (!kcore::kindFromKey(k, &s->conversion.pads.kind)) {
            say(QStringLiteral("--layer-kind takes %1, not \"%2\"").arg(kindKeys(), k));
            return false;
        }
    }
    if (!readStack(parser, unit, &s->conversion.stack))
        return false;
    // The settings alone, before any file is read.
    const kcore::WriteCheck check = kcore::checkWrite(width, unit, s->conversion, {});
    if (check.refusal == kcore::Refusal::LineWidth || check.refusal == kcore::Refusal::Layer) {
        say((check.refusal == kcore::Refusal::Layer
                     ? (s->conversion.stack.on ? QStringLiteral("--mask-expansion: ")
                                               : QStringLiteral("--layer: "))
                     : QStringLiteral("--line-width: "))
            + QString(check.why).replace('\n', ' '));
        return false;
    }
    s->unit = unit;
    return true;
}

// The fab limits, the fit and the output: false, having said why, when one is refused.
bool readLimits(const QCommandLineParser &parser, Settings *s)
{
    const int unit = s->unit;
    const auto readLength = [&](const QCommandLineOption &option, double *mils) {
        if (!parser.isSet(option))
            return true;
        const QString text = parser.value(option);
        bool isNumber = false;
        const double v = kcore::linePitch(text, unit, &isNumber);
        if (!isNumber || !(v > 0)) {
            say(QStringLiteral("--%1 takes a length greater than 0, not \"%2\"")
                        .arg(nameOf(option), text));
            return false;
        }
        *mils = v;
        return true;
    };
    s->minLineSet = parser.isSet(Option::minLine);
    s->minSpaceSet = parser.isSet(Option::minSpace);
    if (!readLength(Option::minLine, &s->minLineMils)
        || !readLength(Option::minSpace, &s->minSpaceMils)
        || !readLength(Option::fitWidth, &s->fitMils)
        || !readLength(Option::fitHeight, &s->fitMils))
        return false;
    // The check pairs every row with the rows a line and the space can reach across: a space of
    // metres would pair every row with every other.
    if (s->minSpaceMils > kcore::maxMinSpaceMils) {
        say(QStringLiteral("--min-space takes at most %1 mil (%2 mm), not \"%3\"")
                    .arg(kcore::maxMinSpaceMils)
                    .arg(kcore::maxMinSpaceMils * kcore::mmPerMil)
                    .arg(parser.value(Option::minSpace)));
        return false;
    }
    const bool fitWidth = parser.isSet(Option::fitWidth);
    s->fitHeight = parser.isSet(Option::fitHeight);
    if (fitWidth && s->fitHeight) {
        say(QStringLiteral("--fit-width and --fit-height cannot be used together"));
        return false;
    }
    if ((fitWidth || s->fitHeight) && parser.isSet(Option::scale)) {
        say(QStringLiteral("--%1 chooses the scale; it cannot be used with --scale")
                    .arg(nameOf(fitWidth ? Option::fitWidth : Option::fitHeight)));
        return false;
    }
    return true;
}

// The inputs and outputs: one INPUT and its OUTPUT, or with --output-dir every INPUT, each
// into the folder under a name of its own. False, having said why, when they are refused.
bool readFiles(const QCommandLineParser &parser, Settings *s)
{
    const QStringList files = parser.positionalArguments();
    if (!parser.isSet(Option::outputDir)) {
        if (files.size() != 2) {
            say(QStringLiteral("needs exactly two arguments, INPUT and OUTPUT (see --help)"));
            return false;
        }
        s->input = files[0];
        s->output = files[1];
        return true;
    }
    s->outputDir = parser.value(Option::outputDir);
    if (files.isEmpty()) {
        say(QStringLiteral("--output-dir needs at least one INPUT (see --help)"));
        return false;
    }
    QStringList names;
    for (const QString &input : files) {
        if (input == QLatin1String("-")) {
            say(QStringLiteral("--output-dir names each file after its input; standard input "
                               "(-) has no name, convert it with INPUT OUTPUT"));
            return false;
        }
        // Two inputs of one name would write the same file, the second over the first.
        const QString name = QFileInfo(input).completeBaseName();
        if (const qsizetype earlier = names.indexOf(name); earlier >= 0) {
            say(QStringLiteral("%1 and %2 would both be written to %3.asc")
                        .arg(files[earlier], input, QDir(s->outputDir).filePath(name)));
            return false;
        }
        names << name;
    }
    s->inputs = files;
    return true;
}

int parseArguments(const QStringList &arguments, Settings *s)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
            QStringLiteral("Converts a picture, or a page of an SVG or PDF document, into a PADS "
                           "PowerPCB ASCII file: every horizontal "
                           "run of white pixels of the black-and-white image becomes one LINES "
                           "item. With --output-dir DIR, converts every INPUT into DIR."));
    parser.addOptions(
            {Option::threshold, Option::invert,    Option::scale,         Option::lineWidth,
             Option::unit,      Option::layer,     Option::page,          Option::format,
             Option::layerKind, Option::exactEnds, Option::smoothEdges,   Option::stack,
             Option::finish,    Option::side,      Option::maskExpansion, Option::minLine,
             Option::minSpace,  Option::fitWidth,  Option::fitHeight,     Option::strict,
             Option::quiet,     Option::outputDir});
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument(
            QStringLiteral("INPUT"),
            QStringLiteral("The picture, SVG or PDF document to read, or - for standard input."));
    parser.addPositionalArgument(QStringLiteral("OUTPUT"),
                                 QStringLiteral("The file to write, or - for standard output."));

    if (!parser.parse(arguments)) {
        say(parser.errorText());
        return ExitUsage;
    }
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        std::fputs(exitCodes, stdout);
        return ExitOk;
    }
    if (parser.isSet(version)) {
        std::printf("kestrel-convert %s\n", qPrintable(QCoreApplication::applicationVersion()));
        return ExitOk;
    }
    if (!readFiles(parser, s) || !readConversion(parser, s) || !readLimits(parser, s))
        return ExitUsage;
    return -1;
}

QString noMemoryMessage(const QSize &size)
{
    return QStringLiteral("there is not enough memory to draw the %1 x %2 pixel page")
            .arg(size.width())
            .arg(size.height());
}

// Why nothing can be written, for the command line: the option at fault and its exit code.
int refuse(const kcore::WriteCheck &check, const kcore::Conversion &conversion)
{
    const kcore::ConversionSettings &c = conversion.settings();
    switch (check.refusal) {
    case kcore::Refusal::None:
        return -1;
    case kcore::Refusal::TooManyPixels: {
        const int largest = conversion.source().largestScale(c, int(c.scalePercent));
        say(QStringLiteral("--scale: ") + check.why
            + (largest > 0 ? QStringLiteral(" At most %1 % fits.").arg(largest)
                           : QStringLiteral(" Not even 1 % fits at this line width.")));
        return ExitUsage;
    }
    case kcore::Refusal::NoPixels:
        say(QStringLiteral("--scale: at %1 % the black-and-white image has no pixels; nothing "
                           "written")
                    .arg(c.scalePercent));
        return ExitUsage;
    case kcore::Refusal::Layer:
        say(QStringLiteral("--layer: ") + QString(check.why).replace('\n', ' '));
        return ExitUsage;
    default:
        say(QStringLiteral("--line-width: ") + QString(check.why).replace('\n', ' '));
        return ExitUsage;
    }
}

// Sets the scale --fit-width or --fit-height asks for; false when it cannot be reached.
bool fitScale(Settings &s, const kcore::Source &source, QString *fitted)
{
    kcore::ConversionSettings &c = s.conversion;
    const kcore::FitResult fit = source.isVector()
            ? kcore::fitPage(source.vector()->pageMils(), c.pads, s.fitMils, s.fitHeight)
            : kcore::fitScale(source.picture().size(), c.pads, s.fitMils, s.fitHeight);
    const QString text = kcore::fitText(fit, s.fitMils, s.fitHeight, s.unit);
    if (!fit.ok) {
        say(QStringLiteral("--%1: %2")
                    .arg(nameOf(s.fitHeight ? Option::fitHeight : Option::fitWidth), text));
        return false;
    }
    // A page scales by any amount: the exact scale, or the artwork would miss the size asked.
    c.scalePercent = source.isVector() ? fit.exactScale : fit.scale;
    *fitted = QStringLiteral("fitted to ") + text;
    return true;
}

// --strict: the line and the spaces are judged before anything is written, the spaces over the
// rows once beforehand. Returns an exit code when the run stops here.
int judgeStrictly(const Settings &s, const kcore::Conversion &conversion,
                  std::optional<kcore::SpaceReport> *spaces)
{
    const kcore::FabCheck line = kcore::fabCheck({}, conversion.settings().pads, s.minLineMils);
    if (line.belowMinimum()) {
        say(QStringLiteral("the %1 mil line is %2 (--strict); nothing written")
                    .arg(kcore::milsText(line.lineMils), kcore::fabWarning(line)));
        return ExitFab;
    }
    bool complete = true;
    *spaces = conversion.checkSpaces(s.minSpaceMils, &complete);
    if (!complete) {
        say(noMemoryMessage(conversion.grid()));
        return ExitFailed;
    }
    if ((*spaces)->hasFindings()) {
        say(QStringLiteral("%1 below the %2 mil (%3 mm) minimum space (--strict); nothing "
                           "written")
                    .arg(kcore::gapSummary(**spaces), kcore::milsText(s.minSpaceMils),
                         QString::number(s.minSpaceMils * kcore::mmPerMil, 'f', 3)));
        return ExitFab;
    }
    return -1;
}

// The summary of a file written, and the warnings of its fab check.
void report(const Settings &s, const kcore::Conversion &conversion, const kcore::PadsResult &result,
            const kcore::SpaceReport &spaces)
{
    const kcore::PadsSettings &pads = conversion.settings().pads;
    const QSize size = conversion.grid();
    const kcore::SizeTexts actual = kcore::actualSizeTexts(size, pads);
    const kcore::FabCheck fab = kcore::fabCheck({result.items, result.bytes}, pads, s.minLineMils);
    say(QStringLiteral("%1x%2 pixels, %3 LINES items, actual size %4, %5, %6; %7, %8")
                .arg(size.width())
                .arg(size.height())
                .arg(result.items)
                .arg(actual.mils, actual.mm, actual.inch, kcore::fabSummary(fab),
                     kcore::spaceSummary(spaces)));
    if (fab.belowMinimum())
        say(QStringLiteral("warning: the %1 mil line is %2")
                    .arg(kcore::milsText(fab.lineMils), kcore::fabWarning(fab)));
    if (spaces.hasFindings())
        say(QStringLiteral("warning: %1 below the %2 mil minimum space")
                    .arg(kcore::gapSummary(spaces), kcore::milsText(s.minSpaceMils)));
}

// The bytes of standard input, all of them: a picture's decoder needs the whole file.
QByteArray readStandardInput()
{
#ifdef Q_OS_WIN
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly))
        return QByteArray();
    return in.readAll();
}

// The picture or document at s.input ("-": standard input, a document told by its start); an
// exit code when it cannot be had.
int openInput(const Settings &s, kcore::Conversion *conversion)
{
    const bool standard = s.input == QLatin1String("-");
    const QByteArray data = standard ? readStandardInput() : QByteArray();
    const auto open = [&](int page, QString *why) {
        Hush hush;
        return standard ? kcore::Source::fromData(data, page, why)
                        : kcore::Source::open(s.input, page, why);
    };
    QString why;
    conversion->setSource(open(s.page, &why));
    if (!conversion->source().isNull())
        return -1;
    // A page the document does not have is a bad --page, not a bad document.
    if (s.page > 0) {
        const kcore::Source first = open(0, nullptr);
        if (first.isVector() && s.page >= first.vector()->pageCount()) {
            say(QStringLiteral("--page: ") + why);
            return ExitUsage;
        }
    }
    say(QStringLiteral("Could not load the file as image. %1").arg(why), s.input);
    return ExitFailed;
}

// OUTPUT, or standard output, written by write: false, having said why, when it fails.
bool writeOutput(const Settings &s, const std::function<kcore::PadsResult(QIODevice *)> &write,
                 kcore::PadsResult *result)
{
    *result = s.output == QLatin1String("-") ? kcore::writeStandardOutput(write)
                                             : kcore::saveFile(s.output, write);
    if (result->ok)
        return true;
    say(result->rowsFailed
                ? result->message
                : QStringLiteral("could not write %1: %2").arg(s.output, result->message));
    return false;
}

// Each layer's line and spaces found finer than its limits, the layer named.
void reportStackFindings(const kcore::StackFab &fab)
{
    for (int side = 0; side < 2; ++side) {
        for (int l = 0; l < kcore::stackLayerCount; ++l) {
            const kcore::StackFab::Layer &layer = fab.layers[size_t(side)][size_t(l)];
            if (!layer.written)
                continue;
            const QString name = kcore::kindName(layer.fab.kind);
            if (layer.fab.belowMinimum())
                say(QStringLiteral("warning: %1: the %2 mil line is %3")
                            .arg(name, kcore::milsText(layer.fab.lineMils),
                                 kcore::fabWarning(layer.fab)));
            if (layer.spaces.hasFindings())
                say(QStringLiteral("warning: %1: %2 below the %3 mil minimum %4")
                            .arg(name, kcore::gapSummary(layer.spaces),
                                 kcore::milsText(layer.spaces.minSpaceMils),
                                 l == int(kcore::StackLayer::Mask)
                                         ? QStringLiteral("mask web (grown openings included)")
                                         : QStringLiteral("space")));
        }
    }
}

// A stack: every layer of its side into the one file, and each layer's figures.
int convertStack(const Settings &s, const kcore::Conversion &conversion, const QString &fitted)
{
    // Copper's limits are the ones given; the others the board makers' usual.
    kcore::StackLimits limits;
    limits.copperLine = s.minLineSet ? s.minLineMils : limits.copperLine;
    limits.copperSpace = s.minSpaceSet ? s.minSpaceMils : limits.copperSpace;
    if (s.strict) {
        const kcore::StackFab judged = conversion.stackFabCheck(limits);
        if (judged.hasFindings()) {
            reportStackFindings(judged);
            say(QStringLiteral("the stack is finer than the fab limits (--strict); nothing "
                               "written"));
            return ExitFab;
        }
    }
    kcore::StackFab fab;
    const auto write = [&](QIODevice *device) {
        // Quiet, nothing is reported: no layer's check is made.
        if (s.quiet)
            return conversion.writeStack(device, {}, &fab.budget);
        fab = conversion.stackFabCheck(limits, nullptr, device);
        return fab.written;
    };
    const kcore::StackBudget &budget = fab.budget;
    kcore::PadsResult result;
    if (!writeOutput(s, write, &result))
        return ExitFailed;
    if (s.quiet)
        return ExitOk;
    if (!fitted.isEmpty())
        say(fitted);
    const kcore::ConversionSettings &c = conversion.settings();
    const QSize size = conversion.grid();
    const kcore::SizeTexts actual = kcore::actualSizeTexts(size, c.pads);
    say(QStringLiteral("%1x%2 pixels, %3 LINES items, %4 bytes, actual size %5, %6, %7; stack, "
                       "mask expansion %8 mil")
                .arg(size.width())
                .arg(size.height())
                .arg(result.items)
                .arg(result.bytes)
                .arg(actual.mils, actual.mm, actual.inch,
                     kcore::milsText(c.stack.maskExpansionMils)));
    const double pixels = double(size.width()) * size.height();
    for (int side = 0; side < 2; ++side) {
        if (!(budget.sides >> side & 1))
            continue;
        const kcore::StackCounts &counts = budget.counts[size_t(side)];
        for (int l = 0; l < kcore::stackLayerCount; ++l) {
            const auto layer = kcore::StackLayer(l);
            const kcore::PadsBudget &b = budget.layers[size_t(side)][size_t(l)];
            say(QStringLiteral("%1, layer %2: %3 items, %4 bytes, coverage %5 %")
                        .arg(kcore::kindName(kcore::stackLayerKind(layer, side)))
                        .arg(kcore::stackLayerNumber(layer, side))
                        .arg(b.items)
                        .arg(b.bytes)
                        .arg(pixels > 0 ? 100.0 * double(counts.layers[size_t(l)]) / pixels : 0.0,
                             0, 'f', 1));
        }
        if (counts.silkCleared)
            say(QStringLiteral("%1 silkscreen pixels left off mask openings")
                        .arg(counts.silkCleared));
    }
    reportStackFindings(fab);
    return ExitOk;
}

int convert(Settings s)
{
    if (s.input != QLatin1String("-") && s.output != QLatin1String("-")
        && kcore::isSameFile(s.input, s.output)) {
        say(QStringLiteral("%1 is the input picture itself; writing it would destroy the "
                           "picture")
                    .arg(s.output));
        return ExitUsage;
    }
    kcore::Conversion conversion;
    if (const int stop = openInput(s, &conversion); stop >= 0)
        return stop;
    QString fitted;
    if (s.fitMils > 0 && !fitScale(s, conversion.source(), &fitted))
        return ExitUsage;
    conversion.setSettings(s.conversion);
    if (const int stop = refuse(conversion.check(s.width, s.unit), conversion); stop >= 0)
        return stop;
    if (s.conversion.stack.on)
        return convertStack(s, conversion, fitted);
    std::optional<kcore::SpaceReport> spaces;
    if (s.strict)
        if (const int stop = judgeStrictly(s, conversion, &spaces); stop >= 0)
            return stop;

    // Rows go from the picture (or the page, a band at a time) through grey, scale and clip
    // straight into the writer, the space check riding along: neither the grey nor the
    // black-and-white image is ever held whole.
    std::unique_ptr<kcore::SpaceCheckBeside> beside;
    kcore::RowSink alongside;
    if (!s.quiet && !spaces) {
        beside = std::make_unique<kcore::SpaceCheckBeside>(conversion.grid(), s.conversion.pads,
                                                           s.minSpaceMils);
        alongside = [&beside](const quint32 *row, int, const kcore::EdgeRow *edges) {
            beside->addRow(row, edges);
        };
    }
    const auto write = [&](QIODevice *device) { return conversion.write(device, {}, alongside); };
    kcore::PadsResult result;
    if (!writeOutput(s, write, &result))
        return ExitFailed;
    if (!s.quiet) {
        if (!fitted.isEmpty())
            say(fitted);
        report(s, conversion, result, beside ? beside->finish() : *spaces);
    }
    return ExitOk;
}

// Every input into the output folder, each on its own: one that fails does not stop the rest.
int convertAll(Settings s)
{
    if (!QDir().mkpath(s.outputDir)) {
        say(QStringLiteral("could not create the folder %1").arg(s.outputDir));
        return ExitFailed;
    }
    int worst = ExitOk;
    for (const QString &input : std::as_const(s.inputs)) {
        s.input = about = input;
        s.output = QDir(s.outputDir).filePath(QFileInfo(input).completeBaseName() + ".asc");
        worst = std::max(worst, convert(s));
    }
    about.clear();
    return worst;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrel-convert"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTREL_VERSION));
    kcore::allowLargePictures();
    qtHandler = qInstallMessageHandler(quietDecoders);
    Settings settings;
    const int stop = parseArguments(QCoreApplication::arguments(), &settings);
    if (stop >= 0)
        return stop;
    if (settings.outputDir.isEmpty())
        return convert(settings);
    return convertAll(settings);
}
