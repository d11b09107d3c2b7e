// kestrel-convert's messages and the decoders' silence.
#include "messages.h"

#include <cstdio>
#include <fcntl.h>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace kcli {

QString about;

void say(const QString &line, const QString &subject)
{
    if (subject.isEmpty())
        std::fprintf(stderr, "kestrel-convert: %s\n", qPrintable(line));
    else
        std::fprintf(stderr, "kestrel-convert: %s: %s\n", qPrintable(subject), qPrintable(line));
}

namespace {

// Whether a decoder is at work, whose complaints the message handler drops: the reason for a
// picture that cannot be read is kestrel's own message.
bool decoding = false;
QtMessageHandler qtHandler = nullptr;

void quietDecoders(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const bool imageIo
            = context.category && QByteArray(context.category).startsWith("qt.gui.imageio");
    if (type != QtFatalMsg && (decoding || imageIo))
        return;
    if (qtHandler)
        qtHandler(type, context, message);
}

} // namespace

void installQuietDecoders()
{
    qtHandler = qInstallMessageHandler(quietDecoders);
}

Hush::Hush()
{
    decoding = true;
    std::fflush(stderr);
#ifdef Q_OS_WIN
    const int null = ::open("NUL", O_WRONLY);
#else
    const int null = ::open("/dev/null", O_WRONLY);
#endif
    if (null < 0)
        return;
    m_saved = ::dup(2);
    if (m_saved >= 0)
        ::dup2(null, 2);
    ::close(null);
}

Hush::~Hush()
{
    decoding = false;
    if (m_saved < 0)
        return;
    std::fflush(stderr);
    ::dup2(m_saved, 2);
    ::close(m_saved);
}

} // namespace kcli
