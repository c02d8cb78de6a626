#include "systemdnotifier.h"

#include <QCoreApplication>
#include <QTimer>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <systemd/sd-daemon.h>

namespace {

QByteArray statusLine(const QString& text)
{
    QString line = text;
    for (QChar& c : line) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            c = QLatin1Char(' ');
        }
    }
    return line.toUtf8();
}

} // namespace

QByteArray SystemdNotifier::notifyText(const QtServiceStatus& status)
{
    switch (status.currentState) {
    case QtServiceState::StartPending:
        return "STATUS=Starting";
    case QtServiceState::Running:
        return "READY=1\nSTATUS=Running";
    case QtServiceState::StopPending:
        return "STOPPING=1\nSTATUS=Stopping";
    case QtServiceState::Stopped:
        return "STOPPING=1\nSTATUS=Stopped, exit code " +
               QByteArray::number(qint32(status.exitCode));
    case QtServiceState::PausePending:
        return "STATUS=Pausing";
    case QtServiceState::Paused:
        return "STATUS=Paused";
    case QtServiceState::ContinuePending:
        return "STATUS=Continuing";
    default:
        break;
    }
    return QByteArray();
}

int SystemdNotifier::sendNotification(const QByteArray& text, int waitMs)
{
    const QByteArray name = qgetenv("NOTIFY_SOCKET");
    if (name.isEmpty()) {
        return 0;
    }
    struct sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if ((name.at(0) != '/' && name.at(0) != '@') || name.size() >= int(sizeof address.sun_path)) {
        return -EINVAL;
    }
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    if (name.at(0) == '@') {
        address.sun_path[0] = '\0'; // an abstract name
    }
    const socklen_t length =
        socklen_t(offsetof(struct sockaddr_un, sun_path) + size_t(name.size()));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -errno;
    }
    int flags = MSG_NOSIGNAL;
    if (waitMs > 0) {
        struct timeval timeout;
        timeout.tv_sec = waitMs / 1000;
        timeout.tv_usec = (waitMs % 1000) * 1000;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    } else {
        flags |= MSG_DONTWAIT;
    }
    const ssize_t sent = ::sendto(fd, text.constData(), size_t(text.size()), flags,
                                  reinterpret_cast<const struct sockaddr*>(&address), length);
    const int error = sent < 0 ? errno : 0;
    ::close(fd);
    return sent < 0 ? -error : 1;
}

void SystemdNotifier::notify(const QByteArray& text, int waitMs)
{
    const int result = sendNotification(text, waitMs);
    if (result >= 0) {
        return;
    }
    // Each kind once. The service goes on either way; a stop still ends it in
    // order.
    const QByteArray socket = qgetenv("NOTIFY_SOCKET");
    if (result == -EAGAIN || result == -EWOULDBLOCK) {
        if (!notifyBusyReported.exchange(true)) {
            qWarning("systemd does not read its notify socket %s: a notification was dropped",
                     socket.constData());
        }
    } else if (!notifyFailed.exchange(true)) {
        qWarning("systemd notify socket %s cannot be reached (%s): systemd does not learn "
                 "the state of the service",
                 socket.constData(), std::strerror(-result));
    }
}

void SystemdNotifier::reportState(const QtServiceStatus& status)
{
    QByteArray text;
    if (status.currentState == QtServiceState::Running) {
        QMutexLocker lock(&readinessMutex);
        if (ready) {
            text = "READY=1\nSTATUS=" + readyText;
        } else if (readinessDeferred) {
            text = "STATUS=Starting";
        }
    }
    if (text.isEmpty()) {
        text = notifyText(status);
    }
    if (!text.isEmpty()) {
        notify(text);
    }
}

void SystemdNotifier::startWatchdog()
{
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) {
        return;
    }
    // Pinged from the main event loop, three times per watchdog interval: a
    // loop that stops turning stops the pings, and systemd ends the process.
    auto* timer = new QTimer(QCoreApplication::instance());
    timer->setInterval(int(qBound<uint64_t>(1, usec / 3000, 3600 * 1000)));
    // A ping never waits: when systemd's queue is full it is dropped, and the
    // next one follows a third of the interval later.
    QObject::connect(timer, &QTimer::timeout, timer, [this] { notify("WATCHDOG=1", 0); });
    timer->start();
    notify("WATCHDOG=1", 0);
}

void SystemdNotifier::setReadinessDeferred(bool deferred)
{
    QMutexLocker lock(&readinessMutex);
    readinessDeferred = deferred;
    ready = false;
    readyText.clear();
}

void SystemdNotifier::reportReady(const QString& statusText)
{
    QByteArray text;
    {
        QMutexLocker lock(&readinessMutex);
        ready = true;
        readyText = statusLine(statusText);
        text = "READY=1\nSTATUS=" + readyText;
    }
    notify(text);
}

void SystemdNotifier::reportStatusText(const QString& text)
{
    notify("STATUS=" + statusLine(text));
}
