// PNG rows from libpng, with the transformations the toolkit's PNG reader asks of it in the same
// order, its colour tables, and QImage::pixel()'s rounding of 16-bit samples.
#include "rowdecoder.h"

#include <QIODevice>

#include <csetjmp>
#include <cstring>

#include <png.h>

namespace kcore {

namespace {

// What the read callback reaches, in plain C.
struct PngState
{
    png_structp png = nullptr;
    png_infop info = nullptr;
    png_infop endInfo = nullptr;
    QIODevice *device = nullptr;
    bool readingEnd = false;
};

extern "C" {

void pngError(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp) { }

void pngRead(png_structp png, png_bytep data, size_t length)
{
    auto *s = static_cast<PngState *>(png_get_io_ptr(png));
    QIODevice *in = s->device;
    // A file whose last four bytes (the end chunk's check) are missing reads as complete, as the
    // toolkit's reader lets it.
    if (s->readingEnd && !in->isSequential() && in->size() > 0 && in->size() - in->pos() < 4
        && length == 4) {
        static const uchar endCheck[4] = {0xae, 0x42, 0x60, 0x82};
        std::memcpy(data, endCheck, 4);
        in->seek(in->size());
        return;
    }
    while (length) {
        const qint64 got = in->read(reinterpret_cast<char *>(data), qint64(length));
        if (got <= 0)
            png_error(png, "Read Error");
        data += got;
        length -= size_t(got);
    }
}

} // extern "C"

// Each call into the library is made from one of these frames, which hold nothing to destroy.
bool readInfo(PngState *s)
{
    if (setjmp(png_jmpbuf(s->png)))
        return false;
    png_read_info(s->png, s->info);
    return true;
}

bool updateInfo(PngState *s)
{
    if (setjmp(png_jmpbuf(s->png)))
        return false;
    png_read_update_info(s->png, s->info);
    return true;
}

bool readRow(PngState *s, png_bytep row)
{
    if (setjmp(png_jmpbuf(s->png)))
        return false;
    png_read_row(s->png, row, nullptr);
    return true;
}

bool readEnd(PngState *s)
{
    if (setjmp(png_jmpbuf(s->png)))
        return false;
    s->readingEnd = true;
    png_read_end(s->png, s->endInfo);
    return true;
}

class PngRows : public RowDecoder
{
public:
    explicit PngRows(QIODevice *device) { m_state.device = device; }
    ~PngRows() override
    {
        if (m_state.png)
            png_destroy_read_struct(&m_state.png, &m_state.info, &m_state.endInfo);
    }
    bool open(QString *fallback);
    bool next(uchar *row) override;
    bool finish() override { return readEnd(&m_state); }
    bool plainToTheEnd() override
    {
        png_textp text = nullptr;
        int texts = 0;
        return plain && png_get_text(m_state.png, m_state.endInfo, &text, &texts) == 0;
    }

private:
    bool setUp(QString *fallback);
    bool setUpGrey(int depth, bool trns);
    bool setUpColour(int type, int depth, bool trns);
    bool layOut(int depth, QString *fallback);
    void greyTable(int bitDepth);
    void paletteTable(bool mono);

    PngState m_state;
    bool m_sixteen = false; // 16-bit samples given as 8-bit ones
    bool m_checkIndices = false;
    std::vector<uchar> m_wide;
};

bool PngRows::open(QString *fallback)
{
    PngState *s = &m_state;
    s->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngError, pngWarning);
    if (!s->png)
        return false;
    s->info = png_create_info_struct(s->png);
    s->endInfo = png_create_info_struct(s->png);
    if (!s->info || !s->endInfo)
        return false;
#if defined(PNG_SET_OPTION_SUPPORTED) && defined(PNG_MAXIMUM_INFLATE_WINDOW)
    png_set_option(s->png, PNG_MAXIMUM_INFLATE_WINDOW, PNG_OPTION_ON);
#endif
    png_set_read_fn(s->png, s, pngRead);
    if (!readInfo(s))
        return false;
    if (png_get_interlace_type(s->png, s->info) != PNG_INTERLACE_NONE) {
        *fallback = QStringLiteral("interlaced PNG");
        return false;
    }
    // Text, a profile, a rendering intent or a gamma become the toolkit's text and colour space.
    png_textp text = nullptr;
    int texts = 0;
    plain = png_get_text(s->png, s->info, &text, &texts) == 0
            && !png_get_valid(s->png, s->info, PNG_INFO_iCCP | PNG_INFO_sRGB | PNG_INFO_gAMA);
    dotsPerMeterX = int(png_get_x_pixels_per_meter(s->png, s->info));
    dotsPerMeterY = int(png_get_y_pixels_per_meter(s->png, s->info));
    png_int_32 x = 0, y = 0;
    int unit = PNG_OFFSET_PIXEL;
    png_get_oFFs(s->png, s->info, &x, &y, &unit);
    if (unit == PNG_OFFSET_PIXEL)
        offset = QPoint(x, y);
    return setUp(fallback);
}

// The grey ramp of a grey picture read through a colour table, its transparent level cleared.
void PngRows::greyTable(int bitDepth)
{
    const int count = bitDepth < 8 ? 1 << bitDepth : 256;
    for (int i = 0; i < count; ++i) {
        const int c = i * 255 / (count - 1);
        colours << qRgba(c, c, c, 0xff);
    }
    png_bytep alpha = nullptr;
    int transparent = 0;
    png_color_16p colour = nullptr;
    if (png_get_tRNS(m_state.png, m_state.info, &alpha, &transparent, &colour) && colour
        && colour->gray < count)
        colours[colour->gray] = 0;
}

void PngRows::paletteTable(bool mono)
{
    png_colorp palette = nullptr;
    int count = 0;
    png_get_PLTE(m_state.png, m_state.info, &palette, &count);
    colours = QList<QRgb>(mono ? 2 : count, 0);
    png_bytep alpha = nullptr;
    int transparent = 0;
    png_color_16p colour = nullptr;
    int i = 0;
    if (png_get_tRNS(m_state.png, m_state.info, &alpha, &transparent, &colour) && alpha)
        for (; i < transparent; ++i)
            if (i < colours.size())
                colours[i] = qRgba(palette[i].red, palette[i].green, palette[i].blue, alpha[i]);
    for (; i < count; ++i)
        if (i < colours.size())
            colours[i] = qRgba(palette[i].red, palette[i].green, palette[i].blue, 0xff);
}

// The toolkit's choice of image format for each kind of PNG, and the transformations it asks
// of the library for it, called in its order.
bool PngRows::setUp(QString *fallback)
{
    png_structp png = m_state.png;
    png_infop info = m_state.info;
    png_uint_32 width = 0, height = 0;
    int depth = 0, type = 0;
    png_get_IHDR(png, info, &width, &height, &depth, &type, nullptr, nullptr, nullptr);
    size = QSize(int(width), int(height));
    png_set_interlace_handling(png);
    const bool trns = png_get_valid(png, info, PNG_INFO_tRNS);
    png_colorp palette = nullptr;
    int paletteSize = 0;
    bool known = true;
    if (type == PNG_COLOR_TYPE_GRAY && (depth != 16 || !trns)) {
        known = setUpGrey(depth, trns);
    } else if (type == PNG_COLOR_TYPE_PALETTE && png_get_PLTE(png, info, &palette, &paletteSize)
               && paletteSize <= 256) {
        if (depth != 1)
            png_set_packing(png);
        known = updateInfo(&m_state);
        png_get_IHDR(png, info, &width, &height, &depth, &type, nullptr, nullptr, nullptr);
        toolkitFormat = depth == 1 ? QImage::Format_Mono : QImage::Format_Indexed8;
        paletteTable(depth == 1);
        m_checkIndices = toolkitFormat == QImage::Format_Indexed8;
        if (QSysInfo::ByteOrder == QSysInfo::LittleEndian)
            png_set_bgr(png);
    } else if (type == PNG_COLOR_TYPE_PALETTE || (type == PNG_COLOR_TYPE_RGB && depth == 16 && trns)
               || QSysInfo::ByteOrder != QSysInfo::LittleEndian) {
        // Layouts the toolkit's reader does not fill as it says, or a byte order not tried.
        *fallback = QStringLiteral("PNG of this colour type");
        return false;
    } else {
        known = setUpColour(type, depth, trns);
    }
    return known && layOut(depth, fallback);
}

bool PngRows::setUpGrey(int depth, bool trns)
{
    png_structp png = m_state.png;
    if (depth == 1 && png_get_channels(png, m_state.info) == 1) {
        png_set_invert_mono(png);
        if (!updateInfo(&m_state))
            return false;
        toolkitFormat = QImage::Format_Mono;
        colours = {qRgb(255, 255, 255), qRgb(0, 0, 0)};
        png_bytep alpha = nullptr;
        int transparent = 0;
        png_color_16p colour = nullptr;
        if (png_get_tRNS(png, m_state.info, &alpha, &transparent, &colour) && colour) {
            if (colour->gray == 0)
                colours[1] = qRgba(0, 0, 0, 0);
            else if (colour->gray == 1)
                colours[0] = qRgba(255, 255, 255, 0);
        }
        return true;
    }
    if (depth == 16) {
        toolkitFormat = QImage::Format_Grayscale16;
        if (!updateInfo(&m_state))
            return false;
        png_set_swap(png);
        return true;
    }
    if (depth == 8 && !trns) {
        png_set_expand(png);
        toolkitFormat = QImage::Format_Grayscale8;
        return updateInfo(&m_state);
    }
    if (depth < 8)
        png_set_packing(png);
    if (!updateInfo(&m_state))
        return false;
    toolkitFormat = QImage::Format_Indexed8;
    greyTable(depth);
    return true;
}

// Colour, and grey with alpha or (at 16 bits) with a transparent level.
bool PngRows::setUpColour(int type, int depth, bool trns)
{
    png_structp png = m_state.png;
    if (depth == 16) {
        toolkitFormat = QImage::Format_RGBA64;
        if (type == PNG_COLOR_TYPE_GRAY) {
            png_set_expand(png);
        } else if (!(type & PNG_COLOR_MASK_ALPHA) && !trns) {
            png_set_filler(png, 0xffff, PNG_FILLER_AFTER);
            toolkitFormat = QImage::Format_RGBX64;
        }
        if (!(type & PNG_COLOR_MASK_COLOR))
            png_set_gray_to_rgb(png);
        if (!updateInfo(&m_state))
            return false;
        png_set_swap(png);
        return true;
    }
    png_set_expand(png);
    if (type == PNG_COLOR_TYPE_GRAY_ALPHA)
        png_set_gray_to_rgb(png);
    toolkitFormat = QImage::Format_ARGB32;
    if (!(type & PNG_COLOR_MASK_ALPHA) && !trns) {
        png_set_filler(png, 0xff, PNG_FILLER_AFTER);
        toolkitFormat = QImage::Format_RGB32;
    }
    png_set_bgr(png);
    return updateInfo(&m_state);
}

// The rows given: 16-bit images' as the 8-bit ones QImage::pixel() gives of them.
bool PngRows::layOut(int depth, QString *fallback)
{
    m_sixteen = depth == 16;
    switch (toolkitFormat) {
    case QImage::Format_Grayscale16:
        format = QImage::Format_Grayscale8;
        break;
    case QImage::Format_RGBA64:
        format = QImage::Format_ARGB32;
        break;
    case QImage::Format_RGBX64:
        format = QImage::Format_RGB32;
        break;
    default:
        format = toolkitFormat;
        break;
    }
    // The rows the library gives must fill the toolkit's layout exactly.
    const qint64 bits = qint64(QImage::toPixelFormat(toolkitFormat).bitsPerPixel()) * size.width();
    if (qint64(png_get_rowbytes(m_state.png, m_state.info)) != (bits + 7) / 8) {
        *fallback = QStringLiteral("PNG of this colour type");
        return false;
    }
    m_wide.resize(png_get_rowbytes(m_state.png, m_state.info));
    return true;
}

bool PngRows::next(uchar *row)
{
    if (!m_sixteen) {
        if (!readRow(&m_state, row))
            return false;
        // An index beyond the colour table reads as the first colour.
        if (m_checkIndices)
            for (int x = 0; x < size.width(); ++x)
                if (row[x] >= colours.size())
                    row[x] = 0;
        return true;
    }
    if (!readRow(&m_state, m_wide.data()))
        return false;
    // The samples in the machine's order, each rounded to 8 bits as QImage::pixel() rounds them.
    const auto *in = reinterpret_cast<const quint16 *>(m_wide.data());
    const int w = size.width();
    if (format == QImage::Format_Grayscale8) {
        for (int x = 0; x < w; ++x)
            row[x] = uchar(eightBits(in[x]));
        return true;
    }
    auto *out = reinterpret_cast<QRgb *>(row);
    for (int x = 0; x < w; ++x, in += 4)
        out[x] = qRgba(int(eightBits(in[0])), int(eightBits(in[1])), int(eightBits(in[2])),
                       int(eightBits(in[3])));
    return true;
}

} // namespace

std::unique_ptr<RowDecoder> pngRows(QIODevice *device, QString *fallback)
{
    auto rows = std::make_unique<PngRows>(device);
    if (!rows->open(fallback))
        return nullptr;
    return rows;
}

} // namespace kcore
