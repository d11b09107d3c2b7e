// A batch: every input into the output folder under its own name.
#include "batch.h"

#include "convert.h"
#include "messages.h"

#include "export/artworkwriter.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace kcli {

// One that fails does not stop the rest.
int convertAll(Settings s)
{
    if (!QDir().mkpath(s.outputDir)) {
        say(QStringLiteral("could not create the folder %1").arg(s.outputDir));
        return ExitFailed;
    }
    int worst = ExitOk;
    for (const QString &input : std::as_const(s.inputs)) {
        s.input = about = input;
        s.output = QDir(s.outputDir)
                           .filePath(QFileInfo(input).completeBaseName() + QLatin1Char('.')
                                     + kcore::fileTypeSuffix(s.conversion.pads.type));
        worst = std::max(worst, convert(s));
    }
    about.clear();
    return worst;
}

} // namespace kcli
