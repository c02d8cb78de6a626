#pragma once

#include "qtservice.h"

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QStringList>

// Service states as the service manager knows them.
namespace QtServiceState {
enum : quint32 {
    Stopped = 1,
    StartPending = 2,
    StopPending = 3,
    Running = 4,
    ContinuePending = 5,
    PausePending = 6,
    Paused = 7
};
}

// Control requests a service may accept (bits of QtServiceStatus::controlsAccepted).
namespace QtServiceAccept {
enum : quint32 { Stop = 1, PauseContinue = 2, Shutdown = 4 };
}

// The status record reported to the service manager: seven 32-bit fields in the
// order the manager expects them.
struct QtServiceStatus
{
    quint32 serviceType = 0x110;
    quint32 currentState = QtServiceState::Stopped;
    quint32 controlsAccepted = 0;
    quint32 exitCode = 0;
    quint32 serviceSpecificExitCode = 0;
    quint32 checkPoint = 0;
    quint32 waitHint = 0;
};

// What "-i" asks the service manager to create.
struct QtServiceInstallRequest
{
    QString name;
    QString description;
    QtServiceController::StartupType startupType = QtServiceController::ManualStartup;
    QString account;
    QString password;
    QString executablePath;
};

// The account a service is installed under. An empty account, or one ending in
// "\LocalSystem", means the local system account: no account name and no
// password are passed, and the service is interactive (type 0x110). Any other
// account gets the prefix ".\" when it names no domain, its password is passed
// only when it is not empty, and the service is not interactive (type 0x10).
struct QtServiceAccount
{
    bool localSystem = true;
    QString account;
    QString password;
    quint32 serviceType = 0x110;

    static QtServiceAccount resolve(const QString& account, const QString& password);
};

// Implemented by the framework; the platform's dispatcher calls it on the
// dispatcher thread.
class QtServiceRunCallbacks
{
public:
    // The manager started the service with these arguments. Returns after the
    // main thread has created the application and the control handler was
    // registered (and the start-up control handled), or at once when the
    // framework has given up on the run.
    virtual void serviceMain(const QStringList& arguments) = 0;
    // A control code from the manager: 1 stop, 2 pause, 3 continue,
    // 5 shutdown, 128..255 user commands, 256 the framework's start-up.
    // Returns after the main thread has handled it.
    virtual void controlHandler(int code) = 0;

protected:
    ~QtServiceRunCallbacks() = default;
};

// Every operation of the service manager and the event log that the framework
// needs. The framework's flow between threads, the control event codes and the
// status sequence are built on top of it, so that one portable framework runs
// on the Windows service manager, on systemd, or on a stand-in.
class QtServicePlatform
{
public:
    enum class StopState { Failed, Stopped, Pending };
    enum class DispatchResult { Finished, NotStartedByManager, Failed };

    QtServicePlatform() = default;
    virtual ~QtServicePlatform();
    QtServicePlatform(const QtServicePlatform&) = delete;
    QtServicePlatform& operator=(const QtServicePlatform&) = delete;

    virtual QString platformName() const = 0;

    // False when the system side cannot be reached at all (system library
    // missing); every operation below is then skipped by the framework.
    virtual bool isAvailable() = 0;

    // This program's full file path as the system reports it.
    virtual QString executablePath() const;

    // Text of the last failure of this platform (for warnings).
    QString lastErrorText() const;
    void clearLastError();

    // Controller side: every call opens and closes what it needs.
    virtual bool isInstalled(const QString& name) = 0;
    virtual bool isRunning(const QString& name) = 0;
    virtual QString serviceDescription(const QString& name) = 0;
    virtual bool install(const QtServiceInstallRequest& request) = 0;
    virtual bool uninstall(const QString& name) = 0;
    virtual bool start(const QString& name, const QStringList& arguments) = 0;
    // Sends the stop request and tells whether the service already stopped.
    virtual StopState sendStop(const QString& name) = 0;
    // One poll of a stop in progress.
    virtual StopState queryStopState(const QString& name) = 0;
    virtual void sleepBetweenPolls(int milliseconds);
    virtual bool pause(const QString& name) = 0;
    virtual bool resume(const QString& name) = 0;
    // code is a user command 0..127 (checked by the framework).
    virtual bool sendCommand(const QString& name, int code) = 0;

    // Event log; a failing write is silent.
    virtual void writeEvent(const QString& name, const QString& message,
                            QtServiceBase::MessageType type, int id, uint category,
                            const QByteArray& data) = 0;

    // Service-run side, called on the dispatcher thread: blocks until the
    // service has stopped. NotStartedByManager when the process was started by
    // hand; Failed with *errorText for any other failure.
    virtual DispatchResult runDispatcher(const QString& name, const QStringList& processArguments,
                                         QtServiceRunCallbacks* callbacks, QString* errorText) = 0;
    // Called from serviceMain on the dispatcher thread.
    virtual bool registerControlHandler(const QString& name) = 0;
    // Any thread; a stopped report ends the dispatcher's control loop.
    virtual void reportStatus(const QtServiceStatus& status) = 0;
    // Main thread, once the application object exists.
    virtual void prepareApplication();

    // Readiness. A service that defers its readiness is reported as starting
    // until it calls reportReady() (main thread) with a text that says how it
    // is doing; the others are ready once their start() has returned. Where
    // the manager knows no such thing (Windows), these do nothing.
    virtual void setReadinessDeferred(bool deferred);
    virtual void reportReady(const QString& statusText);
    // A free-form status text for the manager (any thread).
    virtual void reportStatusText(const QString& text);

    // How a service comes back after its event loop asked for a restart.
    // False (the default): the service re-launches itself, and the copy asks
    // the manager to start the service again. True: the manager restarts the
    // service by itself, restartDelaySeconds() after the process ended with a
    // failure status, and serviceExitStatus() gives the process exit status
    // of a service run whose event loop returned loopExitCode.
    virtual bool restartsFailedService() const;
    virtual int restartDelaySeconds() const;
    virtual int serviceExitStatus(int loopExitCode) const;

    // The exit statuses of a service run where the manager restarts the
    // service: 0 for a loop that ended with 0 (no restart),
    // RestartExitStatusBase + N for a restart request after N seconds
    // (loop codes -1 ... -30), NoRestartExitStatus for any other loop code.
    static constexpr int RestartExitStatusBase = 100;
    static constexpr int NoRestartExitStatus = 99;
    static int failureExitStatus(int loopExitCode);

    // The platform the framework uses. The default is the system's own binding
    // where one is built (Windows service manager, systemd), else the
    // unavailable one. setCurrent(nullptr) restores the default; the caller
    // keeps ownership of what it sets.
    static QtServicePlatform* current();
    static void setCurrent(QtServicePlatform* platform);

protected:
    void setLastErrorText(const QString& text);

private:
    mutable QMutex errorMutex;
    QString lastError;
};
