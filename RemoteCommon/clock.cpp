#include "clock.h"

#include <QElapsedTimer>

Clock* Clock::system()
{
    static SystemClock clock;
    return &clock;
}

SystemClock::SystemClock() = default;

QDateTime SystemClock::currentDateTime() const
{
    return QDateTime::currentDateTime();
}

qint64 SystemClock::currentMSecsSinceEpoch() const
{
    return QDateTime::currentMSecsSinceEpoch();
}

qint64 SystemClock::monotonicMs() const
{
    // QElapsedTimer reads the system's monotonic clock where there is one.
    QElapsedTimer timer;
    timer.start();
    return timer.msecsSinceReference();
}

quint32 SystemClock::tickMs() const
{
    // The monotonic clock counts from system start-up, like the tick counter of
    // the original platform; only its low 32 bits are kept.
    QElapsedTimer timer;
    timer.start();
    return static_cast<quint32>(timer.msecsSinceReference());
}

ManualClock::ManualClock(const QDateTime& start, quint32 tick)
    : m_epochMs(start.toMSecsSinceEpoch()), m_monotonicMs(tick), m_tick(tick)
{
}

QDateTime ManualClock::currentDateTime() const
{
    return QDateTime::fromMSecsSinceEpoch(m_epochMs);
}

qint64 ManualClock::currentMSecsSinceEpoch() const
{
    return m_epochMs;
}

qint64 ManualClock::monotonicMs() const
{
    return m_monotonicMs;
}

quint32 ManualClock::tickMs() const
{
    return m_tick;
}

void ManualClock::advanceMs(qint64 ms)
{
    m_epochMs += ms;
    m_monotonicMs += ms;
    m_tick += static_cast<quint32>(ms);
}

void ManualClock::setDateTime(const QDateTime& now)
{
    m_epochMs = now.toMSecsSinceEpoch();
}

void ManualClock::jumpWallMs(qint64 ms)
{
    m_epochMs += ms;
}
