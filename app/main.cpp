// Entry point of the kestrel window.
#include "kestrel.h"

#include "image/picture.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
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
    // Lets desktops match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("example.marrowby.kestrel"));
    QApplication::setWindowIcon(kestrel::appIcon());
    kcore::allowLargePictures();
    kestrel window;
    window.show();
    // From the event loop, so that a message about the picture appears over the window.
    QTimer::singleShot(0, &window,
                       [&window] { window.open_startup_arguments(QApplication::arguments()); });
    return app.exec();
}
