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
    : wallMs(start.toMSecsSinceEpoch()), steadyMs(tick), tickCount(tick)
{
}

QDateTime ManualClock::currentDateTime() const
{
    return QDateTime::fromMSecsSinceEpoch(wallMs);
}

qint64 ManualClock::currentMSecsSinceEpoch() const
{
    return wallMs;
}

qint64 ManualClock::monotonicMs() const
{
    return steadyMs;
}

quint32 ManualClock::tickMs() const
{
    return tickCount;
}

void ManualClock::advanceMs(qint64 ms)
{
    wallMs += ms;
    steadyMs += ms;
    tickCount += static_cast<quint32>(ms);
}

void ManualClock::setDateTime(const QDateTime& now)
{
    wallMs = now.toMSecsSinceEpoch();
}

void ManualClock::jumpWallMs(qint64 ms)
{
    wallMs += ms;
}
