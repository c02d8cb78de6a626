#include "receiverservice.h"

#include "consolesignalwatcher.h"
#include "controller.h"
#include "servicesettings.h"

#include "rpccontroller.h"
#include "vemoparamserver.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <string>

ReceiverService::ReceiverService(int argc, char** argv)
    : QtService<ExceptionStableApp>(argc, argv, QLatin1String(ServiceSettings::ServiceName))
{
    setServiceDescription(
        QCoreApplication::translate("ReceiverService", "Служба сервера параметров УОО VEMO"));
    setServiceFlags(QtServiceBase::NeedsStopOnShutdown);
    setStartupType(QtServiceController::AutoStartup);
    // Ready once the controller's start-up has run, not when start() returns.
    setReportsReadiness(true);
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

QString ReceiverService::readinessText(const Controller* controller)
{
    if (controller && controller->isInitializedState() && !controller->clusterNode().isEmpty() &&
        !controller->isClusterActive()) {
        return QStringLiteral("Standby: node %1 of a pair, another node holds the lease")
            .arg(controller->clusterNode());
    }
    if (!controller || !controller->isInitializedState() || !controller->isRunningState()) {
        const QString setting = controller ? controller->startupFailureSetting() : QString();
        if (!setting.isEmpty()) {
            return QStringLiteral("Not initialized: setting %1 cannot be used, see the journal")
                .arg(setting);
        }
        return QStringLiteral("Not initialized: the resource database could not be opened or "
                              "checked, see the journal");
    }
    const quint16 rpc = controller->rpcServer() ? controller->rpcServer()->serverPort() : 0;
    const quint16 udp =
        controller->parameterServer() ? controller->parameterServer()->boundPort() : 0;
    const QString rpcText = rpc != 0 ? QStringLiteral("RPC on TCP port %1").arg(rpc)
                                     : QStringLiteral("RPC server NOT listening (TCP port %1)")
                                           .arg(controller->rpcPortValue());
    const QString udpText = udp != 0
                                ? QStringLiteral("parameters on UDP port %1").arg(udp)
                                : QStringLiteral("parameter server NOT listening (UDP port %1)")
                                      .arg(controller->paramsPortValue());
    const QString node = controller->clusterNode().isEmpty()
                             ? QString()
                             : QStringLiteral("active node %1 of a pair, ")
                                   .arg(controller->clusterNode());
    return (rpc != 0 && udp != 0 ? QStringLiteral("Running: ") : QStringLiteral("Degraded: ")) +
           node + rpcText + QStringLiteral(", ") + udpText;
}

void ReceiverService::start()
{
    controller = new Controller();
    // A node of a pair says which role it has now.
    QObject::connect(controller, &Controller::clusterRoleChanged, controller,
            [this] { reportStatusText(readinessText(controller)); });
    // The start-up runs inside the event loop; the service manager hears that
    // the service is ready only when it has run, so that a client started
    // right after the service finds both servers listening.
    QTimer::singleShot(0, controller, [this] {
        controller->initialize();
        reportReady(readinessText(controller));
    });
}

void ReceiverService::stop()
{
    if (controller) {
        // The process ends with the service.
        controller->prepareProcessEnd();
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

    // However the loop ended (a stop request, a restart request, an exit request
    // or a signal in a console run), the controller goes down in order, so that
    // the parameter records reach their database. The watcher stays until then:
    // a second signal (a closing terminal sends SIGHUP twice, from the kernel and
    // from the shell) must not end the process in the middle of that stop.
    stop();
    delete watcher;

    const QStringList arguments = restartArguments(result);
    if (arguments.isEmpty()) {
        return result;
    }
    const int managerDelay = managerRestartDelay();
    if (managerDelay >= 0) {
        // The service manager brings the service back when this process ends
        // with the restart status.
        return waitBeforeRestart(-result, managerDelay) ? result : 0;
    }
    // The running executable itself: in a service run argument 0 is whatever
    // the service manager passed (on Windows the service name).
    launchDetached(QCoreApplication::applicationFilePath(), arguments);
    return result;
}

void ReceiverService::processCommand(int code)
{
    if (code == RestartCommand) {
        throw ForceRestartException("service command " + std::to_string(code));
    }
}

bool ReceiverService::waitBeforeRestart(int seconds, int managerDelay)
{
    const int waitMs = qMax(0, seconds - managerDelay) * 1000;
    reportStatusText(QStringLiteral("Restarting in %1 s").arg(seconds));
    if (waitMs == 0) {
        return true;
    }
    // A stop request quits every event loop of the thread, this one too.
    QEventLoop loop;
    QTimer::singleShot(waitMs, &loop, [&loop] { loop.exit(1); });
    return loop.exec() == 1;
}

void ReceiverService::launchDetached(const QString& program, const QStringList& arguments)
{
    QProcess::startDetached(program, arguments);
}
