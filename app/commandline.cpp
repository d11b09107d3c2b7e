// Reading the window's command line with QCommandLineParser; printing is left to main().
#include "commandline.h"

#include <QCommandLineParser>

const QCommandLineOption CommandLine::HelpOption(
        {QStringLiteral("h"), QStringLiteral("help")},
        QStringLiteral("Show this help and quit, without opening the window."));
const QCommandLineOption CommandLine::VersionOption(
        {QStringLiteral("v"), QStringLiteral("version")},
        QStringLiteral("Show the version and quit, without opening the window."));

CommandLine CommandLine::read(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
            QStringLiteral("Turns a picture into PCB artwork written as a PADS PowerPCB ASCII "
                           "file; kestrel-convert does the same without the window."));
    parser.addOption(HelpOption);
    parser.addOption(VersionOption);
    parser.addPositionalArgument(QStringLiteral("picture"), QStringLiteral("The picture to open."),
                                 QStringLiteral("[picture]"));
    CommandLine line;
    if (!parser.parse(arguments))
        line.error = parser.errorText();
    line.help = parser.isSet(HelpOption);
    line.version = parser.isSet(VersionOption);
    // Read before there is an application object, Qt cannot name the program in its first line.
    line.helpText = parser.helpText();
    line.helpText.replace(0, line.helpText.indexOf(QLatin1Char('\n')),
                          QStringLiteral("Usage: kestrel [options] [picture]"));
    line.pictures = parser.positionalArguments();
    return line;
}
