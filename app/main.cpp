// Entry point of the kestrel window.
#include "commandline.h"
#include "kestrel.h"
#include "settings.h"

#include "image/picture.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication::setOrganizationName(QStringLiteral("Marrowby"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("marrowby.example"));
    QCoreApplication::setApplicationName(QStringLiteral("kestrel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTREL_VERSION));
    {
        // Before any application object, which would want a display: --help and --version
        // answer in a terminal without one. Qt's own options (-platform, -style) are not known
        // yet, so errors wait for the second reading.
        QStringList raw;
        for (int i = 0; i < argc; ++i)
            raw << QString::fromLocal8Bit(argv[i]);
        const CommandLine early = CommandLine::read(raw);
        if (early.help) {
            std::fputs(qPrintable(early.helpText), stdout);
            return 0;
        }
        if (early.version) {
            std::printf("kestrel %s\n", KESTREL_VERSION);
            return 0;
        }
    }
#ifdef Q_OS_LINUX
    // Without a display Qt aborts with a long plugin trace; say it in one line instead.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fprintf(stderr,
                     "kestrel: no display found (DISPLAY is not set); start it from a "
                     "desktop session or under xvfb-run.\n");
        return 1;
    }
#endif
    QApplication app(argc, argv);
    // QApplication has taken its own options out of the arguments.
    const CommandLine line = CommandLine::read(QApplication::arguments());
    if (!line.error.isEmpty()) {
        std::fprintf(stderr, "kestrel: %s\nTry kestrel --help for the options.\n",
                     qPrintable(line.error));
        return 2;
    }
    // Lets desktops match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("example.marrowby.kestrel"));
    QApplication::setWindowIcon(kestrel::appIcon());
    kcore::allowLargePictures();
    adoptUnnamedSettings();
    kestrel window;
    window.show();
    // From the event loop, so that a message about the picture appears over the window.
    QTimer::singleShot(0, &window,
                       [&window, &line] { window.open_startup_arguments(line.pictures); });
    return app.exec();
}
