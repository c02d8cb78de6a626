#include "receiverservice.h"

#include "consolesignalwatcher.h"
#include "controller.h"
#include "servicesettings.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTimer>

ReceiverService::ReceiverService(int argc, char** argv)
    : QtService<ExceptionStableApp>(argc, argv, QLatin1String(ServiceSettings::ServiceName))
{
    setServiceDescription(
        QCoreApplication::translate("ReceiverService", "Служба сервера параметров УОО VEMO"));
    setServiceFlags(QtServiceBase::NeedsStopOnShutdown);
    setStartupType(QtServiceController::AutoStartup);
}

ReceiverService::~ReceiverService()
{
    delete controller;
    controller = nullptr;
}

QStringList ReceiverService::restartArguments(int loopResult)
{
    if (loopResult < -30 || loopResult > -1) {
        return {};
    }
    return {QStringLiteral("--restart"), QString::number(-loopResult)};
}

void ReceiverService::start()
{
    controller = new Controller();
    QTimer::singleShot(0, controller, &Controller::initialize);
}

void ReceiverService::stop()
{
    if (controller) {
        delete controller;
        controller = nullptr;
    }
}

int ReceiverService::executeApplication()
{
    ConsoleSignalWatcher* watcher = nullptr;
    if (ConsoleSignalWatcher::isConsoleRun()) {
        watcher = new ConsoleSignalWatcher(QCoreApplication::instance());
    }
    const int result = QtService<ExceptionStableApp>::executeApplication();
    delete watcher;

    // However the loop ended (a stop request, a restart request, an exit request
    // or a signal in a console run), the controller goes down in order, so that
    // the parameter records reach their database.
    stop();

    const QStringList arguments = restartArguments(result);
    if (!arguments.isEmpty()) {
        launchDetached(QCoreApplication::arguments().value(0), arguments);
    }
    return result;
}

void ReceiverService::launchDetached(const QString& program, const QStringList& arguments)
{
    QProcess::startDetached(program, arguments);
}
