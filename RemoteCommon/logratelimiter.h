#pragma once

#include "clock.h"

#include <QDebug>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

// Keeps diagnostics that outsiders can cause (invalid datagrams, refused frames or
// connections) from flooding the log, and with it the journal and every watching
// workstation: per kind of line, the first ones of an interval are written as they
// come; the rest are only counted, and one summary line with the count follows
// when the interval is over.
//
// Lines are written with the toolkit's logging calls, so every destination of the
// log sees the same lines.
class LogRateLimiter : public QObject
{
    Q_OBJECT
public:
    static constexpr int DefaultBurst = 10;
    static constexpr qint64 DefaultIntervalMs = 60 * 1000;

    explicit LogRateLimiter(QObject* parent = nullptr, Clock* clock = Clock::system(),
                            int burst = DefaultBurst, qint64 intervalMs = DefaultIntervalMs);
    // Writes the summaries of lines still held back.
    ~LogRateLimiter() override;

    // Writes text at the given level (debug or warning) unless kind has already had
    // its share of lines in the running interval. Returns whether it was written.
    bool report(const QString& kind, QtMsgType level, const QString& text);
    // Lines of kind held back in the running interval.
    int suppressed(const QString& kind) const;

    // The text the toolkit's debug stream makes of the items (separated by blanks,
    // text items in double quotes), as a qDebug() line of them would read.
    template <typename... Items> static QString compose(const Items&... items)
    {
        QString text;
        {
            QDebug out(&text);
            (out << ... << items);
        }
        if (text.endsWith(QLatin1Char(' '))) {
            text.chop(1);
        }
        return text;
    }

public slots:
    // Ends every interval that is over: writes one summary line for each kind that
    // had lines held back. Runs by itself from a timer; tests call it directly.
    void flush();

private:
    struct Window
    {
        qint64 startMs = 0;
        int written = 0;
        int held = 0;
        QtMsgType level = QtDebugMsg;
    };

    static void write(QtMsgType level, const QString& text);
    void summarise(const QString& kind, const Window& window);

    Clock* clock;
    int burst;
    qint64 intervalMs;
    QHash<QString, Window> windows;
    QTimer flushTimer;
};
