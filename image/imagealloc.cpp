// Huge-page image buffers on Linux; plain QImage allocation elsewhere.
#include "imagealloc.h"

#include <QtGlobal>

#include <climits>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#endif

namespace kcore {

namespace {

qsizetype allocationLimit = 0;

int depthOf(QImage::Format format)
{
    return QImage::toPixelFormat(format).bitsPerPixel();
}

// QImage's own bound on a row, in pixels.
qint64 widestRow(QImage::Format format)
{
    return (qint64(INT_MAX) - 31) / depthOf(format);
}

#ifdef Q_OS_LINUX
constexpr qsizetype hugePage = qsizetype(2) << 20;
constexpr qsizetype worthIt = qsizetype(8) << 20;

struct Mapping
{
    void *address;
    size_t length;
};

void unmap(void *info)
{
    auto *m = static_cast<Mapping *>(info);
    munmap(m->address, m->length);
    delete m;
}
#endif

} // namespace

bool fitsImage(int width, int height, QImage::Format format)
{
    return width > 0 && height > 0 && format != QImage::Format_Invalid
            && width <= widestRow(format);
}

QString allocationProblem(const QString &what, int width, int height, QImage::Format format)
{
    if (width > 0 && height > 0 && !fitsImage(width, height, format))
        return QStringLiteral("A row of %1 would be %2 pixels wide; an image holds rows of at "
                              "most %3 pixels.")
                .arg(what)
                .arg(width)
                .arg(widestRow(format));
    return QStringLiteral("There is not enough memory for %1 (%2 x %3 pixels).")
            .arg(what)
            .arg(width)
            .arg(height);
}

void setAllocationLimit(qsizetype bytes)
{
    allocationLimit = bytes;
}

QImage allocateImage(int width, int height, QImage::Format format)
{
    if (!fitsImage(width, height, format))
        return QImage();
    const int depth = depthOf(format);
    // Scan lines 32-bit aligned, as QImage lays them out itself.
    const qsizetype bytesPerLine = ((qsizetype(width) * depth + 31) / 32) * 4;
    const qsizetype bytes = bytesPerLine * height;
    if (allocationLimit > 0 && bytes > allocationLimit)
        return QImage();
#ifdef Q_OS_LINUX
    if (depth >= 8 && bytes >= worthIt) {
        const size_t length = size_t((bytes + hugePage - 1) / hugePage * hugePage);
        void *address
                = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (address == MAP_FAILED)
            return QImage();
        madvise(address, length, MADV_HUGEPAGE);
        auto *mapping = new Mapping{address, length};
        QImage image(static_cast<uchar *>(address), width, height, bytesPerLine, format, unmap,
                     mapping);
        // A refused buffer is not handed to the clean-up function: give it back here.
        if (image.isNull())
            unmap(mapping);
        return image;
    }
#endif
    return QImage(width, height, format);
}

} // namespace kcore
