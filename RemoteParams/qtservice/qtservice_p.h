#pragma once

// Internal classes of the service framework: the system-side record of a
// service run, the dispatcher thread, the main-thread control handler and the
// deferred starter.

#include "qtservice.h"
#include "qtserviceplatform.h"

#include <QByteArray>
#include <QEvent>
#include <QMutex>
#include <QObject>
#include <QSemaphore>
#include <QThread>
#include <QVector>
#include <QWaitCondition>

#include <atomic>

class QtServiceControllerHandler;

// Control events posted from the dispatcher thread to the main thread.
namespace QtServiceEvent {
enum : int { Stop = 1001, Pause = 1002, Resume = 1003, Start = 1256, CommandBase = 1128 };
}

// Exists only while the process runs as a service.
struct ServiceSysState
{
    explicit ServiceSysState(QtServicePlatform* platform) : platform(platform) {}

    // The record of this process's service run; null outside one.
    static ServiceSysState* current();
    static void setCurrent(ServiceSysState* state);

    QtServicePlatform* const platform;

    QMutex statusMutex; // guards status and serialises the reports
    QtServiceStatus status;
    bool finished = false; // the stopped state was reported at the end of the run

    QStringList serviceArguments;

    QWaitCondition condition; // the control handshake, with mutex
    QMutex mutex;
    bool eventHandled = false;
    bool closed = false; // the main loop has ended: nothing is posted any more

    QSemaphore startSemaphore;
    QSemaphore startSemaphore2;
    std::atomic<bool> aborted{false}; // the main thread gave up on the run

    QtServiceControllerHandler* handler = nullptr; // guarded by mutex

    void setState(quint32 state); // sets and reports
    void report();                // reports the record as it is
    void reportUnlessStopped();   // the same, unless the service has stopped
    void setControlsAccepted(QtServiceBase::ServiceFlags flags);
};

// Runs the platform's dispatcher.
class HandlerThread : public QThread
{
public:
    HandlerThread(const QString& name, const QStringList& processArguments, ServiceSysState* state);

    std::atomic<bool> success{true};
    std::atomic<bool> console{false};

protected:
    void run() override;

private:
    const QString name;
    const QStringList processArguments;
    ServiceSysState* const state;
};

// Lives on the main thread while the service runs and receives the control
// events.
class QtServiceControllerHandler : public QObject
{
public:
    explicit QtServiceControllerHandler(ServiceSysState* state, QObject* parent = nullptr);

protected:
    bool event(QEvent* e) override;

private:
    ServiceSysState* const state;
};

// Runs the service's start() from inside the event loop.
class QtServiceStarter : public QObject
{
    Q_OBJECT
public:
    explicit QtServiceStarter(QtServiceBasePrivate* service);

public slots:
    void slotStart();

private:
    QtServiceBasePrivate* const service;
};

class QtServiceBasePrivate
{
public:
    explicit QtServiceBasePrivate(QtServiceBase* q, const QString& name);

    QtServiceBase* const q_ptr;
    QString serviceDescription;
    QtServiceController::StartupType startupType = QtServiceController::ManualStartup;
    QtServiceBase::ServiceFlags serviceFlags = QtServiceBase::Default;
    QStringList args;
    QtServiceController controller;
    ServiceSysState* sysd = nullptr;
    bool reportsReadiness = false;
    int runExitStatus = 0; // process exit status of the last service run

    // Argument count and vector handed to the application object; the
    // application refers to them until it is deleted.
    int appArgc = 0;
    QVector<QByteArray> appArgData;
    QVector<char*> appArgv;

    void startService();               // calls the service's start()
    void handleControlEvent(int type); // main thread
    int consoleRun(const QStringList& arguments);
    bool start(); // runs as a service
    bool install(const QString& account, const QString& password);

    static quint32 controlsAccepted(QtServiceBase::ServiceFlags flags);
    // A warning with the platform's reason for a failure appended.
    static void warnWithSystemError(const char* text, const QString& error);

private:
    void buildArguments(const QStringList& arguments);
    void finishRun(HandlerThread* thread);
};
