// Reading a picture file into memory, within the size kestrel is prepared to handle.
#pragma once

#include <QImage>
#include <QString>

class QIODevice;

namespace kcore {

// The file-name filter of the open dialog, and the formats kestrel promises to read.
extern const char pictureFilter[];

// Reads the picture at path, letting the readers recognise the format from the contents and the
// name. Returns a null image when the file cannot be read as a picture, or would decode to more
// than maxImagePixels; why then says which (for diagnostics, not for the user).
QImage loadPicture(const QString &path, QString *why = nullptr);

// The same for a picture already open on a device; the format is told from the contents alone.
QImage loadPicture(QIODevice *device, QString *why = nullptr);

} // namespace kcore
