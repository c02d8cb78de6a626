#pragma once

#include <QList>
#include <QMutex>
#include <QString>
#include <QtGlobal>

#include <functional>

// Collects every message logged while it lives (from any thread), and puts the
// handler that was there back when it goes, however the test leaves its scope.
// onEach, when given, is called with every message after it is collected (as the
// program's own handler would be, outside any lock of the capture).
class LogCapture
{
public:
    struct Entry
    {
        QtMsgType type;
        QString text;
    };

    explicit LogCapture(std::function<void(const QString&)> onEach = nullptr);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QList<Entry> entries() const;
    QStringList texts() const;
    // Messages that contain fragment; messages that begin with prefix.
    int count(const QString& fragment) const;
    int countStarting(const QString& prefix) const;
    bool contains(const QString& fragment) const { return count(fragment) > 0; }
    // Whether a message of that type is text exactly.
    bool contains(QtMsgType type, const QString& text) const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message);
    QtMessageHandler previous = nullptr;
};
