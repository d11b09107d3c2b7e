// What writing a file gives back: its items (or polygons) and bytes, or the reason it failed.
#pragma once

#include <QString>

namespace kcore {

// The outcome of writing a file: on failure, message always says what went wrong.
struct WriteResult
{
    bool ok = true;
    QString message;
    qint64 items = 0; // items or polygons
    qint64 bytes = 0;
    // The runs of pixels the polygons were traced from (a PADS file's items are its runs).
    qint64 runs = 0;
    // The rows could not all be had (memory ran out drawing a band): the failure is the
    // source's, not the device's.
    bool rowsFailed = false;
};

// A failed result with its reason; never an empty message.
WriteResult failure(const QString &message);

} // namespace kcore
