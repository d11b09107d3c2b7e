// Test helpers: picture makers, a minimal GIF encoder, and timers that drive modal dialogs.
#include "testsupport.h"

#include <QApplication>
#include <QBuffer>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QPageSize>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <map>

namespace testsupport {

QImage bwFromRows(const QStringList &rows)
{
    const int h = int(rows.size());
    const int w = h ? int(rows.first().size()) : 0;
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, rows[y][x] == QLatin1Char('#') ? 0xffffffffu : 0xff000000u);
    return img;
}

QImage finishPicture(const QStringList &rows)
{
    // The default palette's colours: board green, copper, gold, bare, silk.
    const QHash<QChar, QRgb> colours = {{'.', 0xff0b3d1e}, {'c', 0xff3a8a4a}, {'g', 0xffd4af37},
                                        {'b', 0xffc8b48c}, {'s', 0xffffffff}};
    const int h = int(rows.size());
    const int w = h ? int(rows.first().size()) : 0;
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, colours.value(rows[y][x]));
    return img;
}

QImage checkerboard(int width, int height)
{
    QImage img(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            img.setPixel(x, y, (x + y) % 2 ? 0xffffffffu : 0xff000000u);
    return img;
}

QByteArray logoSvg()
{
    return "<svg xmlns='http://www.w3.org/2000/svg' width='40mm' height='16mm' "
           "viewBox='0 0 40 16'>"
           "<style>.ring { fill: none; stroke: #101010; stroke-width: 1.6 }</style>"
           "<defs><clipPath id='half'><rect width='40' height='9'/></clipPath>"
           "<mask id='hole'><rect width='40' height='16' fill='white'/>"
           "<circle cx='31' cy='8' r='1.5' fill='black'/></mask></defs>"
           "<ellipse class='ring' cx='8' cy='8' rx='5.5' ry='4.5' transform='rotate(20 8 8)'/>"
           "<polygon points='16,14 20,2 22.5,2 18.5,14' fill='#202020'/>"
           "<circle cx='31' cy='10' r='6' clip-path='url(#half)' mask='url(#hole)'/></svg>";
}

QByteArray blurredIllustration()
{
    return R"svg(<svg xmlns="http://www.w3.org/2000/svg" width="208.6mm" height="219.4mm"
  viewBox="0 0 739.1 777.4">
  <defs>
    <linearGradient id="glass" x1="0" y1="0" x2="1" y2="0">
      <stop offset="0" stop-color="#4a7fb0"/><stop offset="0.45" stop-color="#dbe9f5"/>
      <stop offset="1" stop-color="#2d5a85"/>
    </linearGradient>
    <linearGradient id="liquid" x1="0" y1="0" x2="0" y2="1">
      <stop offset="0" stop-color="#3fa34d"/><stop offset="1" stop-color="#0f4d1a"/>
    </linearGradient>
    <radialGradient id="glow" cx="0.5" cy="0.5" r="0.5">
      <stop offset="0" stop-color="#fff"/><stop offset="1" stop-color="#fff" stop-opacity="0"/>
    </radialGradient>
    <filter id="soft" x="-0.25" y="-0.25" width="1.5" height="1.5"
      color-interpolation-filters="sRGB"><feGaussianBlur stdDeviation="9"/></filter>
    <filter id="shade" x="-0.1" y="-0.1" width="1.2" height="1.2"
      color-interpolation-filters="sRGB"><feGaussianBlur stdDeviation="3.5"/></filter>
  </defs>
  <g transform="translate(60 60)">
    <ellipse cx="170" cy="660" rx="170" ry="26" opacity="0.45" filter="url(#soft)"/>
    <g opacity="0.78">
      <path d="M 130 0 L 210 0 L 210 230 L 340 600 Q 350 650 300 660 L 40 660 Q -10 650 0 600
        L 130 230 Z" fill="url(#glass)" stroke="#1c3550" stroke-width="6"/>
      <path d="M 75 420 L 265 420 L 330 600 Q 338 640 300 648 L 40 648 Q 2 640 10 600 Z"
        fill="url(#liquid)"/>
    </g>
    <path d="M 150 40 L 150 240 L 40 560" fill="none" stroke="#fff" stroke-width="14"
      opacity="0.7" filter="url(#shade)"/>
    <circle cx="200" cy="520" r="40" fill="url(#glow)" opacity="0.6" filter="url(#shade)"/>
  </g>
  <g transform="translate(420 180)">
    <ellipse cx="130" cy="540" rx="140" ry="22" opacity="0.45" filter="url(#soft)"/>
    <g opacity="0.7">
      <path d="M 100 0 L 160 0 L 160 200 A 125 125 0 1 1 100 200 Z" fill="url(#glass)"
        stroke="#1c3550" stroke-width="5"/>
      <path d="M 20 400 A 125 125 0 0 0 240 400 Z" fill="#b03030"/>
    </g>
    <path d="M 115 30 L 115 220" fill="none" stroke="#fff" stroke-width="10" opacity="0.8"
      filter="url(#shade)"/>
  </g>
</svg>
)svg";
}

QByteArray logoPdf()
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter writer(&buffer);
        writer.setPageSize(QPageSize(QSizeF(113, 45), QPageSize::Point));
        writer.setPageMargins(QMarginsF(0, 0, 0, 0));
        writer.setResolution(720);
        QPainter painter(&writer);
        painter.scale(10, 10); // points
        painter.setPen(QPen(QColor(0x10, 0x10, 0x10), 4.5));
        painter.drawEllipse(QPointF(22.7, 22.7), 15.6, 12.8);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0x20, 0x20, 0x20));
        painter.drawPolygon(QPolygonF({{45.4, 39.7}, {56.7, 5.7}, {63.8, 5.7}, {52.4, 39.7}}));
        QPainterPath disc;
        disc.addEllipse(QPointF(87.9, 28.3), 17, 17);
        QPainterPath hole;
        hole.addEllipse(QPointF(87.9, 22.7), 4.3, 4.3);
        painter.setClipRect(QRectF(0, 0, 113, 25.5));
        painter.setBrush(Qt::black);
        painter.drawPath(disc.subtracted(hole));
    }
    return buffer.data();
}

QByteArray withXref(QByteArray pdf)
{
    const QString text = QString::fromLatin1(pdf);
    const QRegularExpressionMatch root
            = QRegularExpression(QStringLiteral("/Root\\s*(\\d+)\\s+0\\s+R")).match(text);
    const qsizetype xref = pdf.lastIndexOf("\nxref");
    const qsizetype trailer = pdf.lastIndexOf("trailer");
    if (xref >= 0 || trailer >= 0)
        pdf.truncate((xref >= 0 && (trailer < 0 || xref < trailer) ? xref : trailer) + 1);
    std::map<int, qsizetype> offsets;
    QRegularExpressionMatchIterator objects
            = QRegularExpression(QStringLiteral("[\\r\\n](\\d+) 0 obj")).globalMatch(text);
    while (objects.hasNext()) {
        const QRegularExpressionMatch m = objects.next();
        if (m.capturedStart(1) < pdf.size())
            offsets[m.captured(1).toInt()] = m.capturedStart(1);
    }
    const int size = offsets.empty() ? 1 : offsets.rbegin()->first + 1;
    const qsizetype start = pdf.size();
    pdf += "xref\n0 " + QByteArray::number(size) + "\n";
    for (int i = 0; i < size; ++i)
        pdf += offsets.count(i)
                ? QByteArray::number(offsets[i]).rightJustified(10, '0') + " 00000 n \n"
                : QByteArray("0000000000 65535 f \n");
    pdf += "trailer<</Size " + QByteArray::number(size) + "/Root "
            + (root.hasMatch() ? root.captured(1).toLatin1() : QByteArray("1"))
            + " 0 R>>\nstartxref\n" + QByteArray::number(start) + "\n%%EOF\n";
    return pdf;
}

QByteArray pdfPage(const QByteArray &entries, const QByteArray &content)
{
    return withXref("%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
                    "2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n"
                    "3 0 obj<</Type/Page/Parent 2 0 R"
                    + entries + "/Contents 4 0 R>>endobj\n4 0 obj<</Length "
                    + QByteArray::number(content.size()) + ">>stream\n" + content
                    + "\nendstream\nendobj\n");
}

QList<BadDocument> badDocuments()
{
    const QByteArray logo = logoSvg();
    const QByteArray pdf = logoPdf();
    // A page with nothing on it; the reader rebuilds the missing cross-reference table.
    const QByteArray page = "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
                            "2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n"
                            "3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 14400 14400]>>endobj\n"
                            "trailer<</Root 1 0 R>>\n%%EOF\n";
    QByteArray bomb = "<?xml version='1.0'?><!DOCTYPE svg [<!ENTITY a 'aaaaaaaaaaaaaaaa'>";
    for (char e = 'b'; e <= 'k'; ++e)
        bomb += QByteArray("<!ENTITY ") + e + " '"
                + QByteArray("&").append(char(e - 1)).append(';').repeated(16) + "'>";
    bomb += "]><svg xmlns='http://www.w3.org/2000/svg' width='1in' "
            "height='1in'><text>&k;</text></svg>";
    // Encrypted with a password (AES-256), as a protected export would be.
    const QByteArray encrypted = QByteArray::fromBase64(
            "JVBERi0xLjcKJb/"
            "3ov4KMSAwIG9iago8PCAvRXh0ZW5zaW9ucyA8PCAvQURCRSA8PCAvQmFzZVZlcnNpb24gLzEu"
            "NyAvRXh0ZW5zaW9uTGV2ZWwgOCA+PiA+"
            "PiAvUGFnZXMgMiAwIFIgL1R5cGUgL0NhdGFsb2cgPj4KZW5kb2JqCjIg"
            "MCBvYmoKPDwgL0NvdW50IDEgL0tpZHMgWyAzIDAgUiBdIC9UeXBlIC9QYWdlcyA+"
            "PgplbmRvYmoKMyAwIG9iago8"
            "PCAvTWVkaWFCb3ggWyAwIDAgNzIgNzIgXSAvUGFyZW50IDIgMCBSIC9UeXBlIC9QYWdlID4+"
            "CmVuZG9iago0IDAg"
            "b2JqCjw8IC9DRiA8PCAvU3RkQ0YgPDwgL0F1dGhFdmVudCAvRG9jT3BlbiAvQ0ZNIC9BRVNWMyAvTGVuZ3RoID"
            "My"
            "ID4+ID4+"
            "IC9GaWx0ZXIgL1N0YW5kYXJkIC9MZW5ndGggMjU2IC9PIDwwMWU4N2UyNDE4NzVhN2VhZDE1MDgwYTM4"
            "OWY5NjNkNjVlNGQ2MGNmODk4N2Y2MjY3MTUwZTllNzIyNDc3MjE1ZTllNTFmMmYyYTYxMmJkMDQ3ZTE5OTM0MG"
            "M1"
            "OGNhMzM+"
            "IC9PRSA8YjM0ZTI1NDM0NzBiN2QwMzE3MjQzYzZkMzFmOWU2Yjg2MGMxZDEyM2YzMWZhYmFjZDgxNWFi"
            "MTJmNWUxNjUwND4gL1AgLTQgL1Blcm1zIDwyMTQ0NGJjODRmNTRkZTAwZDk5MWZlNDI2OTBjOWJkZD4gL1IgNi"
            "Av"
            "U3RtRiAvU3RkQ0YgL1N0ckYgL1N0ZENGIC9VIDwwMjViODc5YzU1NzdhZWRmYzg4MWZjYjE0N2M0NWIyY2RjNG"
            "Yw"
            "NTIzZDUyYmJiYmIyZWRmYmExMWQxNjVkMDVmNmIyMzlkOGIwYzk3Yjk0Nzg1MDkwYWJhODk4MTEzZmU+"
            "IC9VRSA8"
            "OThmNDAzYWUyZjFjYWQwMzQ3ZDA3NWYxYTRkNDZhNzRhNTM2NjZiYmZkNDZiOThlZjU3Y2JmMjU1NTU3YmY4YT"
            "4g"
            "L1YgNSA+"
            "PgplbmRvYmoKeHJlZgowIDUKMDAwMDAwMDAwMCA2NTUzNSBmIAowMDAwMDAwMDE1IDAwMDAwIG4gCjAw"
            "MDAwMDAxMzAgMDAwMDAgbiAKMDAwMDAwMDE4OSAwMDAwMCBuIAowMDAwMDAwMjYwIDAwMDAwIG4gCnRyYWlsZX"
            "Ig"
            "PDwgL1Jvb3QgMSAwIFIgL0lEIFs8NGI1ZjQ3ZDAxMGY4MDcyMDMzZDhmNTIzZmVkNzE4YzE+"
            "PDkwMGNiYzM4NDEw"
            "ODQxMjU5ODc0YjE5NDg0OWUzN2VkPl0gL0VuY3J5cHQgNCAwIFIgPj4Kc3RhcnR4cmVmCjgwNwolJUVPRgo=");
    return {
            {"cut.svg", logo.left(logo.size() / 2), "The SVG document is damaged or incomplete", 1},
            {"empty.svg", QByteArray(), "The SVG document is empty (0 bytes).", 1},
            {"bomb.svg", bomb, "The SVG document is damaged or incomplete", 1},
            {"nosize.svg",
             "<svg xmlns='http://www.w3.org/2000/svg' width='100%' height='100%'>"
             "<circle r='4'/></svg>",
             "The SVG document gives no size", 1},
            {"vast.svg",
             "<svg xmlns='http://www.w3.org/2000/svg' width='100in' height='40in'><circle "
             "r='4'/></svg>",
             "At 100 % the black-and-white image would be 50000 x 20000 pixels", 2},
            {"cut.pdf", pdf.left(pdf.size() / 2), "The PDF document is damaged or incomplete.", 1},
            {"empty.pdf", QByteArray(), "The PDF document is empty (0 bytes).", 1},
            {"encrypted.pdf", encrypted, "The PDF document is encrypted", 1},
            {"vast.pdf", page, "At 100 % the black-and-white image would be 100000 x 100000", 2},
            {"speck.pdf", pdfPage("/MediaBox[0 0 0.9 200]", "0 0 1 200 re f"),
             "Page 1 of the PDF document is smaller than a point.", 1},
    };
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QImage randomImage(QRandomGenerator &rng, const QSize &size, QImage::Format format)
{
    QImage argb(size, QImage::Format_ARGB32);
    for (int y = 0; y < size.height(); ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(argb.scanLine(y));
        for (int x = 0; x < size.width(); ++x)
            line[x] = rng.generate();
    }
    if (format == QImage::Format_Indexed8 || format == QImage::Format_Mono
        || format == QImage::Format_MonoLSB) {
        const int colours = format == QImage::Format_Indexed8 ? 1 + int(rng.bounded(256)) : 2;
        QList<QRgb> table;
        for (int i = 0; i < colours; ++i)
            table << rng.generate();
        QImage indexed(size, format);
        indexed.setColorTable(table);
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x)
                indexed.setPixel(x, y, uint(rng.bounded(colours)));
        return indexed;
    }
    return argb.convertToFormat(format);
}

void closeDialog(QWidget *modal)
{
    if (auto *dialog = qobject_cast<QDialog *>(modal))
        dialog->reject();
    else
        modal->close();
}

bool closeOpenDialogs()
{
    bool closed = false;
    for (QWidget *top : QApplication::topLevelWidgets()) {
        if (qobject_cast<QDialog *>(top) && top->isVisible()) {
            closeDialog(top);
            closed = true;
        }
    }
    return closed;
}

ModalWatch::~ModalWatch()
{
    if (m_timer)
        delete m_timer.data();
}

ModalWatch onNextModal(std::function<void(QWidget *)> action, int timeoutMs,
                       std::function<bool(QWidget *)> filter)
{
    auto *timer = new QTimer;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, clock, action, timeoutMs, filter] {
        QWidget *modal = QApplication::activeModalWidget();
        if (modal && modal->isVisible() && (!filter || filter(modal))) {
            timer->stop();
            timer->deleteLater();
            const QPointer<QWidget> shown = modal;
            action(modal);
            // A failed check returns from the action before it answers: the dialog's exec()
            // would then wait for the suite's time-out.
            if (QTest::currentTestFailed() && shown && shown->isVisible())
                closeDialog(shown);
        } else if (clock->elapsed() > timeoutMs) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
    return ModalWatch(timer);
}

namespace {

// LZW-coded bits, least significant first, in sub-blocks of at most 255 bytes.
class BitPacker
{
public:
    void put(int code, int bits)
    {
        m_acc |= quint32(code) << m_nbits;
        m_nbits += bits;
        while (m_nbits >= 8) {
            m_bytes.append(char(m_acc & 0xff));
            m_acc >>= 8;
            m_nbits -= 8;
        }
    }
    QByteArray blocks()
    {
        if (m_nbits > 0)
            m_bytes.append(char(m_acc & 0xff));
        QByteArray out;
        for (qsizetype i = 0; i < m_bytes.size(); i += 255) {
            const QByteArray part = m_bytes.mid(i, 255);
            out.append(char(part.size()));
            out.append(part);
        }
        out.append('\0');
        return out;
    }

private:
    QByteArray m_bytes;
    quint32 m_acc = 0;
    int m_nbits = 0;
};

void putShort(QByteArray &out, int v)
{
    out.append(char(v & 0xff));
    out.append(char((v >> 8) & 0xff));
}

} // namespace

QByteArray gifBytes(const QImage &image)
{
    const QImage indexed = image.format() == QImage::Format_Indexed8
            ? image
            : image.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither);
    QList<QRgb> table = indexed.colorTable();
    table.resize(256);
    QByteArray out("GIF89a");
    putShort(out, indexed.width());
    putShort(out, indexed.height());
    out.append(char(0xf7)); // global colour table of 256 entries
    out.append('\0');
    out.append('\0');
    for (QRgb c : table) {
        out.append(char(qRed(c)));
        out.append(char(qGreen(c)));
        out.append(char(qBlue(c)));
    }
    out.append(',');
    putShort(out, 0);
    putShort(out, 0);
    putShort(out, indexed.width());
    putShort(out, indexed.height());
    out.append('\0');
    // Code size 8; a clear code before the table would need wider codes keeps every code a
    // literal 9-bit one, which is valid LZW that any decoder reads.
    const int minCodeSize = 8, clear = 256, end = 257;
    out.append(char(minCodeSize));
    BitPacker bits;
    int sinceClear = 0;
    bits.put(clear, 9);
    for (int y = 0; y < indexed.height(); ++y) {
        const uchar *line = indexed.constScanLine(y);
        for (int x = 0; x < indexed.width(); ++x) {
            if (sinceClear == 250) {
                bits.put(clear, 9);
                sinceClear = 0;
            }
            bits.put(line[x], 9);
            ++sinceClear;
        }
    }
    bits.put(end, 9);
    out.append(bits.blocks());
    out.append(';');
    return out;
}

} // namespace testsupport
