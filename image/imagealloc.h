// Allocation of large images on huge pages, where the system offers them.
#pragma once

#include <QImage>

namespace kcore {

// An uninitialised image like QImage(width, height, format), but for large sizes backed by
// memory that asks the kernel for transparent huge pages: a fresh 100 MB image otherwise costs
// more in page faults than in the pixel work that fills it. Null when memory runs out.
QImage allocateImage(int width, int height, QImage::Format format);

} // namespace kcore
