#pragma once

#include "qtserviceplatform.h"

#include <QList>
#include <QMutex>
#include <QQueue>
#include <QWaitCondition>

// An in-process service manager for tests. It records every call, simulates one
// service (installed or not, running or not, a description, a stop that takes
// a given number of polls) and can play the manager for the service-run side:
// it calls the service main with the configured arguments and delivers queued
// control codes from the dispatcher thread, recording every status report.
// All members are safe to use from any thread.
class FakeServicePlatform : public QtServicePlatform
{
public:
    struct Event
    {
        QString name;
        QString message;
        QtServiceBase::MessageType type = QtServiceBase::Success;
        int id = 0;
        uint category = 0;
        QByteArray data;
    };

    enum class DispatchMode { Run, NotStartedByManager, Fail, NeverCallServiceMain };

    FakeServicePlatform() = default;

    // --- simulated service ---
    void setAvailable(bool available);
    void setInstalled(bool installed);
    void setRunning(bool running);
    void setDescription(const QString& description);
    void setExecutablePath(const QString& path);
    void setInstallResult(bool ok);
    void setUninstallResult(bool ok);
    void setStartResult(bool ok);
    void setControlResult(bool ok); // pause, resume, sendCommand
    // Number of polls a stop takes; 0 stops at once, a negative number makes
    // the stop request itself fail.
    void setStopPolls(int polls);
    void setFailingPoll(int poll); // the poll with this number (1-based) fails

    bool installed() const;
    bool running() const;

    // --- records ---
    QStringList calls() const;
    void clearCalls();
    void clearEvents();
    int pollCount() const;
    int sleepCount() const;
    QList<QtServiceInstallRequest> installRequests() const;
    QList<Event> events() const;
    QList<QtServiceStatus> statuses() const;
    QList<quint32> reportedStates() const;

    // --- service-run side ---
    void setDispatchMode(DispatchMode mode, const QString& errorText = QString());
    void setServiceArguments(const QStringList& arguments);
    void setRegisterResult(bool ok);
    // Queued codes are delivered one after the other once the service main has
    // returned, each after the previous one was handled.
    void queueControl(int code);
    bool controlHandlerRegistered() const;
    // The manager restarts a service that ends with a failure status, after
    // delaySeconds (as systemd does); by default the service re-launches
    // itself (as on Windows).
    void setManagerRestarts(bool restarts, int delaySeconds = 1);
    // A status text queues a stop control (as if the manager was told to stop
    // the service just then).
    void setStopOnStatusText(bool stop);
    // "deferred <yes|no>", "ready <text>" and "status <text>", in order.
    QStringList readinessNotes() const;

    QString platformName() const override;
    bool isAvailable() override;
    QString executablePath() const override;

    bool isInstalled(const QString& name) override;
    bool isRunning(const QString& name) override;
    QString serviceDescription(const QString& name) override;
    bool install(const QtServiceInstallRequest& request) override;
    bool uninstall(const QString& name) override;
    bool start(const QString& name, const QStringList& arguments) override;
    StopState sendStop(const QString& name) override;
    StopState queryStopState(const QString& name) override;
    void sleepBetweenPolls(int milliseconds) override;
    bool pause(const QString& name) override;
    bool resume(const QString& name) override;
    bool sendCommand(const QString& name, int code) override;

    void writeEvent(const QString& name, const QString& message, QtServiceBase::MessageType type,
                    int id, uint category, const QByteArray& data) override;

    DispatchResult runDispatcher(const QString& name, const QStringList& processArguments,
                                 QtServiceRunCallbacks* callbacks, QString* errorText) override;
    bool registerControlHandler(const QString& name) override;
    void reportStatus(const QtServiceStatus& status) override;
    void setReadinessDeferred(bool deferred) override;
    void reportReady(const QString& statusText) override;
    void reportStatusText(const QString& text) override;
    bool restartsFailedService() const override;
    int restartDelaySeconds() const override;
    int serviceExitStatus(int loopExitCode) const override;

private:
    void record(const QString& call);

    mutable QMutex mutex;
    QWaitCondition changed;

    bool available = true;
    bool serviceInstalled = false;
    bool serviceRunning = false;
    QString description;
    QString exePath = QStringLiteral("/opt/test/service");
    bool installResult = true;
    bool uninstallResult = true;
    bool startResult = true;
    bool controlResult = true;
    int stopPolls = 0;
    int failingPoll = 0;
    int polls = 0;
    int sleeps = 0;

    QStringList callLog;
    QList<QtServiceInstallRequest> installs;
    QList<Event> eventLog;
    QList<QtServiceStatus> statusLog;

    DispatchMode dispatchMode = DispatchMode::Run;
    QString dispatchError;
    QStringList serviceArguments;
    bool registerResult = true;
    bool registered = false;
    bool stoppedReported = false;
    QQueue<int> controls;
    bool managerRestarts = false;
    int managerRestartDelay = 1;
    QStringList notes;
    bool stopOnStatusText = false;
};
