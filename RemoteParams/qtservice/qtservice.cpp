#include "qtservice.h"

#include "qtservice_p.h"
#include "qtserviceplatform.h"

#include <QAtomicPointer>
#include <QCoreApplication>
#include <QMessageLogger>
#include <QTimer>

#include <cstdio>

// ---------------------------------------------------------------------------
// Process-wide pointers

namespace {

QAtomicPointer<QtServiceBase> serviceInstance;
QAtomicPointer<ServiceSysState> currentSysState;

void printOut(const char* format, const QString& a = QString(), const QString& b = QString())
{
    std::fprintf(stdout, format, a.toLatin1().constData(), b.toLatin1().constData());
    std::fflush(stdout);
}

void printErr(const char* format, const QString& a = QString())
{
    std::fprintf(stderr, format, a.toLatin1().constData());
    std::fflush(stderr);
}

// The platform's reason for the failure just reported, on a line of its own.
void printReason()
{
    const QString reason = QtServicePlatform::current()->lastErrorText();
    if (!reason.isEmpty()) {
        std::fprintf(stderr, "Reason: %s\n", reason.toLocal8Bit().constData());
        std::fflush(stderr);
    }
}

// A warning with the platform's last error appended, in the manner of
// qErrnoWarning.
void warnWithSystemError(const char* text, const QString& error)
{
    if (error.isEmpty()) {
        qWarning("%s", text);
    } else {
        qWarning("%s (%s)", text, qUtf8Printable(error));
    }
}

// A stop is polled at most this often, this far apart.
constexpr int StopPolls = 10;
constexpr int StopPollIntervalMs = 200;

} // namespace

// ---------------------------------------------------------------------------
// QtServiceController

class QtServiceControllerPrivate
{
public:
    QString serviceName;
};

QtServiceController::QtServiceController(const QString& name)
    : d_ptr(new QtServiceControllerPrivate)
{
    d_ptr->serviceName = name;
}

QtServiceController::~QtServiceController()
{
    delete d_ptr;
}

QString QtServiceController::serviceName() const
{
    return d_ptr->serviceName;
}

bool QtServiceController::isInstalled() const
{
    QtServicePlatform* platform = QtServicePlatform::current();
    return platform->isAvailable() && platform->isInstalled(d_ptr->serviceName);
}

bool QtServiceController::isRunning() const
{
    QtServicePlatform* platform = QtServicePlatform::current();
    return platform->isAvailable() && platform->isRunning(d_ptr->serviceName);
}

QString QtServiceController::serviceDescription() const
{
    QtServicePlatform* platform = QtServicePlatform::current();
    if (!platform->isAvailable()) {
        return QString();
    }
    return platform->serviceDescription(d_ptr->serviceName);
}

bool QtServiceController::start(const QStringList& arguments)
{
    QtServicePlatform* platform = QtServicePlatform::current();
    return platform->isAvailable() && platform->start(d_ptr->serviceName, arguments);
}

bool QtServiceController::start()
{
    return start(QStringList());
}

bool QtServiceController::stop()
{
    QtServicePlatform* platform = QtServicePlatform::current();
    if (!platform->isAvailable()) {
        return false;
    }
    switch (platform->sendStop(d_ptr->serviceName)) {
    case QtServicePlatform::StopState::Failed:
        warnWithSystemError("stopping", platform->lastErrorText());
        return false;
    case QtServicePlatform::StopState::Stopped:
        return true;
    case QtServicePlatform::StopState::Pending:
        break;
    }
    // The caller is blocked for at most ten polls, about two seconds.
    for (int poll = 0; poll < StopPolls; ++poll) {
        platform->sleepBetweenPolls(StopPollIntervalMs);
        switch (platform->queryStopState(d_ptr->serviceName)) {
        case QtServicePlatform::StopState::Failed:
            return false;
        case QtServicePlatform::StopState::Stopped:
            return true;
        case QtServicePlatform::StopState::Pending:
            break;
        }
    }
    return false;
}

bool QtServiceController::pause()
{
    QtServicePlatform* platform = QtServicePlatform::current();
    return platform->isAvailable() && platform->pause(d_ptr->serviceName);
}

bool QtServiceController::resume()
{
    QtServicePlatform* platform = QtServicePlatform::current();
    return platform->isAvailable() && platform->resume(d_ptr->serviceName);
}

bool QtServiceController::sendCommand(int code)
{
    if (code < 0 || code > 127) {
        return false;
    }
    QtServicePlatform* platform = QtServicePlatform::current();
    if (!platform->isAvailable() || !platform->isRunning(d_ptr->serviceName)) {
        return false;
    }
    return platform->sendCommand(d_ptr->serviceName, code);
}

bool QtServiceController::uninstall()
{
    QtServicePlatform* platform = QtServicePlatform::current();
    return platform->isAvailable() && platform->uninstall(d_ptr->serviceName);
}

// ---------------------------------------------------------------------------
// ServiceSysState

void ServiceSysState::setState(quint32 state)
{
    QMutexLocker lock(&statusMutex);
    if (finished) {
        // A control that was still being handled when the loop ended must
        // not report the service as running again after it stopped.
        return;
    }
    status.currentState = state;
    if (platform->isAvailable()) {
        platform->reportStatus(status);
    }
}

void ServiceSysState::report()
{
    QMutexLocker lock(&statusMutex);
    if (platform->isAvailable()) {
        platform->reportStatus(status);
    }
}

void ServiceSysState::reportUnlessStopped()
{
    QMutexLocker lock(&statusMutex);
    if (status.currentState != QtServiceState::Stopped && platform->isAvailable()) {
        platform->reportStatus(status);
    }
}

void ServiceSysState::setControlsAccepted(QtServiceBase::ServiceFlags flags)
{
    QMutexLocker lock(&statusMutex);
    status.controlsAccepted = QtServiceBasePrivate::controlsAccepted(flags);
}

// ---------------------------------------------------------------------------
// The callbacks the platform's dispatcher calls on the dispatcher thread.

namespace {

class RunCallbacks : public QtServiceRunCallbacks
{
public:
    void serviceMain(const QStringList& arguments) override
    {
        ServiceSysState* state = currentSysState.loadAcquire();
        QtServiceBase* service = serviceInstance.loadAcquire();
        if (!state || !service) {
            return;
        }
        state->serviceArguments << arguments;
        state->startSemaphore.release();
        // The main thread creates the application and the handler object.
        state->startSemaphore2.acquire();
        if (state->aborted) {
            return;
        }
        if (state->platform->registerControlHandler(service->serviceName())) {
            controlHandler(256);
        }
    }

    void controlHandler(int code) override
    {
        ServiceSysState* state = currentSysState.loadAcquire();
        if (!state) {
            return;
        }
        QMutexLocker lock(&state->mutex);
        switch (code) {
        case 256:
            state->setState(QtServiceState::StartPending);
            if (post(state, lock, QtServiceEvent::Start)) {
                state->setState(QtServiceState::Running);
            }
            break;
        case 1:
            state->setState(QtServiceState::StopPending);
            post(state, lock, QtServiceEvent::Stop);
            break;
        case 2:
            state->setState(QtServiceState::PausePending);
            if (post(state, lock, QtServiceEvent::Pause)) {
                state->setState(QtServiceState::Paused);
            }
            break;
        case 3:
            state->setState(QtServiceState::ContinuePending);
            if (post(state, lock, QtServiceEvent::Resume)) {
                state->setState(QtServiceState::Running);
            }
            break;
        case 5:
            post(state, lock, QtServiceEvent::Stop);
            break;
        default:
            if (code >= 128 && code <= 255) {
                post(state, lock, code + 1000);
            }
            break;
        }
        lock.unlock();
        state->reportUnlessStopped();
    }

private:
    // Posts the event while holding the mutex, so that the main thread's
    // wake-up cannot be lost, and waits until the main thread has handled it.
    // Once the main loop has ended nothing is posted, and a waiter is released;
    // the result tells whether the main thread handled the event.
    static bool post(ServiceSysState* state, QMutexLocker& lock, int type)
    {
        Q_UNUSED(lock);
        if (state->closed || !state->handler) {
            return false;
        }
        state->eventHandled = false;
        QCoreApplication::postEvent(state->handler, new QEvent(QEvent::Type(type)));
        while (!state->eventHandled && !state->closed) {
            state->condition.wait(&state->mutex);
        }
        return state->eventHandled;
    }
};

RunCallbacks runCallbacks;

} // namespace

// ---------------------------------------------------------------------------
// HandlerThread

HandlerThread::HandlerThread(const QString& name, const QStringList& processArguments,
                             ServiceSysState* state)
    : name(name), processArguments(processArguments), state(state)
{
}

void HandlerThread::run()
{
    QString errorText;
    const QtServicePlatform::DispatchResult result =
        state->platform->runDispatcher(name, processArguments, &runCallbacks, &errorText);
    if (result == QtServicePlatform::DispatchResult::Finished) {
        return;
    }
    success = false;
    if (result == QtServicePlatform::DispatchResult::NotStartedByManager) {
        console = true;
    } else if (QtServiceBase* service = serviceInstance.loadAcquire()) {
        service->logMessage(QStringLiteral("The Service failed to start [%1]").arg(errorText),
                            QtServiceBase::Error);
    }
    state->startSemaphore.release();
}

// ---------------------------------------------------------------------------
// QtServiceControllerHandler

QtServiceControllerHandler::QtServiceControllerHandler(ServiceSysState* state, QObject* parent)
    : QObject(parent), state(state)
{
}

bool QtServiceControllerHandler::event(QEvent* e)
{
    const int type = e->type();
    if (type < QEvent::User || type > QEvent::MaxUser) {
        return QObject::event(e);
    }
    // Wakes the dispatcher thread however the service operation ends, an
    // exception caught by the application object included.
    struct Wake
    {
        ServiceSysState* state;
        ~Wake()
        {
            QMutexLocker lock(&state->mutex);
            state->eventHandled = true;
            state->condition.wakeAll();
        }
    } wake{state};

    QtServiceBase* service = QtServiceBase::instance();
    if (service) {
        service->d_ptr->handleControlEvent(type);
    }
    return true;
}

// ---------------------------------------------------------------------------
// QtServiceStarter

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
    currentSysState.storeRelease(nullptr);
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
    currentSysState.storeRelease(sysd);

    if (!platform->isAvailable()) {
        currentSysState.storeRelease(nullptr);
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
    QtServiceStatus stopped;
    {
        QMutexLocker lock(&sysd->statusMutex);
        sysd->status.exitCode = static_cast<quint32>(exitCode);
        runExitStatus = platform->serviceExitStatus(exitCode);
        sysd->status.currentState = QtServiceState::Stopped;
        sysd->finished = true;
        stopped = sysd->status;
    }
    // Reported without the lock: the service manager may hold its own lock
    // while a control handler runs (Wine's does), and that handler's own
    // report waits for this one. Nothing reports after "finished" is set.
    if (platform->isAvailable()) {
        platform->reportStatus(stopped);
    }

    if (thread->isRunning()) {
        thread->wait(1000);
    }
    delete handler;
    finishRun(thread);
    delete QCoreApplication::instance();
    return true;
}

// ---------------------------------------------------------------------------
// QtServiceBase

QtServiceBase::QtServiceBase(int argc, char** argv, const QString& name)
{
    QString serviceName = name;
    // The two warnings carry the source location that log readers know them by.
    if (serviceName.length() > 255) {
        QMessageLogger("RemoteParams/qtservice/qtservice.cpp", 655,
                       "QtServiceBase::QtServiceBase(int, char**, const QString&)")
            .warning("QtService: 'name' is longer than 255 characters.");
        serviceName.truncate(255);
    }
    if (serviceName.contains(QLatin1Char('\\'))) {
        QMessageLogger("RemoteParams/qtservice/qtservice.cpp", 659,
                       "QtServiceBase::QtServiceBase(int, char**, const QString&)")
            .warning("QtService: 'name' contains backslashes '\\'.");
        serviceName.replace(QLatin1Char('\\'), QChar(0));
    }

    d_ptr = new QtServiceBasePrivate(this, serviceName);
    for (int i = 0; i < argc; ++i) {
        d_ptr->args << QString::fromLocal8Bit(argv[i]);
    }
    serviceInstance.storeRelease(this);
}

QtServiceBase::~QtServiceBase()
{
    serviceInstance.testAndSetOrdered(this, nullptr);
    delete d_ptr;
}

QString QtServiceBase::serviceName() const
{
    return d_ptr->controller.serviceName();
}

QString QtServiceBase::serviceDescription() const
{
    return d_ptr->serviceDescription;
}

void QtServiceBase::setServiceDescription(const QString& description)
{
    d_ptr->serviceDescription = description;
}

QtServiceController::StartupType QtServiceBase::startupType() const
{
    return d_ptr->startupType;
}

void QtServiceBase::setStartupType(QtServiceController::StartupType type)
{
    d_ptr->startupType = type;
}

QtServiceBase::ServiceFlags QtServiceBase::serviceFlags() const
{
    return d_ptr->serviceFlags;
}

void QtServiceBase::setServiceFlags(ServiceFlags flags)
{
    if (d_ptr->serviceFlags == flags) {
        return;
    }
    d_ptr->serviceFlags = flags;
    if (ServiceSysState* state = d_ptr->sysd) {
        state->setControlsAccepted(flags);
        state->report();
    }
}

QStringList QtServiceBase::arguments() const
{
    return d_ptr->args;
}

void QtServiceBase::setReportsReadiness(bool reports)
{
    d_ptr->reportsReadiness = reports;
}

bool QtServiceBase::reportsReadiness() const
{
    return d_ptr->reportsReadiness;
}

void QtServiceBase::reportReady(const QString& statusText)
{
    if (d_ptr->sysd && d_ptr->sysd->platform->isAvailable()) {
        d_ptr->sysd->platform->reportReady(statusText);
    }
}

void QtServiceBase::reportStatusText(const QString& text)
{
    if (d_ptr->sysd && d_ptr->sysd->platform->isAvailable()) {
        d_ptr->sysd->platform->reportStatusText(text);
    }
}

int QtServiceBase::managerRestartDelay() const
{
    if (!d_ptr->sysd || !d_ptr->sysd->platform->restartsFailedService()) {
        return -1;
    }
    return d_ptr->sysd->platform->restartDelaySeconds();
}

int QtServiceBase::exec()
{
    QtServiceBasePrivate* d = d_ptr;
    const QString name = serviceName();
    const QString option = d->args.size() > 1 ? d->args.at(1) : QString();

    if (option == QLatin1String("-i") || option == QLatin1String("-install")) {
        if (d->controller.isInstalled()) {
            printErr("The service %s is already installed\n", name);
            return 0;
        }
        const QString account = d->args.value(2);
        const QString password = d->args.value(3);
        QtServicePlatform::current()->clearLastError();
        if (!d->install(account, password)) {
            printErr("The service %s could not be installed\n", name);
            printReason();
            return -1;
        }
        printOut("The service %s has been installed under: %s\n", name,
                 QtServicePlatform::current()->executablePath());
        return 0;
    }
    if (option == QLatin1String("-u") || option == QLatin1String("-uninstall")) {
        if (!d->controller.isInstalled()) {
            printErr("The service %s is not installed\n", name);
            return 0;
        }
        QtServicePlatform::current()->clearLastError();
        if (!d->controller.uninstall()) {
            printErr("The service %s could not be uninstalled\n", name);
            printReason();
            return -1;
        }
        printOut("The service %s has been uninstalled.\n", name);
        return 0;
    }
    if (option == QLatin1String("-v") || option == QLatin1String("-version")) {
        printOut("The service\n\t%s\n\t%s\n\n", name, d->args.value(0));
        printOut("is %s", d->controller.isInstalled() ? QStringLiteral("installed")
                                                      : QStringLiteral("not installed"));
        printOut(" and %s\n\n", d->controller.isRunning() ? QStringLiteral("running")
                                                          : QStringLiteral("not running"));
        return 0;
    }
    if (option == QLatin1String("-e") || option == QLatin1String("-exec")) {
        d->args.removeAt(1);
        const int result = d->consoleRun(d->args);
        if (result == -1) {
            warnWithSystemError("The service could not be executed.", qt_error_string(-1));
        }
        return result;
    }
    if (option == QLatin1String("-t") || option == QLatin1String("-terminate")) {
        QtServicePlatform::current()->clearLastError();
        if (!d->controller.stop()) {
            warnWithSystemError("The service could not be stopped.",
                                QtServicePlatform::current()->lastErrorText());
            return -1;
        }
        return 0;
    }
    if (option == QLatin1String("-p") || option == QLatin1String("-pause")) {
        d->controller.pause();
        return 0;
    }
    if (option == QLatin1String("-r") || option == QLatin1String("-resume")) {
        d->controller.resume();
        return 0;
    }
    if (option == QLatin1String("-c") || option == QLatin1String("-command")) {
        const int code = d->args.value(2).toInt(nullptr, 10);
        QtServicePlatform::current()->clearLastError();
        if (!d->controller.sendCommand(code)) {
            QString reason = QtServicePlatform::current()->lastErrorText();
            if (code < 0 || code > 127) {
                reason = QStringLiteral("command codes are 0..127");
            } else if (reason.isEmpty() && !d->controller.isRunning()) {
                reason = QStringLiteral("the service is not running");
            }
            warnWithSystemError(
                qPrintable(
                    QStringLiteral("The command %1 could not be sent to the service.").arg(code)),
                reason);
            return -1;
        }
        return 0;
    }
    if (option == QLatin1String("-h") || option == QLatin1String("-help")) {
        printOut("\n%s -[i|u|e|s|v|h]\n"
                 "\t-i(nstall) [account] [password]\t: Install the service, optionally using "
                 "given account and password\n"
                 "\t-u(ninstall)\t: Uninstall the service.\n"
                 "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
                 "\t-t(erminate)\t: Stop the service.\n"
                 "\t-c(ommand) num\t: Send command code num to the service.\n"
                 "\t-v(ersion)\t: Print version and status information.\n"
                 "\t-h(elp)   \t: Show this help\n"
                 "\tNo arguments\t: Start the service.\n",
                 d->args.value(0));
        return 0;
    }

    if (!d->start()) {
        printErr("The service %s could not start\n", name);
        return -4;
    }
    // 0, unless the manager restarts a service by the exit status of its
    // process.
    return d->runExitStatus;
}

void QtServiceBase::logMessage(const QString& message, MessageType type, int id, uint category,
                               const QByteArray& data)
{
    QtServicePlatform* platform = QtServicePlatform::current();
    if (!platform->isAvailable()) {
        return;
    }
    platform->writeEvent(serviceName(), message, type, id, category, data);
}

QtServiceBase* QtServiceBase::instance()
{
    return serviceInstance.loadAcquire();
}

void QtServiceBase::stop() {}

void QtServiceBase::pause() {}

void QtServiceBase::resume() {}

void QtServiceBase::processCommand(int code)
{
    Q_UNUSED(code);
}
