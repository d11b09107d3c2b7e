// The generations, stop flags and progress ticks of the window's work off the GUI thread.
#include "job.h"

JobBase::JobBase(QObject *parent) : QObject(parent)
{
    m_tick.setInterval(50);
    connect(&m_tick, &QTimer::timeout, this, [this] {
        const qint64 done = m_control ? m_control->m_done.load(std::memory_order_relaxed) : 0;
        if (done != m_reported)
            emit progressed(m_reported = done);
    });
}

JobBase::~JobBase()
{
    // Work still running has nothing left to report to.
    abandon();
}

void JobBase::stop()
{
    if (m_control)
        m_control->m_stopped = true;
}

void JobBase::abandon()
{
    stop();
    m_control.reset();
    ++m_generation;
    m_running = false;
    m_tick.stop();
}

std::pair<quint64, std::shared_ptr<JobControl>> JobBase::begin()
{
    abandon();
    m_control = std::make_shared<JobControl>();
    m_running = true;
    m_reported = -1;
    m_tick.start();
    return {m_generation, m_control};
}

bool JobBase::takes(quint64 generation)
{
    if (generation != m_generation || !m_running)
        return false;
    m_running = false;
    m_tick.stop();
    m_control.reset();
    return true;
}
