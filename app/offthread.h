// Long work off the GUI thread: the window keeps painting while a worker runs, behind a
// window-modal progress dialog that keeps the user from changing what the worker reads.
#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <QProgressDialog>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <functional>

// Pictures from this size on take long enough to load or write that the window shows progress
// (a 24-megapixel photo loads in about half a second).
constexpr qint64 bigPicturePixels = 8000000;

// What a worker tells the window, and what the window tells it back.
struct WorkProgress
{
    std::atomic<qint64> done{0};
    std::atomic<bool> cancelled{false};
};

// Runs work on a thread of its own and returns its result, handling events meanwhile. The dialog
// over parent shows label with a bar up to maximum (a busy bar for 0), and Cancel when
// cancellable, which only asks the work to stop: work decides what a cancel leaves behind.
template<typename Result>
Result runOffGuiThread(QWidget *parent, const QString &label, qint64 maximum, bool cancellable,
                       const std::function<Result(WorkProgress &)> &work)
{
    WorkProgress progress;
    Result result{};
    QProgressDialog dialog(label, QCoreApplication::translate("kestrel", "Cancel"), 0,
                           maximum > 0 ? 1000 : 0, parent);
    if (!cancellable)
        dialog.setCancelButton(nullptr);
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setAutoClose(false);
    dialog.setAutoReset(false);
    dialog.setMinimumDuration(0);
    dialog.setValue(0);
    QObject::connect(&dialog, &QProgressDialog::canceled, &dialog,
                     [&progress] { progress.cancelled = true; });
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &dialog, [&] {
        if (dialog.wasCanceled())
            progress.cancelled = true;
        if (maximum > 0)
            dialog.setValue(int(1000 * progress.done.load() / maximum));
    });
    tick.start(50);

    QEventLoop loop;
    QThread *thread = QThread::create([&] { result = work(progress); });
    QObject::connect(thread, &QThread::finished, &loop, &QEventLoop::quit);
    thread->start();
    loop.exec();
    thread->wait();
    delete thread;
    return result;
}
