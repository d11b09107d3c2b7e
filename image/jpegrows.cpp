// JPEG rows from libjpeg-turbo, decoded as the toolkit's JPEG reader decodes them: the library's
// defaults (the accurate integer IDCT, fancy upsampling), its fake end marker on a file cut
// short, and its CMYK arithmetic.
#include "rowdecoder.h"

#include <QIODevice>

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace kcore {

namespace {

// Everything the library's callbacks reach, in plain C: an error jumps back over nothing that
// needs destroying.
struct JpegState
{
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    std::jmp_buf jump;
    jpeg_source_mgr source;
    QIODevice *device;
    JOCTET buffer[65536];
};

extern "C" {

void jpegError(j_common_ptr info)
{
    std::longjmp(static_cast<JpegState *>(info->client_data)->jump, 1);
}

// Warnings, of corrupt data among them, go on decoding, as the toolkit's reader does; said by
// no one.
void jpegMessage(j_common_ptr) { }

void jpegInit(j_decompress_ptr) { }

boolean jpegFill(j_decompress_ptr info)
{
    auto *s = static_cast<JpegState *>(info->client_data);
    const qint64 got = s->device->read(reinterpret_cast<char *>(s->buffer), sizeof s->buffer);
    s->source.next_input_byte = s->buffer;
    if (got <= 0) {
        // The end of the file reads as an end marker: a cut-off picture decodes, grey below
        // the cut, as it does for the toolkit.
        s->buffer[0] = 0xff;
        s->buffer[1] = JPEG_EOI;
        s->source.bytes_in_buffer = 2;
    } else {
        s->source.bytes_in_buffer = size_t(got);
    }
    return TRUE;
}

void jpegSkip(j_decompress_ptr info, long count)
{
    auto *s = static_cast<JpegState *>(info->client_data);
    while (count > long(s->source.bytes_in_buffer)) {
        count -= long(s->source.bytes_in_buffer);
        jpegFill(info);
    }
    if (count > 0) {
        s->source.next_input_byte += count;
        s->source.bytes_in_buffer -= size_t(count);
    }
}

void jpegTerm(j_decompress_ptr) { }

} // extern "C"

// Each call into the library is made from one of these frames, which hold nothing to destroy.
bool readHeader(JpegState *s)
{
    if (setjmp(s->jump))
        return false;
    // Kept to tell whether the toolkit's reader would attach text or a colour profile.
    jpeg_save_markers(&s->info, JPEG_COM, 0xffff);
    jpeg_save_markers(&s->info, JPEG_APP0 + 2, 0xffff);
    jpeg_read_header(&s->info, TRUE);
    return true;
}

bool sizeOutput(JpegState *s, J_COLOR_SPACE out)
{
    if (setjmp(s->jump))
        return false;
    s->info.out_color_space = out;
    jpeg_calc_output_dimensions(&s->info);
    return true;
}

bool startDecoding(JpegState *s)
{
    if (setjmp(s->jump))
        return false;
    jpeg_start_decompress(&s->info);
    return true;
}

bool readRow(JpegState *s, JSAMPROW row)
{
    if (setjmp(s->jump))
        return false;
    return jpeg_read_scanlines(&s->info, &row, 1) == 1;
}

bool finishDecoding(JpegState *s)
{
    if (setjmp(s->jump))
        return false;
    jpeg_finish_decompress(&s->info);
    return true;
}

class JpegRows : public RowDecoder
{
public:
    explicit JpegRows(QIODevice *device)
    {
        JpegState *s = &m_state;
        s->device = device;
        s->info.err = jpeg_std_error(&s->errors);
        s->errors.error_exit = jpegError;
        s->errors.output_message = jpegMessage;
        jpeg_create_decompress(&s->info);
        s->info.client_data = s;
        s->source.init_source = jpegInit;
        s->source.fill_input_buffer = jpegFill;
        s->source.skip_input_data = jpegSkip;
        s->source.resync_to_restart = jpeg_resync_to_restart;
        s->source.term_source = jpegTerm;
        s->source.bytes_in_buffer = 0;
        s->source.next_input_byte = s->buffer;
        s->info.src = &s->source;
    }
    ~JpegRows() override { jpeg_destroy_decompress(&m_state.info); }

    bool open(QString *fallback);
    bool next(uchar *row) override;
    bool finish() override { return finishDecoding(&m_state); }

private:
    JpegState m_state = {};
    bool m_cmyk = false;
    bool m_started = false;
    std::vector<uchar> m_cmykRow;
};

bool JpegRows::open(QString *fallback)
{
    JpegState *s = &m_state;
    if (!readHeader(s))
        return false;
    jpeg_decompress_struct &info = s->info;
    if (info.arith_code) {
        *fallback = QStringLiteral("arithmetic-coded JPEG");
        return false;
    }
    // The colour spaces the toolkit's reader decodes into a format of its own; RGB straight into
    // the words of a 32-bit image.
    J_COLOR_SPACE out;
    switch (info.out_color_space) {
    case JCS_GRAYSCALE:
        out = JCS_GRAYSCALE;
        format = QImage::Format_Grayscale8;
        break;
    case JCS_RGB:
        out = JCS_EXT_BGRX;
        format = QImage::Format_RGB32;
        break;
    case JCS_CMYK:
        out = JCS_CMYK;
        format = QImage::Format_RGB32;
        m_cmyk = true;
        break;
    default:
        *fallback = QStringLiteral("JPEG of %1 components").arg(info.num_components);
        return false;
    }
    toolkitFormat = format;
    plain = !info.marker_list;
    if (info.density_unit == 1 || info.density_unit == 2) {
        const double perMetre = info.density_unit == 1 ? 100. / 2.54 : 100.;
        dotsPerMeterX = int(perMetre * info.X_density);
        dotsPerMeterY = int(perMetre * info.Y_density);
    }
    // Decoding starts with the first row: a progressive file is read whole by then.
    if (!sizeOutput(s, out))
        return false;
    size = QSize(int(info.output_width), int(info.output_height));
    if (m_cmyk)
        m_cmykRow.resize(size_t(info.output_width) * 4);
    return true;
}

bool JpegRows::next(uchar *row)
{
    if (!m_started && !(m_started = startDecoding(&m_state)))
        return false;
    if (!m_cmyk)
        return readRow(&m_state, row);
    if (!readRow(&m_state, m_cmykRow.data()))
        return false;
    // Inverted CMYK, as Adobe writes it and the toolkit's reader reads every CMYK file.
    const uchar *in = m_cmykRow.data();
    auto *out = reinterpret_cast<QRgb *>(row);
    for (int x = 0; x < size.width(); ++x, in += 4) {
        const int k = in[3];
        out[x] = qRgb(k * in[0] / 255, k * in[1] / 255, k * in[2] / 255);
    }
    return true;
}

} // namespace

std::unique_ptr<RowDecoder> jpegRows(QIODevice *device, QString *fallback)
{
    auto rows = std::make_unique<JpegRows>(device);
    if (!rows->open(fallback))
        return nullptr;
    return rows;
}

} // namespace kcore
