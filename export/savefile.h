// Saving a written file: replace an old file only once the new one is complete, write devices
// and pipes in place, never write a picture onto itself.
#pragma once

#include "writeresult.h"

#include <QString>

#include <functional>

class QIODevice;

namespace kcore {

// Writes a file through QSaveFile: an existing file at path is replaced only once the new one is
// complete, and is left as it was on any failure. write fills the device it is given.
WriteResult saveFile(const QString &path, const std::function<WriteResult(QIODevice *)> &write);
// Whether two paths name one existing file, however each is spelt: a relative path, a symbolic
// link, a hard link. Writing a picture's file onto itself would destroy the picture.
bool isSameFile(const QString &a, const QString &b);

// The same onto standard output.
WriteResult writeStandardOutput(const std::function<WriteResult(QIODevice *)> &write);

} // namespace kcore
