// Saving through QSaveFile, in place for devices and pipes, and the same-file test.
#include "savefile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif
#ifdef Q_OS_WIN
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#endif

namespace kcore {

PadsResult failure(const QString &message)
{
    PadsResult r;
    r.ok = false;
    r.message = message.isEmpty() ? QStringLiteral("unknown error") : message;
    return r;
}

namespace {

// Writes into a file opened already, in place; data the system cannot take is a failure.
PadsResult writeInPlace(QFile &file, const std::function<PadsResult(QIODevice *)> &write)
{
    PadsResult result = write(&file);
    if (result.ok && !file.flush())
        result = failure(file.errorString());
    return result;
}

} // namespace

PadsResult saveFile(const QString &path, const std::function<PadsResult(QIODevice *)> &write)
{
    // A device or a pipe (/dev/null, a FIFO) is written in place: replacing it with a regular
    // file, as a save through a temporary file and a rename does, would destroy it.
    const QFileInfo target(path);
    if (target.exists() && !target.isFile() && !target.isDir()) {
        QFile device(path);
        if (!device.open(QIODevice::WriteOnly))
            return failure(device.errorString());
        return writeInPlace(device, write);
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return failure(file.errorString());
    PadsResult result = write(&file);
    if (result.ok && !file.commit())
        result = failure(file.errorString());
    if (!result.ok)
        file.cancelWriting();
    return result;
}

bool isSameFile(const QString &a, const QString &b)
{
#ifdef Q_OS_UNIX
    struct stat sa, sb;
    if (::stat(QFile::encodeName(a).constData(), &sa) != 0
        || ::stat(QFile::encodeName(b).constData(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
#else
    const QString ca = QFileInfo(a).canonicalFilePath();
    return !ca.isEmpty() && ca == QFileInfo(b).canonicalFilePath();
#endif
}

PadsResult writeStandardOutput(const std::function<PadsResult(QIODevice *)> &write)
{
#ifdef Q_OS_WIN
    // The C runtime starts stdout in text mode, which would write every "\r\n" as "\r\r\n".
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly))
        return failure(out.errorString());
    return writeInPlace(out, write);
}

} // namespace kcore
