// Saving through QSaveFile, in place for devices and pipes, and the same-file test.
#include "savefile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#endif

namespace kcore {

namespace {

// Whether a write failure's text names no reason.
bool saysNothing(const QString &message)
{
    return message.isEmpty() || message == QLatin1String("Unknown error");
}

// The reason a write to file failed. When the system takes only part of a block (the first write
// that reaches a size limit or fills the disk), Qt keeps the rest and reports no reason at all;
// offering the rest once more gets the system's own refusal, "File too large" or "No space left
// on device". The file has failed either way.
QString writeFailure(QFileDevice &file)
{
    QString why = file.errorString();
    if (saysNothing(why)) {
        file.flush();
        why = file.errorString();
    }
    return saysNothing(why) ? QStringLiteral("the system took only part of the data") : why;
}

// Everything written reaches the file, or the reason why not. Qt's own close, and QSaveFile's
// commit through it, drops the failure of the last buffered block: a small file that does not
// fit would be committed empty. And the system may refuse data only when it is synced.
WriteResult finishWriting(QFileDevice &file, WriteResult result)
{
    if (!result.ok)
        return result;
    if (file.error() != QFileDevice::NoError || !file.flush())
        return failure(writeFailure(file));
#ifdef Q_OS_UNIX
    const int fd = file.handle();
    // A pipe or a terminal cannot be synced, and need not be.
    if (fd >= 0 && ::fsync(fd) != 0 && errno != EINVAL && errno != EROFS && errno != ENOTSUP)
        return failure(QString::fromLocal8Bit(std::strerror(errno)));
#endif
    return result;
}

// Writes into a file opened already, in place; data the system cannot take is a failure.
WriteResult writeInPlace(QFile &file, const std::function<WriteResult(QIODevice *)> &write)
{
    WriteResult result = write(&file);
    if (!result.ok && file.error() != QFileDevice::NoError)
        result = failure(writeFailure(file));
    return finishWriting(file, result);
}

} // namespace

WriteResult saveFile(const QString &path, const std::function<WriteResult(QIODevice *)> &write)
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
    WriteResult result = write(&file);
    if (!result.ok && file.error() != QFileDevice::NoError)
        result = failure(writeFailure(file));
    result = finishWriting(file, result);
    // Only a complete file replaces the old one; the rename's own failure is reported too.
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

WriteResult writeStandardOutput(const std::function<WriteResult(QIODevice *)> &write)
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
