#include "logwriter.h"

#include "loghandler.h"

#include <QDateTime>
#include <QMutexLocker>

LogWriter::LogWriter(qint64 maxQueuedBytes, QObject* parent)
    : QThread(parent), maxQueuedBytes(maxQueuedBytes)
{
    setObjectName(QStringLiteral("event log"));
}

LogWriter::~LogWriter()
{
    finish();
}

bool LogWriter::post(const QString& line, QtMsgType type)
{
    QMutexLocker lock(&mutex);
    if (finished) {
        return false;
    }
    const qint64 bytes = 2 * static_cast<qint64>(line.size());
    if (queuedBytes + bytes > maxQueuedBytes) {
        ++droppedSinceReport;
        ++droppedTotal;
        return true;
    }
    queue.append({line, type});
    queuedBytes += bytes;
    // The writer takes everything that waits when it wakes; one wake-up per batch.
    if (queue.size() == 1) {
        wake.wakeOne();
    }
    return true;
}

void LogWriter::finish()
{
    {
        QMutexLocker lock(&mutex);
        finished = true;
        wake.wakeOne();
    }
    if (isRunning()) {
        wait();
    }
}

qint64 LogWriter::droppedLines() const
{
    QMutexLocker lock(&mutex);
    return droppedTotal;
}

void LogWriter::run()
{
    QVector<Entry> batch;
    for (;;) {
        qint64 dropped = 0;
        {
            QMutexLocker lock(&mutex);
            while (queue.isEmpty() && droppedSinceReport == 0 && !finished) {
                wake.wait(&mutex);
            }
            if (queue.isEmpty() && droppedSinceReport == 0) {
                return; // finished, and nothing waits
            }
            batch.swap(queue);
            queuedBytes = 0;
            dropped = droppedSinceReport;
            droppedSinceReport = 0;
        }
        for (const Entry& entry : batch) {
            LogHandler::writeLine(entry.line, entry.type);
        }
        if (dropped > 0) {
            LogHandler::writeLine(
                LogHandler::formatLine(
                    QDateTime::currentDateTime(), QtWarningMsg,
                    QStringLiteral("Журнал событий не успевал: пропущено строк: %1").arg(dropped)),
                QtWarningMsg);
        }
        LogHandler::flushEcho();
        batch.clear();
    }
}
