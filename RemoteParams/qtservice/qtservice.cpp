#include "qtservice.h"

#include "qtservice_p.h"
#include "qtservicecommandline.h"
#include "qtserviceplatform.h"

#include <QAtomicPointer>
#include <QCoreApplication>
#include <QMessageLogger>

#include <cstdio>

namespace {

QAtomicPointer<QtServiceBase> serviceInstance;

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

} // namespace

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
    switch (QtServiceCommandLine::action(d->args)) {
    case QtServiceCommandLine::Action::Install: {
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
    case QtServiceCommandLine::Action::Uninstall: {
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
    case QtServiceCommandLine::Action::Version: {
        printOut("The service\n\t%s\n\t%s\n\n", name, d->args.value(0));
        printOut("is %s", d->controller.isInstalled() ? QStringLiteral("installed")
                                                      : QStringLiteral("not installed"));
        printOut(" and %s\n\n", d->controller.isRunning() ? QStringLiteral("running")
                                                          : QStringLiteral("not running"));
        return 0;
    }
    case QtServiceCommandLine::Action::Exec: {
        d->args.removeAt(1);
        const int result = d->consoleRun(d->args);
        if (result == -1) {
            QtServiceBasePrivate::warnWithSystemError("The service could not be executed.",
                                                      qt_error_string(-1));
        }
        return result;
    }
    case QtServiceCommandLine::Action::Terminate: {
        QtServicePlatform::current()->clearLastError();
        if (!d->controller.stop()) {
            QtServiceBasePrivate::warnWithSystemError(
                "The service could not be stopped.", QtServicePlatform::current()->lastErrorText());
            return -1;
        }
        return 0;
    }
    case QtServiceCommandLine::Action::Pause: {
        d->controller.pause();
        return 0;
    }
    case QtServiceCommandLine::Action::Resume: {
        d->controller.resume();
        return 0;
    }
    case QtServiceCommandLine::Action::Command: {
        const int code = d->args.value(2).toInt(nullptr, 10);
        QtServicePlatform::current()->clearLastError();
        if (!d->controller.sendCommand(code)) {
            QString reason = QtServicePlatform::current()->lastErrorText();
            if (code < 0 || code > 127) {
                reason = QStringLiteral("command codes are 0..127");
            } else if (reason.isEmpty() && !d->controller.isRunning()) {
                reason = QStringLiteral("the service is not running");
            }
            QtServiceBasePrivate::warnWithSystemError(
                qPrintable(
                    QStringLiteral("The command %1 could not be sent to the service.").arg(code)),
                reason);
            return -1;
        }
        return 0;
    }
    case QtServiceCommandLine::Action::Help: {
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
    case QtServiceCommandLine::Action::StartService:
        break;
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
