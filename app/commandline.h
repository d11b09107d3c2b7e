// The window's command line: kestrel [--help] [--version] [picture].
#pragma once

#include <QCommandLineOption>
#include <QString>
#include <QStringList>

struct CommandLine
{
    static const QCommandLineOption HelpOption;
    static const QCommandLineOption VersionOption;

    // The arguments as QCoreApplication::arguments() gives them, the program's name first.
    static CommandLine read(const QStringList &arguments);

    bool help = false;
    bool version = false;
    QString error; // why the arguments cannot be used ("Unknown option 'x'."), empty if they can
    QString helpText;
    QStringList pictures; // only the first is opened
};
