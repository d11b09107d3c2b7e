// Work off the GUI thread, the one way the window runs it: starting work abandons the work
// started before it (asked to stop, its result never delivered), and only the newest work's
// result comes back, on the GUI thread, as do its progress reports. The GUI thread never waits.
#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

// Pictures from this size on take long enough to load or write that the window shows progress
// (a 24-megapixel photo loads in about half a second).
constexpr qint64 bigPicturePixels = 8000000;

// What the work and the window tell each other while it runs.
class JobControl
{
public:
    // Whether the window has asked the work to stop; work decides what a stop leaves behind.
    bool stopped() const { return m_stopped.load(std::memory_order_relaxed); }
    // The same flag, for work of the core that takes one.
    const std::atomic<bool> *stoppedFlag() const { return &m_stopped; }
    // How far the work has come, in its own units; the window is told at most every 50 ms.
    void report(qint64 done) { m_done.store(done, std::memory_order_relaxed); }

private:
    friend class JobBase;
    std::atomic<bool> m_stopped{false};
    std::atomic<qint64> m_done{0};
};

class JobBase : public QObject
{
    Q_OBJECT

public:
    explicit JobBase(QObject *parent = nullptr);
    ~JobBase() override;

    bool isRunning() const { return m_running; }
    // Asks the running work to stop; its result still comes back.
    void stop();
    // Asks the running work to stop and drops its result: what it was for no longer holds.
    void abandon();

signals:
    void progressed(qint64 done);

protected:
    // A new generation for new work, the one before abandoned.
    std::pair<quint64, std::shared_ptr<JobControl>> begin();
    // Whether a result of this generation is the one to deliver; ends the run if so.
    bool takes(quint64 generation);

private:
    std::shared_ptr<JobControl> m_control;
    quint64 m_generation = 0;
    bool m_running = false;
    qint64 m_reported = -1;
    QTimer m_tick;
};

template<typename Result>
class Job : public JobBase
{
public:
    using Work = std::function<Result(JobControl &)>;

    Job(QObject *parent, std::function<void(const Result &)> done) : JobBase(parent)
    {
        connect(&m_watcher, &QFutureWatcherBase::finished, this, [this, done = std::move(done)] {
            const std::pair<quint64, Result> r = m_watcher.result();
            if (takes(r.first))
                done(r.second);
        });
    }

    // Runs work on a thread of the pool. The work must not touch the window: it gets copies.
    void start(Work work)
    {
        const auto [generation, control] = begin();
        m_watcher.setFuture(QtConcurrent::run([work = std::move(work), control, generation] {
            return std::make_pair(generation, work(*control));
        }));
    }

private:
    QFutureWatcher<std::pair<quint64, Result>> m_watcher;
};
