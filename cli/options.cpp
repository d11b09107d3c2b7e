// kestrel-convert's options, and the command line read into Settings: every option refused says
// why, naming itself.
#include "options.h"

#include "messages.h"

#include "board/fabcheck.h"
#include "board/spacecheck.h"
#include "export/artworkwriter.h"
#include "geometry/layers.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cmath>
#include <cstdio>

namespace kcli {

namespace {

// "top-copper, bottom-copper, …", as --layer-kind takes them.
QString kindKeys()
{
    QStringList keys;
    for (kcore::LayerKind kind : kcore::layerKinds())
        keys << kcore::kindKey(kind);
    return keys.join(QStringLiteral(", "));
}

} // namespace

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
               "What to write: PADS lines in the 2.0 layout (whole mils, the layout PADS Layout "
               "reads; the default) or 9.4 (exact decimals and a layer table, for KiCad, pcb-rnd "
               "and newer PADS); or the copper's outlines as polygons: kicad (a .kicad_mod "
               "footprint of every layer) or gerber (Gerber X2, a file for each layer, "
               "OUTPUT-F_Cu.gbr and so on).",
               "FORMAT");
const QCommandLineOption
        origin(QStringLiteral("origin"),
               "With kicad or gerber: centre (the default) puts the picture's centre on the "
               "origin, corner its lower-left corner.",
               "WHERE");
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
        halftone(QStringLiteral("halftone"),
                 "Draw the grey as dots on a hexagonal screen instead of clipping it at "
                 "--threshold: the written share of every square millimetre follows the grey "
                 "(white written whole, black bare; --invert swaps them), every dot and web at "
                 "least --min-line across, every gap and hole at least --min-space.");
const QCommandLineOption cell(QStringLiteral("cell"),
                              "With --halftone: the screen's cell across, in --unit (default: "
                              "the smallest that draws 16 tones within the limits).",
                              "WIDTH");
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
const QCommandLineOption
        fabSafe(QStringLiteral("fab-safe"),
                "Change the black-and-white image as little as it takes for the board maker to "
                "make it: ink narrower than --min-line is removed or widened, a space narrower "
                "than --min-space opened or closed, whichever moves fewer pixels, and shapes are "
                "neither joined nor split where another change would do. Not with --stack or "
                "--halftone.");
const QCommandLineOption
        halftoneFinish(QStringLiteral("halftone-finish"),
                       "With --halftone and --stack: what the dots are, silk (silkscreen on the "
                       "mask; the default), gold or bare (mask openings onto gold or bare board), "
                       "each within its layer's limits.",
                       "FINISH");
const QCommandLineOption quiet(QStringList{"q", "quiet"}, "Print no summary and no warning.");
const QCommandLineOption
        outputDir(QStringLiteral("output-dir"),
                  "Convert every INPUT, each into DIR/NAME.asc (.kicad_mod, .gbr by --format; "
                  "NAME: the input's name without its last suffix), with the same options; one "
                  "failing does not stop the others.",
                  "DIR");
} // namespace Option

namespace {

const char exitCodes[] = "Exit codes (of a batch, the highest of its inputs'):\n"
                         "  0  written\n"
                         "  1  could not read the input or write the output\n"
                         "  2  bad arguments or settings\n"
                         "  3  --strict: the line or a space is finer than the fab limits\n";

} // namespace

QString nameOf(const QCommandLineOption &option)
{
    return option.names().constLast();
}

kcore::StackLimits stackLimits(const Settings &s)
{
    kcore::StackLimits limits;
    limits.copperLine = s.minLineSet ? s.minLineMils : limits.copperLine;
    limits.copperSpace = s.minSpaceSet ? s.minSpaceMils : limits.copperSpace;
    return limits;
}

namespace {

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
    // A stack's layers are made from one another (gold's copper and its opening, the silkscreen
    // kept off openings): cleaning each on its own would tear them apart.
    if (stack->on && parser.isSet(Option::fabSafe)) {
        say(QStringLiteral("--fab-safe cleans the black-and-white art of one layer; a stack's "
                           "layers are made from one another and are checked each against its "
                           "own limits instead"));
        return false;
    }
    for (const QCommandLineOption *option :
         {&Option::finish, &Option::side, &Option::maskExpansion, &Option::halftoneFinish})
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
    if (parser.isSet(Option::halftoneFinish)) {
        const QString key = parser.value(Option::halftoneFinish);
        kcore::Finish finish;
        if (!kcore::finishFromKey(key, &finish)
            || (finish != kcore::Finish::Silk && finish != kcore::Finish::Gold
                && finish != kcore::Finish::Bare)) {
            say(QStringLiteral("--halftone-finish takes silk, gold or bare, not \"%1\"").arg(key));
            return false;
        }
        stack->halftoneFinish = finish;
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

// The file type and its layout, and where the polygons' origin lies: false, having said why,
// when one is refused.
bool readFormat(const QCommandLineParser &parser, kcore::PadsSettings *pads)
{
    if (parser.isSet(Option::format)) {
        const QString f = parser.value(Option::format);
        if (!kcore::formatFromKey(f, pads)) {
            say(QStringLiteral("--format takes %1, not \"%2\"").arg(kcore::formatKeys(), f));
            return false;
        }
    }
    if (parser.isSet(Option::origin)) {
        const QString where = parser.value(Option::origin);
        if (where != QLatin1String("centre") && where != QLatin1String("corner")) {
            say(QStringLiteral("--origin takes centre or corner, not \"%1\"").arg(where));
            return false;
        }
        pads->originCorner = where == QLatin1String("corner");
    }
    return true;
}

// --unit as the window's unit index: false, having said why, when it is none of them.
bool readUnit(const QCommandLineParser &parser, int *unit)
{
    if (!parser.isSet(Option::unit))
        return true;
    const QString u = parser.value(Option::unit);
    const QStringList names
            = {QStringLiteral("mils"), QStringLiteral("mm"), QStringLiteral("inch")};
    *unit = int(names.indexOf(u));
    if (*unit < 0) {
        say(QStringLiteral("--unit takes mils, mm or inch, not \"%1\"").arg(u));
        return false;
    }
    return true;
}

// The conversion's settings: false, having said why, when one is refused.
bool readConversion(const QCommandLineParser &parser, Settings *s)
{
    s->conversion.invert = parser.isSet(Option::invert);
    s->quiet = parser.isSet(Option::quiet);
    s->strict = parser.isSet(Option::strict);
    s->conversion.pads.exactEnds = parser.isSet(Option::exactEnds);
    s->conversion.pads.smoothEdges = parser.isSet(Option::smoothEdges);
    s->conversion.fabSafe.on = parser.isSet(Option::fabSafe);
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
    if (!readUnit(parser, &unit))
        return false;
    const QString width = parser.isSet(Option::lineWidth) ? parser.value(Option::lineWidth)
                                                          : QStringLiteral("2");
    s->width = width;
    s->conversion.pads.pitch = kcore::linePitch(width, unit);
    if (!readFormat(parser, &s->conversion.pads))
        return false;
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
    // Fab-safe art is made for the limits it is checked against.
    s->conversion.fabSafe.minLineMils = s->minLineMils;
    s->conversion.fabSafe.minSpaceMils = s->minSpaceMils;
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

// The halftone's options and the limits it keeps, once those are read: false, having said why,
// when one is refused.
bool readHalftone(const QCommandLineParser &parser, Settings *s)
{
    kcore::HalftoneSettings &h = s->conversion.halftone;
    h.on = parser.isSet(Option::halftone);
    for (const QCommandLineOption *option : {&Option::cell, &Option::halftoneFinish})
        if (!h.on && parser.isSet(*option)) {
            say(QStringLiteral("--%1 needs --halftone").arg(nameOf(*option)));
            return false;
        }
    if (!h.on)
        return true;
    if (parser.isSet(Option::fabSafe)) {
        say(QStringLiteral("--fab-safe makes thresholded art safe; a halftone keeps the limits "
                           "itself"));
        return false;
    }
    if (parser.isSet(Option::threshold)) {
        say(QStringLiteral("--threshold does not apply with --halftone: the grey's tone sets the "
                           "dots"));
        return false;
    }
    if (parser.isSet(Option::cell)) {
        const QString text = parser.value(Option::cell);
        bool isNumber = false;
        const double mils = kcore::linePitch(text, s->unit, &isNumber);
        if (!isNumber || !(mils > 0) || !std::isfinite(mils)) {
            say(QStringLiteral("--cell takes a length greater than 0, not \"%1\"").arg(text));
            return false;
        }
        h.cellMils = mils;
    }
    h.minLineMils = s->minLineMils;
    h.minSpaceMils = s->minSpaceMils;
    if (s->conversion.stack.on)
        kcore::useStackLimits(&s->conversion, stackLimits(*s));
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
    // The suffix of the files --format writes.
    kcore::PadsSettings type;
    kcore::formatFromKey(parser.value(Option::format), &type);
    const QString suffix = kcore::fileTypeSuffix(type.type);
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
            say(QStringLiteral("%1 and %2 would both be written to %3.%4")
                        .arg(files[earlier], input, QDir(s->outputDir).filePath(name), suffix));
            return false;
        }
        names << name;
    }
    s->inputs = files;
    return true;
}

} // namespace

int parseArguments(const QStringList &arguments, Settings *s)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
            QStringLiteral("Converts a picture, or a page of an SVG or PDF document, into a PADS "
                           "PowerPCB ASCII file: every horizontal "
                           "run of white pixels of the black-and-white image becomes one LINES "
                           "item; or into a KiCad footprint or Gerber files of the outlines as "
                           "polygons (--format). With --output-dir DIR, converts every INPUT into "
                           "DIR."));
    parser.addOptions(
            {Option::threshold, Option::invert,        Option::scale,          Option::lineWidth,
             Option::unit,      Option::layer,         Option::page,           Option::format,
             Option::origin,    Option::layerKind,     Option::exactEnds,      Option::smoothEdges,
             Option::halftone,  Option::cell,          Option::stack,          Option::finish,
             Option::side,      Option::maskExpansion, Option::halftoneFinish, Option::minLine,
             Option::minSpace,  Option::fabSafe,       Option::fitWidth,       Option::fitHeight,
             Option::strict,    Option::quiet,         Option::outputDir});
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
    if (!readFiles(parser, s) || !readConversion(parser, s) || !readLimits(parser, s)
        || !readHalftone(parser, s))
        return ExitUsage;
    return -1;
}

} // namespace kcli
