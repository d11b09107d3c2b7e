// The PADS PowerPCB ASCII writer: every horizontal run of white pixels becomes one LINES item.
#pragma once

#include <QImage>
#include <QString>

class QIODevice;

namespace kcore {

// A whole number of pixels times the pitch, rounded to whole mils the way the file does it:
// halves away from the pixel grid's origin for k > 0, toward minus for k <= 0. The caller makes
// sure the result fits (padsFits()).
int roundMils(qint64 k, double pitch);

// The line width in whole mils for a pitch.
int lineWidthMils(double pitch);

// Whether every number the file would hold for an image of this size fits the file's integers.
bool padsFits(const QSize &bw, double pitch);

// The start of an item line, "IMG" + the item number in at least eight digits + "  LINES ",
// counted up in place so that numbering costs next to nothing per item.
class ItemPrefix
{
public:
    explicit ItemPrefix(qint64 first);
    const char *data() const { return m_text; }
    int size() const { return m_size; }
    void next();

private:
    void finish();

    char m_text[48] = {};
    int m_digits = 8;
    int m_size = 0;
};

struct PadsResult
{
    enum Status { Ok, PitchTooLarge, WriteFailed };
    Status status = Ok;
    qint64 items = 0;
    QString error; // the device's error text for WriteFailed
};

// Writes bw (white = lowest byte not zero) as a PADS ASCII file of LINES items with the given
// pitch in mils on a layer. Lines end in CR LF. Writes nothing when the pitch is too large for
// the file's integers; output goes out in chunks, so memory stays bounded at any file size.
PadsResult writePads(const QImage &bw, double pitch, int layer, QIODevice *out);

} // namespace kcore
