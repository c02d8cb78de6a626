#include "qtservice.h"

#include "qtservice_p.h"
#include "qtserviceplatform.h"

#include <QCoreApplication>
#include <QTimer>

QtServiceStarter::QtServiceStarter(QtServiceBasePrivate* service) : service(service) {}

void QtServiceStarter::slotStart()
{
    service->startService();
}

// ---------------------------------------------------------------------------
// QtServiceBasePrivate

QtServiceBasePrivate::QtServiceBasePrivate(QtServiceBase* q, const QString& name)
    : q_ptr(q), controller(name)
{
}

quint32 QtServiceBasePrivate::controlsAccepted(QtServiceBase::ServiceFlags flags)
{
    quint32 controls = 0;
    if (!(flags & QtServiceBase::CannotBeStopped)) {
        controls |= QtServiceAccept::Stop;
    }
    if (flags & QtServiceBase::CanBeSuspended) {
        controls |= QtServiceAccept::PauseContinue;
    }
    if (flags & QtServiceBase::NeedsStopOnShutdown) {
        controls |= QtServiceAccept::Shutdown;
    }
    return controls;
}

void QtServiceBasePrivate::startService()
{
    q_ptr->start();
}

void QtServiceBasePrivate::handleControlEvent(int type)
{
    switch (type) {
    case QtServiceEvent::Stop:
        q_ptr->stop();
        if (QCoreApplication* app = QCoreApplication::instance()) {
            app->quit();
        }
        break;
    case QtServiceEvent::Pause:
        q_ptr->pause();
        break;
    case QtServiceEvent::Resume:
        q_ptr->resume();
        break;
    case QtServiceEvent::Start:
        q_ptr->start();
        break;
    default:
        if (type >= QtServiceEvent::CommandBase && type <= QtServiceEvent::CommandBase + 127) {
            q_ptr->processCommand(type - QtServiceEvent::CommandBase);
        }
        break;
    }
}

void QtServiceBasePrivate::buildArguments(const QStringList& arguments)
{
    appArgData.clear();
    appArgv.clear();
    for (const QString& argument : arguments) {
        appArgData << argument.toLocal8Bit();
    }
    for (QByteArray& data : appArgData) {
        appArgv << data.data();
    }
    appArgv << nullptr;
    appArgc = appArgData.size();
}

int QtServiceBasePrivate::consoleRun(const QStringList& arguments)
{
    buildArguments(arguments);
    q_ptr->createApplication(appArgc, appArgv.data());
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        return -1;
    }
    QtServiceStarter starter(this);
    QTimer::singleShot(0, &starter, &QtServiceStarter::slotStart);
    const int result = q_ptr->executeApplication();
    delete QCoreApplication::instance();
    return result;
}

bool QtServiceBasePrivate::install(const QString& account, const QString& password)
{
    QtServicePlatform* platform = QtServicePlatform::current();
    if (!platform->isAvailable()) {
        return false;
    }
    QtServiceInstallRequest request;
    request.name = controller.serviceName();
    request.description = serviceDescription;
    request.startupType = startupType;
    request.account = account;
    request.password = password;
    request.executablePath = platform->executablePath();
    return platform->install(request);
}

void QtServiceBasePrivate::finishRun(HandlerThread* thread)
{
    if (thread->isRunning()) {
        thread->wait(1000);
    }
    const bool finished = thread->isFinished();
    ServiceSysState* state = sysd;
    sysd = nullptr;
    ServiceSysState::setCurrent(nullptr);
    if (finished) {
        delete thread;
        delete state;
    }
    // A dispatcher that still runs keeps its thread object and the record: the
    // process is about to end, and freeing them under it would be worse.
}

bool QtServiceBasePrivate::start()
{
    QtServicePlatform* platform = QtServicePlatform::current();
    sysd = new ServiceSysState(platform);
    sysd->status.controlsAccepted = controlsAccepted(serviceFlags);
    ServiceSysState::setCurrent(sysd);

    if (!platform->isAvailable()) {
        ServiceSysState::setCurrent(nullptr);
        delete sysd;
        sysd = nullptr;
        return false;
    }
    runExitStatus = 0;
    platform->setReadinessDeferred(reportsReadiness);

    auto* thread = new HandlerThread(controller.serviceName(), args, sysd);
    thread->start();

    if (!sysd->startSemaphore.tryAcquire(1, 20000)) {
        // The manager never called the service main: let a late call return.
        sysd->aborted = true;
        sysd->startSemaphore2.release();
        finishRun(thread);
        return false;
    }

    if (!thread->success) {
        const bool console = thread->console;
        finishRun(thread);
        if (console) {
            // Started by hand: ask the manager to start the installed service.
            return controller.start(args.mid(1));
        }
        return false;
    }

    buildArguments(sysd->serviceArguments);
    q_ptr->createApplication(appArgc, appArgv.data());
    if (!QCoreApplication::instance()) {
        sysd->aborted = true;
        sysd->startSemaphore2.release();
        finishRun(thread);
        return false;
    }

    platform->prepareApplication();
    auto* handler = new QtServiceControllerHandler(sysd);
    {
        QMutexLocker lock(&sysd->mutex);
        sysd->handler = handler;
    }
    sysd->startSemaphore2.release();

    const int exitCode = q_ptr->executeApplication();

    {
        // Control requests that arrive from now on have no event loop to
        // handle them: release a waiting one and post no more.
        QMutexLocker lock(&sysd->mutex);
        sysd->closed = true;
        sysd->handler = nullptr;
        sysd->condition.wakeAll();
    }
    {
        QMutexLocker lock(&sysd->statusMutex);
        sysd->status.exitCode = static_cast<quint32>(exitCode);
        runExitStatus = platform->serviceExitStatus(exitCode);
        sysd->status.currentState = QtServiceState::Stopped;
        sysd->finished = true;
        if (platform->isAvailable()) {
            platform->reportStatus(sysd->status);
        }
    }

    if (thread->isRunning()) {
        thread->wait(1000);
    }
    delete handler;
    finishRun(thread);
    delete QCoreApplication::instance();
    return true;
}

void QtServiceBasePrivate::warnWithSystemError(const char* text, const QString& error)
{
    // In the manner of qErrnoWarning: the platform's reason appended.
    if (error.isEmpty()) {
        qWarning("%s", text);
    } else {
        qWarning("%s (%s)", text, qUtf8Printable(error));
    }
}
