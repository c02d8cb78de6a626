#pragma once

#include <QMutex>
#include <QString>
#include <QThread>
#include <QVector>
#include <QWaitCondition>

// Writes the lines of the event log (the service framework's event log and, in a
// console run, standard error) on a thread of its own, so that no thread that
// logs waits on the journal or on a slow terminal. Lines keep the order in which
// they were posted.
//
// At most maxQueuedBytes of lines wait. Beyond that a line is dropped and
// counted, and once the writer has caught up one warning line says how many
// were dropped; the workstations still receive every line (their forwarding does
// not go through here).
class LogWriter : public QThread
{
    Q_OBJECT
public:
    static constexpr qint64 DefaultMaxQueuedBytes = 16 * 1024 * 1024;

    explicit LogWriter(qint64 maxQueuedBytes = DefaultMaxQueuedBytes, QObject* parent = nullptr);
    ~LogWriter() override;

    // Takes the line to be written; false once the writer is finished, when the
    // caller writes the line itself.
    bool post(const QString& line, QtMsgType type);
    // Writes every waiting line and stops the thread. Safe to call more than once.
    void finish();

    qint64 droppedLines() const;

protected:
    void run() override;

private:
    struct Entry
    {
        QString line;
        QtMsgType type = QtDebugMsg;
    };

    const qint64 maxQueuedBytes;
    mutable QMutex mutex;
    QWaitCondition wake;
    QVector<Entry> queue;
    qint64 queuedBytes = 0;
    qint64 droppedSinceReport = 0;
    qint64 droppedTotal = 0;
    bool finished = false;
};
