#pragma once

#include "qtserviceplatform.h"

#include <QByteArray>
#include <QMutex>
#include <QString>

#include <atomic>

// What a service run tells systemd through its notify socket (the one that
// NOTIFY_SOCKET names): the state (running: READY=1, stopping: STOPPING=1, the
// rest as STATUS= texts), a readiness the service reports itself, status
// texts, and the watchdog pings of the main event loop. A state waits at most
// a second for room in systemd's queue, a ping not at all; the first failure
// of each kind is logged once.
class SystemdNotifier
{
public:
    // Sends one notification to the socket that NOTIFY_SOCKET names (a path,
    // or '@' and an abstract name), waiting at most waitMs for room in the
    // queue (0: not at all). 1 when sent, 0 without a socket, -errno.
    static int sendNotification(const QByteArray& text, int waitMs);
    // What systemd is told for a status.
    static QByteArray notifyText(const QtServiceStatus& status);

    void reportState(const QtServiceStatus& status);
    // Pings from the application's event loop when systemd asks for them.
    void startWatchdog();
    void setReadinessDeferred(bool deferred);
    void reportReady(const QString& statusText);
    void reportStatusText(const QString& text);

private:
    void notify(const QByteArray& text, int waitMs = StateNotifyWaitMs);
    static constexpr int StateNotifyWaitMs = 1000;

    QMutex readinessMutex;
    bool readinessDeferred = false;
    bool ready = false;
    QByteArray readyText;
    std::atomic<bool> notifyFailed{false};
    std::atomic<bool> notifyBusyReported{false};
};
