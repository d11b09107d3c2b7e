// kestrel-convert: the window's conversion from the command line, for scripts and batch work.
#include "export/padswriter.h"
#include "geometry/units.h"
#include "image/bwimage.h"
#include "image/greyimage.h"
#include "image/picture.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>

#include <cstdio>

namespace {

enum ExitCode { ExitOk = 0, ExitFailed = 1, ExitUsage = 2 };

void say(const QString &line)
{
    std::fprintf(stderr, "kestrel-convert: %s\n", qPrintable(line));
}

struct Settings
{
    int threshold = 128;
    bool invert = false;
    int scale = 100;
    double pitch = 2;
    int layer = 19;
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
            {{"w", "line-width"}, "Line width, which is also the pixel pitch (default 2).", "TEXT"},
            {{"u", "unit"}, "Unit of the line width: mils, mm or inch (default mils).", "UNIT"},
            {{"l", "layer"}, "Layer written into every item (0-250, default 19).", "N"},
            {{"q", "quiet"}, "Print no summary."},
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
    if (!readInt(parser, QStringLiteral("threshold"), 0, 255, &s->threshold)
        || !readInt(parser, QStringLiteral("scale"), 1, 500, &s->scale)
        || !readInt(parser, QStringLiteral("layer"), 0, 250, &s->layer))
        return ExitUsage;

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
    bool isNumber = false;
    s->pitch = kcore::linePitch(width, unit, &isNumber);
    // The window writes a file of zeros for these; a script is better stopped.
    if (!isNumber || !(s->pitch > 0)) {
        say(QStringLiteral("--line-width takes a number greater than 0, not \"%1\"").arg(width));
        return ExitUsage;
    }
    return -1;
}

int convert(const Settings &s)
{
    // The colour picture is not needed past the grey one; letting it go lowers the peak.
    const QImage grey = kcore::makeGrey(kcore::loadPicture(s.input));
    if (grey.isNull()) {
        say(QStringLiteral("%1: Could not load the file as image.").arg(s.input));
        return ExitFailed;
    }
    if (!kcore::scaleWithinLimit(grey.size(), s.scale)) {
        const QSize big = kcore::scaledRequest(grey.size(), s.scale);
        say(QStringLiteral("--scale %1 would make a %2 x %3 pixel image, more than the %4 "
                           "megapixels kestrel builds; at most %5 fits")
                    .arg(s.scale)
                    .arg(big.width())
                    .arg(big.height())
                    .arg(kcore::maxImagePixels / 1000000)
                    .arg(kcore::largestScaleWithinLimit(grey.size(), s.scale)));
        return ExitUsage;
    }
    const QImage bw = kcore::makeBw(grey, s.threshold, s.invert, s.scale);
    if (!bw.isNull() && !kcore::padsFits(bw.size(), s.pitch)) {
        say(QStringLiteral("--line-width is too large for this picture: its coordinates would "
                           "not fit in a PADS file"));
        return ExitUsage;
    }

    kcore::PadsResult result;
    QString error;
    if (s.output == QLatin1String("-")) {
        QFile out;
        if (!out.open(stdout, QIODevice::WriteOnly)) {
            error = out.errorString();
        } else {
            result = kcore::writePads(bw, s.pitch, s.layer, &out);
            if (result.status == kcore::PadsResult::Ok && !out.flush())
                result.status = kcore::PadsResult::WriteFailed;
            if (result.status != kcore::PadsResult::Ok)
                error = out.errorString();
        }
    } else {
        // The old file, if any, stays until the new one is complete.
        QSaveFile out(s.output);
        if (!out.open(QIODevice::WriteOnly)) {
            error = out.errorString();
        } else {
            result = kcore::writePads(bw, s.pitch, s.layer, &out);
            if (result.status != kcore::PadsResult::Ok)
                error = result.error;
            else if (!out.commit())
                error = out.errorString();
            if (!error.isNull())
                out.cancelWriting();
        }
    }
    if (!error.isNull()) {
        say(QStringLiteral("could not write %1: %2").arg(s.output, error));
        return ExitFailed;
    }
    if (!s.quiet) {
        const kcore::SizeTexts size = kcore::actualSizeTexts(grey.size(), s.scale, s.pitch);
        say(QStringLiteral("%1x%2 pixels, %3 LINES items, actual size %4, %5, %6")
                    .arg(bw.width())
                    .arg(bw.height())
                    .arg(result.items)
                    .arg(size.mils, size.mm, size.inch));
    }
    return ExitOk;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrel-convert"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTREL_VERSION));
    Settings settings;
    const int stop = parseArguments(QCoreApplication::arguments(), &settings);
    if (stop >= 0)
        return stop;
    return convert(settings);
}
