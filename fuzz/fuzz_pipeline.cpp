// libFuzzer target: arbitrary bytes through picture loading, grey, black-and-white at a scale
// taken from the input, and the PADS writer; bytes that open like XML go through the SVG reader
// and the banded page drawing instead.
#include "board/boardimage.h"
#include "export/artworkwriter.h"
#include "image/bwimage.h"
#include "image/greyimage.h"
#include "image/picture.h"
#include "image/vectordocument.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImageReader>

#include <cstddef>
#include <cstdint>

namespace {

// Discards what is written, so long outputs cost no memory.
class NullDevice : public QIODevice
{
public:
    NullDevice() { open(WriteOnly); }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64 len) override { return len; }
};

// Kept small so that a run explores inputs rather than allocating.
constexpr qint64 maxFuzzPixels = 4 << 20;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    kcore::allowLargePictures();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const int scale = 1 + (data[0] | data[1] << 8) % 500;
    const int threshold = data[1];
    QByteArray bytes(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));
    if (bytes.startsWith('<')) {
        const std::unique_ptr<kcore::VectorDocument> document
                = kcore::VectorDocument::fromData(bytes, kcore::VectorDocument::Svg);
        if (!document)
            return 0;
        const double pitch = 1.0 + threshold / 7.0;
        const QSize grid = kcore::vectorGrid(document->pageMils(), scale, pitch);
        if (grid.isEmpty() || qint64(grid.width()) * grid.height() > maxFuzzPixels)
            return 0;
        kcore::PadsSettings pads{pitch, threshold, (data[0] & 1) != 0};
        pads.smoothEdges = (data[0] & 2) != 0;
        pads.threshold = threshold;
        kcore::VectorRows rows(*document, scale, pitch, threshold, threshold & 1);
        NullDevice out;
        const auto writer = kcore::ArtworkWriter::create(
                {rows.size(), pads, {kcore::settingsLayer(pads)}}, &out);
        for (int y = 0; y < rows.size().height(); ++y) {
            const quint32 *row = rows.row(y);
            if (!row)
                return 0;
            const kcore::GreyLevels grey = rows.edgeLevels(y);
            const kcore::EdgeRow edges(grey.levels, grey.step, grid.width(), threshold);
            writer->writeRow(0, row, y, pads.smoothEdges ? &edges : nullptr);
        }
        writer->finish();
        return 0;
    }
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    {
        QImageReader probe(&buffer);
        const QSize declared = probe.size();
        if (declared.isValid() && qint64(declared.width()) * declared.height() > maxFuzzPixels)
            return 0;
    }
    buffer.seek(0);
    const QImage colour = kcore::loadPicture(&buffer);
    if (colour.isNull() || qint64(colour.width()) * colour.height() > maxFuzzPixels)
        return 0;
    const QImage grey = kcore::makeGrey(colour);
    const QSize scaled = kcore::scaledRequest(grey.size(), scale);
    if (qint64(scaled.width()) * scaled.height() > maxFuzzPixels)
        return 0;
    const QImage bw = kcore::makeBw(grey, threshold, threshold & 1, scale);
    NullDevice out;
    const kcore::PadsSettings pads{1.0 + threshold / 7.0, threshold, (data[0] & 1) != 0};
    kcore::writeArtwork(bw, pads, &out);
    kcore::countArtwork(bw, pads);
    // The same image's outlines, as polygons of each type.
    for (const kcore::FileType type : {kcore::FileType::KiCad, kcore::FileType::Gerber}) {
        kcore::PadsSettings polygons = pads;
        polygons.type = type;
        polygons.originCorner = (data[0] & 4) != 0;
        kcore::writeArtwork(bw, polygons, &out);
    }
    // The converter's row pipeline and the Board view, on the same input.
    kcore::BwRows rows(colour, threshold, threshold & 1, scale);
    const auto writer
            = kcore::ArtworkWriter::create({rows.size(), pads, {kcore::settingsLayer(pads)}}, &out);
    for (int y = 0; y < rows.size().height(); ++y)
        writer->writeRow(0, rows.row(y), y, nullptr);
    writer->finish();
    QSize view;
    const QRectF bounds = kcore::boardBounds(bw.size(), pads);
    kcore::renderBoard(bw, pads, kcore::BoardZoom().viewport(bounds, QSize(64, 48), &view), view);
    return 0;
}
