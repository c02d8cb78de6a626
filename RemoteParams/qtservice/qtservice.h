#pragma once

#include <QCoreApplication>
#include <QPointer>
#include <QString>
#include <QStringList>

class QtServiceControllerPrivate;
class QtServiceBasePrivate;

// Controls an installed service by name: query, install, remove, start, stop,
// pause, resume, send user commands. Holds no handle between operations.
class QtServiceController
{
public:
    enum StartupType { AutoStartup = 0, ManualStartup };

    explicit QtServiceController(const QString& name);
    virtual ~QtServiceController();

    bool isInstalled() const;
    bool isRunning() const;

    QString serviceName() const;
    QString serviceDescription() const;

    bool start(const QStringList& arguments);
    bool start();
    bool stop();
    bool pause();
    bool resume();
    bool sendCommand(int code);

    bool uninstall();

private:
    QtServiceControllerPrivate* d_ptr;
};

class QtServiceBase
{
public:
    enum MessageType { Success = 0, Error, Warning, Information };

    enum ServiceFlag {
        Default = 0x00,
        CanBeSuspended = 0x01,
        CannotBeStopped = 0x02,
        NeedsStopOnShutdown = 0x04
    };
    Q_DECLARE_FLAGS(ServiceFlags, ServiceFlag)

    QtServiceBase(int argc, char** argv, const QString& name);
    virtual ~QtServiceBase();

    QString serviceName() const;

    QString serviceDescription() const;
    void setServiceDescription(const QString& description);

    QtServiceController::StartupType startupType() const;
    void setStartupType(QtServiceController::StartupType startupType);

    ServiceFlags serviceFlags() const;
    void setServiceFlags(ServiceFlags flags);

    int exec();

    void logMessage(const QString& message, MessageType type = Success, int id = 0,
                    uint category = 0, const QByteArray& data = QByteArray());

    static QtServiceBase* instance();

    // The process's command line as the service got it (program path first;
    // a console run has removed its "-e").
    QStringList arguments() const;

    // Readiness: a service that reports it itself (set before exec) is seen
    // by the service manager as starting until it calls reportReady() with a
    // text that says how it is doing. Others are ready once start() returned.
    void setReportsReadiness(bool reports);
    bool reportsReadiness() const;
    void reportReady(const QString& statusText);
    // A status text for the service manager, where it shows one.
    void reportStatusText(const QString& text);

    // Seconds after which the service manager brings this service back by
    // itself once the process has ended with a restart status (the service
    // then just ends its run); -1 when the service must re-launch itself
    // (console runs, or a manager that leaves it to the service).
    int managerRestartDelay() const;

protected:
    virtual void start() = 0;
    virtual void stop();
    virtual void pause();
    virtual void resume();
    virtual void processCommand(int code);

    virtual void createApplication(int& argc, char** argv) = 0;
    virtual int executeApplication() = 0;

private:
    friend class QtServiceBasePrivate;
    friend class QtServiceControllerHandler;
    QtServiceBasePrivate* d_ptr;
};

template <typename Application> class QtService : public QtServiceBase
{
public:
    QtService(int argc, char** argv, const QString& name) : QtServiceBase(argc, argv, name) {}
    ~QtService() override = default;

protected:
    Application* application() const { return app; }

    // The framework deletes the application object when the run ends;
    // application() is null from then on.
    void createApplication(int& argc, char** argv) override { app = new Application(argc, argv); }

    int executeApplication() override { return Application::exec(); }

private:
    QPointer<Application> app;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(QtServiceBase::ServiceFlags)
