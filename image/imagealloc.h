// Allocation of large images on huge pages, where the system offers them.
#pragma once

#include <QImage>
#include <QString>

namespace kcore {

// An uninitialised image like QImage(width, height, format), but for large sizes backed by
// memory that asks the kernel for transparent huge pages: a fresh 100 MB image otherwise costs
// more in page faults than in the pixel work that fills it. Null when QImage cannot hold such an
// image (see fitsImage()) or memory runs out.
QImage allocateImage(int width, int height, QImage::Format format);

// Whether QImage holds an image of this size and format at all: it counts the bits of a row in
// an int, so a 32-bit row has at most 67,108,863 pixels, however much memory there is.
bool fitsImage(int width, int height, QImage::Format format);

// Why allocateImage() gave no image, in a sentence for the user: what names the image
// ("the grey image").
QString allocationProblem(const QString &what, int width, int height, QImage::Format format);

// For tests: allocateImage() refuses images of more than bytes as if memory had run out;
// 0 lifts the limit.
void setAllocationLimit(qsizetype bytes);

} // namespace kcore
