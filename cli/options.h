// kestrel-convert's options: each named once, and the command line read into one Settings.
#pragma once

#include "core/conversion.h"
#include "geometry/units.h"

#include <QCommandLineOption>
#include <QStringList>

namespace kcli {

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

// The options, parsed by name and spelled in messages from the same object, so that a typo does
// not compile.
namespace Option {
extern const QCommandLineOption threshold, invert, scale, lineWidth, unit, layer, page, format,
        origin, layerKind, exactEnds, smoothEdges, halftone, cell, minLine, minSpace, fabSafe,
        fitWidth, fitHeight, strict, stack, finish, side, maskExpansion, halftoneFinish, quiet,
        outputDir;
} // namespace Option

// The long name of an option, as messages spell it.
QString nameOf(const QCommandLineOption &option);

// The limits of a stack's layers: copper's those --min-line and --min-space give, the others the
// board makers' usual.
kcore::StackLimits stackLimits(const Settings &s);

// Fills settings from the command line; returns an exit code when the run should stop here
// (--help, --version, or an option refused, having said why), -1 to go on.
int parseArguments(const QStringList &arguments, Settings *s);

} // namespace kcli
