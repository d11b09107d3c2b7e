// Saving a written file, or a set of them: replace an old file only once the new one is complete,
// write devices and pipes in place, never write a picture onto itself.
#pragma once

#include "artworkwriter.h"
#include "writeresult.h"

#include <QString>

#include <functional>

class QIODevice;

namespace kcore {

// Writes a file through QSaveFile: an existing file at path is replaced only once the new one is
// complete, and is left as it was on any failure. write fills the device it is given.
WriteResult saveFile(const QString &path, const std::function<WriteResult(QIODevice *)> &write);
// The files of one artwork (a Gerber file for each layer) saved as a set: every one is written
// and synced before any is renamed into place, an existing file is kept aside until the whole set
// is in, and a set that cannot all be put in place is put back as it was. write fills the
// devices it is given, in the order of paths; name is the artwork's name. One path is saveFile().
WriteResult saveFiles(const QStringList &paths, const QString &name,
                      const std::function<WriteResult(const Destination &)> &write);

// For tests: putting file index of the next set of several in place fails, as a rename the
// system refuses does.
void refuseNextRename(int index);

// Whether two paths name one existing file, however each is spelt: a relative path, a symbolic
// link, a hard link. Writing a picture's file onto itself would destroy the picture.
bool isSameFile(const QString &a, const QString &b);

// The same onto standard output.
WriteResult writeStandardOutput(const std::function<WriteResult(QIODevice *)> &write);

} // namespace kcore
