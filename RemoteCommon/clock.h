#pragma once

#include <QDateTime>

// The one source of time of the service. Everything that measures or stamps time
// (the offline sweep, the device's last-seen time, the action log, the login
// interval) reads it through a Clock, so that tests can drive time by hand.
class Clock
{
public:
    virtual ~Clock() = default;

    // Current local date and time.
    virtual QDateTime currentDateTime() const = 0;
    // Milliseconds since the epoch (UTC based; cheap, no time-zone conversion).
    virtual qint64 currentMSecsSinceEpoch() const = 0;
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
    quint32 tickMs() const override;
};

// A clock that only moves when told to; for tests and simulations.
class ManualClock final : public Clock
{
public:
    explicit ManualClock(const QDateTime& start = QDateTime(QDate(2024, 1, 1), QTime(12, 0, 0)),
                         quint32 tick = 100000);
    QDateTime currentDateTime() const override;
    qint64 currentMSecsSinceEpoch() const override;
    quint32 tickMs() const override;

    void advanceMs(qint64 ms);
    void setDateTime(const QDateTime& now);
    void setTick(quint32 tick) { m_tick = tick; }

private:
    qint64 m_epochMs = 0;
    quint32 m_tick = 0;
};
