// Test helpers: picture makers, a minimal GIF encoder, and timers that drive modal dialogs.
#include "testsupport.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <QTimer>
#include <QWidget>

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

QImage checkerboard(int width, int height)
{
    QImage img(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            img.setPixel(x, y, (x + y) % 2 ? 0xffffffffu : 0xff000000u);
    return img;
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
