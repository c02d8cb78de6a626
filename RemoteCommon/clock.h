#pragma once

#include <QDateTime>

// The one source of time of the service. Everything that measures or stamps time
// (the offline sweep, the device's last-seen time, the action log, the login
// interval) reads it through a Clock, so that tests can drive time by hand.
//
// Two kinds of time: the wall clock (currentDateTime, currentMSecsSinceEpoch) is
// what people see and what is stored; it can jump when the system time is set.
// The monotonic clock (monotonicMs, tickMs) only moves forward at a steady pace
// and is what ages and intervals are measured on.
class Clock
{
public:
    virtual ~Clock() = default;

    // Current local date and time.
    virtual QDateTime currentDateTime() const = 0;
    // Milliseconds since the epoch (UTC based; cheap, no time-zone conversion).
    virtual qint64 currentMSecsSinceEpoch() const = 0;
    // Milliseconds on the monotonic clock, from an arbitrary origin; never jumps.
    virtual qint64 monotonicMs() const = 0;
    // Millisecond counter since start-up; 32 bits, wraps.
    virtual quint32 tickMs() const = 0;

    // The process-wide system clock.
    static Clock* system();
};

class SystemClock final : public Clock
{
public:
    SystemClock();
    QDateTime currentDateTime() const override;
    qint64 currentMSecsSinceEpoch() const override;
    qint64 monotonicMs() const override;
    quint32 tickMs() const override;
};

// A clock that only moves when told to; for tests and simulations.
// advanceMs moves both kinds of time, as time passing does; setDateTime and
// jumpWallMs move only the wall clock, as setting the system time does.
class ManualClock final : public Clock
{
public:
    explicit ManualClock(const QDateTime& start = QDateTime(QDate(2024, 1, 1), QTime(12, 0, 0)),
                         quint32 tick = 100000);
    QDateTime currentDateTime() const override;
    qint64 currentMSecsSinceEpoch() const override;
    qint64 monotonicMs() const override;
    quint32 tickMs() const override;

    void advanceMs(qint64 ms);
    void setDateTime(const QDateTime& now);
    void jumpWallMs(qint64 ms);
    void setTick(quint32 tick) { tickCount = tick; }

private:
    qint64 wallMs = 0;   // the wall clock, ms since the epoch
    qint64 steadyMs = 0; // the monotonic clock
    quint32 tickCount = 0;
};
