// The PADS PowerPCB ASCII writer: every horizontal run of white pixels becomes one LINES item.
#pragma once

#include "lineitems.h"

#include <QImage>
#include <QString>

#include <functional>
#include <memory>

class QIODevice;

namespace kcore {

// The image with rows of the 32-bit words QImage::pixel() gives, whatever its format: shared,
// not copied, for the black-and-white images kestrel builds.
QImage pixelWords(const QImage &bw);

// Whether every number the file would hold for an image of this size fits the file's integers.
bool padsFits(const QSize &bw, double pitch);
// Why a width padsFits() refuses cannot be written, in a sentence for the user.
QString pitchTooLargeMessage();

// The start of an item line, "IMG" + the item number in at least eight digits + "  LINES ",
// counted up in place so that numbering costs next to nothing per item.
class ItemPrefix
{
public:
    explicit ItemPrefix(qint64 first);
    // Always 32 readable bytes, whatever size() is, for fixed-size copies.
    const char *data() const { return m_text; }
    int size() const { return m_size; }
    void next()
    {
        char *last = m_text + 2 + m_digits;
        if (*last != '9')
            ++*last; // nine items in ten
        else
            carry();
    }

private:
    void carry();
    void finish();

    char m_text[48] = {};
    int m_digits = 8;
    int m_size = 0;
};

struct PadsSettings
{
    double pitch = 2; // mils; also the line width before rounding
    int layer = 19;
    bool exactEnds = false;
};

// The outcome of writing a file: on failure, message always says what went wrong.
struct PadsResult
{
    bool ok = true;
    QString message;
    qint64 items = 0;
    qint64 bytes = 0;
};

// Writes a PADS ASCII file of LINES items for a black-and-white image of a known size, handed
// over row by row from the top (white = lowest byte not zero). Lines end in CR LF. Output goes
// out in 1 MB chunks, so memory stays bounded at any file size.
class PadsWriter
{
public:
    PadsWriter(const QSize &bw, const PadsSettings &settings, QIODevice *out);
    ~PadsWriter();
    PadsWriter(const PadsWriter &) = delete;
    PadsWriter &operator=(const PadsWriter &) = delete;

    // Row y of the image, width() pixels; rows come in order. False once a write has failed.
    bool writeRow(const quint32 *row, int y);
    // Writes the end of the file and hands everything to the device.
    PadsResult finish();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// The whole file for an image. Writes nothing when the pitch is too large for the file's
// integers (see padsFits()).
PadsResult writePads(const QImage &bw, const PadsSettings &settings, QIODevice *out);
inline PadsResult writePads(const QImage &bw, double pitch, int layer, QIODevice *out)
{
    return writePads(bw, PadsSettings{pitch, layer, false}, out);
}

// What writePads() would write, counted without writing: the number of items and the size of
// the file in bytes. Costs one pass over the image's pixels.
struct PadsBudget
{
    qint64 items = 0;
    qint64 bytes = 0;
};
PadsBudget countPads(const QImage &bw, const PadsSettings &settings);

// Writes a file through QSaveFile: an existing file at path is replaced only once the new one is
// complete, and is left as it was on any failure. write fills the device it is given.
PadsResult saveFile(const QString &path, const std::function<PadsResult(QIODevice *)> &write);
// Whether two paths name one existing file, however each is spelt: a relative path, a symbolic
// link, a hard link. Writing a picture's file onto itself would destroy the picture.
bool isSameFile(const QString &a, const QString &b);

// The same onto standard output.
PadsResult writeStandardOutput(const std::function<PadsResult(QIODevice *)> &write);

} // namespace kcore
