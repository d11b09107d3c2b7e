// Huge-page image buffers on Linux; plain QImage allocation elsewhere.
#include "imagealloc.h"

#include <QtGlobal>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#endif

namespace kcore {

#ifdef Q_OS_LINUX
namespace {

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

} // namespace
#endif

QImage allocateImage(int width, int height, QImage::Format format)
{
#ifdef Q_OS_LINUX
    const int depth = QImage::toPixelFormat(format).bitsPerPixel();
    if (width > 0 && height > 0 && depth >= 8) {
        // Scan lines 32-bit aligned, as QImage lays them out itself.
        const qsizetype bytesPerLine = ((qsizetype(width) * depth + 31) / 32) * 4;
        const qsizetype bytes = bytesPerLine * height;
        if (bytesPerLine <= INT_MAX && bytes >= worthIt) {
            const size_t length = size_t((bytes + hugePage - 1) / hugePage * hugePage);
            void *address = mmap(nullptr, length, PROT_READ | PROT_WRITE,
                                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (address == MAP_FAILED)
                return QImage();
            madvise(address, length, MADV_HUGEPAGE);
            auto *mapping = new Mapping{address, length};
            return QImage(static_cast<uchar *>(address), width, height, bytesPerLine, format, unmap,
                          mapping);
        }
    }
#endif
    return QImage(width, height, format);
}

} // namespace kcore
