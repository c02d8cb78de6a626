#include "logcapture.h"

#include <QStringList>

namespace {
QMutex mutex;
QList<LogCapture::Entry> collected;
} // namespace

LogCapture::LogCapture()
{
    QMutexLocker lock(&mutex);
    collected.clear();
    previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previous);
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    QMutexLocker lock(&mutex);
    collected.append({type, message});
}

QList<LogCapture::Entry> LogCapture::entries() const
{
    QMutexLocker lock(&mutex);
    return collected;
}

QStringList LogCapture::texts() const
{
    QStringList list;
    for (const Entry& e : entries()) {
        list << e.text;
    }
    return list;
}

int LogCapture::count(const QString& fragment) const
{
    int n = 0;
    for (const Entry& e : entries()) {
        if (e.text.contains(fragment)) {
            ++n;
        }
    }
    return n;
}

void LogCapture::clear()
{
    QMutexLocker lock(&mutex);
    collected.clear();
}
