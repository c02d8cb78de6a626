#include "fakeserviceplatform.h"

void FakeServicePlatform::setAvailable(bool value)
{
    QMutexLocker lock(&mutex);
    available = value;
}

void FakeServicePlatform::setInstalled(bool value)
{
    QMutexLocker lock(&mutex);
    serviceInstalled = value;
}

void FakeServicePlatform::setRunning(bool value)
{
    QMutexLocker lock(&mutex);
    serviceRunning = value;
}

void FakeServicePlatform::setDescription(const QString& value)
{
    QMutexLocker lock(&mutex);
    description = value;
}

void FakeServicePlatform::setExecutablePath(const QString& path)
{
    QMutexLocker lock(&mutex);
    exePath = path;
}

void FakeServicePlatform::setInstallResult(bool ok)
{
    QMutexLocker lock(&mutex);
    installResult = ok;
}

void FakeServicePlatform::setUninstallResult(bool ok)
{
    QMutexLocker lock(&mutex);
    uninstallResult = ok;
}

void FakeServicePlatform::setStartResult(bool ok)
{
    QMutexLocker lock(&mutex);
    startResult = ok;
}

void FakeServicePlatform::setControlResult(bool ok)
{
    QMutexLocker lock(&mutex);
    controlResult = ok;
}

void FakeServicePlatform::setStopPolls(int value)
{
    QMutexLocker lock(&mutex);
    stopPolls = value;
}

void FakeServicePlatform::setFailingPoll(int poll)
{
    QMutexLocker lock(&mutex);
    failingPoll = poll;
}

bool FakeServicePlatform::installed() const
{
    QMutexLocker lock(&mutex);
    return serviceInstalled;
}

bool FakeServicePlatform::running() const
{
    QMutexLocker lock(&mutex);
    return serviceRunning;
}

QStringList FakeServicePlatform::calls() const
{
    QMutexLocker lock(&mutex);
    return callLog;
}

void FakeServicePlatform::clearCalls()
{
    QMutexLocker lock(&mutex);
    callLog.clear();
}

void FakeServicePlatform::clearEvents()
{
    QMutexLocker lock(&mutex);
    eventLog.clear();
}

int FakeServicePlatform::pollCount() const
{
    QMutexLocker lock(&mutex);
    return polls;
}

int FakeServicePlatform::sleepCount() const
{
    QMutexLocker lock(&mutex);
    return sleeps;
}

QList<QtServiceInstallRequest> FakeServicePlatform::installRequests() const
{
    QMutexLocker lock(&mutex);
    return installs;
}

QList<FakeServicePlatform::Event> FakeServicePlatform::events() const
{
    QMutexLocker lock(&mutex);
    return eventLog;
}

QList<QtServiceStatus> FakeServicePlatform::statuses() const
{
    QMutexLocker lock(&mutex);
    return statusLog;
}

QList<quint32> FakeServicePlatform::reportedStates() const
{
    QMutexLocker lock(&mutex);
    QList<quint32> states;
    for (const QtServiceStatus& status : statusLog) {
        states << status.currentState;
    }
    return states;
}

void FakeServicePlatform::setDispatchMode(DispatchMode mode, const QString& errorText)
{
    QMutexLocker lock(&mutex);
    dispatchMode = mode;
    dispatchError = errorText;
}

void FakeServicePlatform::setServiceArguments(const QStringList& arguments)
{
    QMutexLocker lock(&mutex);
    serviceArguments = arguments;
}

void FakeServicePlatform::setRegisterResult(bool ok)
{
    QMutexLocker lock(&mutex);
    registerResult = ok;
}

void FakeServicePlatform::queueControl(int code)
{
    QMutexLocker lock(&mutex);
    controls.enqueue(code);
    changed.wakeAll();
}

bool FakeServicePlatform::controlHandlerRegistered() const
{
    QMutexLocker lock(&mutex);
    return registered;
}

void FakeServicePlatform::record(const QString& call)
{
    QMutexLocker lock(&mutex);
    callLog << call;
}

QString FakeServicePlatform::platformName() const
{
    return QStringLiteral("fake");
}

bool FakeServicePlatform::isAvailable()
{
    QMutexLocker lock(&mutex);
    return available;
}

QString FakeServicePlatform::executablePath() const
{
    QMutexLocker lock(&mutex);
    return exePath;
}

bool FakeServicePlatform::isInstalled(const QString& name)
{
    record(QStringLiteral("isInstalled ") + name);
    return installed();
}

bool FakeServicePlatform::isRunning(const QString& name)
{
    record(QStringLiteral("isRunning ") + name);
    return running();
}

QString FakeServicePlatform::serviceDescription(const QString& name)
{
    record(QStringLiteral("serviceDescription ") + name);
    QMutexLocker lock(&mutex);
    return serviceInstalled ? description : QString();
}

bool FakeServicePlatform::install(const QtServiceInstallRequest& request)
{
    record(QStringLiteral("install ") + request.name);
    QMutexLocker lock(&mutex);
    installs << request;
    if (!installResult) {
        setLastErrorText(QStringLiteral("install refused"));
        return false;
    }
    serviceInstalled = true;
    description = request.description;
    return true;
}

bool FakeServicePlatform::uninstall(const QString& name)
{
    record(QStringLiteral("uninstall ") + name);
    QMutexLocker lock(&mutex);
    if (!uninstallResult) {
        return false;
    }
    serviceInstalled = false;
    return true;
}

bool FakeServicePlatform::start(const QString& name, const QStringList& arguments)
{
    record(QStringLiteral("start ") + name + QStringLiteral(" [") +
           arguments.join(QLatin1Char(',')) + QLatin1Char(']'));
    QMutexLocker lock(&mutex);
    if (!startResult || !serviceInstalled) {
        setLastErrorText(QStringLiteral("start refused"));
        return false;
    }
    serviceRunning = true;
    return true;
}

QtServicePlatform::StopState FakeServicePlatform::sendStop(const QString& name)
{
    record(QStringLiteral("stop ") + name);
    QMutexLocker lock(&mutex);
    polls = 0;
    if (stopPolls < 0 || !serviceRunning) {
        setLastErrorText(QStringLiteral("stop refused"));
        return StopState::Failed;
    }
    if (stopPolls == 0) {
        serviceRunning = false;
        return StopState::Stopped;
    }
    return StopState::Pending;
}

QtServicePlatform::StopState FakeServicePlatform::queryStopState(const QString&)
{
    QMutexLocker lock(&mutex);
    ++polls;
    if (polls == failingPoll) {
        return StopState::Failed;
    }
    if (polls >= stopPolls) {
        serviceRunning = false;
        return StopState::Stopped;
    }
    return StopState::Pending;
}

void FakeServicePlatform::sleepBetweenPolls(int)
{
    QMutexLocker lock(&mutex);
    ++sleeps;
}

bool FakeServicePlatform::pause(const QString& name)
{
    record(QStringLiteral("pause ") + name);
    QMutexLocker lock(&mutex);
    return controlResult;
}

bool FakeServicePlatform::resume(const QString& name)
{
    record(QStringLiteral("resume ") + name);
    QMutexLocker lock(&mutex);
    return controlResult;
}

bool FakeServicePlatform::sendCommand(const QString& name, int code)
{
    record(QStringLiteral("sendCommand ") + name + QLatin1Char(' ') + QString::number(code));
    QMutexLocker lock(&mutex);
    return controlResult;
}

void FakeServicePlatform::writeEvent(const QString& name, const QString& message,
                                     QtServiceBase::MessageType type, int id, uint category,
                                     const QByteArray& data)
{
    QMutexLocker lock(&mutex);
    eventLog << Event{name, message, type, id, category, data};
}

QtServicePlatform::DispatchResult
FakeServicePlatform::runDispatcher(const QString& name, const QStringList&,
                                   QtServiceRunCallbacks* callbacks, QString* errorText)
{
    record(QStringLiteral("runDispatcher ") + name);
    QStringList arguments;
    {
        QMutexLocker lock(&mutex);
        switch (dispatchMode) {
        case DispatchMode::NotStartedByManager:
            return DispatchResult::NotStartedByManager;
        case DispatchMode::Fail:
            if (errorText) {
                *errorText = dispatchError;
            }
            return DispatchResult::Failed;
        case DispatchMode::NeverCallServiceMain:
            return DispatchResult::Finished;
        case DispatchMode::Run:
            break;
        }
        arguments = serviceArguments;
        registered = false;
        stoppedReported = false;
    }

    callbacks->serviceMain(arguments);

    QMutexLocker lock(&mutex);
    if (!registered) {
        return DispatchResult::Finished;
    }
    // The manager's control loop: deliver queued codes until the service
    // reports that it stopped.
    for (;;) {
        while (controls.isEmpty() && !stoppedReported) {
            changed.wait(&mutex);
        }
        if (stoppedReported) {
            break;
        }
        const int code = controls.dequeue();
        lock.unlock();
        callbacks->controlHandler(code);
        lock.relock();
    }
    registered = false;
    return DispatchResult::Finished;
}

bool FakeServicePlatform::registerControlHandler(const QString& name)
{
    record(QStringLiteral("registerControlHandler ") + name);
    QMutexLocker lock(&mutex);
    registered = registerResult;
    return registerResult;
}

void FakeServicePlatform::reportStatus(const QtServiceStatus& status)
{
    QMutexLocker lock(&mutex);
    statusLog << status;
    if (status.currentState == QtServiceState::Stopped) {
        stoppedReported = true;
        changed.wakeAll();
    }
}

void FakeServicePlatform::setManagerRestarts(bool restarts, int delaySeconds)
{
    QMutexLocker lock(&mutex);
    managerRestarts = restarts;
    managerRestartDelay = delaySeconds;
}

QStringList FakeServicePlatform::readinessNotes() const
{
    QMutexLocker lock(&mutex);
    return notes;
}

void FakeServicePlatform::setReadinessDeferred(bool deferred)
{
    QMutexLocker lock(&mutex);
    notes << (deferred ? QStringLiteral("deferred yes") : QStringLiteral("deferred no"));
}

void FakeServicePlatform::reportReady(const QString& statusText)
{
    QMutexLocker lock(&mutex);
    notes << QStringLiteral("ready ") + statusText;
}

void FakeServicePlatform::setStopOnStatusText(bool stop)
{
    QMutexLocker lock(&mutex);
    stopOnStatusText = stop;
}

void FakeServicePlatform::reportStatusText(const QString& text)
{
    QMutexLocker lock(&mutex);
    notes << QStringLiteral("status ") + text;
    if (stopOnStatusText) {
        controls.enqueue(1);
        changed.wakeAll();
    }
}

bool FakeServicePlatform::restartsFailedService() const
{
    QMutexLocker lock(&mutex);
    return managerRestarts;
}

int FakeServicePlatform::restartDelaySeconds() const
{
    QMutexLocker lock(&mutex);
    return managerRestarts ? managerRestartDelay : 0;
}

int FakeServicePlatform::serviceExitStatus(int loopExitCode) const
{
    QMutexLocker lock(&mutex);
    return managerRestarts ? failureExitStatus(loopExitCode) : 0;
}
