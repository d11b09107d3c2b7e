// Saving through QSaveFile, in place for devices and pipes, and the same-file test.
#include "savefile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
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

namespace {

// A copy of an existing file beside it, kept until a set of files is in place: a hard link where
// the system makes one, so nothing is copied, else a copy.
QString keepAside(const QString &path)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString aside = QStringLiteral("%1.%2~").arg(path).arg(attempt);
        if (QFileInfo::exists(aside))
            continue;
#ifdef Q_OS_UNIX
        if (::link(QFile::encodeName(path).constData(), QFile::encodeName(aside).constData()) == 0)
            return aside;
#endif
        return QFile::copy(path, aside) ? aside : QString();
    }
    return QString();
}

int refusedRename = -1;

// Puts aside back as path, over whatever the set put there.
bool putBack(const QString &aside, const QString &path)
{
#ifdef Q_OS_UNIX
    return std::rename(QFile::encodeName(aside).constData(), QFile::encodeName(path).constData())
            == 0;
#else
    return QFile::remove(path) && QFile::rename(aside, path);
#endif
}

// Renames every file of a set into place. The old files are kept aside first; when one rename
// fails, those already renamed are put back (or removed, where there was none), so the set is
// the old one or the new one, never a mix.
WriteResult commitAll(const QStringList &paths, std::vector<std::unique_ptr<QSaveFile>> &files,
                      WriteResult result)
{
    QStringList aside;
    for (const QString &path : paths) {
        const bool existed = QFileInfo(path).isFile();
        aside << (existed ? keepAside(path) : QString());
        if (existed && aside.constLast().isEmpty()) {
            for (const QString &kept : std::as_const(aside))
                if (!kept.isEmpty())
                    QFile::remove(kept);
            for (auto &f : files)
                f->cancelWriting();
            return failure(QStringLiteral("could not keep %1 while the new files were put in "
                                          "place")
                                   .arg(path));
        }
    }
    const int refused = std::exchange(refusedRename, -1);
    qsizetype done = 0;
    for (; done < paths.size(); ++done) {
        QSaveFile &file = *files[size_t(done)];
        if (done == refused) {
            file.cancelWriting();
            result = failure(QStringLiteral("%1: Operation not permitted").arg(paths[done]));
            break;
        }
        if (!file.commit()) {
            result = failure(QStringLiteral("%1: %2").arg(paths[done], file.errorString()));
            break;
        }
    }
    for (qsizetype i = done + 1; i < paths.size(); ++i)
        files[size_t(i)]->cancelWriting();
    for (qsizetype i = 0; i < paths.size(); ++i) {
        if (!result.ok && i < done) {
            const bool back
                    = aside[i].isEmpty() ? QFile::remove(paths[i]) : putBack(aside[i], paths[i]);
            if (!back)
                result.message += QStringLiteral("; %1 could not be put back").arg(paths[i]);
        } else if (!aside[i].isEmpty()) {
            QFile::remove(aside[i]);
        }
    }
    return result;
}

} // namespace

WriteResult saveFiles(const QStringList &paths, const QString &name,
                      const std::function<WriteResult(const Destination &)> &write)
{
    if (paths.size() == 1)
        return saveFile(paths.front(),
                        [&](QIODevice *device) { return write(Destination({device}, name)); });
    std::vector<std::unique_ptr<QSaveFile>> files;
    std::vector<QIODevice *> devices;
    const auto cancel = [&](const WriteResult &r) {
        for (auto &f : files)
            f->cancelWriting();
        return r;
    };
    for (const QString &path : paths) {
        // One of several files cannot be written into a device in place: the set would not be
        // replaced as one.
        const QFileInfo target(path);
        if (target.exists() && !target.isFile())
            return cancel(failure(QStringLiteral("%1 is not a regular file").arg(path)));
        files.push_back(std::make_unique<QSaveFile>(path));
        if (!files.back()->open(QIODevice::WriteOnly))
            return cancel(failure(QStringLiteral("%1: %2").arg(path, files.back()->errorString())));
        devices.push_back(files.back().get());
    }
    WriteResult result = write(Destination(devices, name));
    if (!result.ok) {
        // The file that failed says why, as a single file's failure does.
        for (size_t i = 0; i < files.size(); ++i)
            if (files[i]->error() != QFileDevice::NoError) {
                result = failure(
                        QStringLiteral("%1: %2").arg(paths[qsizetype(i)], writeFailure(*files[i])));
                break;
            }
        return cancel(result);
    }
    for (size_t i = 0; i < files.size(); ++i) {
        const WriteResult synced = finishWriting(*files[i], result);
        if (!synced.ok)
            return cancel(
                    failure(QStringLiteral("%1: %2").arg(paths[qsizetype(i)], synced.message)));
    }
    return commitAll(paths, files, result);
}

void refuseNextRename(int index)
{
    refusedRename = index;
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
