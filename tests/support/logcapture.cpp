#include "logcapture.h"

#include <QStringList>

#include <algorithm>

namespace {
QMutex mutex;
QList<LogCapture::Entry> collected;
std::function<void(const QString&)> passOn;
} // namespace

LogCapture::LogCapture(std::function<void(const QString&)> onEach)
{
    QMutexLocker lock(&mutex);
    collected.clear();
    passOn = std::move(onEach);
    previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previous);
    QMutexLocker lock(&mutex);
    passOn = nullptr;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    std::function<void(const QString&)> then;
    {
        QMutexLocker lock(&mutex);
        collected.append({type, message});
        then = passOn;
    }
    if (then) {
        then(message);
    }
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

int LogCapture::countStarting(const QString& prefix) const
{
    int n = 0;
    for (const Entry& e : entries()) {
        n += e.text.startsWith(prefix) ? 1 : 0;
    }
    return n;
}

bool LogCapture::contains(QtMsgType type, const QString& text) const
{
    const QList<Entry> all = entries();
    return std::any_of(all.begin(), all.end(),
                       [&](const Entry& e) { return e.type == type && e.text == text; });
}

void LogCapture::clear()
{
    QMutexLocker lock(&mutex);
    collected.clear();
}
