// The stream over a picture's decoder: the toolkit's choice of reader, its orientation, and the
// grey of each row made by the same code as the grey of a whole picture.
#include "picturestream.h"

#include "greyimage.h"
#include "imagealloc.h"
#include "picture.h"
#include "rowdecoder.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageIOHandler>
#include <QImageReader>

#include <algorithm>

namespace kcore {

// The decoder's row as a one-row image of the toolkit's layout, greyed as a whole image's row is.
struct PictureStream::Grey
{
    std::vector<uchar> row;
    QImage image;
    GreyRows rows;
    Grey(const RowDecoder &d, int bytesPerLine)
        : row(size_t(bytesPerLine)), image(wrap(d, row.data(), bytesPerLine)), rows(image)
    { }
    static QImage wrap(const RowDecoder &d, uchar *row, int bytesPerLine)
    {
        QImage image(row, d.size.width(), 1, bytesPerLine, d.format);
        if (!d.colours.isEmpty())
            image.setColorTable(d.colours);
        return image;
    }
};

namespace {

std::unique_ptr<QIODevice> deviceOf(const PictureFile &file)
{
    std::unique_ptr<QIODevice> device;
    if (file.path.isEmpty()) {
        auto buffer = std::make_unique<QBuffer>();
        buffer->setData(file.data);
        device = std::move(buffer);
    } else {
        device = std::make_unique<QFile>(file.path);
    }
    if (!device->open(QIODevice::ReadOnly))
        return nullptr;
    return device;
}

} // namespace

PictureStream::~PictureStream() = default;

std::unique_ptr<PictureStream> PictureStream::open(const PictureFile &file, QString *fallback)
{
    // The toolkit's reader chooses the format as it would for the whole picture (by the name
    // first, then by the contents) and tells the orientation it would apply.
    QByteArray format;
    QSize declared;
    QImage::Format toolkitFormat = QImage::Format_Invalid;
    int transform = 0;
    {
        QBuffer buffer;
        std::unique_ptr<QImageReader> reader;
        if (file.path.isEmpty()) {
            buffer.setData(file.data);
            buffer.open(QIODevice::ReadOnly);
            reader = std::make_unique<QImageReader>(&buffer);
        } else {
            reader = std::make_unique<QImageReader>(file.path);
        }
        if (!reader->canRead())
            return nullptr;
        format = reader->format();
        declared = reader->size();
        toolkitFormat = reader->imageFormat();
        transform = int(reader->transformation());
    }
    std::unique_ptr<QIODevice> device = deviceOf(file);
    if (!device)
        return nullptr;
    QString reason;
    std::unique_ptr<RowDecoder> decoder;
#ifdef KESTREL_ROW_DECODERS
    if (format == "jpeg")
        decoder = jpegRows(device.get(), &reason);
    else if (format == "png")
        decoder = pngRows(device.get(), &reason);
    else
#endif
            if (format == "bmp")
        decoder = bmpRows(device.get(), &reason);
    else if (format == "pbm" || format == "pgm" || format == "ppm")
        decoder = pnmRows(device.get(), &reason);
    else
        reason = QStringLiteral("%1 pictures").arg(QString::fromLatin1(format.toUpper()));
    // What the decoder found must be what the toolkit's reader found.
    if (decoder
        && ((declared.isValid() && declared != decoder->size)
            || (toolkitFormat != QImage::Format_Invalid
                && toolkitFormat != decoder->toolkitFormat))) {
        decoder.reset();
        reason = QStringLiteral("a header read otherwise");
    }
    if (!decoder) {
        if (fallback)
            *fallback = reason;
        return nullptr;
    }
    std::unique_ptr<PictureStream> s(new PictureStream);
    s->m_transform = transform & 7;
    const QSize stored = decoder->size;
    s->m_size = s->m_transform & QImageIOHandler::TransformationRotate90 ? stored.transposed()
                                                                         : stored;
    const int bytesPerLine = int(
            (qint64(stored.width()) * QImage::toPixelFormat(decoder->format).bitsPerPixel() + 31)
            / 32 * 4);
    s->m_grey = std::make_unique<Grey>(*decoder, bytesPerLine);
    s->m_device = std::move(device);
    s->m_decoder = std::move(decoder);
    return s;
}

bool PictureStream::nextFileRow()
{
    if (m_failed || !m_decoder->next(m_grey->row.data())) {
        m_failed = true;
        return false;
    }
    ++m_fileRow;
    // The toolkit's reader fails the whole picture on what it finds after the last row.
    if (m_fileRow == m_decoder->size.height() - 1 && !m_decoder->finish())
        m_failed = true;
    return !m_failed;
}

bool PictureStream::bufferGreys()
{
    const QSize stored = m_decoder->size;
    m_levels.resize(size_t(stored.width()) * size_t(stored.height()));
    std::vector<quint32> grey(size_t(stored.width()));
    for (int y = 0; y < stored.height(); ++y) {
        if (!nextFileRow())
            return false;
        m_grey->rows.row(0, grey.data());
        uchar *to = m_levels.data() + size_t(y) * size_t(stored.width());
        for (int x = 0; x < stored.width(); ++x)
            to[x] = uchar(grey[size_t(x)]);
    }
    return true;
}

bool PictureStream::greyRow(int y, quint32 *dst)
{
    if (m_failed || y < 0 || y >= m_size.height())
        return false;
    const int w = m_size.width();
    if (m_transform == 0 || m_transform == QImageIOHandler::TransformationMirror) {
        while (m_fileRow < y)
            if (!nextFileRow())
                return false;
        m_grey->rows.row(0, dst);
        if (m_transform != 0)
            std::reverse(dst, dst + w);
        return true;
    }
    // Reversed rows or a turned picture: its grey levels once, then the upright rows from them.
    if (m_levels.empty() && !bufferGreys())
        return false;
    const QSize stored = m_decoder->size;
    const bool mirror = m_transform & QImageIOHandler::TransformationMirror;
    const bool flip = m_transform & QImageIOHandler::TransformationFlip;
    const bool turn = m_transform & QImageIOHandler::TransformationRotate90;
    for (int x = 0; x < w; ++x) {
        // Mirrored and flipped first, then turned a quarter clockwise, as the reader does.
        int mx = turn ? y : x;
        int my = turn ? stored.height() - 1 - x : y;
        if (mirror)
            mx = stored.width() - 1 - mx;
        if (flip)
            my = stored.height() - 1 - my;
        dst[x] = greyPixel(m_levels[size_t(my) * size_t(stored.width()) + size_t(mx)]);
    }
    return true;
}

namespace {

class StreamGrey : public GreySource
{
public:
    explicit StreamGrey(std::unique_ptr<PictureStream> stream)
        : m_stream(std::move(stream)), m_row(size_t(m_stream->size().width()))
    { }
    QSize size() const override { return m_stream->size(); }
    const quint32 *row(int y) override
    {
        m_failed = m_failed || !m_stream->greyRow(y, m_row.data());
        return m_failed ? nullptr : m_row.data();
    }
    QString failure() const override
    {
        return m_failed ? QStringLiteral("The picture is damaged or incomplete.") : QString();
    }

private:
    std::unique_ptr<PictureStream> m_stream;
    std::vector<quint32> m_row;
    bool m_failed = false;
};

} // namespace

GreySourceOpener pictureRows(const PictureFile &file)
{
    return [file]() -> std::unique_ptr<GreySource> {
        std::unique_ptr<PictureStream> stream = PictureStream::open(file);
        if (!stream)
            return nullptr;
        return std::make_unique<StreamGrey>(std::move(stream));
    };
}

namespace {

// A name such as "logo@2x.png", for which the toolkit's reader sets the image's pixel ratio.
bool namedForPixelRatio(const QString &path)
{
    const QString tail = QFileInfo(path).baseName().right(3);
    return tail.size() == 3 && tail[0] == QLatin1Char('@') && tail[1] >= QLatin1Char('2')
            && tail[1] <= QLatin1Char('9') && tail[2] == QLatin1Char('x');
}

} // namespace

QImage PictureStream::decodeWhole(const PictureFile &file, qint64 minPixels)
{
    if (namedForPixelRatio(file.path))
        return QImage();
    std::unique_ptr<PictureStream> s = open(file);
    if (!s || s->m_transform != 0 || beyondPixelBound(s->m_size)
        || qint64(s->m_size.width()) * s->m_size.height() < minPixels)
        return QImage();
    RowDecoder &d = *s->m_decoder;
    const bool own = d.format == d.toolkitFormat
            && (d.toolkitFormat == QImage::Format_RGB32 || d.toolkitFormat == QImage::Format_ARGB32
                || d.toolkitFormat == QImage::Format_Grayscale8
                || d.toolkitFormat == QImage::Format_Indexed8);
    if (!own || !d.plain)
        return QImage();
    QImage image = allocateImage(d.size.width(), d.size.height(), d.format);
    if (image.isNull())
        return QImage();
    for (int y = 0; y < d.size.height(); ++y)
        if (!d.next(image.scanLine(y)))
            return QImage();
    if (!d.finish() || !d.plainToTheEnd())
        return QImage();
    if (!d.colours.isEmpty())
        image.setColorTable(d.colours);
    // As the reader sets them: a resolution of 0 leaves the image's own.
    image.setDotsPerMeterX(d.dotsPerMeterX);
    image.setDotsPerMeterY(d.dotsPerMeterY);
    image.setOffset(d.offset);
    return image;
}

QImage loadBigPicture(const QString &path, QString *why)
{
    // Big enough that the decode into an image on huge pages saves the time it takes to look.
    constexpr qint64 big = 4 << 20;
    const QImage image = PictureStream::decodeWhole({path, {}}, big);
    return image.isNull() ? loadPicture(path, why) : image;
}

QImage loadPictureFile(const PictureFile &file, QString *why)
{
    if (!file.path.isEmpty())
        return loadPicture(file.path, why);
    QBuffer buffer;
    buffer.setData(file.data);
    buffer.open(QIODevice::ReadOnly);
    return loadPicture(&buffer, why);
}

} // namespace kcore
