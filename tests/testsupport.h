// Helpers shared by the test suites: small pictures, modal-dialog driving, a GIF encoder.
#pragma once

#include <QByteArray>
#include <QEvent>
#include <QImage>
#include <QPointer>
#include <QRandomGenerator>
#include <QStringList>
#include <QTimer>

#include <functional>

class QWidget;

namespace testsupport {

// A black-and-white RGB32 image from rows of text: '#' white, anything else black.
QImage bwFromRows(const QStringList &rows);
// A picture of the default palette's finishes: . board, c copper, g gold, b bare, s silk.
QImage finishPicture(const QStringList &rows);

// Alternating black and white pixels: one LINES item per white pixel, the export's worst case.
QImage checkerboard(int width, int height);

// Writes bytes to path, replacing what was there; false if it cannot.
bool writeFile(const QString &path, const QByteArray &bytes);

// A 40 x 16 mm logo as real exports draw one: a ring through a CSS class and a transform, a
// slanted bar, and a disc cut by a clip path with a hole from a mask.
QByteArray logoSvg();
// An illustration of 208.6 x 219.4 mm as drawing programs write one: two flasks of gradients in
// groups of their own opacity, and blurred shadows and highlights; at 0.1 mm its filters reach
// 80 rows, and a page that large is drawn in pieces of bands.
QByteArray blurredIllustration();
// Its shapes as a PDF page of 113 x 45 points, from Qt's PDF writer.
QByteArray logoPdf();
// pdf, objects "N 0 obj ... endobj" with the catalog named by its trailer (or object 1), with
// a cross-reference table of its own in place of the one it had, so its objects may be edited.
QByteArray withXref(QByteArray pdf);
// A PDF of one page: the page's entries (boxes, /Rotate) and its content stream.
QByteArray pdfPage(const QByteArray &entries, const QByteArray &content);
// Documents kestrel must refuse, each with how its reason for the user begins, and the
// converter's exit code: damaged, empty, encrypted, an entity bomb, no size, a page under a
// point wide, pages beyond the pixel bound at 2 mil.
struct BadDocument
{
    const char *name;
    QByteArray bytes;
    const char *reason;
    int exitCode;
};
QList<BadDocument> badDocuments();

// A picture of the given format filled with random content (a random palette for indexed ones).
QImage randomImage(QRandomGenerator &rng, const QSize &size, QImage::Format format);

// Runs action on the next modal widget to appear, from the event loop the caller's exec() runs.
// Gives up after timeoutMs. The watch ends when the returned handle is destroyed, so an action
// never outlives what it refers to. When a check in the action fails, the dialog is closed
// after it, so the test goes on to report instead of hanging.
class ModalWatch
{
public:
    explicit ModalWatch(QTimer *timer) : m_timer(timer) { }
    ModalWatch(ModalWatch &&other) noexcept : m_timer(other.m_timer) { other.m_timer = nullptr; }
    ~ModalWatch();
    ModalWatch(const ModalWatch &) = delete;
    ModalWatch &operator=(const ModalWatch &) = delete;

private:
    QPointer<QTimer> m_timer;
};
// With a filter, only a modal widget the filter accepts ends the watch; others are left alone.
[[nodiscard]] ModalWatch onNextModal(std::function<void(QWidget *)> action, int timeoutMs = 10000,
                                     std::function<bool(QWidget *)> filter = {});

// Rejects (or closes) a dialog, so that its exec() returns.
void closeDialog(QWidget *modal);
// Closes every dialog still shown; true if there was one.
bool closeOpenDialogs();

// Counts the paint events of the widget it watches, from construction on.
class PaintCounter : public QObject
{
public:
    explicit PaintCounter(QObject *watched) { watched->installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *e) override
    {
        paints += e->type() == QEvent::Paint;
        return false;
    }
};

// A GIF file holding image (converted to 8-bit indexed, at most 256 colours).
QByteArray gifBytes(const QImage &image);

} // namespace testsupport
