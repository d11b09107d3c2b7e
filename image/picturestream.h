// Pictures read a row at a time by their format's own decoder (libjpeg-turbo, libpng, BMP and the
// netpbm formats by hand), giving the same grey rows as the toolkit's decode of the whole picture.
#pragma once

#include "bwimage.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

#include <memory>
#include <vector>

class QIODevice;

namespace kcore {

class RowDecoder;

// Where a picture's bytes are: a file, or bytes read already (data, when path is empty).
struct PictureFile
{
    QString path;
    QByteArray data;
};

// One pass over a picture, upright, a grey row at a time. Rows are asked from the top down; rows
// passed over are decoded and dropped. Orientation tags that reverse the rows or turn the picture
// keep its grey levels, a byte a pixel, and nothing more.
class PictureStream
{
public:
    ~PictureStream();
    // The picture streamed, or null when it is to be read whole: a format, or a variant of one,
    // not streamed (fallback then names it), or a header that does not read (the whole read then
    // says why).
    static std::unique_ptr<PictureStream> open(const PictureFile &file,
                                               QString *fallback = nullptr);

    // The upright picture's size.
    QSize size() const { return m_size; }
    // The toolkit's decode of a JPEG or PNG file of at least minPixels pixels made by the same
    // decoder straight into an image of its own, on huge pages where the system offers them:
    // the same image, pixels, format, colour table, resolution and offset. Null for a file it
    // does not make so (turned by its orientation, 16-bit, carrying text or a colour space, named
    // for a pixel ratio, read whole by the toolkit), and for a damaged one.
    static QImage decodeWhole(const PictureFile &file, qint64 minPixels);
    // Writes grey row y as makeGrey() gives it for the toolkit's decode; false when the file
    // turns out to be damaged, on this row or, for the last row, anywhere after it.
    bool greyRow(int y, quint32 *dst);

private:
    PictureStream() = default;
    bool nextFileRow();
    bool bufferGreys();

    std::unique_ptr<QIODevice> m_device;
    std::unique_ptr<RowDecoder> m_decoder;
    QSize m_size;
    int m_transform = 0; // QImageIOHandler::Transformations
    int m_fileRow = -1; // the file's row the decoder holds
    bool m_failed = false;
    struct Grey;
    std::unique_ptr<Grey> m_grey;
    std::vector<uchar> m_levels; // the whole picture's grey levels, for turned pictures
};

// Passes over the grey rows of the picture at file, each a stream of its own (null when it does
// not open). A row that cannot be decoded fails with a failure() that says the picture is
// damaged; the toolkit's decode of the whole picture tells more.
GreySourceOpener pictureRows(const PictureFile &file);

// The toolkit's decode of the picture at file, as loadPicture() gives it.
QImage loadPictureFile(const PictureFile &file, QString *why = nullptr);

// The same, a big JPEG or PNG made by its own decoder where decodeWhole() makes it.
QImage loadBigPicture(const QString &path, QString *why = nullptr);

} // namespace kcore
