// kestrel-convert: the window's conversion from the command line, for scripts and batch work.
#include "batch.h"
#include "convert.h"
#include "messages.h"
#include "options.h"

#include "image/picture.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrel-convert"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTREL_VERSION));
    kcore::allowLargePictures();
    kcli::installQuietDecoders();
    kcli::Settings settings;
    const int stop = kcli::parseArguments(QCoreApplication::arguments(), &settings);
    if (stop >= 0)
        return stop;
    if (settings.outputDir.isEmpty())
        return kcli::convert(settings);
    return kcli::convertAll(settings);
}
