#include "logratelimiter.h"

#include <QDebug>

LogRateLimiter::LogRateLimiter(QObject* parent, Clock* clock, int burst, qint64 intervalMs)
    : QObject(parent), clock(clock ? clock : Clock::system()), burst(qMax(1, burst)),
      intervalMs(qMax<qint64>(1, intervalMs))
{
    flushTimer.setSingleShot(true);
    connect(&flushTimer, &QTimer::timeout, this, &LogRateLimiter::flush);
}

LogRateLimiter::~LogRateLimiter()
{
    for (auto it = windows.cbegin(); it != windows.cend(); ++it) {
        summarise(it.key(), it.value());
    }
}

void LogRateLimiter::summarise(const QString& kind, const Window& window)
{
    if (window.held > 0) {
        write(window.level, QStringLiteral("%1: %2 more such line(s) in the last %3 s not written")
                                .arg(kind)
                                .arg(window.held)
                                .arg(intervalMs / 1000.0));
    }
}

bool LogRateLimiter::report(const QString& kind, QtMsgType level, const QString& text)
{
    const qint64 now = clock->currentMSecsSinceEpoch();
    auto it = windows.find(kind);
    if (it != windows.end() && (now - it->startMs >= intervalMs || now < it->startMs)) {
        // The interval is over (or the clock went back): its summary first.
        flush();
        it = windows.find(kind);
    }
    if (it == windows.end()) {
        it = windows.insert(kind, Window{now, 0, 0, level});
    }
    if (it->written < burst) {
        ++it->written;
        write(level, text);
        return true;
    }
    ++it->held;
    if (!flushTimer.isActive()) {
        flushTimer.start(static_cast<int>(qMax<qint64>(1, it->startMs + intervalMs - now)));
    }
    return false;
}

int LogRateLimiter::suppressed(const QString& kind) const
{
    return windows.value(kind).held;
}

void LogRateLimiter::flush()
{
    const qint64 now = clock->currentMSecsSinceEpoch();
    qint64 nextEnd = -1;
    for (auto it = windows.begin(); it != windows.end();) {
        const qint64 end = it->startMs + intervalMs;
        if (now < end && now >= it->startMs) {
            if (it->held > 0 && (nextEnd < 0 || end < nextEnd)) {
                nextEnd = end;
            }
            ++it;
            continue;
        }
        summarise(it.key(), it.value());
        it = windows.erase(it);
    }
    if (nextEnd >= 0) {
        flushTimer.start(static_cast<int>(qMax<qint64>(1, nextEnd - now)));
    }
}

void LogRateLimiter::write(QtMsgType level, const QString& text)
{
    if (level == QtWarningMsg) {
        qWarning().noquote() << text;
    } else {
        qDebug().noquote() << text;
    }
}
