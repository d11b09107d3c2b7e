// One input converted into one output: the source opened, the scale fitted, the file checked
// and written with the space check riding along, and the summary and warnings said.
#include "convert.h"

#include "messages.h"

#include "board/fabcheck.h"
#include "board/spacecheck.h"
#include "core/fit.h"
#include "core/warnings.h"
#include "export/artworkwriter.h"
#include "export/savefile.h"
#include "geometry/layers.h"
#include "image/picture.h"

#include <QColor>
#include <QFile>

#include <memory>
#include <optional>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#endif

namespace kcli {

namespace {

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
    case kcore::Refusal::Halftone:
        say((c.halftone.cellMils > 0 ? QStringLiteral("--cell: ") : QStringLiteral("--halftone: "))
            + check.why);
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
            : kcore::fitScale(source.pictureSize(), c.pads, s.fitMils, s.fitHeight);
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

// A picture read row by row turned out damaged: it is read whole again, which says why (or, should
// the whole read succeed, converts it).
constexpr int readAgain = 100;

// "the 2 mil line is finer than the 4 mil (0.102 mm) the board maker can make"; of fab-safe art,
// what its ink has.
QString lineSentence(const kcore::FabCheck &line)
{
    if (line.inkJudged)
        return kcore::fabWarning(line);
    return QStringLiteral("the %1 mil line is %2")
            .arg(kcore::milsText(line.lineMils), kcore::fabWarning(line));
}

// --strict: the line and the spaces are judged before anything is written, the spaces over the
// rows once beforehand. Returns an exit code when the run stops here.
int judgeStrictly(const Settings &s, const kcore::Conversion &conversion,
                  std::optional<kcore::SpaceReport> *spaces)
{
    const kcore::FabCheck line = conversion.lineCheck({}, s.minLineMils);
    if (line.belowMinimum()) {
        say(lineSentence(line) + QStringLiteral(" (--strict); nothing written"));
        return ExitFab;
    }
    bool complete = true;
    *spaces = conversion.checkSpaces(s.minSpaceMils, &complete);
    if (!complete) {
        if (conversion.source().isStreamed())
            return readAgain;
        say(noMemoryMessage(conversion.grid()));
        return ExitFailed;
    }
    if ((*spaces)->hasFindings()) {
        say(QStringLiteral("%1 below the %2 mil (%3) minimum space (--strict); nothing written")
                    .arg(kcore::gapSummary(**spaces), kcore::milsText(s.minSpaceMils),
                         kcore::lengthText(s.minSpaceMils, kcore::UnitMillimetres)));
        return ExitFab;
    }
    return -1;
}

// "1,234 LINES items", or "12 polygons from 1,234 runs".
QString itemsText(const kcore::Conversion &conversion, const kcore::WriteResult &result)
{
    const QString items = QStringLiteral("%1 %2")
                                  .arg(result.items)
                                  .arg(kcore::itemNoun(conversion.settings().pads.type));
    return result.runs > 0 ? items + QStringLiteral(" from %1 runs").arg(result.runs) : items;
}

// The files written, when they are not OUTPUT alone (a Gerber file for each layer).
void reportFiles(const Settings &s, const kcore::Conversion &conversion)
{
    const QStringList files = conversion.files(s.output);
    if (s.output != QLatin1String("-") && files != QStringList{s.output})
        say(QStringLiteral("%1 files: %2").arg(files.size()).arg(files.join(QStringLiteral(", "))));
}

// The halftone's screen, and whether its line width draws the smallest dot round.
void reportHalftone(const kcore::Conversion &conversion)
{
    const std::shared_ptr<const kcore::HalftoneScreen> &screen = conversion.screen();
    if (!conversion.settings().halftone.on || !screen)
        return;
    say(QStringLiteral("halftone: hexagonal screen, cell %1 mil (%2 mm), %3 tones; smallest dot "
                       "%4 mil, narrowest web %5 mil, for the %6 mil line and %7 mil space limits")
                .arg(kcore::milsText(screen->cellMils()))
                .arg(QString::number(screen->cellMils() * kcore::mmPerMil, 'f', 3))
                .arg(screen->tones())
                .arg(kcore::milsText(screen->smallestDotMils()),
                     kcore::milsText(screen->narrowestWebMils()),
                     kcore::milsText(screen->minLineMils()),
                     kcore::milsText(screen->minSpaceMils())));
    if (screen->coarse())
        say(QStringLiteral("warning: the %1 mil line width is too coarse to draw a %2 mil dot "
                           "round; a line width of at most %3 mil does")
                    .arg(kcore::milsText(conversion.settings().pads.pitch),
                         kcore::milsText(screen->minLineMils()),
                         kcore::milsText(screen->minLineMils() / kcore::roundDotPitches)));
}

// The summary of a file written, and the warnings of its fab check and of what it covers.
void report(const Settings &s, const kcore::Conversion &conversion,
            const kcore::WriteResult &result, const kcore::SpaceReport &spaces,
            kcore::Coverage coverage)
{
    const kcore::PadsSettings &pads = conversion.settings().pads;
    const QSize size = conversion.grid();
    const kcore::SizeTexts actual = kcore::actualSizeTexts(size, pads);
    const kcore::FabCheck fab = conversion.lineCheck({result.items, result.bytes}, s.minLineMils);
    say(QStringLiteral("%1x%2 pixels, %3, actual size %4, %5, %6; %7, %8")
                .arg(size.width())
                .arg(size.height())
                .arg(itemsText(conversion, result))
                .arg(actual.mils, actual.mm, actual.inch, kcore::fabSummary(fab),
                     kcore::spaceSummary(spaces)));
    reportFiles(s, conversion);
    reportHalftone(conversion);
    if (conversion.settings().fabSafe.on)
        say(kcore::fabSafeSummary(conversion.fabSafeReport()));
    if (fab.belowMinimum())
        say(QStringLiteral("warning: ") + lineSentence(fab));
    if (spaces.hasFindings())
        say(QStringLiteral("warning: %1 below the %2 mil minimum space")
                    .arg(kcore::gapSummary(spaces), kcore::milsText(s.minSpaceMils)));
    // The picture's greys are read once more only when they explain an empty or full file.
    if (coverage != kcore::Coverage::Part)
        say(QStringLiteral("warning: ")
            + kcore::coverageWarning(coverage, conversion.settings(), conversion.greyRange()));
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
// exit code when it cannot be had. A picture is read row by row as it is written where its
// decoder can, read whole otherwise.
int openInput(Settings &s, kcore::Conversion *conversion)
{
    const bool standard = s.input == QLatin1String("-");
    if (standard && s.standardInput.isNull())
        s.standardInput = readStandardInput();
    const QByteArray &data = s.standardInput;
    const bool streamed = !s.readWhole && !s.conversion.stack.on;
    const auto open = [&](int page, QString *why) {
        Hush hush;
        return standard ? kcore::Source::fromData(data, page, why, streamed)
                        : kcore::Source::open(s.input, page, why, streamed);
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

// Files that cannot be written: several onto standard output, or one of them the input itself.
int refuseFiles(const Settings &s, const kcore::Conversion &conversion)
{
    const QStringList files = conversion.files(s.output);
    if (s.output == QLatin1String("-")) {
        if (files.size() == 1)
            return -1;
        say(QStringLiteral("standard output takes one file; this writes %1, one for each layer")
                    .arg(files.size()));
        return ExitUsage;
    }
    for (const QString &file : files)
        if (s.input != QLatin1String("-") && kcore::isSameFile(s.input, file)) {
            say(QStringLiteral("%1 is the input picture itself; writing it would destroy the "
                               "picture")
                        .arg(file));
            return ExitUsage;
        }
    return -1;
}

// OUTPUT's files, or standard output, written by write: false, having said why, when it fails;
// the rows of a picture read as it goes found damaged are left to be read again, unsaid.
bool writeOutput(const Settings &s, const kcore::Conversion &conversion,
                 const std::function<kcore::WriteResult(const kcore::Destination &)> &write,
                 kcore::WriteResult *result)
{
    const bool readAgainLater = conversion.source().isStreamed();
    const bool standard = s.output == QLatin1String("-");
    const QString name = kcore::artworkName(standard ? s.input : s.output);
    *result = standard ? kcore::writeStandardOutput(
                      [&](QIODevice *device) { return write(kcore::Destination({device}, name)); })
                       : kcore::saveFiles(conversion.files(s.output), name, write);
    if (result->ok || (readAgainLater && result->rowsFailed))
        return result->ok;
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
            if (layer.lineTooFine())
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

// A stack's summary: the file, each layer's figures, the findings and what the colours hide.
void reportStack(const Settings &s, const kcore::Conversion &conversion,
                 const kcore::WriteResult &result, const kcore::StackFab &fab)
{
    const kcore::StackBudget &budget = fab.budget;
    const kcore::ConversionSettings &c = conversion.settings();
    const QSize size = conversion.grid();
    const kcore::SizeTexts actual = kcore::actualSizeTexts(size, c.pads);
    say(QStringLiteral("%1x%2 pixels, %3, %4 bytes, actual size %5, %6, %7; stack, mask "
                       "expansion %8 mil")
                .arg(size.width())
                .arg(size.height())
                .arg(itemsText(conversion, result))
                .arg(result.bytes)
                .arg(actual.mils, actual.mm, actual.inch,
                     kcore::milsText(c.stack.maskExpansionMils)));
    reportFiles(s, conversion);
    const double pixels = double(size.width()) * size.height();
    const QString noun = kcore::itemNoun(c.pads.type, true);
    for (int side = 0; side < 2; ++side) {
        if (!(budget.sides >> side & 1))
            continue;
        const kcore::StackCounts &counts = budget.counts[size_t(side)];
        for (int l = 0; l < kcore::stackLayerCount; ++l) {
            const auto layer = kcore::StackLayer(l);
            const kcore::FileBudget &b = budget.layers[size_t(side)][size_t(l)];
            say(QStringLiteral("%1, layer %2: %3 %4, %5 bytes, coverage %6 %")
                        .arg(kcore::kindName(kcore::stackLayerKind(layer, side)))
                        .arg(kcore::stackLayerNumber(layer, side))
                        .arg(b.items)
                        .arg(noun)
                        .arg(b.bytes)
                        .arg(pixels > 0 ? 100.0 * double(counts.layers[size_t(l)]) / pixels : 0.0,
                             0, 'f', 1));
        }
        if (counts.silkCleared)
            say(QStringLiteral("%1 silkscreen pixels left off mask openings")
                        .arg(counts.silkCleared));
    }
    reportHalftone(conversion);
    reportStackFindings(fab);
    const QString covered = kcore::stackCoverageWarning(budget, size, c.stack.palette);
    if (!covered.isEmpty())
        say(QStringLiteral("warning: ") + covered);
    const QString unmatched = kcore::unmatchedWarning(budget.palette);
    if (!unmatched.isEmpty())
        say(QStringLiteral("warning: %1; --finish '%2=FINISH' says what it is")
                    .arg(unmatched, QColor(budget.palette.commonUnmatched()).name().toUpper()));
}

// A stack: every layer of its side into the one file, and each layer's figures.
int convertStack(const Settings &s, const kcore::Conversion &conversion, const QString &fitted)
{
    const kcore::StackLimits limits = stackLimits(s);
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
    const auto write = [&](const kcore::Destination &out) {
        // Quiet, nothing is reported: no layer's check is made.
        if (s.quiet)
            return conversion.writeStack(out, {}, &fab.budget);
        fab = conversion.stackFabCheck(limits, nullptr, out);
        return fab.written;
    };
    kcore::WriteResult result;
    if (!writeOutput(s, conversion, write, &result))
        return ExitFailed;
    if (s.quiet)
        return ExitOk;
    if (!fitted.isEmpty())
        say(fitted);
    reportStack(s, conversion, result, fab);
    return ExitOk;
}

// One layer: made fab-safe, checked with --strict, written with the space check riding along,
// and reported. readAgain when the picture's rows turn out damaged.
int convertLayer(const Settings &s, kcore::Conversion &conversion, const QString &fitted)
{
    if (QString why; !conversion.makeFabSafe(&why)) {
        // Rows that failed may be a damaged picture's: read whole, it says so, or fails alike.
        if (conversion.source().isStreamed())
            return readAgain;
        say(why);
        return ExitFailed;
    }
    std::optional<kcore::SpaceReport> spaces;
    if (s.strict)
        if (const int stop = judgeStrictly(s, conversion, &spaces); stop >= 0)
            return stop;

    // Rows go from the picture (or the page, a band at a time) through grey, scale and clip
    // straight into the writer, the space check riding along: neither the grey nor the
    // black-and-white image is ever held whole, nor, for most files, the picture.
    std::unique_ptr<kcore::SpaceCheckBeside> beside;
    kcore::CoverageCount cover;
    kcore::RowSink alongside;
    if (!s.quiet) {
        if (!spaces)
            beside = std::make_unique<kcore::SpaceCheckBeside>(
                    conversion.grid(), kcore::checkedAs(s.conversion.pads), s.minSpaceMils);
        alongside = [&beside, &cover, width = conversion.grid().width()](
                            const quint32 *row, int, const kcore::EdgeRow *edges) {
            cover.addRow(row, width);
            if (beside)
                beside->addRow(row, edges);
        };
    }
    const auto write
            = [&](const kcore::Destination &out) { return conversion.write(out, {}, alongside); };
    kcore::WriteResult result;
    if (!writeOutput(s, conversion, write, &result))
        return conversion.source().isStreamed() && result.rowsFailed ? readAgain : ExitFailed;
    if (!s.quiet) {
        if (!fitted.isEmpty())
            say(fitted);
        report(s, conversion, result, beside ? beside->finish() : *spaces, cover.coverage());
    }
    return ExitOk;
}

} // namespace

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
    if (const int stop = refuseFiles(s, conversion); stop >= 0)
        return stop;
    if (s.conversion.stack.on)
        return convertStack(s, conversion, fitted);
    const int done = convertLayer(s, conversion, fitted);
    if (done != readAgain)
        return done;
    s.readWhole = true;
    return convert(s);
}

} // namespace kcli
