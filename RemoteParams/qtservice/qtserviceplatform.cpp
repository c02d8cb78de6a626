#include "qtserviceplatform.h"

#include "unavailableserviceplatform.h"

#if defined(Q_OS_WIN)
#include "winserviceplatform.h"
#elif defined(QTSERVICE_HAVE_SYSTEMD)
#include "systemdserviceplatform.h"
#endif

#include <QAtomicPointer>
#include <QCoreApplication>
#include <QFileInfo>
#include <QThread>

namespace {

QAtomicPointer<QtServicePlatform> currentPlatform;

QtServicePlatform* defaultPlatform()
{
#if defined(Q_OS_WIN)
    static WinServicePlatform platform;
#elif defined(QTSERVICE_HAVE_SYSTEMD)
    static SystemdServicePlatform platform;
#else
    static UnavailableServicePlatform platform;
#endif
    return &platform;
}

} // namespace

QtServiceAccount QtServiceAccount::resolve(const QString& account, const QString& password)
{
    QtServiceAccount result;
    if (account.isEmpty()) {
        return result;
    }
    QString name = account;
    if (!name.contains(QLatin1Char('\\'))) {
        name.prepend(QLatin1String(".\\"));
    }
    if (name.endsWith(QLatin1String("\\LocalSystem"))) {
        return result;
    }
    result.localSystem = false;
    result.account = name;
    result.password = password;
    result.serviceType = 0x10;
    return result;
}

QtServicePlatform::~QtServicePlatform() = default;

QString QtServicePlatform::executablePath() const
{
    if (QCoreApplication::instance()) {
        return QCoreApplication::applicationFilePath();
    }
#ifdef Q_OS_LINUX
    const QString path = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    if (!path.isEmpty()) {
        return path;
    }
#endif
    return QString();
}

QString QtServicePlatform::lastErrorText() const
{
    QMutexLocker lock(&errorMutex);
    return lastError;
}

void QtServicePlatform::clearLastError()
{
    setLastErrorText(QString());
}

void QtServicePlatform::setLastErrorText(const QString& text)
{
    QMutexLocker lock(&errorMutex);
    lastError = text;
}

void QtServicePlatform::sleepBetweenPolls(int milliseconds)
{
    QThread::msleep(static_cast<unsigned long>(milliseconds));
}

void QtServicePlatform::prepareApplication() {}

void QtServicePlatform::setReadinessDeferred(bool) {}

void QtServicePlatform::reportReady(const QString&) {}

void QtServicePlatform::reportStatusText(const QString&) {}

bool QtServicePlatform::restartsFailedService() const
{
    return false;
}

int QtServicePlatform::restartDelaySeconds() const
{
    return 0;
}

int QtServicePlatform::serviceExitStatus(int) const
{
    return 0;
}

int QtServicePlatform::failureExitStatus(int loopExitCode)
{
    if (loopExitCode == 0) {
        return 0;
    }
    if (loopExitCode >= -30 && loopExitCode <= -1) {
        return RestartExitStatusBase - loopExitCode;
    }
    return NoRestartExitStatus;
}

QtServicePlatform* QtServicePlatform::current()
{
    QtServicePlatform* platform = currentPlatform.loadAcquire();
    return platform ? platform : defaultPlatform();
}

void QtServicePlatform::setCurrent(QtServicePlatform* platform)
{
    currentPlatform.storeRelease(platform);
}
